// Operations on several boards at once, each on its own thread, while other boards arrive and
// leave: every caller gets its own results and only its own device's progress records.
#include <algorithm>
#include <thread>

#include "ops_host.h"

namespace ops {
namespace {

using Texts = std::vector<std::string>;

// Plugs and unplugs fresh boards without pause until stopped; counts those identified. Its
// boards take ports of their own, above those nextPort() hands out: going round those, it would
// come to a port a test's own board still holds.
class Churn {
public:
    explicit Churn(SimBed& bed)
        : thread([this, &bed] {
              for (unsigned n = 0; !stop; ++n) {
                  SimDeviceDesc desc = SimDeviceDesc::bulk();
                  desc.portNumbers = {static_cast<uint8_t>(128 + n % 127)};
                  Board b = plugBoard(bed, boardState(0), desc);
                  while (!stop && b.mark() < 2)
                      std::this_thread::yield();
                  if (b.mark() >= 2)
                      ++identified;
                  bed.unplug(b.id);
              }
          })
    {
    }
    ~Churn()
    {
        stop = true;
        thread.join();
    }
    std::atomic<int> identified{0};

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

class Concurrency : public HostTest {};

TEST_F(Concurrency, TwoCallersSeeOnlyTheirOwnDevicesRecords)
{
    Board& tokens = plug(boardState(1));
    Board& parts = plug(boardState(1));
    constexpr int rounds = 20;
    Progress readProgress, pidProgress;

    // The first read holds on inside its operation until the other caller's operation is
    // under way, so the two run at the same time at least once.
    std::atomic<bool> held{false};
    readProgress.onRecord = [&](const std::string&) {
        if (!held.exchange(true)) {
            EXPECT_TRUE(eventually([&] { return !pidProgress.all().empty(); }));
        }
    };

    std::thread reader([&] {
        for (int i = 0; i < rounds; ++i) {
            char buffer[128];
            size_t length = sizeof buffer;
            _error_msg_t msg{};
            EXPECT_EQ(api->readtoken(recovery, buffer, &length, 3, tokens.ident.c_str(), &msg,
                                     Progress::callback, &readProgress),
                      0u)
                << msg.text;
        }
    });
    std::thread asker([&] {
        eventually([&] { return held.load(); });
        for (int i = 0; i < rounds; ++i) {
            _token_part_id_t part;
            unsigned int nonce, trusted, deviceId;
            _oem_platform_id_t oem;
            _error_msg_t msg{};
            EXPECT_EQ(api->gettokenpid(recovery, 0, &part, &nonce, &trusted, &deviceId, &oem,
                                       parts.ident.c_str(), &msg, Progress::callback, &pidProgress),
                      0u)
                << msg.text;
        }
    });
    reader.join();
    asker.join();

    auto repeated = [&](const Texts& one) {
        Texts all;
        for (int i = 0; i < rounds; ++i)
            all.insert(all.end(), one.begin(), one.end());
        return all;
    };
    EXPECT_EQ(readProgress.jobRecords(),
              repeated(concat({{"Read token operation started"},
                               queryRecords(1),
                               negotiationRecords(),
                               {"Sending \"Read Token\" XoL command", "Success",
                                "Read token operation had been accomplished succesfully"}})));
    EXPECT_EQ(
        pidProgress.jobRecords(),
        repeated(concat({{"Get token part ID operation started"},
                         queryRecords(1),
                         negotiationRecords(),
                         {"Sending \"Get Token Part ID\" XoL command", "Success",
                          "Get token part ID operation had been accomplished succesfully"}})));
    EXPECT_FALSE(readProgress.saw("TX: Command: 21"));
    EXPECT_FALSE(pidProgress.saw("TX: Command: 22"));
}

TEST_F(Concurrency, TimeoutChangedWhileOperationsBuildTheirJobs)
{
    Board& b = plug(boardState(1));
    DefaultTimeoutAtEnd restore{api};
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (unsigned long step = 0; !stop; step = (step + 1) % 1000) {
            _error_msg_t msg{};
            EXPECT_EQ(api->setusbreadwritedelay(5000 + step, &msg), 0u) << msg.text;
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20; ++i) {
        _error_msg_t msg{};
        EXPECT_EQ(askTokenPartId(api, recovery, b, &msg), 0u) << msg.text;
        // Each job was built with one of the values set.
        EXPECT_GE(negotiatedTimeout(b), 5000u);
        EXPECT_LT(negotiatedTimeout(b), 6000u);
    }
    stop = true;
    setter.join();
}

TEST_F(Concurrency, FourCallersOnFourBoardsWhileOthersComeAndGo)
{
    std::vector<Board*> mine;
    for (uint32_t ctx : {0u, 1u, 0u, 1u})
        mine.push_back(&plug(boardState(ctx)));
    constexpr int rounds = 12;
    std::vector<Progress> progress(mine.size());
    Churn churn(*host.bed);
    ASSERT_TRUE(eventually([&] { return churn.identified > 0; })) << "boards come and go";
    const int arrivedBefore = churn.identified;

    auto work = [&](size_t n) {
        const Board& b = *mine[n];
        const char* id = b.ident.c_str();
        const XolDeviceState initial = b.dev->state();
        for (int i = 0; i < rounds; ++i) {
            SCOPED_TRACE("board " + std::to_string(n) + " round " + std::to_string(i));
            _error_msg_t msg{};
            if (i % 4 == 0) // back to ROM: recovery download and IFP emulation again
                b.dev->edit([](XolDeviceState& s) { return s.context = 0; });

            const std::string token = patternText(64 + i, static_cast<uint32_t>(1000 * n + i));
            const unsigned char slot = static_cast<unsigned char>(i % 8);
            ASSERT_EQ(api->writetoken(recovery, token.data(), token.size(), slot, id, &msg,
                                      Progress::callback, &progress[n]),
                      0u)
                << msg.text;
            char buffer[256];
            size_t length = sizeof buffer;
            ASSERT_EQ(api->readtoken(recovery, buffer, &length, slot, id, &msg, Progress::callback,
                                     &progress[n]),
                      0u)
                << msg.text;
            EXPECT_EQ(std::string(buffer, length), token);

            char info[600];
            length = sizeof info;
            unsigned char type = 2;
            ASSERT_EQ(api->getcardinfo(recovery, &type, 0, info, &length, id, &msg,
                                       Progress::callback, &progress[n]),
                      0u)
                << msg.text;
            EXPECT_EQ(Bytes(info, info + length), initial.storage.at({2, 0}).cardInfo);

            _content_addr_t addr{1, static_cast<uint32_t>(i), 4};
            std::string media(4 * 512, '\0');
            length = media.size();
            ASSERT_EQ(api->readbootmedia(recovery, 2, 0, &addr, media.data(), &length, id, &msg,
                                         Progress::callback, &progress[n]),
                      0u)
                << msg.text;
            EXPECT_EQ(media,
                      toString(initial.storage.at({2, 0}).media.at(1)).substr(i * 512, 4 * 512));
        }
    };
    std::vector<std::thread> callers;
    for (size_t n = 0; n < mine.size(); ++n)
        callers.emplace_back(work, n);
    for (std::thread& t : callers)
        t.join();
    EXPECT_GT(churn.identified.load(), arrivedBefore) << "boards arrived while the callers ran";

    for (size_t n = 0; n < mine.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(mine[n]->hostErrors().empty());
        const Texts records = progress[n].jobRecords();
        EXPECT_EQ(std::count(records.begin(), records.end(), "Read token operation started"),
                  rounds);
        EXPECT_EQ(std::count(records.begin(), records.end(), "Downloading recovery module"),
                  rounds / 4);
        EXPECT_EQ(std::count(records.begin(), records.end(), "Id device operation started"), 0)
            << "arrivals of other boards are not this caller's";
    }
}

} // namespace
} // namespace ops
