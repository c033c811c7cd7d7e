// The USB transport's face: owns the implementation and forwards every operation to it. The only
// path from the library to the devices.
#ifndef XOL_TOLVANE_LIBUSB_H
#define XOL_TOLVANE_LIBUSB_H

#include <cstddef>
#include <list>
#include <memory>
#include <string>

#include "tolvane_wd_callback.h"
#include "vemoapi.h"

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
    void GetDeviceInfo(const std::string& serial, _soc_device_info_t& info);
    void SetRWRetry(unsigned long count);
    void Write(const std::string& serial, void* buffer, size_t capacity, size_t length, bool pad,
               unsigned long timeoutMs);
    void Read(const std::string& serial, void* buffer, size_t length, size_t& transferred,
              unsigned long timeoutMs);

    // Marks (stale) or clears the mark that the connection's IN endpoint may hold what an
    // abandoned exchange left, and tells whether it was marked. The mark belongs to the
    // connection the serial text names now; a later connection of the same text starts clear.
    bool SwapStaleInput(const std::string& serial, bool stale);

private:
    std::unique_ptr<TolvaneWd> impl;
};

#endif
