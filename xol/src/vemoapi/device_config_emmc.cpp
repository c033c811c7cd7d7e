#include "device_config_emmc.h"

#include <cstring>
#include <stdexcept>

#include <boost/property_tree/ptree.hpp>

#include "config_values.h"
#include "exceptions.h"
#include "status_codes.h"

using boost::property_tree::ptree;

DeviceConfigEMMC::DeviceConfigEMMC() : mpCfgParam(new _emmc_dev_cfg_param()) {}

DeviceConfigEMMC::DeviceConfigEMMC(DeviceConfigEMMC const& other)
    : IDeviceConfig(other),
      mpCfgParam(other.mpCfgParam ? new _emmc_dev_cfg_param(*other.mpCfgParam) : nullptr)
{
}

DeviceConfigEMMC::DeviceConfigEMMC(DeviceConfigEMMC&& other) noexcept
    : IDeviceConfig(other), mpCfgParam(std::move(other.mpCfgParam))
{
}

DeviceConfigEMMC& DeviceConfigEMMC::operator=(DeviceConfigEMMC const& other)
{
    if (this != &other)
        *this = DeviceConfigEMMC(other);
    return *this;
}

DeviceConfigEMMC& DeviceConfigEMMC::operator=(DeviceConfigEMMC&& other) noexcept
{
    mpCfgParam = std::move(other.mpCfgParam);
    return *this;
}

DeviceConfigEMMC::~DeviceConfigEMMC() = default;

_emmc_dev_cfg_param& DeviceConfigEMMC::record() const
{
    if (!mpCfgParam)
        throw std::logic_error("eMMC configuration was moved away");
    return *mpCfgParam;
}

_emmc_dev_cfg_param const& DeviceConfigEMMC::request() const
{
    return record();
}

void DeviceConfigEMMC::setCurrentConfiguration(DeviceInfo const&) {}

void DeviceConfigEMMC::generateConfigRequest(void* buffer, size_t& length)
{
    _emmc_dev_cfg_param const& param = record();
    if (length < sizeof param || buffer == nullptr)
        throw status::requestBufferTooSmall();
    std::memcpy(buffer, &param, sizeof param);
    length = sizeof param;
}

void DeviceConfigEMMC::parse(ptree const& device)
{
    _emmc_dev_cfg_param& param = record();
    unsigned int n = 0;
    for (auto const& child : device.get_child("partitions")) {
        if (child.first == "gpp") {
            if (n >= 4)
                throw status::gppIndexOutOfRange();
            // A disabled partition keeps its place: the next one is still the following entry.
            if (config_values::flag(child.second, "<xmlattr>.enabled"))
                parseGPP(param.gpp[n], child.second);
            ++n;
        } else if (child.first == "uda") {
            parseUDA(param.uda, child.second);
        }
    }
}

void DeviceConfigEMMC::parseGPP(_gpp_cfg& entry, ptree const& gpp)
{
    entry.flags = static_cast<uint8_t>(config_values::decimal(gpp, "gpp", "flags.value", 8));
    const uint32_t size = config_values::decimal(gpp, "gpp", "size", 24);
    entry.size[0] = static_cast<uint8_t>(size);
    entry.size[1] = static_cast<uint8_t>(size >> 8);
    entry.size[2] = static_cast<uint8_t>(size >> 16);
}

void DeviceConfigEMMC::parseUDA(_uda_cfg& entry, ptree const& uda)
{
    entry.user_data_area_flags =
        static_cast<uint8_t>(config_values::decimal(uda, "uda", "flags.value", 8));
    entry.enhanced_data_area_start = config_values::decimal(uda, "uda", "base", 32);
    entry.enhanced_data_area_size = config_values::decimal(uda, "uda", "size", 32);
}

std::ostream& operator<<(std::ostream& os, DeviceConfigEMMC const& config)
{
    return os << config.request();
}
