// Messages on the wire, byte for byte as the bed carried them.
#include <sstream>

#include "protocol_fixture.h"

using namespace prototest;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::UploadStep;
using xolsim::XolDeviceState;

namespace {

using Wire = ProtocolTest;

Token tokenOf(const Bytes& b) { return Token(reinterpret_cast<const char*>(b.data()), b.size()); }

TEST_F(Wire, HundredByteTokenGoesOutAsAHeaderChunkThenAPayloadOnlyChunk)
{
    const Bytes bytes = pattern(100, 9);
    board([](XolDeviceState& s) { s.uploadScript[0x23] = {{64, false}, {36, true}}; });
    Token token = tokenOf(bytes);
    api->WriteToken(token, 3);

    const std::vector<Bytes> host = outs();
    ASSERT_EQ(host.size(), 3u);
    EXPECT_EQ(host[0], cat({hex("40 00 00 10 23 00 00 00 64 00 00 00 00 00 00 00 03"), zeros(47)}));
    EXPECT_EQ(host[1], cat({hex("50 00 00 10 23 00 00 5A 24 00 00 00 00 00 00 00"),
                            Bytes(bytes.begin(), bytes.begin() + 64)}));
    EXPECT_EQ(host[2], Bytes(bytes.begin() + 64, bytes.end()));

    const std::vector<Bytes> dev = deviceMessages();
    ASSERT_EQ(dev.size(), 3u);
    EXPECT_EQ(dev[0], hex("14 00 00 14 00 00 00 00 23 00 80 A5 40 00 00 00 00 00 00 00"));
    EXPECT_EQ(dev[1], hex("14 00 00 14 00 00 00 00 23 00 80 A5 24 00 00 00 01 00 00 00"));
    EXPECT_EQ(dev[2], cat({hex("40 00 00 14 00 00 00 00 23 00 80 00 00 00 00 00 00 00 00 00"),
                           zeros(44)}));
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.tokens.at(3); }), bytes);
}

TEST_F(Wire, PayloadOnlyRequestOf512BytesIsAnsweredWithThe512BytesAlone)
{
    const Bytes bytes = pattern(512, 4);
    board([](XolDeviceState& s) { s.uploadScript[0x23] = {{512, true}}; });
    Token token = tokenOf(bytes);
    api->WriteToken(token, 3);

    EXPECT_EQ(ins().at(0), hex("14 00 00 14 00 00 00 00 23 00 80 A5 00 02 00 00 01 00 00 00"));
    const std::vector<Bytes> host = outs();
    ASSERT_EQ(host.size(), 2u);
    EXPECT_EQ(host[1], bytes);
}

// A 5000-byte chunk with 2000 bytes behind it, in either form.
class UploadChunkForm : public ProtocolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UploadChunkForm, FiveThousandByteChunkWithTwoThousandLeft)
{
    const bool payloadOnly = GetParam();
    const Bytes bytes = pattern(7000, 5);
    board([&](XolDeviceState& s) { s.uploadScript[0x23] = {{5000, payloadOnly}, {2000, false}}; });
    Token token = tokenOf(bytes);
    api->WriteToken(token, 3);

    const std::vector<Bytes> host = outs();
    ASSERT_EQ(host.size(), 3u);
    const Bytes first(bytes.begin(), bytes.begin() + 5000);
    if (payloadOnly) {
        EXPECT_EQ(host[1], first);
    } else {
        ASSERT_EQ(host[1].size(), 5016u);
        EXPECT_EQ(host[1], cat({hex("98 13 00 10 23 00 00 5A D0 07 00 00 00 00 00 00"), first}));
    }
    EXPECT_EQ(host[2], cat({hex("E0 07 00 10 23 00 00 5A 00 00 00 00 00 00 00 00"),
                            Bytes(bytes.begin() + 5000, bytes.end())}));
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.tokens.at(3); }), bytes);
}

INSTANTIATE_TEST_SUITE_P(Forms, UploadChunkForm, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PayloadOnly" : "WithHeader"; });

TEST_F(Wire, GetCardInfoChunkRequestRepeatsTheInitialPayload)
{
    const Bytes info = pattern(20000, 7);
    board([&](XolDeviceState& s) { s.device(2, 0).cardInfo = info; });
    auto response = api->GetCardInfo(2, 0);

    const std::vector<Bytes> host = outs();
    ASSERT_EQ(host.size(), 3u);
    EXPECT_EQ(host[0], cat({hex("40 00 00 10 12 00 00 00 00 00 00 00 00 00 00 00 02 00"), zeros(46)}));
    EXPECT_EQ(host[1], cat({hex("40 00 00 10 12 00 00 A5 EC 3F 00 00 00 00 00 00 02 00"), zeros(46)}));
    EXPECT_EQ(host[2], cat({hex("40 00 00 10 12 00 00 A5 34 0E 00 00 00 00 00 00 02 00"), zeros(46)}));
    EXPECT_EQ(contentOf(response->getDeviceInfo()), info);
}

TEST_F(Wire, StartOverFinalResponseFromXolContext)
{
    auto response = api->StartOver(0x20);

    EXPECT_EQ(outs().at(0), cat({hex("40 00 00 10 13 00 00 00 00 00 00 00 00 00 00 00 20"), zeros(47)}));
    EXPECT_EQ(ins(), std::vector<Bytes>{cat({hex("40 00 00 14 00 00 00 00 13 00 80 00 00 00 00 00"
                                                 "00 00 00 00 05 00 00 00 01 00 00 00"),
                                             zeros(36)})});
    EXPECT_EQ(response->getCurrentOp(), 5u);
    EXPECT_EQ(response->getCurrentCtx(), 1u);
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.startOverFlags; }),
              std::vector<uint32_t>{0x20});
}

// Set Protocol carries the protocol object's timeout; a refused timeout leaves the old one.
struct TimeoutCase {
    unsigned long ms;
    bool accepted;
    const char* carried; // bytes 24..27 of the Set Protocol that follows
};

class SetProtocolTimeout : public ProtocolTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(SetProtocolTimeout, PayloadCarriesVersionAndTimeout)
{
    const TimeoutCase c = GetParam();
    const Failure f = failureOf([&] { api->set_timeout(c.ms); });
    if (c.accepted)
        EXPECT_EQ(f, Failure());
    else
        EXPECT_EQ(f, vemo(0x30006, "Timeout value is too small"));

    auto response = api->SetProtocol(1);
    EXPECT_EQ(response->getVersion(), 1u);
    const Bytes initial = outs().at(0);
    EXPECT_EQ(Bytes(initial.begin() + 16, initial.begin() + 28),
              cat({hex("00 00 00 00 01 00 00 00"), hex(c.carried)}));
    EXPECT_EQ(Bytes(initial.begin() + 28, initial.end()), zeros(36));
}

INSTANTIATE_TEST_SUITE_P(Timeouts, SetProtocolTimeout,
                         ::testing::Values(TimeoutCase{5000, true, "88 13 00 00"},
                                           TimeoutCase{1000, true, "E8 03 00 00"},
                                           TimeoutCase{200, true, "C8 00 00 00"},
                                           TimeoutCase{199, false, "88 13 00 00"}),
                         [](const auto& info) { return "Ms" + std::to_string(info.param.ms); });

// A message with response code 0x800003 ends after its 20-byte header whatever its length field
// says; only Download Recovery Module takes that code.
TEST_F(Wire, RecoveryModuleAcceptsTwentyByteAnswerWhoseLengthFieldSays64)
{
    inject(faultOn(0x02, Reply::Final, [](Fault& f) {
        f.responseCode = 0x800003;
        f.size = 20;
        f.lengthField = 64;
    }));
    std::istringstream image(asString(moduleImage(3000, "xolmod", 1000)));
    EXPECT_EQ(failureOf([&] { api->DownloadRecoveryModule(&image); }), Failure());

    const std::vector<SimTransfer> all = transfers();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().direction, SimTransfer::In);
    EXPECT_EQ(all.back().data, hex("40 00 00 14 00 00 00 00 03 00 80 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.recoveryModule->length; }), 3000u);
}

// The pad byte goes only behind initial commands: a 64-byte chunk request or upload chunk on a
// 64-byte endpoint is sent as it is.
class PadRule : public ProtocolTest {
protected:
    uint16_t packetSize() const override { return 64; }
};

TEST_F(PadRule, OnlyInitialCommandsArePadded)
{
    const Bytes bytes = pattern(48, 2);
    board([](XolDeviceState& s) { s.uploadScript[0x23] = {{48, false}}; });
    Token token = tokenOf(bytes);
    api->WriteToken(token, 3);
    auto media = api->ReadBootMedia(2, 0, 0, 1, 0);

    const std::vector<Bytes> host = outTransfers();
    ASSERT_EQ(host.size(), 4u);
    EXPECT_EQ(host[0], cat({hex("40 00 00 10 23 00 00 00 30 00 00 00 00 00 00 00 03"), zeros(48)}));
    EXPECT_EQ(host[1], cat({hex("40 00 00 10 23 00 00 5A 00 00 00 00 00 00 00 00"), bytes}));
    EXPECT_EQ(host[2], cat({hex("40 00 00 10 25 00 00 00 00 00 00 00 00 00 00 00 02 00"), zeros(18),
                            hex("01"), zeros(27), zeros(1)}));
    EXPECT_EQ(host[3], cat({hex("40 00 00 10 25 00 00 A5 01 00 00 00 00 00 00 00 02 00"), zeros(18),
                            hex("01"), zeros(27)}));
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.ignoredBytes; }), 2u);
    EXPECT_EQ(contentOf(media->getData()).size(), 512u);
}

} // namespace
