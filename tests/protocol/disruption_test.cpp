// Every command's exchange broken at each of its device messages in turn: the board unplugged
// instead of sending it, the message withheld, its header garbled, a download's amount still to
// come made to rise or to swing, or its block size made too large. Each run must end within a
// generous watchdog with a clear status, or succeed with exactly the data the board holds; a run
// that crashes takes the test program with it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <sstream>

#include "operations.h"
#include "protocol_fixture.h"
#include "xol_api.h"

using namespace prototest;
using xolsim::XolDeviceState;

namespace {

// Transfer time-outs: the shortest there is, so that withheld messages cost little; when the board
// is unplugged, one that the departure beats by far.
constexpr unsigned long kTimeoutMs = 200;
constexpr unsigned long kUnplugTimeoutMs = 5000;
// Far above anything a refused exchange may take; only a hang reaches it.
constexpr auto kWatchdog = std::chrono::seconds(60);

enum class Mode { Unplug, Silence, LongerLength, ShorterLength, Cut, OtherMarker, MoreAnnounced,
                  LessAnnounced, HeaderLength, RisingStillToCome, OscillatingStillToCome,
                  OversizedBlock };

const char* nameOf(Mode m)
{
    switch (m) {
    case Mode::Unplug: return "Unplug";
    case Mode::Silence: return "Silence";
    case Mode::LongerLength: return "LongerLength";
    case Mode::ShorterLength: return "ShorterLength";
    case Mode::Cut: return "Cut";
    case Mode::OtherMarker: return "OtherMarker";
    case Mode::MoreAnnounced: return "MoreAnnounced";
    case Mode::LessAnnounced: return "LessAnnounced";
    case Mode::HeaderLength: return "HeaderLength";
    case Mode::RisingStillToCome: return "RisingStillToCome";
    case Mode::OscillatingStillToCome: return "OscillatingStillToCome";
    case Mode::OversizedBlock: return "OversizedBlock";
    }
    return "?";
}

void put(Bytes& m, size_t at, int width, uint32_t v)
{
    for (int i = 0; i < width; ++i)
        m[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The message with one header field made wrong, its data left alone (a device's data bytes carry
// no check the host could apply). `figure` is the amount still to come that the board gave last
// (the total, after the final response of a download). The result may be several messages.
std::vector<Bytes> garbled(Mode mode, Bytes m, uint32_t figure)
{
    const uint32_t length = le(m, 0, 3);
    const uint32_t additional = le(m, 12, 4);
    const bool chunk = m[11] == 0x5A;
    switch (mode) {
    case Mode::LongerLength: put(m, 0, 3, length + 1); break;
    case Mode::ShorterLength: put(m, 0, 3, length - 1); break;
    case Mode::Cut: m.resize(m.size() / 2); break;
    case Mode::OtherMarker: {
        // final -> chunk -> request -> heartbeat -> final
        const uint8_t next[] = {0x5A, 0xA5, 0x87, 0x00};
        const uint8_t order[] = {0x00, 0x5A, 0xA5, 0x87};
        for (int i = 0; i < 4; ++i)
            if (m[11] == order[i]) {
                m[11] = next[i];
                break;
            }
        break;
    }
    case Mode::MoreAnnounced: put(m, 12, 4, additional * 2 + 1); break;
    case Mode::LessAnnounced: put(m, 12, 4, additional / 2); break;
    case Mode::HeaderLength: m[3] = static_cast<uint8_t>(m[3] + 1); break;
    // A chunk that says more is still to come than the board said before it.
    case Mode::RisingStillToCome:
        if (chunk)
            put(m, 12, 4, figure + 1);
        break;
    // An empty chunk that says less is still to come than the chunk behind it then does.
    case Mode::OscillatingStillToCome:
        if (chunk && additional > 0) {
            Bytes empty(m.begin(), m.begin() + 20);
            put(empty, 0, 3, 20);
            put(empty, 12, 4, additional - 1);
            return {empty, m};
        }
        break;
    // Read Boot Media's block size, more than any message can carry.
    case Mode::OversizedBlock:
        if (m[11] == 0x00 && le(m, 8, 3) == 0x800025 && m.size() >= 28)
            put(m, 24, 4, 0xFFFFFFFF);
        break;
    default: break;
    }
    return {m};
}

XolDeviceState disruptedBoard()
{
    XolDeviceState s = standardBoard();
    for (uint8_t i = 0; i < 16; ++i)
        s.platformId[i] = static_cast<uint8_t>(0xA0 + i);
    s.idFlags = 0x1234;
    s.tokenPartId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    // Several messages per upload and download, in both upload forms.
    s.uploadDefault = {1024, false};
    s.uploadScript[0x15] = {{1000, true}, {1000, true}, {1000, true}};
    s.device(2, 0).maxChunk = 3;
    return s;
}

Bytes unitBytes(size_t n, uint8_t seed) { return pattern(n, seed); }

// Runs the command with the inputs of its row in the operations table and tells what is wrong with
// a successful result; empty when it is exactly what the board holds or received.
std::string runChecked(uint8_t code, XolAPI& api, const xolsim::XolDevice& board)
{
    auto state = [&board] { return board.state(); };
    auto image = [](const std::string& module) { return moduleImage(3000, module, 1000); };
    std::ostringstream wrong;
    switch (code) {
    case 0x01: {
        auto r = api.IdDevice(0x11223344, 0);
        const XolDeviceState s = state();
        if (!std::equal(s.platformId.begin(), s.platformId.end(), r->getPlatformUniqueId()) ||
            r->getFlags() != s.idFlags)
            wrong << "identification fields";
        break;
    }
    case 0x02:
    case 0x15: {
        const bool recovery = code == 0x02;
        const Bytes bytes = image(recovery ? "xolmod" : "rcipifwi");
        operation(code).run(api);
        const XolDeviceState s = state();
        const auto& got = recovery ? s.recoveryModule : s.firmwareImage;
        if (!got || got->image != bytes)
            wrong << "the board has " << (got ? got->image.size() : 0) << " of 3000 image bytes";
        break;
    }
    case 0x10:
        operation(code).run(api);
        if (!state().device(2, 0).rpmbCleared)
            wrong << "RPMB not cleared";
        break;
    case 0x11:
        operation(code).run(api);
        if (state().device(2, 0).lastConfigRequest != unitBytes(300, 0x11))
            wrong << "configuration request not received whole";
        break;
    case 0x12: {
        auto r = api.GetCardInfo(2, 0);
        if (contentOf(r->getDeviceInfo()) != state().device(2, 0).cardInfo || r->getDeviceType() != 2)
            wrong << "card information of " << contentOf(r->getDeviceInfo()).size() << " bytes";
        break;
    }
    case 0x13: {
        auto r = api.StartOver(0);
        const XolDeviceState s = state();
        if (r->getCurrentCtx() != s.context || r->getCurrentOp() != s.currentOperation)
            wrong << "context or operation";
        break;
    }
    case 0x14:
        operation(code).run(api);
        if (state().oemIfpBlock != unitBytes(200, 0x14))
            wrong << "OEM IFP block not received whole";
        break;
    case 0x16:
        operation(code).run(api);
        if (!state().ifpEmulation || (*state().ifpEmulation)[0] != 0x16)
            wrong << "IFP emulation record not received";
        break;
    case 0x17: {
        auto r = api.SetProtocol(1);
        if (r->getVersion() != 1 || state().protocolVersion != 1u)
            wrong << "protocol version";
        break;
    }
    case 0x20:
        operation(code).run(api);
        if (state().lifecycleStage != unitBytes(64, 0x20))
            wrong << "lifecycle token not received whole";
        break;
    case 0x21: {
        auto r = api.GetTokenPartId(7);
        const XolDeviceState s = state();
        if (!std::equal(s.tokenPartId.begin(), s.tokenPartId.end(), r->getTokenPartId()))
            wrong << "token part id";
        break;
    }
    case 0x22: {
        auto r = api.ReadToken(3);
        const Bytes got = contentOf(r->getToken());
        if (got != state().tokens.at(3))
            wrong << "token of " << got.size() << " bytes";
        break;
    }
    case 0x23: {
        operation(code).run(api);
        const XolDeviceState s = state();
        if (!s.tokens.count(4) || s.tokens.at(4) != unitBytes(100, 0x23))
            wrong << "token not received whole";
        break;
    }
    case 0x24:
        operation(code).run(api);
        if (state().tokens.count(3))
            wrong << "token not erased";
        break;
    case 0x25: {
        auto r = api.ReadBootMedia(2, 0, 0, 8, 0);
        const Bytes media = state().device(2, 0).media.at(0);
        const Bytes got = contentOf(r->getData());
        if (got != Bytes(media.begin(), media.begin() + 8 * 512))
            wrong << "boot media of " << got.size() << " bytes";
        break;
    }
    }
    return wrong.str();
}

struct Outcome {
    bool finished = false;
    Failure failure;
    std::string wrong;
};

struct Case {
    Operation op;
    Mode mode;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.op.name << " " << nameOf(c.mode); }

class Disruption : public ::testing::TestWithParam<Case> {
protected:
    // Runs the command on a fresh board whose device message `index` is disrupted (none: -1);
    // *messages gets the number of device messages the board sent.
    Outcome runAt(int index, size_t* messages = nullptr)
    {
        const Case c = GetParam();
        SharedBed& shared = SharedBed::get();
        auto board = std::make_shared<xolsim::XolDevice>(disruptedBoard());
        auto relay = std::make_shared<Relay>(board);
        std::promise<void> unplugNow;
        auto unplugSignal = unplugNow.get_future();
        std::atomic<int> seen{0};
        uint32_t figure = 0;
        relay->setRewrite([&, index](const Bytes& m) -> std::vector<Bytes> {
            const uint32_t before = figure;
            if (m.size() >= 16 && (m[11] == 0x00 || m[11] == 0x5A))
                figure = le(m, 12, 4);
            if (seen++ != index)
                return {m};
            if (c.mode == Mode::Unplug)
                unplugNow.set_value();
            if (c.mode == Mode::Unplug || c.mode == Mode::Silence)
                return {};
            return garbled(c.mode, m, before);
        });
        static unsigned boards = 0;
        SimDeviceDesc desc = SimDeviceDesc::bulk(0x3C11, 512);
        desc.busNumber = static_cast<uint8_t>(1 + boards++ % 32);
        SimBed::DeviceId id = 0;
        std::string serial;
        Outcome out;
        if (!shared.plug(desc, relay, id, serial)) {
            ADD_FAILURE() << "the transport did not open the board";
            return out;
        }
        bool plugged = true;
        {
            XolAPI api(&shared.transport(), serial);
            api.set_timeout(c.mode == Mode::Unplug ? kUnplugTimeoutMs : kTimeoutMs);
            auto run = std::async(std::launch::async, [&] {
                Outcome o;
                o.failure = failureOf([&] { o.wrong = runChecked(c.op.code, api, *board); });
                return o;
            });
            const auto until = std::chrono::steady_clock::now() + kWatchdog;
            while (run.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready &&
                   std::chrono::steady_clock::now() < until) {
                if (plugged && c.mode == Mode::Unplug &&
                    unplugSignal.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
                    EXPECT_TRUE(shared.unplug(id, serial)) << "the transport did not close the board";
                    plugged = false;
                }
            }
            if (run.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                ADD_FAILURE() << c.op.name << " still runs " << kWatchdog.count()
                              << " s after message " << index << " was disrupted ("
                              << nameOf(c.mode) << ")";
                std::fflush(nullptr);
                std::_Exit(1); // the hung operation holds the bed: nothing after it can run
            }
            out = run.get();
            out.finished = true;
        }
        relay->setRewrite(nullptr);
        if (messages)
            *messages = static_cast<size_t>(seen.load());
        if (plugged) {
            EXPECT_TRUE(shared.unplug(id, serial)) << "the transport did not close the board";
        }
        return out;
    }
};

// libusb's codes as the status width carries them.
constexpr unsigned long kNoDevice = static_cast<unsigned long>(-4L);
constexpr unsigned long kTimedOut = static_cast<unsigned long>(-7L);

// The statuses a disruption may end with; empty: any clear one (garbles).
std::vector<unsigned long> expectedCodes(Mode m)
{
    // The transfer in flight fails, or the next one finds the connection already gone.
    if (m == Mode::Unplug)
        return {kNoDevice, 0x30003};
    if (m == Mode::Silence)
        return {kTimedOut};
    return {};
}

TEST_P(Disruption, EndsClearlyOrSucceedsWithTheRightData)
{
    const Case c = GetParam();
    size_t messages = 0;
    const Outcome clean = runAt(-1, &messages);
    ASSERT_TRUE(clean.finished);
    ASSERT_EQ(clean.failure, Failure()) << "undisrupted";
    ASSERT_EQ(clean.wrong, "") << "undisrupted";
    ASSERT_GT(messages, 0u);
    for (size_t i = 0; i < messages; ++i) {
        SCOPED_TRACE("device message " + std::to_string(i) + " of " + std::to_string(messages));
        const Outcome o = runAt(static_cast<int>(i));
        ASSERT_TRUE(o.finished);
        const Failure& f = o.failure;
        const std::vector<unsigned long> codes = expectedCodes(c.mode);
        if (f == Failure()) {
            EXPECT_TRUE(codes.empty()) << "success without the device";
            EXPECT_EQ(o.wrong, "") << "success with wrong or missing data";
            continue;
        }
        // A stream failure is an image upload asked past its end; the interface reports it.
        EXPECT_TRUE((f.kind == Failure::Vemo && f.code != 0) || f.kind == Failure::Stream) << f;
        if (!codes.empty()) {
            EXPECT_NE(std::find(codes.begin(), codes.end(), f.code), codes.end()) << f;
        }
    }
}

std::vector<Case> cases()
{
    std::vector<Case> v;
    for (const Operation& op : operations())
        for (Mode m : {Mode::Unplug, Mode::Silence, Mode::LongerLength, Mode::ShorterLength,
                       Mode::Cut, Mode::OtherMarker, Mode::MoreAnnounced, Mode::LessAnnounced,
                       Mode::HeaderLength, Mode::RisingStillToCome,
                       Mode::OscillatingStillToCome, Mode::OversizedBlock})
            v.push_back({op, m});
    return v;
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, Disruption, ::testing::ValuesIn(cases()),
                         [](const auto& info) {
                             return info.param.op.name + "_" + nameOf(info.param.mode);
                         });

} // namespace
