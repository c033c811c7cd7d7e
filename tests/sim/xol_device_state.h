// Everything a simulated XoL board is: what it holds, how it behaves (upload script, injected
// faults) and what the host made it see. A plain value, so a scenario can keep a board in a file
// across processes.
#ifndef XOL_TEST_SIM_XOL_DEVICE_STATE_H
#define XOL_TEST_SIM_XOL_DEVICE_STATE_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace xolsim {

using Bytes = std::vector<uint8_t>;

// Firmware statuses the board answers with on its own account.
enum : uint32_t {
    kStatusInvalidCommand = 0x80000001,
    kStatusInvalidParameter = 0x80000011,
    kStatusInvalidOperation = 0x80000019,
    kStatusInvalidChunkSize = 0x8000001C,
    kStatusInvalidTokenSlot = 0x8000002A,
    kStatusInvalidDeviceType = 0x8000002D,
    kStatusInvalidPartition = 0x8000002E,
    kStatusInvalidVersion = 0x80000032,
    kStatusInvalidOffset = 0x80000034,
    kStatusTokenMissing = 0x80000037,
    kStatusUnsupportedStorage = 0x8000003A,
};

// One storage device of the board, keyed by (type, index).
struct StorageDevice {
    Bytes cardInfo;                      // sent by Get Card Info
    std::optional<uint8_t> reportedType; // type Get Card Info reports; the asked type when unset
    std::map<uint8_t, Bytes> media;      // boot media by partition (SPI flash: partition 0)
    uint32_t blockSize = 512;            // bytes per block of Read Boot Media
    uint32_t maxChunk = 16;              // blocks per chunk the device announces
    bool rpmbCleared = false;            // set by Clear Data
    std::optional<Bytes> lastConfigRequest;
    struct Read {
        uint8_t partition = 0;
        uint32_t start = 0;
        uint32_t count = 0;
    };
    std::optional<Read> lastRead;        // last Read Boot Media addressed to it
};

// An image the host uploaded with Download Recovery Module or Provision FW Image.
struct ImageUpload {
    uint32_t headerSize = 0;
    uint32_t moduleSize = 0;
    uint32_t flags = 0;    // Provision FW Image only
    uint64_t length = 0;   // bytes received
    Bytes image;           // empty unless keepImages
};

// One data request of an upload: how many bytes to ask, and whether without a header; or, with
// enough, no request: the board has what it needs and sends its final response, keeping what came.
struct UploadStep {
    uint32_t size = 0;
    bool payloadOnly = false;
    bool enough = false;
};

// Which device message of a command's exchange a fault alters; Any: the next one, whatever
// its kind.
enum class Reply { Any, Final, DataRequest, Chunk };

// Alters one device message (or every matching one when sticky). Any field besides heartbeats
// and chunkDelta alters the message, after which the board considers the exchange over unless
// keepExchange; a firmware status also means the command is not carried out. Size and
// lengthField together make a message that claims more than it holds (e.g. a 20-byte answer
// whose length field says 64).
struct Fault {
    uint8_t code = 0;   // request code of the command
    Reply on = Reply::Any;
    unsigned skip = 0;  // matching messages to let pass first
    bool sticky = false;

    uint32_t status = 0;
    std::optional<uint32_t> responseCode;
    std::optional<uint8_t> marker;
    std::optional<uint32_t> additional;
    std::optional<Bytes> data;             // replaces the data behind the header
    std::optional<uint32_t> size;          // message cut or zero-extended; length field follows
    std::optional<uint32_t> lengthField;   // written over the length field, whatever the size
    std::optional<uint8_t> headerLength;
    unsigned heartbeats = 0;               // sent before the message
    int chunkDelta = 0;                    // a download chunk delivers this many units more
    bool keepExchange = false;

    bool alters() const
    {
        return status || responseCode || marker || additional || data || size || lengthField ||
               headerLength;
    }
};

struct XolDeviceState {
    // --- the board
    uint32_t context = 0;            // 0 ROM, 1 XoL; a completed recovery download moves to 1
    uint32_t currentOperation = 0;   // reported by Start Over
    std::set<uint32_t> acceptedVersions{0, 1};
    std::optional<uint32_t> protocolVersion; // set by an accepted Set Protocol

    std::array<uint8_t, 4> oemPlatformId{};
    std::array<uint8_t, 16> platformId{};
    uint32_t idFlags = 0;
    std::array<uint8_t, 12> imageErrors{};
    std::array<uint8_t, 12> tokenPartId{};
    uint32_t nonce = 0;
    uint32_t trustedTime = 0;
    uint32_t deviceId = 0;

    std::optional<std::array<uint8_t, 44>> ifpEmulation;
    unsigned tokenSlots = 16;
    std::map<uint8_t, Bytes> tokens;
    std::optional<Bytes> lifecycleStage;  // the lifecycle token last applied
    std::optional<Bytes> oemIfpBlock;
    std::map<std::pair<uint8_t, uint8_t>, StorageDevice> storage;
    std::optional<ImageUpload> recoveryModule;
    std::optional<ImageUpload> firmwareImage;

    // --- behaviour
    bool keepImages = true;    // false: image uploads are counted, not kept (large benchmarks)
    bool romLimits = true;     // in ROM context only Id Device, recovery, Start Over, IFP Emulation
    uint32_t romRefusal = kStatusInvalidOperation;
    uint32_t versionRefusal = kStatusInvalidVersion;
    std::map<uint8_t, std::deque<UploadStep>> uploadScript; // by request code, consumed in order
    UploadStep uploadDefault{65536, false};  // size 0: ask for everything left
    unsigned heartbeats = 0;   // sent before every answer
    std::vector<Fault> faults;

    // --- what the host made the board see
    std::vector<Bytes> commands;          // every initial command, as read by its length
    std::vector<std::string> hostErrors;  // host messages the board refused as malformed
    uint64_t ignoredBytes = 0;            // bytes behind a message's length field (pad bytes)
    std::array<uint32_t, 2> idDeviceParams{};
    std::vector<uint32_t> startOverFlags;
    uint32_t tokenPartIdParam = 0;
    uint32_t protocolTimeout = 0;

    StorageDevice& device(uint8_t type, uint8_t index) { return storage[{type, index}]; }
};

// Keep a board in a file and bring it back (text format; throws std::runtime_error).
void saveState(const XolDeviceState& state, const std::string& path);
XolDeviceState loadState(const std::string& path);

} // namespace xolsim

#endif
