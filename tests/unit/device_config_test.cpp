// Configure Device requests of the eMMC, UFS and SPI storage configurations, and the automatic
// sizing of UFS units from the device's card information.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <typeinfo>

#include "device_config_spi.h"
#include "platform_config_files.h"
#include "xol_api_utils.h"

using namespace config_test;

namespace {

// Card information of `size` bytes whose geometry descriptor, at `geoAt`, gives the capacity,
// segment size and allocation unit size (big-endian, as the device sends them).
DeviceInfo cardInfo(size_t size, size_t geoAt, uint64_t capacity, uint32_t segment, uint8_t au)
{
    std::vector<char> bytes(size, 0);
    for (int i = 0; i < 8; ++i)
        bytes[geoAt + 4 + i] = static_cast<char>(capacity >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i)
        bytes[geoAt + 13 + i] = static_cast<char>(segment >> (24 - 8 * i));
    bytes[geoAt + 17] = static_cast<char>(au);
    return DeviceInfo(bytes.data(), bytes.size());
}

const size_t kV2 = sizeof(_card_info_ufs_v2_t);
const size_t kV1 = sizeof(_card_info_ufs_t);

class DeviceConfigTest : public ::testing::Test {
protected:
    DeviceConfigUFS ufs(std::string const& children)
    {
        PlatformConfig config;
        parseText(config, configXml(ufsXml(children)));
        return config.getDeviceUFS(0);
    }

    DeviceConfigEMMC emmc(std::string const& partitions)
    {
        PlatformConfig config;
        parseText(config, configXml(emmcXml(partitions)));
        return config.getDeviceEMMC(0);
    }

    // The request bytes, or the failure.
    static _ufs_dev_cfg_param request(IDeviceConfig& config)
    {
        _ufs_dev_cfg_param out;
        size_t length = sizeof out;
        config.generateConfigRequest(&out, length);
        EXPECT_EQ(length, sizeof out);
        return out;
    }

    static std::vector<uint32_t> units(_ufs_dev_cfg_param const& p)
    {
        std::vector<uint32_t> all;
        for (auto const& lun : p.lun)
            all.push_back(be32Load(lun.dNumAllocUnits));
        return all;
    }

    // A buffer of `capacity` bytes is refused and left as it was.
    static void expectTooSmall(IDeviceConfig& config, size_t capacity)
    {
        std::vector<uint8_t> buffer(capacity, 0xaa);
        size_t length = capacity;
        const Outcome out =
            outcomeOf([&] { config.generateConfigRequest(buffer.data(), length); });
        EXPECT_EQ(out.status, 0x30002U);
        EXPECT_EQ(out.text, "Device configuration request buffer is too small");
        EXPECT_EQ(buffer, std::vector<uint8_t>(capacity, 0xaa));
    }

    ScratchDir dir;
};

TEST_F(DeviceConfigTest, EmmcRequestIs48Bytes)
{
    DeviceConfigEMMC config = emmc(gppXml("1", "100"));
    expectTooSmall(config, 47);
    std::vector<uint8_t> buffer(212, 0xaa);
    size_t length = 212;
    config.setCurrentConfiguration(cardInfo(kV2, 204, 1, 1, 1));
    config.generateConfigRequest(buffer.data(), length);
    EXPECT_EQ(length, 48U);
    const std::vector<uint8_t> record = bytesOf(config.request());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 48), record);
    EXPECT_EQ(record[0], 100);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 48, buffer.end()),
        std::vector<uint8_t>(164, 0xaa));
}

TEST_F(DeviceConfigTest, EmmcCopyAndMove)
{
    DeviceConfigEMMC config = emmc(gppXml("1", "7"));
    DeviceConfigEMMC copy(config);
    EXPECT_EQ(bytesOf(copy.request()), bytesOf(config.request()));
    DeviceConfigEMMC moved(std::move(config));
    EXPECT_EQ(moved.request().gpp[0].size[0], 7);
    size_t length = 48;
    uint8_t buffer[48];
    EXPECT_THROW(config.generateConfigRequest(buffer, length), std::logic_error);
}

TEST_F(DeviceConfigTest, UfsRequestIs212BytesAndUnchangedWithoutCardInfo)
{
    DeviceConfigUFS config = ufs(lunXml("0") + "<descriptor configure=\"true\"/>");
    expectTooSmall(config, 211);
    std::vector<uint8_t> buffer(300, 0xaa);
    size_t length = 300;
    config.generateConfigRequest(buffer.data(), length);
    EXPECT_EQ(length, 212U);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 212), bytesOf(config.request()));
    EXPECT_EQ(buffer[0], 0x02);
}

TEST_F(DeviceConfigTest, SpiRequestIsEmpty)
{
    DeviceConfigSPI config;
    uint8_t buffer[4] = {1, 2, 3, 4};
    for (size_t capacity : {size_t{0}, size_t{4}, size_t{212}}) {
        size_t length = capacity;
        config.setCurrentConfiguration(DeviceInfo());
        config.generateConfigRequest(buffer, length);
        EXPECT_EQ(length, 0U);
    }
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    DeviceConfigSPI copy(config);
    size_t length = 10;
    copy.generateConfigRequest(nullptr, length);
    EXPECT_EQ(length, 0U);
}

TEST_F(DeviceConfigTest, CardInformationLongerThan272Refused)
{
    DeviceConfigUFS config = ufs(lunXml("0"));
    const Outcome out =
        outcomeOf([&] { config.setCurrentConfiguration(cardInfo(273, 204, 1, 1, 1)); });
    EXPECT_EQ(out.status, 0x30005U);
    EXPECT_EQ(out.text, "Write to mpCurrCfg failed");
}

struct SizingCase {
    const char* name;
    size_t infoSize;
    size_t geoAt;
    uint64_t capacity;
    uint32_t segment;
    uint8_t au;
    std::string luns;
    std::vector<uint32_t> expected; // units 0 to 7
};

void PrintTo(SizingCase const& c, std::ostream* os)
{
    *os << c.name;
}

class SizingTest : public DeviceConfigTest, public ::testing::WithParamInterface<SizingCase> {};

TEST_P(SizingTest, UnitsGiven)
{
    SizingCase const& c = GetParam();
    DeviceConfigUFS config = ufs(c.luns);
    config.setCurrentConfiguration(cardInfo(c.infoSize, c.geoAt, c.capacity, c.segment, c.au));
    EXPECT_EQ(units(request(config)), c.expected);
    // The configuration itself keeps its automatic units.
    EXPECT_EQ(bytesOf(request(config)), bytesOf(request(config)));
}

const std::string kAuto01 = lunXml("0") + lunXml("1");

INSTANTIATE_TEST_SUITE_P(Cases, SizingTest,
    ::testing::Values(
        SizingCase{"LongLayoutGeometryAt204", kV2, 204, 16777216, 8192, 1, kAuto01,
            {2048, 0, 0, 0, 0, 0, 0, 0}},
        SizingCase{"ShortLayoutGeometryAt144", kV1, 144, 16777216, 8192, 1, kAuto01,
            {2048, 0, 0, 0, 0, 0, 0, 0}},
        SizingCase{"DisabledUnitNotSized", kV2, 204, 16777216, 8192, 1,
            lunXml("0", {{"enable", "false"}}) + lunXml("1"), {0, 2048, 0, 0, 0, 0, 0, 0}},
        SizingCase{"ExplicitUnitsCounted", kV2, 204, 16777216, 4096, 2,
            lunXml("0", {{"alloc-units", "1000"}}) + lunXml("1")
                + lunXml("2", {{"enable", "false"}, {"alloc-units", "5000"}}),
            {1000, 1048, 5000, 0, 0, 0, 0, 0}},
        SizingCase{"IndexOrderNotFileOrder", kV2, 204, 8192 * 10, 8192, 1,
            lunXml("5") + lunXml("2") + lunXml("7", {{"alloc-units", "3"}}),
            {0, 0, 7, 0, 0, 0, 0, 3}},
        SizingCase{"ExactlyOneUnitLeftGivesNone", kV2, 204, 8192, 8192, 1, lunXml("0"),
            {0, 0, 0, 0, 0, 0, 0, 0}},
        SizingCase{"PartialUnitDropped", kV2, 204, 8192 * 5 / 2, 8192, 1, lunXml("0"),
            {2, 0, 0, 0, 0, 0, 0, 0}},
        SizingCase{"UnitSizeBeyond32Bits", kV2, 204, uint64_t{1} << 34, 0x02000000, 0x80,
            lunXml("0"), {4, 0, 0, 0, 0, 0, 0, 0}},
        SizingCase{"ExplicitOnlyWithZeroUnitSize", 100, 0, 0, 0, 0,
            lunXml("0", {{"alloc-units", "9"}}), {9, 0, 0, 0, 0, 0, 0, 0}}),
    [](::testing::TestParamInfo<SizingCase> const& info) { return info.param.name; });

TEST_F(DeviceConfigTest, SizedUnitStoredBigEndian)
{
    DeviceConfigUFS config = ufs(kAuto01);
    config.setCurrentConfiguration(cardInfo(kV2, 204, 16777216, 8192, 1));
    const std::vector<uint8_t> bytes = bytesOf(request(config));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 28, bytes.begin() + 32),
        (std::vector<uint8_t>{0x00, 0x00, 0x08, 0x00}));
    EXPECT_EQ(uint32_t{config.request().lun[0].dNumAllocUnits}, 0U);
}

TEST_F(DeviceConfigTest, CardInformationReadAtItsLayoutsOffset)
{
    // Geometry where the other layout expects it reads as zero: no capacity, nothing to give.
    DeviceConfigUFS config = ufs(lunXml("0"));
    config.setCurrentConfiguration(cardInfo(kV2, 144, 16777216, 8192, 1));
    EXPECT_EQ(units(request(config))[0], 0U);
    config.setCurrentConfiguration(cardInfo(kV1 + 1, 144, 16777216, 8192, 1));
    EXPECT_EQ(units(request(config))[0], 2048U);
}

TEST_F(DeviceConfigTest, ZeroAllocationUnitWithAutoUnitsRefused)
{
    DeviceConfigUFS config = ufs(lunXml("0", {{"alloc-units", "4"}}) + lunXml("3"));
    std::vector<uint8_t> buffer(212, 0xaa);
    for (auto geometry : {std::make_pair(0U, 1), std::make_pair(8192U, 0)}) {
        config.setCurrentConfiguration(
            cardInfo(kV2, 204, 16777216, geometry.first, static_cast<uint8_t>(geometry.second)));
        size_t length = buffer.size();
        const Outcome out =
            outcomeOf([&] { config.generateConfigRequest(buffer.data(), length); });
        EXPECT_EQ(out.status, 0x30005U);
        EXPECT_EQ(out.text,
            "Units marked auto cannot be sized: the device reports an allocation unit size of 0");
        EXPECT_EQ(buffer, std::vector<uint8_t>(212, 0xaa));
    }

    // With no capacity to share out there is nothing to divide: the automatic unit gets 0.
    config.setCurrentConfiguration(cardInfo(kV2, 204, 0, 0, 1));
    const std::vector<uint32_t> sized = units(request(config));
    EXPECT_EQ(sized[0], 4U);
    EXPECT_EQ(sized[3], 0U);
}

TEST_F(DeviceConfigTest, ExplicitUnitsBeyondCapacityRefused)
{
    DeviceConfigUFS config = ufs(lunXml("0", {{"alloc-units", "1000"}})
                                 + lunXml("1", {{"alloc-units", "1049"}}) + lunXml("2"));
    config.setCurrentConfiguration(cardInfo(kV2, 204, 16777216, 8192, 1));
    std::vector<uint8_t> buffer(212, 0xaa);
    size_t length = buffer.size();
    const Outcome out = outcomeOf([&] { config.generateConfigRequest(buffer.data(), length); });
    EXPECT_EQ(out.status, 0x30005U);
    EXPECT_EQ(out.text,
        "Configured units exceed the device capacity: LUN 1 asks for 1049 allocation units of "
        "8192 sectors, 8585216 sectors are left");
    EXPECT_EQ(buffer, std::vector<uint8_t>(212, 0xaa));

    // Exactly filling the device is fine, and so is a unit so large that its size overflows.
    DeviceConfigUFS full = ufs(lunXml("0", {{"alloc-units", "2048"}}) + lunXml("1"));
    full.setCurrentConfiguration(cardInfo(kV2, 204, 16777216, 8192, 1));
    EXPECT_EQ(units(request(full))[1], 0U);
    DeviceConfigUFS huge = ufs(lunXml("0", {{"alloc-units", "0xffffffff"}}));
    huge.setCurrentConfiguration(cardInfo(kV2, 204, ~uint64_t{0}, 0xffffffff, 0xff));
    EXPECT_EQ(outcomeOf([&] { request(huge); }).status, 0x30005U);
}

TEST_F(DeviceConfigTest, CopiesGiveTheSameRequest)
{
    DeviceConfigUFS config = ufs(lunXml("0", {{"alloc-units", "24"}}) + lunXml("4"));
    config.setCurrentConfiguration(cardInfo(kV1, 144, 16777216, 8192, 1));
    const std::vector<uint8_t> original = bytesOf(request(config));
    EXPECT_EQ(units(request(config))[4], 2024U);

    DeviceConfigUFS copy(config);
    EXPECT_EQ(bytesOf(request(copy)), original);
    DeviceConfigUFS assigned = ufs(lunXml("1"));
    assigned = copy;
    EXPECT_EQ(bytesOf(request(assigned)), original);

    // The copy holds its own card information.
    config.setCurrentConfiguration(cardInfo(kV1, 144, 8192 * 100, 8192, 1));
    EXPECT_EQ(units(request(config))[4], 76U);
    EXPECT_EQ(bytesOf(request(copy)), original);
}

TEST(ConfigureLunSize, WholeUnitsOfWhatRemains)
{
    DeviceConfigUFS config;
    unsigned int units = 7;
    config.configureLunSize(units, 10, 10);
    EXPECT_EQ(units, 7U);
    config.configureLunSize(units, 10, 9);
    EXPECT_EQ(units, 7U);
    config.configureLunSize(units, 10, 25);
    EXPECT_EQ(units, 2U);
    config.configureLunSize(units, 1, uint64_t{1} << 33);
    EXPECT_EQ(units, std::numeric_limits<uint32_t>::max());
    // A unit size of 0 leaves nothing to divide unless capacity remains.
    config.configureLunSize(units, 0, 0);
    EXPECT_EQ(units, std::numeric_limits<uint32_t>::max());
    const Outcome out = outcomeOf([&] { config.configureLunSize(units, 0, 1); });
    EXPECT_EQ(out.status, 0x30005U);
    EXPECT_EQ(units, std::numeric_limits<uint32_t>::max());
}

TEST_F(DeviceConfigTest, RequestPrinters)
{
    DeviceConfigEMMC e = emmc(gppXml("3", "70000")
        + "<uda><flags><value>1</value></flags><base>16</base><size>4096</size></uda>");
    std::ostringstream emmcText;
    emmcText << static_cast<IDeviceConfig const&>(e);
    std::string expected = "--- EMMC ---\nUDA:\nuser_data_area_flags: [0x1]\n"
                           "enhanced_data_area_start: [16]\nenhanced_data_area_size: [4096]\n"
                           "GPP [0]:\nflags: [0x3]\nsize: [70000]\n";
    for (int i = 1; i < 4; ++i)
        expected += "GPP [" + std::to_string(i) + "]:\nflags: [0]\nsize: [0]\n";
    EXPECT_EQ(emmcText.str(), expected);

    DeviceConfigUFS u = ufs("<attributes configure=\"true\"><time-passed>5</time-passed>"
                            "</attributes>" + lunXml("6", {{"alloc-units", "0x200"}}));
    std::ostringstream ufsText;
    ufsText << static_cast<IDeviceConfig const&>(u);
    const std::string out = ufsText.str();
    std::ostringstream desc, lun0, lun6, attrib;
    desc << u.request().descriptor;
    lun0 << u.request().lun[0];
    lun6 << u.request().lun[6];
    attrib << u.request().attributes;
    std::string ufsExpected = "--- UFS ---\nControlFlags: [0x2600]\nDescriptor:\n" + desc.str()
                              + "\n";
    for (int i = 0; i < 8; ++i)
        ufsExpected +=
            "LUN [" + std::to_string(i) + "]:\n" + (i == 6 ? lun6 : lun0).str() + "\n";
    ufsExpected += "Attributes:\n" + attrib.str() + "\n";
    EXPECT_EQ(out, ufsExpected);
    // Big-endian request fields show as host-order integers.
    EXPECT_NE(lun6.str().find("dNumAllocUnits: [0x20000]"), std::string::npos);
    EXPECT_NE(attrib.str().find("dSecondsPassed: [83886080]"), std::string::npos);

    DeviceConfigSPI spi;
    std::ostringstream spiText;
    spiText << spi;
    EXPECT_EQ(spiText.str(), "");
    EXPECT_THROW(spiText << static_cast<IDeviceConfig const&>(spi), std::bad_cast);
}

TEST_F(DeviceConfigTest, PlatformPrinterEmmcThenUfsByIndex)
{
    PlatformConfig config;
    parseText(config, configXml(ufsXml(lunXml("0"), "3") + emmcXml(gppXml("2", "2"), "9")
                                + ufsXml(lunXml("1"), "1") + emmcXml(gppXml("1", "1"), "4")));
    std::ostringstream expected, out;
    expected << config.getDeviceEMMC(4) << config.getDeviceEMMC(9) << config.getDeviceUFS(1)
             << config.getDeviceUFS(3);
    out << config;
    EXPECT_EQ(out.str(), expected.str());
}

} // namespace
