#include "xol_download_cmds.h"

#include <algorithm>
#include <string>

#include "exceptions.h"
#include "status_codes.h"

using namespace xolmsg;

namespace {

// Far above any token or card information record a board holds; a larger total is a device's
// error, and taking it would let the device size the host's memory.
constexpr size_t maxRecordBytes = 1u << 20;
constexpr char const* noProgress = "Download makes no progress";

[[noreturn]] void badSize()
{
    throw status::unexpectedMessageSize();
}

[[noreturn]] void badAdditional()
{
    throw status::unexpectedAdditionalSize();
}

} // namespace

ChunkedDownloadXolCmd::ChunkedDownloadXolCmd(XolAPI& api, std::streambuf* sink)
    : XolCmd(api),
      buffer(sink != nullptr ? nullptr
                             : std::make_unique<std::stringbuf>(std::ios_base::in |
                                                                std::ios_base::out |
                                                                std::ios_base::binary)),
      output(sink != nullptr ? sink : buffer.get()), fetching(false), unitBytes(0),
      expectedBytes(0), receivedBytes(0), askedBytes(0), lowestRemaining(0), requestsLeft(0)
{
    output.exceptions(std::ios_base::badbit | std::ios_base::eofbit | std::ios_base::failbit);
}

void ChunkedDownloadXolCmd::askFor(size_t amount)
{
    if (requestsLeft == 0)
        throw VemoException(VEMO_ERROR_ADDITIONAL_SIZE, noProgress);
    --requestsLeft;
    askedBytes = static_cast<uint64_t>(amount) * unitBytes;
    sendMessage(markerRequest, initialPayloadLength, amount, false);
}

void ChunkedDownloadXolCmd::beginDownload(size_t units, uint64_t bytesPerUnit)
{
    if (fetching)
        throw status::badResponseMarker();
    fetching = true;
    unitBytes = bytesPerUnit;
    expectedBytes = static_cast<uint64_t>(units) * bytesPerUnit;
    lowestRemaining = units;
    requestsLeft = static_cast<uint64_t>(units) + stallAllowance;
    askFor(nextAmount(units));
}

void ChunkedDownloadXolCmd::account(size_t length, size_t remaining)
{
    // Before the final response there is no total, and for Read Boot Media no block size.
    if (!fetching)
        throw status::responseDataUnsupported();
    if (length > askedBytes || length > expectedBytes - receivedBytes)
        badSize();
    // What is still to come only falls: a figure above one already given is no count at all.
    if (remaining > lowestRemaining)
        badAdditional();
    receivedBytes += length;
    if (remaining == 0 && receivedBytes != expectedBytes)
        badSize();
}

void ChunkedDownloadXolCmd::handleAddResponseData(void const* data, size_t length,
                                                  size_t remaining)
{
    account(length, remaining);
    if (length > 0)
        output.write(static_cast<char const*>(data), static_cast<std::streamsize>(length));
    if (remaining == 0) {
        complete();
        return;
    }
    // Chunks that do not lower what is still to come, whatever bytes they bring.
    guardProgress(remaining < lowestRemaining, noProgress);
    lowestRemaining = remaining;
    askFor(nextAmount(remaining));
}

GetCardInfoXolCmd::GetCardInfoXolCmd(XolAPI& api, unsigned char type, unsigned char index)
    : FixedCodeXolCmd(api), type(type), index(index)
{
}

void GetCardInfoXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[payload::deviceType] = type;
    m[payload::deviceIndex] = index;
    sendInitialPayload(0);
}

void GetCardInfoXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    if (length != finalDataLength)
        badSize();
    if (additional == 0 || additional > maxRecordBytes)
        badAdditional();
    requireReceivedData(reply::cardDeviceType + 1);
    // The device's report, not the request.
    type = static_cast<uint8_t const*>(data)[reply::cardDeviceType];
    beginDownload(additional, 1);
}

size_t GetCardInfoXolCmd::nextAmount(size_t remaining) const
{
    return std::min(remaining, chunkLimit());
}

void GetCardInfoXolCmd::complete()
{
    response = std::make_shared<XolAPI::GetCardInfoResponse>(0, 0, type, buffer);
}

ReadTokenXolCmd::ReadTokenXolCmd(XolAPI& api, unsigned char slot)
    : FixedCodeXolCmd(api), slot(slot)
{
}

void ReadTokenXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[payload::tokenSlot] = slot;
    sendInitialPayload(0);
}

void ReadTokenXolCmd::handleResponse(void const*, size_t length, size_t additional)
{
    if (length != finalDataLength)
        badSize();
    if (additional == 0 || additional > maxRecordBytes)
        badAdditional();
    beginDownload(additional, 1);
}

size_t ReadTokenXolCmd::nextAmount(size_t remaining) const
{
    return std::min(remaining, chunkLimit());
}

void ReadTokenXolCmd::complete()
{
    response = std::make_shared<XolAPI::ReadTokenResponse>(0, 0, buffer);
}

ReadBootMediaXolCmd::ReadBootMediaXolCmd(XolAPI& api, unsigned char type, unsigned char index,
                                         unsigned char partition, unsigned int start,
                                         unsigned int blocks, std::streambuf* sink)
    : FixedCodeXolCmd(api, sink), type(type), index(index), partition(partition),
      start(start), blocks(blocks), maxChunk(0), blockSize(0)
{
}

void ReadBootMediaXolCmd::sendInitialCmd()
{
    if (type < 1 || type > 3)
        throw status::unsupportedDeviceType();
    uint8_t* m = beginInitialPayload();
    m[payload::deviceType] = type;
    m[payload::deviceIndex] = index;
    if (type == 1) {
        putLe(m + payload::spiStart, start, u32);
        putLe(m + payload::spiCount, blocks, u32);
    } else {
        m[payload::partition] = partition;
        putLe(m + payload::partitionStart, start, u32);
        putLe(m + payload::partitionCount, blocks, u32);
    }
    sendInitialPayload(0);
}

void ReadBootMediaXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    if (length != finalDataLength)
        badSize();
    requireReceivedData(reply::blockSize + u32);
    auto const* d = static_cast<uint8_t const*>(data);
    maxChunk = getLe(d + reply::maxChunk, u32);
    blockSize = getLe(d + reply::blockSize, u32);
    // Every chunk brings whole blocks, so a block must fit into one message's data.
    if (blockSize == 0 || blockSize > chunkLimit())
        throw VemoException(VEMO_ERROR_MESSAGE_SIZE,
                            "Device reported a block size of " + std::to_string(blockSize));
    // The device sends what the host asked for, never more, never fewer blocks.
    if (additional != blocks)
        badAdditional();
    beginDownload(additional, blockSize);
}

size_t ReadBootMediaXolCmd::nextAmount(size_t remaining) const
{
    return std::min({remaining, static_cast<size_t>(maxChunk), chunkLimit() / blockSize});
}

void ReadBootMediaXolCmd::complete()
{
    response = std::make_shared<XolAPI::ReadBootMediaResponse>(0, 0, buffer);
}
