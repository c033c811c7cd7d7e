// The USB transport's implementation: libusb bound by name, the hot-plug event and notification
// threads, the table of open connections and the bulk transfers on them.
#ifndef XOL_TOLVANE_WD_H
#define XOL_TOLVANE_WD_H

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/thread/thread.hpp>
#include <libusb-1.0/libusb.h>

#include "tolvane_libusb.h"
#include "tolvane_wd_callback.h"
#include "tolvane_wd_log.h"
#include "tolvane_wd_types.h"
#include "vemoapi.h"

class TolvaneWdAPI::TolvaneWd {
public:
    TolvaneWd();
    ~TolvaneWd();
    TolvaneWd(const TolvaneWd&) = delete;
    TolvaneWd& operator=(const TolvaneWd&) = delete;

    void Deinit();
    void SetRWRetry(unsigned long count);

    // libusb binding: every function is looked up again at each use, but for the bulk transfer
    // and what shutdown calls (shutdownCalls).
    void* GetSymbolAddress(std::string name);
    std::string GetLibusbError(int code);

    // Events and listeners.
    void EventPush(TVD_EVENT event, void* handle, const std::string& serial);
    void EventPop(TVD_EVENT& event, void*& handle, std::string& serial);
    void NotificationThreadEntry();
    void NotifyDeviceAttach(std::string serial);
    void NotifyDeviceDetach(std::string serial);
    void* Register(ITolvaneWdAPICallbackObj* listener);
    void Unregister(void* key);

    // Device database and hot-plug handling.
    bool Hotplug(libusb_device* device, libusb_hotplug_event event);
    void RemoveBySN(std::string const& serial);
    std::string RemoveByHandle(libusb_device_handle* handle);
    bool FindSNByHandle(libusb_device_handle* handle, std::string& serial);
    std::list<std::string> EnumerateDevices();
    std::list<TolvaneConnection> EnumerateConnections();
    TolvaneConnection Connection(const std::string& serial);
    bool IsLive(const TolvaneConnection& connection);
#ifdef _WIN32
    // Device-change handling: attach the first supported device present, not yet open and
    // openable (true when one entered) / detach the first open device no longer present.
    bool SendAddedLibusbDeviceToHotPlug();
    // Attaches every such device, one per pass until a pass adds none.
    void AttachPresentDevices();
    void SendRemovedLibusbDeviceToHotPlug();
    // Detaches every open device no longer present, one per pass until a pass removes none.
    void DetachAbsentDevices();
    // Body of the device-change window's thread: the window is created there, its messages
    // pumped until WM_CLOSE.
    void RunHotplugWindow();

private:
    struct DeviceListFunctions {
        decltype(libusb_get_device_list)* getList;
        decltype(libusb_free_device_list)* freeList;
        decltype(libusb_get_device_descriptor)* getDescriptor;
    };
    // Looks the three device-list functions up; false (logged) when one is missing.
    bool BindDeviceList(DeviceListFunctions& f);

public:
#endif
    void GetDeviceInfo(std::string const& serial, _soc_device_info_t& info);
#ifndef _WIN32
    // The transports whose hot-plug callbacks may run, and the lock each callback holds while it
    // runs: a shut-down transport's registration, still being dispatched on a thread that
    // handles the shared context's events, reaches nothing.
    static std::mutex& liveMutex();
    static std::unordered_set<TolvaneWd*>& liveTransports();
#endif

    // Endpoint selection and bulk transfers.
    // Reads the active configuration into `config`, which the caller frees; the other results
    // point into it. Throws when libusb cannot supply the descriptor.
    bool GetAltSetting(libusb_device* device, libusb_interface_descriptor const*& setting,
                       libusb_endpoint_descriptor const*& in, libusb_endpoint_descriptor const*& out,
                       libusb_config_descriptor*& config);
    bool GetAltSetting(libusb_interface const* iface, libusb_interface_descriptor const*& setting,
                       libusb_endpoint_descriptor const*& in, libusb_endpoint_descriptor const*& out);
    bool IoPipeSearch(libusb_interface_descriptor const* setting, libusb_endpoint_descriptor const*& in,
                      libusb_endpoint_descriptor const*& out);
    void ConfigureDeviceIO(std::string const& serial, TVD_LIBUSB_DEV_IO_CONFIG& config,
                           libusb_device_handle** handle);
    // `connection`, when given, is the operation's hold on its board (see TolvaneWdAPI).
    void Write(const std::string& serial, void* buffer, size_t capacity, size_t length, bool pad,
               unsigned long timeoutMs, uint64_t* connection = nullptr);
    void Read(const std::string& serial, void* buffer, size_t length, size_t& transferred,
              unsigned long timeoutMs, uint64_t* connection = nullptr);
    bool SwapStaleInput(const std::string& serial, uint64_t* connection, bool stale);

private:
    // Keeps a handle open while a transfer runs on it: a departure that comes meanwhile leaves
    // the closing to the last transfer.
    class TransferLease;
    // Fails a transfer once shutdown has begun.
    void RefuseWhileStopping() const;

    // Platform parts: how libusb is found, loaded and started.
    void LoadLibusb();
    void UnloadLibusb();
    void* FindSymbol(const char* name);
    // Binds what shutdown calls; throws when libusb lacks one of them.
    void BindShutdown();
    void DriverInit();
    // libusb_init on the default context; throws its failure.
    void InitLibusb();
    void HandleLibusbEvents();
    void StopThreads();
    // Platform threads that must end before the common shutdown (the Windows device-change
    // window); nothing on Linux.
    void StopPlatformThreads();
    // Arrival and departure of one device: true when the device was opened and entered.
    bool AttachDevice(libusb_device* device);
    void DetachDevice(libusb_device* device);
    void CloseAll();
    // ConfigureDeviceIO that refuses a connection other than the one `connection` holds (and
    // sets it when 0), and with `startTransfer` counts a transfer on the handle.
    void ConfigureDeviceIO(std::string const& serial, TVD_LIBUSB_DEV_IO_CONFIG& config,
                           libusb_device_handle** handle, uint64_t* connection, bool startTransfer);
    // Under deviceMutex: hands the operation its connection's identity and counts the transfer.
    void Hold(libusb_device_handle* handle, uint64_t id, uint64_t* connection, bool startTransfer);
    void ReleaseTransfer(libusb_device_handle* handle);
    void CloseHandle(libusb_device_handle* handle);
    // libusb's bulk transfer, looked up at its first use and kept while libusb stays loaded.
    decltype(libusb_bulk_transfer)* BulkTransfer();
    // Ends this transport's hot-plug registrations (Linux), waiting out a callback of theirs
    // that another thread sharing libusb's default context is running.
    void EndHotplug();
#ifndef _WIN32
    void EnterLive();
#endif

    template <typename F>
    F* Bind(const char* name)
    {
        return reinterpret_cast<F*>(GetSymbolAddress(name));
    }

    // Guards the connection tables below (handles by serial text and by device, the endpoint
    // cache, identities, running transfers, handles to close, stale input). Held only to look up
    // or change them, never across a transfer. Taken inside callbackMutex (a listener's
    // identification), inside liveMutex (a hot-plug callback), inside the interface object's
    // table and IFP locks (whether a connection is live) and, on Windows, inside the
    // device-change lock; only the logging core is entered inside it. Recursive: the arrival and
    // departure paths call the table helpers with it held.
    std::recursive_mutex deviceMutex;
    std::unordered_map<std::string, libusb_device_handle*> snToHandle;
    std::unordered_map<libusb_device*, libusb_device_handle*> devToHandle;
    std::unordered_map<std::string, TVD_LIBUSB_DEV_IO_CONFIG> ioConfigCache;
    // Identity of each connection, new at every arrival: a later board whose handle reuses a
    // departed one's address (and so its serial text) is another connection. Under deviceMutex.
    std::unordered_map<std::string, uint64_t> connectionIds;
    uint64_t lastConnectionId;
    // Transfers running per handle, and departed handles whose last transfer closes them; both
    // under deviceMutex.
    std::unordered_map<libusb_device_handle*, unsigned> transfersRunning;
    std::unordered_set<libusb_device_handle*> closeWhenIdle;
    // Connections marked by SwapStaleInput, with the identity of the connection marked; under
    // deviceMutex.
    std::unordered_map<std::string, uint64_t> staleInput;
    tolvane::Logger logger;
    // Guards callbackDb and is held while the listeners run, so Unregister waits for a running
    // attach or detach. Taken first: the listeners' own locks (the interface object's creation
    // lock, table lock, IFP lock) and deviceMutex come inside it. Recursive: a listener may
    // register or unregister from inside its call.
    std::recursive_mutex callbackMutex;
    std::unordered_map<void*, ITolvaneWdAPICallbackObj*> callbackDb;
    std::atomic<unsigned long> rwRetry;
    void* libHandle;
    std::atomic<decltype(libusb_bulk_transfer)*> bulkTransfer;
    // Bound at start-up, before libusb_init: shutdown runs in destructors and must find every
    // function it calls. Written only by the constructor.
    struct ShutdownFunctions {
        decltype(libusb_release_interface)* release = nullptr;
        decltype(libusb_close)* close = nullptr;
        decltype(libusb_exit)* exit = nullptr;
    } shutdownCalls;
#ifndef _WIN32
    // Handles of the registrations in force. libusb's default context may be shared (another
    // transport, or the host): libusb_exit then ends nothing, so each is deregistered first.
    std::vector<libusb_hotplug_callback_handle> hotplugHandles;
#endif
#ifdef _WIN32
    std::thread hotplugThread;
    uint32_t productIds[5];
    // The window of this transport's device-change thread and whether shutdown has begun,
    // under windowMutex: a shutdown that comes before the window exists still ends the thread.
    std::mutex windowMutex;
    void* window;
    bool windowClosing;
#endif
    // libusb_init succeeded: a failing start-up shuts libusb down again.
    bool libusbStarted;
    std::atomic<bool> running;
    // Shutdown is under way: every transfer fails at once, so an identification still running
    // on the notification thread ends within the transfer it is in.
    std::atomic<bool> stopping;
    std::thread eventThread;
    // Runs the listeners, whose identification of an arriving device needs about 120 KB of
    // stack: its size is set here, not left to the host's default for new threads.
    boost::thread notificationThread;
    // Guards eventQueue, with queueCv for the notification thread's wait. Innermost: no lock of
    // ours is taken inside it, and the notification thread lets it go before it calls a listener.
    std::mutex queueMutex;
    std::deque<TVD_EVENT_INFO> eventQueue;
    std::condition_variable queueCv;
};

namespace tolvane {
// A libusb result as a status: negative numbers sign-extended to the status width.
inline unsigned long libusbStatus(int result)
{
    return static_cast<unsigned long>(static_cast<long>(result));
}
} // namespace tolvane

int LIBUSB_CALL TolvaneHotplugCallback(libusb_context* context, libusb_device* device,
                                       libusb_hotplug_event event, void* user);

#endif
