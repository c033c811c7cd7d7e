// Arbitrary bytes as a platform configuration file: parsing may only fail with the failures the
// file format documents, the reader may never be handed a tree deeper than the nesting bound,
// and every configuration it yields must give its request, sized with card information taken
// from the same bytes. The parse runs on a thread with the stack a Windows thread gets by
// default, so nesting that slips past the bound crashes at a depth the inputs can reach.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "exceptions.h"
#include "platform_config.h"
#include "xml_tree_depth.h"
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

// The parser's nesting bound.
constexpr unsigned int kMaxNesting = 64;

struct Input {
    uint8_t const* data;
    size_t size;
};

void* parseAndRequest(void* arg)
{
    Input const& in = *static_cast<Input const*>(arg);
    std::string const& path = scratchFile();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(in.data, 1, in.size, file) != in.size
        || std::fclose(file) != 0)
        undocumented("cannot write the scratch file");

    PlatformConfig config;
    bool tooDeep = false;
    try {
        config.parse(path);
    } catch (VemoException const& e) {
        if (e.getErrorCode() != 0x30004)
            undocumented(e.what());
    } catch (boost::property_tree::xml_parser::xml_parser_error const& e) {
        tooDeep = e.message() == "elements nested too deeply";
    } catch (boost::property_tree::ptree_error const&) {
        // path and conversion errors
    } catch (std::invalid_argument const&) {
    } catch (std::out_of_range const&) {
    } catch (std::exception const& e) {
        undocumented(e.what());
    }

    // What the bound let through, the reader must read no deeper than the bound.
    if (!tooDeep) {
        boost::property_tree::ptree tree;
        std::istringstream text(std::string(reinterpret_cast<char const*>(in.data), in.size));
        try {
            boost::property_tree::read_xml(text, tree);
        } catch (boost::property_tree::xml_parser::xml_parser_error const&) {
        }
        if (treeDepth(tree) > kMaxNesting)
            undocumented("nesting bound bypassed");
    }

    std::ostringstream printed;
    printed << config;
    for (unsigned int idx = 0; idx < 4; ++idx) {
        try {
            request(config.getDeviceEMMC(idx), in.data, in.size);
        } catch (VemoException const&) {
        }
        try {
            request(config.getDeviceUFS(idx), in.data, in.size);
        } catch (VemoException const&) {
        }
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    Input in{data, size};
    pthread_attr_t attr;
    pthread_t thread;
    if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, 1024 * 1024) != 0
        || pthread_create(&thread, &attr, parseAndRequest, &in) != 0
        || pthread_join(thread, nullptr) != 0)
        undocumented("no parsing thread");
    pthread_attr_destroy(&attr);
    return 0;
}
