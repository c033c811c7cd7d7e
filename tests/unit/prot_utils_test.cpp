// Card-information records and their printers, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "xol_prot_utils.h"

namespace {

template <typename T>
std::string print(T const& record)
{
    std::ostringstream os;
    os << record;
    return os.str();
}

template <typename T>
T fromBytes(std::vector<std::pair<size_t, uint8_t>> const& bytes)
{
    T record;
    std::memset(&record, 0, sizeof record);
    auto* raw = reinterpret_cast<unsigned char*>(&record);
    for (auto const& b : bytes)
        raw[b.first] = b.second;
    return record;
}

std::string zeroRows(unsigned int first, unsigned int count)
{
    std::string rows;
    char offset[16];
    for (unsigned int r = first; r < first + count; ++r) {
        std::snprintf(offset, sizeof offset, r == 0 ? "0000000000: " : "0x%08x: ", r * 16);
        rows += offset;
        for (int i = 0; i < 16; ++i)
            rows += "00 ";
        rows += "\n";
    }
    return rows;
}

TEST(Bin2Ascii, HighestByteFirstWithoutSeparator)
{
    unsigned char bytes[] = {0x01, 0x02, 0x0a};
    std::ostringstream os;
    bin2ascii(os, bytes, 3);
    EXPECT_EQ(os.str(), "0A0201");

    std::ostringstream none;
    bin2ascii(none, bytes, 0);
    bin2ascii(none, bytes, -1);
    EXPECT_EQ(none.str(), "");
}

TEST(RawDump, RowsOf16WithOffsets)
{
    std::vector<unsigned char> data(17);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(0xf0 + i);
    std::ostringstream os;
    raw_dump(os, data.data(), data.size());
    EXPECT_EQ(os.str(),
        "0000000000: f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff \n"
        "0x00000010: 00 \n");

    std::ostringstream one;
    raw_dump(one, data.data(), 1);
    EXPECT_EQ(one.str(), "0000000000: f0 \n");

    std::ostringstream none;
    raw_dump(none, data.data(), 0);
    EXPECT_EQ(none.str(), "");
}

TEST(RawDump, ExtCsdSizeGives32Rows)
{
    std::vector<unsigned char> data(512, 0);
    std::ostringstream os;
    raw_dump(os, data.data(), data.size());
    EXPECT_EQ(os.str(), zeroRows(0, 32));
    EXPECT_NE(os.str().find("\n0x000001f0: 00 "), std::string::npos);
}

TEST(EmmcPrinter, WholeRecord)
{
    // CID: manufacturer 0x15, BGA 0x01, OEM 0x00, name bytes 7..12, revision, serial, date, CRC.
    auto info = fromBytes<_card_info_emmc_t>({{0, 0x80}, {1, 0x80}, {2, 0xff}, {3, 0xc0},
        {4, 0x15}, {5, 0x01}, {6, 0x00}, {7, 0x38}, {8, 0x47}, {9, 0x54}, {10, 0x4d},
        {11, 0x43}, {12, 0x41}, {13, 0x07}, {14, 0x11}, {15, 0x22}, {16, 0x33}, {17, 0x44},
        {18, 0x9a}, {19, 0xe5}, {20, 0xd0}, {35, 0x01}, {36 + 143, 0x00}, {36 + 144, 0x08},
        {36 + 221, 1}, {36 + 224, 1}});
    const std::string out = print(info);
    const std::string head = "--- EMMC device info ---\n"
                             "OCR: 0xc0ff8080\n"
                             "---- CID ----\n"
                             "Manufacture ID: 0x15\n"
                             "CardBGA: 0x1\n"
                             "OEM Application ID: 0\n"
                             "Product Name: 41434D544738\n"
                             "Product Version: 0x7\n"
                             "Product SN: 44332211\n"
                             "Manufacture Date: 0x9a\n"
                             "CRC7 Checksum: 0x72\n"
                             "---- CSD----\n"
                             "0000000000: d0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 \n"
                             "---- EXT CSD ----\n"
                             "GPP1 size:  1048576 kB\n"
                             "GPP2 size:  0 kB\n"
                             "GPP3 size:  0 kB\n"
                             "GPP4 size:  0 kB\n"
                             "---- EXT CSD RAW ----\n";
    ASSERT_EQ(out.substr(0, head.size()), head);
    const std::string tail = out.substr(head.size());
    // EXT_CSD rows 8 (bytes 128..143), 13 (208..223) and 14 (224..239) carry the set bytes.
    std::string rows = zeroRows(0, 8);
    rows += "0x00000080: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n";
    rows += "0x00000090: 08 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n";
    rows += zeroRows(10, 3);
    rows += "0x000000d0: 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 \n";
    rows += "0x000000e0: 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n";
    rows += zeroRows(15, 17);
    EXPECT_EQ(tail, rows + "========\n");
}

struct GppCase {
    unsigned int partition; // 0 to 3
    uint8_t mult[3];
    uint8_t wpGroup; // EXT_CSD[221]
    uint8_t eraseGroup; // EXT_CSD[224]
    uint32_t kb;
};

class GppSizeTest : public ::testing::TestWithParam<GppCase> {};

TEST_P(GppSizeTest, LineShowsMultiplierTimesGroupsTimes512)
{
    const GppCase c = GetParam();
    const size_t base = 36 + 143 + 3 * c.partition;
    auto info = fromBytes<_card_info_emmc_t>({{base, c.mult[0]}, {base + 1, c.mult[1]},
        {base + 2, c.mult[2]}, {36 + 221, c.wpGroup}, {36 + 224, c.eraseGroup}});
    const std::string line = "GPP" + std::to_string(c.partition + 1) + " size:  "
                             + std::to_string(c.kb) + " kB\n";
    EXPECT_NE(print(info).find(line), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Cases, GppSizeTest,
    ::testing::Values(GppCase{0, {0x00, 0x08, 0x00}, 1, 1, 1048576},
        GppCase{0, {0x00, 0x00, 0x00}, 4, 4, 0}, GppCase{1, {0x01, 0x00, 0x00}, 2, 3, 3072},
        GppCase{2, {0x00, 0x00, 0x01}, 1, 1, 33554432},
        // 0xffffff * 255 * 255 * 512 wraps modulo 2^32.
        GppCase{3, {0xff, 0xff, 0xff}, 0xff, 0xff, 0xFE03FE00U}));

const char* const kDescZero = "bBootEnable: [0]\n"
                              "bDescAccessEn: [0]\n"
                              "bInitPowerMode: [0]\n"
                              "bHighPriorityLUN: [0]\n"
                              "bSecureRemovalType: [0]\n"
                              "bInitActiveICCLevel: [0]\n"
                              "wPeriodicRTCUpdate: [0]";

std::string lunText(unsigned int enable)
{
    return "bLUEnable: [" + std::string(enable ? "0x1" : "0") + "]\n"
           "bBootLunID: [0]\n"
           "bLUWriteProtect: [0]\n"
           "bMemoryType: [0]\n"
           "dNumAllocUnits: [0]\n"
           "bDataReliability: [0]\n"
           "bLogicalBlockSize: [0]\n"
           "bProvisioningType: [0]\n"
           "wContextCapabilities: [0]";
}

TEST(UfsSubRecordPrinters, DescriptorSkipsHeaderAndLeavesLastLineOpen)
{
    auto desc = fromBytes<_ufs_dev_desc_cfg>({{0, 0xaa}, {1, 0xbb}, {2, 0xcc}, {3, 1}, {4, 2},
        {5, 3}, {6, 4}, {7, 5}, {8, 6}, {9, 0x34}, {10, 0x12}, {11, 0xee}});
    EXPECT_EQ(print(desc),
        "bBootEnable: [0x1]\n"
        "bDescAccessEn: [0x2]\n"
        "bInitPowerMode: [0x3]\n"
        "bHighPriorityLUN: [0x4]\n"
        "bSecureRemovalType: [0x5]\n"
        "bInitActiveICCLevel: [0x6]\n"
        "wPeriodicRTCUpdate: [0x1234]");
}

TEST(UfsSubRecordPrinters, UnitFieldsInHostOrder)
{
    auto lun = fromBytes<_ufs_lun_cfg>({{0, 1}, {1, 0xb0}, {2, 2}, {3, 3}, {4, 0x00}, {5, 0x08},
        {6, 0x00}, {7, 0x00}, {8, 4}, {9, 0x0c}, {10, 5}, {11, 0x01}, {12, 0x02}, {13, 0xff}});
    EXPECT_EQ(print(lun),
        "bLUEnable: [0x1]\n"
        "bBootLunID: [0xb0]\n"
        "bLUWriteProtect: [0x2]\n"
        "bMemoryType: [0x3]\n"
        "dNumAllocUnits: [0x800]\n"
        "bDataReliability: [0x4]\n"
        "bLogicalBlockSize: [0xc]\n"
        "bProvisioningType: [0x5]\n"
        "wContextCapabilities: [0x201]");
}

TEST(UfsSubRecordPrinters, AttributesRefClockSecondAndSecondsInDecimal)
{
    auto attr = fromBytes<_ufs_dev_attrib_cfg>({{0, 0x10}, {1, 0x0c}, {4, 0xee}, {8, 1},
        {12, 0x11}, {16, 2}, {20, 3}, {24, 4}, {28, 5}, {32, 6}, {36, 7}, {40, 8}, {44, 0x34},
        {45, 0x12}, {48, 0x00}, {49, 0x28}, {50, 0x6b}, {51, 0xee}});
    EXPECT_EQ(print(attr),
        "AttributesEnables: [0xc10]\n"
        "bRefClkFreq: [0x6]\n"
        "bBootLunEn: [0x1]\n"
        "bCurrentPowerMode: [0x11]\n"
        "bActiveICCLevel: [0x2]\n"
        "bOutOfOrderDataEn: [0x3]\n"
        "bMaxDataInSize: [0x4]\n"
        "bMaxDataOutSize: [0x5]\n"
        "bConfigDescrLock: [0x7]\n"
        "bMaxNumOfRTT: [0x8]\n"
        "wExceptionEventControl: [0x1234]\n"
        "dSecondsPassed: [4000000000]");
}

const char* const kGeoText = "bLength: [0x44]\n"
                             "bDescriptorType: [0x7]\n"
                             "bMediaTechnology: [0]\n"
                             "qTotalRawDeviceCapacity: [4294967306]\n"
                             "dSegmentSize: [524288]\n"
                             "bAllocationUnitSize: [8]\n"
                             "bMinAddrBlockSize: [8]\n"
                             "bOptimalReadBlockSize: [0]\n"
                             "bOptimalWriteBlockSize: [0]\n"
                             "bMaxInBufferSize: [8]\n"
                             "bMaxOutBufferSize: [8]\n"
                             "bRPMBReadWriteSize: [64]\n"
                             "bDataOrdering: [0x1]\n"
                             "bMaxContextIDNumber: [0x5]\n"
                             "bSysDataTagUnitSize: [10]\n"
                             "bSysDataTagResSize: [11]\n"
                             "bSupportedSecRTypes: [0xf]\n"
                             "wSupportedMemoryTypes: [0x8001]\n"
                             "dSystemCodeMaxNAllocU: [0x10203]\n"
                             "wSystemCodeCapAdjFac: [0x100]\n"
                             "dNonPersistMaxNAllocU: [0x2]\n"
                             "wNonPersistCapAdjFac: [0x3]\n"
                             "dEnhanced1MaxNAllocU: [0x4000000]\n"
                             "wEnhanced1CapAdjFac: [0x5]\n"
                             "dEnhanced2MaxNAllocU: [0x6]\n"
                             "wEnhanced2CapAdjFac: [0x7]\n"
                             "dEnhanced3MaxNAllocU: [0x8]\n"
                             "wEnhanced3CapAdjFac: [0x9]\n"
                             "dEnhanced4MaxNAllocU: [0xa]\n"
                             "wEnhanced4CapAdjFac: [0xbcd]";

// Geometry bytes for kGeoText, relative to the descriptor's start.
std::vector<std::pair<size_t, uint8_t>> geoBytes(size_t at)
{
    std::vector<std::pair<size_t, uint8_t>> g = {{0, 0x44}, {1, 0x07}, {3, 0xff}, {7, 0x01},
        {11, 0x0a}, {12, 0xee}, {13, 0x00}, {14, 0x08}, {15, 0x00}, {16, 0x00}, {17, 8}, {18, 8},
        {21, 8}, {22, 8}, {23, 64}, {24, 0xee}, {25, 1}, {26, 5}, {27, 10}, {28, 11}, {29, 0x0f},
        {30, 0x80}, {31, 0x01}, {33, 0x01}, {34, 0x02}, {35, 0x03}, {36, 0x01}, {41, 0x02},
        {43, 0x03}, {44, 0x04}, {49, 0x05}, {53, 0x06}, {55, 0x07}, {59, 0x08}, {61, 0x09},
        {65, 0x0a}, {66, 0x0b}, {67, 0xcd}};
    for (auto& b : g)
        b.first += at;
    return g;
}

TEST(UfsSubRecordPrinters, GeometryBigEndianFields)
{
    EXPECT_EQ(print(fromBytes<_ufs_geo_desc>(geoBytes(0))), kGeoText);
}

TEST(UfsCardInfoPrinters, V2HasEightUnitsAttributesAndGeometryAt204)
{
    auto bytes = geoBytes(204);
    bytes.push_back({16 + 16 * 7, 1}); // unit 7 enabled
    bytes.push_back({144 + 32, 0x01}); // bRefClkFreq
    const std::string out = print(fromBytes<_card_info_ufs_v2_t>(bytes));

    std::string expected = "=== UFS device info ===\n\n--- Descriptor ---\n";
    expected += kDescZero;
    expected += "\n\n";
    for (unsigned int i = 0; i < 8; ++i)
        expected += "--- LUN [" + std::to_string(i) + "] ---\n" + lunText(i == 7) + "\n\n";
    expected += "--- Attributes ---\n"
                "AttributesEnables: [0]\n"
                "bRefClkFreq: [0x1]\n"
                "bBootLunEn: [0]\n"
                "bCurrentPowerMode: [0]\n"
                "bActiveICCLevel: [0]\n"
                "bOutOfOrderDataEn: [0]\n"
                "bMaxDataInSize: [0]\n"
                "bMaxDataOutSize: [0]\n"
                "bConfigDescrLock: [0]\n"
                "bMaxNumOfRTT: [0]\n"
                "wExceptionEventControl: [0]\n"
                "dSecondsPassed: [0]\n\n";
    expected += "--- Geometry Descriptor ---\n" + std::string(kGeoText) + "\n\n";
    EXPECT_EQ(out, expected);
}

TEST(UfsCardInfoPrinters, ShortLayoutHasNoAttributesAndGeometryAt144)
{
    const std::string out = print(fromBytes<_card_info_ufs_t>(geoBytes(144)));
    std::string expected = "=== UFS device info ===\n\n--- Descriptor ---\n";
    expected += kDescZero;
    expected += "\n\n";
    for (unsigned int i = 0; i < 8; ++i)
        expected += "--- LUN [" + std::to_string(i) + "] ---\n" + lunText(0) + "\n\n";
    expected += "--- Geometry Descriptor ---\n" + std::string(kGeoText) + "\n\n";
    EXPECT_EQ(out, expected);
}

TEST(SpiPrinter, TwoDensityLines)
{
    auto info = fromBytes<_card_info_spi_t>({{0, 1}, {1, 0x15}});
    EXPECT_EQ(print(info),
        "=== SPI device info ===\n"
        "\n"
        "bFlashCompNum: [1]\n"
        "bFlashCompDensity[0]: [0x15]\n"
        "bFlashCompDensity[1]: [0]\n"
        "\n");
}

TEST(ByteOrderHelpers, StoreThenLoadAndWireBytes)
{
    const uint32_t field = be32Store(2048);
    unsigned char b[4];
    std::memcpy(b, &field, 4);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x00);
    EXPECT_EQ(b[2], 0x08);
    EXPECT_EQ(b[3], 0x00);
    EXPECT_EQ(be32Load(field), 2048U);
    EXPECT_EQ(be16Load(be16Store(0x1234)), 0x1234);
}

} // namespace
