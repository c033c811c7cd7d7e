// The protocol object's operations and what their responses carry.
#include <sstream>

#include "exceptions.h"
#include "operations.h"
#include "protocol_fixture.h"

using namespace prototest;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::XolDeviceState;

namespace {

using Facade = ProtocolTest;

template <size_t N>
Bytes bytesOf(const uint8_t* p)
{
    return Bytes(p, p + N);
}

// Every operation completes against the board, which finds nothing wrong with what it was sent.
class EveryOperation : public ProtocolTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(EveryOperation, CompletesWithOneInitialCommand)
{
    const Operation op = GetParam();
    EXPECT_EQ(failureOf([&] { op.run(*api); }), Failure());
    const std::vector<Bytes> commands = look([](const XolDeviceState& s) { return s.commands; });
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].size(), 64u);
    EXPECT_EQ(commands[0][4], op.code);
}

INSTANTIATE_TEST_SUITE_P(All, EveryOperation, ::testing::ValuesIn(operations()),
                         [](const auto& info) { return info.param.name; });

// What each upload leaves on the board is exactly the unit it was given.
struct UploadCase {
    const char* name;
    std::function<void(XolAPI&, const Bytes&)> run;
    std::function<Bytes(const XolDeviceState&)> stored;
};

class UploadArrives : public ProtocolTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(UploadArrives, ByteForByte)
{
    const UploadCase c = GetParam();
    board([](XolDeviceState& s) { s.uploadDefault = {4000, false}; });
    const Bytes bytes = pattern(10000, 0x21);
    c.run(*api, bytes);
    EXPECT_EQ(look(c.stored), bytes);
}

template <class Unit>
Unit unitOf(const Bytes& b)
{
    return Unit(reinterpret_cast<const char*>(b.data()), b.size());
}

INSTANTIATE_TEST_SUITE_P(
    Units, UploadArrives,
    ::testing::Values(
        UploadCase{"WriteToken",
                   [](XolAPI& a, const Bytes& b) {
                       Token t = unitOf<Token>(b);
                       a.WriteToken(t, 7);
                   },
                   [](const XolDeviceState& s) { return s.tokens.at(7); }},
        UploadCase{"SetDeviceLifecycleStage",
                   [](XolAPI& a, const Bytes& b) {
                       Token t = unitOf<Token>(b);
                       a.SetDeviceLifecycleStage(t);
                   },
                   [](const XolDeviceState& s) { return *s.lifecycleStage; }},
        UploadCase{"OemIfpProvision",
                   [](XolAPI& a, const Bytes& b) {
                       OemIfpBlock block = unitOf<OemIfpBlock>(b);
                       a.OemIfpProvision(block);
                   },
                   [](const XolDeviceState& s) { return *s.oemIfpBlock; }},
        UploadCase{"ConfigureDevice",
                   [](XolAPI& a, const Bytes& b) {
                       Blob request = unitOf<Blob>(b);
                       a.ConfigureDevice(request, 3, 0);
                   },
                   [](const XolDeviceState& s) { return *s.storage.at({3, 0}).lastConfigRequest; }}),
    [](const auto& info) { return info.param.name; });

TEST_F(Facade, RecoveryModuleFromRomContextBringsTheBoardToXol)
{
    board([](XolDeviceState& s) { s.context = 0; });
    const Bytes image = moduleImage(5000, "xolmod", 4000);
    std::istringstream stream(asString(image));
    api->DownloadRecoveryModule(&stream);
    EXPECT_EQ(outs().at(0), cat({hex("40 00 00 10 02 00 00 00 88 13 00 00 00 00 00 00"),
                                 hex("01 00 00 00 E8 03 00 00 A0 0F 00 00"), zeros(36)}));
    const xolsim::ImageUpload up = look([](const XolDeviceState& s) { return *s.recoveryModule; });
    EXPECT_EQ(up.image, image);
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.context; }), 1u);
    EXPECT_EQ(api->StartOver(0)->getCurrentCtx(), 1u);
}

TEST_F(Facade, IdDeviceTakesTheListedFieldsOnly)
{
    const Bytes data = cat({hex("41 42 43 44"), hex("99 99 99 99"),
                            hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"), hex("01 00 00 00"),
                            Bytes(12, 0xEE), hex("77 77 77 77")});
    inject(faultOn(0x01, Reply::Final, [&](Fault& f) { f.data = data; }));
    auto response = api->IdDevice(0xA1B2C3D4, 0x01020304);

    EXPECT_EQ(bytesOf<4>(response->getOemPlatformId()), hex("41 42 43 44"));
    EXPECT_EQ(bytesOf<16>(response->getPlatformUniqueId()),
              hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"));
    EXPECT_EQ(response->getFlags(), 1u);
    EXPECT_EQ(bytesOf<12>(response->getImageErrorValues()), Bytes(12, 0xEE));
    const Bytes initial = outs().at(0);
    EXPECT_EQ(Bytes(initial.begin() + 16, initial.begin() + 24), hex("D4 C3 B2 A1 04 03 02 01"));

    response->clearOemPlatformId();
    EXPECT_EQ(bytesOf<4>(response->getOemPlatformId()), zeros(4));
    EXPECT_EQ(bytesOf<16>(response->getPlatformUniqueId()),
              hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"));
    EXPECT_EQ(response->getFlags(), 1u);
}

TEST_F(Facade, GetTokenPartIdCarriesTheBoardsFields)
{
    board([](XolDeviceState& s) {
        s.tokenPartId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        s.nonce = 0x11111111;
        s.trustedTime = 0x22222222;
        s.deviceId = 0x33333333;
        s.oemPlatformId = {'O', 'E', 'M', '1'};
    });
    auto response = api->GetTokenPartId(0xCAFE);
    EXPECT_EQ(bytesOf<12>(response->getTokenPartId()), hex("01 02 03 04 05 06 07 08 09 0A 0B 0C"));
    EXPECT_EQ(response->getNonce(), 0x11111111u);
    EXPECT_EQ(response->getTrustedTime(), 0x22222222u);
    EXPECT_EQ(response->getDeviceId(), 0x33333333u);
    EXPECT_EQ(asString(bytesOf<4>(response->getOemPlatformId())), "OEM1");
    EXPECT_EQ(look([](const XolDeviceState& s) { return s.tokenPartIdParam; }), 0xCAFEu);
}

TEST_F(Facade, IfpEmulationRecordTravelsVerbatim)
{
    _id_dev_ifp_emulation_t record;
    for (size_t i = 0; i < sizeof record.data; ++i)
        record.data[i] = static_cast<uint8_t>(0xB0 + i);
    api->XolIfpEmulation(&record);
    const Bytes sent(record.data, record.data + 44);
    EXPECT_EQ(outs().at(0), cat({hex("40 00 00 10 16 00 00 00 00 00 00 00 00 00 00 00"), sent, zeros(4)}));
    const auto stored = look([](const XolDeviceState& s) { return *s.ifpEmulation; });
    EXPECT_EQ(Bytes(stored.begin(), stored.end()), sent);
}

TEST_F(Facade, ClearDataReachesTheAddressedDevice)
{
    api->ClearData(3, 0);
    look([](const XolDeviceState& s) {
        EXPECT_TRUE(s.storage.at({3, 0}).rpmbCleared);
        EXPECT_FALSE(s.storage.at({2, 0}).rpmbCleared);
        return 0;
    });
    EXPECT_EQ(outs().at(0), cat({hex("40 00 00 10 10 00 00 00 00 00 00 00 00 00 00 00 03 00"), zeros(46)}));
}

TEST_F(Facade, RefusedProtocolVersionIsAnFwErrorAndNoResponse)
{
    board([](XolDeviceState& s) { s.acceptedVersions = {0}; });
    std::shared_ptr<XolAPI::SetProtocolResponse> response;
    bool fwError = false;
    try {
        response = api->SetProtocol(1);
    } catch (const FwError& e) {
        fwError = true;
        EXPECT_EQ(e.getErrorCode(), 0x80000032ul);
        EXPECT_STREQ(e.what(), "Invalid version");
    }
    EXPECT_TRUE(fwError);
    EXPECT_FALSE(response);
    EXPECT_EQ(api->SetProtocol(0)->getVersion(), 0u);
}

TEST(FacadeStatic, SupportedProtocolVersionsAreOneSet)
{
    const std::set<unsigned int>& first = XolAPI::getSupportedProtocolVersions();
    EXPECT_EQ(first, (std::set<unsigned int>{0, 1}));
    EXPECT_EQ(&first, &XolAPI::getSupportedProtocolVersions());
}

TEST(FacadeStatic, ResponseCarriesItsStatuses)
{
    XolAPI::Response r(7, 9);
    EXPECT_EQ(r.getCmdStatus(), 7u);
    EXPECT_EQ(r.getFwStatus(), 9u);
    XolAPI::Response zero;
    EXPECT_EQ(zero.getCmdStatus(), 0u);
    EXPECT_EQ(zero.getFwStatus(), 0u);
}

} // namespace
