// The record of every bulk transfer a bed has carried for one device, in the order the device
// saw them, for tests to compare byte for byte.
#ifndef XOL_TEST_SIM_TRANSCRIPT_H
#define XOL_TEST_SIM_TRANSCRIPT_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <vector>

struct SimTransfer {
    enum Direction { Out, In };
    Direction direction;
    uint8_t endpoint;
    std::vector<uint8_t> data; // as the host sent it, or as it reached the host

    bool operator==(const SimTransfer& o) const
    {
        return direction == o.direction && endpoint == o.endpoint && data == o.data;
    }
};

inline std::ostream& operator<<(std::ostream& os, const SimTransfer& t)
{
    os << (t.direction == SimTransfer::Out ? "OUT" : "IN") << " ep " << int(t.endpoint) << " ["
       << t.data.size() << "]";
    for (size_t i = 0; i < t.data.size() && i < 16; ++i)
        os << ' ' << int(t.data[i]);
    return os << (t.data.size() > 16 ? " ..." : "");
}

class SimTranscript {
public:
    // XOL_SIM_TRANSCRIPT=off keeps nothing: benchmarks move more than is worth keeping.
    static bool keeping()
    {
        static const bool keep = [] {
            const char* v = std::getenv("XOL_SIM_TRANSCRIPT");
            return !(v && std::strcmp(v, "off") == 0);
        }();
        return keep;
    }

    void add(SimTransfer::Direction direction, uint8_t endpoint, const uint8_t* data, size_t size)
    {
        if (!keeping())
            return;
        std::lock_guard<std::mutex> lock(mutex);
        transfers.push_back(SimTransfer{direction, endpoint, std::vector<uint8_t>(data, data + size)});
    }
    std::vector<SimTransfer> snapshot() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return transfers;
    }

private:
    mutable std::mutex mutex;
    std::vector<SimTransfer> transfers;
};

#endif
