// The device table from identifiers to serial texts, the IFP emulation records, and the lazy
// creation of the USB transport.
#include <cctype>
#include <chrono>
#include <thread>

#include "exceptions.h"
#include "status_codes.h"
#include "tolvane_libusb.h"
#include "vemoapi_impl.h"
#include "xol_jobs.h"

std::string VemoAPI::uid2sn(const std::array<char, 16>& uid)
{
    static const char digits[] = "0123456789abcdef";
    std::string id;
    id.reserve(32);
    for (char c : uid) {
        const unsigned char b = static_cast<unsigned char>(c);
        id += digits[b >> 4];
        id += digits[b & 0x0F];
    }
    return id;
}

namespace {

std::string identify(TolvaneWdAPI* transport, unsigned long timeout, std::string const& serial)
{
    XolJobIdDevice job(transport, timeout, serial, 0, 0);
    job.start();
    job.join();
    std::array<char, 16> uid;
    const auto& raw = job.getPlatformUniqueId();
    for (size_t i = 0; i < uid.size(); ++i)
        uid[i] = static_cast<char>(raw[i]);
    return VemoAPI::uid2sn(uid);
}

} // namespace

TolvaneWdAPI* VemoAPI::usbAPI()
{
    std::lock_guard<std::recursive_mutex> lock(creationLock);
    if (transport != nullptr)
        return transport;
    transport = new TolvaneWdAPI();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    transport->Register(this);
    updateUidSnMap();
    return transport;
}

void VemoAPI::updateUidSnMap()
{
    try {
        std::unordered_map<std::string, std::string> found;
        for (std::string const& serial : transport->EnumerateDevices()) {
            try {
                found.emplace(identify(transport, usbTimeout, serial), serial);
            } catch (...) {
                // A board that fails or does not answer must not hide the others; it gets an
                // entry only when it arrives again.
            }
        }
        // Departures during the pass wait in detach for the creation lock we hold, so none
        // of them is lost under the table installed here.
        std::lock_guard<std::recursive_mutex> lock(tableLock);
        deviceTable = std::move(found);
    } catch (...) {
        // The connections could not be listed or the table not be built: it stays as it was.
    }
}

std::string VemoAPI::getDevice(const char* identifier)
{
    TolvaneWdAPI* usb = usbAPI();
    if (identifier != nullptr && identifier[0] != '\0') {
        std::string key(identifier);
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::lock_guard<std::recursive_mutex> lock(tableLock);
        auto it = deviceTable.find(key);
        if (it == deviceTable.end())
            throw status::deviceNotFound();
        return it->second;
    }
    std::list<std::string> serials = usb->EnumerateDevices();
    if (serials.empty())
        throw status::deviceNotFound();
    return serials.front();
}

void VemoAPI::attach(std::string serial)
{
    try {
        const unsigned long timeout = usbTimeout;
        TolvaneWdAPI* usb = usbAPI();
        const std::string id = identify(usb, timeout, serial);
        std::lock_guard<std::recursive_mutex> lock(tableLock);
        deviceTable.emplace(id, serial);
    } catch (...) {
        // An arrival that cannot be identified simply gets no entry.
    }
}

void VemoAPI::detach(std::string serial)
{
    try {
        // Creation lock first: a departure during the identification pass waits until the pass
        // has installed its table, then takes its connection out of it.
        std::lock_guard<std::recursive_mutex> creation(creationLock);
        std::lock_guard<std::recursive_mutex> lock(tableLock);
        for (auto it = deviceTable.begin(); it != deviceTable.end(); ++it) {
            if (it->second == serial) {
                deviceTable.erase(it);
                break;
            }
        }
        // Also for a connection that was never identified: a later connection may be given
        // the same serial text and must not inherit this device's record.
        std::lock_guard<std::mutex> ifp(ifpLock);
        ifpTable.erase(serial);
    } catch (...) {
    }
}

void VemoAPI::getIfpEmulation(const std::string& serial, _id_dev_ifp_emulation_t& record,
                              bool& found)
{
    std::lock_guard<std::mutex> lock(ifpLock);
    auto it = ifpTable.find(serial);
    found = it != ifpTable.end();
    if (found)
        record = it->second;
}

void VemoAPI::setIfpEmulation(const std::string& serial, const _id_dev_ifp_emulation_t& record)
{
    std::lock_guard<std::mutex> lock(ifpLock);
    ifpTable[serial] = record;
}
