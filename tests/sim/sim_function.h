// The device side of a simulated USB device, as every test bed hosts it: the bed hands each bulk
// OUT transfer to the function and delivers what the function queues as bulk IN transfers.
#ifndef XOL_TEST_SIM_FUNCTION_H
#define XOL_TEST_SIM_FUNCTION_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

class SimFunction {
public:
    using Bytes = std::vector<uint8_t>;
    using Sender = std::function<void(Bytes)>;

    virtual ~SimFunction() = default;

    // Set by the bed before any traffic: how a queued message reaches the host (one message is
    // one bulk IN transfer).
    void attachSender(Sender sender)
    {
        std::lock_guard<std::mutex> lock(senderLock);
        this->sender = std::move(sender);
    }

    // One bulk OUT transfer exactly as the host wrote it (a pad byte included). Beds call it from
    // their own thread, one transfer at a time.
    virtual void onBulkOut(const Bytes& data) = 0;

protected:
    void sendIn(Bytes message)
    {
        Sender s;
        {
            std::lock_guard<std::mutex> lock(senderLock);
            s = sender;
        }
        if (s)
            s(std::move(message));
    }

private:
    std::mutex senderLock;
    Sender sender;
};

#endif
