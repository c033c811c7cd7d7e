#include "session_board.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace sessionboard {

using xolsim::Bytes;
using xolsim::XolDeviceState;

namespace {

constexpr uint8_t kSpi = 1;
constexpr uint8_t kEmmc = 2;
constexpr uint8_t kProvisionFwImage = 0x15;
constexpr uint8_t kWriteToken = 0x23;

// Contents without a period, so a read off by whole blocks cannot match.
Bytes noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<uint8_t>(x >> 11);
    }
    return b;
}

void put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Module {
    std::string name;
    size_t size;
};

// An image with its module directory in front and the modules behind it, in order.
Bytes moduleImage(const std::vector<Module>& modules, uint32_t seed)
{
    const size_t directory = 16 + 24 * modules.size();
    Bytes image(directory);
    put32(image, 4, static_cast<uint32_t>(modules.size()));
    size_t offset = directory;
    for (size_t i = 0; i < modules.size(); ++i) {
        const size_t entry = 16 + 24 * i;
        for (size_t c = 0; c < modules[i].name.size() && c < 12; ++c)
            image[entry + c] = static_cast<uint8_t>(modules[i].name[c]);
        put32(image, entry + 12, static_cast<uint32_t>(offset));
        put32(image, entry + 16, static_cast<uint32_t>(modules[i].size));
        const Bytes body = noise(modules[i].size, seed + static_cast<uint32_t>(i));
        image.insert(image.end(), body.begin(), body.end());
        offset += modules[i].size;
    }
    return image;
}

const std::vector<Module> kRecoveryModules = {{"xolmod", 49152 + 300}};
const std::vector<Module> kFirmwareModules = {
    {"oemkeys", 4096}, {"rcipifwi", 4 * 1024 * 1024 + 777}, {"bootstub", 12288}};
constexpr size_t kTokenSize = 700;

void writeFile(const std::string& path, const Bytes& b)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f.flush())
        throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text)
{
    writeFile(path, Bytes(text.begin(), text.end()));
}

size_t moduleSize(const std::vector<Module>& modules, const char* name)
{
    for (const Module& m : modules)
        if (m.name == name)
            return m.size;
    throw std::logic_error(name);
}

size_t imageSize(const std::vector<Module>& modules)
{
    size_t n = 16 + 24 * modules.size();
    for (const Module& m : modules)
        n += m.size;
    return n;
}

std::string hexBytes(const uint8_t* p, size_t n)
{
    std::string s;
    char d[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(d, sizeof d, "%02x", p[i]);
        s += d;
    }
    return s;
}

} // namespace

XolDeviceState makeBoard()
{
    XolDeviceState s;
    s.context = 0;
    s.oemPlatformId = {'X', 'O', 'L', '1'};
    for (uint8_t i = 0; i < 16; ++i)
        s.platformId[i] = static_cast<uint8_t>(0xa0 + i * 3);
    s.idFlags = 0x5;
    for (uint8_t i = 0; i < 12; ++i)
        s.imageErrors[i] = static_cast<uint8_t>(0x10 + i);

    auto& emmc = s.device(kEmmc, 0);
    emmc.cardInfo = noise(548, 21);
    emmc.media[0] = noise(1024 * 1024, 22);
    emmc.media[1] = noise(512 * 1024, 23);
    emmc.blockSize = 512;
    emmc.maxChunk = 16;
    auto& spi = s.device(kSpi, 0);
    spi.cardInfo = noise(3, 31);
    spi.media[0] = noise(256 * 1024, 32);
    spi.blockSize = 4096;
    spi.maxChunk = 2;

    // Uploads in both forms, with chunks of whole packets at either speed and with short tails.
    s.uploadScript[kProvisionFwImage] = {{4096, true}, {1000, true}, {8192, false}, {512, true}};
    s.uploadScript[kWriteToken] = {{512, true}};
    return s;
}

void writeSessionFiles(const std::string& dir)
{
    const XolDeviceState board = makeBoard();
    xolsim::saveState(board, dir + "/board.json");
    writeFile(dir + "/recovery.bin", moduleImage(kRecoveryModules, 100));
    writeFile(dir + "/firmware.bin", moduleImage(kFirmwareModules, 200));
    writeFile(dir + "/token.bin", noise(kTokenSize, 300));
    for (const auto& [key, dev] : board.storage) {
        const std::string id = std::to_string(key.first) + "." + std::to_string(key.second);
        writeFile(dir + "/cardinfo." + id + ".bin", dev.cardInfo);
        for (const auto& [part, bytes] : dev.media)
            writeFile(dir + "/media." + id + "." + std::to_string(part) + ".bin", bytes);
    }

    std::ostringstream e;
    const auto& oem = board.oemPlatformId;
    char oemText[16];
    std::snprintf(oemText, sizeof oemText, "%08x",
                  unsigned(oem[0]) | unsigned(oem[1]) << 8 | unsigned(oem[2]) << 16 |
                      unsigned(oem[3]) << 24);
    e << "PLATFORM_ID=" << hexBytes(board.platformId.data(), 16) << "\n";
    e << "OEM_PLATFORM_ID=" << oemText << "\n";
    e << "ID_FLAGS=0x" << std::hex << board.idFlags << std::dec << "\n";
    e << "IMAGE_ERRORS='";
    for (uint8_t v : board.imageErrors)
        e << "0x" << std::hex << unsigned(v) << std::dec << " ";
    e << "'\n";
    const size_t recovery = imageSize(kRecoveryModules);
    const size_t firmware = imageSize(kFirmwareModules);
    e << "RECOVERY_MODULE_SIZE=" << moduleSize(kRecoveryModules, "xolmod") << "\n";
    e << "RECOVERY_HEADER_SIZE=" << recovery - moduleSize(kRecoveryModules, "xolmod") << "\n";
    e << "FW_MODULE_SIZE=" << moduleSize(kFirmwareModules, "rcipifwi") << "\n";
    e << "FW_HEADER_SIZE=" << firmware - moduleSize(kFirmwareModules, "rcipifwi") << "\n";
    e << "EMMC_BLOCK=" << board.storage.at({kEmmc, 0}).blockSize << "\n";
    e << "SPI_BLOCK=" << board.storage.at({kSpi, 0}).blockSize << "\n";
    writeText(dir + "/expect.sh", e.str());
}

void exportBoard(const XolDeviceState& s, const std::string& dir)
{
    std::ostringstream o;
    o << "context=" << s.context << "\n";
    o << "protocol_version=" << (s.protocolVersion ? std::to_string(*s.protocolVersion) : "")
      << "\n";
    o << "commands=" << s.commands.size() << "\n";
    o << "host_errors=" << s.hostErrors.size() << "\n";
    o << "ignored_bytes=" << s.ignoredBytes << "\n";
    o << "start_over_flags='";
    for (uint32_t f : s.startOverFlags)
        o << f << " ";
    o << "'\n";
    o << "tokens='";
    for (const auto& [slot, token] : s.tokens) {
        o << unsigned(slot) << " ";
        writeFile(dir + "/token." + std::to_string(slot) + ".bin", token);
    }
    o << "'\n";
    struct Upload {
        const char* key;
        const char* file;
        const std::optional<xolsim::ImageUpload>& image;
    };
    for (const Upload& u : {Upload{"recovery", "recovery.bin", s.recoveryModule},
                            Upload{"fw", "firmware.bin", s.firmwareImage}}) {
        if (!u.image)
            continue;
        o << u.key << "_header_size=" << u.image->headerSize << "\n";
        o << u.key << "_module_size=" << u.image->moduleSize << "\n";
        o << u.key << "_length=" << u.image->length << "\n";
        o << u.key << "_flags=" << u.image->flags << "\n";
        writeFile(dir + "/" + u.file, u.image->image);
    }
    for (const auto& [key, dev] : s.storage) {
        const std::string id = std::to_string(key.first) + "_" + std::to_string(key.second);
        o << "rpmb_" << id << "=" << dev.rpmbCleared << "\n";
        if (dev.lastConfigRequest) {
            o << "config_" << id << "=" << dev.lastConfigRequest->size() << "\n";
            writeFile(dir + "/config." + std::to_string(key.first) + "." +
                          std::to_string(key.second) + ".bin",
                      *dev.lastConfigRequest);
        }
        if (dev.lastRead)
            o << "last_read_" << id << "='" << unsigned(dev.lastRead->partition) << " "
              << dev.lastRead->start << " " << dev.lastRead->count << "'\n";
    }
    writeText(dir + "/summary.sh", o.str());
    std::string errors;
    for (const std::string& e : s.hostErrors)
        errors += e + "\n";
    writeText(dir + "/host_errors.txt", errors);
    writeText(dir + "/done", "");
}

} // namespace sessionboard
