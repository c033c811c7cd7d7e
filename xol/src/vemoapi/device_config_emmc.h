// The eMMC partition layout that the platform configuration file asks for one device: four
// general-purpose partitions and the user data area's enhanced range.
#ifndef XOL_DEVICE_CONFIG_EMMC_H
#define XOL_DEVICE_CONFIG_EMMC_H

#include <memory>
#include <ostream>

#include <boost/property_tree/ptree_fwd.hpp>

#include "device_config_records.h"
#include "i_device_config.h"

class DeviceConfigEMMC : public IDeviceConfig {
public:
    DeviceConfigEMMC();
    DeviceConfigEMMC(DeviceConfigEMMC const& other);
    // Leaves `other` without a request record.
    DeviceConfigEMMC(DeviceConfigEMMC&& other) noexcept;
    DeviceConfigEMMC& operator=(DeviceConfigEMMC const& other);
    DeviceConfigEMMC& operator=(DeviceConfigEMMC&& other) noexcept;
    ~DeviceConfigEMMC() override;

    // The request does not depend on the card information.
    void setCurrentConfiguration(DeviceInfo const& info) override;
    void generateConfigRequest(void* buffer, size_t& length) override;

    // Reads one "device" element of type "emmc" into the request record.
    void parse(boost::property_tree::ptree const& device);

    _emmc_dev_cfg_param const& request() const;

private:
    _emmc_dev_cfg_param& record() const;
    static void parseGPP(_gpp_cfg& entry, boost::property_tree::ptree const& gpp);
    static void parseUDA(_uda_cfg& entry, boost::property_tree::ptree const& uda);

    std::unique_ptr<_emmc_dev_cfg_param> mpCfgParam;
};

std::ostream& operator<<(std::ostream& os, DeviceConfigEMMC const& config);

#endif
