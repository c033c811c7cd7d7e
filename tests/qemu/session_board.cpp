#include "session_board.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "session_transcript.h"
#include "test_bytes.h"

namespace sessionboard {

using xolsim::Bytes;
using xolsim::XolDeviceState;

namespace {

constexpr uint8_t kSpi = 1;
constexpr uint8_t kEmmc = 2;
constexpr uint8_t kProvisionFwImage = 0x15;
constexpr uint8_t kWriteToken = 0x23;

using testkit::Module;

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

// The session as the guest runs it: data files are read from `data`; the board is the one of
// makeBoard().
std::vector<testkit::SessionStep> sessionSteps(const XolDeviceState& board, const std::string& data,
                                               const std::string& xml)
{
    using testkit::succeeding;
    const std::string sn = testkit::serialOf(board);
    // The board withholds its OEM platform id in ROM context, before the recovery module.
    return {
        succeeding("enumerate", {"--command", "enumerate"}, board),
        succeeding("iddevice", {"--command", "iddevice", "--sn", sn}, board, false),
        succeeding("fwrec", {"--command", "fwrec", "--fw_xol", data + "/recovery.bin", "--sn", sn},
                   board),
        succeeding("downloadfwos", {"--command", "downloadfwos", "--fw_xol", data + "/recovery.bin",
                                    "--fw_image", data + "/firmware.bin", "--flags", "5"}, board),
        succeeding("getcardinfo", {"--command", "getcardinfo", "--device", "2", "--idx", "0",
                                   "--path", "cardinfo.bin"}, board),
        succeeding("configpart", {"--command", "configpart", "--device", "2", "--idx", "0",
                                  "--path", xml, "--sn", sn}, board),
        succeeding("readbootmedia", {"--command", "readbootmedia", "--device", "2", "--idx", "0",
                                     "--part", "1", "--start", "3", "--blocks", "300", "--path",
                                     "media.bin"}, board),
        succeeding("readbootmedia-spi", {"--command", "readbootmedia", "--device", "1", "--idx",
                                         "0", "--start", "1", "--blocks", "5", "--path",
                                         "media.bin"}, board),
        succeeding("writetoken", {"--command", "writetoken", "--slot", "3", "--token",
                                  data + "/token.bin"}, board),
        succeeding("readtoken", {"--command", "readtoken", "--slot", "3", "--path", "token.bin"},
                   board),
        succeeding("erasetoken", {"--command", "erasetoken", "--slot", "3"}, board),
        testkit::failing("readtoken-erased", {"--command", "readtoken", "--slot", "3", "--path",
                                              "token.bin"}, board, "0x80000037",
                         "Token does not exist"),
        succeeding("clearrpmb", {"--command", "clearrpmb", "--device", "2", "--idx", "0"}, board),
        succeeding("iddevice-replugged", {"--command", "iddevice", "--sn", sn}, board),
        succeeding("enumerate-replugged", {"--command", "enumerate"}, board),
        // A second process while a first one holds every board finds none.
        testkit::enumerating("second-enumerate", {}),
    };
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
    emmc.cardInfo = testkit::pattern(548, 21);
    emmc.media[0] = testkit::pattern(1024 * 1024, 22);
    emmc.media[1] = testkit::pattern(512 * 1024, 23);
    emmc.blockSize = 512;
    emmc.maxChunk = 16;
    auto& spi = s.device(kSpi, 0);
    spi.cardInfo = testkit::pattern(3, 31);
    spi.media[0] = testkit::pattern(256 * 1024, 32);
    spi.blockSize = 4096;
    spi.maxChunk = 2;

    // Uploads in both forms, with chunks of whole packets at either speed and with short tails.
    s.uploadScript[kProvisionFwImage] = {{4096, true}, {1000, true}, {8192, false}, {512, true}};
    s.uploadScript[kWriteToken] = {{512, true}};
    return s;
}

void writeSessionFiles(const std::string& dir, const std::string& guestDir,
                       const std::string& guestXml)
{
    const XolDeviceState board = makeBoard();
    xolsim::saveState(board, dir + "/board.json");
    writeFile(dir + "/recovery.bin", testkit::moduleImage(kRecoveryModules, 100));
    writeFile(dir + "/firmware.bin", testkit::moduleImage(kFirmwareModules, 200));
    writeFile(dir + "/token.bin", testkit::pattern(kTokenSize, 300));
    for (const auto& [key, dev] : board.storage) {
        const std::string id = std::to_string(key.first) + "." + std::to_string(key.second);
        writeFile(dir + "/cardinfo." + id + ".bin", dev.cardInfo);
        for (const auto& [part, bytes] : dev.media)
            writeFile(dir + "/media." + id + "." + std::to_string(part) + ".bin", bytes);
    }

    std::filesystem::create_directory(dir + "/steps");
    for (const testkit::SessionStep& step : sessionSteps(board, guestDir, guestXml)) {
        const std::string at = dir + "/steps/" + step.name;
        std::string args;
        for (const std::string& a : step.args)
            args += a + "\n";
        writeText(at + ".args", args);
        writeText(at + ".out", step.out);
        if (!step.err.empty())
            writeText(at + ".err", step.err);
    }

    std::ostringstream e;
    e << "PLATFORM_ID=" << testkit::serialOf(board) << "\n";
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
