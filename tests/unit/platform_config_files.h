// Helpers of the storage configuration tests: configuration files written into a scratch folder,
// a unit element with chosen children, and the status an interface operation would report.
#ifndef XOL_TEST_PLATFORM_CONFIG_FILES_H
#define XOL_TEST_PLATFORM_CONFIG_FILES_H

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "exceptions.h"
#include "platform_config.h"
#include "scratch_dir.h"

namespace config_test {

const char kOmit[] = "\x01omit";

// A "lun" element with every required child; `values` replaces children's texts, and kOmit
// leaves a child out.
inline std::string lunXml(std::string const& idx, std::map<std::string, std::string> values = {})
{
    static const char* const order[] = {"enable", "boot-lun-id", "write-protect", "mem-type",
        "alloc-units", "data-reliability", "logical-block-size", "provisioning-type", "ctx-caps"};
    std::map<std::string, std::string> text = {{"enable", "true"}, {"boot-lun-id", "0"},
        {"write-protect", "0"}, {"mem-type", "0"}, {"alloc-units", "auto"},
        {"data-reliability", "0"}, {"logical-block-size", "12"}, {"provisioning-type", "0"},
        {"ctx-caps", "0"}};
    for (auto const& v : values)
        text[v.first] = v.second;
    std::string xml = "<lun idx=\"" + idx + "\">";
    for (const char* name : order) {
        if (text[name] != kOmit)
            xml += std::string("<") + name + ">" + text[name] + "</" + name + ">";
    }
    return xml + "</lun>";
}

inline std::string gppXml(std::string const& flags, std::string const& size)
{
    return "<gpp enabled=\"true\"><flags><value>" + flags + "</value></flags><size>" + size
           + "</size></gpp>";
}

inline std::string configXml(std::string const& devices)
{
    return "<?xml version=\"1.0\"?>\n<config>\n" + devices + "\n</config>\n";
}

inline std::string emmcXml(std::string const& partitions, std::string const& idx = "0")
{
    return "<device type=\"emmc\" idx=\"" + idx + "\"><partitions>" + partitions
           + "</partitions></device>";
}

inline std::string ufsXml(std::string const& children, std::string const& idx = "0")
{
    return "<device type=\"ufs\" idx=\"" + idx + "\">" + children + "</device>";
}

// Writes the text to a file in the current scratch folder and parses it.
inline void parseText(PlatformConfig& config, std::string const& xml)
{
    ScratchDir::write("platform.xml", xml);
    config.parse("platform.xml");
}

struct Outcome {
    unsigned long status;
    std::string text;
};

// The status and message an interface operation reports for what `run` throws.
template <typename F>
Outcome outcomeOf(F run)
{
    try {
        run();
        return {0, "Success"};
    } catch (VemoException const& e) {
        return {e.getErrorCode(), e.what()};
    } catch (std::exception const& e) {
        return {0x30000, e.what()};
    }
}

template <typename T>
std::vector<uint8_t> bytesOf(T const& record)
{
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

} // namespace config_test

#endif
