#include "xol_api_utils.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "file_failure.h"
#include "little_endian.h"
#include "output_file.h"
#include "status_codes.h"

namespace {

// Files move in rounds of at most this many bytes, whatever their size.
constexpr size_t maxRound = 1048576;

std::streamoff streamSize(std::stringbuf& buf)
{
    const std::streamoff size = buf.pubseekoff(0, std::ios_base::end, std::ios_base::in);
    buf.pubseekpos(0, std::ios_base::in);
    return size < 0 ? 0 : size;
}

} // namespace

Blob::Blob() = default;

Blob::Blob(std::unique_ptr<std::stringbuf>& buffer) : buffer(std::move(buffer)) {}

Blob::Blob(Blob&& other) noexcept : buffer(std::move(other.buffer)) {}

Blob& Blob::operator=(Blob&& other) noexcept
{
    buffer = std::move(other.buffer);
    return *this;
}

Blob::~Blob() = default;

Blob::Blob(std::string const& path)
    : buffer(std::make_unique<std::stringbuf>(std::ios_base::in | std::ios_base::out))
{
    std::ifstream file;
    file_failure::openForReading(file, path);
    file.exceptions(std::ios_base::badbit | std::ios_base::failbit);
    try {
        file.seekg(0, std::ios_base::end);
        const std::streamoff length = file.tellg();
        // Units go to the wire, whose lengths are 32 bits wide, as is size_t on 32-bit builds:
        // a larger file would be taken, and sent, cut short.
        if (length > static_cast<std::streamoff>(UINT32_MAX))
            throw status::notSupportedFrom4GiB("File");
        file.seekg(0, std::ios_base::beg);

        size_t remaining = static_cast<size_t>(length);
        std::vector<char> chunk(std::min(remaining, maxRound));
        while (remaining > 0 && !file.eof()) {
            const size_t want = std::min(chunk.size(), remaining);
            file.read(chunk.data(), static_cast<std::streamsize>(want));
            const size_t got = static_cast<size_t>(file.gcount());
            buffer->sputn(chunk.data(), static_cast<std::streamsize>(got));
            remaining -= got;
        }
        file.close();
    } catch (std::ios_base::failure const& e) {
        file_failure::cannotRead(path, file, e);
    }
}

Blob::Blob(char const* data, size_t length)
    : buffer(std::make_unique<std::stringbuf>(std::ios_base::in | std::ios_base::out))
{
    if (length > 0)
        buffer->sputn(data, static_cast<std::streamsize>(length));
}

std::stringbuf* Blob::getStreamBufferPtr()
{
    return buffer.get();
}

void Blob::write(std::string const& path) const
{
    // A unit without buffer gives a bad stream: setting the mask throws, before any file exists.
    std::istream in(buffer.get());
    in.exceptions(std::ios_base::badbit | std::ios_base::failbit);

    OutputFile file(path);
    size_t remaining = static_cast<size_t>(streamSize(*buffer));
    std::vector<char> chunk(std::min(remaining, maxRound));
    while (remaining > 0 && !in.eof()) {
        const size_t want = std::min(chunk.size(), remaining);
        in.read(chunk.data(), static_cast<std::streamsize>(want));
        const size_t got = static_cast<size_t>(in.gcount());
        file.content().sputn(chunk.data(), static_cast<std::streamsize>(got));
        remaining -= got;
    }
    file.commit();
}

int Blob::write(char* out, size_t* length) const
{
    std::istream in(buffer.get());
    in.exceptions(std::ios_base::badbit | std::ios_base::failbit | std::ios_base::eofbit);

    const size_t size = static_cast<size_t>(streamSize(*buffer));
    int result = -1;
    if (size <= *length) {
        if (size > 0)
            in.read(out, static_cast<std::streamsize>(size));
        result = 0;
    }
    *length = size;
    return result;
}

ModuleMeta::ModuleMeta(std::istream* image, char const* name)
    : image(image), partitionSize(0), moduleOffset(0), moduleSize(0)
{
    const std::streampos savedPos = image->tellg();
    const std::ios_base::iostate savedMask = image->exceptions();

    // Put the stream back as the caller had it, whichever way the lookup ends.
    struct Restore {
        std::istream* s;
        std::streampos pos;
        std::ios_base::iostate mask;
        ~Restore()
        {
            s->clear();
            s->exceptions(mask);
            s->seekg(pos);
        }
    } restore{image, savedPos, savedMask};

    // The stream is put back before the caller sees the failure: say here where it ended early.
    uint32_t count = 0;
    uint32_t reading = 0; // the entry being read, from 1; 0 while the header is
    try {
        image->exceptions(std::ios_base::badbit | std::ios_base::failbit);
        image->seekg(0, std::ios_base::end);
        partitionSize = static_cast<size_t>(static_cast<std::streamoff>(image->tellg()));
        image->seekg(0, std::ios_base::beg);

        unsigned char header[16];
        image->read(reinterpret_cast<char*>(header), sizeof header);
        count = getLe(header + 4, 4);

        for (uint32_t i = 0; i < count; ++i) {
            unsigned char entry[24];
            reading = i + 1;
            image->read(reinterpret_cast<char*>(entry), sizeof entry);
            if (std::strncmp(reinterpret_cast<const char*>(entry), name, 12) == 0) {
                const size_t offset = getLe(entry + 12, 4);
                const size_t size = getLe(entry + 16, 4);
                // A module larger than the stream holds would make the header size wrap.
                if (size > partitionSize)
                    throw std::invalid_argument("Parse error");
                moduleOffset = offset;
                moduleSize = size;
                return;
            }
        }
    } catch (std::ios_base::failure const&) {
        if (image->eof() && !image->bad())
            file_failure::malformedDirectory(reading, count);
        throw;
    }
    throw std::invalid_argument("Parse error");
}
