// A simulated XoL board: answers the host's messages as the device side of the protocol, from a
// state a test sets and inspects (XolDeviceState), with scripted uploads and injected faults.
#ifndef XOL_TEST_SIM_XOL_DEVICE_H
#define XOL_TEST_SIM_XOL_DEVICE_H

#include <cstddef>
#include <mutex>
#include <optional>

#include "sim_function.h"
#include "xol_device_state.h"

namespace xolsim {

class XolDevice : public SimFunction {
public:
    explicit XolDevice(XolDeviceState initial = XolDeviceState());

    // Reads each host message by its length field, so bytes behind it in the same transfer (the
    // host's pad byte) are counted and dropped; a transfer while an upload waits for a
    // payload-only chunk is that chunk.
    void onBulkOut(const Bytes& data) override;

    // Length of the next host transfer while the board waits for a payload-only upload chunk
    // (what it asked, at most what is left); 0 while it waits for a message with a header. Beds
    // that cut the host's byte stream by message lengths need it: such a chunk has no header.
    size_t payloadOnlyLength() const;
    // The host reset the bus or went away: the exchange in progress is dropped, as a board's
    // command loop starts afresh; the state stays.
    void busReset();

    // Runs f on the state under the device's lock, between two host transfers. f must not call
    // back into the device.
    template <class F>
    auto edit(F&& f)
    {
        std::lock_guard<std::mutex> guard(lock);
        keepDownload();
        return f(st);
    }
    template <class F>
    auto inspect(F&& f) const
    {
        std::lock_guard<std::mutex> guard(lock);
        return f(static_cast<const XolDeviceState&>(st));
    }
    // A copy of the whole state, images included: large boards are better read with inspect.
    XolDeviceState state() const;
    void inject(const Fault& fault);

private:
    enum class Phase { Idle, Upload, Download };
    struct Exchange {
        Phase phase = Phase::Idle;
        uint8_t code = 0;
        Bytes command;  // the initial command, 64 bytes
        // upload
        uint64_t total = 0;
        uint64_t received = 0;
        uint32_t asked = 0;
        bool payloadOnly = false;
        Bytes data;
        // download, in units of `unit` bytes: `content`, or the boot media at `source` from
        // byte `base` on (read in place: a test's edit takes a copy first)
        Bytes content;
        const Bytes* source = nullptr;
        uint64_t base = 0;
        uint64_t unit = 1;
        uint64_t left = 0;
        uint64_t pos = 0;
        uint32_t maxChunk = 0;
    };

    void handle(const Bytes& data);
    void startCommand(const uint8_t* msg, uint32_t length);
    bool validPayload(const uint8_t* msg);
    void runCommand(const uint8_t* msg);
    void uploadChunk(const uint8_t* msg, uint32_t length);
    void chunkRequest(const uint8_t* msg, uint32_t length);

    void beginUpload();
    void nextUploadStep();
    void takeUploadBytes(const uint8_t* p, size_t n);
    void finishUpload();
    void beginDownload(Bytes content, uint64_t unit, uint64_t units, const Bytes& finalData,
                       uint32_t maxChunk, const Bytes* source = nullptr, uint64_t base = 0);
    // A download reading the boot media in place takes its own copy of what is left to send.
    void keepDownload();
    template <class Act>
    void answer(Act act);
    void answerStatus(uint32_t status);

    std::optional<Fault> takeFault(Reply kind);
    bool faultStatus(const std::optional<Fault>& fault, Reply kind);
    void emit(Bytes msg, const std::optional<Fault>& fault);
    void refuseHost(uint32_t code, uint32_t status, const std::string& why);
    uint32_t responseCode() const;
    uint32_t storageStatus(uint8_t type, uint8_t index) const;

    mutable std::mutex lock;
    XolDeviceState st;
    Exchange ex;
    std::vector<Bytes>* out = nullptr;  // answers of the transfer being handled
};

} // namespace xolsim

#endif
