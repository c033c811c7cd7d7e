#include "xol_upload_cmds.h"

#include <algorithm>
#include <cstdint>

#include <boost/log/attributes/named_scope.hpp>

#include "exceptions.h"
#include "file_failure.h"
#include "status_codes.h"

using namespace xolmsg;

namespace {

constexpr std::ios_base::iostate allFailures =
    std::ios_base::badbit | std::ios_base::eofbit | std::ios_base::failbit;
constexpr char const* noProgress = "Upload makes no progress";

// The length of the whole stream, which the 32-bit fields of the wire must carry; the position
// is left as it was.
std::streamoff streamLength(std::istream& s)
{
    const std::streampos at = s.tellg();
    s.seekg(0, std::ios_base::end);
    const std::streamoff length = s.tellg();
    s.seekg(at);
    return length;
}

} // namespace

BufferReaderXolCmd::BufferReaderXolCmd(XolAPI& api, IBlob& blob)
    : XolCmd(api), input(blob.getStreamBufferPtr()), remaining(0)
{
    // A unit without buffer leaves the stream bad, and the mask throws here, before any traffic.
    input.exceptions(allFailures);
    input.seekg(0, std::ios_base::end);
    const std::streamoff length = input.tellg();
    // Sent modulo 2^32, the length would have the board take a cut unit for the whole one.
    if (length > static_cast<std::streamoff>(UINT32_MAX))
        throw status::notSupportedFrom4GiB("Data");
    remaining = static_cast<size_t>(length);
    input.seekg(0, std::ios_base::beg);
}

void BufferReaderXolCmd::handleAddRequestData(size_t requested, uint32_t flags)
{
    if (requested > remaining)
        throw status::unexpectedAdditionalSize();
    const bool payloadOnly = (flags & flagPayloadOnly) != 0;
    uint8_t* destination = payloadOnly ? tx : tx + request::data;
    const size_t capacity = payloadOnly ? txCapacity : txCapacity - request::header;
    input.read(reinterpret_cast<char*>(destination),
               static_cast<std::streamsize>(std::min(requested, capacity)));
    const size_t chunk = static_cast<size_t>(input.gcount());
    guardProgress(chunk != 0, noProgress);
    remaining -= chunk;
    sendMessage(markerChunk, chunk, remaining, payloadOnly);
}

WriteTokenXolCmd::WriteTokenXolCmd(XolAPI& api, IBlob& token, unsigned char slot)
    : BufferUploadXolCmd(api, token), slot(slot)
{
}

void WriteTokenXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[payload::tokenSlot] = slot;
    sendInitialPayload(remaining);
}

void ChangeDeviceLifecycleXolCmd::sendInitialCmd()
{
    beginInitialPayload();
    sendInitialPayload(remaining);
}

void OemIfpProvisionXolCmd::sendInitialCmd()
{
    beginInitialPayload();
    sendInitialPayload(remaining);
}

ConfigureDeviceXolCmd::ConfigureDeviceXolCmd(XolAPI& api, IBlob& request, unsigned char type,
                                             unsigned char index)
    : BufferUploadXolCmd(api, request), type(type), index(index)
{
}

void ConfigureDeviceXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[payload::deviceType] = type;
    m[payload::deviceIndex] = index;
    sendInitialPayload(remaining);
}

DownloadModuleXolCmd::DownloadModuleXolCmd(XolAPI& api, std::istream* image, char const* moduleName)
    : XolCmd(api), image(image), module(image, moduleName)
{
    // Sent modulo 2^32, the sizes would have the board take a fraction of the image for all of it.
    if (streamLength(*image) > static_cast<std::streamoff>(UINT32_MAX))
        throw status::notSupportedFrom4GiB("Image");
}

void DownloadModuleXolCmd::handleAddRequestData(size_t requested, uint32_t flags)
{
    BOOST_LOG_FUNCTION();
    const bool payloadOnly = (flags & flagPayloadOnly) != 0;
    uint8_t* destination = payloadOnly ? tx : tx + request::data;
    const size_t capacity = payloadOnly ? txCapacity : txCapacity - request::header;

    const std::ios_base::iostate callerMask = image->exceptions();
    size_t chunk = 0;
    try {
        image->exceptions(allFailures);
        image->read(reinterpret_cast<char*>(destination),
                    static_cast<std::streamsize>(std::min(requested, capacity)));
        chunk = static_cast<size_t>(image->gcount());
    } catch (std::ios_base::failure const&) {
        // A request past the end of the image. The clearing takes the stream's end-of-file state
        // with it, so the failure says so itself: its reader would otherwise blame errno.
        const bool ended = image->eof() && !image->bad();
        image->clear();
        image->exceptions(callerMask);
        if (ended)
            throw std::ios_base::failure("The device asks past the end of the image",
                                         file_failure::endOfFile());
        throw;
    } catch (...) {
        image->clear();
        image->exceptions(callerMask);
        throw;
    }
    image->exceptions(callerMask);
    guardProgress(chunk != 0, noProgress);
    const size_t position = static_cast<size_t>(static_cast<std::streamoff>(image->tellg()));
    const size_t left = module.getPartitionSize() - position;
    sendMessage(markerChunk, chunk, left, payloadOnly);
}

uint8_t* DownloadModuleXolCmd::beginModulePayload()
{
    uint8_t* m = beginInitialPayload();
    putLe(m + payload::moduleFormat, 1, u32);
    putLe(m + payload::headerSize, static_cast<uint32_t>(module.getHeaderSize()), u32);
    putLe(m + payload::moduleSize, static_cast<uint32_t>(module.getModuleSize()), u32);
    return m;
}

DownloadRecoveryModuleXolCmd::DownloadRecoveryModuleXolCmd(XolAPI& api, std::istream* image)
    : FixedCodeXolCmd(api, image, "xolmod"), response(std::make_shared<XolAPI::Response>())
{
}

void DownloadRecoveryModuleXolCmd::sendInitialCmd()
{
    beginModulePayload();
    sendInitialPayload(module.getPartitionSize());
}

ProvisionFwImageXolCmd::ProvisionFwImageXolCmd(XolAPI& api, std::istream* image,
                                               unsigned int flags)
    : FixedCodeXolCmd(api, image, "rcipifwi"), flags(flags),
      response(std::make_shared<XolAPI::Response>())
{
}

void ProvisionFwImageXolCmd::sendInitialCmd()
{
    uint8_t* m = beginModulePayload();
    putLe(m + payload::provisionFlags, flags, u32);
    sendInitialPayload(module.getPartitionSize());
}
