#include "xol_device.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "xol_wire.h"

namespace xolsim {

using namespace xolwire;

namespace {

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

bool isUpload(uint8_t code)
{
    switch (code) {
    case kDownloadRecoveryModule:
    case kConfigureDevice:
    case kOemIfpProvision:
    case kProvisionFwImage:
    case kSetDeviceLifecycleStage:
    case kWriteToken:
        return true;
    default:
        return false;
    }
}

bool allowedInRom(uint8_t code)
{
    return code == kIdDevice || code == kDownloadRecoveryModule || code == kStartOver ||
           code == kIfpEmulation;
}

// Message offsets [begin, end) of the payload fields a command carries; -1 for an unknown code.
using Ranges = std::vector<std::pair<int, int>>;
std::optional<Ranges> payloadFields(uint8_t code, uint8_t deviceType)
{
    switch (code) {
    case kIdDevice: return Ranges{{16, 24}};
    case kDownloadRecoveryModule: return Ranges{{16, 28}};
    case kClearData:
    case kConfigureDevice:
    case kGetCardInfo: return Ranges{{16, 18}};
    case kStartOver: return Ranges{{16, 20}};
    case kOemIfpProvision:
    case kSetDeviceLifecycleStage: return Ranges{};
    case kProvisionFwImage: return Ranges{{16, 32}};
    case kIfpEmulation: return Ranges{{16, 60}};
    case kSetProtocol: return Ranges{{16, 28}};
    case kGetTokenPartId: return Ranges{{16, 20}};
    case kReadToken:
    case kWriteToken:
    case kEraseToken: return Ranges{{16, 17}};
    case kReadBootMedia:
        if (deviceType == 1)
            return Ranges{{16, 18}, {24, 28}, {32, 36}};
        if (deviceType == 2 || deviceType == 3)
            return Ranges{{16, 18}, {24, 25}, {28, 32}, {36, 40}};
        return Ranges{{16, 64}};  // answered as an unknown device type, layout unknown
    default: return std::nullopt;
    }
}

Bytes finalMessage(uint32_t status, uint32_t code, uint32_t additional, const Bytes& data)
{
    return deviceMessage(status, kResponseBit | code, kMarkerCommand, additional, 0, data);
}

} // namespace

XolDevice::XolDevice(XolDeviceState initial) : st(std::move(initial)) {}

XolDeviceState XolDevice::state() const
{
    std::lock_guard<std::mutex> guard(lock);
    return st;
}

void XolDevice::inject(const Fault& fault)
{
    std::lock_guard<std::mutex> guard(lock);
    st.faults.push_back(fault);
}

void XolDevice::onBulkOut(const Bytes& data)
{
    std::vector<Bytes> answers;
    {
        std::lock_guard<std::mutex> guard(lock);
        out = &answers;
        handle(data);
        out = nullptr;
    }
    // Unlocked: a bed may hand the message to the host on this very thread.
    for (auto& m : answers)
        sendIn(std::move(m));
}

size_t XolDevice::payloadOnlyLength() const
{
    std::lock_guard<std::mutex> guard(lock);
    if (ex.phase != Phase::Upload || !ex.payloadOnly)
        return 0;
    return static_cast<size_t>(std::min<uint64_t>(ex.asked, ex.total - ex.received));
}

void XolDevice::busReset()
{
    std::lock_guard<std::mutex> guard(lock);
    ex = Exchange();
}

uint32_t XolDevice::responseCode() const { return kResponseBit | ex.code; }

void XolDevice::handle(const Bytes& data)
{
    if (ex.phase == Phase::Upload && ex.payloadOnly) {
        takeUploadBytes(data.data(), data.size());
        return;
    }
    if (data.size() < kRequestHeader) {
        refuseHost(ex.code, kStatusInvalidCommand,
                   "transfer of " + std::to_string(data.size()) + " bytes, shorter than a header");
        return;
    }
    const uint8_t* msg = data.data();
    const uint32_t length = get24(msg);
    const uint32_t code = get24(msg + 4);
    if (msg[3] != kRequestHeader) {
        refuseHost(code, kStatusInvalidCommand, "header length " + std::to_string(msg[3]));
        return;
    }
    if (length < kRequestHeader || length > data.size()) {
        refuseHost(code, kStatusInvalidCommand,
                   "length field " + std::to_string(length) + " in a transfer of " +
                       std::to_string(data.size()) + " bytes");
        return;
    }
    st.ignoredBytes += data.size() - length;
    if (get32(msg + 12) != 0) {
        refuseHost(code, kStatusInvalidParameter, "reserved header bytes not zero");
        return;
    }
    switch (msg[7]) {
    case kMarkerCommand: startCommand(msg, length); break;
    case kMarkerChunk: uploadChunk(msg, length); break;
    case kMarkerRequest: chunkRequest(msg, length); break;
    default: refuseHost(code, kStatusInvalidCommand, "host marker " + hex(msg[7]));
    }
}

void XolDevice::startCommand(const uint8_t* msg, uint32_t length)
{
    // A new command ends whatever exchange the host gave up.
    ex = Exchange();
    const uint32_t code = get24(msg + 4);
    ex.code = static_cast<uint8_t>(code);
    st.commands.emplace_back(msg, msg + length);
    if (code > 0xFF || !payloadFields(ex.code, 0)) {
        refuseHost(code, kStatusInvalidCommand, "unknown request code " + hex(code));
        return;
    }
    if (length != kCommandLength) {
        refuseHost(code, kStatusInvalidParameter,
                   "initial command of " + std::to_string(length) + " bytes");
        return;
    }
    ex.command.assign(msg, msg + length);
    if (!validPayload(msg))
        return;
    if (!isUpload(ex.code) && get32(msg + 8) != 0) {
        refuseHost(code, kStatusInvalidParameter,
                   "additional data length " + std::to_string(get32(msg + 8)) +
                       " for a command without upload");
        return;
    }
    if (st.romLimits && st.context == 0 && !allowedInRom(ex.code)) {
        answerStatus(st.romRefusal);
        return;
    }
    runCommand(msg);
}

bool XolDevice::validPayload(const uint8_t* msg)
{
    bool used[kCommandLength] = {};
    const Ranges fields = payloadFields(ex.code, msg[16]).value_or(Ranges());
    for (auto [b, e] : fields)
        std::fill(used + b, used + e, true);
    for (size_t i = kRequestHeader; i < kCommandLength; ++i) {
        if (!used[i] && msg[i] != 0) {
            refuseHost(ex.code, kStatusInvalidParameter,
                       "payload byte " + std::to_string(i) + " not zero");
            return false;
        }
    }
    const uint32_t first = get32(msg + 16);
    const bool module = ex.code == kDownloadRecoveryModule || ex.code == kProvisionFwImage;
    if ((module && first != 1) || (ex.code == kSetProtocol && first != 0)) {
        refuseHost(ex.code, kStatusInvalidParameter, "first payload word " + hex(first));
        return false;
    }
    return true;
}

uint32_t XolDevice::storageStatus(uint8_t type, uint8_t index) const
{
    // Type 0 asks the board to pick the device itself: only a board holding a device under
    // type 0 (with the type it reports) answers it.
    const bool known = st.storage.count({type, index}) != 0;
    if (type > 3 || (type == 0 && !known))
        return kStatusInvalidDeviceType;
    return known ? 0u : uint32_t(kStatusUnsupportedStorage);
}

void XolDevice::runCommand(const uint8_t* msg)
{
    const uint8_t type = msg[16];
    const uint8_t index = msg[17];
    const uint8_t slot = msg[16];
    const uint32_t slotStatus = slot < st.tokenSlots ? 0u : uint32_t(kStatusInvalidTokenSlot);

    switch (ex.code) {
    case kIdDevice:
        answer([&](Bytes& d) {
            st.idDeviceParams = {get32(msg + 16), get32(msg + 20)};
            std::copy(st.oemPlatformId.begin(), st.oemPlatformId.end(), d.begin());
            std::copy(st.platformId.begin(), st.platformId.end(), d.begin() + 8);
            put32(&d[24], st.idFlags);
            std::copy(st.imageErrors.begin(), st.imageErrors.end(), d.begin() + 28);
            return 0u;
        });
        break;
    case kStartOver:
        answer([&](Bytes& d) {
            st.startOverFlags.push_back(get32(msg + 16));
            put32(&d[0], st.currentOperation);
            put32(&d[4], st.context);
            return 0u;
        });
        break;
    case kIfpEmulation:
        answer([&](Bytes&) {
            std::array<uint8_t, 44> record;
            std::copy(msg + 16, msg + 60, record.begin());
            st.ifpEmulation = record;
            return 0u;
        });
        break;
    case kSetProtocol:
        answer([&](Bytes& d) {
            const uint32_t version = get32(msg + 20);
            st.protocolTimeout = get32(msg + 24);
            if (!st.acceptedVersions.count(version))
                return st.versionRefusal;
            st.protocolVersion = version;
            put32(&d[0], version);
            return 0u;
        });
        break;
    case kGetTokenPartId:
        answer([&](Bytes& d) {
            st.tokenPartIdParam = get32(msg + 16);
            std::copy(st.tokenPartId.begin(), st.tokenPartId.end(), d.begin());
            put32(&d[12], st.nonce);
            put32(&d[16], st.trustedTime);
            put32(&d[20], st.deviceId);
            std::copy(st.oemPlatformId.begin(), st.oemPlatformId.end(), d.begin() + 24);
            return 0u;
        });
        break;
    case kEraseToken:
        answer([&](Bytes&) {
            if (slotStatus)
                return slotStatus;
            return st.tokens.erase(slot) ? 0u : kStatusTokenMissing;
        });
        break;
    case kClearData:
        answer([&](Bytes&) {
            if (uint32_t s = storageStatus(type, index))
                return s;
            st.device(type, index).rpmbCleared = true;
            return 0u;
        });
        break;

    case kDownloadRecoveryModule:
    case kProvisionFwImage:
    case kOemIfpProvision:
    case kSetDeviceLifecycleStage:
        beginUpload();
        break;
    case kConfigureDevice:
        if (uint32_t s = storageStatus(type, index))
            answerStatus(s);
        else
            beginUpload();
        break;
    case kWriteToken:
        if (slotStatus)
            answerStatus(slotStatus);
        else
            beginUpload();
        break;

    case kGetCardInfo: {
        if (uint32_t s = storageStatus(type, index)) {
            answerStatus(s);
            break;
        }
        const StorageDevice& dev = st.device(type, index);
        Bytes d(kFinalData);
        d[0] = dev.reportedType.value_or(type);
        beginDownload(dev.cardInfo, 1, dev.cardInfo.size(), d, 0);
        break;
    }
    case kReadToken: {
        auto it = st.tokens.find(slot);
        if (slotStatus || it == st.tokens.end()) {
            answerStatus(slotStatus ? slotStatus : kStatusTokenMissing);
            break;
        }
        beginDownload(it->second, 1, it->second.size(), Bytes(kFinalData), 0);
        break;
    }
    case kReadBootMedia: {
        if (uint32_t s = storageStatus(type, index)) {
            answerStatus(s);
            break;
        }
        StorageDevice::Read read;
        if (type == 1) {
            read.start = get32(msg + 24);
            read.count = get32(msg + 32);
        } else {
            read.partition = msg[24];
            read.start = get32(msg + 28);
            read.count = get32(msg + 36);
        }
        StorageDevice& dev = st.device(type, index);
        dev.lastRead = read;
        auto part = dev.media.find(read.partition);
        if (part == dev.media.end()) {
            answerStatus(kStatusInvalidPartition);
            break;
        }
        const uint64_t bs = dev.blockSize;
        const uint64_t begin = read.start * bs;
        const uint64_t end = begin + read.count * bs;
        if (end > part->second.size()) {
            answerStatus(kStatusInvalidOffset);
            break;
        }
        Bytes d(kFinalData);
        put32(&d[0], dev.maxChunk);
        put32(&d[4], dev.blockSize);
        beginDownload(Bytes(), bs, read.count, d, dev.maxChunk, &part->second, begin);
        break;
    }
    }
}

// --- answers

template <class Act>
void XolDevice::answer(Act act)
{
    auto fault = takeFault(Reply::Final);
    Bytes data(kFinalData);
    uint32_t status = 0;
    if (!fault || !fault->status)
        status = act(data);
    ex.phase = Phase::Idle;
    emit(finalMessage(status, ex.code, 0, data), fault);
}

void XolDevice::answerStatus(uint32_t status)
{
    answer([status](Bytes&) { return status; });
}

std::optional<Fault> XolDevice::takeFault(Reply kind)
{
    for (auto it = st.faults.begin(); it != st.faults.end(); ++it) {
        if (it->code != ex.code || (it->on != Reply::Any && it->on != kind))
            continue;
        if (it->skip) {
            --it->skip;
            continue;
        }
        Fault f = *it;
        if (!f.sticky)
            st.faults.erase(it);
        return f;
    }
    return std::nullopt;
}

// A fault with a firmware status replaces the answer: the command is not carried out.
bool XolDevice::faultStatus(const std::optional<Fault>& fault, Reply kind)
{
    if (!fault || !fault->status)
        return false;
    const uint8_t marker = kind == Reply::DataRequest ? kMarkerRequest
                         : kind == Reply::Chunk       ? kMarkerChunk
                                                      : kMarkerCommand;
    const Bytes data(kind == Reply::Final ? kFinalData : 0);
    ex.phase = Phase::Idle;
    emit(deviceMessage(0, responseCode(), marker, 0, 0, data), fault);
    return true;
}

void XolDevice::emit(Bytes msg, const std::optional<Fault>& fault)
{
    const unsigned heartbeats = st.heartbeats + (fault ? fault->heartbeats : 0);
    for (unsigned i = 0; i < heartbeats; ++i)
        out->push_back(deviceMessage(0, responseCode(), kMarkerHeartbeat, 0, 0));
    if (fault) {
        const Fault& f = *fault;
        if (f.status)
            put32(&msg[4], f.status);
        if (f.responseCode)
            put24(&msg[8], *f.responseCode);
        if (f.marker)
            msg[11] = *f.marker;
        if (f.additional)
            put32(&msg[12], *f.additional);
        if (f.data) {
            msg.resize(kResponseHeader);
            msg.insert(msg.end(), f.data->begin(), f.data->end());
        }
        const size_t size = f.size ? *f.size : msg.size();
        msg.resize(std::max(size, kResponseHeader));
        put24(&msg[0], static_cast<uint32_t>(size));
        if (f.headerLength)
            msg[3] = *f.headerLength;
        if (f.lengthField)
            put24(&msg[0], *f.lengthField);
        msg.resize(size);
        if (f.alters() && !f.keepExchange)
            ex.phase = Phase::Idle;
    }
    out->push_back(std::move(msg));
}

void XolDevice::refuseHost(uint32_t code, uint32_t status, const std::string& why)
{
    st.hostErrors.push_back(why);
    ex.phase = Phase::Idle;
    out->push_back(finalMessage(status, code, 0, Bytes(kFinalData)));
}

// --- uploads

void XolDevice::beginUpload()
{
    ex.phase = Phase::Upload;
    ex.total = get32(&ex.command[8]);
    nextUploadStep();
}

void XolDevice::nextUploadStep()
{
    const uint64_t left = ex.total - ex.received;
    if (left == 0) {
        finishUpload();
        return;
    }
    UploadStep step = st.uploadDefault;
    auto& script = st.uploadScript[ex.code];
    if (!script.empty()) {
        step = script.front();
        script.pop_front();
    } else if (step.size == 0 || step.size > left) {
        step.size = static_cast<uint32_t>(left);
    }
    if (st.uploadScript[ex.code].empty())
        st.uploadScript.erase(ex.code);
    if (step.enough) {
        finishUpload();
        return;
    }

    auto fault = takeFault(Reply::DataRequest);
    if (faultStatus(fault, Reply::DataRequest))
        return;
    ex.asked = step.size;
    ex.payloadOnly = step.payloadOnly;
    // Asking past the end is a scripted fault: the host refuses it and starts over.
    if (step.size > left)
        ex.phase = Phase::Idle;
    emit(deviceMessage(0, responseCode(), kMarkerRequest, step.size,
                       step.payloadOnly ? kFlagPayloadOnly : 0),
         fault);
}

void XolDevice::uploadChunk(const uint8_t* msg, uint32_t length)
{
    const uint32_t code = get24(msg + 4);
    if (ex.phase != Phase::Upload || code != ex.code) {
        refuseHost(code, kStatusInvalidCommand, "upload chunk outside an upload");
        return;
    }
    const uint32_t n = length - static_cast<uint32_t>(kRequestHeader);
    const uint64_t left = ex.total - ex.received;
    if (n <= left && get32(msg + 8) != left - n) {
        refuseHost(code, kStatusInvalidParameter,
                   "upload chunk announces " + std::to_string(get32(msg + 8)) + " bytes left, " +
                       std::to_string(left - n) + " are");
        return;
    }
    takeUploadBytes(msg + kRequestHeader, n);
}

void XolDevice::takeUploadBytes(const uint8_t* p, size_t n)
{
    if (n > ex.asked || n > ex.total - ex.received) {
        refuseHost(ex.code, kStatusInvalidChunkSize,
                   "upload chunk of " + std::to_string(n) + " bytes, " +
                       std::to_string(ex.asked) + " asked");
        return;
    }
    const bool image = ex.code == kDownloadRecoveryModule || ex.code == kProvisionFwImage;
    if (!image || st.keepImages)
        ex.data.insert(ex.data.end(), p, p + n);
    ex.received += n;
    nextUploadStep();
}

void XolDevice::finishUpload()
{
    const uint8_t* cmd = ex.command.data();
    answer([&](Bytes&) {
        switch (ex.code) {
        case kDownloadRecoveryModule:
        case kProvisionFwImage: {
            ImageUpload up;
            up.headerSize = get32(cmd + 20);
            up.moduleSize = get32(cmd + 24);
            up.length = ex.received;
            up.image = std::move(ex.data);
            if (ex.code == kProvisionFwImage) {
                up.flags = get32(cmd + 28);
                st.firmwareImage = std::move(up);
            } else {
                st.recoveryModule = std::move(up);
                st.context = 1;
            }
            break;
        }
        case kConfigureDevice: st.device(cmd[16], cmd[17]).lastConfigRequest = ex.data; break;
        case kOemIfpProvision: st.oemIfpBlock = ex.data; break;
        case kSetDeviceLifecycleStage: st.lifecycleStage = ex.data; break;
        case kWriteToken: st.tokens[cmd[16]] = ex.data; break;
        }
        return 0u;
    });
}

// --- downloads

void XolDevice::beginDownload(Bytes content, uint64_t unit, uint64_t units, const Bytes& finalData,
                              uint32_t maxChunk, const Bytes* source, uint64_t base)
{
    auto fault = takeFault(Reply::Final);
    if (faultStatus(fault, Reply::Final))
        return;
    ex.phase = Phase::Download;
    ex.content = std::move(content);
    ex.source = source;
    ex.base = base;
    ex.unit = unit;
    ex.left = units;
    ex.maxChunk = maxChunk;
    emit(finalMessage(0, ex.code, static_cast<uint32_t>(units), finalData), fault);
}

void XolDevice::keepDownload()
{
    if (ex.source == nullptr)
        return;
    if (ex.phase != Phase::Download) {
        ex.source = nullptr;
        return;
    }
    const auto first = ex.source->begin() + static_cast<std::ptrdiff_t>(ex.base);
    ex.content.assign(first, first + static_cast<std::ptrdiff_t>((ex.pos + ex.left) * ex.unit));
    ex.source = nullptr;
    ex.base = 0;
}

void XolDevice::chunkRequest(const uint8_t* msg, uint32_t length)
{
    const uint32_t code = get24(msg + 4);
    if (ex.phase != Phase::Download || code != ex.code) {
        refuseHost(code, kStatusInvalidCommand, "chunk request outside a download");
        return;
    }
    if (length != kCommandLength ||
        !std::equal(msg + kRequestHeader, msg + kCommandLength,
                    ex.command.begin() + kRequestHeader)) {
        refuseHost(code, kStatusInvalidParameter,
                   "chunk request does not repeat the initial command's payload");
        return;
    }
    const uint32_t asked = get32(msg + 8);
    std::string bad;
    if (asked > ex.left)
        bad = "chunk request for " + std::to_string(asked) + " units, " +
              std::to_string(ex.left) + " left";
    else if (asked * ex.unit > kMaxChunkData)
        bad = "chunk request for " + std::to_string(asked * ex.unit) + " bytes";
    else if (ex.code == kReadBootMedia && ex.maxChunk && asked > ex.maxChunk)
        bad = "chunk request for " + std::to_string(asked) + " blocks, maximum " +
              std::to_string(ex.maxChunk);
    if (!bad.empty()) {
        refuseHost(code, kStatusInvalidChunkSize, bad);
        return;
    }
    auto fault = takeFault(Reply::Chunk);
    if (faultStatus(fault, Reply::Chunk))
        return;
    const int64_t wanted = static_cast<int64_t>(asked) + (fault ? fault->chunkDelta : 0);
    const uint64_t give = std::min<uint64_t>(std::max<int64_t>(wanted, 0), ex.left);
    const uint8_t* first =
        (ex.source ? ex.source->data() + ex.base : ex.content.data()) + ex.pos * ex.unit;
    const size_t size = static_cast<size_t>(give * ex.unit);
    ex.pos += give;
    ex.left -= give;
    if (ex.left == 0)
        ex.phase = Phase::Idle;
    emit(deviceMessage(0, responseCode(), kMarkerChunk, static_cast<uint32_t>(ex.left), 0, first,
                       size),
         fault);
}

} // namespace xolsim
