#include "xol_download_cmds.h"

#include <algorithm>

#include "exceptions.h"

namespace {

constexpr uint8_t markerRequest = 0xA5;
// Far above any token or card information record a board holds; a larger total is a device's
// error, and taking it would let the device size the host's memory.
constexpr size_t maxRecordBytes = 1u << 20;

[[noreturn]] void badSize()
{
    throw VemoException(0x20003, "Unexpected message data size");
}

[[noreturn]] void badAdditional()
{
    throw VemoException(0x20004, "Unexpected additional data size");
}

} // namespace

ChunkedDownloadXolCmd::ChunkedDownloadXolCmd(XolAPI& api)
    : XolCmd(api),
      buffer(std::make_unique<std::stringbuf>(std::ios_base::in | std::ios_base::out |
                                              std::ios_base::binary)),
      output(buffer.get()), fetching(false), expectedBytes(0), receivedBytes(0),
      lastRemaining(0)
{
    output.exceptions(std::ios_base::badbit | std::ios_base::eofbit | std::ios_base::failbit);
}

void ChunkedDownloadXolCmd::askFor(size_t amount)
{
    sendMessage(markerRequest, initialPayloadLength, amount, false);
}

void ChunkedDownloadXolCmd::beginDownload(size_t units, uint64_t unitBytes)
{
    if (fetching)
        throw VemoException(0x20001, "Bad response marker");
    fetching = true;
    expectedBytes = static_cast<uint64_t>(units) * unitBytes;
    lastRemaining = units;
    askFor(nextAmount(units));
}

void ChunkedDownloadXolCmd::account(size_t length, size_t remaining)
{
    // Before the final response there is no total, and for Read Boot Media no block size.
    if (!fetching)
        throw VemoException(0x20002, "Additional Response Data is not supported for this command");
    if (length > expectedBytes - receivedBytes)
        badSize();
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
    guardProgress(remaining < lastRemaining, "Download makes no progress");
    lastRemaining = remaining;
    askFor(nextAmount(remaining));
}

GetCardInfoXolCmd::GetCardInfoXolCmd(XolAPI& api, unsigned char type, unsigned char index)
    : ChunkedDownloadXolCmd(api), type(type), index(index)
{
}

void GetCardInfoXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[16] = type;
    m[17] = index;
    sendInitialPayload(0);
}

void GetCardInfoXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    if (length != finalDataLength)
        badSize();
    if (additional == 0 || additional > maxRecordBytes)
        badAdditional();
    requireReceivedData(1);
    type = static_cast<uint8_t const*>(data)[0]; // the device's report, not the request
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
    : ChunkedDownloadXolCmd(api), slot(slot)
{
}

void ReadTokenXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[16] = slot;
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
                                         unsigned int blocks)
    : ChunkedDownloadXolCmd(api), type(type), index(index), partition(partition), start(start),
      blocks(blocks), maxChunk(0), blockSize(0)
{
}

void ReadBootMediaXolCmd::sendInitialCmd()
{
    if (type < 1 || type > 3)
        throw VemoException(0x30001, "Unsupported device type");
    uint8_t* m = beginInitialPayload();
    m[16] = type;
    m[17] = index;
    if (type == 1) {
        putLe(m + 24, start, 4);
        putLe(m + 32, blocks, 4);
    } else {
        m[24] = partition;
        putLe(m + 28, start, 4);
        putLe(m + 36, blocks, 4);
    }
    sendInitialPayload(0);
}

void ReadBootMediaXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    if (length != finalDataLength)
        badSize();
    requireReceivedData(8);
    auto const* d = static_cast<uint8_t const*>(data);
    maxChunk = getLe(d, 4);
    blockSize = getLe(d + 4, 4);
    if (blockSize == 0)
        throw VemoException(0x20003, "Device reported a block size of 0");
    // The device sends what the host asked for, never more, never fewer blocks.
    if (additional != blocks)
        badAdditional();
    beginDownload(additional, blockSize);
}

size_t ReadBootMediaXolCmd::nextAmount(size_t remaining) const
{
    const size_t fitting = blockSize != 0 ? chunkLimit() / blockSize : 0;
    return std::min({remaining, static_cast<size_t>(maxChunk), fitting});
}

void ReadBootMediaXolCmd::complete()
{
    response = std::make_shared<XolAPI::ReadBootMediaResponse>(0, 0, buffer);
}
