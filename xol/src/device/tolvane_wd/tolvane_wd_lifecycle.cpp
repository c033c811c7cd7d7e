// Start-up, the libusb binding, the event thread and shutdown, common to both platforms.
#include "tolvane_wd.h"

#include <exception>

#include "exceptions.h"
#include "status_codes.h"

using tolvane::hexText;
using tolvane::libusbStatus;

namespace {
// Several times what one identification job takes, with room for the logging and libusb calls
// beneath it and for sanitizer builds.
constexpr std::size_t notificationStackSize = 1024 * 1024;
} // namespace

TolvaneWdAPI::TolvaneWd::TolvaneWd()
    : lastConnectionId(0), logger(boost::log::keywords::channel = "WD"), rwRetry(0),
      libHandle(nullptr), bulkTransfer(nullptr),
#ifdef _WIN32
      productIds{0x3C11, 0x3C17, 0x3C13, 0x3C15, 0x3C19}, window(nullptr), windowClosing(false),
#endif
      libusbStarted(false), running(false), stopping(false)
{
    LoadLibusb();
    WD_LOG(trace) << "Initializing notification thread";
    boost::thread::attributes stack;
    stack.set_stack_size(notificationStackSize);
    notificationThread = boost::thread(stack, [this] { NotificationThreadEntry(); });
    try {
        BindShutdown();
        DriverInit();
    } catch (...) {
        // Leave nothing behind: no thread, no open handle, libusb shut down and unloaded. Both
        // need the shutdown functions, bound before any device could be opened.
        StopThreads();
        CloseAll();
        if (libusbStarted)
            shutdownCalls.exit(nullptr);
        UnloadLibusb();
        throw;
    }
}

TolvaneWdAPI::TolvaneWd::~TolvaneWd()
{
    // Only reached with threads still running when Deinit failed or was skipped; a joinable
    // thread must not be destroyed.
    try {
        StopThreads();
    } catch (...) {
    }
}

void TolvaneWdAPI::TolvaneWd::SetRWRetry(unsigned long count) { rwRetry.store(count); }

void* TolvaneWdAPI::TolvaneWd::GetSymbolAddress(std::string name)
{
    if (libHandle == nullptr)
        throw status::libusbNotLoaded();
    if (void* address = FindSymbol(name.c_str()))
        return address;
    throw status::libusbSymbolNotFound(name);
}

std::string TolvaneWdAPI::TolvaneWd::GetLibusbError(int code)
{
    using ErrorName = decltype(libusb_error_name);
    void* address = libHandle ? FindSymbol("libusb_error_name") : nullptr;
    if (address == nullptr)
        return "libusb error";
    const char* text = reinterpret_cast<ErrorName*>(address)(code);
    return text ? text : "libusb error";
}

void TolvaneWdAPI::TolvaneWd::BindShutdown()
{
    shutdownCalls.release = Bind<decltype(libusb_release_interface)>("libusb_release_interface");
    shutdownCalls.close = Bind<decltype(libusb_close)>("libusb_close");
    shutdownCalls.exit = Bind<decltype(libusb_exit)>("libusb_exit");
}

void TolvaneWdAPI::TolvaneWd::InitLibusb()
{
    auto init = Bind<decltype(libusb_init)>("libusb_init");
    WD_LOG(trace) << "Calling libusb_init";
    int result = init(nullptr);
    if (result < 0) {
        WD_LOG(fatal) << "libusb_init failed, error code: " << hexText(result);
        throw VemoException(libusbStatus(result), GetLibusbError(result));
    }
    libusbStarted = true;
}

void TolvaneWdAPI::TolvaneWd::HandleLibusbEvents()
{
    decltype(libusb_handle_events_timeout_completed)* handleEvents = nullptr;
    try {
        handleEvents = Bind<decltype(libusb_handle_events_timeout_completed)>(
            "libusb_handle_events_timeout_completed");
    } catch (const std::exception& e) {
        WD_LOG(error) << "Caught an exception: " << e.what();
        return;
    }
    while (running.load()) {
        timeval timeout{0, 200000};
        handleEvents(nullptr, &timeout, nullptr);
    }
}

void TolvaneWdAPI::TolvaneWd::StopThreads()
{
    stopping.store(true);
    StopPlatformThreads();
    running.store(false);
    if (eventThread.joinable())
        eventThread.join();
    // Before the exit event and the closing of the handles: an arrival reported to this
    // transport through another thread's event handling is then queued and closed with the rest.
    EndHotplug();
    if (notificationThread.joinable()) {
        EventPush(TVD_EVENT_EXIT, nullptr, std::string());
        notificationThread.join();
    }
}

void TolvaneWdAPI::TolvaneWd::CloseAll()
{
    auto release = shutdownCalls.release;
    auto close = shutdownCalls.close;
    WD_LOG(trace) << "Calling libusb_close for all opened handles";
    for (auto& entry : snToHandle) {
        auto config = ioConfigCache.find(entry.first);
        if (config != ioConfigCache.end())
            release(entry.second, config->second.interfaceNumber);
        close(entry.second);
    }
    // Departed handles still held by a transfer; none remain once transfers have stopped.
    for (libusb_device_handle* handle : closeWhenIdle)
        close(handle);
    closeWhenIdle.clear();
}

void TolvaneWdAPI::TolvaneWd::Deinit()
{
    BOOST_LOG_FUNCTION();
    if (libHandle == nullptr)
        return;
    stopping.store(true);
    StopPlatformThreads();
    StopThreads();
    CloseAll();
    WD_LOG(trace) << "Calling libusb_exit";
    shutdownCalls.exit(nullptr);
    libusbStarted = false;
    UnloadLibusb();
    // Stopped: a later transfer fails as one on a transport without libusb does.
    stopping.store(false);
}
