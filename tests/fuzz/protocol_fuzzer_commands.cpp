#include "protocol_fuzzer_commands.h"

#include <sstream>
#include <string>

#include "xol_api.h"

namespace fuzzcmd {

namespace {

// A small image whose directory names both modules. No byte of it is 0x10, so a payload-only
// chunk of it never reads as a message header (byte 3 of a header is 16).
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

uint64_t sizeOf(Blob const& unit)
{
    char none = 0;
    size_t length = 0;
    unit.write(&none, &length);
    return length;
}

} // namespace

Kind kindOf(unsigned which)
{
    switch (which % count) {
    case 1: case 3: case 6: case 7: case 10: case 13: return Kind::Upload;
    case getCardInfo: case readToken: case readBootMedia: return Kind::Download;
    default: return Kind::Plain;
    }
}

uint64_t run(XolAPI& api, uint8_t which, uint8_t arg)
{
    Token token(std::string(300, 't').data(), 300);
    OemIfpBlock block(std::string(70, 'b').data(), 70);
    Blob request(std::string(212, 'r').data(), 212);
    std::istringstream img(image());
    _id_dev_ifp_emulation_t ifp{};
    switch (which % count) {
    case 0: api.IdDevice(arg, 0); break;
    case 1: api.DownloadRecoveryModule(&img); break;
    case 2: api.ClearData(arg % 4, 0); break;
    case 3: api.ConfigureDevice(request, 3, 0); break;
    case getCardInfo: return sizeOf(api.GetCardInfo(arg % 4, 0)->getDeviceInfo());
    case 5: api.StartOver(arg); break;
    case 6: api.OemIfpProvision(block); break;
    case 7: api.ProvisionFwImage(&img, arg); break;
    case 8: api.XolIfpEmulation(&ifp); break;
    case 9: api.SetProtocol(arg); break;
    case 10: api.SetDeviceLifecycleStage(token); break;
    case 11: api.GetTokenPartId(arg); break;
    case readToken: return sizeOf(api.ReadToken(arg)->getToken());
    case 13: api.WriteToken(token, arg); break;
    case 14: api.EraseToken(arg); break;
    default:
        return sizeOf(api.ReadBootMedia(1 + arg % 3, 0, 0, bootMediaBlocks, 0)->getData());
    }
    return 0;
}

} // namespace fuzzcmd
