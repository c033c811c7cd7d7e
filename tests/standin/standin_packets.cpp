#include "standin_packets.h"

#include <algorithm>
#include <cstring>

namespace standin {

InPackets::Take InPackets::take(uint8_t* data, size_t length, size_t packetSize, size_t& actual)
{
    // A descriptor without a packet size would never end a packet.
    packetSize = std::max<size_t>(packetSize, 1);
    while (!queue.empty()) {
        Message& m = queue.front();
        const size_t packet = std::min(packetSize, m.bytes.size() - m.sent);
        const bool last = m.sent + packet == m.bytes.size();
        if (packet > length - actual) {
            m.sent += packet;
            if (last)
                queue.pop_front();
            return Take::Overflow;
        }
        if (packet)
            std::memcpy(data + actual, m.bytes.data() + m.sent, packet);
        actual += packet;
        m.sent += packet;
        if (last)
            queue.pop_front();
        if (packet < packetSize || actual == length)
            return Take::Done;
    }
    return Take::More;
}

} // namespace standin
