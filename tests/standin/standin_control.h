// Control face of the libusb stand-in, a library named like libusb that tests put on the loader's
// search path: it hosts simulated devices and does on request what real libusb cannot be made to
// do (fail a call, lack a capability, return a chosen handle, break a transfer).
#ifndef XOL_TEST_STANDIN_CONTROL_H
#define XOL_TEST_STANDIN_CONTROL_H

#include <memory>
#include <string>
#include <vector>

#include "sim_device.h"
#include "sim_function.h"
#include "sim_transcript.h"

#if defined(_WIN32) && defined(STANDIN_BUILDING)
#define STANDIN_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define STANDIN_EXPORT __declspec(dllimport)
#else
#define STANDIN_EXPORT __attribute__((visibility("default")))
#endif

struct libusb_device_handle;

namespace standin {

using DeviceId = int;

// Failures of the library as a whole; 0 means "behave normally".
struct Faults {
    int initResult = 0;        // libusb_init's result
    bool hasHotplug = true;    // libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)
    int registerFailAt = 0;    // the n-th libusb_hotplug_register_callback call fails ...
    int registerResult = 0;    // ... with this result
};

// Failures of one device; 0 means "behave normally". Each holds until changed.
struct DeviceFaults {
    int openResult = 0;
    int configResult = 0;      // libusb_get_active_config_descriptor
    int claimResult = 0;
    int portsResult = 0;       // libusb_get_port_numbers
    int descriptorResult = 0;  // libusb_get_device_descriptor
    int unlistedFor = 0;       // left out of this many device lists, then listed (counts down)
};

STANDIN_EXPORT void reset();
STANDIN_EXPORT void setFaults(const Faults& faults);
STANDIN_EXPORT DeviceId plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function);
STANDIN_EXPORT void unplug(DeviceId id);
STANDIN_EXPORT void setDeviceFaults(DeviceId id, const DeviceFaults& faults);
// The next bulk transfer on the device returns `result` with `actual` bytes moved, the device
// seeing nothing of it.
STANDIN_EXPORT void failNextTransfer(DeviceId id, int result, int actual = 0);
// The same for the transfer after the next `skip` ones, which pass normally.
STANDIN_EXPORT void failTransferAfter(DeviceId id, unsigned skip, int result, int actual = 0);
// The next successful libusb_open returns this handle object again (a reused address).
STANDIN_EXPORT void reuseHandleOnNextOpen(libusb_device_handle* handle);
// `hook` runs once, on the opening thread and outside the stand-in's lock, as the next
// successful libusb_open returns.
STANDIN_EXPORT void onNextOpen(void (*hook)());

STANDIN_EXPORT std::vector<SimTransfer> transcript(DeviceId id);
STANDIN_EXPORT std::vector<unsigned> claims(DeviceId id);
// Every libusb call but the transfers and the event pump, one line each, handles named
// "dev<id>#<n>" (device id, n-th open).
STANDIN_EXPORT std::vector<std::string> calls();
// The handle a device's latest libusb_open returned, or null.
STANDIN_EXPORT libusb_device_handle* lastHandle(DeviceId id);
// Calls made on a handle after libusb_close (none may ever happen).
STANDIN_EXPORT int closedHandleUses();
// Configuration descriptors handed out and not freed.
STANDIN_EXPORT int configsOutstanding();
// Hot-plug callbacks registered and not ended by libusb_exit.
STANDIN_EXPORT int registrations();
// libusb_init succeeded more often than libusb_exit was called since: the default context
// lives, shared by every user, until its last user exits.
STANDIN_EXPORT bool initialised();

} // namespace standin

#endif
