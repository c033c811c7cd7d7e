#include "ffs_function.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "out_framer.h"

namespace {

using Bytes = FfsFunction::Bytes;

constexpr uint8_t kOutAddress = 0x01;
constexpr uint8_t kInAddress = 0x82;
constexpr uint8_t kMarkerChunk = 0x5A;
const char kInterfaceName[] = "XoL download interface";

#define LOG(...)                                    \
    do {                                            \
        std::fprintf(stderr, "[gadget] " __VA_ARGS__); \
        std::fputc('\n', stderr);                   \
    } while (0)

struct EndpointGone {
    int error;
};

void le(Bytes& b, uint32_t v, int width)
{
    for (int i = 0; i < width; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Descriptor set, version 2 layout: one interface with two bulk endpoints, per speed.
Bytes descriptors()
{
    Bytes d;
    le(d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2, 4);
    le(d, 0, 4);  // total length, set below
    le(d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC, 4);
    le(d, 3, 4);  // full-speed descriptors
    le(d, 3, 4);  // high-speed descriptors
    for (uint16_t mps : {64, 512}) {
        d.insert(d.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_VENDOR_SPEC,
                           0, 0, 1});
        for (uint8_t address : {kOutAddress, kInAddress}) {
            d.insert(d.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address,
                               USB_ENDPOINT_XFER_BULK});
            le(d, mps, 2);
            d.push_back(0);
        }
    }
    const uint32_t length = static_cast<uint32_t>(d.size());
    for (int i = 0; i < 4; ++i)
        d[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    return d;
}

Bytes strings()
{
    Bytes s;
    le(s, FUNCTIONFS_STRINGS_MAGIC, 4);
    le(s, static_cast<uint32_t>(16 + 2 + sizeof kInterfaceName), 4);
    le(s, 1, 4);  // strings per language
    le(s, 1, 4);  // languages
    le(s, 0x0409, 2);
    s.insert(s.end(), kInterfaceName, kInterfaceName + sizeof kInterfaceName);
    return s;
}

void writeAll(int fd, const Bytes& b, const char* what)
{
    if (::write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size()))
        throw std::runtime_error(std::string("writing ") + what + ": " + std::strerror(errno));
}

int openEndpoint(const std::string& dir, const char* name)
{
    const std::string path = dir + "/" + name;
    int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0)
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    return fd;
}

void touch(const std::string& path)
{
    if (FILE* f = std::fopen(path.c_str(), "w"))
        std::fclose(f);
}

} // namespace

FfsFunction::FfsFunction(const std::string& dir, xolsim::XolDevice& board) : board(board)
{
    ep0 = openEndpoint(dir, "ep0");
    writeAll(ep0, descriptors(), "descriptors");
    writeAll(ep0, strings(), "strings");
    // Endpoint files follow the descriptor order; the controller may give other addresses.
    epOut = openEndpoint(dir, "ep1");
    epIn = openEndpoint(dir, "ep2");
    board.attachSender([this](Bytes m) { send(std::move(m)); });
    // The threads live as long as the process: it ends by exit, never by tearing this down.
    std::thread([this] { readLoop(); }).detach();
    std::thread([this] { writeLoop(); }).detach();
}

void FfsFunction::holdDownloadChunk(unsigned chunks, const std::string& flagFile)
{
    std::lock_guard<std::mutex> guard(lock);
    holdCountdown = chunks;
    holdFlag = flagFile;
}

void FfsFunction::releaseHeld()
{
    std::lock_guard<std::mutex> guard(lock);
    LOG("releasing %zu messages held back", held.size());
    for (Bytes& m : held)
        queue.push_back({generation, std::move(m)});
    held.clear();
    holding = false;
    holdCountdown = 0;
    changed.notify_all();
}

void FfsFunction::run()
{
    static const char* const names[] = {"BIND", "UNBIND", "ENABLE", "DISABLE",
                                        "SETUP", "SUSPEND", "RESUME"};
    for (;;) {
        usb_functionfs_event events[4];
        const ssize_t n = ::read(ep0, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            LOG("ep0: %s", std::strerror(errno));
            return;
        }
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
            const unsigned type = events[i].type;
            LOG("ep0 event %s", type < 7 ? names[type] : "?");
            switch (type) {
            case FUNCTIONFS_ENABLE: enable(); break;
            case FUNCTIONFS_DISABLE:
            case FUNCTIONFS_UNBIND: disable(names[type]); break;
            case FUNCTIONFS_SETUP: answerSetup(&events[i]); break;
            default: break;
            }
        }
    }
}

void FfsFunction::enable()
{
    std::lock_guard<std::mutex> guard(lock);
    enabled = true;
    ++generation;
    changed.notify_all();
}

void FfsFunction::disable(const char* why)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!queue.empty() || holding)
        LOG("%s: %zu answers dropped%s", why, queue.size(), holding ? ", hold released" : "");
    enabled = false;
    ++generation;
    queue.clear();
    held.clear();
    holding = false;
    holdCountdown = 0;
    changed.notify_all();
}

// The board knows no control request of its own: stall whatever comes.
void FfsFunction::answerSetup(const void* event)
{
    const auto* e = static_cast<const usb_functionfs_event*>(event);
    LOG("control request %02x/%02x stalled", e->u.setup.bRequestType, e->u.setup.bRequest);
    uint8_t none = 0;
    if (e->u.setup.bRequestType & USB_DIR_IN) {
        if (::read(ep0, &none, 0) < 0) {
        }
    } else if (::write(ep0, &none, 0) < 0) {
    }
}

size_t FfsFunction::readOut(uint8_t* buf, size_t n)
{
    for (;;) {
        const ssize_t got = ::read(epOut, buf, n);
        if (got >= 0)
            return static_cast<size_t>(got);
        if (errno != EINTR)
            throw EndpointGone{errno};
    }
}

void FfsFunction::readLoop()
{
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return enabled && generation != seen; });
            seen = generation;
        }
        usb_endpoint_descriptor desc{};
        if (::ioctl(epOut, FUNCTIONFS_ENDPOINT_DESC, &desc) != 0) {
            LOG("endpoint descriptor: %s", std::strerror(errno));
            continue;
        }
        const size_t mps = le16toh(desc.wMaxPacketSize);
        LOG("configured: bulk max packet %zu (%s speed)", mps, mps > 64 ? "high" : "full");
        // A new configuration is a new host session: nothing of an earlier exchange is pending.
        board.busReset();
        // A terminator is a byte behind a message to the board, as if it had come in the same
        // transfer.
        OutFramer framer([this](uint8_t* b, size_t n) { return readOut(b, n); }, mps,
                         [this](size_t n) {
                             board.edit([n](xolsim::XolDeviceState& s) { s.ignoredBytes += n; });
                         });
        try {
            for (;;)
                board.onBulkOut(framer.next(board.payloadOnlyLength()));
        } catch (const EndpointGone& gone) {
            LOG("bulk OUT ended: %s", std::strerror(gone.error));
        }
    }
}

void FfsFunction::send(Bytes message)
{
    std::lock_guard<std::mutex> guard(lock);
    if (holding) {
        held.push_back(std::move(message));
        return;
    }
    if (holdCountdown && message.size() > 11 && message[11] == kMarkerChunk && --holdCountdown == 0) {
        holding = true;
        LOG("holding back a download chunk until the host goes away or the release");
        held.push_back(std::move(message));
        touch(holdFlag);
        return;
    }
    queue.push_back({generation, std::move(message)});
    changed.notify_all();
}

void FfsFunction::writeLoop()
{
    for (;;) {
        Pending p;
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return !queue.empty(); });
            p = std::move(queue.front());
            queue.pop_front();
            if (p.generation != generation)
                continue;
        }
        const ssize_t n = ::write(epIn, p.bytes.data(), p.bytes.size());
        if (n != static_cast<ssize_t>(p.bytes.size()))
            LOG("bulk IN of %zu bytes: %s", p.bytes.size(),
                n < 0 ? std::strerror(errno) : "short write");
    }
}
