// Request records of the Configure Device command: the partition layout asked of an eMMC or a
// UFS storage device. They go to the device as they are, reserved bytes included.
#ifndef XOL_DEVICE_CONFIG_RECORDS_H
#define XOL_DEVICE_CONFIG_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "xol_prot_utils.h"

#pragma pack(push, 1)

// One general-purpose partition; the size is 24 bits, least significant byte first.
struct _gpp_cfg {
    uint8_t size[3];
    uint8_t flags;
    uint8_t reserved[4];
};

// The user data area and its enhanced range; little-endian.
struct _uda_cfg {
    uint8_t user_data_area_flags;
    uint8_t reserved[3];
    uint32_t enhanced_data_area_start;
    uint32_t enhanced_data_area_size;
};

struct _emmc_dev_cfg_param {
    _gpp_cfg gpp[4];
    _uda_cfg uda;
    uint8_t reserved[4];
};

// ControlFlags byte 0 marks a configured descriptor, byte 1 configured attributes. The
// multi-byte fields of the UFS sub-records are big-endian, as in the UFS descriptors.
struct _ufs_dev_cfg_param {
    uint32_t ControlFlags;
    uint32_t reserved;
    _ufs_dev_desc_cfg descriptor;
    _ufs_lun_cfg lun[8];
    _ufs_dev_attrib_cfg attributes;
};

#pragma pack(pop)

static_assert(sizeof(_gpp_cfg) == 8, "eMMC partition request layout");
static_assert(sizeof(_uda_cfg) == 12, "eMMC user data area request layout");
static_assert(sizeof(_emmc_dev_cfg_param) == 48, "eMMC request layout");
static_assert(offsetof(_emmc_dev_cfg_param, uda) == 32, "eMMC request layout");
static_assert(sizeof(_ufs_dev_cfg_param) == 212, "UFS request layout");
static_assert(offsetof(_ufs_dev_cfg_param, lun) == 24, "UFS request layout");
static_assert(offsetof(_ufs_dev_cfg_param, attributes) == 152, "UFS request layout");

// Debug printers; the _gpp_cfg and _uda_cfg ones leave their last line open.
std::ostream& operator<<(std::ostream& os, _gpp_cfg const& gpp);
std::ostream& operator<<(std::ostream& os, _uda_cfg const& uda);
std::ostream& operator<<(std::ostream& os, _emmc_dev_cfg_param const& param);
std::ostream& operator<<(std::ostream& os, _ufs_dev_cfg_param const& param);

#endif
