// The device table from identifiers to connections: the identification pass when the transport is
// created, identification of arrivals on the transport's notification thread, departures, and
// the listing. Each test acquires the library afresh over boards it plugged itself.
#include <map>
#include <regex>
#include <set>

#include "ops_support.h"
#ifndef _WIN32
#include "host_libusb.h"
#endif
#if defined(XOL_SIM_BED_STANDIN)
#include "standin_control.h"
#endif

namespace ops {
namespace {

using Codes = std::vector<uint8_t>;

// A board that notes when the host first spoke to it, relative to the other boards: the order
// in which the identification pass reached the connections.
class OrderedBoard : public XolDevice {
public:
    using XolDevice::XolDevice;
    void onBulkOut(const Bytes& data) override
    {
        noteContact();
        XolDevice::onBulkOut(data);
    }
    std::atomic<int> firstContact{-1};

protected:
    void noteContact()
    {
        int unset = -1;
        firstContact.compare_exchange_strong(unset, next++);
    }

private:
    static inline std::atomic<int> next{0};
};

int firstContact(const Board& b)
{
    return static_cast<OrderedBoard&>(*b.dev).firstContact.load();
}

// A board that keeps its answer to Id Device back: for ever (silent), or until the test lets it
// go (slow). Other commands it answers at once.
class HoldingBoard : public OrderedBoard {
public:
    enum class Mode { Answer, Hold, Drop };
    using OrderedBoard::OrderedBoard;
    void onBulkOut(const Bytes& data) override
    {
        if (data.size() > 4 && data[4] == kIdDevice && mode != Mode::Answer) {
            noteContact();
            std::lock_guard<std::mutex> lock(heldLock);
            held = data;
            ++idRequests;
            return;
        }
        OrderedBoard::onBulkOut(data);
    }
    // Answers the request held back, if any, from the calling thread (the host waits for that
    // answer and sends the board nothing else meanwhile); from now on it answers at once.
    void letGo()
    {
        Bytes request;
        {
            std::lock_guard<std::mutex> lock(heldLock);
            request.swap(held);
            mode = Mode::Answer;
        }
        if (!request.empty())
            OrderedBoard::onBulkOut(request);
    }
    std::atomic<Mode> mode{Mode::Answer};
    std::atomic<int> idRequests{0}; // those held back or dropped

private:
    std::mutex heldLock;
    Bytes held;
};

HoldingBoard& holding(const Board& b)
{
    return static_cast<HoldingBoard&>(*b.dev);
}

class DeviceTable : public ::testing::Test {
protected:
    void TearDown() override { release(); }

    // Acquires the library and creates its transport, logging into the test's own file; a
    // time-out given is set before the identification pass.
    void acquire(unsigned long timeoutMs = 0)
    {
        api = api_acquire();
        ASSERT_NE(api, nullptr);
        api->setlogging(true, logPath);
        if (timeoutMs != 0) {
            ASSERT_EQ(api->setusbreadwritedelay(timeoutMs, &msg), 0u);
        }
        _soc_device_info_arr_t targets{};
        ASSERT_EQ(api->getavailabletargets(&targets, &msg), 0u) << msg.text;
    }
    void release()
    {
        if (api)
            api_release(); // flushes and closes the log file
        api = nullptr;
    }

    template <class Device = HoldingBoard>
    Board& plug(XolDeviceState st, const SimDeviceDesc& desc = nextPort())
    {
        boards.push_back(plugBoard<Device>(*bed, std::move(st), desc));
        return boards.back();
    }

    // The board that a Start Over under this identifier reached; null when none did.
    const Board* reached(const std::string& ident)
    {
        static uint32_t tag = 0x4000;
        _startover_cmd_flags_t flags{++tag};
        unsigned int op, ctx;
        if (api->startover(&flags, &op, &ctx, ident.c_str(), &msg, nullptr, nullptr) != 0)
            return nullptr;
        for (const Board& b : boards) {
            auto seen = b.dev->inspect([](const XolDeviceState& s) { return s.startOverFlags; });
            if (!seen.empty() && seen.back() == tag)
                return &b;
        }
        return nullptr;
    }

    // The boards in the order the host first spoke to them; those it never spoke to left out.
    std::vector<const Board*> contactOrder() const
    {
        std::vector<const Board*> order;
        for (const Board& b : boards)
            if (firstContact(b) >= 0)
                order.push_back(&b);
        std::sort(order.begin(), order.end(), [](const Board* x, const Board* y) {
            return firstContact(*x) < firstContact(*y);
        });
        return order;
    }

    // Thread ids of the log file's records of `message` in the order written, job records and
    // transport records alike.
    std::vector<std::string> threadsLogging(const std::string& message) const
    {
        std::vector<std::string> threads;
        const std::string log = readFile(logPath);
        const std::regex line("\\[TID: ([^\\]]+)\\] (\\[SN: [^\\]]+\\] )?" + message);
        for (auto it = std::sregex_iterator(log.begin(), log.end(), line);
             it != std::sregex_iterator(); ++it)
            threads.push_back((*it)[1]);
        return threads;
    }

    std::string logPath =
        std::string(std::getenv("XOL_TEST_TMP") ? std::getenv("XOL_TEST_TMP") : "/tmp") + "/" +
        ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::unique_ptr<SimBed> bed = makeSimBed();
    std::vector<Board> boards; // in plugging order; never shrinks, so references stay
    IVemoAPI* api = nullptr;
    _error_msg_t msg{};
};

TEST_F(DeviceTable, CreationIdentifiesEveryConnectionInTheTransportsOrder)
{
    boards.reserve(3);
    XolDeviceState x = boardState(1);
    XolDeviceState y = boardState(0);
    XolDeviceState twin = boardState(0);
    twin.platformId = x.platformId;
    const Board& b1 = plug(x);
    const Board& b2 = plug(y);
    const Board& b3 = plug(twin);
    acquire();

    std::vector<std::string> ids = listed(api);
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> expected{b1.ident, b2.ident};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected) << "lower-case identifiers, the twin's once";
    for (const Board& b : boards) {
        EXPECT_EQ(b.codesSince(0), (Codes{kIdDevice, kStartOver}));
        EXPECT_EQ(b.dev->inspect([](const XolDeviceState& s) { return s.idDeviceParams; }),
                  (std::array<uint32_t, 2>{0, 0}));
    }
    const std::vector<const Board*> order = contactOrder();
    ASSERT_EQ(order.size(), 3u);

    // The identifier is the connection identified last; any case names it.
    const Board* lastTwin = firstContact(b1) > firstContact(b3) ? &b1 : &b3;
    EXPECT_EQ(reached(upper(b1.ident)), lastTwin);
    EXPECT_EQ(reached(upper(b2.ident)), &b2);
    // An empty identifier takes the first connection in the same order.
    EXPECT_EQ(reached(""), order.front());

    release();
    const std::vector<std::string> jobs = threadsLogging("Id device operation started");
    ASSERT_GE(jobs.size(), 3u);
    EXPECT_EQ(std::set<std::string>(jobs.begin(), jobs.begin() + 3).size(), 1u)
        << "one thread ran the whole pass";
    EXPECT_NE(threadsLogging("Notification thread started"), std::vector<std::string>{jobs[0]})
        << "the pass runs on the caller's thread";
}

TEST_F(DeviceTable, BoardsThatFailOrNeverAnswerArePassedOverByThePass)
{
    // Among five boards the two failing ones are seldom the last the pass meets.
    boards.reserve(6);
    plug(boardState(1));
    XolDeviceState refusing = boardState(1);
    Fault refuse;
    refuse.code = kIdDevice;
    refuse.status = 0x80000011;
    refuse.sticky = true;
    refusing.faults.push_back(refuse);
    Board& failing = plug(refusing);
    plug(boardState(0));
    Board& silent = plug(boardState(0));
    holding(silent).mode = HoldingBoard::Mode::Drop;
    plug(boardState(1));
    acquire(1000); // the silent board costs one time-out

    std::vector<std::string> answered;
    for (const Board& b : boards) {
        SCOPED_TRACE(b.ident);
        EXPECT_GE(firstContact(b), 0) << "every board asked";
        if (&b == &failing) {
            EXPECT_EQ(b.codesSince(0), Codes{kIdDevice});
        } else if (&b == &silent) {
            EXPECT_EQ(holding(b).idRequests.load(), 1);
            EXPECT_EQ(b.codesSince(0), Codes{});
        } else {
            EXPECT_EQ(b.codesSince(0), (Codes{kIdDevice, kStartOver}));
            answered.push_back(b.ident);
        }
    }
    std::vector<std::string> ids = listed(api);
    std::sort(ids.begin(), ids.end());
    std::sort(answered.begin(), answered.end());
    EXPECT_EQ(ids, answered) << "the three that answered, whatever the order";

    // Named while the table lacks it, a board that answers now is identified again, on the
    // caller's thread.
    failing.dev->edit([](XolDeviceState& s) { s.faults.clear(); });
    holding(silent).mode = HoldingBoard::Mode::Answer;
    for (const Board* b : {&failing, &silent})
        EXPECT_EQ(reached(b->ident), b) << msg.text;
    EXPECT_EQ(listed(api).size(), 5u);
    for (Board* b : {&failing, &silent}) {
        bed->unplug(b->id);
        ASSERT_TRUE(waitListed(api, b->ident, false));
        b->id = bed->plug(nextPort(), b->dev);
        ASSERT_TRUE(waitListed(api, b->ident));
        EXPECT_EQ(reached(b->ident), b) << msg.text;
    }
    EXPECT_EQ(listed(api).size(), 5u);
}

TEST_F(DeviceTable, BoardLeavingDuringThePassIsNotInstalled)
{
    boards.reserve(2);
    plug(boardState(1));
    plug(boardState(1));
    for (const Board& b : boards)
        holding(b).mode = HoldingBoard::Mode::Hold;
    auto asked = [&](const Board& b) { return firstContact(b) >= 0; };

    unsigned long created = 1;
    std::thread creating([&] {
        api = api_acquire();
        if (api == nullptr)
            return;
        api->setlogging(true, logPath);
        _soc_device_info_arr_t targets{};
        created = api->getavailabletargets(&targets, &msg);
    });
    struct Finish {
        std::vector<Board>& boards;
        std::thread& creating;
        ~Finish()
        {
            for (const Board& b : boards)
                holding(b).letGo();
            if (creating.joinable())
                creating.join();
        }
    } finish{boards, creating};
    // The pass meets one board first; it answers and is identified, then the pass waits for the
    // other while the first one leaves.
    ASSERT_TRUE(eventually([&] { return asked(boards[0]) || asked(boards[1]); }));
    Board& leaving = asked(boards[0]) ? boards[0] : boards[1];
    Board& slow = &leaving == &boards[0] ? boards[1] : boards[0];
    holding(leaving).letGo();
    ASSERT_TRUE(eventually([&] { return asked(slow); }));
    bed->unplug(leaving.id);
    // Nothing tells when the departure has reached the library; this leaves it ample time while
    // the pass still waits, well inside the transfer time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    holding(slow).letGo();
    creating.join();
    // The listing that created the transport may meet the departure between its two steps.
    EXPECT_TRUE(created == 0 || created == 0x30003) << msg.text;

    EXPECT_EQ(leaving.codesSince(0), (Codes{kIdDevice, kStartOver})) << "identified first";
    EXPECT_EQ(listed(api), std::vector<std::string>{slow.ident});
    EXPECT_EQ(reached(leaving.ident), nullptr);
    EXPECT_STREQ(msg.text, "Device not found");
    EXPECT_EQ(reached(slow.ident), &slow);

    // Back again, it is identified as any arrival.
    leaving.id = bed->plug(nextPort(), leaving.dev);
    ASSERT_TRUE(waitListed(api, leaving.ident));
    EXPECT_EQ(reached(leaving.ident), &leaving);
}

TEST_F(DeviceTable, ArrivalsAreIdentifiedOnTheNotificationThreadAndDeparturesForgotten)
{
    boards.reserve(4);
    acquire();
    EXPECT_EQ(listed(api), std::vector<std::string>{});
    EXPECT_EQ(reached(""), nullptr);
    EXPECT_STREQ(msg.text, "Device not found");

    XolDeviceState st = boardState(0);
    Board& board = plug(st);
    ASSERT_TRUE(waitListed(api, board.ident));
    EXPECT_EQ(board.codesSince(0), (Codes{kIdDevice, kStartOver}));
    EXPECT_EQ(reached(upper(board.ident)), &board);

    // A second connection reporting the same id is identified and takes the entry: an
    // identification replaces its identifier's.
    Board& twin = plug(st);
    ASSERT_TRUE(eventually([&] { return twin.codesSince(0).size() == 2; }));
    // Entered once its exchange has ended.
    EXPECT_TRUE(eventually([&] { return reached(board.ident) == &twin; }));
    EXPECT_EQ(listed(api), std::vector<std::string>{board.ident});

    // Its leaving takes the entry along; named again, the board still attached is identified
    // anew.
    bed->unplug(twin.id);
    ASSERT_TRUE(waitListed(api, board.ident, false));
    const size_t namedFrom = board.mark();
    EXPECT_EQ(reached(board.ident), &board);
    EXPECT_EQ(board.codesSince(namedFrom), (Codes{kIdDevice, kStartOver, kStartOver}));

    // Leaving takes the entry along.
#if defined(XOL_SIM_BED_STANDIN)
    libusb_device_handle* before = standin::lastHandle(board.id);
#endif
    bed->unplug(board.id);
    ASSERT_TRUE(waitListed(api, board.ident, false));
    EXPECT_EQ(reached(board.ident), nullptr);
    EXPECT_STREQ(msg.text, "Device not found");

    // Back on a new connection, identified afresh.
    const size_t from = board.mark();
    board.id = bed->plug(nextPort(), board.dev);
    ASSERT_TRUE(waitListed(api, board.ident));
    EXPECT_EQ(board.codesSince(from), (Codes{kIdDevice, kStartOver}));
    EXPECT_EQ(reached(board.ident), &board);
#if defined(XOL_SIM_BED_STANDIN)
    EXPECT_NE(standin::lastHandle(board.id), before) << "a new serial text";
#endif

    release();
    const std::vector<std::string> notifier = threadsLogging("Notification thread started");
    ASSERT_EQ(notifier.size(), 1u);
    const std::vector<std::string> jobs = threadsLogging("Id device operation started");
    EXPECT_EQ(std::count(jobs.begin(), jobs.end(), notifier[0]), 3) << "three arrivals";
    EXPECT_EQ(jobs.size(), 4u) << "and the identification the naming asked for";
}

// A time-out the jobs refuse makes the pass no pass: the operation reports the refusal, and the
// next one, with a time-out they take, runs the pass.
TEST_F(DeviceTable, PassWhoseJobsCannotBeBuiltRunsAgainAtTheNextOperation)
{
    const Board& b = plug(boardState(1));
    api = api_acquire();
    ASSERT_NE(api, nullptr);
    api->setlogging(true, logPath);
    ASSERT_EQ(api->setusbreadwritedelay(150, &msg), 0u);
    _startover_cmd_flags_t flags{0};
    unsigned int op, ctx;
    EXPECT_EQ(api->startover(&flags, &op, &ctx, b.ident.c_str(), &msg, nullptr, nullptr),
              0x30006u);
    EXPECT_STREQ(msg.text, "Timeout value is too small");
    EXPECT_EQ(b.codesSince(0), Codes{}) << "nothing sent";

    ASSERT_EQ(api->setusbreadwritedelay(5000, &msg), 0u);
    EXPECT_EQ(listed(api), std::vector<std::string>{b.ident});
    EXPECT_EQ(reached(b.ident), &b) << msg.text;
}

#ifndef _WIN32
int LIBUSB_CALL ignoreEvent(libusb_context*, libusb_device*, libusb_hotplug_event, void*)
{
    return 0;
}

// A host holds libusb's default context, with a hot-plug callback of its own, and a board arrives
// before the library registers: libusb reports it twice, in the registration's enumeration and
// again from the queued arrival. It is one connection: listed once, gone when it leaves, and
// reached under its identifier when it comes back.
TEST_F(DeviceTable, BoardReportedTwiceAroundRegistrationIsOneConnection)
{
    testkit::HostLibusb host;
    ASSERT_TRUE(host.usable());
    ASSERT_EQ(host.init(nullptr), 0);
    libusb_hotplug_callback_handle own = 0;
    ASSERT_EQ(host.registerCallback(nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0,
                                    LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                    LIBUSB_HOTPLUG_MATCH_ANY, ignoreEvent, nullptr, &own),
              0);
    struct HostLetsGo {
        testkit::HostLibusb& host;
        libusb_hotplug_callback_handle own;
        ~HostLetsGo()
        {
            host.deregisterCallback(nullptr, own);
            host.exit(nullptr);
        }
    } letGo{host, own};

    boards.reserve(2);
    Board& b = plug(boardState(1));
    acquire();
    // The queued report has reached the transport once the next arrival has.
    const Board& marker = plug(boardState(1));
    ASSERT_TRUE(waitListed(api, marker.ident));
#if defined(XOL_SIM_BED_STANDIN)
    const auto calls = standin::calls();
    const std::string opened = "libusb_open(dev" + std::to_string(b.id) + ")";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), opened), 1) << "opened once";
#endif
    std::vector<std::string> ids = listed(api);
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> both{b.ident, marker.ident};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(ids, both);
    EXPECT_EQ(reached(b.ident), &b) << msg.text;

    bed->unplug(b.id);
    EXPECT_TRUE(waitListed(api, b.ident, false));
    b.id = bed->plug(nextPort(), b.dev);
    ASSERT_TRUE(waitListed(api, b.ident));
    EXPECT_EQ(reached(b.ident), &b) << msg.text;
    bed->unplug(marker.id);
    ASSERT_TRUE(waitListed(api, marker.ident, false));
    EXPECT_EQ(reached(""), &b) << "no connection of the board's first arrival is left";
}
#endif

TEST_F(DeviceTable, ListingGivesAtMost24WithBusAndPorts)
{
    boards.reserve(25);
    std::map<std::string, std::pair<uint8_t, uint8_t>> where;
    for (uint8_t i = 0; i < 25; ++i) {
        SimDeviceDesc desc = SimDeviceDesc::bulk();
        desc.busNumber = static_cast<uint8_t>(1 + i % 3);
        desc.portNumbers = {static_cast<uint8_t>(i + 1)};
        const Board& b = plug(boardState(i % 2), desc);
        where[b.ident] = {desc.busNumber, desc.portNumbers[0]};
    }
    acquire();

    _soc_device_info_arr_t targets{};
    ASSERT_EQ(api->getavailabletargets(&targets, &msg), 0u) << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    ASSERT_EQ(targets.ids.count, 24u);
    std::set<std::string> seen;
    for (uint32_t i = 0; i < targets.ids.count; ++i) {
        const std::string id = targets.ids.devices[i].id;
        SCOPED_TRACE(id);
        ASSERT_EQ(where.count(id), 1u);
        EXPECT_TRUE(seen.insert(id).second);
        EXPECT_EQ(targets.info[i].type, 1u);
        EXPECT_EQ(targets.info[i].usb.busNumber, where[id].first);
        ASSERT_EQ(targets.info[i].usb.portCount, 1);
        EXPECT_EQ(targets.info[i].usb.portNumbers[0], where[id].second);
    }
    for (const Board& b : boards)
        EXPECT_EQ(b.codesSince(0), (Codes{kIdDevice, kStartOver})) << "every one identified";
}

} // namespace
} // namespace ops
