// A device's figures checked against what the host asked and what arrived: a download ends in
// success only with every announced byte, an upload when the device says it has enough (never
// with more sent than it asked), and no device figure sizes the host's memory or divides anything.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <sstream>

#include "operations.h"
#include "protocol_fixture.h"

using namespace prototest;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::UploadStep;
using xolsim::XolDeviceState;

namespace {

const Failure badSize = vemo(0x20003, "Unexpected message data size");
const Failure badAdditional = vemo(0x20004, "Unexpected additional data size");

struct ClaimCase {
    const char* name;
    uint8_t code;
    Fault fault;
    Failure expected;
    size_t hostMessages; // host messages sent before the refusal
};
std::ostream& operator<<(std::ostream& os, const ClaimCase& c) { return os << c.name; }

class DownloadClaim : public ProtocolTest, public ::testing::WithParamInterface<ClaimCase> {};

TEST_P(DownloadClaim, IsRefused)
{
    const ClaimCase c = GetParam();
    inject(c.fault);
    EXPECT_EQ(failureOf([&] { operation(c.code).run(*api); }), c.expected);
    EXPECT_EQ(outs().size(), c.hostMessages);
}

// A download chunk in place of the final response: no total, and for boot media no block size.
Fault chunkFirst(uint8_t code)
{
    return faultOn(code, Reply::Final, [](Fault& f) {
        f.marker = 0x5A;
        f.additional = 5;
    });
}

// The last chunk's length field says fewer bytes than it brings.
Fault shortChunk(uint8_t code, uint32_t lengthField)
{
    return faultOn(code, Reply::Chunk, [&](Fault& f) {
        f.lengthField = lengthField;
        f.keepExchange = true;
    });
}

Fault announcing(uint8_t code, uint32_t total)
{
    return faultOn(code, Reply::Final, [&](Fault& f) { f.additional = total; });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadClaim,
    ::testing::Values(
        ClaimCase{"BootMediaAnsweredByAChunk", 0x25, chunkFirst(0x25),
                  vemo(0x20002, "Additional Response Data is not supported for this command"), 1},
        ClaimCase{"TokenAnsweredByAChunk", 0x22, chunkFirst(0x22),
                  vemo(0x20002, "Additional Response Data is not supported for this command"), 1},
        // Read Token of 100 bytes whose only chunk says 21 bytes long: 1 byte, nothing to come.
        ClaimCase{"TokenChunkOfOneByte", 0x22, shortChunk(0x22, 21), badSize, 2},
        ClaimCase{"CardInfoChunkOfOneByte", 0x12, shortChunk(0x12, 21), badSize, 2},
        // 8 blocks of 512 in one chunk, its length field 1044 bytes short: 3072, whole packets at
        // every packet size, so the bus ends the host's transfer there and keeps the rest.
        ClaimCase{"BootMediaChunkCut", 0x25, shortChunk(0x25, 20 + 8 * 512 - 1044), badSize, 2},
        // More than a 100-byte token: the chunk that brings it is not taken.
        ClaimCase{"TokenChunkLongerThanAnnounced", 0x22,
                  faultOn(0x22, Reply::Chunk,
                          [](Fault& f) {
                              f.data = pattern(200);
                              f.keepExchange = true;
                          }),
                  badSize, 2},
        ClaimCase{"TokenOfAGibibyte", 0x22, announcing(0x22, 1u << 30), badAdditional, 1},
        ClaimCase{"CardInfoOfAGibibyte", 0x12, announcing(0x12, 1u << 30), badAdditional, 1},
        ClaimCase{"BootMediaOfAGibiblockFor8", 0x25, announcing(0x25, 1u << 30), badAdditional, 1},
        ClaimCase{"BootMediaOfFewerBlocksThanAsked", 0x25, announcing(0x25, 7), badAdditional, 1}),
    [](const auto& info) { return info.param.name; });

using Claims = ProtocolTest;

TEST_F(Claims, BootMediaCutShortAnywhereIsNoRead)
{
    // 64 blocks in chunks of 16: the third chunk loses 1048 of its bytes, and still counts 16
    // blocks delivered.
    inject(faultOn(0x25, Reply::Chunk, [](Fault& f) {
        f.skip = 2;
        f.size = 20 + 16 * 512 - 1048;
        f.keepExchange = true;
    }));
    EXPECT_EQ(failureOf([&] { api->ReadBootMedia(2, 0, 0, 64, 0); }), badSize);
    EXPECT_EQ(chunkRequests(), (std::vector<uint32_t>{16, 16, 16, 16}));
}

// A Read Token chunk that brings nothing and says `figure` bytes are still to come; the board
// keeps its whole token to send.
Fault emptyChunk(uint32_t figure)
{
    return faultOn(0x22, Reply::Chunk, [figure](Fault& f) {
        f.additional = figure;
        f.data = Bytes();
        f.chunkDelta = -100000;
        f.keepExchange = true;
    });
}

TEST_F(Claims, StillToComeThatRisesIsRefused)
{
    // 100 bytes announced, then 50, 49, 50, 49 ... still to come, no byte ever arriving.
    for (int i = 0; i < 300; ++i)
        inject(emptyChunk(i % 2 ? 49 : 50));
    EXPECT_EQ(failureOf([&] { api->ReadToken(3); }), badAdditional);
    EXPECT_EQ(chunkRequests(), (std::vector<uint32_t>{100, 50, 49}));
}

TEST_F(Claims, ChunkBringingMoreThanItsRequestAskedIsRefused)
{
    // Three blocks asked, four sent: the host would have taken a block it never asked for.
    board([](XolDeviceState& s) { s.device(2, 0).maxChunk = 3; });
    inject(faultOn(0x25, Reply::Chunk, [](Fault& f) { f.chunkDelta = 1; }));
    EXPECT_EQ(failureOf([&] { api->ReadBootMedia(2, 0, 0, 8, 0); }), badSize);
    EXPECT_EQ(chunkRequests(), (std::vector<uint32_t>{3}));
}

TEST_F(Claims, ChunkRequestsStayWithinTheUnitsAnnouncedAndTheStallAllowance)
{
    // Still to come falls by one byte, then stays for seven empty chunks, again and again: never
    // eight stalls in a row, yet the download hardly moves.
    for (uint32_t left = 99; left > 1; --left)
        for (int i = 0; i < 8; ++i)
            inject(emptyChunk(left));
    EXPECT_EQ(failureOf([&] { api->ReadToken(3); }),
              vemo(0x20004, "Download makes no progress"));
    EXPECT_EQ(chunkRequests().size(), 100u + 8u);
}

TEST_F(Claims, TokensUpToTheBoundAreRead)
{
    const Bytes token = pattern(1 << 20, 9);
    board([&](XolDeviceState& s) { s.tokens[5] = token; });
    auto response = api->ReadToken(5);
    EXPECT_EQ(contentHash(contentOf(response->getToken())), contentHash(token));
}

} // namespace

namespace {

// --- uploads

// The device's data request number `skip` (0 = the first) comes back as a final response of
// success, before the host had offered everything.
Fault finalInsteadOfRequest(uint8_t code, unsigned skip)
{
    return faultOn(code, Reply::DataRequest, [&](Fault& f) {
        f.skip = skip;
        f.marker = 0x00;
        f.additional = 0;
    });
}

struct EarlyEndCase {
    const char* name;
    Fault fault;
    std::function<std::shared_ptr<XolAPI::Response>(XolAPI&)> run;
    size_t hostMessages;
};
std::ostream& operator<<(std::ostream& os, const EarlyEndCase& c) { return os << c.name; }

Token tokenOf(const Bytes& b) { return Token(reinterpret_cast<const char*>(b.data()), b.size()); }

std::shared_ptr<XolAPI::Response> provision90000(XolAPI& a)
{
    std::istringstream image(asString(moduleImage(90000, "rcipifwi", 80000)));
    return a.ProvisionFwImage(&image, 0);
}

// The board decides when it has enough: its final response ends the upload with success, and
// nothing more goes out.
class EarlyFinalResponse : public ProtocolTest, public ::testing::WithParamInterface<EarlyEndCase> {};

TEST_P(EarlyFinalResponse, IsTheResult)
{
    const EarlyEndCase c = GetParam();
    inject(c.fault);
    std::shared_ptr<XolAPI::Response> response;
    EXPECT_EQ(failureOf([&] { response = c.run(*api); }), Failure{});
    ASSERT_TRUE(response);
    EXPECT_EQ(response->getCmdStatus(), 0u);
    EXPECT_EQ(response->getFwStatus(), 0u);
    EXPECT_EQ(outs().size(), c.hostMessages);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EarlyFinalResponse,
    ::testing::Values(
        EarlyEndCase{"WriteTokenWithNoTokenSent", finalInsteadOfRequest(0x23, 0),
                     [](XolAPI& a) {
                         Token token = tokenOf(pattern(100, 0x23));
                         return a.WriteToken(token, 4);
                     },
                     1},
        // 64 KiB of an image of 90,000 bytes.
        EarlyEndCase{"ProvisionFwImageAfter64KiB", finalInsteadOfRequest(0x15, 1), provision90000,
                     2},
        EarlyEndCase{"RecoveryModuleWithNothingSent", finalInsteadOfRequest(0x02, 0),
                     [](XolAPI& a) {
                         std::istringstream image(asString(moduleImage(3000, "xolmod", 2900)));
                         return a.DownloadRecoveryModule(&image);
                     },
                     1}),
    [](const auto& info) { return info.param.name; });

// A board that takes part of what the host offers keeps that part, and the exchange is whole:
// the host's last message is a chunk the board asked for, and nothing is left on the wire.
TEST_F(Claims, BoardThatHasEnoughKeepsWhatItTook)
{
    const UploadStep enough{0, false, true};
    board([&](XolDeviceState& s) {
        s.tokens.erase(4);
        s.uploadScript[0x23] = {{64, false}, enough};
        s.uploadScript[0x15] = {{65536, false}, enough};
    });
    const Bytes sent = pattern(100, 0x23);
    Token token = tokenOf(sent);
    EXPECT_EQ(failureOf([&] { api->WriteToken(token, 4); }), Failure{});
    std::istringstream image(asString(moduleImage(256 << 10, "rcipifwi", 200 << 10)));
    EXPECT_EQ(failureOf([&] { api->ProvisionFwImage(&image, 0); }), Failure{});
    // Initial command and one chunk each.
    ASSERT_EQ(outs().size(), 4u);
    const auto kept = look([](const XolDeviceState& s) {
        return std::make_pair(s.tokens.count(4) ? s.tokens.at(4) : Bytes{},
                              s.firmwareImage ? s.firmwareImage->length : 0);
    });
    EXPECT_EQ(kept.first, Bytes(sent.begin(), sent.begin() + 64));
    EXPECT_EQ(kept.second, 65536u);
    // The next command finds the wire clean.
    EXPECT_EQ(failureOf([&] { api->EraseToken(4); }), Failure{});
}

// A device that asks for 0 bytes again and again.
class EmptyRequests : public ProtocolTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(EmptyRequests, EndTheUploadAfterABoundedNumber)
{
    const Operation op = GetParam();
    board([&](XolDeviceState& s) { s.uploadScript[op.code] = std::deque<UploadStep>(1000, {0, false}); });
    EXPECT_EQ(failureOf([&] { op.run(*api); }), vemo(0x20004, "Upload makes no progress"));
    EXPECT_GE(outs().size(), 3u);
    EXPECT_LE(outs().size(), 32u);
}

INSTANTIATE_TEST_SUITE_P(
    Uploads, EmptyRequests,
    ::testing::ValuesIn(operationsWhere([](const Operation& op) { return op.kind == Operation::Upload; })),
    [](const auto& info) { return info.param.name; });

// --- images the 32-bit sizes of the wire cannot describe

class HugeImage : public ProtocolTest, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override
    {
        std::remove(path.c_str());
        ProtocolTest::TearDown();
    }
    std::string path = ::testing::TempDir() + "xol_huge_image_" + std::to_string(std::random_device()());
};

TEST_P(HugeImage, OfFourGibibytesAndMoreIsRefusedBeforeAnythingIsSent)
{
    const bool recovery = GetParam();
    const char* name = recovery ? "xolmod" : "rcipifwi";
    // 4 GiB + 64 KiB, sparse: the directory at the start, the module at the end.
    const uint64_t length = (uint64_t(1) << 32) + 65536;
    Bytes directory = moduleImage(40, name, 0);
    for (int i = 0; i < 4; ++i) {
        directory[28 + i] = static_cast<uint8_t>((length - 1000) >> (8 * i));
        directory[32 + i] = static_cast<uint8_t>(1000 >> (8 * i));
    }
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(directory.data()), static_cast<std::streamsize>(directory.size()));
    }
    std::filesystem::resize_file(path, length);

    std::ifstream image(path, std::ios::binary);
    const Failure f = failureOf([&] {
        if (recovery)
            api->DownloadRecoveryModule(&image);
        else
            api->ProvisionFwImage(&image, 0);
    });
    EXPECT_EQ(f, vemo(0x30000, "Image of 4 GiB or more is not supported"));
    EXPECT_TRUE(transfers().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, HugeImage, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Recovery" : "Provision"; });

// A buffer of 100 bytes that says it holds 4 GiB and 100: sent modulo 2^32, its length would
// read as the 100 bytes alone.
class HugeBuffer : public std::stringbuf {
public:
    HugeBuffer() : std::stringbuf(std::string(100, 'h')) {}

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override
    {
        if (dir == std::ios_base::end || (dir == std::ios_base::cur && atEnd)) {
            atEnd = true;
            return pos_type(off_type((int64_t(1) << 32) + 100) + off);
        }
        atEnd = false;
        return std::stringbuf::seekoff(off, dir, which);
    }

private:
    bool atEnd = false;
};

template <class Unit>
struct HugeUnit : Unit {
    std::stringbuf* getStreamBufferPtr() override { return &buffer; }
    HugeBuffer buffer;
};

struct HugeCase {
    const char* name;
    std::function<void(XolAPI&)> send;
};

class HugeBufferUnit : public ProtocolTest, public ::testing::WithParamInterface<HugeCase> {};

TEST_P(HugeBufferUnit, OfFourGibibytesAndMoreIsRefusedBeforeAnythingIsSent)
{
    EXPECT_EQ(failureOf([&] { GetParam().send(*api); }),
              vemo(0x30000, "Data of 4 GiB or more is not supported"));
    EXPECT_TRUE(transfers().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, HugeBufferUnit,
    ::testing::Values(HugeCase{"WriteToken", [](XolAPI& a) {
                                   HugeUnit<Token> t;
                                   a.WriteToken(t, 4);
                               }},
                      HugeCase{"SetDeviceLifecycleStage", [](XolAPI& a) {
                                   HugeUnit<Token> t;
                                   a.SetDeviceLifecycleStage(t);
                               }},
                      HugeCase{"OemIfpProvision", [](XolAPI& a) {
                                   HugeUnit<OemIfpBlock> b;
                                   a.OemIfpProvision(b);
                               }},
                      HugeCase{"ConfigureDevice", [](XolAPI& a) {
                                   HugeUnit<Blob> r;
                                   a.ConfigureDevice(r, 2, 0);
                               }}),
    [](const auto& info) { return info.param.name; });

} // namespace
