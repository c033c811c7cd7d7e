// One command's exchange: how device messages are read, checked in order, refused and traced.
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "exceptions.h"
#include "operations.h"
#include "protocol_fixture.h"

using namespace prototest;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::XolDeviceState;

namespace {

using Exchange = ProtocolTest;

// --- the order of the checks: response code, then firmware status, then marker

struct OrderCase {
    const char* name;
    uint8_t code;
    Reply on;
    std::optional<uint32_t> responseCode;
    uint32_t status;
    std::optional<uint8_t> marker;
    Failure expected;
    std::optional<uint32_t> lengthField = std::nullopt;
};

class CheckOrder : public ProtocolTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(CheckOrder, FirstFailingCheckWins)
{
    const OrderCase c = GetParam();
    inject(faultOn(c.code, c.on, [&](Fault& f) {
        f.responseCode = c.responseCode;
        f.status = c.status;
        f.marker = c.marker;
        f.lengthField = c.lengthField;
    }));
    EXPECT_EQ(failureOf([&] { operation(c.code).run(*api); }), c.expected);
}

const Failure badCode = vemo(0x20000, "Bad response code");

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckOrder,
    ::testing::Values(
        OrderCase{"WrongCodeBeforeStatus", 0x24, Reply::Final, 0x800023, 0x80000011, {}, badCode},
        OrderCase{"WrongCodeBeforeMarker", 0x24, Reply::Final, 0x800025, 0, 0x33, badCode},
        OrderCase{"WrongCodeOfAHeartbeat", 0x24, Reply::Final, 0x800099, 0, 0x87, badCode},
        OrderCase{"StatusOfAHeartbeat", 0x24, Reply::Final, {}, 0x80000011, 0x87,
                  vemo(0x80000011, "Invalid parameter")},
        OrderCase{"StatusBeforeMarker", 0x24, Reply::Final, {}, 0x8000003B, 0x33,
                  vemo(0x8000003B, " Media error: Storage write failure")},
        // A length field below the header's is judged after the code, status and marker.
        OrderCase{"WrongCodeBeforeAShortLength", 0x24, Reply::Final, 0x800023, 0, {}, badCode, 10},
        OrderCase{"StatusBeforeAShortLength", 0x24, Reply::Final, {}, 0x80000037, {},
                  vemo(0x80000037, "Token does not exist"), 10},
        OrderCase{"MarkerBeforeAShortLength", 0x24, Reply::Final, {}, 0, 0x33,
                  vemo(0x20001, "Bad response marker"), 0},
        OrderCase{"StatusOfADataRequest", 0x23, Reply::DataRequest, {}, 0x8000001C, {},
                  vemo(0x8000001C, "Invalid chunk size")},
        OrderCase{"StatusOfADownloadChunk", 0x22, Reply::Chunk, {}, 0x8000003C, {},
                  vemo(0x8000003C, "Media error: Storage read failure")},
        OrderCase{"UnknownStatus", 0x13, Reply::Final, {}, 0x80000049, {},
                  vemo(0x80000049, "Unknown error")}),
    [](const auto& info) { return info.param.name; });

// --- a response code that belongs to another command, for every command

struct CodeCase {
    Operation op;
    uint32_t responseCode;
};

std::vector<CodeCase> wrongCodes()
{
    std::vector<CodeCase> v;
    for (const Operation& op : operations()) {
        v.push_back({op, 0x800000u | (op.code == 0x24 ? 0x23u : 0x24u)});
        v.push_back({op, op.code});                       // the response bit missing
        v.push_back({op, op.code == 0x02 ? 0x800004u : 0x800003u}); // 0x800003: recovery only
    }
    return v;
}

class WrongResponseCode : public ProtocolTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(WrongResponseCode, IsRefusedOnTheFirstDeviceMessage)
{
    const CodeCase c = GetParam();
    inject(faultOn(c.op.code, Reply::Any, [&](Fault& f) { f.responseCode = c.responseCode; }));
    EXPECT_EQ(failureOf([&] { c.op.run(*api); }), badCode);
    EXPECT_EQ(outs().size(), 1u) << "nothing follows the refused answer";
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, WrongResponseCode, ::testing::ValuesIn(wrongCodes()),
                         [](const auto& info) {
                             char code[16];
                             std::snprintf(code, sizeof code, "%X", info.param.responseCode);
                             return info.param.op.name + "_" + code;
                         });

// --- the remaining rows of the failure table

struct RowCase {
    const char* name;
    Fault fault;
    Failure expected;
};

class FailureRow : public ProtocolTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(FailureRow, StatusAndText)
{
    const RowCase c = GetParam();
    inject(c.fault);
    EXPECT_EQ(failureOf([&] { operation(c.fault.code).run(*api); }), c.expected);
}

const Failure noChunks = vemo(0x20002, "Additional Response Data is not supported for this command");
const Failure noRequests =
    vemo(0x20002, "Additional Command Data Request is not supported for this command");
const Failure badSize = vemo(0x20003, "Unexpected message data size");

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureRow,
    ::testing::Values(
        RowCase{"Marker33OnAFinalResponse",
                faultOn(0x24, Reply::Final, [](Fault& f) { f.marker = 0x33; }),
                vemo(0x20001, "Bad response marker")},
        RowCase{"Marker33OnADownloadChunk",
                faultOn(0x22, Reply::Chunk, [](Fault& f) { f.marker = 0x33; }),
                vemo(0x20001, "Bad response marker")},
        RowCase{"ChunkForACommandWithoutDownload",
                faultOn(0x24, Reply::Final, [](Fault& f) { f.marker = 0x5A; }), noChunks},
        RowCase{"ChunkForAnUpload",
                faultOn(0x23, Reply::DataRequest, [](Fault& f) { f.marker = 0x5A; }), noChunks},
        RowCase{"DataRequestForACommandWithoutUpload",
                faultOn(0x13, Reply::Final, [](Fault& f) { f.marker = 0xA5; }), noRequests},
        RowCase{"DataRequestForADownload",
                faultOn(0x22, Reply::Chunk, [](Fault& f) { f.marker = 0xA5; }), noRequests},
        RowCase{"FinalResponseWith40DataBytes",
                faultOn(0x24, Reply::Final, [](Fault& f) { f.size = 60; }), badSize},
        RowCase{"FinalResponseWith45DataBytes",
                faultOn(0x24, Reply::Final, [](Fault& f) { f.size = 65; }), badSize},
        RowCase{"TokenFinalResponseWith40DataBytes",
                faultOn(0x22, Reply::Final, [](Fault& f) { f.size = 60; }), badSize},
        RowCase{"CardInfoFinalResponseWith45DataBytes",
                faultOn(0x12, Reply::Final, [](Fault& f) { f.size = 65; }), badSize},
        RowCase{"BootMediaFinalResponseWith40DataBytes",
                faultOn(0x25, Reply::Final, [](Fault& f) { f.size = 60; }), badSize},
        RowCase{"FirmwareStatusOfTheBoardItself",
                faultOn(0x24, Reply::Final, [](Fault& f) { f.status = 0x80000037; }),
                vemo(0x80000037, "Token does not exist")}),
    [](const auto& info) { return info.param.name; });

// A final response announcing additional data, for every command that downloads nothing.
class AdditionalData : public ProtocolTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(AdditionalData, EightMoreBytesAreRefused)
{
    const Operation op = GetParam();
    inject(faultOn(op.code, Reply::Final, [](Fault& f) { f.additional = 8; }));
    EXPECT_EQ(failureOf([&] { op.run(*api); }), vemo(0x20004, "Unexpected additional data size"));
}

INSTANTIATE_TEST_SUITE_P(
    WithoutDownload, AdditionalData,
    ::testing::ValuesIn(operationsWhere([](const Operation& op) { return op.kind != Operation::Download; })),
    [](const auto& info) { return info.param.name; });

TEST_F(Exchange, FirmwareFailureIsAnFwErrorWithTheDevicesStatus)
{
    board([](XolDeviceState& s) { s.tokens.clear(); });
    try {
        api->EraseToken(3);
        FAIL() << "no failure";
    } catch (const FwError& e) {
        EXPECT_EQ(e.getErrorCode(), 0x80000037ul);
        EXPECT_STREQ(e.what(), "Token does not exist");
    }
    // The protocol object stays usable: its next operation starts with a new initial command.
    board([](XolDeviceState& s) { s.tokens[3] = pattern(10); });
    EXPECT_EQ(failureOf([&] { api->EraseToken(3); }), Failure());
    EXPECT_EQ(outs().size(), 2u);
}

TEST_F(Exchange, TransportFailuresPassThroughUnchanged)
{
    XolAPI elsewhere(transport, serial + "0");
    EXPECT_EQ(failureOf([&] { elsewhere.EraseToken(3); }), vemo(0x30003, "Device not found"));

    // A board that never answers: the read times out with libusb's own code and text.
    relay->setRewrite([](const Bytes&) { return std::vector<Bytes>(); });
    api->set_timeout(200);
    EXPECT_EQ(failureOf([&] { api->EraseToken(3); }),
              vemo(static_cast<unsigned long>(-7L), "LIBUSB_ERROR_TIMEOUT"));
}

// --- heartbeats

TEST_F(Exchange, TwoHeartbeatsThenTheFinalResponseAreThreeReadsOfOneCommand)
{
    inject(faultOn(0x24, Reply::Final, [](Fault& f) { f.heartbeats = 2; }));
    api->EraseToken(3);

    EXPECT_EQ(outs().size(), 1u);
    const Bytes heartbeat = hex("14 00 00 14 00 00 00 00 24 00 80 87 00 00 00 00 00 00 00 00");
    EXPECT_EQ(ins(), (std::vector<Bytes>{heartbeat, heartbeat,
                                         cat({hex("40 00 00 14 00 00 00 00 24 00 80 00"), zeros(52)})}));
}

TEST_F(Exchange, EraseTokenAfterThreeHeartbeatsReturnsAResponseWithZeroStatuses)
{
    inject(faultOn(0x24, Reply::Final, [](Fault& f) { f.heartbeats = 3; }));
    auto response = api->EraseToken(3);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->getCmdStatus(), 0u);
    EXPECT_EQ(response->getFwStatus(), 0u);
    EXPECT_EQ(ins().size(), 4u);
    EXPECT_FALSE(look([](const XolDeviceState& s) { return s.tokens.count(3) > 0; }));
}

TEST_F(Exchange, HeartbeatWithAShortLengthFieldIsAHeartbeat)
{
    relay->setRewrite([](const Bytes& m) {
        Bytes heartbeat = hex("08 00 00 14 00 00 00 00 24 00 80 87 00 00 00 00 00 00 00 00");
        return std::vector<Bytes>{heartbeat, m};
    });
    EXPECT_EQ(failureOf([&] { api->EraseToken(3); }), Failure());
    EXPECT_EQ(ins().size(), 2u);
}

// A board that answers with heartbeats alone, one every 20 ms, for a minute at most: the host
// gives up after 120 transfer time-outs (24 s at 200 ms) while they still come.
TEST_F(Exchange, HeartbeatsAloneKeepAnExchangeAliveForABoundedTime)
{
    relay->setRewrite([](const Bytes&) { return std::vector<Bytes>(); });
    api->set_timeout(200);
    std::atomic<bool> done{false};
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const Bytes heartbeat = hex("14 00 00 14 00 00 00 00 24 00 80 87 00 00 00 00 00 00 00 00");
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done && std::chrono::steady_clock::now() < end) {
            relay->deliver(heartbeat);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        feeding = false;
    });
    const Failure f = failureOf([&] { api->EraseToken(3); });
    const bool stillFeeding = feeding;
    done = true;
    feeder.join();
    EXPECT_EQ(f, vemo(static_cast<unsigned long>(-7L), "LIBUSB_ERROR_TIMEOUT"));
    EXPECT_TRUE(stillFeeding) << "the exchange ended only when the heartbeats stopped";
    EXPECT_EQ(outs().size(), 1u);
}

// Endpoints whose packets are shorter than the response header: after the first packet the rest
// of each message comes in one transfer (a request that ended inside a packet would overflow on
// a real bus).
class SmallPackets : public ProtocolTest, public ::testing::WithParamInterface<uint16_t> {
protected:
    uint16_t packetSize() const override { return GetParam(); }
};

TEST_P(SmallPackets, EveryMessageIsTheFirstPacketAndOneMore)
{
    const size_t p = GetParam();
    auto token = api->ReadToken(3);
    EXPECT_EQ(contentOf(token->getToken()), pattern(100, 3));
    std::vector<size_t> sizes;
    for (const Bytes& t : ins())
        sizes.push_back(t.size());
    // The final response (64 bytes) and the one chunk (120 bytes).
    EXPECT_EQ(sizes, (std::vector<size_t>{p, 64 - p, p, 120 - p}));
}

// A message cut inside its rest ends with a short packet: it is refused there, not completed
// from a further transfer that would wait for the next message.
TEST_P(SmallPackets, ACutMessageIsRefusedAtItsShortPacket)
{
    api->set_timeout(200);
    bool first = true;
    relay->setRewrite([&first](const Bytes& m) {
        if (!first)
            return std::vector<Bytes>{m};
        first = false;
        return std::vector<Bytes>{Bytes(m.begin(), m.begin() + 41)};
    });
    EXPECT_EQ(failureOf([&] { api->ReadToken(3); }), vemo(0x20003, "Unexpected message data size"));
    EXPECT_EQ(ins().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SmallPackets, ::testing::Values(8, 16),
                         [](const auto& info) { return "Of" + std::to_string(info.param); });

// A board that sends a heartbeat before every answer: each host message is followed by one
// heartbeat and one answer, for every command.
class HeartbeatEverywhere : public ProtocolTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(HeartbeatEverywhere, EveryHostMessageGetsTwoDeviceMessages)
{
    board([](XolDeviceState& s) { s.heartbeats = 1; });
    EXPECT_EQ(failureOf([&] { GetParam().run(*api); }), Failure());
    EXPECT_EQ(deviceMessages().size(), 2 * outs().size());
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, HeartbeatEverywhere, ::testing::ValuesIn(operations()),
                         [](const auto& info) { return info.param.name; });

// --- reading one device message

// The board's final response reaches the host cut into transfers of these sizes.
struct SplitCase {
    const char* name;
    uint8_t code;
    std::optional<uint32_t> responseCode; // given to the final response
    std::vector<size_t> pieces;
    std::vector<size_t> reads; // the IN transfers the host made of it
};

class SplitAnswer : public ProtocolTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitAnswer, IsReadWhole)
{
    const SplitCase c = GetParam();
    if (c.responseCode)
        inject(faultOn(c.code, Reply::Final, [&](Fault& f) { f.responseCode = c.responseCode; }));
    relay->setRewrite([pieces = c.pieces](const Bytes& m) {
        if (m[11] != 0x00)
            return std::vector<Bytes>{m};
        std::vector<Bytes> out;
        size_t at = 0;
        for (size_t n : pieces) {
            out.emplace_back(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + n));
            at += n;
        }
        return out;
    });
    EXPECT_EQ(failureOf([&] { operation(c.code).run(*api); }), Failure());
    std::vector<size_t> reads;
    for (const Bytes& t : ins())
        reads.push_back(t.size());
    EXPECT_EQ(reads, c.reads);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitAnswer,
    ::testing::Values(
        // A first packet of 8 bytes of a 0x800003 answer is completed with 12, whatever the
        // length field (64) says.
        SplitCase{"HeaderOnlyCodeAfterEightBytes", 0x02, 0x800003, {8, 12}, {20, 8, 12}},
        SplitCase{"FirstPacketHoldsTheWholeMessage", 0x24, {}, {64}, {64}},
        SplitCase{"HeaderThenData", 0x24, {}, {20, 44}, {20, 44}},
        // The first packet holds the length: the rest comes in one transfer.
        SplitCase{"PartOfTheHeaderFirst", 0x24, {}, {8, 56}, {8, 56}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Exchange, RecoveryUploadThroughHeaderOnlyAnswersOnly)
{
    // Recovery accepts 0x800003 on every message; each is complete after 20 bytes.
    inject(faultOn(0x02, Reply::Any, [](Fault& f) {
        f.responseCode = 0x800003;
        f.sticky = true;
        f.keepExchange = true;
    }));
    board([](XolDeviceState& s) { s.uploadDefault = {1000, false}; });
    std::istringstream image(asString(moduleImage(3000, "xolmod", 1000)));
    api->DownloadRecoveryModule(&image);
    // Three data requests, then the final response, taken as its header alone.
    std::vector<size_t> reads;
    for (const Bytes& t : ins())
        reads.push_back(t.size());
    EXPECT_EQ(reads, (std::vector<size_t>{20, 20, 20, 64}));
    EXPECT_EQ(outs().size(), 4u);
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.recoveryModule->image; }),
              moduleImage(3000, "xolmod", 1000));
}

// --- the debug trace

TEST_F(Exchange, EraseTokenTrace)
{
    XolLogCapture log;
    api->EraseToken(3);

    std::vector<std::string> texts;
    for (const XolLogCapture::Record& r : log.records()) {
        EXPECT_EQ(r.serial, serial) << r.message;
        EXPECT_EQ(r.severity, static_cast<int>(boost::log::trivial::debug)) << r.message;
        texts.push_back(r.message);
    }
    const std::vector<std::string> expected = {
        "TX: Payload only: no",
        "TX: Data length: 48",
        "TX: Command: 24",
        "TX: Marker: 0",
        "TX: Header length: 16",
        "TX: Additional data length: 0",
        "TX: Message length: 64",
        "Reading first packet",
        "RX: Command: 800024",
        "RX: Marker: 0",
        "RX: Message length: 64",
        "RX: Header length: 20",
        "RX: Data length (calculated): 44",
        "RX: Additional data length: 0",
        "RX: Flags: 0",
        "RX: FW status: 0",
    };
    EXPECT_EQ(texts, expected);

    // Sending, reading and dispatch each run in a named scope of their own.
    const std::vector<XolLogCapture::Record> records = log.records();
    ASSERT_EQ(records.size(), expected.size());
    EXPECT_NE(records[0].scopes.find("sendMessage"), std::string::npos) << records[0].scopes;
    EXPECT_NE(records[7].scopes.find("read"), std::string::npos) << records[7].scopes;
    EXPECT_NE(records[8].scopes.find("HandleIncomingMessage"), std::string::npos) << records[8].scopes;
}

TEST_F(Exchange, TraceOfAPayloadOnlyChunkAndOfAMessageReadInTwo)
{
    XolLogCapture log;
    board([](XolDeviceState& s) { s.uploadScript[0x23] = {{100, true}}; });
    relay->setRewrite([](const Bytes& m) {
        if (m.size() != 64)
            return std::vector<Bytes>{m};
        return std::vector<Bytes>{Bytes(m.begin(), m.begin() + 20), Bytes(m.begin() + 20, m.end())};
    });
    Token token(reinterpret_cast<const char*>(pattern(100).data()), 100);
    api->WriteToken(token, 5);

    std::vector<std::string> texts;
    for (const XolLogCapture::Record& r : log.records())
        texts.push_back(r.message);
    // The chunk: no header, so no header records.
    auto chunk = std::find(texts.begin(), texts.end(), "TX: Payload only: yes");
    ASSERT_NE(chunk, texts.end());
    ASSERT_GE(texts.end() - chunk, 4);
    EXPECT_EQ(std::vector<std::string>(chunk, chunk + 4),
              (std::vector<std::string>{"TX: Payload only: yes", "TX: Data length: 100",
                                        "TX: Message length: 100", "Reading first packet"}));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Reading the rest"), 1);
}

} // namespace
