// The last api_release while boards keep arriving and leaving: the library shuts down without
// hanging, leaves nothing open, and a later acquisition starts afresh.
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "ops_support.h"
#if defined(XOL_SIM_BED_STANDIN)
#include "standin_control.h"
#endif

namespace ops {
namespace {

// Ends the process when a call does not return in time: a hang must fail the test run, not
// stall it.
class Watchdog {
public:
    explicit Watchdog(const char* what)
        : thread([this, what] {
              std::unique_lock<std::mutex> lock(mutex);
              if (!cv.wait_for(lock, waitLimit, [this] { return done; })) {
                  std::fprintf(stderr, "%s did not return\n", what);
                  std::_Exit(1);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        cv.notify_all();
        thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::thread thread;
};

TEST(Lifetime, ReleaseDuringHotPlugShutsDownCleanly)
{
    std::unique_ptr<SimBed> bed = makeSimBed();
    std::vector<Board> present{plugBoard(*bed, boardState(1)), plugBoard(*bed, boardState(0))};
    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    api->setlogging(true, std::string(std::getenv("XOL_TEST_TMP")) + "/lifetime.log");
    for (const Board& b : present)
        ASSERT_TRUE(waitListed(api, b.ident));

    // Boards come and go without pause, each one identified on arrival if it stays long enough.
    std::atomic<bool> stop{false};
    std::atomic<int> contacted{0};
    std::thread churn([&] {
        while (!stop) {
            Board b = plugBoard(*bed, boardState(0));
            while (!stop && b.mark() == 0)
                std::this_thread::yield();
            if (b.mark() > 0)
                ++contacted;
            bed->unplug(b.id);
        }
    });
    ASSERT_TRUE(eventually([&] { return contacted >= 3; }));
    {
        Watchdog watchdog("api_release");
        api_release();
    }
    stop = true;
    churn.join();

#if defined(XOL_SIM_BED_STANDIN)
    EXPECT_EQ(standin::closedHandleUses(), 0);
    EXPECT_EQ(standin::configsOutstanding(), 0);
    EXPECT_EQ(standin::registrations(), 0);
#endif

    // A new acquisition builds a new object over what is attached now.
    api = api_acquire();
    ASSERT_NE(api, nullptr);
    std::vector<std::string> ids = listed(api);
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> expected{present[0].ident, present[1].ident};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
    {
        Watchdog watchdog("api_release");
        api_release();
    }
}

// Answers every command with heartbeats alone, one every 20 ms, for a minute at most.
class BusyBoard : public SimFunction {
public:
    ~BusyBoard() override { stop(); }
    void onBulkOut(const Bytes& data) override
    {
        if (data.size() < 8)
            return;
        const uint32_t code = 0x800000u | data[4] | data[5] << 8 | data[6] << 16;
        std::lock_guard<std::mutex> lock(mutex);
        ++commands;
        if (feeder.joinable())
            return;
        feeder = std::thread([this, code] {
            const Bytes heartbeat{0x14, 0, 0, 0x14, 0, 0, 0, 0,
                                  static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                                  static_cast<uint8_t>(code >> 16), 0x87, 0, 0, 0, 0, 0, 0, 0, 0};
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!done && std::chrono::steady_clock::now() < end) {
                sendIn(heartbeat);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            feeding = false;
        });
    }
    unsigned seen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
    }
    void stop()
    {
        done = true;
        std::lock_guard<std::mutex> lock(mutex);
        if (feeder.joinable())
            feeder.join();
    }
    std::atomic<bool> feeding{true};

private:
    std::mutex mutex;
    unsigned commands = 0;
    std::atomic<bool> done{false};
    std::thread feeder;
};

TEST(Lifetime, LastReleaseDoesNotWaitForAnArrivalThatKeepsItsBoardBusy)
{
    std::unique_ptr<SimBed> bed = makeSimBed();
    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    api->setlogging(true, std::string(std::getenv("XOL_TEST_TMP")) + "/busy-arrival.log");
    _error_msg_t msg{};
    ASSERT_EQ(api->setusbreadwritedelay(200, &msg), 0u) << msg.text;
    _soc_device_info_arr_t targets{};
    ASSERT_EQ(api->getavailabletargets(&targets, &msg), 0u) << msg.text;

    // Identified on arrival, on the notification thread; heartbeats alone would hold the
    // identification for 120 time-outs (24 s).
    auto board = std::make_shared<BusyBoard>();
    bed->plug(nextPort(), board);
    ASSERT_TRUE(eventually([&] { return board->seen() > 0; }));
    const auto start = std::chrono::steady_clock::now();
    {
        Watchdog watchdog("api_release");
        api_release();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(board->feeding) << "the release returned only when the heartbeats stopped";
    board->stop();
    EXPECT_LT(took, std::chrono::seconds(5))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST(Lifetime, LastReleaseWaitsForTheOperationsInFlight)
{
    std::unique_ptr<SimBed> bed = makeSimBed();
    const XolDeviceState st = boardState(1);
    const Board board = plugBoard(*bed, st);
    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    api->setlogging(true, std::string(std::getenv("XOL_TEST_TMP")) + "/in-flight.log");
    ASSERT_TRUE(waitListed(api, board.ident));

    // The operation holds on at its first progress record until the release has returned, or
    // long enough for a release that does not wait to have freed the object under it.
    std::mutex mutex;
    std::condition_variable cv;
    bool inside = false, released = false;
    Progress progress;
    progress.onRecord = [&](const std::string&) {
        std::unique_lock<std::mutex> lock(mutex);
        if (inside)
            return;
        inside = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(2), [&] { return released; });
    };
    unsigned long status = 1;
    _error_msg_t msg{};
    char token[128];
    size_t length = sizeof token;
    std::thread caller([&] {
        status = api->readtoken(nullptr, token, &length, 3, board.ident.c_str(), &msg,
                                Progress::callback, &progress);
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, waitLimit, [&] { return inside; }));
    }
    const std::string last = "Read token operation had been accomplished succesfully";
    bool endedBeforeRelease = false;
    {
        Watchdog watchdog("api_release and the operation");
        api_release();
        endedBeforeRelease = progress.saw(last);
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        cv.notify_all();
        caller.join();
    }

    EXPECT_TRUE(endedBeforeRelease) << "the release returned while the operation ran";
    EXPECT_EQ(status, 0u) << msg.text;
    EXPECT_EQ(Bytes(token, token + length), st.tokens.at(3));
}

} // namespace
} // namespace ops
