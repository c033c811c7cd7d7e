// The libusb stand-in: the libusb functions the transport binds, with libusb's C signatures, over
// simulated devices, plus the control face tests drive it with. Hot-plug callbacks run inside
// libusb_handle_events_timeout_completed (or inside the registration for devices present), on
// the caller's thread, as with libusb.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>

#include "standin_control.h"
#include "standin_packets.h"

#if defined(STANDIN_BUS_HOOKS)
// A variant built with these hooks brings its bus up in libusb_init and takes it down in
// libusb_exit, outside the stand-in's lock; another source of that variant defines them.
void standinBusUp();
void standinBusDown();
#endif

// libusb's calling convention: stdcall on 32-bit Windows, the platform's default elsewhere.
#define STANDIN_CALL LIBUSB_CALL

struct libusb_device {
    standin::DeviceId id;
    SimDeviceDesc desc;
    std::shared_ptr<SimFunction> function;
    bool gone = false;
    standin::InPackets inQueue;
    SimTranscript transcript;
    std::vector<unsigned> claims;
    standin::DeviceFaults faults;
    struct TransferFault {
        unsigned skip;  // transfers to let pass first
        int result;
        int actual;
    };
    std::deque<TransferFault> transferFaults;
    int opens = 0;
    libusb_device_handle* last = nullptr;
    std::mutex functionMutex; // the function sees one transfer at a time
};

struct libusb_device_handle {
    libusb_device* dev;
    std::string name;
    bool closed = false;
    int transfers = 0;
};

namespace {

struct Registration {
    int events, flags, vendor, product, devClass;
    libusb_hotplug_callback_fn callback;
    void* user;
    libusb_hotplug_callback_handle handle;
};

struct ConfigHolder {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> settings;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

struct State {
    std::mutex mutex;
    std::condition_variable cv;
    // Hot-plug events only: a message queued for the host does not wake the event thread.
    std::condition_variable eventCv;
    standin::Faults faults;
    bool initialised = false;
    // libusb_init calls not yet ended by libusb_exit: the default context is shared, as libusb's.
    int initCount = 0;
    libusb_hotplug_callback_handle lastRegistration = 0;
    int registerCalls = 0;
    standin::DeviceId nextId = 1;
    std::vector<std::unique_ptr<libusb_device>> devices;
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
    std::vector<Registration> registrations;
    std::deque<std::pair<libusb_device*, libusb_hotplug_event>> pending;
    std::vector<std::string> calls;
    std::map<libusb_config_descriptor*, std::unique_ptr<ConfigHolder>> configs;
    int closedUses = 0;
    libusb_device_handle* reuse = nullptr;
    void (*openHook)() = nullptr;
};

State& state()
{
    static State s;
    return s;
}

libusb_device* find(State& s, standin::DeviceId id)
{
    for (auto& d : s.devices)
        if (d->id == id)
            return d.get();
    return nullptr;
}

std::string devName(const libusb_device* dev) { return "dev" + std::to_string(dev ? dev->id : 0); }

std::string handleName(const libusb_device_handle* h) { return h ? h->name : "null"; }

// A call on a handle that libusb_close already ended.
bool closedUse(State& s, libusb_device_handle* h)
{
    if (h && h->closed) {
        ++s.closedUses;
        return true;
    }
    return false;
}

bool matches(const Registration& r, const libusb_device* dev, libusb_hotplug_event event)
{
    return (r.events & event) && (r.vendor == LIBUSB_HOTPLUG_MATCH_ANY || r.vendor == dev->desc.vendorId) &&
           (r.product == LIBUSB_HOTPLUG_MATCH_ANY || r.product == dev->desc.productId) &&
           r.devClass == LIBUSB_HOTPLUG_MATCH_ANY;
}

// Runs the callbacks outside the lock; a callback returning nonzero ends its registration.
void dispatch(State& s, std::unique_lock<std::mutex>& lock,
              const std::vector<std::pair<libusb_device*, libusb_hotplug_event>>& events,
              std::vector<Registration> regs)
{
    auto registered = [&](const Registration& reg) {
        return std::any_of(s.registrations.begin(), s.registrations.end(),
                           [&](const Registration& r) { return r.handle == reg.handle; });
    };
    for (auto& event : events) {
        for (auto& reg : regs) {
            // Deregistered meanwhile: libusb calls it no more.
            if (!matches(reg, event.first, event.second) || !registered(reg))
                continue;
            lock.unlock();
            int done = reg.callback(nullptr, event.first, event.second, reg.user);
            lock.lock();
            if (done)
                s.registrations.erase(std::remove_if(s.registrations.begin(), s.registrations.end(),
                                                     [&](const Registration& r) {
                                                         return r.handle == reg.handle;
                                                     }),
                                      s.registrations.end());
        }
    }
}

} // namespace

namespace standin {

void reset()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& d : s.devices)
        if (d->function)
            d->function->attachSender(nullptr);
    s.faults = Faults();
    s.initialised = false;
    s.initCount = 0;
    s.lastRegistration = 0;
    s.registerCalls = 0;
    s.nextId = 1;
    s.devices.clear();
    s.handles.clear();
    s.registrations.clear();
    s.pending.clear();
    s.calls.clear();
    s.configs.clear();
    s.closedUses = 0;
    s.reuse = nullptr;
    s.openHook = nullptr;
}

void setFaults(const Faults& faults)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults = faults;
}

DeviceId plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto dev = std::make_unique<libusb_device>();
    dev->id = s.nextId++;
    dev->desc = desc;
    dev->function = function;
    libusb_device* raw = dev.get();
    if (function)
        function->attachSender([raw](SimFunction::Bytes message) {
            State& st = state();
            std::lock_guard<std::mutex> l(st.mutex);
            if (!raw->gone)
                raw->inQueue.push(std::move(message));
            st.cv.notify_all();
        });
    s.devices.push_back(std::move(dev));
    // Before the first registration the enumerate pass finds the device instead.
    if (s.initialised && !s.registrations.empty())
        s.pending.emplace_back(raw, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    s.cv.notify_all();
    s.eventCv.notify_all();
    return raw->id;
}

void unplug(DeviceId id)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    libusb_device* dev = find(s, id);
    if (!dev || dev->gone)
        return;
    dev->gone = true;
    dev->inQueue.clear();
    if (s.initialised)
        s.pending.emplace_back(dev, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    s.cv.notify_all();
    s.eventCv.notify_all();
}

void setDeviceFaults(DeviceId id, const DeviceFaults& faults)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (libusb_device* dev = find(s, id))
        dev->faults = faults;
}

void failNextTransfer(DeviceId id, int result, int actual)
{
    failTransferAfter(id, 0, result, actual);
}

void failTransferAfter(DeviceId id, unsigned skip, int result, int actual)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (libusb_device* dev = find(s, id))
        dev->transferFaults.push_back({skip, result, actual});
}

void reuseHandleOnNextOpen(libusb_device_handle* handle)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.reuse = handle;
}

void onNextOpen(void (*hook)())
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.openHook = hook;
}

std::vector<SimTransfer> transcript(DeviceId id)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    libusb_device* dev = find(s, id);
    return dev ? dev->transcript.snapshot() : std::vector<SimTransfer>();
}

std::vector<unsigned> claims(DeviceId id)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    libusb_device* dev = find(s, id);
    return dev ? dev->claims : std::vector<unsigned>();
}

std::vector<std::string> calls()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.calls;
}

libusb_device_handle* lastHandle(DeviceId id)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    libusb_device* dev = find(s, id);
    return dev ? dev->last : nullptr;
}

int closedHandleUses()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.closedUses;
}

int configsOutstanding()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return static_cast<int>(s.configs.size());
}

int registrations()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return static_cast<int>(s.registrations.size());
}

bool initialised()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.initialised;
}

} // namespace standin

extern "C" {

#ifndef STANDIN_OMIT_libusb_init
STANDIN_EXPORT int STANDIN_CALL libusb_init(libusb_context** ctx)
{
#if defined(STANDIN_BUS_HOOKS)
    standinBusUp();
#endif
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back(std::string("libusb_init(") + (ctx ? "ctx" : "null") + ")");
    if (s.faults.initResult != 0)
        return s.faults.initResult;
    s.initialised = true;
    ++s.initCount;
    if (ctx)
        *ctx = nullptr;
    return 0;
}
#endif

#ifndef STANDIN_OMIT_libusb_exit
STANDIN_EXPORT void STANDIN_CALL libusb_exit(libusb_context*)
{
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.calls.push_back("libusb_exit(null)");
        // Only the last user's exit ends the context and its registrations.
        if (s.initCount > 0 && --s.initCount == 0) {
            s.initialised = false;
            s.registrations.clear();
            s.pending.clear();
        }
    }
#if defined(STANDIN_BUS_HOOKS)
    standinBusDown();
#endif
}
#endif

STANDIN_EXPORT void STANDIN_CALL libusb_set_debug(libusb_context*, int level)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_set_debug(null, " + std::to_string(level) + ")");
}

STANDIN_EXPORT int STANDIN_CALL libusb_has_capability(uint32_t capability)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_has_capability(" + std::to_string(capability) + ")");
    if (capability == LIBUSB_CAP_HAS_HOTPLUG)
        return s.faults.hasHotplug ? 1 : 0;
    return 0;
}

#ifndef STANDIN_OMIT_libusb_error_name
STANDIN_EXPORT const char* STANDIN_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}
#endif

#ifndef STANDIN_OMIT_libusb_hotplug_register_callback
STANDIN_EXPORT int STANDIN_CALL libusb_hotplug_register_callback(
    libusb_context*, int events, int flags, int vendor, int product, int devClass,
    libusb_hotplug_callback_fn callback, void* user, libusb_hotplug_callback_handle* handle)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    std::ostringstream call;
    call << "libusb_hotplug_register_callback(null, " << events << ", " << flags << ", 0x"
         << std::hex << vendor << ", 0x" << product << std::dec << ", " << devClass << ", "
         << (handle ? "handle" : "null") << ")";
    s.calls.push_back(call.str());
    if (++s.registerCalls == s.faults.registerFailAt)
        return s.faults.registerResult;
    Registration reg{events, flags, vendor, product, devClass, callback, user, ++s.lastRegistration};
    s.registrations.push_back(reg);
    if (handle)
        *handle = reg.handle;
    if (flags & LIBUSB_HOTPLUG_ENUMERATE) {
        std::vector<std::pair<libusb_device*, libusb_hotplug_event>> present;
        for (auto& d : s.devices)
            if (!d->gone)
                present.emplace_back(d.get(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        dispatch(s, lock, present, {reg});
    }
    return 0;
}
#endif

#ifndef STANDIN_OMIT_libusb_hotplug_deregister_callback
STANDIN_EXPORT void STANDIN_CALL libusb_hotplug_deregister_callback(libusb_context*,
                                                                    libusb_hotplug_callback_handle handle)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_hotplug_deregister_callback(null, " + std::to_string(handle) + ")");
    s.registrations.erase(std::remove_if(s.registrations.begin(), s.registrations.end(),
                                         [&](const Registration& r) { return r.handle == handle; }),
                          s.registrations.end());
}
#endif

#ifndef STANDIN_OMIT_libusb_handle_events_timeout_completed
STANDIN_EXPORT int STANDIN_CALL libusb_handle_events_timeout_completed(libusb_context*,
                                                                       struct timeval* tv, int*)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto wait = std::chrono::seconds(tv ? tv->tv_sec : 0) +
                std::chrono::microseconds(tv ? tv->tv_usec : 0);
    s.eventCv.wait_for(lock, wait, [&] { return !s.pending.empty(); });
    std::vector<std::pair<libusb_device*, libusb_hotplug_event>> events(s.pending.begin(),
                                                                        s.pending.end());
    s.pending.clear();
    dispatch(s, lock, events, s.registrations);
    return 0;
}
#endif

#ifndef STANDIN_OMIT_libusb_open
STANDIN_EXPORT int STANDIN_CALL libusb_open(libusb_device* dev, libusb_device_handle** out)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_open(" + devName(dev) + ")");
    if (dev->faults.openResult != 0)
        return dev->faults.openResult;
    if (dev->gone)
        return LIBUSB_ERROR_NO_DEVICE;
    libusb_device_handle* h = s.reuse;
    s.reuse = nullptr;
    if (h == nullptr) {
        s.handles.push_back(std::make_unique<libusb_device_handle>());
        h = s.handles.back().get();
    }
    h->dev = dev;
    h->closed = false;
    h->transfers = 0;
    h->name = devName(dev) + "#" + std::to_string(++dev->opens);
    dev->last = h;
    *out = h;
    void (*hook)() = s.openHook;
    s.openHook = nullptr;
    lock.unlock();
    if (hook)
        hook();
    return 0;
}
#endif

#ifndef STANDIN_OMIT_libusb_close
STANDIN_EXPORT void STANDIN_CALL libusb_close(libusb_device_handle* h)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_close(" + handleName(h) + ")");
    if (!h)
        return;
    // Closing under a running transfer frees what the transfer is using.
    if (closedUse(s, h) || h->transfers > 0)
        ++s.closedUses;
    h->closed = true;
    s.cv.notify_all();
}
#endif

STANDIN_EXPORT libusb_device* STANDIN_CALL libusb_get_device(libusb_device_handle* h)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    closedUse(s, h);
    return h ? h->dev : nullptr;
}

STANDIN_EXPORT uint8_t STANDIN_CALL libusb_get_bus_number(libusb_device* dev)
{
    return dev->desc.busNumber;
}

STANDIN_EXPORT int STANDIN_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int length)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_get_port_numbers(" + devName(dev) + ", " + std::to_string(length) + ")");
    if (dev->faults.portsResult != 0)
        return dev->faults.portsResult;
    const auto& path = dev->desc.portNumbers;
    if (length < 0 || path.size() > static_cast<size_t>(length))
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(path.begin(), path.end(), ports);
    return static_cast<int>(path.size());
}

STANDIN_EXPORT int STANDIN_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                                    libusb_config_descriptor** out)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_get_active_config_descriptor(" + devName(dev) + ")");
    if (dev->faults.configResult != 0)
        return dev->faults.configResult;
    auto holder = std::make_unique<ConfigHolder>();
    const auto& ifaces = dev->desc.interfaces;
    holder->interfaces.resize(ifaces.size());
    holder->settings.resize(ifaces.size());
    holder->endpoints.resize(ifaces.size());
    for (size_t i = 0; i < ifaces.size(); ++i) {
        const auto& alts = ifaces[i].altSettings;
        holder->settings[i].resize(alts.size());
        holder->endpoints[i].resize(alts.size());
        for (size_t j = 0; j < alts.size(); ++j) {
            for (const SimEndpoint& ep : alts[j].endpoints) {
                libusb_endpoint_descriptor e{};
                e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
                e.bDescriptorType = LIBUSB_DT_ENDPOINT;
                e.bEndpointAddress = ep.address;
                e.bmAttributes = ep.attributes;
                e.wMaxPacketSize = ep.maxPacketSize;
                holder->endpoints[i][j].push_back(e);
            }
            libusb_interface_descriptor& d = holder->settings[i][j];
            d = libusb_interface_descriptor{};
            d.bLength = LIBUSB_DT_INTERFACE_SIZE;
            d.bDescriptorType = LIBUSB_DT_INTERFACE;
            d.bInterfaceNumber = ifaces[i].number;
            d.bAlternateSetting = static_cast<uint8_t>(j);
            d.bNumEndpoints = static_cast<uint8_t>(alts[j].endpoints.size());
            d.bInterfaceClass = 0xFF;
            d.endpoint = holder->endpoints[i][j].empty() ? nullptr : holder->endpoints[i][j].data();
        }
        holder->interfaces[i].altsetting = holder->settings[i].data();
        holder->interfaces[i].num_altsetting = static_cast<int>(alts.size());
    }
    libusb_config_descriptor& c = holder->config;
    c.bLength = LIBUSB_DT_CONFIG_SIZE;
    c.bDescriptorType = LIBUSB_DT_CONFIG;
    c.bNumInterfaces = static_cast<uint8_t>(ifaces.size());
    c.bConfigurationValue = 1;
    c.interface = holder->interfaces.data();
    libusb_config_descriptor* result = &holder->config;
    s.configs[result] = std::move(holder);
    *out = result;
    return 0;
}

STANDIN_EXPORT void STANDIN_CALL libusb_free_config_descriptor(libusb_config_descriptor* config)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_free_config_descriptor");
    s.configs.erase(config);
}

STANDIN_EXPORT int STANDIN_CALL libusb_claim_interface(libusb_device_handle* h, int number)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_claim_interface(" + handleName(h) + ", " + std::to_string(number) + ")");
    if (closedUse(s, h))
        return LIBUSB_ERROR_NO_DEVICE;
    if (h->dev->faults.claimResult != 0)
        return h->dev->faults.claimResult;
    h->dev->claims.push_back(static_cast<unsigned>(number));
    return 0;
}

#ifndef STANDIN_OMIT_libusb_release_interface
STANDIN_EXPORT int STANDIN_CALL libusb_release_interface(libusb_device_handle* h, int number)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_release_interface(" + handleName(h) + ", " + std::to_string(number) + ")");
    closedUse(s, h);
    return 0;
}
#endif

#ifndef STANDIN_OMIT_libusb_bulk_transfer
STANDIN_EXPORT int STANDIN_CALL libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint,
                                                     unsigned char* data, int length, int* actual,
                                                     unsigned int timeout)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (actual)
        *actual = 0;
    if (!h || length < 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (closedUse(s, h))
        return LIBUSB_ERROR_NO_DEVICE;
    libusb_device* dev = h->dev;
    if (dev->gone)
        return LIBUSB_ERROR_NO_DEVICE;
    if (!dev->transferFaults.empty() && dev->transferFaults.front().skip > 0) {
        --dev->transferFaults.front().skip;
    } else if (!dev->transferFaults.empty()) {
        auto fault = dev->transferFaults.front();
        dev->transferFaults.pop_front();
        if (actual)
            *actual = fault.actual;
        return fault.result;
    }
    const SimEndpoint* ep = dev->desc.findEndpoint(endpoint);
    if (!ep || (ep->attributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
        return LIBUSB_ERROR_PIPE;

    ++h->transfers;
    int result = 0;
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        dev->transcript.add(SimTransfer::Out, endpoint, data, static_cast<size_t>(length));
        SimFunction::Bytes bytes(data, data + length);
        std::shared_ptr<SimFunction> function = dev->function;
        lock.unlock();
        {
            std::lock_guard<std::mutex> one(dev->functionMutex);
            if (function)
                function->onBulkOut(bytes);
        }
        lock.lock();
        if (actual)
            *actual = length;
    } else {
        // Whole packets of the endpoint's size, as the bus delivers them (standin_packets.h): the
        // transfer waits for more while it has room and no short packet has ended it.
        auto ready = [&] { return !dev->inQueue.empty() || dev->gone || h->closed; };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        size_t got = 0;
        for (;;) {
            if (timeout == 0)
                s.cv.wait(lock, ready);
            else
                s.cv.wait_until(lock, deadline, ready);
            if (dev->gone || h->closed) {
                result = LIBUSB_ERROR_NO_DEVICE;
                break;
            }
            if (dev->inQueue.empty()) {
                result = LIBUSB_ERROR_TIMEOUT;
                break;
            }
            // Bits 0..10 of wMaxPacketSize are the packet size; the bits above it are not.
            const size_t packet = ep->maxPacketSize & 0x7FFu;
            const auto taken = dev->inQueue.take(data, static_cast<size_t>(length), packet, got);
            if (taken == standin::InPackets::Take::More)
                continue;
            if (taken == standin::InPackets::Take::Overflow)
                result = LIBUSB_ERROR_OVERFLOW;
            break;
        }
        if (result == 0 || got > 0)
            dev->transcript.add(SimTransfer::In, endpoint, data, got);
        if (actual)
            *actual = static_cast<int>(got);
    }
    --h->transfers;
    return result;
}
#endif

STANDIN_EXPORT ssize_t STANDIN_CALL libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_get_device_list(null)");
    std::vector<libusb_device*> present;
    for (auto& d : s.devices) {
        if (d->gone)
            continue;
        if (d->faults.unlistedFor > 0)
            --d->faults.unlistedFor;
        else
            present.push_back(d.get());
    }
    auto* array = new libusb_device*[present.size() + 1];
    std::copy(present.begin(), present.end(), array);
    array[present.size()] = nullptr;
    *list = array;
    return static_cast<ssize_t>(present.size());
}

STANDIN_EXPORT void STANDIN_CALL libusb_free_device_list(libusb_device** list, int unref)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back("libusb_free_device_list(" + std::to_string(unref) + ")");
    delete[] list;
}

STANDIN_EXPORT int STANDIN_CALL libusb_get_device_descriptor(libusb_device* dev,
                                                             libusb_device_descriptor* desc)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (dev->faults.descriptorResult != 0)
        return dev->faults.descriptorResult;
    std::vector<uint8_t> raw = dev->desc.deviceDescriptor();
    static_assert(sizeof(libusb_device_descriptor) == 18, "device descriptor layout");
    std::memcpy(desc, raw.data(), sizeof *desc);
    return 0;
}

} // extern "C"
