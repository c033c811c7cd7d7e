// Kept free of library internals: the command-line program compiles this file on its own.
#include "xol_prot_utils.h"

#include <boost/format.hpp>

#include "little_endian.h"

namespace {

// Values reach boost.format as unsigned integers, never as characters.
unsigned int widen(uint8_t v)
{
    return v;
}

unsigned int widen(uint16_t v)
{
    return v;
}

// Writes one field per line and leaves the last line open.
class FieldLines {
public:
    explicit FieldLines(std::ostream& os) : os(os) {}

    template <typename T>
    FieldLines& operator()(const char* format, T value)
    {
        if (!first)
            os << std::endl;
        first = false;
        os << boost::format(format) % value;
        return *this;
    }

private:
    std::ostream& os;
    bool first = true;
};

void line(std::ostream& os, const char* text)
{
    os << boost::format(text) << std::endl;
}

template <typename Sub>
void section(std::ostream& os, const char* title, Sub const& sub)
{
    line(os, title);
    os << sub << std::endl << std::endl;
}

template <typename UfsInfo>
void ufsHeadAndUnits(std::ostream& os, UfsInfo const& info)
{
    line(os, "=== UFS device info ===");
    os << std::endl;
    section(os, "--- Descriptor ---", info.descriptor);
    for (unsigned int i = 0; i < 8; ++i) {
        os << boost::format("--- LUN [%u] ---") % i << std::endl;
        os << info.lun[i] << std::endl << std::endl;
    }
}

// Size in kB of general-purpose partition n (0 to 3) by the eMMC rule; wraps like the 32-bit
// arithmetic the figure has always been shown with.
uint32_t gppSizeKb(uint8_t const* extCsd, unsigned int n)
{
    const uint32_t m = getLe(extCsd + 143 + 3 * n, 3);
    return m * uint32_t{extCsd[221]} * uint32_t{extCsd[224]} * 512U;
}

} // namespace

void bin2ascii(std::ostream& os, unsigned char* buf, int len)
{
    for (int i = len - 1; i >= 0; --i)
        os << boost::format("%02X") % widen(buf[i]);
}

void raw_dump(std::ostream& os, unsigned char const* data, raw_dump_len_t len)
{
    for (raw_dump_len_t i = 0; i < len; ++i) {
        if (i % 16 == 0)
            os << boost::format("%#010x: ") % i;
        os << boost::format("%02x ") % widen(data[i]);
        if (i + 1 == len || (i + 1) % 16 == 0)
            os << std::endl;
    }
}

std::ostream& operator<<(std::ostream& os, _ufs_dev_desc_cfg const& desc)
{
    FieldLines lines(os);
    lines("bBootEnable: [%#x]", widen(desc.bBootEnable))(
        "bDescAccessEn: [%#x]", widen(desc.bDescAccessEn))(
        "bInitPowerMode: [%#x]", widen(desc.bInitPowerMode))(
        "bHighPriorityLUN: [%#x]", widen(desc.bHighPriorityLUN))(
        "bSecureRemovalType: [%#x]", widen(desc.bSecureRemovalType))(
        "bInitActiveICCLevel: [%#x]", widen(desc.bInitActiveICCLevel))(
        "wPeriodicRTCUpdate: [%#x]", widen(desc.wPeriodicRTCUpdate));
    return os;
}

std::ostream& operator<<(std::ostream& os, _ufs_lun_cfg const& lun)
{
    FieldLines lines(os);
    lines("bLUEnable: [%#x]", widen(lun.bLUEnable))(
        "bBootLunID: [%#x]", widen(lun.bBootLunID))(
        "bLUWriteProtect: [%#x]", widen(lun.bLUWriteProtect))(
        "bMemoryType: [%#x]", widen(lun.bMemoryType))(
        "dNumAllocUnits: [%#x]", uint32_t{lun.dNumAllocUnits})(
        "bDataReliability: [%#x]", widen(lun.bDataReliability))(
        "bLogicalBlockSize: [%#x]", widen(lun.bLogicalBlockSize))(
        "bProvisioningType: [%#x]", widen(lun.bProvisioningType))(
        "wContextCapabilities: [%#x]", widen(lun.wContextCapabilities));
    return os;
}

std::ostream& operator<<(std::ostream& os, _ufs_dev_attrib_cfg const& attrib)
{
    FieldLines lines(os);
    lines("AttributesEnables: [%#x]", uint32_t{attrib.AttributesEnables})(
        "bRefClkFreq: [%#x]", widen(attrib.bRefClkFreq))(
        "bBootLunEn: [%#x]", widen(attrib.bBootLunEn))(
        "bCurrentPowerMode: [%#x]", widen(attrib.bCurrentPowerMode))(
        "bActiveICCLevel: [%#x]", widen(attrib.bActiveICCLevel))(
        "bOutOfOrderDataEn: [%#x]", widen(attrib.bOutOfOrderDataEn))(
        "bMaxDataInSize: [%#x]", widen(attrib.bMaxDataInSize))(
        "bMaxDataOutSize: [%#x]", widen(attrib.bMaxDataOutSize))(
        "bConfigDescrLock: [%#x]", widen(attrib.bConfigDescrLock))(
        "bMaxNumOfRTT: [%#x]", widen(attrib.bMaxNumOfRTT))(
        "wExceptionEventControl: [%#x]", widen(attrib.wExceptionEventControl))(
        "dSecondsPassed: [%u]", uint32_t{attrib.dSecondsPassed});
    return os;
}

std::ostream& operator<<(std::ostream& os, _ufs_geo_desc const& geo)
{
    FieldLines lines(os);
    lines("bLength: [%#x]", widen(geo.bLength))(
        "bDescriptorType: [%#x]", widen(geo.bDescriptorType))(
        "bMediaTechnology: [%#x]", widen(geo.bMediaTechnology))(
        "qTotalRawDeviceCapacity: [%u]", be64Load(geo.qTotalRawDeviceCapacity))(
        "dSegmentSize: [%u]", be32Load(geo.dSegmentSize))(
        "bAllocationUnitSize: [%u]", widen(geo.bAllocationUnitSize))(
        "bMinAddrBlockSize: [%u]", widen(geo.bMinAddrBlockSize))(
        "bOptimalReadBlockSize: [%u]", widen(geo.bOptimalReadBlockSize))(
        "bOptimalWriteBlockSize: [%u]", widen(geo.bOptimalWriteBlockSize))(
        "bMaxInBufferSize: [%u]", widen(geo.bMaxInBufferSize))(
        "bMaxOutBufferSize: [%u]", widen(geo.bMaxOutBufferSize))(
        "bRPMBReadWriteSize: [%u]", widen(geo.bRPMBReadWriteSize))(
        "bDataOrdering: [%#x]", widen(geo.bDataOrdering))(
        "bMaxContextIDNumber: [%#x]", widen(geo.bMaxContextIDNumber))(
        "bSysDataTagUnitSize: [%u]", widen(geo.bSysDataTagUnitSize))(
        "bSysDataTagResSize: [%u]", widen(geo.bSysDataTagResSize))(
        "bSupportedSecRTypes: [%#x]", widen(geo.bSupportedSecRTypes))(
        "wSupportedMemoryTypes: [%#x]", widen(be16Load(geo.wSupportedMemoryTypes)))(
        "dSystemCodeMaxNAllocU: [%#x]", be32Load(geo.dSystemCodeMaxNAllocU))(
        "wSystemCodeCapAdjFac: [%#x]", widen(be16Load(geo.wSystemCodeCapAdjFac)))(
        "dNonPersistMaxNAllocU: [%#x]", be32Load(geo.dNonPersistMaxNAllocU))(
        "wNonPersistCapAdjFac: [%#x]", widen(be16Load(geo.wNonPersistCapAdjFac)))(
        "dEnhanced1MaxNAllocU: [%#x]", be32Load(geo.dEnhanced1MaxNAllocU))(
        "wEnhanced1CapAdjFac: [%#x]", widen(be16Load(geo.wEnhanced1CapAdjFac)))(
        "dEnhanced2MaxNAllocU: [%#x]", be32Load(geo.dEnhanced2MaxNAllocU))(
        "wEnhanced2CapAdjFac: [%#x]", widen(be16Load(geo.wEnhanced2CapAdjFac)))(
        "dEnhanced3MaxNAllocU: [%#x]", be32Load(geo.dEnhanced3MaxNAllocU))(
        "wEnhanced3CapAdjFac: [%#x]", widen(be16Load(geo.wEnhanced3CapAdjFac)))(
        "dEnhanced4MaxNAllocU: [%#x]", be32Load(geo.dEnhanced4MaxNAllocU))(
        "wEnhanced4CapAdjFac: [%#x]", widen(be16Load(geo.wEnhanced4CapAdjFac)));
    return os;
}

std::ostream& operator<<(std::ostream& os, _card_info_ufs_v2_t const& info)
{
    ufsHeadAndUnits(os, info);
    section(os, "--- Attributes ---", info.attributes);
    section(os, "--- Geometry Descriptor ---", info.geometry);
    return os;
}

std::ostream& operator<<(std::ostream& os, _card_info_ufs_t const& info)
{
    ufsHeadAndUnits(os, info);
    section(os, "--- Geometry Descriptor ---", info.geometry);
    return os;
}

std::ostream& operator<<(std::ostream& os, _card_info_spi_t const& info)
{
    line(os, "=== SPI device info ===");
    os << std::endl;
    os << boost::format("bFlashCompNum: [%u]") % widen(info.bFlashCompNum) << std::endl;
    for (unsigned int i = 0; i < 2; ++i)
        os << boost::format("bFlashCompDensity[%u]: [%#x]") % i % widen(info.bFlashCompDensity[i])
           << std::endl;
    os << std::endl;
    return os;
}

std::ostream& operator<<(std::ostream& os, _card_info_emmc_t const& info)
{
    const uint8_t* cid = info.CID;
    line(os, "--- EMMC device info ---");
    os << boost::format("OCR: %#010x") % uint32_t{info.OCR} << std::endl;
    line(os, "---- CID ----");
    os << boost::format("Manufacture ID: %#.2x") % widen(cid[0]) << std::endl;
    os << boost::format("CardBGA: %#.2x") % widen(cid[1]) << std::endl;
    os << boost::format("OEM Application ID: %#.2x") % widen(cid[2]) << std::endl;

    unsigned char name[6];
    std::memcpy(name, cid + 3, sizeof name);
    os << boost::format("Product Name: ");
    bin2ascii(os, name, sizeof name);
    os << std::endl;

    os << boost::format("Product Version: %#.2x") % widen(cid[9]) << std::endl;

    unsigned char serial[4];
    std::memcpy(serial, cid + 10, sizeof serial);
    os << boost::format("Product SN: ");
    bin2ascii(os, serial, sizeof serial);
    os << std::endl;

    os << boost::format("Manufacture Date: %#.2x") % widen(cid[14]) << std::endl;
    os << boost::format("CRC7 Checksum: %#.2x") % widen(static_cast<uint8_t>(cid[15] >> 1))
       << std::endl;

    line(os, "---- CSD----");
    raw_dump(os, info.CSD, sizeof info.CSD);

    line(os, "---- EXT CSD ----");
    static const char* const gppLines[4] = {"GPP1 size:  %u kB", "GPP2 size:  %u kB",
        "GPP3 size:  %u kB", "GPP4 size:  %u kB"};
    for (unsigned int n = 0; n < 4; ++n)
        os << boost::format(gppLines[n]) % gppSizeKb(info.EXT_CSD, n) << std::endl;

    line(os, "---- EXT CSD RAW ----");
    raw_dump(os, info.EXT_CSD, sizeof info.EXT_CSD);
    line(os, "========");
    return os;
}
