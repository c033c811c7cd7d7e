// Throughput and peak memory of the host side of Provision FW Image and Read Boot Media into a
// file against the simulated XoL board, with the library's logging off and on, each beside the
// same bulk transfers made bare through the same bed and board. Each case runs in a child process
// of its own, so that its peak resident size is its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libusb-1.0/libusb.h>

#include "sim_bed.h"
#include "vemoapi_impl.h"
#include "xol_device.h"

namespace {

constexpr size_t MiB = 1024 * 1024;
constexpr size_t maxMiB = 1024;

struct Options {
    size_t imageMiB = 256;
    size_t mediaMiB = 64;
    unsigned runs = 1;
    bool provision = true, read = true;   // which operations
    bool loggingOff = true, loggingOn = true;
    std::string dir = std::filesystem::temp_directory_path().string();
};

struct Result {
    double seconds = 0;     // the library's operation
    double bareSeconds = 0; // its transfers made bare
    long baselineKiB = 0;   // peak resident size before the operation (board and bed set up)
    long peakKiB = 0;       // after it
    double logMiB = 0;      // size of the log file the case wrote
    size_t transfers = 0;   // bulk transfers of the operation
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

// A module file: a directory with the one entry `name` over the last three quarters, then
// pattern bytes.
void writeModule(const std::string& path, const char* name, size_t length)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(std::min(length, MiB));
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 31 + 7);
    for (size_t written = 0; written < length; written += block.size()) {
        std::vector<char> b = block;
        if (written == 0) {
            std::memset(b.data(), 0, 40);
            put32(&b[4], 1);
            std::memcpy(&b[16], name, std::strlen(name));
            put32(&b[28], static_cast<uint32_t>(length / 4));
            put32(&b[32], static_cast<uint32_t>(length - length / 4));
        }
        out.write(b.data(), static_cast<std::streamsize>(std::min(b.size(), length - written)));
    }
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// The board as the bed sees it, keeping every bulk transfer's size in the order the board saw
// them, with the head of each: an OUT transfer's whole message when it is a command (padding
// included), an IN message's header.
class Recorder : public SimFunction {
public:
    static constexpr size_t headLength = 80;
    struct Transfer {
        bool out;
        size_t length;
        uint8_t head[headLength];
    };

    explicit Recorder(std::shared_ptr<SimFunction> board) : board(std::move(board))
    {
        this->board->attachSender([this](Bytes message) {
            add(false, message);
            sendIn(std::move(message));
        });
    }
    void onBulkOut(const Bytes& data) override
    {
        add(true, data);
        board->onBulkOut(data);
    }
    std::vector<Transfer> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::move(transfers);
    }

private:
    void add(bool out, const Bytes& data)
    {
        Transfer t{out, data.size(), {}};
        std::memcpy(t.head, data.data(), std::min(data.size(), headLength));
        std::lock_guard<std::mutex> lock(mutex);
        transfers.push_back(t);
    }

    std::shared_ptr<SimFunction> board;
    std::mutex mutex;
    std::vector<Transfer> transfers;
};

// The few libusb functions a bare host needs, from the libusb the library loads too.
class BareUsb {
public:
    BareUsb()
    {
        lib = dlopen("libusb-1.0.so", RTLD_NOW);
        if (lib == nullptr)
            throw std::runtime_error("libusb-1.0.so cannot be loaded");
        bind(init, "libusb_init");
        bind(exit, "libusb_exit");
        bind(getDeviceList, "libusb_get_device_list");
        bind(freeDeviceList, "libusb_free_device_list");
        bind(getDescriptor, "libusb_get_device_descriptor");
        bind(open, "libusb_open");
        bind(close, "libusb_close");
        bind(claim, "libusb_claim_interface");
        bind(release, "libusb_release_interface");
        bind(bulk, "libusb_bulk_transfer");
    }
    ~BareUsb() { dlclose(lib); }
    BareUsb(const BareUsb&) = delete;
    BareUsb& operator=(const BareUsb&) = delete;

    decltype(libusb_init)* init;
    decltype(libusb_exit)* exit;
    decltype(libusb_get_device_list)* getDeviceList;
    decltype(libusb_free_device_list)* freeDeviceList;
    decltype(libusb_get_device_descriptor)* getDescriptor;
    decltype(libusb_open)* open;
    decltype(libusb_close)* close;
    decltype(libusb_claim_interface)* claim;
    decltype(libusb_release_interface)* release;
    decltype(libusb_bulk_transfer)* bulk;

private:
    template <class F>
    void bind(F*& f, const char* name)
    {
        f = reinterpret_cast<F*>(dlsym(lib, name));
        if (f == nullptr)
            throw std::runtime_error(std::string("libusb lacks ") + name);
    }
    void* lib;
};

// What a host without the library does for the operation: the recorded transfers made again
// straight through libusb, each device message read as the library reads one (a first packet,
// then the rest in one transfer), the upload data that the device asks for read from the image
// file and the download chunks' data written to a file, with plain read and write. Timed from
// the first transfer to the last.
double bareTransfers(const SimDeviceDesc& desc, const std::vector<Recorder::Transfer>& transfers,
                     const std::string& source, const std::string& sink)
{
    constexpr uint8_t markerChunk = 0x5A, markerRequest = 0xA5;
    constexpr size_t requestHeader = 16, responseHeader = 20;
    BareUsb usb;
    libusb_context* ctx = nullptr;
    if (usb.init(&ctx) != 0)
        throw std::runtime_error("libusb_init failed");
    libusb_device_handle* handle = nullptr;
    libusb_device** list = nullptr;
    const ssize_t count = usb.getDeviceList(ctx, &list);
    for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
        libusb_device_descriptor d{};
        if (usb.getDescriptor(list[i], &d) == 0 && d.idVendor == desc.vendorId &&
            d.idProduct == desc.productId && usb.open(list[i], &handle) != 0)
            handle = nullptr;
    }
    if (count > 0)
        usb.freeDeviceList(list, 1);
    const SimInterface& iface = desc.interfaces.at(0);
    uint8_t in = 0, out = 0;
    int packet = 0;
    for (const SimEndpoint& e : iface.altSettings.at(0).endpoints) {
        if (e.address & LIBUSB_ENDPOINT_IN) {
            in = e.address;
            packet = e.maxPacketSize;
        } else {
            out = e.address;
        }
    }
    const int sourceFd = source.empty() ? -1 : ::open(source.c_str(), O_RDONLY);
    const int sinkFd = sink.empty() ? -1 : ::open(sink.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (handle == nullptr || usb.claim(handle, iface.number) != 0 ||
        (!source.empty() && sourceFd < 0) || (!sink.empty() && sinkFd < 0)) {
        if (handle != nullptr)
            usb.close(handle);
        usb.exit(ctx);
        throw std::runtime_error("the board or the files cannot be opened bare");
    }

    size_t largest = static_cast<size_t>(packet);
    for (const auto& t : transfers)
        largest = std::max(largest, t.length);
    std::vector<unsigned char> buffer(largest);
    bool failed = false, uploadNext = false, uploadAlone = false;
    // Downloaded data is written in rounds of 1 MiB, its write-back to the disk started every
    // 2 MiB, and flushed at the end, as the library's output file does.
    std::vector<unsigned char> gathered;
    gathered.reserve(MiB + largest);
    off_t written = 0, queued = 0;
    const auto writeGathered = [&] {
        const bool whole = ::write(sinkFd, gathered.data(), gathered.size()) ==
                           static_cast<ssize_t>(gathered.size());
        written += static_cast<off_t>(gathered.size());
        gathered.clear();
        if (written - queued >= static_cast<off_t>(2 * MiB)) {
            ::sync_file_range(sinkFd, queued, written - queued, SYNC_FILE_RANGE_WRITE);
            queued = written;
        }
        return whole;
    };
    const auto start = std::chrono::steady_clock::now();
    for (const auto& t : transfers) {
        if (failed)
            break;
        int moved = 0;
        if (t.out) {
            // A chunk of upload data carries a request header unless the device asked for the
            // data alone.
            const size_t head = uploadNext ? (uploadAlone ? 0 : requestHeader)
                                           : std::min(t.length, Recorder::headLength);
            std::memcpy(buffer.data(), t.head, head);
            if (uploadNext)
                failed |= ::read(sourceFd, buffer.data() + head, t.length - head) !=
                          static_cast<ssize_t>(t.length - head);
            uploadNext = false;
            failed |= usb.bulk(handle, out, buffer.data(), static_cast<int>(t.length), &moved,
                               5000) != 0;
            continue;
        }
        failed |= usb.bulk(handle, in, buffer.data(), packet, &moved, 5000) != 0;
        size_t got = static_cast<size_t>(moved);
        if (!failed && t.length > got) {
            failed |= usb.bulk(handle, in, buffer.data() + got, static_cast<int>(t.length - got),
                               &moved, 5000) != 0;
            got += static_cast<size_t>(moved);
        }
        uploadNext = buffer[11] == markerRequest;
        uploadAlone = (buffer[16] & 1) != 0;
        if (sinkFd >= 0 && buffer[11] == markerChunk && got > responseHeader) {
            gathered.insert(gathered.end(), buffer.begin() + responseHeader, buffer.begin() + got);
            if (gathered.size() >= MiB)
                failed |= !writeGathered();
        }
    }
    if (sinkFd >= 0)
        failed |= !writeGathered() || ::fsync(sinkFd) != 0 || ::close(sinkFd) != 0;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (sourceFd >= 0)
        ::close(sourceFd);
    usb.release(handle, iface.number);
    usb.close(handle);
    usb.exit(ctx);
    if (failed)
        throw std::runtime_error("a bare transfer, read or write failed");
    return seconds;
}

bool sameSequence(const std::vector<Recorder::Transfer>& a,
                  const std::vector<Recorder::Transfer>& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
               return x.out == y.out && x.length == y.length;
           });
}

// Runs one case: a bed with one board in XoL context, the library with its log set-up switched
// on or off as setlogging does, the listing that creates the transport, then the one operation
// timed on its own; then the same transfers bare.
Result runCase(const Options& o, bool provision, bool logging)
{
    Result r;
    const std::string stem = o.dir + "/xol_bench_" + std::to_string(getpid());
    const std::string logPath = stem + ".log", imagePath = stem + "_image.bin",
                      recoveryPath = stem + "_recovery.bin", mediaPath = stem + "_media.bin";
    try {
        const size_t size = (provision ? o.imageMiB : o.mediaMiB) * MiB;
        writeModule(recoveryPath, "xolmod", 64 * 1024);
        if (provision)
            writeModule(imagePath, "rcipifwi", size);

        xolsim::XolDeviceState board;
        board.context = 1;
        board.keepImages = false;
        xolsim::StorageDevice& emmc = board.device(2, 0);
        emmc.blockSize = 512;
        emmc.maxChunk = 64;
        if (!provision)
            emmc.media[0] = xolsim::Bytes(size, 0xA5);

        std::unique_ptr<SimBed> bed = makeSimBed();
        const SimDeviceDesc desc = SimDeviceDesc::bulk(0x3C11, 512);
        auto recorder =
            std::make_shared<Recorder>(std::make_shared<xolsim::XolDevice>(std::move(board)));
        bed->plug(desc, recorder);

        std::vector<Recorder::Transfer> transfers;
        {
            VemoAPI library;
            library.setlogging(logging, logPath);
            _error_msg_t msg{};
            _soc_device_info_arr_t targets{};
            if (library.getavailabletargets(&targets, &msg) != 0 || targets.ids.count != 1)
                throw std::runtime_error("the library did not find the board");
            const std::string id = targets.ids.devices[0].id;
            recorder->take();

            r.baselineKiB = peakKiB();
            unsigned long status = 0;
            const auto start = std::chrono::steady_clock::now();
            if (provision) {
                _prov_fw_image_cmd_flags_t flags{0};
                status = library.downloadfwos(recoveryPath.c_str(), imagePath.c_str(), &flags,
                                              nullptr, nullptr, id.c_str(), &msg, nullptr, nullptr);
            } else {
                _content_addr_t addr{0, 0, static_cast<uint32_t>(size / 512)};
                status = library.readbootmedia2(recoveryPath.c_str(), 2, 0, &addr,
                                                mediaPath.c_str(), id.c_str(), &msg, nullptr,
                                                nullptr);
            }
            r.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            r.peakKiB = peakKiB();
            if (status != 0)
                throw std::runtime_error(std::string("the operation failed: ") + msg.text);
            std::error_code ec;
            if (!provision && std::filesystem::file_size(mediaPath, ec) != size)
                throw std::runtime_error("boot media of the wrong size");
            transfers = recorder->take();
            library.setlogging(false, "");
        }
        r.transfers = transfers.size();
        r.bareSeconds = bareTransfers(desc, transfers, provision ? imagePath : "",
                                      provision ? "" : mediaPath);
        auto again = recorder->take();
        if (!sameSequence(transfers, again))
            throw std::runtime_error("the bare transfers differ from the library's");
        r.ok = true;
    } catch (const std::exception& e) {
        std::snprintf(r.error, sizeof r.error, "%s", e.what());
    }
    std::error_code ec;
    const auto logSize = std::filesystem::file_size(logPath, ec);
    r.logMiB = ec ? 0 : static_cast<double>(logSize) / MiB;
    for (const std::string& f : {logPath, imagePath, recoveryPath, mediaPath})
        std::filesystem::remove(f, ec);
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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void usage(const char* program)
{
    std::printf(
        "usage: %s [--image-mib N] [--media-mib N] [--runs N] [--only provision|read]\n"
        "          [--logging on|off] [--dir PATH]\n"
        "  Provision FW Image of an N MiB image (256) and Read Boot Media of N MiB (64) into a\n"
        "  file, sizes up to %zu MiB, against the simulated board with logging off and on, each\n"
        "  beside the same bulk transfers made bare; each case N times (1), then the minimum and\n"
        "  median of each figure. PATH holds the image, output and log files while a case runs\n"
        "  (the temporary folder).\n",
        program, maxMiB);
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (arg == "--dir") {
            o.dir = value;
        } else if (arg == "--only" && (value == "provision" || value == "read")) {
            o.provision = value == "provision";
            o.read = !o.provision;
        } else if (arg == "--logging" && (value == "on" || value == "off")) {
            o.loggingOn = value == "on";
            o.loggingOff = !o.loggingOn;
        } else if (arg == "--image-mib" || arg == "--media-mib" || arg == "--runs") {
            char* end = nullptr;
            const unsigned long n = std::strtoul(value.c_str(), &end, 10);
            if (*end != '\0' || n == 0 || n > (arg == "--runs" ? 1000 : maxMiB))
                return false;
            if (arg == "--runs")
                o.runs = static_cast<unsigned>(n);
            else
                (arg == "--image-mib" ? o.imageMiB : o.mediaMiB) = n;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // The beds would otherwise keep a copy of every transfer.
    setenv("XOL_SIM_TRANSCRIPT", "off", 1);
    Options o;
    if (!parse(argc, argv, o)) {
        usage(argv[0]);
        return argc > 1 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }

    std::printf("bed: %s\n", XOL_BENCH_BED);
    const char* header = "%-17s %-7s %5s %9s %10s %9s %9s %10s %8s %10s\n";
    std::printf(header, "operation", "logging", "MiB", "MiB/s", "bare MiB/s", "lib/bare",
                "peak MiB", "before MiB", "log MiB", "transfers");
    int failures = 0;
    struct Summary {
        std::string name;
        std::vector<double> rate, ratio, peak;
    };
    std::vector<Summary> summaries;
    for (bool provision : {true, false}) {
        if (!(provision ? o.provision : o.read))
            continue;
        for (bool logging : {false, true}) {
            if (!(logging ? o.loggingOn : o.loggingOff))
                continue;
            const size_t size = provision ? o.imageMiB : o.mediaMiB;
            const char* name = provision ? "ProvisionFwImage" : "ReadBootMedia";
            Summary s{std::string(name) + (logging ? " on" : " off"), {}, {}, {}};
            for (unsigned run = 0; run < o.runs; ++run) {
                const Result r = inChild(o, provision, logging);
                if (!r.ok) {
                    std::printf("%-17s %-7s failed: %s\n", name, logging ? "on" : "off", r.error);
                    ++failures;
                    continue;
                }
                const double rate = static_cast<double>(size) / r.seconds;
                const double ratio = r.seconds / r.bareSeconds;
                s.rate.push_back(rate);
                s.ratio.push_back(ratio);
                s.peak.push_back((r.peakKiB - r.baselineKiB) / 1024.0);
                std::printf("%-17s %-7s %5zu %9.1f %10.1f %9.2f %9.1f %10.1f %8.1f %10zu\n", name,
                            logging ? "on" : "off", size, rate,
                            static_cast<double>(size) / r.bareSeconds, ratio, r.peakKiB / 1024.0,
                            r.baselineKiB / 1024.0, r.logMiB, r.transfers);
            }
            if (!s.rate.empty())
                summaries.push_back(std::move(s));
        }
    }
    if (o.runs > 1) {
        std::printf("\n%-21s %9s %9s %12s %12s %14s\n", "over the runs", "min MiB/s",
                    "med MiB/s", "min lib/bare", "med lib/bare", "med peak-before");
        for (const Summary& s : summaries)
            std::printf("%-21s %9.1f %9.1f %12.2f %12.2f %14.1f\n", s.name.c_str(),
                        *std::min_element(s.rate.begin(), s.rate.end()), median(s.rate),
                        *std::min_element(s.ratio.begin(), s.ratio.end()), median(s.ratio),
                        median(s.peak));
    }
    return failures ? 1 : 0;
}
