#include "out_framer.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

constexpr size_t kRequestHeader = 16;
// The host's send buffer plus its pad byte: a longer length field is not a message.
constexpr size_t kLongestMessage = 102400 + 1;

} // namespace

OutFramer::OutFramer(ReadFn read, size_t maxPacket, TerminatorFn terminator)
    : read(std::move(read)), maxPacket(maxPacket), terminator(std::move(terminator))
{
    if (maxPacket == 0)
        throw std::invalid_argument("endpoint max packet size 0");
}

// Whole packets only: a request shorter than the host's packet would cut it.
void OutFramer::fill(size_t want)
{
    while (buf.size() < want && !ended) {
        const size_t ask = (want - buf.size() + maxPacket - 1) / maxPacket * maxPacket;
        const size_t at = buf.size();
        buf.resize(at + ask);
        const size_t got = read(buf.data() + at, ask);
        buf.resize(at + std::min(got, ask));
        if (got < ask)
            ended = true;
    }
}

OutFramer::Bytes OutFramer::next(size_t payloadOnly)
{
    const size_t first = payloadOnly ? payloadOnly : kRequestHeader;
    for (;;) {
        const bool fresh = buf.empty();
        if (fresh)
            ended = false;
        fill(first);
        if (fresh && open && ended && buf.size() <= 1) {
            const size_t n = buf.size();
            buf.clear();
            terminator(n);
            open = false;
            continue;
        }
        break;
    }
    open = false;

    size_t length = payloadOnly;
    if (!length) {
        length = buf.size();  // shorter than a header or a bogus length: the model refuses it
        if (buf.size() >= kRequestHeader) {
            const size_t field = buf[0] | size_t(buf[1]) << 8 | size_t(buf[2]) << 16;
            if (field >= kRequestHeader && field <= kLongestMessage) {
                length = field;
                fill(length);
            }
        }
    }
    // The rest of a transfer that ended goes with its message; bytes of a transfer still going
    // on begin the next one.
    const size_t take = ended ? buf.size() : std::min(length, buf.size());
    Bytes message(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(take));
    buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(take));
    open = buf.empty() && !ended;
    return message;
}
