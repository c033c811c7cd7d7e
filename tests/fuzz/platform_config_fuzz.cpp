// Arbitrary bytes as a platform configuration file: parsing may only fail with the failures the
// file format documents, and every configuration it yields must give its request, sized with
// card information taken from the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "exceptions.h"
#include "platform_config.h"
#include "xol_api_utils.h"

namespace {

[[noreturn]] void undocumented(const char* what)
{
    std::fprintf(stderr, "undocumented failure: %s\n", what);
    std::abort();
}

std::string const& scratchFile()
{
    static const std::string path = [] {
        char name[] = "/tmp/platform_config_fuzz.XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            undocumented("no scratch file");
        close(fd);
        return std::string(name);
    }();
    return path;
}

void request(IDeviceConfig& config, uint8_t const* data, size_t size)
{
    const size_t infoSize = size < 272 ? size : 272;
    config.setCurrentConfiguration(DeviceInfo(reinterpret_cast<char const*>(data), infoSize));
    std::vector<uint8_t> buffer(212);
    size_t length = buffer.size();
    try {
        config.generateConfigRequest(buffer.data(), length);
    } catch (VemoException const& e) {
        if (e.getErrorCode() != 0x30005)
            undocumented(e.what());
        return;
    }
    if (length != 48 && length != 212)
        undocumented("request size");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    std::string const& path = scratchFile();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        undocumented("cannot write the scratch file");

    PlatformConfig config;
    try {
        config.parse(path);
    } catch (VemoException const& e) {
        if (e.getErrorCode() != 0x30004)
            undocumented(e.what());
    } catch (boost::property_tree::ptree_error const&) {
        // XML reader, path and conversion errors
    } catch (std::invalid_argument const&) {
    } catch (std::out_of_range const&) {
    } catch (std::exception const& e) {
        undocumented(e.what());
    }

    std::ostringstream printed;
    printed << config;
    for (unsigned int idx = 0; idx < 4; ++idx) {
        try {
            request(config.getDeviceEMMC(idx), data, size);
        } catch (VemoException const&) {
        }
        try {
            request(config.getDeviceUFS(idx), data, size);
        } catch (VemoException const&) {
        }
    }
    return 0;
}
