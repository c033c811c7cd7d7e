// The table of open connections keyed by serial text, and the arrival and departure paths that
// fill and empty it.
#include "tolvane_wd.h"

#include <cstdint>
#include <cstdio>
#include <exception>

#include "exceptions.h"
#include "status_codes.h"

using tolvane::hexText;
using tolvane::libusbStatus;
using tolvane::ptrText;

bool TolvaneWdAPI::TolvaneWd::Hotplug(libusb_device* device, libusb_hotplug_event event)
{
    BOOST_LOG_FUNCTION();
    try {
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
            WD_LOG(debug) << "HotPlug LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ";
            return AttachDevice(device);
        } else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
            WD_LOG(debug) << "HotPlug LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT";
            DetachDevice(device);
        }
    } catch (const std::exception& e) {
        WD_LOG(error) << "Caught an exception: " << e.what();
    }
    return true;
}

namespace {
// The serial text of a connection: its handle in decimal, as wide as the platform's long.
std::string serialText(libusb_device_handle* handle)
{
#ifdef _WIN32
    char text[16];
    std::snprintf(text, sizeof text, "%ld",
                  static_cast<long>(static_cast<int32_t>(reinterpret_cast<intptr_t>(handle))));
#else
    char text[32];
    std::snprintf(text, sizeof text, "%ld", reinterpret_cast<long>(handle));
#endif
    return text;
}
} // namespace

bool TolvaneWdAPI::TolvaneWd::AttachDevice(libusb_device* device)
{
    {
        // libusb reports a device twice when its default context is shared and the device
        // arrives around our registration: a second open would leave a ghost connection.
        std::lock_guard<std::recursive_mutex> lock(deviceMutex);
        if (devToHandle.count(device) != 0) {
            WD_LOG(debug) << "Device already open, arrival ignored";
            return false;
        }
    }
    libusb_device_handle* handle = nullptr;
    int result = Bind<decltype(libusb_open)>("libusb_open")(device, &handle);
    if (result < 0) {
        WD_LOG(debug) << "Could not open device, handle: " << ptrText(handle) << ", status"
                      << hexText(result);
        return false;
    }
    std::string serial;
    try {
        serial = serialText(handle);
        WD_LOG(debug) << "Attaching device, handle: " << ptrText(handle);
        WD_LOG(debug) << "Device serial number: " << serial;

        WD_LOG(trace) << "DB update start";
        WD_LOG(trace) << "Trying to lock";
        std::unique_lock<std::recursive_mutex> lock(deviceMutex);
        WD_LOG(trace) << "Locked";
        WD_LOG(trace) << "To be safe: remove device related data from DB, if exists";
        RemoveBySN(serial);
        WD_LOG(trace) << "Adding device handle to DB";
        snToHandle.emplace(serial, handle);
        devToHandle.emplace(device, handle);
        connectionIds.emplace(serial, ++lastConnectionId);
        WD_LOG(trace) << "DB update success";
        lock.unlock();

        EventPush(TVD_EVENT_ATTACH, handle, std::string());
    } catch (...) {
        // The handle is closed here or never: no table may keep it.
        std::unique_lock<std::recursive_mutex> lock(deviceMutex);
        auto entered = snToHandle.find(serial);
        if (entered != snToHandle.end() && entered->second == handle)
            RemoveBySN(serial);
        auto byDevice = devToHandle.find(device);
        if (byDevice != devToHandle.end() && byDevice->second == handle)
            devToHandle.erase(byDevice);
        lock.unlock();
        shutdownCalls.close(handle);
        throw;
    }
    WD_LOG(debug) << "HotPlug attached device.  ";
    return true;
}

void TolvaneWdAPI::TolvaneWd::DetachDevice(libusb_device* device)
{
    auto close = Bind<decltype(libusb_close)>("libusb_close");
    std::unique_lock<std::recursive_mutex> lock(deviceMutex);
    libusb_device_handle* handle = devToHandle.at(device);
    WD_LOG(debug) << "Detaching device, handle: " << ptrText(handle);
    devToHandle.erase(device);
    std::string serial = RemoveByHandle(handle);
    // A transfer still running on the handle closes it when it ends.
    auto running = transfersRunning.find(handle);
    bool busy = running != transfersRunning.end() && running->second != 0;
    if (busy)
        closeWhenIdle.insert(handle);
    else if (running != transfersRunning.end())
        transfersRunning.erase(running);
    lock.unlock();
    if (!busy)
        close(handle);
    EventPush(TVD_EVENT_DETACH, handle, serial);
    WD_LOG(debug) << "HotPlug detached device.";
}

void TolvaneWdAPI::TolvaneWd::RemoveBySN(std::string const& serial)
{
    BOOST_LOG_FUNCTION();
    try {
        WD_LOG(trace) << "DB update start";
        WD_LOG(trace) << "Trying to lock";
        std::lock_guard<std::recursive_mutex> lock(deviceMutex);
        WD_LOG(trace) << "Locked";
        WD_LOG(trace) << "Trying to remove device( sn = " << serial << " ) handle from DB";
        snToHandle.erase(serial);
        WD_LOG(trace) << "Trying to remove device( sn = " << serial << " ) IO configuration from DB";
        ioConfigCache.erase(serial);
        connectionIds.erase(serial);
        WD_LOG(trace) << "DB update success";
    } catch (const std::exception& e) {
        WD_LOG(warning) << "Exception was caught: " << e.what();
    }
}

std::string TolvaneWdAPI::TolvaneWd::RemoveByHandle(libusb_device_handle* handle)
{
    BOOST_LOG_FUNCTION();
    WD_LOG(debug) << "Removing device by handle: " << ptrText(handle);
    WD_LOG(trace) << "Trying to lock";
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    WD_LOG(trace) << "Locked";
    std::string serial;
    WD_LOG(trace) << "Searching device by handle";
    if (FindSNByHandle(handle, serial)) {
        WD_LOG(trace) << "Device found, serial: " << serial;
        RemoveBySN(serial);
    }
    return serial;
}

bool TolvaneWdAPI::TolvaneWd::FindSNByHandle(libusb_device_handle* handle, std::string& serial)
{
    BOOST_LOG_FUNCTION();
    WD_LOG(trace) << "Trying to lock";
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    WD_LOG(trace) << "Locked";
    WD_LOG(trace) << "Search DB for device handle: " << ptrText(handle);
    for (auto& entry : snToHandle) {
        WD_LOG(trace) << "Current device handle: " << ptrText(entry.second) << ", serial: "
                      << entry.first;
        if (entry.second == handle) {
            serial = entry.first;
            WD_LOG(debug) << "Device found, serial: " << serial;
            return true;
        }
    }
    WD_LOG(debug) << "Device was not found";
    return false;
}

std::list<std::string> TolvaneWdAPI::TolvaneWd::EnumerateDevices()
{
    BOOST_LOG_FUNCTION();
    WD_LOG(trace) << "Trying to lock";
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    WD_LOG(trace) << "Locked";
    std::list<std::string> serials;
    for (auto& entry : snToHandle) {
        WD_LOG(trace) << "Current device serial: " << entry.first;
        serials.push_back(entry.first);
    }
    return serials;
}

std::list<TolvaneConnection> TolvaneWdAPI::TolvaneWd::EnumerateConnections()
{
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    std::list<TolvaneConnection> connections;
    // The listing's own records, as every listing writes them.
    for (const std::string& serial : EnumerateDevices())
        connections.push_back(TolvaneConnection{serial, connectionIds[serial]});
    return connections;
}

TolvaneConnection TolvaneWdAPI::TolvaneWd::Connection(const std::string& serial)
{
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    auto found = connectionIds.find(serial);
    if (found == connectionIds.end())
        throw status::deviceNotFound();
    return TolvaneConnection{serial, found->second};
}

bool TolvaneWdAPI::TolvaneWd::IsLive(const TolvaneConnection& connection)
{
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    auto found = connectionIds.find(connection.serial);
    return found != connectionIds.end() && found->second == connection.id;
}

void TolvaneWdAPI::TolvaneWd::GetDeviceInfo(std::string const& serial, _soc_device_info_t& info)
{
    BOOST_LOG_FUNCTION();
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    auto found = snToHandle.find(serial);
    if (found == snToHandle.end()) {
        WD_LOG(error) << "Device handle not found";
        throw status::deviceNotFound();
    }
    auto getDevice = Bind<decltype(libusb_get_device)>("libusb_get_device");
    auto getPortNumbers = Bind<decltype(libusb_get_port_numbers)>("libusb_get_port_numbers");
    auto getBusNumber = Bind<decltype(libusb_get_bus_number)>("libusb_get_bus_number");
    libusb_device* device = getDevice(found->second);
    info.usb.busNumber = getBusNumber(device);
    int count = getPortNumbers(device, info.usb.portNumbers, sizeof info.usb.portNumbers);
    if (count < 0) {
        WD_LOG(error) << "libusb_get_port_numbers failed, error code: " << hexText(count);
        throw VemoException(libusbStatus(count), GetLibusbError(count));
    }
    info.usb.portCount = count;
    info.type = 1;
}
