// The IN side of a bulk endpoint as a USB bus runs it, for the libusb stand-in: each queued device
// message goes out as packets of the endpoint's wMaxPacketSize, the last one short (an empty
// message is one zero-length packet; a message of whole packets ends without one). A host
// transfer takes whole packets until it is full or a short packet ends it; a packet larger than
// the room left overflows the transfer and is lost.
#ifndef XOL_TEST_STANDIN_PACKETS_H
#define XOL_TEST_STANDIN_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace standin {

class InPackets {
public:
    enum class Take {
        Done,     // the transfer is complete: full, or ended by a short packet
        More,     // every queued packet taken and room left: the transfer waits for more
        Overflow, // the next packet did not fit; it is dropped
    };

    void push(std::vector<uint8_t> message) { queue.push_back({std::move(message), 0}); }
    void clear() { queue.clear(); }
    bool empty() const { return queue.empty(); }

    // Moves packets into data[*actual..length), advancing *actual.
    Take take(uint8_t* data, size_t length, size_t packetSize, size_t& actual);

private:
    struct Message {
        std::vector<uint8_t> bytes;
        size_t sent; // bytes already gone out as packets
    };
    std::deque<Message> queue;
};

} // namespace standin

#endif
