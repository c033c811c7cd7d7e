// Feeds arbitrary device messages to every command's exchange. Any refusal must be one of the
// library's own exceptions or a stream failure; anything else, or a sanitizer report, is a bug.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ios>
#include <sstream>
#include <stdexcept>

#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include "exceptions.h"
#include "fake_transport.h"
#include "tolvane_libusb.h"
#include "xol_api.h"

namespace {

// A small image whose directory names both modules.
std::string image()
{
    std::string s(256, '\0');
    auto put32 = [&s](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s[at + i] = static_cast<char>(v >> (8 * i));
    };
    put32(4, 2);
    s.replace(16, 6, "xolmod");
    put32(16 + 12, 64);
    put32(16 + 16, 128);
    s.replace(40, 8, "rcipifwi");
    put32(40 + 12, 64);
    put32(40 + 16, 192);
    for (size_t i = 64; i < s.size(); ++i)
        s[i] = static_cast<char>(i);
    return s;
}

void runCommand(XolAPI& api, uint8_t which, uint8_t arg)
{
    Token token(std::string(300, 't').data(), 300);
    OemIfpBlock block(std::string(70, 'b').data(), 70);
    Blob request(std::string(212, 'r').data(), 212);
    std::istringstream img(image());
    _id_dev_ifp_emulation_t ifp{};
    switch (which % 16) {
    case 0: api.IdDevice(arg, 0); break;
    case 1: api.DownloadRecoveryModule(&img); break;
    case 2: api.ClearData(arg % 4, 0); break;
    case 3: api.ConfigureDevice(request, 3, 0); break;
    case 4: api.GetCardInfo(arg % 4, 0); break;
    case 5: api.StartOver(arg); break;
    case 6: api.OemIfpProvision(block); break;
    case 7: api.ProvisionFwImage(&img, arg); break;
    case 8: api.XolIfpEmulation(&ifp); break;
    case 9: api.SetProtocol(arg); break;
    case 10: api.SetDeviceLifecycleStage(token); break;
    case 11: api.GetTokenPartId(arg); break;
    case 12: api.ReadToken(arg); break;
    case 13: api.WriteToken(token, arg); break;
    case 14: api.EraseToken(arg); break;
    default: api.ReadBootMedia(1 + arg % 3, 0, 0, 64, 0); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // Records are formatted as in the product, into a sink without streams.
    static bool logging = [] {
        namespace sinks = boost::log::sinks;
        boost::log::core::get()->add_sink(
            boost::make_shared<sinks::synchronous_sink<sinks::text_ostream_backend>>());
        return true;
    }();
    (void)logging;
    static TolvaneWdAPI transport;
    static XolAPI* api = new XolAPI(&transport, "1");
    const uint8_t which = data[0];
    const uint8_t arg = data[1];
    // The rest: messages, each a 2-byte little-endian length and that many bytes.
    fakeDeviceMessages.clear();
    size_t at = 2;
    while (at + 2 <= size) {
        size_t len = data[at] | static_cast<size_t>(data[at + 1]) << 8;
        at += 2;
        len = std::min(len, size - at);
        fakeDeviceMessages.emplace_back(data + at, data + at + len);
        at += len;
    }
    try {
        runCommand(*api, which, arg);
    } catch (VemoException const&) {
    } catch (std::ios_base::failure const&) {
    } catch (std::invalid_argument const& e) {
        if (std::strcmp(e.what(), "Parse error") != 0)
            std::abort();
    }
    return 0;
}
