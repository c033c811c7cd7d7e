// The parsed XML platform configuration file: the eMMC and UFS storage configurations it
// describes, by device index.
#ifndef XOL_PLATFORM_CONFIG_H
#define XOL_PLATFORM_CONFIG_H

#include <map>
#include <ostream>
#include <string>

#include "device_config_emmc.h"
#include "device_config_ufs.h"
#include "i_device_config.h"
#include "vemoapi.h"

class PlatformConfig {
public:
    PlatformConfig() = default;
    PlatformConfig(PlatformConfig&&) = default;
    PlatformConfig& operator=(PlatformConfig&&) = default;

    // Adds the file's device configurations; the first failure throws and keeps what was read.
    void parse(std::string const& path);

    // A missing index throws VEMO_ERROR_CONFIG_LOOKUP.
    DeviceConfigEMMC& getDeviceEMMC(unsigned int idx);
    DeviceConfigUFS& getDeviceUFS(unsigned int idx);
    IDeviceConfig& getDevice(_DEV_TYPE type, unsigned int idx);

    friend std::ostream& operator<<(std::ostream& os, PlatformConfig const& config);

private:
    std::map<unsigned int, DeviceConfigEMMC> mEmmcDevices;
    std::map<unsigned int, DeviceConfigUFS> mUfsDevices;
};

#endif
