// A plain device function for transport tests: keeps what the host sent, answers with what the
// test queued, or echoes every OUT transfer when asked to.
#ifndef XOL_TEST_TRANSPORT_TEST_FUNCTION_H
#define XOL_TEST_TRANSPORT_TEST_FUNCTION_H

#include <atomic>

#include "sim_function.h"

class TestFunction : public SimFunction {
public:
    std::atomic<bool> echo{false};

    void onBulkOut(const Bytes& data) override
    {
        if (echo)
            sendIn(data);
    }
    // Queues one bulk IN message for the host.
    void send(Bytes message) { sendIn(std::move(message)); }
};

#endif
