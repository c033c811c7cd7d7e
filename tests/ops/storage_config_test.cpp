// configpart: the Configure Device request built from the platform configuration file and the
// device's card information, for SPI flash, eMMC and UFS, and the type and index errors.
#include <array>
#include <optional>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "ops_host.h"

namespace ops {
namespace {

using Codes = std::vector<uint8_t>;

const std::string emmcFile = std::string(XOL_TEST_DATA_DIR) + "/platform_emmc.xml";
const std::string ufsFile = std::string(XOL_TEST_DATA_DIR) + "/platform_ufs.xml";

// The request the eMMC sample file describes.
const Bytes kEmmcSampleRequest = {0x40, 0, 0,    1, 0, 0, 0, 0, // partition 1: 64 groups, enhanced
                                  0x10, 0, 0,    0, 0, 0, 0, 0, // partition 2: 16 groups
                                  0,    0, 0,    0, 0, 0, 0, 0, // partition 3 disabled
                                  0x08, 0, 0,    2, 0, 0, 0, 0, // partition 4: 8 groups, flags 2
                                  1,    0, 0,    0, 0, 0, 0, 0,
                                  0,    0, 0x20, 0, // user data area: flags 1, base 0, size 2097152
                                  0,    0, 0,    0};

class StorageConfig : public HostTest {
protected:
    unsigned long configure(const Board& b, const char* path, unsigned char type, unsigned char idx)
    {
        return api->configpart(recovery, path, type, idx, b.ident.c_str(), &msg, nullptr, nullptr);
    }

    // The request the board received for its storage device (type, 0), and what was asked.
    static std::optional<Bytes> request(const Board& b, uint8_t type)
    {
        return b.dev->inspect([type](const XolDeviceState& s) {
            return s.storage.at({type, 0}).lastConfigRequest;
        });
    }
    // (type, index) of each Get Card Info and Configure Device command since `from`.
    static std::vector<std::array<uint8_t, 3>> addressed(const Board& b, size_t from)
    {
        std::vector<std::array<uint8_t, 3>> out;
        for (const Bytes& c : b.commandsSince(from))
            if (c[4] == kGetCardInfo || c[4] == kConfigureDevice)
                out.push_back({c[4], c[16], c[17]});
        return out;
    }

    static uint32_t be32(const Bytes& b, size_t at)
    {
        return uint32_t{b.at(at)} << 24 | uint32_t{b.at(at + 1)} << 16 |
               uint32_t{b.at(at + 2)} << 8 | b.at(at + 3);
    }
    // dNumAllocUnits of unit `lun` in a UFS request.
    static uint32_t allocUnits(const Bytes& request, int lun)
    {
        return be32(request, 24 + 16 * lun + 4);
    }

    _error_msg_t msg{};
};

TEST_F(StorageConfig, SpiFlashGetsAnEmptyRequestWithoutAFile)
{
    Board& b = plug(boardState(1));
    const size_t from = b.mark();
    ASSERT_EQ(configure(b, "/nonexistent/platform.xml", 1, 0), 0u) << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(b.codesSince(from),
              (Codes{kStartOver, kSetProtocol, kGetCardInfo, kConfigureDevice}));
    EXPECT_EQ(addressed(b, from), (std::vector<std::array<uint8_t, 3>>{{kGetCardInfo, 1, 0},
                                                                       {kConfigureDevice, 1, 0}}));
    EXPECT_EQ(request(b, 1), Bytes{});
}

TEST_F(StorageConfig, EmmcRequestFromTheSampleFile)
{
    Board& b = plug(boardState(0));
    const size_t from = b.mark();
    ASSERT_EQ(configure(b, emmcFile.c_str(), 2, 0), 0u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kStartOver, kDownloadRecoveryModule,
                                         kSetProtocol, kGetCardInfo, kConfigureDevice}));
    EXPECT_EQ(request(b, 2), kEmmcSampleRequest);
}

TEST_F(StorageConfig, UfsAutomaticUnitTakesWhatTheCardLeaves)
{
    Board& b = plug(boardState(1));
    struct Case {
        size_t layout; // bytes of card information, telling where its geometry is
        uint64_t capacity;
        uint32_t automatic; // allocation units the "auto" unit receives
    };
    // Units 0, 1 and 2 take 8 + 8 + 1024 units of 8192 sectors; unit 4 is disabled.
    const Case cases[] = {{212, 16777216, 1008}, {272, 33554432, 3056}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        b.dev->edit([&](XolDeviceState& s) {
            return s.device(3, 0).cardInfo = ufsCardInfo(c.layout, c.capacity, 4096, 2);
        });
        const size_t from = b.mark();
        ASSERT_EQ(configure(b, ufsFile.c_str(), 3, 0), 0u) << msg.text;
        EXPECT_EQ(addressed(b, from), (std::vector<std::array<uint8_t, 3>>{
                                          {kGetCardInfo, 3, 0}, {kConfigureDevice, 3, 0}}));
        const std::optional<Bytes> r = request(b, 3);
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->size(), 212u);
        EXPECT_EQ(get32(r->data()), 0x2602u) << "descriptor and attributes configured";
        EXPECT_EQ(allocUnits(*r, 0), 8u);
        EXPECT_EQ(allocUnits(*r, 2), 1024u);
        EXPECT_EQ(allocUnits(*r, 3), c.automatic);
        EXPECT_EQ((*r)[24 + 16 * 4], 0) << "unit 4 disabled";
        EXPECT_EQ(allocUnits(*r, 4), 0u);
    }

    // Card information longer than either layout is refused before Configure Device.
    b.dev->edit([](XolDeviceState& s) { return s.device(3, 0).cardInfo = Bytes(273, 1); });
    const size_t from = b.mark();
    EXPECT_EQ(configure(b, ufsFile.c_str(), 3, 0), 0x30005u);
    EXPECT_STREQ(msg.text, "Write to mpCurrCfg failed");
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kGetCardInfo}));
}

// A device whose geometry leaves no capacity needs no allocation unit size: the automatic unit
// gets nothing. With capacity left, a unit size of 0 cannot share it out.
TEST_F(StorageConfig, UfsAllocationUnitOfZero)
{
    Board& b = plug(boardState(1));
    b.dev->edit([](XolDeviceState& s) { return s.device(3, 0).cardInfo = ufsCardInfo(272, 0, 0, 1); });
    ASSERT_EQ(configure(b, ufsFile.c_str(), 3, 0), 0u) << msg.text;
    const std::optional<Bytes> r = request(b, 3);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(allocUnits(*r, 2), 1024u);
    EXPECT_EQ(allocUnits(*r, 3), 0u);

    b.dev->edit([](XolDeviceState& s) {
        return s.device(3, 0).cardInfo = ufsCardInfo(272, 16777216, 8192, 0);
    });
    const size_t from = b.mark();
    EXPECT_EQ(configure(b, ufsFile.c_str(), 3, 0), 0x30005u);
    EXPECT_STREQ(msg.text,
                 "Units marked auto cannot be sized: the device reports an allocation unit size of 0");
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kGetCardInfo}));
}

std::string emmcGppSized(const std::string& size)
{
    return "<config><device type=\"emmc\" idx=\"0\"><partitions><gpp enabled=\"true\">"
           "<flags><value>1</value></flags><size>" + size + "</size></gpp></partitions></device>"
           "</config>";
}

std::string emmcUda(const std::string& base, const std::string& size)
{
    return "<config><device type=\"emmc\" idx=\"0\"><partitions><uda><flags><value>1</value>"
           "</flags><base>" + base + "</base><size>" + size + "</size></uda></partitions></device>"
           "</config>";
}

std::string ufsUnit(const std::string& bootLunId, const std::string& memType,
                    const std::string& allocUnits)
{
    return "<config><device type=\"ufs\" idx=\"0\"><lun idx=\"0\"><enable>true</enable>"
           "<boot-lun-id>" + bootLunId + "</boot-lun-id><write-protect>0</write-protect>"
           "<mem-type>" + memType + "</mem-type><alloc-units>" + allocUnits + "</alloc-units>"
           "<data-reliability>0</data-reliability><logical-block-size>12</logical-block-size>"
           "<provisioning-type>0</provisioning-type><ctx-caps>0</ctx-caps></lun></device></config>";
}

// Elements opened far deeper than the reader's stack allows, behind markup that once hid them.
std::string deeplyNested(const std::string& lead)
{
    std::string xml = "<config>\n" + lead + "\n";
    for (int i = 0; i < 200000; ++i)
        xml += "<a>";
    return xml;
}

// A file that is refused reaches no device: not a value cut to fit, not even Start Over. A file
// that cannot be read as a configuration gets the general failure; the configuration's status is
// for a value its field would cut.
TEST_F(StorageConfig, RefusedFileReachesNoDevice)
{
    Board& b = plug(boardState(1));
    const std::string file = host.tmp + "/refused.xml";
    struct Case {
        const char* what;
        std::string xml; // empty: the path is /dev/zero
        unsigned char type;
        unsigned long status;
        std::string text;
    };
    const std::string overBound =
        emmcUda("0", "1") + "<!--" + std::string(1024 * 1024, ' ') + "-->";
    const Case cases[] = {
        {"UDA size of 2^32, beyond an unsigned int", emmcUda("0", "4294967296"), 2, 0x30000,
         "Parse error: value of size is not a decimal number: \"4294967296\""},
        {"UDA base of 23 digits", emmcUda("99999999999999999999999", "1"), 2, 0x30000,
         "Parse error: value of base is not a decimal number: \"99999999999999999999999\""},
        {"GPP size beyond an unsigned int, not merely too wide for 24 bits",
         emmcGppSized("4294967296"), 2, 0x30000,
         "Parse error: value of size is not a decimal number: \"4294967296\""},
        {"a file over 1 MiB", overBound, 2, 0x30000,
         file + ": the platform configuration file is larger than 1048576 bytes"},
        {"GPP size of 2^24, cut to 0", emmcGppSized("16777216"), 2, 0x30004,
         "Parse error: gpp/size value \"16777216\" does not fit in 24 bits"},
        {"alloc-units of 2^32, cut to 0 (auto)", ufsUnit("0", "0", "4294967296"), 3, 0x30004,
         "Parse error: lun/alloc-units value \"4294967296\" does not fit in 32 bits"},
        {"boot-lun-id 257, cut to 1", ufsUnit("257", "0", "auto"), 3, 0x30004,
         "Parse error: lun/boot-lun-id value \"257\" does not fit in 8 bits"},
        {"digits and then letters", ufsUnit("0", "12abc", "auto"), 3, 0x30004,
         "Parse error: lun/mem-type value \"12abc\" is not a number"},
        {"nesting after an unknown declaration", deeplyNested("<!x [ >"), 2, 0x30000,
         file + "(3): elements nested too deeply"},
        {"nesting after a quote in a name", deeplyNested("<q'>"), 3, 0x30000,
         file + "(3): elements nested too deeply"},
#ifndef _WIN32
        {"a file without end", "", 2, 0x30000,
         "/dev/zero: the platform configuration file is larger than 1048576 bytes"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(file, c.xml);
        const size_t from = b.mark();
        EXPECT_EQ(configure(b, c.xml.empty() ? "/dev/zero" : file.c_str(), c.type, 0), c.status);
        EXPECT_EQ(msg.text, c.text);
        EXPECT_EQ(b.codesSince(from), Codes{});
    }
    EXPECT_FALSE(request(b, 2).has_value());
    EXPECT_FALSE(request(b, 3).has_value());
}

#ifndef _WIN32
// A pipe gives its content once: the library has to read the file in one pass.
TEST_F(StorageConfig, FileReadOnceFromAPipe)
{
    Board& b = plug(boardState(1));
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string xml = readFile(emmcFile);
    ASSERT_EQ(::write(ends[1], xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
    ::close(ends[1]);
    const size_t from = b.mark();
    const std::string path = "/dev/fd/" + std::to_string(ends[0]);
    const unsigned long status = configure(b, path.c_str(), 2, 0);
    ::close(ends[0]);
    ASSERT_EQ(status, 0u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kGetCardInfo, kConfigureDevice}));
    EXPECT_EQ(request(b, 2), kEmmcSampleRequest);
}
#endif

TEST_F(StorageConfig, TypeAndIndexErrorsComeBeforeTheDevice)
{
    Board& b = plug(boardState(1));
    const std::string malformed = host.tmp + "/malformed.xml";
    writeFile(malformed, "<config><device type=\"emmc\" idx=\"0\">");
    struct Case {
        const char* what;
        const char* path;
        unsigned char type, idx;
        unsigned long status;
        const char* text; // null: the XML reader's own wording
    };
    const Case cases[] = {
        {"type 4, no file opened", "/nonexistent/platform.xml", 4, 0, 0x30001,
         "Device type is not supported"},
        {"type 0", emmcFile.c_str(), 0, 0, 0x30001, "Device type is not supported"},
        {"eMMC from a missing file", "/nonexistent/platform.xml", 2, 0, 0x30000, nullptr},
        {"malformed file", malformed.c_str(), 2, 0, 0x30000, nullptr},
        {"UFS index not in the file", ufsFile.c_str(), 3, 1, 0x30004,
         "Device configuration not found"},
        {"UFS index configured only as eMMC", emmcFile.c_str(), 3, 0, 0x30004,
         "Device configuration not found"},
        {"eMMC index configured only as UFS", ufsFile.c_str(), 2, 0, 0x30004,
         "Device configuration not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t from = b.mark();
        EXPECT_EQ(configure(b, c.path, c.type, c.idx), c.status);
        if (c.text) {
            EXPECT_STREQ(msg.text, c.text);
        } else {
            EXPECT_STRNE(msg.text, "");
        }
        EXPECT_EQ(b.codesSince(from), Codes{});
    }
}

} // namespace
} // namespace ops
