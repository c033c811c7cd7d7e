// The scripted stand-in for the USB transport that the fuzz target links instead of the real one.
#ifndef XOL_FUZZ_FAKE_TRANSPORT_H
#define XOL_FUZZ_FAKE_TRANSPORT_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

// Device messages still to be read; a read with none left times out.
extern std::deque<std::vector<uint8_t>> fakeDeviceMessages;

// What the host did with the transport since the last clear.
struct FakeTraffic {
    std::vector<std::vector<uint8_t>> writes;
    // The device messages as the host took them in during the exchange (a drain before it is not
    // counted): each begins with a read of one packet and holds the bytes of the reads after it.
    std::vector<std::vector<uint8_t>> reads;
    // For each of reads, the number of host messages written before it.
    std::vector<size_t> writesBefore;
    void clear()
    {
        writes.clear();
        reads.clear();
        writesBefore.clear();
    }
};
extern FakeTraffic fakeTraffic;

// The connection's mark that an abandoned exchange may have left input behind; cleared for
// every input, kept between the commands of one.
extern bool fakeStaleInput;

// When set, sees every host message as written (the seed recorder puts a board behind it).
extern std::function<void(const uint8_t*, size_t)> fakeHostSink;

#endif
