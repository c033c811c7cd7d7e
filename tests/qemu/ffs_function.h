// One simulated XoL board as a USB function of a real gadget, through FunctionFS: writes the
// descriptors (full and high speed; one vendor interface with one bulk OUT and one bulk IN
// endpoint), follows the ep0 events, cuts the bulk OUT stream into host messages for the board
// and writes each of its messages as one bulk IN transfer.
#ifndef XOL_TEST_QEMU_FFS_FUNCTION_H
#define XOL_TEST_QEMU_FFS_FUNCTION_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "xol_device.h"

class FfsFunction {
public:
    using Bytes = std::vector<uint8_t>;

    // dir: the mounted FunctionFS instance. Writes the descriptors and opens the endpoints; the
    // gadget may be bound to its controller once this returns.
    // It lives as long as the process.
    FfsFunction(const std::string& dir, xolsim::XolDevice& board);
    FfsFunction(const FfsFunction&) = delete;
    FfsFunction& operator=(const FfsFunction&) = delete;

    // Follows the ep0 events until the function is torn down (ep0 fails).
    void run();

    // From the next download chunk on, hold back the `chunks`-th one and every later message
    // until the host goes away or releaseHeld, and create flagFile then: the host sits in its
    // read.
    void holdDownloadChunk(unsigned chunks, const std::string& flagFile);
    // Sends the messages held back, in order, and holds nothing more.
    void releaseHeld();

private:
    struct Pending {
        uint64_t generation;
        Bytes bytes;
    };

    void readLoop();
    void writeLoop();
    void send(Bytes message);
    size_t readOut(uint8_t* buf, size_t n);
    void enable();
    void disable(const char* why);
    void answerSetup(const void* event);

    xolsim::XolDevice& board;
    int ep0 = -1;
    int epOut = -1;
    int epIn = -1;

    std::mutex lock;
    std::condition_variable changed;
    bool enabled = false;
    uint64_t generation = 0;  // one per enabled configuration: answers never outlive it
    std::deque<Pending> queue;
    unsigned holdCountdown = 0;
    bool holding = false;
    std::deque<Bytes> held;
    std::string holdFlag;
};

#endif
