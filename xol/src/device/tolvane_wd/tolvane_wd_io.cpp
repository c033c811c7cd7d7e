// Claiming a connection's interface once, and the single bulk writes and reads on it.
#include "tolvane_wd.h"

#include <climits>
#include <exception>

#include "exceptions.h"
#include "status_codes.h"

using tolvane::hexText;
using tolvane::libusbStatus;
using tolvane::ptrText;

namespace {
// Bits 0..10 of wMaxPacketSize are the packet size proper, whatever else a device reports in the
// field: the pad rule and a read of "one packet" both go by them.
unsigned packetSize(TVD_LIBUSB_ENDPOINT const& endpoint)
{
    return endpoint.maxPacketSize & 0x7FFu;
}
constexpr unsigned maxPaddedPacket = 64;
} // namespace

class TolvaneWdAPI::TolvaneWd::TransferLease {
public:
    TransferLease(TolvaneWd& wd, const std::string& serial, TVD_LIBUSB_DEV_IO_CONFIG& config,
                  uint64_t* connection)
        : wd(wd)
    {
        // One hold of deviceMutex finds the connection and counts the transfer, so no
        // departure closes the handle in between.
        wd.ConfigureDeviceIO(serial, config, &handle, connection, true);
    }
    ~TransferLease() { wd.ReleaseTransfer(handle); }
    TransferLease(const TransferLease&) = delete;
    TransferLease& operator=(const TransferLease&) = delete;

    libusb_device_handle* handle = nullptr;

private:
    TolvaneWd& wd;
};

void TolvaneWdAPI::TolvaneWd::ConfigureDeviceIO(std::string const& serial,
                                                TVD_LIBUSB_DEV_IO_CONFIG& config,
                                                libusb_device_handle** handle)
{
    ConfigureDeviceIO(serial, config, handle, nullptr, false);
}

void TolvaneWdAPI::TolvaneWd::ConfigureDeviceIO(std::string const& serial,
                                                TVD_LIBUSB_DEV_IO_CONFIG& config,
                                                libusb_device_handle** handle,
                                                uint64_t* connection, bool startTransfer)
{
    BOOST_LOG_FUNCTION();
    WD_LOG(debug) << "Configure device IO by serial: " << serial;
    WD_LOG(trace) << "Trying to lock";
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    WD_LOG(trace) << "Locked";
    WD_LOG(trace) << "Searching DB for device handle";
    const bool bound = connection != nullptr && *connection != 0;
    auto found = snToHandle.find(serial);
    if (found == snToHandle.end()) {
        WD_LOG(error) << "Device handle not found";
        // The operation's board has left: nothing that arrives later is that board.
        if (bound)
            throw VemoException(libusbStatus(LIBUSB_ERROR_NO_DEVICE),
                                GetLibusbError(LIBUSB_ERROR_NO_DEVICE));
        throw status::deviceNotFound();
    }
    const uint64_t id = connectionIds[serial];
    if (bound && id != *connection) {
        WD_LOG(error) << "Device handle belongs to a board that arrived later";
        throw VemoException(libusbStatus(LIBUSB_ERROR_NO_DEVICE),
                            GetLibusbError(LIBUSB_ERROR_NO_DEVICE));
    }
    libusb_device_handle* deviceHandle = found->second;
    WD_LOG(debug) << "Found device handle: " << ptrText(deviceHandle);
    WD_LOG(trace) << "Searching DB for device IO configuration";
    auto cached = ioConfigCache.find(serial);
    if (cached != ioConfigCache.end()) {
        WD_LOG(debug) << "Found device IO configuration";
        config = cached->second;
        *handle = deviceHandle;
        Hold(deviceHandle, id, connection, startTransfer);
        return;
    }

    WD_LOG(trace) << "Calling libusb_get_device( handle = " << ptrText(deviceHandle) << " )";
    libusb_device* device = Bind<decltype(libusb_get_device)>("libusb_get_device")(deviceHandle);
    WD_LOG(trace) << "libusb_get_device success";

    libusb_config_descriptor* descriptor = nullptr;
    decltype(libusb_free_config_descriptor)* freeDescriptor = nullptr;
    try {
        freeDescriptor =
            Bind<decltype(libusb_free_config_descriptor)>("libusb_free_config_descriptor");
        libusb_interface_descriptor const* setting = nullptr;
        libusb_endpoint_descriptor const* in = nullptr;
        libusb_endpoint_descriptor const* out = nullptr;
        WD_LOG(trace) << "Searching device for alternate setting";
        if (!GetAltSetting(device, setting, in, out, descriptor)) {
            WD_LOG(warning) << "Alternate setting had not been found";
            throw VemoException(libusbStatus(LIBUSB_ERROR_PIPE), "Unable to find a pipe");
        }
        unsigned number = setting->bInterfaceNumber;
        WD_LOG(trace) << "Alternate setting had been found: " << "Interface number: " << number
                      << "; Alternate setting number: "
                      << static_cast<unsigned>(setting->bAlternateSetting);
        WD_LOG(debug) << "Pipe IN: " << "Endpoint address: " << hexText(in->bEndpointAddress)
                      << "Max packet size: " << hexText(in->wMaxPacketSize)
                      << "; Attributes: " << hexText(in->bmAttributes);
        WD_LOG(debug) << "Pipe OUT: " << "Endpoint address: " << hexText(out->bEndpointAddress)
                      << "Max packet size: " << hexText(out->wMaxPacketSize)
                      << "; Attributes: " << hexText(out->bmAttributes);

        WD_LOG(trace) << "Calling libusb_claim_interface(" << " handle = " << ptrText(deviceHandle)
                      << ", interface_number = " << number << " )";
        int result = Bind<decltype(libusb_claim_interface)>("libusb_claim_interface")(
            deviceHandle, static_cast<int>(number));
        if (result != 0) {
            WD_LOG(error) << "libusb_claim_interface failed, error code: " << hexText(result);
            throw VemoException(libusbStatus(result), GetLibusbError(result));
        }
        WD_LOG(trace) << "libusb_claim_interface success";

        TVD_LIBUSB_DEV_IO_CONFIG entry{};
        entry.interfaceNumber = setting->bInterfaceNumber;
        entry.inEndpoint = {in->bEndpointAddress, in->wMaxPacketSize};
        entry.outEndpoint = {out->bEndpointAddress, out->wMaxPacketSize};
        ioConfigCache[serial] = entry;
        config = entry;
    } catch (const std::exception& e) {
        WD_LOG(error) << "Caught an exception: " << e.what();
        if (descriptor != nullptr && freeDescriptor != nullptr)
            freeDescriptor(descriptor);
        throw;
    }
    freeDescriptor(descriptor);
    *handle = deviceHandle;
    Hold(deviceHandle, id, connection, startTransfer);
}

void TolvaneWdAPI::TolvaneWd::Hold(libusb_device_handle* handle, uint64_t id, uint64_t* connection,
                                   bool startTransfer)
{
    if (connection != nullptr)
        *connection = id;
    if (startTransfer)
        ++transfersRunning[handle];
}

void TolvaneWdAPI::TolvaneWd::ReleaseTransfer(libusb_device_handle* handle)
{
    bool close = false;
    {
        std::lock_guard<std::recursive_mutex> lock(deviceMutex);
        auto running = transfersRunning.find(handle);
        if (running == transfersRunning.end())
            return;
        // The count stays in the table at 0 while the connection lasts: no node is made and
        // freed per transfer.
        if (--running->second == 0 && closeWhenIdle.erase(handle) != 0) {
            transfersRunning.erase(running);
            close = true;
        }
    }
    if (close)
        CloseHandle(handle);
}

decltype(libusb_bulk_transfer)* TolvaneWdAPI::TolvaneWd::BulkTransfer()
{
    decltype(libusb_bulk_transfer)* transfer = bulkTransfer.load(std::memory_order_acquire);
    if (transfer == nullptr) {
        transfer = Bind<decltype(libusb_bulk_transfer)>("libusb_bulk_transfer");
        bulkTransfer.store(transfer, std::memory_order_release);
    }
    return transfer;
}

void TolvaneWdAPI::TolvaneWd::CloseHandle(libusb_device_handle* handle)
{
    try {
        Bind<decltype(libusb_close)>("libusb_close")(handle);
    } catch (const std::exception& e) {
        WD_LOG(error) << "Caught an exception: " << e.what();
    }
}

void TolvaneWdAPI::TolvaneWd::RefuseWhileStopping() const
{
    // Nobody waits for the answer any more: an identification that found the board on arrival
    // would otherwise keep shutdown waiting for as long as the board keeps it busy.
    if (stopping.load())
        throw status::deviceNotFound();
}

void TolvaneWdAPI::TolvaneWd::Write(const std::string& serial, void* buffer, size_t capacity,
                                    size_t length, bool pad, unsigned long timeoutMs,
                                    uint64_t* connection)
{
    BOOST_LOG_FUNCTION();
    RefuseWhileStopping();
    WD_LOG(trace) << "Configuring device IO, serial: " << serial;
    TVD_LIBUSB_DEV_IO_CONFIG config;
    TransferLease lease(*this, serial, config, connection);
    WD_LOG(trace) << "Device IO configured, handle: " << ptrText(lease.handle);

    // Never let libusb read past the caller's buffer.
    if (length > capacity || length >= static_cast<size_t>(INT_MAX))
        throw status::internalError();
    // A message that fills whole small packets gets one zero byte, so the device sees its end.
    // A device that reports packets of size 0 cannot be padded for.
    const unsigned packet = packetSize(config.outEndpoint);
    const bool padding = pad && packet != 0 && packet <= maxPaddedPacket && length % packet == 0;
    size_t sendLength = length;
    if (padding) {
        if (length + 1 > capacity)
            throw status::internalError();
        static_cast<unsigned char*>(buffer)[length] = 0;
        sendLength = length + 1;
    }

    WD_LOG(debug) << "Calling libusb_bulk_transfer(" << " dev_handle = " << ptrText(lease.handle)
                  << ", endpoint = " << hexText(config.outEndpoint.address)
                  << ", length = " << sendLength << ", timeout  = " << timeoutMs << " )";
    int sent = 0;
    int result = BulkTransfer()(
        lease.handle, config.outEndpoint.address, static_cast<unsigned char*>(buffer),
        static_cast<int>(sendLength), &sent, static_cast<unsigned int>(timeoutMs));
    if (result != 0) {
        WD_LOG(error) << "libusb_bulk_transfer failed, error code: " << hexText(result);
        throw VemoException(libusbStatus(result), GetLibusbError(result));
    }
    WD_LOG(debug) << "Bytes sent: " << sent;
}

void TolvaneWdAPI::TolvaneWd::Read(const std::string& serial, void* buffer, size_t length,
                                   size_t& transferred, unsigned long timeoutMs,
                                   uint64_t* connection)
{
    BOOST_LOG_FUNCTION();
    RefuseWhileStopping();
    WD_LOG(trace) << "Configuring device IO, serial: " << serial;
    TVD_LIBUSB_DEV_IO_CONFIG config;
    TransferLease lease(*this, serial, config, connection);
    WD_LOG(trace) << "Device IO configured, handle: " << ptrText(lease.handle);

    size_t want = length != 0 ? length : packetSize(config.inEndpoint);
    if (want >= static_cast<size_t>(INT_MAX))
        throw status::internalError();
    WD_LOG(debug) << "Calling libusb_bulk_transfer(" << " dev_handle = " << ptrText(lease.handle)
                  << ", endpoint = " << hexText(config.inEndpoint.address)
                  << ", length = " << want << ", timeout  = " << timeoutMs << " )";
    int count = 0;
    int result = BulkTransfer()(
        lease.handle, config.inEndpoint.address, static_cast<unsigned char*>(buffer),
        static_cast<int>(want), &count, static_cast<unsigned int>(timeoutMs));
    if (result != 0) {
        WD_LOG(error) << "libusb_bulk_transfer failed, bytes transferred = " << count
                      << ", error code: " << hexText(result);
        throw VemoException(libusbStatus(result), GetLibusbError(result));
    }
    WD_LOG(debug) << "Bytes transferred: " << count;
    transferred = static_cast<size_t>(static_cast<long>(count));
}

// --- the stale-input mark the protocol keeps per connection, across its protocol objects

bool TolvaneWdAPI::TolvaneWd::SwapStaleInput(const std::string& serial, uint64_t* connection,
                                             bool stale)
{
    std::lock_guard<std::recursive_mutex> lock(deviceMutex);
    auto found = connectionIds.find(serial);
    if (found == connectionIds.end())
        return false;
    if (*connection == 0)
        *connection = found->second;
    // A caller held to a departed connection neither sees nor clears the mark of the one that
    // took its serial text, nor marks it.
    if (*connection != found->second)
        return false;
    auto mark = staleInput.find(serial);
    const bool marked = mark != staleInput.end() && mark->second == found->second;
    if (mark != staleInput.end())
        staleInput.erase(mark);
    if (stale)
        staleInput.emplace(serial, found->second);
    return marked;
}
