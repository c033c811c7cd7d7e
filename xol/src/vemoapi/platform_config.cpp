#include "platform_config.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "config_values.h"
#include "exceptions.h"
#include "file_failure.h"
#include "status_codes.h"
#include "xml_nesting.h"

namespace {

// Far deeper than any configuration nests, far shallower than what would exhaust a stack.
constexpr unsigned int kMaxNesting = 64;

// Far larger than any configuration: eight units, a descriptor and attributes for each of
// several devices take a few kilobytes.
constexpr size_t kMaxFileSize = 1024 * 1024;

// The file is read once, so a pipe or a FIFO gives the reader what it held, and no further than
// the bound, so a path such as /dev/zero ends with a refusal rather than exhausted memory. A file
// past the bound is one that cannot be read, as a missing one.
std::string readFile(std::string const& path)
{
    if (path.empty())
        file_failure::noFileNamed("the platform configuration file");
    std::ifstream in(path);
    if (!in)
        throw boost::property_tree::xml_parser::xml_parser_error("cannot open file", path, 0);
    std::string text;
    char chunk[16384];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxFileSize)
            throw boost::property_tree::xml_parser::xml_parser_error(
                (boost::format("the platform configuration file is larger than %1% bytes")
                    % kMaxFileSize)
                    .str(),
                path, 0);
    }
    if (in.bad())
        throw boost::property_tree::xml_parser::xml_parser_error("read error", path, 0);
    return text;
}

template <typename Config>
Config& lookup(std::map<unsigned int, Config>& devices, unsigned int idx)
{
    auto it = devices.find(idx);
    if (it == devices.end())
        throw status::deviceConfigNotFound();
    return it->second;
}

} // namespace

void PlatformConfig::parse(std::string const& path)
{
    const std::string text = readFile(path);
    checkXmlNesting(text, path, kMaxNesting);
    boost::property_tree::ptree tree;
    std::istringstream in(text);
    try {
        boost::property_tree::read_xml(in, tree);
    } catch (boost::property_tree::xml_parser::xml_parser_error const& e) {
        // The reader read from memory; its errors name the file all the same.
        throw boost::property_tree::xml_parser::xml_parser_error(e.message(), path, e.line());
    }
    // An empty file reads as an empty tree; say which file lacks the root element.
    if (!tree.get_child_optional("config"))
        throw boost::property_tree::ptree_bad_path(
            path + ": No such node", boost::property_tree::ptree::path_type("config"));
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
