// The umockdev bed: Debian's libusb runs unchanged while umockdev fakes sysfs, /dev/bus/usb and
// udev inside the test process, and this bed answers the usbfs ioctls of each simulated device
// live. Hot-plug reaches libusb through its own udev monitor.
#include "sim_bed.h"

#include <sys/ioctl.h>
// After sys/ioctl.h, which it needs.
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

namespace {

// One submitted URB and its transfer buffer, both resolved into this process.
struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    usbdevfs_urb* get() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
};

struct Device {
    SimBed::DeviceId id = 0;
    SimDeviceDesc desc;
    std::shared_ptr<SimFunction> function;
    std::string devnode; // /dev/bus/usb/BBB/DDD
    std::string syspath; // /sys/devices/...
    UMockdevIoctlBase* handler = nullptr;

    std::mutex mutex; // guards everything below
    std::deque<Urb*> pendingIn;
    std::deque<Urb*> reapable;
    std::deque<SimFunction::Bytes> toHost;
    bool gone = false;
    // The node is a FIFO kept full, so libusb's poll for POLLOUT fires only while an URB can be
    // reaped (a regular file would make its event loop spin).
    int readFd = -1;
    int writeFd = -1;
    bool ready = false;
    SimTranscript transcript;
    std::vector<unsigned> claims;
    std::mutex functionMutex; // the function sees one transfer at a time

    void updateReady()
    {
        // Scratch bytes, one page per call: devices update their nodes under their own locks.
        char page[4096] = {};
        bool want = !reapable.empty() || gone;
        if (want && !ready) {
            if (read(readFd, page, sizeof page) == static_cast<ssize_t>(sizeof page))
                ready = true;
        } else if (!want && ready) {
            if (write(writeFd, page, sizeof page) == static_cast<ssize_t>(sizeof page))
                ready = false;
        }
    }

    void complete(Urb* u, int status, int actual)
    {
        u->get()->status = status;
        u->get()->actual_length = actual;
        reapable.push_back(u);
    }

    // Hands queued messages to waiting IN URBs; a message longer than the URB stays queued.
    void pump()
    {
        while (!pendingIn.empty() && !toHost.empty()) {
            Urb* u = pendingIn.front();
            pendingIn.pop_front();
            SimFunction::Bytes& message = toHost.front();
            size_t n = std::min(message.size(), static_cast<size_t>(u->get()->buffer_length));
            if (n)
                std::memcpy(u->buffer->data, message.data(), n);
            transcript.add(SimTransfer::In, u->get()->endpoint, message.data(), n);
            if (n < message.size())
                message.erase(message.begin(), message.begin() + static_cast<long>(n));
            else
                toHost.pop_front();
            complete(u, 0, static_cast<int>(n));
        }
    }

    void send(SimFunction::Bytes message)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (gone)
            return;
        toHost.push_back(std::move(message));
        pump();
        updateReady();
    }
};

void freeUrb(Urb* u)
{
    if (u->buffer)
        g_object_unref(u->buffer);
    g_object_unref(u->urb);
    delete u;
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    Device* d = static_cast<Device*>(user);
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gboolean handled = TRUE;

    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        d->updateReady();
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
            USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
            USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(caps);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        d->claims.push_back(*reinterpret_cast<unsigned*>(number->data));
        g_object_unref(number);
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    }
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_GETDRIVER: // no kernel driver bound
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        break;
    case USBDEVFS_SUBMITURB: {
        Urb* u = new Urb;
        u->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        usbdevfs_urb* urb = u->get();
        if (urb->buffer_length > 0)
            u->buffer = umockdev_ioctl_data_resolve(u->urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                    static_cast<gsize>(urb->buffer_length), nullptr);
        const SimEndpoint* ep = d->desc.findEndpoint(urb->endpoint);
        bool bulk = urb->type == USBDEVFS_URB_TYPE_BULK && ep && (ep->attributes & 3) == 2;
        if (bulk && !(urb->endpoint & 0x80)) {
            const uint8_t* data = u->buffer ? static_cast<const uint8_t*>(u->buffer->data) : nullptr;
            size_t size = static_cast<size_t>(urb->buffer_length);
            d->transcript.add(SimTransfer::Out, urb->endpoint, data, size);
            SimFunction::Bytes bytes(data, data + size);
            std::shared_ptr<SimFunction> function = d->function;
            lock.unlock(); // the function may queue answers at once
            {
                std::lock_guard<std::mutex> one(d->functionMutex);
                if (function)
                    function->onBulkOut(bytes);
            }
            lock.lock();
            d->complete(u, 0, urb->buffer_length);
        } else if (bulk) {
            d->pendingIn.push_back(u);
        } else {
            d->complete(u, -EPIPE, 0);
        }
        d->pump();
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        if (d->reapable.empty()) {
            umockdev_ioctl_client_complete(client, -1, d->gone ? ENODEV : EAGAIN);
            break;
        }
        Urb* u = d->reapable.front();
        d->reapable.pop_front();
        UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        umockdev_ioctl_data_set_ptr(out, 0, u->urb); // synced back to the client on completion
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(out);
        freeUrb(u);
        break;
    }
    case USBDEVFS_DISCARDURB: {
        gulong address = *reinterpret_cast<gulong*>(arg->data);
        auto it = d->pendingIn.begin();
        while (it != d->pendingIn.end() && (*it)->urb->client_addr != address)
            ++it;
        if (it != d->pendingIn.end()) {
            Urb* u = *it;
            d->pendingIn.erase(it);
            d->complete(u, -ENOENT, 0);
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
        break;
    }
    default:
        std::fprintf(stderr, "[umockdev bed] unhandled ioctl 0x%lx\n", request);
        handled = FALSE;
    }
    d->updateReady();
    return handled;
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

class UmockdevBed : public SimBed {
public:
    UmockdevBed()
    {
        // umockdev makes its fake system tree under TMPDIR: the test's own folder, else the
        // caller's TMPDIR, unless that path is too long for the unix sockets umockdev makes in
        // the tree. The program under test gets its own TMPDIR back: GLib has read it by then.
        const char* given = std::getenv("TMPDIR");
        const std::optional<std::string> callers =
            given ? std::optional<std::string>(given) : std::nullopt;
        const char* dir = std::getenv("XOL_TEST_TMP");
        if (!dir)
            dir = given;
        setenv("TMPDIR", dir && *dir && std::strlen(dir) <= 48 ? dir : "/tmp", 1);
        testbed = umockdev_testbed_new();
        if (callers)
            setenv("TMPDIR", callers->c_str(), 1);
        else
            unsetenv("TMPDIR");
        if (!umockdev_in_mock_environment())
            throw std::runtime_error("umockdev preload library is not loaded");
        rootDir = umockdev_testbed_get_root_dir(testbed);
    }

    ~UmockdevBed() override
    {
        for (auto& entry : devices)
            if (entry.second->function)
                entry.second->function->attachSender(nullptr);
        g_object_unref(testbed);
        for (auto& entry : devices) {
            Device& d = *entry.second;
            g_object_unref(d.handler);
            for (Urb* u : d.pendingIn)
                freeUrb(u);
            for (Urb* u : d.reapable)
                freeUrb(u);
            close(d.readFd);
            close(d.writeFd);
        }
        g_free(rootDir);
    }

    std::string name() const override { return "umockdev"; }

    DeviceId plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function) override
    {
        std::lock_guard<std::mutex> lock(bedMutex);
        auto owned = std::make_unique<Device>();
        Device* d = owned.get();
        d->id = nextId++;
        d->desc = desc;
        d->function = function;
        int devnum = ++lastDevnum[desc.busNumber]; // never reused, so no node is plugged twice
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", desc.busNumber, devnum);
        d->devnode = node;
        std::ostringstream sysname;
        sysname << int(desc.busNumber) << '-';
        for (size_t i = 0; i < desc.portNumbers.size(); ++i)
            sysname << (i ? "." : "") << int(desc.portNumbers[i]);
        d->syspath = "/sys/devices/simhcd/" + sysname.str();
        if (hubs.count(d->syspath) || pluggedAt(d->syspath))
            throw std::invalid_argument("a hub or a device is already at " + d->syspath);
        for (const std::string& hub : hubPaths(desc))
            if (pluggedAt(hub))
                throw std::invalid_argument("a device is at " + hub + ", where a hub is needed");

        d->handler = umockdev_ioctl_base_new();
        g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(handleIoctl), d);
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, d->devnode.c_str(), d->handler, &error))
            throw std::runtime_error(std::string("attach_ioctl: ") + error->message);

        // The node is made here, as a FIFO, before the device is announced; the record below
        // names no node, so umockdev leaves it alone.
        std::string path = std::string(rootDir) + d->devnode;
        std::string folder = path.substr(0, path.rfind('/'));
        g_mkdir_with_parents(folder.c_str(), 0755);
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0666) < 0)
            throw std::runtime_error("mkfifo " + path);
        d->readFd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        d->writeFd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        char page[4096] = {0};
        while (write(d->writeFd, page, sizeof page) == static_cast<ssize_t>(sizeof page)) {
        }

        std::vector<uint8_t> descriptors = desc.deviceDescriptor();
        std::vector<uint8_t> config = desc.configDescriptor();
        descriptors.insert(descriptors.end(), config.begin(), config.end());
        if (function)
            function->attachSender([d](SimFunction::Bytes message) { d->send(std::move(message)); });
        devices[d->id] = std::move(owned);
        addHubsAbove(desc);
        // Also announces the device to udev listeners.
        addSysfsDevice(d->syspath, desc.busNumber, devnum, desc.speedMbps, descriptors);
        return d->id;
    }

    void unplug(DeviceId id) override
    {
        std::lock_guard<std::mutex> lock(bedMutex);
        Device* d = find(id);
        {
            std::lock_guard<std::mutex> dl(d->mutex);
            if (d->gone)
                return;
            d->gone = true;
            d->toHost.clear();
            while (!d->pendingIn.empty()) {
                Urb* u = d->pendingIn.front();
                d->pendingIn.pop_front();
                d->complete(u, -ESHUTDOWN, 0);
            }
            d->updateReady();
        }
        umockdev_testbed_uevent(testbed, d->syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, d->syspath.c_str());
    }

    std::vector<SimTransfer> transcript(DeviceId id) const override
    {
        std::lock_guard<std::mutex> lock(bedMutex);
        return find(id)->transcript.snapshot();
    }

    std::vector<unsigned> claims(DeviceId id) const override
    {
        std::lock_guard<std::mutex> lock(bedMutex);
        Device* d = find(id);
        std::lock_guard<std::mutex> dl(d->mutex);
        return d->claims;
    }

private:
    void addSysfsDevice(const std::string& syspath, int bus, int devnum, unsigned speed,
                        const std::vector<uint8_t>& descriptors)
    {
        char record[4096];
        std::snprintf(record, sizeof record,
                      "P: %s\n"
                      "E: SUBSYSTEM=usb\nE: DRIVER=usb\nE: DEVTYPE=usb_device\n"
                      "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=/dev/bus/usb/%03d/%03d\n"
                      "A: busnum=%d\\n\nA: devnum=%d\\n\nA: bConfigurationValue=1\\n\n"
                      "A: speed=%u\\n\nH: descriptors=%s\n",
                      syspath.c_str() + 4, bus, devnum, bus, devnum, bus, devnum, speed,
                      hex(descriptors).c_str());
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed, record, &error))
            throw std::runtime_error(std::string("add_from_string: ") + error->message);
    }

    // libusb learns a port path from the hubs above a device: each level but the last is a hub
    // of its own (made once, never removed; no node, as libusb never opens it).
    static std::vector<std::string> hubPaths(const SimDeviceDesc& desc)
    {
        std::vector<std::string> paths;
        std::string name = std::to_string(desc.busNumber) + "-";
        for (size_t i = 0; i + 1 < desc.portNumbers.size(); ++i) {
            name += (i ? "." : "") + std::to_string(desc.portNumbers[i]);
            paths.push_back("/sys/devices/simhcd/" + name);
        }
        return paths;
    }

    void addHubsAbove(const SimDeviceDesc& desc)
    {
        for (const std::string& syspath : hubPaths(desc)) {
            if (!hubs.insert(syspath).second)
                continue;
            SimDeviceDesc hub;
            hub.vendorId = 0x1D6B;
            hub.productId = 0x0002;
            hub.interfaces = {SimInterface{0, {SimAltSetting{{SimEndpoint{0x81, 3, 4}}}}}};
            std::vector<uint8_t> descriptors = hub.deviceDescriptor();
            descriptors[4] = 9; // hub class
            std::vector<uint8_t> config = hub.configDescriptor();
            descriptors.insert(descriptors.end(), config.begin(), config.end());
            addSysfsDevice(syspath, desc.busNumber, ++lastDevnum[desc.busNumber], 480, descriptors);
        }
    }

    bool pluggedAt(const std::string& syspath) const
    {
        for (auto& entry : devices) {
            std::lock_guard<std::mutex> dl(entry.second->mutex);
            if (entry.second->syspath == syspath && !entry.second->gone)
                return true;
        }
        return false;
    }

    Device* find(DeviceId id) const
    {
        auto it = devices.find(id);
        if (it == devices.end())
            throw std::invalid_argument("no such simulated device");
        return it->second.get();
    }

    UMockdevTestbed* testbed = nullptr;
    gchar* rootDir = nullptr;
    mutable std::mutex bedMutex;
    std::map<DeviceId, std::unique_ptr<Device>> devices;
    std::map<int, int> lastDevnum;
    std::set<std::string> hubs;
    DeviceId nextId = 1;
};

} // namespace

std::unique_ptr<SimBed> makeSimBed() { return std::make_unique<UmockdevBed>(); }
