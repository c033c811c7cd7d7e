// The libusb the library loads, driven as a host that uses it too would: its default context is
// then shared with the library's transport.
#ifndef XOL_TEST_SUPPORT_HOST_LIBUSB_H
#define XOL_TEST_SUPPORT_HOST_LIBUSB_H

#include <dlfcn.h>

#include <libusb-1.0/libusb.h>

namespace testkit {

class HostLibusb {
public:
    HostLibusb()
    {
        for (const char* name : {"libusb-1.0.so", "libusb-1.0.so.0"})
            if ((lib = dlopen(name, RTLD_NOW)) != nullptr)
                break;
        if (lib == nullptr)
            return;
        init = reinterpret_cast<decltype(init)>(dlsym(lib, "libusb_init"));
        exit = reinterpret_cast<decltype(exit)>(dlsym(lib, "libusb_exit"));
        registerCallback = reinterpret_cast<decltype(registerCallback)>(
            dlsym(lib, "libusb_hotplug_register_callback"));
        deregisterCallback = reinterpret_cast<decltype(deregisterCallback)>(
            dlsym(lib, "libusb_hotplug_deregister_callback"));
        handleEvents = reinterpret_cast<decltype(handleEvents)>(
            dlsym(lib, "libusb_handle_events_timeout_completed"));
    }
    ~HostLibusb()
    {
        if (lib != nullptr)
            dlclose(lib);
    }
    HostLibusb(const HostLibusb&) = delete;
    HostLibusb& operator=(const HostLibusb&) = delete;

    bool usable() const { return init && exit && registerCallback && deregisterCallback && handleEvents; }

    void* lib = nullptr;
    decltype(libusb_init)* init = nullptr;
    decltype(libusb_exit)* exit = nullptr;
    decltype(libusb_hotplug_register_callback)* registerCallback = nullptr;
    decltype(libusb_hotplug_deregister_callback)* deregisterCallback = nullptr;
    decltype(libusb_handle_events_timeout_completed)* handleEvents = nullptr;
};

} // namespace testkit

#endif
