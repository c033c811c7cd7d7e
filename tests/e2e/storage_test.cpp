// The storage commands as a user runs them: getcardinfo for every kind of storage and both UFS
// layouts, on screen and into a file; configpart with the sample platform configuration files;
// readbootmedia and readtoken writing exactly what the device holds, over many chunks.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "e2e_support.h"

using namespace e2e;
using xolsim::Bytes;
using xolsim::XolDeviceState;

namespace {

void put(Bytes& b, size_t at, std::initializer_list<uint8_t> bytes)
{
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

Bytes emmcCard()
{
    Bytes b(548);
    put(b, 0, {0x80, 0x80, 0xff, 0xc0});                        // OCR
    put(b, 4, {0x15, 0x01, 0x00, 'A', 'B', 'C', 'D', 'E', 'F', // CID
               0x10, 0x01, 0x02, 0x03, 0x04, 0x2b, 0xa5});
    for (int i = 0; i < 16; ++i)
        b[20 + i] = static_cast<uint8_t>(0xd0 + i);             // CSD
    const size_t e = 36;                                          // EXT_CSD
    b[e + 0] = 0xaa;
    put(b, e + 143, {0x00, 0x08, 0x00, 0x10, 0x00, 0x00});      // GPP1, GPP2 multipliers
    b[e + 221] = 1;
    b[e + 224] = 1;
    return b;
}

// 212 bytes for the first layout, 272 for the second (with device attributes).
Bytes ufsCard(bool v2)
{
    Bytes b(v2 ? 272 : 212);
    put(b, 3, {0x01, 0x00, 0x01, 0x7f});
    put(b, 9, {0x34, 0x12});
    put(b, 16, {0x01, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00, 0x00, 0x01, 0x0c});
    if (v2) {
        put(b, 144, {0x05, 0x01, 0x00, 0x00});
        b[144 + 8] = 1;
        b[144 + 32] = 1;
        put(b, 144 + 44, {0x04, 0x00});
        put(b, 144 + 48, {0xe8, 0x03, 0x00, 0x00});
    }
    const size_t g = v2 ? 204 : 144;
    put(b, g, {0x44, 0x07});
    put(b, g + 4, {0, 0, 0, 0, 0x01, 0, 0, 0}); // 16777216 sectors
    put(b, g + 13, {0, 0, 0x20, 0});           // segments of 8192 sectors
    put(b, g + 17, {1, 8});
    b[g + 23] = 0x40;
    put(b, g + 30, {0x80, 0x0f});
    put(b, g + 44, {0, 0, 0x10, 0});
    return b;
}

XolDeviceState storageBoard()
{
    XolDeviceState s = xolBoard();
    s.device(2, 0).cardInfo = emmcCard();
    s.device(3, 0).cardInfo = ufsCard(false);
    s.device(3, 1).cardInfo = ufsCard(true);
    s.device(3, 2).cardInfo = ufsCard(true);
    s.device(3, 2).reportedType = 0;
    // Asked for no particular type, the board reports its UFS device.
    s.device(0, 0).cardInfo = ufsCard(true);
    s.device(0, 0).reportedType = 3;
    // Answers that do not fit a record: longer than the program's buffer, shorter than a layout.
    s.device(2, 1).cardInfo = pattern(600);
    s.device(3, 3).cardInfo = pattern(100);
    return s;
}

std::string rawDump(const Bytes& b, size_t from, size_t count)
{
    std::string out;
    char cell[32];
    for (size_t i = 0; i < count; ++i) {
        if (i % 16 == 0) {
            std::snprintf(cell, sizeof cell, "%#010zx: ", i);
            out += cell;
        }
        std::snprintf(cell, sizeof cell, "%02x ", b[from + i]);
        out += cell;
        if ((i + 1) % 16 == 0 || i + 1 == count)
            out += "\n";
    }
    return out;
}

const std::string kSpiDump = "=== SPI device info ===\n"
                             "\n"
                             "bFlashCompNum: [2]\n"
                             "bFlashCompDensity[0]: [0x5]\n"
                             "bFlashCompDensity[1]: [0x6]\n"
                             "\n";

const std::string kEmmcDump = "--- EMMC device info ---\n"
                              "OCR: 0xc0ff8080\n"
                              "---- CID ----\n"
                              "Manufacture ID: 0x15\n"
                              // boost.format takes no precision for integers: "%#.2x" of
                              // 1 shows as 0x1, of 0 as 0.
                              "CardBGA: 0x1\n"
                              "OEM Application ID: 0\n"
                              "Product Name: 464544434241\n"
                              "Product Version: 0x10\n"
                              "Product SN: 04030201\n"
                              "Manufacture Date: 0x2b\n"
                              "CRC7 Checksum: 0x52\n"
                              "---- CSD----\n" +
                              rawDump(emmcCard(), 20, 16) +
                              "---- EXT CSD ----\n"
                              "GPP1 size:  1048576 kB\n"
                              "GPP2 size:  8192 kB\n"
                              "GPP3 size:  0 kB\n"
                              "GPP4 size:  0 kB\n"
                              "---- EXT CSD RAW ----\n" +
                              rawDump(emmcCard(), 36, 512) + "========\n";

std::string ufsDump(bool v2)
{
    std::string out = "=== UFS device info ===\n"
                      "\n"
                      "--- Descriptor ---\n"
                      "bBootEnable: [0x1]\n"
                      "bDescAccessEn: [0]\n"
                      "bInitPowerMode: [0x1]\n"
                      "bHighPriorityLUN: [0x7f]\n"
                      "bSecureRemovalType: [0]\n"
                      "bInitActiveICCLevel: [0]\n"
                      "wPeriodicRTCUpdate: [0x1234]\n"
                      "\n"
                      "--- LUN [0] ---\n"
                      "bLUEnable: [0x1]\n"
                      "bBootLunID: [0x1]\n"
                      "bLUWriteProtect: [0]\n"
                      "bMemoryType: [0x3]\n"
                      "dNumAllocUnits: [0x800]\n"
                      "bDataReliability: [0x1]\n"
                      "bLogicalBlockSize: [0xc]\n"
                      "bProvisioningType: [0]\n"
                      "wContextCapabilities: [0]\n"
                      "\n";
    for (int i = 1; i < 8; ++i)
        out += "--- LUN [" + std::to_string(i) + "] ---\n"
               "bLUEnable: [0]\n"
               "bBootLunID: [0]\n"
               "bLUWriteProtect: [0]\n"
               "bMemoryType: [0]\n"
               "dNumAllocUnits: [0]\n"
               "bDataReliability: [0]\n"
               "bLogicalBlockSize: [0]\n"
               "bProvisioningType: [0]\n"
               "wContextCapabilities: [0]\n"
               "\n";
    if (v2)
        out += "--- Attributes ---\n"
               "AttributesEnables: [0x105]\n"
               "bRefClkFreq: [0x1]\n"
               "bBootLunEn: [0x1]\n"
               "bCurrentPowerMode: [0]\n"
               "bActiveICCLevel: [0]\n"
               "bOutOfOrderDataEn: [0]\n"
               "bMaxDataInSize: [0]\n"
               "bMaxDataOutSize: [0]\n"
               "bConfigDescrLock: [0]\n"
               "bMaxNumOfRTT: [0]\n"
               "wExceptionEventControl: [0x4]\n"
               "dSecondsPassed: [1000]\n"
               "\n";
    return out + "--- Geometry Descriptor ---\n"
                 "bLength: [0x44]\n"
                 "bDescriptorType: [0x7]\n"
                 "bMediaTechnology: [0]\n"
                 "qTotalRawDeviceCapacity: [16777216]\n"
                 "dSegmentSize: [8192]\n"
                 "bAllocationUnitSize: [1]\n"
                 "bMinAddrBlockSize: [8]\n"
                 "bOptimalReadBlockSize: [0]\n"
                 "bOptimalWriteBlockSize: [0]\n"
                 "bMaxInBufferSize: [0]\n"
                 "bMaxOutBufferSize: [0]\n"
                 "bRPMBReadWriteSize: [64]\n"
                 "bDataOrdering: [0]\n"
                 "bMaxContextIDNumber: [0]\n"
                 "bSysDataTagUnitSize: [0]\n"
                 "bSysDataTagResSize: [0]\n"
                 "bSupportedSecRTypes: [0]\n"
                 "wSupportedMemoryTypes: [0x800f]\n"
                 "dSystemCodeMaxNAllocU: [0]\n"
                 "wSystemCodeCapAdjFac: [0]\n"
                 "dNonPersistMaxNAllocU: [0]\n"
                 "wNonPersistCapAdjFac: [0]\n"
                 "dEnhanced1MaxNAllocU: [0x1000]\n"
                 "wEnhanced1CapAdjFac: [0]\n"
                 "dEnhanced2MaxNAllocU: [0]\n"
                 "wEnhanced2CapAdjFac: [0]\n"
                 "dEnhanced3MaxNAllocU: [0]\n"
                 "wEnhanced3CapAdjFac: [0]\n"
                 "dEnhanced4MaxNAllocU: [0]\n"
                 "wEnhanced4CapAdjFac: [0]\n"
                 "\n";
}

// The program shows a dump after an empty line and ends it with one more line end.
std::string shown(const std::string& dump) { return "\n" + dump + "\n"; }

struct CardCase {
    const char* name;
    std::vector<std::string> options;
    std::string lines; // between the start line and the success line
    Bytes file;        // written to card.out; none when empty
};

void PrintTo(const CardCase& c, std::ostream* os) { *os << c.name; }

const std::string kSuccess = "GET CARD INFO procedure success\n";

const CardCase kCardCases[] = {
    {"SPI", {"--device", "1"}, "Device type: 0x1\nDevice index: 0\n" + shown(kSpiDump), {}},
    {"eMMC", {"--device", "2"}, "Device type: 0x2\nDevice index: 0\n" + shown(kEmmcDump), {}},
    {"UFS first layout", {"--device", "3"},
     "Device type: 0x3\nDevice index: 0\n" + shown(ufsDump(false)), {}},
    {"UFS second layout", {"--device", "3", "--idx", "1"},
     "Device type: 0x3\nDevice index: 0x1\n" + shown(ufsDump(true)), {}},
    {"UFS reported as type 0", {"--device", "3", "--idx", "2"},
     "Device type: 0x3\nDevice index: 0x2\n" + shown(ufsDump(true)), {}},
    {"type left to the device", {}, "Device index: 0\nDevice type: 3\n" + shown(ufsDump(true)), {}},
    {"eMMC answer longer than the buffer", {"--device", "2", "--idx", "1"},
     "Device type: 0x2\nDevice index: 0x1\n", {}},
    {"UFS answer shorter than either layout", {"--device", "3", "--idx", "3"},
     "Device type: 0x3\nDevice index: 0x3\n", {}},
    {"into a file, longer than any record", {"--device", "2", "--idx", "1", "--path", "card.out"},
     "Device type: 0x2\nDevice index: 0x1\n", pattern(600)},
    {"into a file, type left to the device", {"--path", "card.out"},
     "Device index: 0\nDevice type: 3\n", ufsCard(true)},
    {"into a file, eMMC", {"--path", "card.out", "--device", "2"},
     "Device type: 0x2\nDevice index: 0\n", emmcCard()},
    {"into a file, UFS first layout", {"--device", "3", "--path", "card.out"},
     "Device type: 0x3\nDevice index: 0\n", ufsCard(false)},
};

class CardInfoTest : public ::testing::TestWithParam<CardCase> {};

TEST_P(CardInfoTest, ShowsOrWritesTheCardInformation)
{
    const CardCase& c = GetParam();
    Bench bench;
    bench.plug(storageBoard());
    std::vector<std::string> args{"--command", "getcardinfo"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ProgramRun run = bench.run(args);
    EXPECT_EQ(run.out, banner("Starting GET CARD INFO procedure\n" + c.lines + kSuccess));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    if (!c.file.empty()) {
        EXPECT_EQ(fileBytes("card.out"), c.file);
    }
    EXPECT_EQ(refusals(bench.board()), "");
}

INSTANTIATE_TEST_SUITE_P(Storage, CardInfoTest, ::testing::ValuesIn(kCardCases), CaseName());

std::string configOutput(const std::string& type)
{
    return banner("Device serial: 101112131415161718191a1b1c1d1e1f\n"
                  "Starting CONFIG DEVICE procedure\n"
                  "Device type: " + type + "\n"
                  "Device index: 0\n"
                  "CONFIG DEVICE procedure success\n");
}

// The request the eMMC sample file describes: four partitions of 8 bytes (24-bit size, flags),
// the third disabled, then the user data area (flags, start, size).
Bytes emmcSampleRequest()
{
    Bytes expected(48);
    put(expected, 0, {64, 0, 0, 1});
    put(expected, 8, {16, 0, 0, 0});
    put(expected, 24, {8, 0, 0, 2});
    put(expected, 32, {1});
    put(expected, 40, {0x00, 0x00, 0x20, 0x00});
    return expected;
}

TEST(ConfigPart, EmmcSampleFile)
{
    Bench bench;
    bench.plug(storageBoard());
    const ProgramRun run = bench.run({"--command", "configpart", "--device", "2", "--path",
                                      sample("platform_emmc.xml"), "--sn", kBoardId});
    EXPECT_EQ(run.out, configOutput("0x2"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    const XolDeviceState after = bench.board();
    EXPECT_EQ(after.storage.at({2, 0}).lastConfigRequest, emmcSampleRequest());
    EXPECT_EQ(refusals(after), "");
}

// The UFS sample sizes its user data unit from the device's geometry: 2048 allocation units of
// 8192 sectors, less the 8 + 8 + 1024 given to the explicit units, leaves 1008 (big-endian).
TEST(ConfigPart, UfsSampleFile)
{
    Bench bench;
    bench.plug(storageBoard());
    const ProgramRun run = bench.run({"--command", "configpart", "--device", "3", "--path",
                                      sample("platform_ufs.xml"), "--sn", kBoardId});
    EXPECT_EQ(run.out, configOutput("0x3"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    const XolDeviceState after = bench.board();
    const auto& request = after.storage.at({3, 0}).lastConfigRequest;
    ASSERT_TRUE(request);
    ASSERT_EQ(request->size(), 212u);
    EXPECT_EQ(Bytes(request->begin(), request->begin() + 4), (Bytes{0x02, 0x26, 0, 0}))
        << "descriptor and attributes configured";
    const size_t unit3 = 24 + 3 * 16;
    EXPECT_EQ((*request)[unit3], 1) << "enabled";
    EXPECT_EQ(Bytes(request->begin() + unit3 + 4, request->begin() + unit3 + 8),
              (Bytes{0x00, 0x00, 0x03, 0xf0}));
    EXPECT_EQ(refusals(after), "");
}

#ifndef _WIN32
// A FIFO, as a shell hands over a generated file, gives its content once: the program has to
// read the file in one pass.
TEST(ConfigPart, FileFromAFifo)
{
    Bench bench;
    bench.plug(storageBoard());
    const std::string fifo = bench.dir.path("platform.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string xml = ScratchDir::read(sample("platform_emmc.xml"));
    // The file, then the FIFO once more with nothing in it, as a second reading finds it.
    std::thread writer([&] {
        for (int pass = 0; pass < 2; ++pass) {
            std::ofstream out(fifo, std::ios::binary);
            if (pass == 0)
                out << xml;
        }
    });
    const ProgramRun run = bench.run({"--command", "configpart", "--device", "2", "--path", fifo,
                                      "--sn", kBoardId});
    // Lets the writer's second pass through, as no second reading came.
    const int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    ::close(release);
    EXPECT_EQ(std::make_tuple(run.out, run.err, run.status),
              std::make_tuple(configOutput("0x2"), std::string(), 0));
    EXPECT_EQ(bench.board().storage.at({2, 0}).lastConfigRequest, emmcSampleRequest());
}
#endif

// A file the program refuses reaches no device: the board sees the identification alone.
TEST(ConfigPart, RefusedFileReachesNoDevice)
{
    std::string deep = "<config>\n<!x [ >\n";
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    struct Case {
        const char* what;
        std::string xml;
        const char* code;
        std::string text;
    };
    const Case cases[] = {
        {"GPP size of 2^24, once cut to 0",
         "<config><device type=\"emmc\" idx=\"0\"><partitions><gpp enabled=\"true\"><flags>"
         "<value>1</value></flags><size>16777216</size></gpp></partitions></device></config>",
         "0x30004", "Parse error: gpp/size value \"16777216\" does not fit in 24 bits"},
        {"nesting hidden after an unknown declaration", deep, "0x30000",
         "platform.xml(3): elements nested too deeply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bench bench;
        bench.plug(storageBoard());
        ScratchDir::write("platform.xml", c.xml);
        const ProgramRun run = bench.run({"--command", "configpart", "--device", "2", "--path",
                                          "platform.xml", "--sn", kBoardId});
        EXPECT_EQ(run.out, banner("Device serial: 101112131415161718191a1b1c1d1e1f\n"
                                  "Starting CONFIG DEVICE procedure\n"
                                  "Device type: 0x2\n"
                                  "Device index: 0\n"));
        EXPECT_EQ(run.err, failure("CONFIG DEVICE", c.code, c.text));
        EXPECT_EQ(run.status, 1);
        const XolDeviceState after = bench.board();
        EXPECT_EQ(after.commands.size(), 2u) << "identification only";
        EXPECT_FALSE(after.storage.at({2, 0}).lastConfigRequest);
    }
}

// Files hold exactly the device's bytes however many chunks they took.
TEST(ReadToFiles, BootMediaAndTokenOverManyChunks)
{
    Bench bench;
    XolDeviceState board = storageBoard();
    board.tokens[9] = pattern(40000, 9);
    bench.plug(board);
    struct Read {
        std::vector<std::string> args;
        std::string lines;
        Bytes content;
    };
    const Bytes& emmc = board.storage.at({2, 0}).media.at(0);
    const Bytes& spi = board.storage.at({1, 0}).media.at(0);
    const Read reads[] = {
        {{"readbootmedia", "--device", "2", "--idx", "0", "--start", "0", "--blocks", "16"},
         "Starting READ BOOT MEDIA procedure\nDevice type: 0x2\nDevice index: 0\n"
         "Start offset: 0\nBlocks to read: 0x10\nPartition index: 0\n"
         "READ BOOT MEDIA procedure success\n",
         emmc},
        {{"readbootmedia", "--device", "1", "--idx", "0", "--start", "1", "--blocks", "3"},
         "Starting READ BOOT MEDIA procedure\nDevice type: 0x1\nDevice index: 0\n"
         "Start offset: 0x1\nBlocks to read: 0x3\nPartition index: 0\n"
         "READ BOOT MEDIA procedure success\n",
         Bytes(spi.begin() + 512, spi.begin() + 4 * 512)},
        {{"readtoken", "--slot", "9"},
         "Starting READ TOKEN procedure\nSlot: 0x9\nREAD TOKEN procedure success\n",
         board.tokens.at(9)},
    };
    for (const Read& r : reads) {
        std::vector<std::string> args{"--command"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        args.insert(args.end(), {"--path", "read.out"});
        const ProgramRun run = bench.run(args);
        EXPECT_EQ(run.out, banner(r.lines));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fileBytes("read.out"), r.content) << r.args[0];
    }
    EXPECT_EQ(refusals(bench.board()), "");
}

} // namespace
