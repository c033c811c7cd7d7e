// The scripted stand-in for the USB transport that the fuzz target links instead of the real one.
#ifndef XOL_FUZZ_FAKE_TRANSPORT_H
#define XOL_FUZZ_FAKE_TRANSPORT_H

#include <cstdint>
#include <deque>
#include <vector>

// Device messages still to be read; a read with none left times out.
extern std::deque<std::vector<uint8_t>> fakeDeviceMessages;

#endif
