// The XoL messages byte by byte: request codes, markers, the fields of the request and response
// headers, and where each command's fields sit in its initial command and final response.
#ifndef XOL_MESSAGE_LAYOUT_H
#define XOL_MESSAGE_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "little_endian.h"

namespace xolmsg {

enum RequestCode : unsigned int {
    idDevice = 0x01,
    downloadRecoveryModule = 0x02,
    clearData = 0x10,
    configureDevice = 0x11,
    getCardInfo = 0x12,
    startOver = 0x13,
    oemIfpProvision = 0x14,
    provisionFwImage = 0x15,
    ifpEmulation = 0x16,
    setProtocol = 0x17,
    setDeviceLifecycleStage = 0x20,
    getTokenPartId = 0x21,
    readToken = 0x22,
    writeToken = 0x23,
    eraseToken = 0x24,
    readBootMedia = 0x25,
};

// A device answers request code c with response code responseBit + c.
constexpr uint32_t responseBit = 0x800000;
constexpr uint32_t responseCodeOf(unsigned int request)
{
    return responseBit + request;
}
// The ROM's header-only answer to a module download: the message is its 20 header bytes,
// whatever its length field says.
constexpr uint32_t headerOnlyResponseCode = responseBit + 0x03;

enum Marker : uint8_t {
    markerFinal = 0x00,     // host: initial command; device: final response
    markerChunk = 0x5A,     // upload chunk (host) or download chunk (device)
    markerHeartbeat = 0x87, // device only: busy, read again
    markerRequest = 0xA5,   // host: next download chunk; device: next upload chunk
};

// Flags of a device's data request: send the chunk without header.
constexpr uint32_t flagPayloadOnly = 0x1;

// Field widths in bytes.
constexpr int u24 = 3;
constexpr int u32 = 4;

// Request header (host to device), message offsets.
namespace request {
constexpr size_t messageLength = 0; // u24: header plus data
constexpr size_t headerLength = 3;  // u8: always the header's size
constexpr size_t code = 4;          // u24
constexpr size_t marker = 7;        // u8
constexpr size_t additional = 8;    // u32, meaning by marker
constexpr size_t reserved = 12;     // u32, zero
constexpr size_t data = 16;
constexpr size_t header = data;
} // namespace request

// Response header (device to host), message offsets.
namespace response {
constexpr size_t messageLength = 0; // u24
constexpr size_t headerLength = 3;  // u8: enters only the data length; data start at `data`
constexpr size_t status = 4;        // u32 firmware status, 0 success
constexpr size_t code = 8;          // u24
constexpr size_t marker = 11;       // u8
constexpr size_t additional = 12;   // u32, meaning by marker
constexpr size_t flags = 16;        // u32, read in a data request only
constexpr size_t data = 20;
constexpr size_t header = data;
} // namespace response

// Initial commands and chunk requests carry this many payload bytes; final responses this
// many data bytes (a header-only message counts as carrying them).
constexpr size_t initialPayloadLength = 48;
constexpr size_t finalDataLength = 44;

// Initial-command payload fields, message offsets; every other payload byte is zero.
namespace payload {
constexpr size_t word0 = 16; // u32 first parameter of Id Device, Start Over, Set Protocol, Get
                             // Token Part ID
constexpr size_t word1 = 20; // u32 second parameter of Id Device
constexpr size_t deviceType = 16;  // u8 of Clear Data, Configure Device, Get Card Info, Read Boot
constexpr size_t deviceIndex = 17; // u8 Media
constexpr size_t tokenSlot = 16;   // u8 of Read, Write and Erase Token
constexpr size_t ifpRecord = 16;   // the IFP emulation record, byte for byte
// Set Protocol.
constexpr size_t protocolVersion = 20;  // u32
constexpr size_t transferTimeout = 24;  // u32, milliseconds
// Download Recovery Module and Provision FW Image: the module's place in the image.
constexpr size_t moduleFormat = 16; // u32, always 1
constexpr size_t headerSize = 20;   // u32
constexpr size_t moduleSize = 24;   // u32
constexpr size_t provisionFlags = 28; // u32, Provision FW Image only
// Read Boot Media: SPI flash addresses blocks only; eMMC and UFS name a partition first.
constexpr size_t spiStart = 24;       // u32
constexpr size_t spiCount = 32;       // u32
constexpr size_t partition = 24;      // u8
constexpr size_t partitionStart = 28; // u32
constexpr size_t partitionCount = 36; // u32
} // namespace payload

// Final-response fields the host reads, offsets into the response data (message offset minus
// response::data).
namespace reply {
// Byte-string fields and their sizes.
constexpr size_t oemPlatformIdBytes = 4;
constexpr size_t platformUniqueIdBytes = 16;
constexpr size_t imageErrorValuesBytes = 12;
constexpr size_t tokenPartIdBytes = 12;
// Id Device.
constexpr size_t oemPlatformId = 0;
constexpr size_t platformUniqueId = 8;
constexpr size_t idFlags = 24; // u32
constexpr size_t imageErrorValues = 28;
// Get Token Part ID.
constexpr size_t tokenPartId = 0;
constexpr size_t nonce = 12;       // u32
constexpr size_t trustedTime = 16; // u32
constexpr size_t deviceId = 20;    // u32
constexpr size_t tokenOemPlatformId = 24;
// Start Over.
constexpr size_t currentOperation = 0; // u32
constexpr size_t currentContext = 4;   // u32
// Set Protocol.
constexpr size_t acceptedVersion = 0; // u32
// Get Card Info: the device type the device reports.
constexpr size_t cardDeviceType = 0; // u8
// Read Boot Media.
constexpr size_t maxChunk = 0;  // u32, blocks
constexpr size_t blockSize = 4; // u32, bytes
} // namespace reply

} // namespace xolmsg

#endif
