// The storage configuration of one device as the Configure Device job uses it: told the device's
// current card information, it produces the request the device receives.
#ifndef XOL_I_DEVICE_CONFIG_H
#define XOL_I_DEVICE_CONFIG_H

#include <cstddef>
#include <ostream>

class DeviceInfo;

class IDeviceConfig {
public:
    virtual ~IDeviceConfig() = default;
    virtual void setCurrentConfiguration(DeviceInfo const& info) = 0;
    // length: the buffer's capacity on entry, the request's size on return.
    virtual void generateConfigRequest(void* buffer, size_t& length) = 0;

protected:
    IDeviceConfig() = default;
    IDeviceConfig(IDeviceConfig const&) = default;
    IDeviceConfig& operator=(IDeviceConfig const&) = default;
};

// Prints an eMMC or UFS configuration's request; any other kind throws std::bad_cast.
std::ostream& operator<<(std::ostream& os, IDeviceConfig const& config);

#endif
