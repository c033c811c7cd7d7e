// A protocol object talking to one simulated XoL board through the real transport over the test
// binary's bed, with the bed's transcript cut into host and device transfers. The board starts in
// XoL context with storage, tokens and default upload requests a test may change.
#ifndef XOL_TEST_PROTOCOL_FIXTURE_H
#define XOL_TEST_PROTOCOL_FIXTURE_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol_support.h"
#include "sim_bed.h"
#include "tolvane_libusb.h"
#include "xol_api.h"
#include "xol_device.h"

namespace prototest {

// Passes the board's messages to the bed, each one changed by the rewrite of the moment (the
// bed sends every returned piece as a bulk IN transfer of its own).
class Relay : public SimFunction {
public:
    using Rewrite = std::function<std::vector<Bytes>(const Bytes&)>;

    explicit Relay(std::shared_ptr<xolsim::XolDevice> device) : device(std::move(device))
    {
        this->device->attachSender([this](Bytes message) { forward(std::move(message)); });
    }
    void onBulkOut(const Bytes& data) override { device->onBulkOut(data); }
    // A message the board sends of its own accord, past the rewrite.
    void deliver(Bytes message) { sendIn(std::move(message)); }
    void setRewrite(Rewrite r)
    {
        std::lock_guard<std::mutex> guard(lock);
        rewrite = std::move(r);
    }

private:
    void forward(Bytes message)
    {
        Rewrite r;
        {
            std::lock_guard<std::mutex> guard(lock);
            r = rewrite;
        }
        if (!r) {
            sendIn(std::move(message));
            return;
        }
        for (Bytes& piece : r(message))
            sendIn(std::move(piece));
    }

    std::shared_ptr<xolsim::XolDevice> device;
    std::mutex lock;
    Rewrite rewrite;
};

// A board with one storage device of each type, a token in slot 3 and images that are kept.
xolsim::XolDeviceState standardBoard();

// A fault of the command `code` on its next device message of kind `on`, set up by `change`.
template <class F>
xolsim::Fault faultOn(uint8_t code, xolsim::Reply on, F change)
{
    xolsim::Fault f;
    f.code = code;
    f.on = on;
    change(f);
    return f;
}

// One bed and one running transport for the whole test program (stopping a transport takes up to
// one event-loop period); each test plugs a board of its own and waits until the transport
// has opened it, and unplugs it afterwards.
class SharedBed {
public:
    static SharedBed& get();
    // Both waits are bounded; they return false when the transport did not report in time.
    bool plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function,
              SimBed::DeviceId& id, std::string& serial);
    bool unplug(SimBed::DeviceId id, const std::string& serial);
    void stop();

    SimBed& bed() { return *simBed; }
    TolvaneWdAPI& transport() { return *wd; }

private:
    SharedBed();
    class Listener;

    std::unique_ptr<SimBed> simBed;
    std::unique_ptr<Listener> listener;
    std::unique_ptr<TolvaneWdAPI> wd;
};

// After each test the board must not have refused any host message as malformed.
class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    template <class F>
    void board(F&& change)
    {
        device->edit([&](xolsim::XolDeviceState& s) {
            change(s);
            return 0;
        });
    }
    template <class F>
    auto look(F&& f) const
    {
        return device->inspect(std::forward<F>(f));
    }
    void inject(const xolsim::Fault& f) { device->inject(f); }

    std::vector<SimTransfer> transfers() const { return SharedBed::get().bed().transcript(id); }
    // The host's messages (bulk OUT transfers less the transport's pad byte, which boards of at
    // most 64-byte packets get behind initial commands) or the device's transfers (bulk IN), in order.
    std::vector<Bytes> outs() const;
    std::vector<Bytes> ins() const { return side(SimTransfer::In); }
    // The host's bulk OUT transfers as they went out, pad bytes included.
    std::vector<Bytes> outTransfers() const { return side(SimTransfer::Out); }
    // The device's messages, put together again from the bulk IN transfers by their length
    // fields (a message may take several reads).
    std::vector<Bytes> deviceMessages() const;
    // The amounts the host asked for in its chunk requests, in order.
    std::vector<uint32_t> chunkRequests() const;

    // The board's wMaxPacketSize: XOL_TEST_PACKET_SIZE when set (the suite runs at several), else 512.
    virtual uint16_t packetSize() const;

    std::shared_ptr<xolsim::XolDevice> device;
    std::shared_ptr<Relay> relay;
    SimBed::DeviceId id = 0;
    bool plugged = false;
    TolvaneWdAPI* transport = nullptr;
    std::string serial;
    std::unique_ptr<XolAPI> api;

private:
    std::vector<Bytes> side(SimTransfer::Direction direction) const;
};

} // namespace prototest

#endif
