// Reading the XML platform configuration file into eMMC and UFS storage configurations.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "platform_config_files.h"

using namespace config_test;

namespace {

enum class Kind { Vemo, BadPath, BadData, InvalidArgument, OutOfRange };

bool isKind(std::exception const& e, Kind kind)
{
    switch (kind) {
    case Kind::Vemo:
        return dynamic_cast<VemoException const*>(&e) != nullptr;
    case Kind::BadPath:
        return dynamic_cast<boost::property_tree::ptree_bad_path const*>(&e) != nullptr;
    case Kind::BadData:
        return dynamic_cast<boost::property_tree::ptree_bad_data const*>(&e) != nullptr;
    case Kind::InvalidArgument:
        return dynamic_cast<std::invalid_argument const*>(&e) != nullptr;
    case Kind::OutOfRange:
        return dynamic_cast<std::out_of_range const*>(&e) != nullptr;
    }
    return false;
}

struct FailureCase {
    const char* name;
    std::string xml;
    Kind kind;
    unsigned long status;
    std::string text;
    bool exact; // else the message has to contain `text`
};

void PrintTo(FailureCase const& c, std::ostream* os)
{
    *os << c.name;
}

class ParseFailureTest : public ::testing::TestWithParam<FailureCase> {
protected:
    ScratchDir dir;
};

TEST_P(ParseFailureTest, StatusAndText)
{
    FailureCase const& c = GetParam();
    PlatformConfig config;
    try {
        parseText(config, c.xml);
        FAIL() << "parsed without failure";
    } catch (std::exception const& e) {
        EXPECT_TRUE(isKind(e, c.kind)) << typeid(e).name() << ": " << e.what();
    }
    const Outcome out = outcomeOf([&] { parseText(config, c.xml); });
    EXPECT_EQ(out.status, c.status);
    if (c.exact)
        EXPECT_EQ(out.text, c.text);
    else
        EXPECT_NE(out.text.find(c.text), std::string::npos) << out.text;
}

const std::string kAttr = "<attributes configure=\"true\">";

INSTANTIATE_TEST_SUITE_P(Table, ParseFailureTest,
    ::testing::Values(
        FailureCase{"NoConfigRoot", "<?xml version=\"1.0\"?><cfg/>", Kind::BadPath, 0x30000,
            "config", false},
        FailureCase{"NoType", configXml("<device idx=\"0\"><partitions/></device>"),
            Kind::BadPath, 0x30000, "<xmlattr>.type", false},
        FailureCase{"NoIdxEvenWithUnknownType", configXml("<device type=\"spi\"/>"),
            Kind::BadPath, 0x30000, "<xmlattr>.idx", false},
        FailureCase{"NoPartitions", configXml("<device type=\"emmc\" idx=\"0\"/>"),
            Kind::BadPath, 0x30000, "partitions", false},
        FailureCase{"GppWithoutEnabled", configXml(emmcXml("<gpp><size>1</size></gpp>")),
            Kind::BadPath, 0x30000, "<xmlattr>.enabled", false},
        FailureCase{"EnabledGppWithoutSize",
            configXml(emmcXml("<gpp enabled=\"true\"><flags><value>1</value></flags></gpp>")),
            Kind::BadPath, 0x30000, "size", false},
        FailureCase{"EnabledGppWithoutFlags",
            configXml(emmcXml("<gpp enabled=\"true\"><size>1</size></gpp>")), Kind::BadPath,
            0x30000, "flags.value", false},
        FailureCase{"UdaWithoutBase",
            configXml(emmcXml("<uda><flags><value>1</value></flags><size>1</size></uda>")),
            Kind::BadPath, 0x30000, "base", false},
        FailureCase{"LunWithoutIdx",
            configXml(ufsXml("<lun><enable>true</enable></lun>")), Kind::BadPath, 0x30000,
            "<xmlattr>.idx", false},
        FailureCase{"LunWithoutCtxCaps", configXml(ufsXml(lunXml("0", {{"ctx-caps", kOmit}}))),
            Kind::BadPath, 0x30000, "ctx-caps", false},
        FailureCase{"LunWithoutEnable", configXml(ufsXml(lunXml("0", {{"enable", kOmit}}))),
            Kind::BadPath, 0x30000, "enable", false},
        FailureCase{"DescriptorWithoutConfigure", configXml(ufsXml("<descriptor/>")),
            Kind::BadPath, 0x30000, "<xmlattr>.configure", false},
        FailureCase{"AttributesWithoutConfigure", configXml(ufsXml("<attributes/>")),
            Kind::BadPath, 0x30000, "<xmlattr>.configure", false},
        FailureCase{"OooWithoutConfigure",
            configXml(ufsXml(kAttr + "<ooo-data-transfer><value>1</value></ooo-data-transfer>"
                             "</attributes>")),
            Kind::BadPath, 0x30000, "<xmlattr>.configure", false},
        FailureCase{"OooWithoutValue",
            configXml(ufsXml(kAttr + "<ooo-data-transfer configure=\"true\"/></attributes>")),
            Kind::BadPath, 0x30000, "value", false},
        FailureCase{"MaxDataSizeWithoutOut",
            configXml(ufsXml(kAttr + "<max-data-size><in>8</in></max-data-size></attributes>")),
            Kind::BadPath, 0x30000, "out", false},
        FailureCase{"HexDecimal",
            configXml(emmcXml(gppXml("1", "0x10"))), Kind::BadData, 0x30000,
            "size is not a decimal number: \"0x10\"", false},
        FailureCase{"NegativeIdx",
            configXml(emmcXml("", "-1")), Kind::BadData, 0x30000,
            "<xmlattr>.idx is not a decimal number: \"-1\"", false},
        FailureCase{"SignedDecimal",
            configXml(emmcXml("<uda><flags><value>+1</value></flags><base>0</base>"
                              "<size>0</size></uda>")),
            Kind::BadData, 0x30000, "flags.value is not a decimal number", false},
        FailureCase{"DecimalBeyondUnsignedInt", configXml(emmcXml("", "4294967296")),
            Kind::BadData, 0x30000, "4294967296", false},
        FailureCase{"EmptyDecimal", configXml(emmcXml(gppXml("", "1"))), Kind::BadData,
            0x30000, "flags.value", false},
        FailureCase{"NumberWithoutDigits",
            configXml(ufsXml(lunXml("0", {{"mem-type", "abc"}}))), Kind::InvalidArgument,
            0x30000, "stoul", true},
        FailureCase{"AutoWithLeadingBlank",
            configXml(ufsXml(lunXml("0", {{"alloc-units", " auto"}}))), Kind::InvalidArgument,
            0x30000, "stoul", true},
        FailureCase{"NumberBeyondUnsignedLong",
            configXml(ufsXml(lunXml("0", {{"ctx-caps", "0x10000000000000000"}}))),
            Kind::OutOfRange, 0x30000, "stoul", true},
        FailureCase{"UnknownType", configXml("<device type=\"spi\" idx=\"0\"/>"),
            Kind::InvalidArgument, 0x30000, "Unknown device type", true},
        FailureCase{"TypeIsCaseSensitive",
            configXml("<device type=\"EMMC\" idx=\"0\"><partitions/></device>"),
            Kind::InvalidArgument, 0x30000, "Unknown device type", true},
        FailureCase{"FifthGpp",
            configXml(emmcXml(gppXml("1", "1") + "<gpp enabled=\"false\"/>" + gppXml("1", "1")
                              + gppXml("1", "1") + "<gpp enabled=\"false\"/>")),
            Kind::Vemo, 0x30004, "GPP index is out of range", true},
        FailureCase{"LunIndex8", configXml(ufsXml(lunXml("8"))), Kind::Vemo, 0x30004,
            "LUN index is out of range", true},
        FailureCase{"RefClockConfiguredNonZero",
            configXml(ufsXml(
                kAttr + "<ref-clock-freq configure=\"true\">1</ref-clock-freq></attributes>")),
            Kind::InvalidArgument, 0x30000,
            "Parse error: Illegal value at <ref-clock-freq> element: 0x1", true},
        // Cut to 8 bits it would have read as the one value allowed, 0.
        FailureCase{"RefClockConfiguredTooWide",
            configXml(ufsXml(
                kAttr + "<ref-clock-freq configure=\"true\">0x100</ref-clock-freq></attributes>")),
            Kind::Vemo, 0x30004,
            "Parse error: attributes/ref-clock-freq value \"0x100\" does not fit in 8 bits", true},
        FailureCase{"RefClockConfiguredHex",
            configXml(ufsXml(
                kAttr + "<ref-clock-freq configure=\"true\">0x1a</ref-clock-freq></attributes>")),
            Kind::InvalidArgument, 0x30000,
            "Parse error: Illegal value at <ref-clock-freq> element: 0x1a", true}),
    [](::testing::TestParamInfo<FailureCase> const& info) { return info.param.name; });

class PlatformConfigTest : public ::testing::Test {
protected:
    PlatformConfig parsed(std::string const& devices)
    {
        PlatformConfig config;
        parseText(config, configXml(devices));
        return config;
    }

    ScratchDir dir;
};

TEST_F(PlatformConfigTest, FileErrorsNameTheFile)
{
    PlatformConfig config;
    Outcome missing = outcomeOf([&] { config.parse(dir.path("absent.xml")); });
    EXPECT_EQ(missing.status, 0x30000U);
    EXPECT_NE(missing.text.find("absent.xml"), std::string::npos) << missing.text;
    EXPECT_THROW(config.parse(dir.path("absent.xml")),
        boost::property_tree::xml_parser::xml_parser_error);

    ScratchDir::write("broken.xml", "<config>\n<device type=\"emmc\" idx=\"0\">\n</config>\n");
    Outcome broken = outcomeOf([&] { config.parse("broken.xml"); });
    EXPECT_EQ(broken.status, 0x30000U);
    EXPECT_NE(broken.text.find("broken.xml("), std::string::npos) << broken.text;
}

// The largest file taken: a configuration padded with a comment to exactly `size` bytes.
std::string paddedTo(size_t size)
{
    const std::string head = configXml(emmcXml(gppXml("1", "7"))) + "<!--";
    return head + std::string(size - head.size() - 3, ' ') + "-->";
}

TEST_F(PlatformConfigTest, FileSizeBounded)
{
    const size_t bound = 1024 * 1024;
    PlatformConfig config;
    parseText(config, paddedTo(bound));
    EXPECT_EQ(config.getDeviceEMMC(0).request().gpp[0].size[0], 7);

    std::vector<std::string> paths = {"big.xml"};
#ifndef _WIN32
    paths.push_back("/dev/zero"); // a file without end
#endif
    for (std::string const& path : paths) {
        SCOPED_TRACE(path);
        ScratchDir::write("big.xml", paddedTo(bound + 1));
        const Outcome out = outcomeOf([&] { PlatformConfig().parse(path); });
        EXPECT_EQ(out.status, 0x30000U);
        EXPECT_EQ(out.text, path + ": the platform configuration file is larger than 1048576 bytes");
    }
}

#ifndef _WIN32
// A pipe can be read only once: what it held has to reach the reader.
TEST_F(PlatformConfigTest, FileReadOnceThroughAPipe)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string xml = configXml(ufsXml(lunXml("4")));
    ASSERT_EQ(write(ends[1], xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
    close(ends[1]);
    PlatformConfig config;
    const Outcome out =
        outcomeOf([&] { config.parse("/dev/fd/" + std::to_string(ends[0])); });
    close(ends[0]);
    ASSERT_EQ(out.text, "Success");
    EXPECT_EQ(config.getDeviceUFS(0).request().lun[4].bLUEnable, 1);
}
#endif

TEST_F(PlatformConfigTest, LookupsByTypeAndIndex)
{
    PlatformConfig config = parsed(emmcXml(gppXml("1", "5")) + ufsXml(lunXml("0")));
    EXPECT_EQ(config.getDeviceEMMC(0).request().gpp[0].size[0], 5);
    EXPECT_EQ(config.getDeviceUFS(0).request().lun[0].bLUEnable, 1);
    EXPECT_EQ(&config.getDevice(DEV_TYPE_EMMC, 0),
        static_cast<IDeviceConfig*>(&config.getDeviceEMMC(0)));
    EXPECT_EQ(&config.getDevice(DEV_TYPE_UFS, 0),
        static_cast<IDeviceConfig*>(&config.getDeviceUFS(0)));

    for (auto lookup : {+[](PlatformConfig& c) { c.getDeviceEMMC(1); },
             +[](PlatformConfig& c) { c.getDeviceUFS(1); },
             +[](PlatformConfig& c) { c.getDevice(DEV_TYPE_UFS, 7); }}) {
        const Outcome out = outcomeOf([&] { lookup(config); });
        EXPECT_EQ(out.status, 0x30004U);
        EXPECT_EQ(out.text, "Device configuration not found");
    }
    EXPECT_THROW(config.getDevice(DEV_TYPE_SPI, 0), std::invalid_argument);
    EXPECT_EQ(outcomeOf([&] { config.getDevice(DEV_TYPE_SPI, 0); }).text,
        "Unsupported device type: 0x1");
    EXPECT_EQ(outcomeOf([&] { config.getDevice(static_cast<_DEV_TYPE>(0x14), 0); }).text,
        "Unsupported device type: 0x14");
}

TEST_F(PlatformConfigTest, GppEntriesKeepTheirPositions)
{
    PlatformConfig config = parsed(emmcXml(gppXml("1", "100") + "<gpp enabled=\"false\">"
        "<flags><value>9</value></flags><size>9</size></gpp>" + gppXml("2", "300")
        + "<gpp enabled=\"True\"><flags><value>9</value></flags><size>9</size></gpp>"));
    const std::vector<uint8_t> bytes = bytesOf(config.getDeviceEMMC(0).request());
    const std::vector<uint8_t> expected = {
        100, 0, 0, 1, 0, 0, 0, 0, // gpp 0
        0, 0, 0, 0, 0, 0, 0, 0, // gpp 1: disabled, untouched
        0x2c, 0x01, 0, 2, 0, 0, 0, 0, // gpp 2
        0, 0, 0, 0, 0, 0, 0, 0, // gpp 3: "True" is not yes
    };
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 32), expected);
}

TEST_F(PlatformConfigTest, GppValuesFillTheirFields)
{
    PlatformConfig config = parsed(emmcXml(gppXml("255", "16777215") + gppXml("3", "65536")));
    _emmc_dev_cfg_param const& p = config.getDeviceEMMC(0).request();
    EXPECT_EQ(bytesOf(p.gpp[0]), (std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}));
    EXPECT_EQ(bytesOf(p.gpp[1]), (std::vector<uint8_t>{0, 0, 1, 3, 0, 0, 0, 0}));
}

TEST_F(PlatformConfigTest, UserDataAreaLittleEndianAndLastOneWins)
{
    PlatformConfig config = parsed(emmcXml(
        "<uda><flags><value>7</value></flags><base>1</base><size>2</size></uda>"
        "<uda><flags><value> 3 </value></flags><base>\n  305419896\n</base>"
        "<size>4294967295</size></uda>"));
    const std::vector<uint8_t> bytes = bytesOf(config.getDeviceEMMC(0).request());
    const std::vector<uint8_t> uda = {3, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 32, bytes.begin() + 44), uda);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 44, bytes.end()), std::vector<uint8_t>(4, 0));
}

struct NumberCase {
    const char* text;
    uint8_t stored;
};

void PrintTo(NumberCase const& c, std::ostream* os)
{
    *os << '"' << c.text << '"';
}

class NumberSyntaxTest : public PlatformConfigTest,
                         public ::testing::WithParamInterface<NumberCase> {};

TEST_P(NumberSyntaxTest, MemTypeStored)
{
    PlatformConfig config = parsed(ufsXml(lunXml("0", {{"mem-type", GetParam().text}})));
    EXPECT_EQ(config.getDeviceUFS(0).request().lun[0].bMemoryType, GetParam().stored)
        << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, NumberSyntaxTest,
    ::testing::Values(NumberCase{"0x10", 16}, NumberCase{"0X10", 16}, NumberCase{"16", 16},
        NumberCase{"020", 16}, NumberCase{"  16", 16}, NumberCase{"16 ", 16},
        NumberCase{"\n\t0x10\n  ", 16}, NumberCase{"+16", 16}, NumberCase{"0xff", 255},
        NumberCase{"-0", 0}));

// Every numeric field of both storage kinds with the width of its field: the largest value is
// taken, the next one refused rather than cut, and so is anything after a number's digits.
struct FieldCase {
    std::string shown; // how a refusal names the value: element/path
    std::function<std::string(std::string const&)> xml;
    unsigned int bits;
    bool number; // C notation; else decimal
};

void PrintTo(FieldCase const& c, std::ostream* os)
{
    *os << c.shown;
}

FieldCase emmcField(std::string const& shown, unsigned int bits,
    std::function<std::string(std::string const&)> partitions)
{
    return {shown, [partitions](std::string const& v) { return configXml(emmcXml(partitions(v))); },
        bits, false};
}

FieldCase lunField(std::string const& name, unsigned int bits)
{
    return {"lun/" + name,
        [name](std::string const& v) { return configXml(ufsXml(lunXml("0", {{name, v}}))); },
        bits, true};
}

FieldCase descriptorField(std::string const& name, unsigned int bits)
{
    return {"descriptor/" + name,
        [name](std::string const& v) {
            return configXml(ufsXml("<descriptor configure=\"true\"><" + name + ">" + v + "</"
                                    + name + "></descriptor>"));
        },
        bits, true};
}

// `element` holds the value either in a child ("value", "in", "out") or in its own text.
FieldCase attributeField(std::string const& element, std::string const& child, unsigned int bits,
    std::string const& mark = "", std::string const& sibling = "")
{
    return {child.empty() ? "attributes/" + element : element + "/" + child,
        [=](std::string const& v) {
            const std::string content =
                child.empty() ? v : "<" + child + ">" + v + "</" + child + ">" + sibling;
            return configXml(ufsXml("<attributes configure=\"true\"><" + element + mark + ">"
                                    + content + "</" + element + "></attributes>"));
        },
        bits, true};
}

std::string udaXml(std::string const& flags, std::string const& base, std::string const& size)
{
    return "<uda><flags><value>" + flags + "</value></flags><base>" + base + "</base><size>" + size
           + "</size></uda>";
}

class FieldWidthTest : public ::testing::TestWithParam<FieldCase> {
protected:
    Outcome parse(std::string const& value)
    {
        PlatformConfig config;
        return outcomeOf([&] { parseText(config, GetParam().xml(value)); });
    }

    std::string refusal(std::string const& value, std::string const& why)
    {
        return "Parse error: " + GetParam().shown + " value \"" + value + "\" " + why;
    }

    ScratchDir dir;
};

TEST_P(FieldWidthTest, LargestValueTakenWiderRefused)
{
    const unsigned int bits = GetParam().bits;
    const std::string largest = std::to_string((uint64_t{1} << bits) - 1);
    const std::string wider = std::to_string(uint64_t{1} << bits);
    EXPECT_EQ(parse(largest).text, "Success");
    const Outcome out = parse(wider);
    if (!GetParam().number && bits == 32) {
        // Beyond an unsigned int: no decimal at all, rather than one its field would cut.
        const std::string& shown = GetParam().shown;
        EXPECT_EQ(out.status, 0x30000U);
        EXPECT_EQ(out.text, "Parse error: value of " + shown.substr(shown.find('/') + 1)
                                + " is not a decimal number: \"" + wider + "\"");
    } else {
        EXPECT_EQ(out.status, 0x30004U);
        EXPECT_EQ(out.text, refusal(wider, "does not fit in " + std::to_string(bits) + " bits"));
    }
    if (GetParam().number) {
        for (std::string const& negative : {std::string("-1"), std::string("-18446744073709551615")}) {
            const Outcome neg = parse(negative);
            EXPECT_EQ(neg.status, 0x30004U);
            EXPECT_EQ(neg.text,
                refusal(negative, "does not fit in " + std::to_string(bits) + " bits"));
        }
        for (std::string const& text : {std::string("12abc"), std::string("1 2"),
                 std::string("0x"), std::string("089"), std::string("1.5")}) {
            const Outcome rest = parse(text);
            EXPECT_EQ(rest.status, 0x30004U);
            EXPECT_EQ(rest.text, refusal(text, "is not a number"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fields, FieldWidthTest,
    ::testing::Values(
        emmcField("gpp/flags.value", 8, [](std::string const& v) { return gppXml(v, "1"); }),
        emmcField("gpp/size", 24, [](std::string const& v) { return gppXml("1", v); }),
        emmcField("uda/flags.value", 8, [](std::string const& v) { return udaXml(v, "0", "0"); }),
        emmcField("uda/base", 32, [](std::string const& v) { return udaXml("0", v, "0"); }),
        emmcField("uda/size", 32, [](std::string const& v) { return udaXml("0", "0", v); }),
        lunField("boot-lun-id", 8), lunField("write-protect", 8), lunField("mem-type", 8),
        lunField("alloc-units", 32), lunField("data-reliability", 8),
        lunField("logical-block-size", 8), lunField("provisioning-type", 8),
        lunField("ctx-caps", 16),
        descriptorField("boot", 8), descriptorField("desc-access", 8),
        descriptorField("init-power-mode", 8), descriptorField("high-priority-lun", 8),
        descriptorField("secure-removal-type", 8), descriptorField("init-active-icc-level", 8),
        descriptorField("periodic-rtc-update", 16),
        attributeField("ooo-data-transfer", "value", 8, " configure=\"true\""),
        attributeField("ref-clock-freq", "", 8, " configure=\"false\""),
        attributeField("config-descr-lock", "value", 8, " configure=\"true\""),
        attributeField("boot", "value", 8), attributeField("current-power-mode", "value", 8),
        attributeField("exception-event-control", "value", 16),
        attributeField("max-data-size", "in", 8, "", "<out>0</out>"),
        attributeField("max-data-size", "out", 8, "", "<in>0</in>"),
        attributeField("active-icc-level", "", 8), attributeField("max-rtt-num", "", 8),
        attributeField("time-passed", "", 32)),
    [](::testing::TestParamInfo<FieldCase> const& info) {
        std::string name = info.param.shown;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST_F(PlatformConfigTest, UnitFieldsAndBigEndianMultiByteValues)
{
    PlatformConfig config = parsed(ufsXml(
        lunXml("2", {{"boot-lun-id", "0x01"}, {"write-protect", "2"}, {"mem-type", "3"},
                        {"alloc-units", "2048"}, {"data-reliability", "1"},
                        {"logical-block-size", "0x0c"}, {"provisioning-type", "2"},
                        {"ctx-caps", "0x1234"}})
        + lunXml("5", {{"enable", "True"}}) + lunXml("6", {{"enable", "1"}})
        + lunXml("7", {{"alloc-units", "auto"}})));
    _ufs_dev_cfg_param const& p = config.getDeviceUFS(0).request();
    EXPECT_EQ(bytesOf(p.lun[2]), (std::vector<uint8_t>{1, 1, 2, 3, 0x00, 0x00, 0x08, 0x00, 1,
                                     0x0c, 2, 0x12, 0x34, 0, 0, 0}));
    EXPECT_EQ(p.lun[5].bLUEnable, 0);
    EXPECT_EQ(p.lun[6].bLUEnable, 0);
    EXPECT_EQ(p.lun[7].bLUEnable, 1);
    EXPECT_EQ(uint32_t{p.lun[7].dNumAllocUnits}, 0U);
    EXPECT_EQ(bytesOf(p.lun[0]), std::vector<uint8_t>(16, 0));
    EXPECT_EQ(uint32_t{p.ControlFlags}, 0U);
}

TEST_F(PlatformConfigTest, RepeatedUnitKeepsTheSecond)
{
    PlatformConfig config = parsed(ufsXml(lunXml("3", {{"mem-type", "1"}, {"ctx-caps", "5"}})
        + lunXml("3", {{"enable", "false"}, {"mem-type", "2"}})));
    _ufs_lun_cfg const& lun = config.getDeviceUFS(0).request().lun[3];
    EXPECT_EQ(lun.bLUEnable, 0);
    EXPECT_EQ(lun.bMemoryType, 2);
    EXPECT_EQ(uint32_t{lun.wContextCapabilities}, 0U);
}

TEST_F(PlatformConfigTest, DescriptorOnlyWhenConfigured)
{
    const std::string children = "<boot>1</boot><desc-access>2</desc-access>"
                                 "<init-power-mode>3</init-power-mode>"
                                 "<high-priority-lun>0x7f</high-priority-lun>"
                                 "<secure-removal-type>5</secure-removal-type>"
                                 "<init-active-icc-level>6</init-active-icc-level>"
                                 "<periodic-rtc-update>0x1234</periodic-rtc-update>"
                                 "<unknown>zzz</unknown><boot>9</boot>";
    PlatformConfig ignored =
        parsed(ufsXml("<descriptor configure=\"false\">" + children + "</descriptor>"));
    EXPECT_EQ(bytesOf(ignored.getDeviceUFS(0).request()), std::vector<uint8_t>(212, 0));

    PlatformConfig empty = parsed(ufsXml("<descriptor configure=\"true\"/>"));
    const std::vector<uint8_t> emptyBytes = bytesOf(empty.getDeviceUFS(0).request());
    EXPECT_EQ(emptyBytes[0], 0x02);
    EXPECT_EQ(std::vector<uint8_t>(emptyBytes.begin() + 1, emptyBytes.end()),
        std::vector<uint8_t>(211, 0));

    PlatformConfig full =
        parsed(ufsXml("<descriptor configure=\"true\">" + children + "</descriptor>"));
    const std::vector<uint8_t> bytes = bytesOf(full.getDeviceUFS(0).request());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
        (std::vector<uint8_t>{0x02, 0, 0, 0}));
    // The first "boot" gives the value although a second one follows.
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.begin() + 24),
        (std::vector<uint8_t>{0, 0, 0, 1, 2, 3, 0x7f, 5, 6, 0x12, 0x34, 0, 0, 0, 0, 0}));
}

TEST_F(PlatformConfigTest, AttributesWithEnableBits)
{
    const std::string children =
        "<ooo-data-transfer configure=\"true\"><value>1</value></ooo-data-transfer>"
        "<ref-clock-freq configure=\"true\">0</ref-clock-freq>"
        "<config-descr-lock configure=\"true\"><value>1</value></config-descr-lock>"
        "<boot><value>2</value></boot>"
        "<current-power-mode><value>0x11</value></current-power-mode>"
        "<active-icc-level>3</active-icc-level>"
        "<max-data-size><in>8</in><out>9</out></max-data-size>"
        "<max-rtt-num>4</max-rtt-num>"
        "<exception-event-control><value>0x1234</value></exception-event-control>"
        "<time-passed>4000000000</time-passed>"
        "<unknown/>"
        // A second "boot" wins (child value); a second "time-passed" does not (own text).
        "<boot><value>5</value></boot><time-passed>7</time-passed>";
    PlatformConfig config =
        parsed(ufsXml("<attributes configure=\"true\">" + children + "</attributes>"));
    const std::vector<uint8_t> bytes = bytesOf(config.getDeviceUFS(0).request());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
        (std::vector<uint8_t>{0, 0x26, 0, 0}));
    const std::vector<uint8_t> attributes = {
        0x10, 0x0c, 0, 0, 0, 0, 0, 0, // enables: bits 4, 10, 11
        5, 0, 0, 0, 0x11, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, // boot, power mode, icc, ooo
        8, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, // in, out, ref clock, lock
        4, 0, 0, 0, 0x12, 0x34, 0, 0, 0xee, 0x6b, 0x28, 0x00, // rtt, exceptions, seconds
        0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 152, bytes.end()), attributes);
}

TEST_F(PlatformConfigTest, UnconfiguredMarksClearTheirBits)
{
    PlatformConfig config = parsed(ufsXml("<attributes configure=\"true\">"
        "<ooo-data-transfer configure=\"true\"><value>1</value></ooo-data-transfer>"
        "<ooo-data-transfer configure=\"false\"><value>0</value></ooo-data-transfer>"
        "<ref-clock-freq configure=\"false\">1</ref-clock-freq>"
        "<config-descr-lock configure=\"no\"><value>1</value></config-descr-lock>"
        "</attributes>"));
    _ufs_dev_attrib_cfg const& a = config.getDeviceUFS(0).request().attributes;
    EXPECT_EQ(uint32_t{a.AttributesEnables}, 0U);
    EXPECT_EQ(a.bRefClkFreq, 1);
    EXPECT_EQ(a.bConfigDescrLock, 1);

    PlatformConfig off = parsed(ufsXml("<attributes configure=\"false\">"
        "<ref-clock-freq configure=\"true\">1</ref-clock-freq></attributes>"));
    EXPECT_EQ(bytesOf(off.getDeviceUFS(0).request()), std::vector<uint8_t>(212, 0));
}

// A comment right after the element's start tag.
std::string withComment(std::string element)
{
    return element.insert(element.find('>') + 1, "<!-- c -->");
}

TEST_F(PlatformConfigTest, CommentsAndOtherElementsIgnored)
{
    PlatformConfig config = parsed("<!-- boards of rev B -->\n<board name=\"x\"/>\n"
        "<device type=\"emmc\" idx=\"1\"><!-- c --><partitions><!-- c --><note/>"
        + gppXml("1", "2") + "<!-- c --></partitions></device>"
        + "<device type=\"ufs\" idx=\"2\"><!-- c -->"
        + withComment(lunXml("1")) + "</device>");
    EXPECT_EQ(config.getDeviceEMMC(1).request().gpp[0].size[0], 2);
    EXPECT_EQ(config.getDeviceUFS(2).request().lun[1].bLUEnable, 1);
}

TEST_F(PlatformConfigTest, RepeatedDeviceParsesIntoTheSameConfiguration)
{
    PlatformConfig config = parsed(emmcXml(gppXml("1", "10"), "4")
        + emmcXml("<gpp enabled=\"false\"/>" + gppXml("2", "20"), "4"));
    _emmc_dev_cfg_param const& p = config.getDeviceEMMC(4).request();
    EXPECT_EQ(p.gpp[0].size[0], 10); // counting restarts per element
    EXPECT_EQ(p.gpp[1].size[0], 20);

    // A later parse adds to what is there.
    parseText(config, configXml(emmcXml(gppXml("3", "30"), "5")));
    EXPECT_EQ(config.getDeviceEMMC(4).request().gpp[1].size[0], 20);
    EXPECT_EQ(config.getDeviceEMMC(5).request().gpp[0].size[0], 30);
}

TEST_F(PlatformConfigTest, WhatWasReadBeforeAFailureStays)
{
    PlatformConfig config;
    EXPECT_THROW(parseText(config, configXml(emmcXml(gppXml("1", "1")) + ufsXml(lunXml("9")))),
        VemoException);
    EXPECT_EQ(config.getDeviceEMMC(0).request().gpp[0].size[0], 1);
}

TEST(PlatformConfigSamples, ShippedFilesParse)
{
    PlatformConfig config;
    config.parse(std::string(XOL_TEST_DATA_DIR) + "/platform_emmc.xml");
    config.parse(std::string(XOL_TEST_DATA_DIR) + "/platform_ufs.xml");
    _emmc_dev_cfg_param const& emmc = config.getDeviceEMMC(0).request();
    EXPECT_EQ(emmc.gpp[0].size[0], 64);
    EXPECT_EQ(emmc.gpp[2].size[0], 0);
    EXPECT_EQ(emmc.gpp[3].flags, 2);
    EXPECT_EQ(uint32_t{emmc.uda.enhanced_data_area_size}, 2097152U);

    _ufs_dev_cfg_param const& ufs = config.getDeviceUFS(0).request();
    EXPECT_EQ(uint32_t{ufs.ControlFlags}, 0x2602U);
    EXPECT_EQ(ufs.descriptor.bHighPriorityLUN, 0x7f);
    EXPECT_EQ(be32Load(ufs.lun[2].dNumAllocUnits), 1024U);
    EXPECT_EQ(uint32_t{ufs.lun[3].dNumAllocUnits}, 0U);
    EXPECT_EQ(ufs.lun[4].bLUEnable, 0);
    EXPECT_EQ(uint32_t{ufs.attributes.AttributesEnables}, 0x410U);
    EXPECT_THROW(config.getDeviceUFS(1), VemoException);
}

} // namespace
