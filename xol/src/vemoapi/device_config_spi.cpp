#include "device_config_spi.h"

DeviceConfigSPI::~DeviceConfigSPI() = default;

void DeviceConfigSPI::setCurrentConfiguration(DeviceInfo const&) {}

void DeviceConfigSPI::generateConfigRequest(void*, size_t& length)
{
    length = 0;
}

std::ostream& operator<<(std::ostream& os, DeviceConfigSPI const&)
{
    return os;
}
