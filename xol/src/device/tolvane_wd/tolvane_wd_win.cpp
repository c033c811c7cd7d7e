// Windows start-up: libusb loaded from beside the host program, the devices present found by a
// scan of libusb's device list, and later arrivals and removals learnt from a hidden window
// registered for device-interface notifications.
#include "tolvane_wd_win.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <dbt.h>

#include "exceptions.h"
#include "status_codes.h"
#include "tolvane_wd.h"

using tolvane::hexText;
using tolvane::libusbStatus;

HWND hotplug_window_handle = nullptr;
HDEVNOTIFY hotplug_notify = nullptr;
// Held around each device-change message (the arrival and removal scans it runs): taken first,
// the transport's deviceMutex inside it.
std::mutex hotplug_lock;

namespace {
constexpr uint16_t supportedVendor = 0x7A3C;
constexpr char windowClass[] = "xol_device";
// The devices' interface class.
constexpr GUID deviceInterfaceClass = {
    0x6B1D93A2, 0x4C57, 0x4E0A, {0x9F, 0x3B, 0x2D, 0x8E, 0x71, 0xC0, 0x5A, 0x46}};
constexpr WPARAM changeRangeMask = 0xC000;
constexpr WPARAM changeRange = 0x8000;

// The host program's whole path; empty when it cannot be had. A path that does not fit fills the
// buffer to the brim, cut short: its folder would be some other folder, so the buffer grows.
// Wide: the ANSI form of a name outside the code page is another name ("prōg" becomes "prog"),
// the folder of some other program.
std::wstring programPath()
{
    constexpr size_t longest = 65536; // above any path Windows accepts
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::wstring();
        if (length < buffer.size() - 1)
            return std::wstring(buffer.data(), length);
        if (buffer.size() >= longest)
            return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}
} // namespace

void TolvaneWdAPI::TolvaneWd::LoadLibusb()
{
    std::wstring module = programPath();
    if (module.empty()) {
        WD_LOG(error) << "GetCurrentDirectory failed, exiting constructor without calling DriverInit";
        throw status::moduleFileNameNotFound();
    }
    boost::filesystem::path directory = boost::filesystem::path(module).parent_path();
    std::wstring file = (directory / L"libusb-1.0.dll").wstring();
    libHandle = reinterpret_cast<void*>(LoadLibraryW(file.c_str()));
    if (libHandle == nullptr) {
        WD_LOG(error) << "dlopen/load of libusb failed, exiting constructor without calling DriverInit";
        throw status::libusbNotFound();
    }
}

void TolvaneWdAPI::TolvaneWd::UnloadLibusb()
{
    if (libHandle != nullptr)
        FreeLibrary(static_cast<HMODULE>(libHandle));
    libHandle = nullptr;
    bulkTransfer.store(nullptr);
}

// No libusb hot-plug registration exists in this build.
void TolvaneWdAPI::TolvaneWd::EndHotplug() {}

void* TolvaneWdAPI::TolvaneWd::FindSymbol(const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(libHandle), name));
}

void TolvaneWdAPI::TolvaneWd::DriverInit()
{
    BOOST_LOG_FUNCTION();
    InitLibusb();
    // A device arriving from here until the window's registration is in place brings no message:
    // the window thread scans once more when it is.
    AttachPresentDevices();

    WD_LOG(trace) << " start a thread that will implement hot plug.";
    hotplugThread = std::thread(ImplementHotPlug, this);

    // The event thread has nobody to report to: a libusb without the event pump fails here.
    Bind<decltype(libusb_handle_events_timeout_completed)>("libusb_handle_events_timeout_completed");
    running.store(true);
    eventThread = std::thread(&TolvaneWd::HandleLibusbEvents, this);
    WD_LOG(debug) << "libusb initialization succeeded.";
}

void TolvaneWdAPI::TolvaneWd::StopPlatformThreads()
{
    HWND target;
    {
        std::lock_guard<std::mutex> lock(windowMutex);
        windowClosing = true;
        target = static_cast<HWND>(window);
    }
    // Without a window yet, the thread sees windowClosing once it has made one and ends.
    if (target != nullptr)
        SendMessageA(target, WM_CLOSE, 0, 0);
    if (hotplugThread.joinable())
        hotplugThread.join();
}

bool TolvaneWdAPI::TolvaneWd::BindDeviceList(DeviceListFunctions& f)
{
    try {
        f.getList = Bind<decltype(libusb_get_device_list)>("libusb_get_device_list");
        f.freeList = Bind<decltype(libusb_free_device_list)>("libusb_free_device_list");
        f.getDescriptor = Bind<decltype(libusb_get_device_descriptor)>("libusb_get_device_descriptor");
        return true;
    } catch (const std::exception& e) {
        WD_LOG(error) << "Caught an exception: " << e.what();
        return false;
    }
}

bool TolvaneWdAPI::TolvaneWd::SendAddedLibusbDeviceToHotPlug()
{
    BOOST_LOG_FUNCTION();
    DeviceListFunctions f;
    if (!BindDeviceList(f))
        return false;
    auto getList = f.getList;
    auto freeList = f.freeList;
    auto getDescriptor = f.getDescriptor;
    libusb_device** list = nullptr;
    ssize_t count = getList(nullptr, &list);
    if (count < 0) {
        WD_LOG(debug) << "libusb_get_device_list failed ";
        return false;
    }
    // A device that cannot be read, opened or attached (any device of any maker, or a board held
    // by another program for a moment) must not hide the ones listed after it.
    bool added = false;
    for (ssize_t i = 0; i < count && !added; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor;
        if (getDescriptor(device, &descriptor) < 0) {
            WD_LOG(debug) << "get_dev_desc failed ";
            continue;
        }
        if (descriptor.idVendor != supportedVendor ||
            std::find(std::begin(productIds), std::end(productIds), descriptor.idProduct) ==
                std::end(productIds))
            continue;
        if (devToHandle.count(device) != 0)
            continue;
        WD_LOG(debug) << "Found device we need to add";
        try {
            added = AttachDevice(device);
        } catch (const std::exception& e) {
            WD_LOG(error) << "Caught an exception: " << e.what();
        }
    }
    if (list != nullptr)
        freeList(list, 1);
    return added;
}

void TolvaneWdAPI::TolvaneWd::AttachPresentDevices()
{
    // A pass that reports an attach without entering a device would report the same again.
    for (;;) {
        size_t before = devToHandle.size();
        if (!SendAddedLibusbDeviceToHotPlug() || devToHandle.size() == before)
            break;
    }
}

void TolvaneWdAPI::TolvaneWd::SendRemovedLibusbDeviceToHotPlug()
{
    BOOST_LOG_FUNCTION();
    DeviceListFunctions f;
    if (!BindDeviceList(f))
        return;
    auto getList = f.getList;
    auto freeList = f.freeList;
    libusb_device** list = nullptr;
    ssize_t count = getList(nullptr, &list);
    if (count < 0) {
        WD_LOG(debug) << "libusb_get_device_list failed ";
        return;
    }
    for (auto& known : devToHandle) {
        // libusb lists an attached device as the same object for as long as it stays attached
        // (the open handle keeps it); descriptor fields cannot tell two boards of one model apart.
        bool present = std::find(list, list + count, known.first) != list + count;
        if (present) {
            WD_LOG(debug) << "Found the device in libusb data base. do not need to remove it. ";
            continue;
        }
        // The departure changes devToHandle: the walk ends here either way.
        try {
            DetachDevice(known.first);
        } catch (const std::exception& e) {
            WD_LOG(error) << "Caught an exception: " << e.what();
        }
        break;
    }
    if (list != nullptr)
        freeList(list, 1);
}

void TolvaneWdAPI::TolvaneWd::DetachAbsentDevices()
{
    for (;;) {
        size_t before = devToHandle.size();
        SendRemovedLibusbDeviceToHotPlug();
        if (devToHandle.size() == before)
            break;
    }
}

void TolvaneWdAPI::TolvaneWd::RunHotplugWindow()
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (instance == nullptr)
        return;
    WNDCLASSA windowClassInfo{};
    windowClassInfo.lpfnWndProc = OnDeviceChange;
    windowClassInfo.hInstance = instance;
    windowClassInfo.lpszClassName = windowClass;
    if (RegisterClassA(&windowClassInfo) == 0)
        return;
    HWND created = CreateWindowExA(0, windowClass, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this);
    if (created == nullptr) {
        UnregisterClassA(windowClass, instance);
        return;
    }
    hotplug_window_handle = created;
    bool closing;
    {
        std::lock_guard<std::mutex> lock(windowMutex);
        window = created;
        closing = windowClosing;
    }
    if (!closing) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = 32;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = deviceInterfaceClass;
        hotplug_notify = RegisterDeviceNotificationA(created, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (hotplug_notify != nullptr) {
            // What left and what arrived since the start-up scan, as their messages would.
            {
                std::lock_guard<std::mutex> lock(hotplug_lock);
                DetachAbsentDevices();
                AttachPresentDevices();
            }
            MSG message;
            while (GetMessageA(&message, nullptr, 0, 0) > 0) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
            UnregisterDeviceNotification(hotplug_notify);
        }
    }
    {
        std::lock_guard<std::mutex> lock(windowMutex);
        window = nullptr;
    }
    DestroyWindow(created);
    UnregisterClassA(windowClass, instance);
}

unsigned ImplementHotPlug(void* context)
{
    static_cast<TolvaneWdAPI::TolvaneWd*>(context)->RunHotplugWindow();
    return 0;
}

LRESULT CALLBACK OnDeviceChange(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        auto* creation = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    } else if (message == WM_CLOSE) {
        PostQuitMessage(0);
    } else if (message == WM_DEVICECHANGE && (wParam & changeRangeMask) == changeRange) {
        auto* impl = reinterpret_cast<TolvaneWdAPI::TolvaneWd*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        // The class GUID is read only from a broadcast long enough to hold it.
        if (impl != nullptr && header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
            header->dbch_size >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) + sizeof(GUID)) {
            std::lock_guard<std::mutex> lock(hotplug_lock);
            auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
            if (std::memcmp(&broadcast->dbcc_classguid, &deviceInterfaceClass, sizeof(GUID)) == 0) {
                if (wParam == DBT_DEVICEARRIVAL)
                    impl->AttachPresentDevices();
                else if (wParam == DBT_DEVICEREMOVECOMPLETE)
                    impl->SendRemovedLibusbDeviceToHotPlug();
            }
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
