#include "i_device_config.h"

#include <typeinfo>

#include "device_config_emmc.h"
#include "device_config_ufs.h"

std::ostream& operator<<(std::ostream& os, IDeviceConfig const& config)
{
    if (auto const* emmc = dynamic_cast<DeviceConfigEMMC const*>(&config))
        return os << *emmc;
    if (auto const* ufs = dynamic_cast<DeviceConfigUFS const*>(&config))
        return os << *ufs;
    throw std::bad_cast();
}
