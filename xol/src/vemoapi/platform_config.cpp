#include "platform_config.h"

#include <stdexcept>

#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "config_values.h"
#include "exceptions.h"
#include "xml_nesting.h"

namespace {

// Far deeper than any configuration nests, far shallower than what would exhaust a stack.
constexpr unsigned int kMaxNesting = 64;

template <typename Config>
Config& lookup(std::map<unsigned int, Config>& devices, unsigned int idx)
{
    auto it = devices.find(idx);
    if (it == devices.end())
        throw VemoException(0x30004, "Device configuration not found");
    return it->second;
}

} // namespace

void PlatformConfig::parse(std::string const& path)
{
    checkXmlNesting(path, kMaxNesting);
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(path, tree);
    for (auto const& child : tree.get_child("config")) {
        if (child.first != "device")
            continue;
        const std::string type = child.second.get<std::string>("<xmlattr>.type");
        // The index is read before the type is judged.
        const unsigned int idx = config_values::decimal(child.second, "<xmlattr>.idx");
        if (type == "emmc")
            mEmmcDevices[idx].parse(child.second);
        else if (type == "ufs")
            mUfsDevices[idx].parse(child.second);
        else
            throw std::invalid_argument("Unknown device type");
    }
}

DeviceConfigEMMC& PlatformConfig::getDeviceEMMC(unsigned int idx)
{
    return lookup(mEmmcDevices, idx);
}

DeviceConfigUFS& PlatformConfig::getDeviceUFS(unsigned int idx)
{
    return lookup(mUfsDevices, idx);
}

IDeviceConfig& PlatformConfig::getDevice(_DEV_TYPE type, unsigned int idx)
{
    switch (type) {
    case DEV_TYPE_EMMC:
        return getDeviceEMMC(idx);
    case DEV_TYPE_UFS:
        return getDeviceUFS(idx);
    default:
        throw std::invalid_argument(
            (boost::format("Unsupported device type: %#x") % static_cast<unsigned int>(type))
                .str());
    }
}

std::ostream& operator<<(std::ostream& os, PlatformConfig const& config)
{
    for (auto const& entry : config.mEmmcDevices)
        os << entry.second;
    for (auto const& entry : config.mUfsDevices)
        os << entry.second;
    return os;
}
