// Linux start-up: libusb found by file name through the dynamic loader, and one libusb hot-plug
// registration per supported product.
#include "tolvane_wd.h"

#include <cstdint>
#include <exception>
#include <mutex>
#include <unordered_set>

#include <dlfcn.h>

#include "exceptions.h"
#include "status_codes.h"

using tolvane::hexText;
using tolvane::libusbStatus;

namespace {
constexpr int supportedVendor = 0x7A3C;
constexpr int supportedProducts[] = {0x3C11, 0x3C17, 0x3C13, 0x3C15, 0x3C19};
// Deprecated in libusb's header, still exported; bound by its plain signature.
using SetDebug = void LIBUSB_CALL(libusb_context*, int);
} // namespace

void TolvaneWdAPI::TolvaneWd::LoadLibusb()
{
    // The plain name comes with libusb's development files; a machine with only the run-time
    // package has just the versioned one. Each is looked for beside the library first.
    libHandle = dlopen("libusb-1.0.so", RTLD_LAZY);
    if (libHandle == nullptr)
        libHandle = dlopen("libusb-1.0.so.0", RTLD_LAZY);
    if (libHandle == nullptr) {
        WD_LOG(error) << "dlopen/load of libusb failed, exiting constructor without calling DriverInit";
        throw status::libusbNotFound();
    }
}

void TolvaneWdAPI::TolvaneWd::UnloadLibusb()
{
    if (libHandle != nullptr)
        dlclose(libHandle);
    libHandle = nullptr;
    bulkTransfer.store(nullptr);
}

void TolvaneWdAPI::TolvaneWd::StopPlatformThreads() {}

void* TolvaneWdAPI::TolvaneWd::FindSymbol(const char* name) { return dlsym(libHandle, name); }

void TolvaneWdAPI::TolvaneWd::DriverInit()
{
    BOOST_LOG_FUNCTION();
    EnterLive();
    InitLibusb();
    int result;

    auto setDebug = Bind<SetDebug>("libusb_set_debug");
    auto registerCallback =
        Bind<decltype(libusb_hotplug_register_callback)>("libusb_hotplug_register_callback");
    auto hasCapability = Bind<decltype(libusb_has_capability)>("libusb_has_capability");
    Bind<decltype(libusb_hotplug_deregister_callback)>("libusb_hotplug_deregister_callback");
    if (hasCapability(LIBUSB_CAP_HAS_HOTPLUG) == 0)
        WD_LOG(fatal) << "libusb_has_capability_cb failed, error code: " << 0;
    setDebug(nullptr, 3);

    for (int product : supportedProducts) {
        WD_LOG(trace) << "Calling libusb_hotplug_register_callback with product ID: " << std::hex
                      << product;
        // Devices already attached are reported inside this call, on this thread.
        libusb_hotplug_callback_handle handle = 0;
        result = registerCallback(nullptr,
                                  LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                  LIBUSB_HOTPLUG_ENUMERATE, supportedVendor, product,
                                  LIBUSB_HOTPLUG_MATCH_ANY, TolvaneHotplugCallback, this, &handle);
        if (result >= 0)
            hotplugHandles.push_back(handle);
        if (result < 0) {
            WD_LOG(fatal) << "libusb_hotplug_register_callback" << " failed, error code: "
                          << hexText(result);
            throw VemoException(libusbStatus(result), GetLibusbError(result));
        }
    }

    // The event thread has nobody to report to: a libusb without the event pump fails here.
    Bind<decltype(libusb_handle_events_timeout_completed)>("libusb_handle_events_timeout_completed");
    running.store(true);
    eventThread = std::thread(&TolvaneWd::HandleLibusbEvents, this);
    WD_LOG(debug) << "libusb initialization succeeded.";
}

void TolvaneWdAPI::TolvaneWd::EndHotplug()
{
    if (!hotplugHandles.empty()) {
        try {
            auto deregister = Bind<decltype(libusb_hotplug_deregister_callback)>(
                "libusb_hotplug_deregister_callback");
            for (libusb_hotplug_callback_handle handle : hotplugHandles)
                deregister(nullptr, handle);
        } catch (const std::exception& e) {
            WD_LOG(error) << "Caught an exception: " << e.what();
        }
        hotplugHandles.clear();
    }
    // libusb may still be running a callback of ours on another thread that handles the shared
    // context's events; once this returns, none runs or starts.
    std::lock_guard<std::mutex> lock(liveMutex());
    liveTransports().erase(this);
}

std::mutex& TolvaneWdAPI::TolvaneWd::liveMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::unordered_set<TolvaneWdAPI::TolvaneWd*>& TolvaneWdAPI::TolvaneWd::liveTransports()
{
    static std::unordered_set<TolvaneWd*> live;
    return live;
}

void TolvaneWdAPI::TolvaneWd::EnterLive()
{
    std::lock_guard<std::mutex> lock(liveMutex());
    liveTransports().insert(this);
}

int LIBUSB_CALL TolvaneHotplugCallback(libusb_context*, libusb_device* device,
                                       libusb_hotplug_event event, void* user)
{
    auto* wd = static_cast<TolvaneWdAPI::TolvaneWd*>(user);
    // Held while the transport handles the event, so its shutdown waits for it.
    std::lock_guard<std::mutex> lock(TolvaneWdAPI::TolvaneWd::liveMutex());
    if (TolvaneWdAPI::TolvaneWd::liveTransports().count(wd) != 0)
        wd->Hotplug(device, event);
    return 0;
}
