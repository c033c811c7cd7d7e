// Device messages that cannot be taken as they claim to be, and downloads that do not advance:
// each is refused with a framing status, from the bytes actually received, in bounded time.
#include "operations.h"
#include "protocol_fixture.h"

using namespace prototest;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::XolDeviceState;

namespace {

using FramingFaults = ProtocolTest;

const Failure badSize = vemo(0x20003, "Unexpected message data size");

// --- length fields the receive buffer cannot hold, or that end inside the header

struct LengthCase {
    const char* name;
    uint8_t code;
    Reply on;
    std::optional<uint32_t> size;        // bytes the board really sends
    std::optional<uint32_t> lengthField; // what the length field says
};

class LengthField : public ProtocolTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(LengthField, IsRefusedAfterTheFirstPacket)
{
    const LengthCase c = GetParam();
    inject(faultOn(c.code, c.on, [&](Fault& f) {
        f.size = c.size;
        f.lengthField = c.lengthField;
    }));
    EXPECT_EQ(failureOf([&] { operation(c.code).run(*api); }), badSize);
    // Nothing after the first packet of the refused message: no read past the receive buffer,
    // no wait for bytes that never come.
    const std::vector<SimTransfer> all = transfers();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.back().direction, SimTransfer::In);
    EXPECT_EQ(all[all.size() - 2].direction, SimTransfer::Out);
    EXPECT_LE(all.back().data.size(), 512u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LengthField,
    ::testing::Values(
        LengthCase{"FinalResponseOf16400Bytes", 0x24, Reply::Final, 16400, {}},
        LengthCase{"FinalResponseClaiming16385", 0x24, Reply::Final, {}, 16385},
        LengthCase{"FinalResponseClaimingTheLargestLength", 0x24, Reply::Final, {}, 0xFFFFFF},
        LengthCase{"DownloadChunkOf16385Bytes", 0x22, Reply::Chunk, 16385, {}},
        LengthCase{"DataRequestClaiming20000", 0x23, Reply::DataRequest, {}, 20000},
        LengthCase{"FinalResponseClaiming10", 0x24, Reply::Final, {}, 10},
        LengthCase{"FinalResponseClaiming0", 0x13, Reply::Final, {}, 0},
        LengthCase{"DownloadChunkClaiming19", 0x22, Reply::Chunk, {}, 19}),
    [](const auto& info) { return info.param.name; });

TEST_F(FramingFaults, ChunkFillingTheReceiveBufferExactlyIsTaken)
{
    const Bytes token = pattern(16364, 4);
    board([&](XolDeviceState& s) { s.tokens[3] = token; });
    auto response = api->ReadToken(3);
    EXPECT_EQ(deviceMessages().at(1).size(), 16384u);
    EXPECT_EQ(contentOf(response->getToken()), token);
}

// --- header-only messages where data are expected

// A header-only final response counts as a full one, but a command that reads fields of its data
// has none to read.
class HeaderOnlyFinal : public ProtocolTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(HeaderOnlyFinal, IsRefusedWhereFieldsAreRead)
{
    const Operation op = GetParam();
    inject(faultOn(op.code, Reply::Final, [](Fault& f) {
        f.size = 20;
        f.keepExchange = true;
    }));
    const Failure f = failureOf([&] { op.run(*api); });
    if (op.readsFields)
        EXPECT_EQ(f, badSize);
    else
        EXPECT_EQ(f, Failure());
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, HeaderOnlyFinal, ::testing::ValuesIn(operations()),
                         [](const auto& info) { return info.param.name; });

TEST_F(FramingFaults, HeaderOnlyChunkBringsNoBytes)
{
    // The second of three chunks arrives as its header alone: the first chunk's bytes are still
    // in the receive buffer, and none of them may be taken again. Taking none, the host holds
    // less than the device announced when the last chunk arrives: no token.
    const Bytes token = pattern(40000, 6);
    board([&](XolDeviceState& s) { s.tokens[9] = token; });
    inject(faultOn(0x22, Reply::Chunk, [](Fault& f) {
        f.skip = 1;
        f.size = 20;
        f.keepExchange = true;
    }));
    EXPECT_EQ(failureOf([&] { api->ReadToken(9); }), badSize);
    EXPECT_EQ(chunkRequests(), (std::vector<uint32_t>{16364, 16364, 7272}));
}

// --- a second read that brings less than the message still needs

struct ShortCase {
    const char* name;
    uint8_t code;
    size_t messageSize; // the message the board sends is cut after its first `kept` bytes...
    size_t first;       // ...into a first transfer of this many bytes and a second of the rest
    size_t kept;
};

class ShortSecondRead : public ProtocolTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortSecondRead, IsRefused)
{
    const ShortCase c = GetParam();
    if (c.code == 0x22)
        board([](XolDeviceState& s) { s.tokens[3] = pattern(16364, 1); });
    relay->setRewrite([c](const Bytes& m) {
        if (m.size() != c.messageSize)
            return std::vector<Bytes>{m};
        return std::vector<Bytes>{Bytes(m.begin(), m.begin() + static_cast<long>(c.first)),
                                  Bytes(m.begin() + static_cast<long>(c.first),
                                        m.begin() + static_cast<long>(c.kept))};
    });
    EXPECT_EQ(failureOf([&] { operation(c.code).run(*api); }), badSize);
    // However the board's packets cut the two transfers, the host took in just the bytes sent.
    const std::vector<Bytes> messages = deviceMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().size(), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortSecondRead,
    ::testing::Values(ShortCase{"FinalResponse", 0x24, 64, 20, 50},
                      ShortCase{"FinalResponseThatReadsFields", 0x13, 64, 20, 23},
                      // The second piece ends in a short packet whatever the packet size: a
                      // transfer of whole packets only would wait for more.
                      ShortCase{"DownloadChunk", 0x22, 16384, 512, 16001},
                      ShortCase{"HeaderInTwoPieces", 0x24, 64, 8, 15}),
    [](const auto& info) { return info.param.name; });

// --- downloads that cannot advance

// Every chunk brings whole blocks: a block that one message cannot carry could never arrive.
class BlockSize : public ProtocolTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(BlockSize, OneMessageCannotCarryIsRefusedBeforeAnyChunkRequest)
{
    const uint32_t size = GetParam();
    // The board holds blocks of 512 bytes; its final response says `size`.
    inject(faultOn(0x25, Reply::Final, [size](Fault& f) {
        Bytes data(44, 0);
        data[0] = 16;
        for (int i = 0; i < 4; ++i)
            data[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        f.data = data;
    }));
    EXPECT_EQ(failureOf([&] { api->ReadBootMedia(2, 0, 0, 2, 0); }),
              vemo(0x20003, "Device reported a block size of " + std::to_string(size)));
    EXPECT_EQ(outs().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSize, ::testing::Values(0u, 16365u, 32768u, 0xFFFFFFFFu));

TEST_F(FramingFaults, BlockFillingAMessageIsTaken)
{
    const Bytes media = pattern(2 * 16364, 8);
    board([&](XolDeviceState& s) {
        s.device(2, 0).blockSize = 16364;
        s.device(2, 0).media[0] = media;
    });
    auto response = api->ReadBootMedia(2, 0, 0, 2, 0);
    EXPECT_EQ(contentOf(response->getData()), media);
    EXPECT_EQ(chunkRequests(), (std::vector<uint32_t>{1, 1}));
}

struct StallCase {
    const char* name;
    std::function<void(XolDeviceState&)> setUp;
    std::optional<Fault> fault;
    uint8_t code;
};

class StalledDownload : public ProtocolTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StalledDownload, EndsAfterABoundedNumberOfRequests)
{
    const StallCase c = GetParam();
    board(c.setUp);
    if (c.fault)
        inject(*c.fault);
    const Failure f = failureOf([&] {
        if (c.code == 0x25)
            api->ReadBootMedia(2, 0, 0, 1, 0);
        else
            api->ReadToken(3);
    });
    EXPECT_EQ(f, vemo(0x20004, "Download makes no progress"));
    const size_t requests = chunkRequests().size();
    EXPECT_GE(requests, 2u);
    EXPECT_LE(requests, 32u);
    // The last thing on the wire is the device's answer to the last request.
    EXPECT_EQ(transfers().back().direction, SimTransfer::In);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StalledDownload,
    ::testing::Values(
        StallCase{"MaximumChunkZero", [](XolDeviceState& s) { s.device(2, 0).maxChunk = 0; }, {}, 0x25},
        // Bytes keep coming, but the device never lowers what it says is still to come.
        StallCase{"RemainderNeverFalls",
                  [](XolDeviceState& s) { s.tokens[3] = pattern(400000); },
                  faultOn(0x22, Reply::Chunk,
                          [](Fault& f) {
                              f.sticky = true;
                              f.additional = 100000;
                              f.keepExchange = true;
                          }),
                  0x22}),
    [](const auto& info) { return info.param.name; });

} // namespace
