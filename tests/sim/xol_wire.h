// Device-side view of the XoL message layout: request codes, markers, header sizes, the
// little-endian field helpers and the encoder of a device message.
#ifndef XOL_TEST_SIM_XOL_WIRE_H
#define XOL_TEST_SIM_XOL_WIRE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace xolwire {

using Bytes = std::vector<uint8_t>;

enum Code : uint8_t {
    kIdDevice = 0x01,
    kDownloadRecoveryModule = 0x02,
    kClearData = 0x10,
    kConfigureDevice = 0x11,
    kGetCardInfo = 0x12,
    kStartOver = 0x13,
    kOemIfpProvision = 0x14,
    kProvisionFwImage = 0x15,
    kIfpEmulation = 0x16,
    kSetProtocol = 0x17,
    kSetDeviceLifecycleStage = 0x20,
    kGetTokenPartId = 0x21,
    kReadToken = 0x22,
    kWriteToken = 0x23,
    kEraseToken = 0x24,
    kReadBootMedia = 0x25,
};

enum Marker : uint8_t {
    kMarkerCommand = 0x00,  // host: initial command; device: final response
    kMarkerChunk = 0x5A,    // upload chunk (host) or download chunk (device)
    kMarkerHeartbeat = 0x87,
    kMarkerRequest = 0xA5,  // host: next download chunk; device: next upload chunk
};

constexpr uint32_t kResponseBit = 0x800000;
constexpr size_t kRequestHeader = 16;
constexpr size_t kResponseHeader = 20;
constexpr size_t kCommandLength = 64;   // initial commands and chunk requests
constexpr size_t kFinalData = 44;       // data bytes of a final response
constexpr size_t kHostReceive = 16384;  // the host's receive buffer
constexpr size_t kMaxChunkData = kHostReceive - kResponseHeader;
constexpr uint32_t kFlagPayloadOnly = 0x1;

inline uint32_t getLE(const uint8_t* p, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}
inline uint32_t get24(const uint8_t* p) { return getLE(p, 3); }
inline uint32_t get32(const uint8_t* p) { return getLE(p, 4); }

inline void putLE(uint8_t* p, uint32_t v, int width)
{
    for (int i = 0; i < width; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put24(uint8_t* p, uint32_t v) { putLE(p, v, 3); }
inline void put32(uint8_t* p, uint32_t v) { putLE(p, v, 4); }

// One device message: the 20-byte header followed by the `size` bytes at `data`; header length
// 20, message length the true size (truncated to its 24 bits).
inline Bytes deviceMessage(uint32_t status, uint32_t responseCode, uint8_t marker,
                           uint32_t additional, uint32_t flags, const uint8_t* data, size_t size)
{
    Bytes m;
    m.reserve(kResponseHeader + size);
    m.resize(kResponseHeader);
    put24(&m[0], static_cast<uint32_t>(kResponseHeader + size));
    m[3] = static_cast<uint8_t>(kResponseHeader);
    put32(&m[4], status);
    put24(&m[8], responseCode);
    m[11] = marker;
    put32(&m[12], additional);
    put32(&m[16], flags);
    m.insert(m.end(), data, data + size);
    return m;
}
inline Bytes deviceMessage(uint32_t status, uint32_t responseCode, uint8_t marker,
                           uint32_t additional, uint32_t flags, const Bytes& data = {})
{
    return deviceMessage(status, responseCode, marker, additional, flags, data.data(),
                         data.size());
}

} // namespace xolwire

#endif
