// Throughput and peak memory of the host side of Provision FW Image and Read Boot Media against
// the simulated XoL board, with the library's logging off and on. Each case runs in a child
// process of its own, so that its peak resident size is its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim_bed.h"
#include "tolvane_libusb.h"
#include "vemoapi_impl.h"
#include "xol_api.h"
#include "xol_device.h"

namespace {

constexpr size_t MiB = 1024 * 1024;

struct Options {
    size_t imageMiB = 256;
    size_t mediaMiB = 64;
    std::string dir = std::filesystem::temp_directory_path().string();
};

struct Result {
    double seconds = 0;
    long baselineKiB = 0; // peak resident size before the operation (board and bed set up)
    long peakKiB = 0;     // after it
    double logMiB = 0;    // size of the log file the case wrote
    bool ok = false;
    char error[256] = {};
};

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void put32(char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>(v >> (8 * i));
}

// A firmware image file: a module directory with the entry "rcipifwi" over the last three
// quarters, then pattern bytes.
std::string writeImage(const Options& o)
{
    const std::string path = o.dir + "/xol_bench_image_" + std::to_string(getpid()) + ".bin";
    const size_t length = o.imageMiB * MiB;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(MiB);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 31 + 7);
    for (size_t written = 0; written < length; written += block.size()) {
        std::vector<char> b = block;
        if (written == 0) {
            std::memset(b.data(), 0, 40);
            put32(&b[4], 1);
            std::memcpy(&b[16], "rcipifwi", 8);
            put32(&b[28], static_cast<uint32_t>(length / 4));
            put32(&b[32], static_cast<uint32_t>(length - length / 4));
        }
        out.write(b.data(), static_cast<std::streamsize>(std::min(b.size(), length - written)));
    }
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}

// Runs one case: a bed with one board, the transport, the library's log set-up with the file
// sink on or off, and one protocol operation timed on its own.
Result runCase(const Options& o, bool provision, bool logging)
{
    Result r;
    std::string imagePath;
    const std::string logPath = o.dir + "/xol_bench_" + std::to_string(getpid()) + ".log";
    try {
        if (provision)
            imagePath = writeImage(o);

        xolsim::XolDeviceState board;
        board.context = 1;
        board.keepImages = false;
        xolsim::StorageDevice& emmc = board.device(2, 0);
        emmc.blockSize = 512;
        emmc.maxChunk = 64;
        if (!provision)
            emmc.media[0] = xolsim::Bytes(o.mediaMiB * MiB, 0xA5);

        // The library's own log set-up: its file sink, switched on or off as setlogging does.
        VemoAPI library;
        library.setlogging(logging, logPath);

        std::unique_ptr<SimBed> bed = makeSimBed();
        bed->plug(SimDeviceDesc::bulk(0x3C11, 512), std::make_shared<xolsim::XolDevice>(std::move(board)));
        TolvaneWdAPI transport;
        const std::list<std::string> serials = transport.EnumerateDevices();
        if (serials.size() != 1)
            throw std::runtime_error("the transport did not find the board");
        auto api = std::make_unique<XolAPI>(&transport, serials.front());

        r.baselineKiB = peakKiB();
        const auto start = std::chrono::steady_clock::now();
        if (provision) {
            std::ifstream image(imagePath, std::ios::binary);
            api->ProvisionFwImage(&image, 0);
        } else {
            auto media = api->ReadBootMedia(2, 0, 0, static_cast<unsigned>(o.mediaMiB * MiB / 512), 0);
            size_t length = 0;
            media->getData().write(nullptr, &length);
            if (length != o.mediaMiB * MiB)
                throw std::runtime_error("boot media of the wrong size");
        }
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        r.peakKiB = peakKiB();
        r.ok = true;
        api.reset();
        transport.Deinit();
        library.setlogging(false, "");
    } catch (const std::exception& e) {
        std::snprintf(r.error, sizeof r.error, "%s", e.what());
    }
    std::error_code ec;
    const auto logSize = std::filesystem::file_size(logPath, ec);
    r.logMiB = ec ? 0 : static_cast<double>(logSize) / MiB;
    if (!imagePath.empty())
        std::filesystem::remove(imagePath, ec);
    std::filesystem::remove(logPath, ec);
    return r;
}

// The case in a child process; its result comes back through a pipe.
Result inChild(const Options& o, bool provision, bool logging)
{
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Result r = runCase(o, provision, logging);
        const ssize_t n = write(fds[1], &r, sizeof r);
        _exit(n == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    close(fds[1]);
    Result r;
    const ssize_t n = read(fds[0], &r, sizeof r);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n != static_cast<ssize_t>(sizeof r))
        std::snprintf(r.error, sizeof r.error, "the case's process ended without a result");
    return r;
}

void usage(const char* program)
{
    std::printf("usage: %s [--image-mib N] [--media-mib N] [--dir PATH]\n"
                "  Provision FW Image of an N MiB image (256) and Read Boot Media of N MiB (64)\n"
                "  against the simulated board, with logging off and on; PATH holds the image\n"
                "  file and the log file while a case runs (the temporary folder).\n",
                program);
}

} // namespace

int main(int argc, char** argv)
{
    // The beds would otherwise keep a copy of every transfer.
    setenv("XOL_SIM_TRANSCRIPT", "off", 1);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--image-mib" || arg == "--media-mib" || arg == "--dir") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--dir")
                o.dir = value;
            else
                (arg == "--image-mib" ? o.imageMiB : o.mediaMiB) = std::stoul(value);
        } else {
            usage(argv[0]);
            return arg == "--help" ? 0 : 2;
        }
    }

    std::printf("bed: %s\n", XOL_BENCH_BED);
    std::printf("%-18s %-8s %6s %9s %13s %11s %8s\n", "operation", "logging", "MiB", "MiB/s",
                "peak RSS MiB", "before MiB", "log MiB");
    int failures = 0;
    for (bool provision : {true, false}) {
        for (bool logging : {false, true}) {
            const Result r = inChild(o, provision, logging);
            const size_t size = provision ? o.imageMiB : o.mediaMiB;
            const char* name = provision ? "ProvisionFwImage" : "ReadBootMedia";
            if (!r.ok) {
                std::printf("%-18s %-8s failed: %s\n", name, logging ? "on" : "off", r.error);
                ++failures;
                continue;
            }
            std::printf("%-18s %-8s %6zu %9.1f %13.1f %11.1f %8.1f\n", name,
                        logging ? "on" : "off", size, static_cast<double>(size) / r.seconds,
                        r.peakKiB / 1024.0, r.baselineKiB / 1024.0, r.logMiB);
        }
    }
    return failures ? 1 : 0;
}
