// The USB transport's face: owns the implementation and forwards every operation to it. The only
// path from the library to the devices.
#ifndef XOL_TOLVANE_LIBUSB_H
#define XOL_TOLVANE_LIBUSB_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "tolvane_wd_callback.h"
#include "vemoapi.h"

// One connection as an operation holds it: the serial text the transport knows it by and the
// identity it had when it was looked up. A board that arrives later under the same text (its
// handle at a departed one's address) is another connection, with another identity.
struct TolvaneConnection {
    std::string serial;
    uint64_t id;
};

class TolvaneWdAPI {
public:
    class TolvaneWd;

    // Loads and starts libusb; throws VemoException when it cannot.
    TolvaneWdAPI();
    // Stops nothing: Deinit must come first.
    ~TolvaneWdAPI();
    TolvaneWdAPI(const TolvaneWdAPI&) = delete;
    TolvaneWdAPI& operator=(const TolvaneWdAPI&) = delete;

    void Deinit();
    void* Register(ITolvaneWdAPICallbackObj* listener);
    void Unregister(void* key);
    std::list<std::string> EnumerateDevices();
    // The open connections, in EnumerateDevices' order, each with its identity.
    std::list<TolvaneConnection> EnumerateConnections();
    // The connection open under `serial` now; throws "Device not found" when there is none.
    TolvaneConnection Connection(const std::string& serial);
    // Whether that connection is still open (not a later one under the same text).
    bool IsLive(const TolvaneConnection& connection);
    void GetDeviceInfo(const std::string& serial, _soc_device_info_t& info);
    void SetRWRetry(unsigned long count);
    // `connection` is an operation's hold on the board it runs on: the identity its look-up
    // found (0 only for a protocol object made without one: its first transfer sets it to the
    // connection found under `serial`). Once that connection has gone, every transfer fails
    // with LIBUSB_ERROR_NO_DEVICE, also when another board has arrived under the same serial
    // text. Without it a transfer takes whatever connection holds the serial text now.
    void Write(const std::string& serial, void* buffer, size_t capacity, size_t length, bool pad,
               unsigned long timeoutMs, uint64_t* connection = nullptr);
    void Read(const std::string& serial, void* buffer, size_t length, size_t& transferred,
              unsigned long timeoutMs, uint64_t* connection = nullptr);

    // Marks (stale) or clears the mark that the connection's IN endpoint may hold what an
    // abandoned exchange left, and tells whether it was marked. `connection` is held as by
    // Write and Read: only a caller held to the connection open under `serial` reads, clears or
    // sets its mark; a later connection of the same text starts clear.
    bool SwapStaleInput(const std::string& serial, uint64_t* connection, bool stale);

private:
    std::unique_ptr<TolvaneWd> impl;
};

#endif
