// One board, one connection: an operation, the IFP record it fetches and the progress records it
// hands on belong to the connection its look-up found. The stand-in gives a board arriving after
// the look-up the departed board's handle address, and so its serial text.
#include <future>

#include "ops_host.h"
#if defined(XOL_SIM_BED_STANDIN)
#include "standin_control.h"
#endif

namespace ops {
namespace {

#if defined(XOL_SIM_BED_STANDIN)

// A board that keeps its answer to Id Device back until let go: the notification thread
// identifying it waits meanwhile, and every event behind it with it.
class StallingBoard : public XolDevice {
public:
    using XolDevice::XolDevice;
    void onBulkOut(const Bytes& data) override
    {
        {
            std::unique_lock<std::mutex> lock(heldLock);
            if (stalling && data.size() > 4 && data[4] == heldCode) {
                asked = true;
                if (!holdsTransfer) {
                    held = data;
                    return;
                }
                released.wait(lock, [this] { return !stalling; });
            }
        }
        XolDevice::onBulkOut(data);
    }
    void letGo()
    {
        Bytes request;
        {
            std::lock_guard<std::mutex> lock(heldLock);
            stalling = false;
            request.swap(held);
        }
        released.notify_all();
        if (!request.empty())
            XolDevice::onBulkOut(request);
    }
    std::atomic<bool> asked{false};
    std::atomic<uint8_t> heldCode{kIdDevice};

protected:
    bool holdsTransfer = false; // set before the board is plugged

private:
    std::mutex heldLock;
    std::condition_variable released;
    bool stalling = true;
    Bytes held;
};

// Keeps its answer to Start Over back instead, from its arrival on.
class StartOverStallingBoard : public StallingBoard {
public:
    explicit StartOverStallingBoard(XolDeviceState st) : StallingBoard(std::move(st))
    {
        heldCode = kStartOver;
    }
};

// Keeps the transfer that carries its Id Device from returning instead: the notification thread
// identifying it stays inside that transfer, whatever happens to the board meanwhile.
class TransferStallingBoard : public StallingBoard {
public:
    explicit TransferStallingBoard(XolDeviceState st) : StallingBoard(std::move(st))
    {
        holdsTransfer = true;
    }
};

class BoardIdentity : public HostTest {
protected:
    void TearDown() override
    {
        if (slowed)
            api->setusbreadwritedelay(5000, nullptr);
        for (Board& b : own) {
            if (auto* stalling = dynamic_cast<StallingBoard*>(b.dev.get()))
                stalling->letGo();
            if (b.id == 0)
                continue; // left during the test
            host.bed->unplug(b.id);
            EXPECT_TRUE(waitListed(api, b.ident, false)) << "departure of " << b.ident;
        }
        HostTest::TearDown();
    }

    // A board of the test's own, listed before it goes on.
    Board& ownBoard(XolDeviceState st)
    {
        own.push_back(plugBoard(*host.bed, std::move(st)));
        EXPECT_TRUE(waitListed(api, own.back().ident));
        return own.back();
    }

    // Board `from` leaves, and a board of state `st` arrives at its handle address; returns once
    // the transport has opened the newcomer, whose identification may still be to come.
    Board& successor(Board& from, XolDeviceState st)
    {
        libusb_device_handle* handle = standin::lastHandle(from.id);
        standin::reuseHandleOnNextOpen(handle);
        host.bed->unplug(from.id);
        from.id = 0;
        own.push_back(plugBoard(*host.bed, std::move(st)));
        const SimBed::DeviceId id = own.back().id;
        EXPECT_TRUE(eventually([&] { return standin::lastHandle(id) == handle; }));
        // The connection enters the table right after libusb_open returns.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return own.back();
    }

    // The notification thread held, for up to 20 s, in the identification of a board that keeps
    // its answer back; the board lets go when the test ends.
    StallingBoard& holdNotificationThread()
    {
        slowed = true;
        EXPECT_EQ(api->setusbreadwritedelay(20000, &msg), 0u) << msg.text;
        own.push_back(plugBoard<StallingBoard>(*host.bed, boardState(1)));
        auto& held = static_cast<StallingBoard&>(*own.back().dev);
        EXPECT_TRUE(eventually([&] { return held.asked.load(); }));
        return held;
    }

    // Start Over through the empty identifier, on a thread of its own: its status and text.
    std::future<std::string> firstBoardStartOver()
    {
        return std::async(std::launch::async, [this] {
            _error_msg_t m{};
            _startover_cmd_flags_t flags{0};
            unsigned int op, ctx;
            const unsigned long status =
                api->startover(&flags, &op, &ctx, "", &m, nullptr, nullptr);
            return std::to_string(status) + " " + m.text;
        });
    }

    _error_msg_t msg{};
    bool slowed = false;
    std::deque<Board> own; // references stay valid as boards are added
};

// Board A leaves after the look-up of its identifier and before the operation's first transfer;
// C arrives under A's serial text and is identified meanwhile. The operation fails on no board,
// C is untouched, and the caller's callback gets, on the caller's thread, the operation's own
// records only: none of C's identification.
TEST_F(BoardIdentity, BoardArrivingBetweenLookUpAndFirstTransferIsNeverReached)
{
    Board& a = ownBoard(boardState(1));
    const XolDeviceState cState = boardState(1);
    const std::string cIdent = identifierOf(cState.platformId);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    std::atomic<bool> swapped{false};
    bool identified = false;
    Board* c = nullptr;
    Progress progress;
    progress.onRecord = [&](const std::string&) {
        if (std::this_thread::get_id() != caller) {
            ++elsewhere;
            return;
        }
        if (swapped.exchange(true))
            return;
        c = &successor(a, cState);
        identified = waitListed(api, cIdent);
    };
    const unsigned long status =
        api->erasetoken(recovery, 3, a.ident.c_str(), &msg, Progress::callback, &progress);

    EXPECT_EQ(status, static_cast<unsigned long>(-4L)) << msg.text;
    EXPECT_STREQ(msg.text, "LIBUSB_ERROR_NO_DEVICE");
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(identified);
    EXPECT_EQ(c->codesSince(0), (std::vector<uint8_t>{kIdDevice, kStartOver}));
    EXPECT_EQ(c->dev->inspect([](const XolDeviceState& s) { return s.tokens; }), cState.tokens);
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_FALSE(progress.saw("Id device operation started"));

    // C's own identifier reaches C.
    _startover_cmd_flags_t flags{0};
    unsigned int op, ctx;
    EXPECT_EQ(api->startover(&flags, &op, &ctx, cIdent.c_str(), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_EQ(c->codesSince(2), std::vector<uint8_t>{kStartOver});
}

// A, identified with a record, leaves while its departure waits behind a stalled
// identification, and C arrives under A's serial text meanwhile. C, named and found in ROM
// context, is sent no record; an operation naming A reaches no board.
TEST_F(BoardIdentity, RecordOfADepartedBoardPassesToNoNewcomer)
{
    Board& a = ownBoard(boardState(1));
    _id_dev_ifp_emulation_t record = ifpRecord(7, "ABCD", 0x51);
    _oem_platform_id_t oem;
    _platform_id_t pid;
    _id_dev_flags_t flags;
    _image_error_values_t errors;
    auto identify = [&](const Board& b) {
        return api->deviceid(0, &record, &oem, &pid, &flags, &errors, b.ident.c_str(), &msg,
                             nullptr, nullptr);
    };
    ASSERT_EQ(identify(a), 0u) << msg.text;

    // The notification thread is held in the stalling board's identification.
    own.push_back(plugBoard<StallingBoard>(*host.bed, boardState(1)));
    auto& stalling = static_cast<StallingBoard&>(*own.back().dev);
    ASSERT_TRUE(eventually([&] { return stalling.asked.load(); }));
    struct LetGo {
        StallingBoard& board;
        ~LetGo() { board.letGo(); }
    } letGo{stalling};

    Board& c = successor(a, boardState(0));
    // Named, C is identified on the caller's thread, without waiting for the stalled board's
    // identification, A's departure still to be taken.
    char buffer[128];
    size_t length = sizeof buffer;
    EXPECT_EQ(api->readtoken(recovery, buffer, &length, 3, c.ident.c_str(), &msg, nullptr,
                             nullptr),
              0u)
        << msg.text;
    stalling.letGo();
    const std::vector<uint8_t> codes = c.codesSince(0);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kIfpEmulation), 0) << "no record sent";

    EXPECT_EQ(identify(a), 0x30003u);
    EXPECT_STREQ(msg.text, "Device not found");
}

// The notification thread is held in a board that keeps its answer back, and a caller is
// identifying the board it named. A second caller naming that board goes on as soon as the board
// is listed, not when the held identification ends.
TEST_F(BoardIdentity, CallerNamingABoardGoesOnOnceItIsListedWhateverElseIsBeingIdentified)
{
    StallingBoard& held = holdNotificationThread();
    own.push_back(plugBoard<StallingBoard>(*host.bed, boardState(1)));
    const Board& named = own.back();
    auto& namedBoard = static_cast<StallingBoard&>(*named.dev);
    // Opened by the transport; its identification waits behind the held one.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    auto startOver = [&] {
        _error_msg_t m{};
        _startover_cmd_flags_t flags{0};
        unsigned int op, ctx;
        return api->startover(&flags, &op, &ctx, named.ident.c_str(), &m, nullptr, nullptr);
    };
    auto first = std::async(std::launch::async, startOver);
    ASSERT_TRUE(eventually([&] { return namedBoard.asked.load(); }));
    auto second = std::async(std::launch::async, startOver);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    namedBoard.letGo();
    EXPECT_EQ(first.get(), 0u);
    const bool prompt = second.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    held.letGo();
    EXPECT_TRUE(prompt) << "the second caller waited for the held board's identification";
    EXPECT_EQ(second.get(), 0u);
}

// A listed board leaves while the notification thread is held in another board's
// identification, so its departure is still to be taken: listings go on, without it.
TEST_F(BoardIdentity, BoardWhoseDepartureWaitsIsNotListed)
{
    Board& a = ownBoard(boardState(1));
    StallingBoard& held = holdNotificationThread();
    host.bed->unplug(a.id);
    a.id = 0;
    // The transport closes the connection at once; the listener hears of it later.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    _soc_device_info_arr_t targets{};
    const unsigned long status = api->getavailabletargets(&targets, &msg);
    held.letGo();
    EXPECT_EQ(status, 0u) << msg.text;
    for (uint32_t i = 0; status == 0 && i < targets.ids.count; ++i)
        EXPECT_NE(targets.ids.devices[i].id, a.ident);
}

// A board whose identification on arrival failed is reached by its operation through the empty
// identifier. A caller naming an identifier the table lacks meanwhile sends it no Id Device in
// the middle of that operation's exchange.
TEST_F(BoardIdentity, NoIdentificationReachesABoardAnOperationIsRunningOn)
{
    XolDeviceState st = boardState(1);
    xolsim::Fault refused;
    refused.code = kIdDevice;
    refused.status = 0x80000001;
    st.faults.push_back(refused);
    own.push_back(plugBoard<StartOverStallingBoard>(*host.bed, std::move(st)));
    const Board& unlisted = own.back();
    auto& board = static_cast<StallingBoard&>(*unlisted.dev);
    ASSERT_TRUE(eventually([&] { return !unlisted.codesSince(0).empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // its identification has ended

    auto operation = firstBoardStartOver();
    ASSERT_TRUE(eventually([&] { return board.asked.load(); }));
    _startover_cmd_flags_t flags{0};
    unsigned int op, ctx;
    EXPECT_EQ(api->startover(&flags, &op, &ctx, "0123456789abcdef0123456789abcdef", &msg, nullptr,
                             nullptr),
              0x30003u);
    board.letGo();
    EXPECT_EQ(operation.get(), "0 Success");
    EXPECT_EQ(unlisted.codesSince(0), (std::vector<uint8_t>{kIdDevice, kStartOver}));
}

// A board arrives while the notification thread is held elsewhere, and an operation through the
// empty identifier reaches it before its arrival is taken: the arrival's identification waits
// for the operation instead of being dropped, so the board is listed once the operation ends.
TEST_F(BoardIdentity, ArrivalTakenDuringAnOperationOnTheBoardIsIdentifiedAfterIt)
{
    slowed = true;
    ASSERT_EQ(api->setusbreadwritedelay(20000, &msg), 0u) << msg.text;
    // The notification thread held inside a transfer to a board that then leaves: the board
    // reached next is the only one left.
    own.push_back(plugBoard<TransferStallingBoard>(*host.bed, boardState(1)));
    Board& gone = own.back();
    auto& holder = static_cast<StallingBoard&>(*gone.dev);
    ASSERT_TRUE(eventually([&] { return holder.asked.load(); }));
    own.push_back(plugBoard<StartOverStallingBoard>(*host.bed, boardState(1)));
    const Board& arrived = own.back();
    auto& board = static_cast<StallingBoard&>(*arrived.dev);
    ASSERT_TRUE(eventually([&] { return standin::lastHandle(arrived.id) != nullptr; }));
    host.bed->unplug(gone.id);
    gone.id = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    auto operation = firstBoardStartOver();
    ASSERT_TRUE(eventually([&] { return board.asked.load(); }));
    holder.letGo();
    // The arrival is taken while the operation holds the board.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    board.letGo();
    EXPECT_EQ(operation.get(), "0 Success");
    EXPECT_TRUE(waitListed(api, arrived.ident));
    // The operation's, then the identification's own two, after it.
    EXPECT_EQ(arrived.codesSince(0), (std::vector<uint8_t>{kStartOver, kIdDevice, kStartOver}));
}

#endif

} // namespace
} // namespace ops
