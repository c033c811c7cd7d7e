// Card-information records of the storage behind a device (eMMC, UFS, SPI flash), the UFS
// sub-records that configuration requests embed too, and their text printers.
#ifndef XOL_PROT_UTILS_H
#define XOL_PROT_UTILS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>

#pragma pack(push, 1)

// Device-level part of the UFS configuration descriptor.
struct _ufs_dev_desc_cfg {
    uint8_t header[3];
    uint8_t bBootEnable;
    uint8_t bDescAccessEn;
    uint8_t bInitPowerMode;
    uint8_t bHighPriorityLUN;
    uint8_t bSecureRemovalType;
    uint8_t bInitActiveICCLevel;
    uint16_t wPeriodicRTCUpdate;
    uint8_t reserved[5];
};

// One unit's part of the UFS configuration descriptor.
struct _ufs_lun_cfg {
    uint8_t bLUEnable;
    uint8_t bBootLunID;
    uint8_t bLUWriteProtect;
    uint8_t bMemoryType;
    uint32_t dNumAllocUnits;
    uint8_t bDataReliability;
    uint8_t bLogicalBlockSize;
    uint8_t bProvisioningType;
    uint16_t wContextCapabilities;
    uint8_t reserved[3];
};

// Device attributes, one 4-byte slot each. Bit n of AttributesEnables marks the attribute with
// UFS identifier n as valid.
struct _ufs_dev_attrib_cfg {
    uint32_t AttributesEnables;
    uint32_t reserved0;
    uint8_t bBootLunEn;
    uint8_t reserved1[3];
    uint8_t bCurrentPowerMode;
    uint8_t reserved2[3];
    uint8_t bActiveICCLevel;
    uint8_t reserved3[3];
    uint8_t bOutOfOrderDataEn;
    uint8_t reserved4[3];
    uint8_t bMaxDataInSize;
    uint8_t reserved5[3];
    uint8_t bMaxDataOutSize;
    uint8_t reserved6[3];
    uint8_t bRefClkFreq;
    uint8_t reserved7[3];
    uint8_t bConfigDescrLock;
    uint8_t reserved8[3];
    uint8_t bMaxNumOfRTT;
    uint8_t reserved9[3];
    uint16_t wExceptionEventControl;
    uint8_t reserved10[2];
    uint32_t dSecondsPassed;
    uint8_t reserved11[8];
};

// The UFS geometry descriptor as the device sends it: multi-byte fields are big-endian.
struct _ufs_geo_desc {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bMediaTechnology;
    uint8_t reserved0;
    uint64_t qTotalRawDeviceCapacity;
    uint8_t reserved1;
    uint32_t dSegmentSize;
    uint8_t bAllocationUnitSize;
    uint8_t bMinAddrBlockSize;
    uint8_t bOptimalReadBlockSize;
    uint8_t bOptimalWriteBlockSize;
    uint8_t bMaxInBufferSize;
    uint8_t bMaxOutBufferSize;
    uint8_t bRPMBReadWriteSize;
    uint8_t reserved2;
    uint8_t bDataOrdering;
    uint8_t bMaxContextIDNumber;
    uint8_t bSysDataTagUnitSize;
    uint8_t bSysDataTagResSize;
    uint8_t bSupportedSecRTypes;
    uint16_t wSupportedMemoryTypes;
    uint32_t dSystemCodeMaxNAllocU;
    uint16_t wSystemCodeCapAdjFac;
    uint32_t dNonPersistMaxNAllocU;
    uint16_t wNonPersistCapAdjFac;
    uint32_t dEnhanced1MaxNAllocU;
    uint16_t wEnhanced1CapAdjFac;
    uint32_t dEnhanced2MaxNAllocU;
    uint16_t wEnhanced2CapAdjFac;
    uint32_t dEnhanced3MaxNAllocU;
    uint16_t wEnhanced3CapAdjFac;
    uint32_t dEnhanced4MaxNAllocU;
    uint16_t wEnhanced4CapAdjFac;
};

// eMMC registers; EXT_CSD byte n lies at offset 36 + n of the record.
struct _card_info_emmc_t {
    uint32_t OCR;
    uint8_t CID[16];
    uint8_t CSD[16];
    uint8_t EXT_CSD[512];
};

struct _card_info_ufs_t {
    _ufs_dev_desc_cfg descriptor;
    _ufs_lun_cfg lun[8];
    _ufs_geo_desc geometry;
};

// The longer of the two UFS answers; a reader tells them apart by the answer's length.
struct _card_info_ufs_v2_t {
    _ufs_dev_desc_cfg descriptor;
    _ufs_lun_cfg lun[8];
    _ufs_dev_attrib_cfg attributes;
    _ufs_geo_desc geometry;
};

struct _card_info_spi_t {
    uint8_t bFlashCompNum;
    uint8_t bFlashCompDensity[2];
};

#pragma pack(pop)

static_assert(sizeof(_ufs_dev_desc_cfg) == 16, "UFS descriptor record layout");
static_assert(sizeof(_ufs_lun_cfg) == 16, "UFS unit record layout");
static_assert(sizeof(_ufs_dev_attrib_cfg) == 60, "UFS attribute record layout");
static_assert(offsetof(_ufs_dev_attrib_cfg, bRefClkFreq) == 32, "UFS attribute record layout");
static_assert(offsetof(_ufs_dev_attrib_cfg, dSecondsPassed) == 48, "UFS attribute record layout");
static_assert(sizeof(_ufs_geo_desc) == 68, "UFS geometry record layout");
static_assert(offsetof(_ufs_geo_desc, dSegmentSize) == 13, "UFS geometry record layout");
static_assert(offsetof(_ufs_geo_desc, wSupportedMemoryTypes) == 30, "UFS geometry record layout");
static_assert(sizeof(_card_info_emmc_t) == 548, "eMMC card information layout");
static_assert(sizeof(_card_info_ufs_t) == 212, "UFS card information layout");
static_assert(offsetof(_card_info_ufs_t, geometry) == 144, "UFS card information layout");
static_assert(sizeof(_card_info_ufs_v2_t) == 272, "UFS card information layout");
static_assert(offsetof(_card_info_ufs_v2_t, geometry) == 204, "UFS card information layout");
static_assert(sizeof(_card_info_spi_t) == 3, "SPI card information layout");

// Big-endian fields kept in host integers: the *Load functions give the value of a field whose
// bytes are big-endian, the *Store functions the field content that holds a value big-endian.
inline uint16_t be16Load(uint16_t field)
{
    unsigned char b[2];
    std::memcpy(b, &field, sizeof b);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

inline uint32_t be32Load(uint32_t field)
{
    unsigned char b[4];
    std::memcpy(b, &field, sizeof b);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

inline uint64_t be64Load(uint64_t field)
{
    unsigned char b[8];
    std::memcpy(b, &field, sizeof b);
    uint64_t value = 0;
    for (unsigned char byte : b)
        value = (value << 8) | byte;
    return value;
}

inline uint16_t be16Store(uint16_t value)
{
    const unsigned char b[2] = {static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value)};
    uint16_t field;
    std::memcpy(&field, b, sizeof field);
    return field;
}

inline uint32_t be32Store(uint32_t value)
{
    const unsigned char b[4] = {static_cast<unsigned char>(value >> 24),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value)};
    uint32_t field;
    std::memcpy(&field, b, sizeof field);
    return field;
}

#ifdef _WIN32
typedef unsigned int raw_dump_len_t;
#else
typedef unsigned long raw_dump_len_t;
#endif

// The bytes from buf[len - 1] down to buf[0], two upper-case hex digits each, no separator.
void bin2ascii(std::ostream& os, unsigned char* buf, int len);
// Rows of 16 bytes in lower-case hex, each row led by its offset and ended by a line end.
void raw_dump(std::ostream& os, unsigned char const* data, raw_dump_len_t len);

// The card-information printers write complete lines; the sub-record printers leave their last
// line open for the caller to end.
std::ostream& operator<<(std::ostream& os, _card_info_emmc_t const& info);
std::ostream& operator<<(std::ostream& os, _card_info_ufs_v2_t const& info);
std::ostream& operator<<(std::ostream& os, _card_info_ufs_t const& info);
std::ostream& operator<<(std::ostream& os, _card_info_spi_t const& info);
std::ostream& operator<<(std::ostream& os, _ufs_dev_desc_cfg const& desc);
std::ostream& operator<<(std::ostream& os, _ufs_lun_cfg const& lun);
std::ostream& operator<<(std::ostream& os, _ufs_dev_attrib_cfg const& attrib);
std::ostream& operator<<(std::ostream& os, _ufs_geo_desc const& geo);

#endif
