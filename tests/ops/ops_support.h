// Helpers of the interface operation tests: simulated boards with identifiers of their own, the
// library acquired over the binary's bed, bounded waits for hot-plug, module image files, and the
// progress records an operation reported.
#ifndef XOL_TEST_OPS_SUPPORT_H
#define XOL_TEST_OPS_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_bed.h"
#include "test_bytes.h"
#include "vemoapi.h"
#include "xol_device.h"
#include "xol_wire.h"

namespace ops {

using xolsim::Bytes;
using xolsim::Fault;
using xolsim::XolDevice;
using xolsim::XolDeviceState;

constexpr auto waitLimit = std::chrono::seconds(20);

// Request codes as the board records them.
using namespace xolwire;

template <size_t N>
std::array<uint8_t, N> arrayOf(const uint8_t (&a)[N])
{
    std::array<uint8_t, N> out;
    std::copy(a, a + N, out.begin());
    return out;
}

inline std::string toString(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}
inline Bytes toBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

using testkit::patternText;

inline void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return std::string();
    std::string bytes(static_cast<size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// Polls `done` until it holds or the bounded wait ends.
inline bool eventually(const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + waitLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// An image whose module directory names `names`, each module `moduleSize` bytes of a pattern,
// right behind the directory.
inline std::string moduleText(const std::vector<std::string>& names, size_t moduleSize, uint32_t seed)
{
    std::vector<testkit::Module> modules;
    for (const std::string& name : names)
        modules.push_back({name, moduleSize});
    return toString(testkit::moduleImage(modules, seed));
}

// A platform unique id that no other board of this process reports; bytes above 0x7f keep the
// identifier's hexadecimal letters and sign extension in view.
inline std::array<uint8_t, 16> freshPlatformId()
{
    static std::atomic<unsigned> next{1};
    const unsigned n = next++;
    std::array<uint8_t, 16> id;
    for (size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<uint8_t>(0xA0 + i);
    id[0] = 0xFF;
    id[14] = static_cast<uint8_t>(n >> 8);
    id[15] = static_cast<uint8_t>(n);
    return id;
}

inline std::string identifierOf(const std::array<uint8_t, 16>& id)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : id) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

inline std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// UFS card information of `size` bytes (212 or 272) whose geometry descriptor reports
// `capacity` sectors in allocation units of `segment` x `unitFactor` sectors.
inline Bytes ufsCardInfo(size_t size, uint64_t capacity, uint32_t segment, uint8_t unitFactor)
{
    Bytes info(size);
    for (size_t i = 0; i < size; ++i)
        info[i] = static_cast<uint8_t>(i * 7 + 1);
    const size_t geometry = size == 272 ? 204 : 144;
    for (int i = 0; i < 8; ++i)
        info[geometry + 4 + i] = static_cast<uint8_t>(capacity >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i)
        info[geometry + 13 + i] = static_cast<uint8_t>(segment >> (24 - 8 * i));
    info[geometry + 17] = unitFactor;
    return info;
}

// A board with every storage device the tests read: SPI flash 0, eMMC 0 and UFS 0, each with
// card information and boot media, and a token in slot 3.
inline XolDeviceState boardState(uint32_t context)
{
    static std::atomic<uint32_t> seed{100};
    const uint32_t s = seed++;
    XolDeviceState st;
    st.context = context;
    st.platformId = freshPlatformId();
    st.oemPlatformId = {'W', 'X', 'Y', 'Z'};
    st.idFlags = 0x1234 + s;
    for (size_t i = 0; i < st.imageErrors.size(); ++i)
        st.imageErrors[i] = static_cast<uint8_t>(0x40 + i);
    for (size_t i = 0; i < st.tokenPartId.size(); ++i)
        st.tokenPartId[i] = static_cast<uint8_t>(0x60 + i);
    st.nonce = 0x0A0B0C0D;
    st.trustedTime = 0x11223344;
    st.deviceId = 0x55667788 + s;
    st.currentOperation = 7;
    st.tokens[3] = testkit::pattern(100, s);

    xolsim::StorageDevice& spi = st.device(1, 0);
    spi.cardInfo = {1, 0x10, 0x00};
    spi.media[0] = testkit::pattern(8 * 512, s + 1);
    xolsim::StorageDevice& emmc = st.device(2, 0);
    emmc.cardInfo = testkit::pattern(548, s + 2);
    for (uint8_t p = 0; p < 3; ++p)
        emmc.media[p] = testkit::pattern(64 * 512, s + 3 + p);
    xolsim::StorageDevice& ufs = st.device(3, 0);
    ufs.cardInfo = ufsCardInfo(212, 16777216, 8192, 1);
    ufs.media[0] = testkit::pattern(16 * 512, s + 6);
    return st;
}

// One simulated board on the bed.
struct Board {
    std::shared_ptr<XolDevice> dev;
    SimBed::DeviceId id = 0;
    std::string ident; // its device identifier, lower case

    size_t mark() const
    {
        return dev->inspect([](const XolDeviceState& s) { return s.commands.size(); });
    }
    // Initial commands the board saw from `from` on.
    std::vector<Bytes> commandsSince(size_t from) const
    {
        return dev->inspect([from](const XolDeviceState& s) {
            return std::vector<Bytes>(s.commands.begin() +
                                          static_cast<long>(std::min(from, s.commands.size())),
                                      s.commands.end());
        });
    }
    std::vector<uint8_t> codesSince(size_t from) const
    {
        std::vector<uint8_t> codes;
        for (const Bytes& c : commandsSince(from))
            codes.push_back(c.at(4));
        return codes;
    }
    std::vector<std::string> hostErrors() const
    {
        return dev->inspect([](const XolDeviceState& s) { return s.hostErrors; });
    }
};

// A bulk device at a port no board plugged a short while ago took: beds refuse two devices at
// one place.
inline SimDeviceDesc nextPort()
{
    static std::atomic<unsigned> next{0};
    SimDeviceDesc desc = SimDeviceDesc::bulk();
    desc.portNumbers = {static_cast<uint8_t>(1 + next++ % 127)};
    return desc;
}

template <class Device = XolDevice>
Board plugBoard(SimBed& bed, XolDeviceState st, const SimDeviceDesc& desc = nextPort())
{
    Board b;
    b.ident = identifierOf(st.platformId);
    auto dev = std::make_shared<Device>(std::move(st));
    b.dev = dev;
    b.id = bed.plug(desc, dev);
    return b;
}

// The identifiers the library lists, in its order. A board that leaves between the listing's two
// steps fails it with "Device not found": the library is then asked again.
inline std::vector<std::string> listed(IVemoAPI* api)
{
    std::vector<std::string> ids;
    unsigned long status = 0;
    _error_msg_t msg{};
    eventually([&] {
        _soc_device_info_arr_t targets{};
        status = api->getavailabletargets(&targets, &msg);
        ids.clear();
        for (uint32_t i = 0; status == 0 && i < targets.ids.count; ++i)
            ids.push_back(targets.ids.devices[i].id);
        return status != 0x30003;
    });
    if (status != 0)
        return {"listing failed: " + std::string(msg.text)};
    return ids;
}

inline bool isListed(IVemoAPI* api, const std::string& ident)
{
    auto ids = listed(api);
    return std::find(ids.begin(), ids.end(), ident) != ids.end();
}

// Waits (bounded) until the identifier is listed, or no longer listed.
// A listing that fails (a device leaving between its two steps) tells nothing either way.
inline bool waitListed(IVemoAPI* api, const std::string& ident, bool present = true)
{
    return eventually([&] {
        auto ids = listed(api);
        if (ids.size() == 1 && ids[0].rfind("listing failed: ", 0) == 0)
            return false;
        return (std::find(ids.begin(), ids.end(), ident) != ids.end()) == present;
    });
}

// Runs Get Token Part ID on the board, its results dropped: an operation with one negotiation,
// whose Set Protocol carries the time-out the job was built with.
inline unsigned long askTokenPartId(IVemoAPI* api, const char* recovery, const Board& b,
                                    _error_msg_t* msg)
{
    _token_part_id_t part;
    unsigned int nonce, trusted, deviceId;
    _oem_platform_id_t oem;
    return api->gettokenpid(recovery, 0, &part, &nonce, &trusted, &deviceId, &oem,
                            b.ident.c_str(), msg, nullptr, nullptr);
}

inline uint32_t negotiatedTimeout(const Board& b)
{
    return b.dev->inspect([](const XolDeviceState& s) { return s.protocolTimeout; });
}

// Puts the library's default time-out back when a test that changes it ends, whatever happens.
struct DefaultTimeoutAtEnd {
    IVemoAPI* api;
    ~DefaultTimeoutAtEnd() { api->setusbreadwritedelay(5000, nullptr); }
};

// Collects what the progress callback is given.
class Progress {
public:
    static void callback(unsigned long first, const char* text, void* context)
    {
        auto* self = static_cast<Progress*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            if (first != 0)
                self->nonZeroFirst = true;
            self->texts.push_back(text);
        }
        if (self->onRecord)
            self->onRecord(text);
    }
    // Runs on the reporting thread after each record is kept.
    std::function<void(const std::string&)> onRecord;
    std::vector<std::string> all() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    // Without the protocol's message traces.
    std::vector<std::string> jobRecords() const
    {
        std::vector<std::string> jobs;
        for (const std::string& t : all())
            if (!isTrace(t))
                jobs.push_back(t);
        return jobs;
    }
    bool saw(const std::string& prefix) const
    {
        for (const std::string& t : all())
            if (t.compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        texts.clear();
    }
    bool firstArgumentAlwaysZero() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return !nonZeroFirst;
    }
    static bool isTrace(const std::string& t)
    {
        return t.rfind("TX: ", 0) == 0 || t.rfind("RX: ", 0) == 0 || t.rfind("Reading ", 0) == 0;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> texts;
    bool nonZeroFirst = false;
};

// The records of the context switch, in order.
inline std::vector<std::string> queryRecords(unsigned ctx)
{
    char text[32];
    std::snprintf(text, sizeof text, "Current context: %#x", ctx);
    return {"Resetting XoL protocol", "Success", text};
}
inline std::vector<std::string> recoveryRecords()
{
    return {"Preparing device for recovery module download", "Success",
            "Downloading recovery module", "Success"};
}
inline std::vector<std::string> ifpRecords()
{
    return {"Sending \"IFP emulation\" XoL command", "Success"};
}
inline std::vector<std::string> negotiationRecords()
{
    return {"Setting XoL protocol version and timeout", "Sending \"Set Protocol\" XoL command",
            "Protocol version: 0x1", "Success",
            "XoL protocol version and timeout were set successfully"};
}
inline std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline _id_dev_ifp_emulation_t ifpRecord(uint32_t word0, const char oem[4], uint8_t fill)
{
    _id_dev_ifp_emulation_t r;
    for (size_t i = 0; i < sizeof r.data; ++i)
        r.data[i] = static_cast<uint8_t>(fill + i);
    std::memcpy(r.data, &word0, 4);
    std::memcpy(r.data + 16, oem, 4);
    return r;
}

inline std::array<uint8_t, 44> bytesOf(const _id_dev_ifp_emulation_t& r)
{
    std::array<uint8_t, 44> a;
    std::memcpy(a.data(), r.data, a.size());
    return a;
}

} // namespace ops

#endif
