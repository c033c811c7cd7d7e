// Cuts the byte stream of a gadget's bulk OUT endpoint into host messages, as a board reading
// each message by its length field does. A read of the endpoint returns early only when a short
// packet ends the host's transfer, so a message that fills whole packets gives no sign of its end:
// reads ask for whole packets and stop at the message's own length.
#ifndef XOL_TEST_QEMU_OUT_FRAMER_H
#define XOL_TEST_QEMU_OUT_FRAMER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class OutFramer {
public:
    using Bytes = std::vector<uint8_t>;
    // Reads at most n bytes of the host's current transfer into buf; fewer than n means a short
    // packet (or zero-length packet) ended it. Throws when the endpoint went away.
    using ReadFn = std::function<size_t(uint8_t* buf, size_t n)>;
    // Told of each terminator taken, with its size: a pad byte (1) or zero-length packet (0)
    // that followed a message which ended on a packet boundary.
    using TerminatorFn = std::function<void(size_t bytes)>;

    OutFramer(ReadFn read, size_t maxPacket, TerminatorFn terminator);

    // The next host message, with whatever the host added behind it in the same transfer (the
    // model counts and drops that). payloadOnly: its length when it is a payload-only upload
    // chunk, 0 when its header tells.
    Bytes next(size_t payloadOnly);

private:
    void fill(size_t want);

    ReadFn read;
    size_t maxPacket;
    TerminatorFn terminator;
    Bytes buf;          // bytes of the current transfer not yet handed out
    bool ended = false; // buf holds the end of the current transfer
    bool open = false;  // the last message ended where a full read ended: a terminator may follow
};

#endif
