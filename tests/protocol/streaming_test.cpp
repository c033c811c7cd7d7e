// Chunked uploads and downloads: chunk sizes, what arrives, and where the streams are left.
#include <sstream>

#include "protocol_fixture.h"

using namespace prototest;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::UploadStep;
using xolsim::XolDeviceState;

namespace {

using Streaming = ProtocolTest;

std::vector<size_t> sizes(const std::vector<Bytes>& v)
{
    std::vector<size_t> s;
    for (const Bytes& b : v)
        s.push_back(b.size());
    return s;
}

std::vector<uint32_t> chunkRemainders(const std::vector<Bytes>& deviceMessages)
{
    std::vector<uint32_t> v;
    for (const Bytes& m : deviceMessages)
        if (m.size() >= 20 && m[11] == 0x5A)
            v.push_back(le(m, 12, 4));
    return v;
}

// --- uploads

TEST_F(Streaming, ImageProvisionedWithPayloadOnlyRequestsArrivesByteIdentical)
{
    const Bytes image = moduleImage(300000, "rcipifwi", 250000);
    board([](XolDeviceState& s) { s.uploadDefault = {0, true}; });
    std::istringstream stream(asString(image));
    api->ProvisionFwImage(&stream, 0x1234);

    const std::vector<Bytes> host = outs();
    EXPECT_EQ(sizes(host), (std::vector<size_t>{64, 102400, 102400, 95200}));
    EXPECT_EQ(host[0], cat({hex("40 00 00 10 15 00 00 00 E0 93 04 00 00 00 00 00"),
                            hex("01 00 00 00 50 C3 00 00 90 D0 03 00 34 12 00 00"), zeros(32)}));
    const xolsim::ImageUpload up = look([](const XolDeviceState& s) { return *s.firmwareImage; });
    EXPECT_EQ(up.length, 300000u);
    EXPECT_EQ(up.headerSize, 50000u);
    EXPECT_EQ(up.moduleSize, 250000u);
    EXPECT_EQ(up.flags, 0x1234u);
    EXPECT_EQ(contentHash(up.image), contentHash(image));
}

// The largest chunk fills the send buffer: 102384 bytes behind a header, 102400 without one.
class LargeRequest : public ProtocolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LargeRequest, IsAnsweredWithWhatTheSendBufferHolds)
{
    const bool payloadOnly = GetParam();
    const Bytes image = moduleImage(300000, "rcipifwi", 250000);
    board([&](XolDeviceState& s) {
        s.uploadScript[0x15] = {{200000, payloadOnly}};
        s.uploadDefault = {0, false};
    });
    std::istringstream stream(asString(image));
    api->ProvisionFwImage(&stream, 0);

    const std::vector<Bytes> host = outs();
    ASSERT_GE(host.size(), 2u);
    ASSERT_EQ(host[1].size(), 102400u);
    const size_t sent = payloadOnly ? 102400 : 102384;
    const Bytes data(image.begin(), image.begin() + static_cast<long>(sent));
    if (payloadOnly) {
        EXPECT_EQ(host[1], data);
    } else {
        EXPECT_EQ(Bytes(host[1].begin(), host[1].begin() + 16),
                  cat({hex("00 90 01 10 15 00 00 5A"), hex("F0 03 03 00"), zeros(4)}));
        EXPECT_EQ(Bytes(host[1].begin() + 16, host[1].end()), data);
    }
    EXPECT_EQ(look([](const XolDeviceState& s) { return contentHash(s.firmwareImage->image); }),
              contentHash(image));
}

INSTANTIATE_TEST_SUITE_P(Forms, LargeRequest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PayloadOnly" : "WithHeader"; });

TEST_F(Streaming, BufferUploadAskedForMoreThanRemainsIsRefused)
{
    board([](XolDeviceState& s) { s.uploadScript[0x23] = {{101, false}}; });
    Token token(reinterpret_cast<const char*>(pattern(100).data()), 100);
    EXPECT_EQ(failureOf([&] { api->WriteToken(token, 3); }),
              vemo(0x20004, "Unexpected additional data size"));
    EXPECT_EQ(outs().size(), 1u);
}

// The caller's exception mask is back after the upload, whether it succeeds or the device asks
// past the end of the image.
struct MaskCase {
    const char* name;
    std::ios_base::iostate mask;
    bool pastTheEnd;
};

class ImageStream : public ProtocolTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(ImageStream, IsLeftWithTheCallersMask)
{
    const MaskCase c = GetParam();
    const Bytes image = moduleImage(3000, "xolmod", 1000);
    if (c.pastTheEnd)
        board([](XolDeviceState& s) { s.uploadScript[0x02] = {{2900, false}, {101, false}}; });
    std::istringstream stream(asString(image));
    stream.exceptions(c.mask);

    const Failure f = failureOf([&] { api->DownloadRecoveryModule(&stream); });
    EXPECT_EQ(stream.exceptions(), c.mask);
    if (c.pastTheEnd) {
        EXPECT_EQ(f.kind, Failure::Stream) << f;
        EXPECT_EQ(outs().size(), 2u) << "nothing is sent for the request past the end";
    } else {
        EXPECT_EQ(f, Failure());
        EXPECT_EQ(static_cast<long>(stream.tellg()), 3000);
        EXPECT_EQ(look([](const XolDeviceState& s) { return s.recoveryModule->image; }), image);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageStream,
    ::testing::Values(MaskCase{"Complete", std::ios_base::goodbit, false},
                      MaskCase{"CompleteBadbitMask", std::ios_base::badbit, false},
                      MaskCase{"PastTheEnd", std::ios_base::goodbit, true},
                      MaskCase{"PastTheEndBadbitMask", std::ios_base::badbit, true}),
    [](const auto& info) { return info.param.name; });

TEST_F(Streaming, ImageWithoutTheModuleIsRefusedBeforeAnythingIsSent)
{
    std::istringstream stream(asString(moduleImage(3000, "xolmod", 1000)));
    stream.seekg(100);
    EXPECT_EQ(failureOf([&] { api->ProvisionFwImage(&stream, 0); }),
              (Failure{Failure::InvalidArgument, 0, "Parse error"}));
    EXPECT_EQ(static_cast<long>(stream.tellg()), 100);
    EXPECT_TRUE(transfers().empty());
}

TEST_F(Streaming, UnitWithoutBufferFailsBeforeAnythingIsSent)
{
    Token empty;
    EXPECT_EQ(failureOf([&] { api->WriteToken(empty, 3); }).kind, Failure::Stream);
    EXPECT_TRUE(transfers().empty());
}

TEST_F(Streaming, AUnitUploadedTwiceSendsItsBytesFromTheStartEachTime)
{
    const Bytes bytes = pattern(300, 8);
    Token token(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    api->WriteToken(token, 3);
    api->WriteToken(token, 4);
    look([&](const XolDeviceState& s) {
        EXPECT_EQ(s.tokens.at(3), bytes);
        EXPECT_EQ(s.tokens.at(4), bytes);
        return 0;
    });
}

// --- downloads

TEST_F(Streaming, CardInfoOf548BytesInOneChunkWithTheReportedType)
{
    const Bytes info = pattern(548, 6);
    board([&](XolDeviceState& s) {
        s.device(2, 0).cardInfo = info;
        s.device(2, 0).reportedType = 3;
    });
    auto response = api->GetCardInfo(2, 0);
    EXPECT_EQ(chunkRequests(), std::vector<uint32_t>{548});
    EXPECT_EQ(response->getDeviceType(), 3);
    EXPECT_EQ(contentOf(response->getDeviceInfo()), info);
}

TEST_F(Streaming, TokenOf40000BytesComesIn16364_16364_7272)
{
    const Bytes token = pattern(40000, 2);
    board([&](XolDeviceState& s) { s.tokens[9] = token; });
    auto response = api->ReadToken(9);
    EXPECT_EQ(chunkRequests(), (std::vector<uint32_t>{16364, 16364, 7272}));
    EXPECT_EQ(chunkRemainders(deviceMessages()), (std::vector<uint32_t>{23636, 7272, 0}));
    EXPECT_EQ(contentOf(response->getToken()), token);
}

TEST_F(Streaming, BootMediaOf100BlocksComesIn31_31_31_7)
{
    board([](XolDeviceState& s) {
        s.device(2, 0).maxChunk = 64;
        s.device(2, 0).media[0] = pattern(100 * 512, 0x33);
    });
    auto response = api->ReadBootMedia(2, 0, 0, 100, 0);
    EXPECT_EQ(chunkRequests(), (std::vector<uint32_t>{31, 31, 31, 7}));
    EXPECT_EQ(chunkRemainders(deviceMessages()), (std::vector<uint32_t>{69, 38, 7, 0}));
    EXPECT_EQ(contentOf(response->getData()), pattern(100 * 512, 0x33));
}

TEST_F(Streaming, BootMediaAnnouncingNoBlocksAsksForZeroOnce)
{
    auto response = api->ReadBootMedia(2, 0, 0, 0, 0);
    EXPECT_EQ(chunkRequests(), std::vector<uint32_t>{0});
    EXPECT_EQ(contentOf(response->getData()), Bytes());
}

// A device that delivers more or fewer blocks than asked: the host follows its figures.
struct DeltaCase {
    const char* name;
    int delta;
    std::vector<uint32_t> asked;
};

class ChunkDelta : public ProtocolTest, public ::testing::WithParamInterface<DeltaCase> {};

TEST_P(ChunkDelta, NextRequestFollowsTheDevicesRemainder)
{
    const DeltaCase c = GetParam();
    board([](XolDeviceState& s) { s.device(2, 0).maxChunk = 4; });
    inject(faultOn(0x25, Reply::Chunk, [&](Fault& f) { f.chunkDelta = c.delta; }));
    auto response = api->ReadBootMedia(2, 0, 2, 10, 0);
    EXPECT_EQ(chunkRequests(), c.asked);
    const Bytes media = look([](const XolDeviceState& s) { return s.storage.at({2, 0}).media.at(0); });
    EXPECT_EQ(contentOf(response->getData()), Bytes(media.begin() + 1024, media.begin() + 6144));
}

INSTANTIATE_TEST_SUITE_P(Cases, ChunkDelta,
                         // A chunk of more than was asked is refused (Claims).
                         ::testing::Values(DeltaCase{"OneBlockLess", -1, {4, 4, 3}},
                                           DeltaCase{"Nothing", -4, {4, 4, 4, 2}}),
                         [](const auto& info) { return info.param.name; });

// Read Boot Media addresses blocks by device type: SPI flash has no partition.
struct MediaCase {
    uint8_t type;
    uint8_t partition;
    const char* payload; // bytes 16..39 of the initial command
};

class BootMediaLayout : public ProtocolTest, public ::testing::WithParamInterface<MediaCase> {};

TEST_P(BootMediaLayout, InitialPayloadAndData)
{
    const MediaCase c = GetParam();
    board([&](XolDeviceState& s) { s.device(c.type, 0).media[c.partition] = pattern(64 * 512, 0x77); });
    auto response = api->ReadBootMedia(c.type, 0, 3, 5, c.partition);

    const Bytes initial = outs().at(0);
    EXPECT_EQ(Bytes(initial.begin() + 16, initial.begin() + 40), hex(c.payload));
    EXPECT_EQ(Bytes(initial.begin() + 40, initial.end()), zeros(24));
    const Bytes media = pattern(64 * 512, 0x77);
    EXPECT_EQ(contentOf(response->getData()), Bytes(media.begin() + 3 * 512, media.begin() + 8 * 512));
}

INSTANTIATE_TEST_SUITE_P(
    Types, BootMediaLayout,
    ::testing::Values(
        MediaCase{1, 0, "01 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00"},
        MediaCase{2, 1, "02 00 00 00 00 00 00 00 01 00 00 00 03 00 00 00 00 00 00 00 05 00 00 00"},
        MediaCase{3, 2, "03 00 00 00 00 00 00 00 02 00 00 00 03 00 00 00 00 00 00 00 05 00 00 00"}),
    [](const auto& info) { return "Type" + std::to_string(info.param.type); });

TEST_F(Streaming, BootMediaOfAnUnknownDeviceTypeSendsNothing)
{
    EXPECT_EQ(failureOf([&] { api->ReadBootMedia(4, 0, 0, 1, 0); }),
              vemo(0x30001, "Unsupported device type"));
    EXPECT_TRUE(transfers().empty());
}

// Card information and tokens are never empty: a total of 0 ends the download at once.
class EmptyDownload : public ProtocolTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(EmptyDownload, IsRefusedWithNothingMoreSent)
{
    const uint8_t code = GetParam();
    board([](XolDeviceState& s) {
        s.device(2, 0).cardInfo.clear();
        s.tokens[3].clear();
    });
    const Failure f = failureOf([&] {
        if (code == 0x12)
            api->GetCardInfo(2, 0);
        else
            api->ReadToken(3);
    });
    EXPECT_EQ(f, vemo(0x20004, "Unexpected additional data size"));
    EXPECT_EQ(outs().size(), 1u);
    EXPECT_EQ(le(deviceMessages().at(0), 12, 4), 0u);
}

INSTANTIATE_TEST_SUITE_P(Commands, EmptyDownload, ::testing::Values(0x12, 0x22),
                         [](const auto& info) { return info.param == 0x12 ? "GetCardInfo" : "ReadToken"; });

} // namespace
