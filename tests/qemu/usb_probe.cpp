// The virtual machine's USB bed checked on its own, with Debian's libusb and no product code:
// binds the gadget, waits for the hot-plug arrival, finds the bulk pipe pair, exchanges one raw
// Start Over with the board and unbinds again, waiting for the departure.
//
//   usb_probe UDC_FILE UDC_NAME EXPECTED_CONTEXT
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "guest_checks.h"

namespace {

using guest::Clock;
using guest::secondsSince;
using guest::writeUdc;
guest::Checks check("usb probe");

libusb_device* arrived = nullptr;
bool departed = false;

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event ev, void*)
{
    if (ev == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
        if (!arrived)
            arrived = libusb_ref_device(dev);
    } else {
        departed = true;
    }
    return 0;
}

template <class Done>
bool pump(libusb_context* ctx, double seconds, Done done)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && Clock::now() < end) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    return done();
}

struct Pipe {
    int interface = -1;
    unsigned char in = 0, out = 0;
    int inMps = 0, outMps = 0;
};

int findPipe(libusb_device* dev, Pipe& p)
{
    libusb_config_descriptor* cfg = nullptr;
    if (int r = libusb_get_active_config_descriptor(dev, &cfg))
        return r;
    int found = LIBUSB_ERROR_NOT_FOUND;
    for (int i = 0; i < cfg->bNumInterfaces && found; ++i) {
        const libusb_interface_descriptor& s = cfg->interface[i].altsetting[0];
        Pipe q;
        for (int e = 0; e < s.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = s.endpoint[e];
            if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            if (ep.bEndpointAddress & 0x80) {
                q.in = ep.bEndpointAddress;
                q.inMps = ep.wMaxPacketSize;
            } else {
                q.out = ep.bEndpointAddress;
                q.outMps = ep.wMaxPacketSize;
            }
        }
        if (q.in && q.out) {
            q.interface = s.bInterfaceNumber;
            p = q;
            found = 0;
        }
    }
    libusb_free_config_descriptor(cfg);
    return found;
}

std::string hex(unsigned v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%02x", v);
    return b;
}

uint32_t le(const std::vector<uint8_t>& m, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = v << 8 | m.at(at + i);
    return v;
}

// Start Over, flags 0, framed by hand; the reply read as the host library reads it: one packet,
// then the rest the length field announces.
void startOver(libusb_device_handle* h, const Pipe& p, uint32_t context)
{
    std::vector<uint8_t> cmd(64);
    cmd[0] = 64;
    cmd[3] = 16;
    cmd[4] = 0x13;
    if (p.outMps <= 64)
        cmd.push_back(0);  // a message of whole packets needs a terminator
    int n = 0;
    int r = libusb_bulk_transfer(h, p.out, cmd.data(), static_cast<int>(cmd.size()), &n, 2000);
    check(r == 0 && n == static_cast<int>(cmd.size()),
          "Start Over sent, " + std::to_string(n) + " bytes (" + libusb_error_name(r) + ")");
    std::vector<uint8_t> reply(16384);
    int got = 0;
    r = libusb_bulk_transfer(h, p.in, reply.data(), p.inMps, &got, 2000);
    if (r == 0 && got >= 3 && static_cast<int>(le(reply, 0, 3)) > got) {
        int more = 0;
        const int want = static_cast<int>(le(reply, 0, 3)) - got;
        r = libusb_bulk_transfer(h, p.in, reply.data() + got, want, &more, 2000);
        got += more;
    }
    reply.resize(static_cast<size_t>(got));
    check(r == 0 && got == 64, "reply of " + std::to_string(got) + " bytes (" +
                                   libusb_error_name(r) + ")");
    if (got != 64)
        return;
    check(le(reply, 0, 3) == 64 && reply[3] == 20 && le(reply, 4, 4) == 0 &&
              le(reply, 8, 3) == 0x800013 && reply[11] == 0 && le(reply, 12, 4) == 0,
          "reply header: final response to Start Over, status 0");
    check(le(reply, 24, 4) == context, "current context " + std::to_string(le(reply, 24, 4)));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: usb_probe UDC_FILE UDC_NAME EXPECTED_CONTEXT\n");
        return 2;
    }
    const char* udcFile = argv[1];
    const std::string udc = argv[2];
    const uint32_t context = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0));

    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        check(false, "libusb_init");
        return 1;
    }
    check(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), "libusb has hot-plug");
    libusb_hotplug_callback_handle hh;
    int r = libusb_hotplug_register_callback(
        ctx,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, 0x7A3C, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        onHotplug, nullptr, &hh);
    check(r == 0, std::string("hot-plug registration: ") + libusb_error_name(r));
    check(arrived == nullptr, "no board before the gadget is bound");

    auto t0 = Clock::now();
    check(writeUdc(udcFile, udc), "gadget bound to " + udc);
    bool ok = pump(ctx, 15, [] { return arrived != nullptr; });
    check(ok, "arrival reported after " + secondsSince(t0));
    if (ok) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(arrived, &d);
        std::printf("  board %04x:%04x, speed %d (2 full, 3 high)\n", d.idVendor, d.idProduct,
                    libusb_get_device_speed(arrived));
        Pipe p;
        int tries = 0;
        while ((r = findPipe(arrived, p)) != 0 && tries < 200) {
            ++tries;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (tries)
            std::printf("NOTE: usb probe: no active configuration when the arrival was reported;"
                        " found after %d ms\n", tries * 10);
        check(r == 0, "bulk pipe pair: interface " + std::to_string(p.interface) + ", IN " + hex(p.in) +
                          " (max packet " + std::to_string(p.inMps) + "), OUT " + hex(p.out) +
                          " (max packet " + std::to_string(p.outMps) + ")");
        libusb_device_handle* h = nullptr;
        if (r == 0 && (r = libusb_open(arrived, &h)) == 0 &&
            (r = libusb_claim_interface(h, p.interface)) == 0) {
            startOver(h, p, context);
            libusb_release_interface(h, p.interface);
        } else {
            check(false, std::string("open and claim: ") + libusb_error_name(r));
        }
        if (h)
            libusb_close(h);
        libusb_unref_device(arrived);
        arrived = nullptr;
    }
    t0 = Clock::now();
    check(writeUdc(udcFile, ""), "gadget unbound");
    check(pump(ctx, 15, [] { return departed; }),
          "departure reported after " + secondsSince(t0));
    libusb_hotplug_deregister_callback(ctx, hh);
    libusb_exit(ctx);
    return check.exitStatus();
}
