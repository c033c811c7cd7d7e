// The storage configuration of an SPI flash device: it has nothing to configure, so its request
// is empty.
#ifndef XOL_DEVICE_CONFIG_SPI_H
#define XOL_DEVICE_CONFIG_SPI_H

#include <ostream>

#include "i_device_config.h"

class DeviceConfigSPI : public IDeviceConfig {
public:
    DeviceConfigSPI() = default;
    DeviceConfigSPI(DeviceConfigSPI const& other) = default;
    DeviceConfigSPI& operator=(DeviceConfigSPI const& other) = default;
    ~DeviceConfigSPI() override;

    void setCurrentConfiguration(DeviceInfo const& info) override;
    void generateConfigRequest(void* buffer, size_t& length) override;
};

// Prints nothing.
std::ostream& operator<<(std::ostream& os, DeviceConfigSPI const& config);

#endif
