#include "device_config_records.h"

#include <boost/format.hpp>

#include "little_endian.h"

std::ostream& operator<<(std::ostream& os, _gpp_cfg const& gpp)
{
    const uint32_t size = getLe(gpp.size, 3);
    os << boost::format("flags: [%#x]") % static_cast<unsigned int>(gpp.flags) << std::endl;
    os << boost::format("size: [%u]") % size;
    return os;
}

std::ostream& operator<<(std::ostream& os, _uda_cfg const& uda)
{
    os << boost::format("user_data_area_flags: [%#x]")
            % static_cast<unsigned int>(uda.user_data_area_flags)
       << std::endl;
    os << boost::format("enhanced_data_area_start: [%u]") % uint32_t{uda.enhanced_data_area_start}
       << std::endl;
    os << boost::format("enhanced_data_area_size: [%u]") % uint32_t{uda.enhanced_data_area_size};
    return os;
}

std::ostream& operator<<(std::ostream& os, _emmc_dev_cfg_param const& param)
{
    os << boost::format("--- EMMC ---") << std::endl;
    os << boost::format("UDA:") << std::endl;
    os << param.uda << std::endl;
    for (unsigned int i = 0; i < 4; ++i) {
        os << boost::format("GPP [%u]:") % i << std::endl;
        os << param.gpp[i] << std::endl;
    }
    return os;
}

std::ostream& operator<<(std::ostream& os, _ufs_dev_cfg_param const& param)
{
    os << boost::format("--- UFS ---") << std::endl;
    os << boost::format("ControlFlags: [%#x]") % uint32_t{param.ControlFlags} << std::endl;
    os << boost::format("Descriptor:") << std::endl;
    os << param.descriptor << std::endl;
    for (unsigned int i = 0; i < 8; ++i) {
        os << boost::format("LUN [%u]:") % i << std::endl;
        os << param.lun[i] << std::endl;
    }
    os << boost::format("Attributes:") << std::endl;
    os << param.attributes << std::endl;
    return os;
}
