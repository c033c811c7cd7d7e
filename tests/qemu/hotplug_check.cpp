// Arrival, departure and re-arrival of a board while one host process holds the installed
// library: the library starts with no board, the gadget is bound, unbound and bound again, and
// each time the listing and an identification must follow without a new start.
//
//   hotplug_check UDC_FILE UDC_NAME PLATFORM_ID
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "guest_checks.h"
#include "vemoapi.h"

namespace {

using guest::Clock;
using guest::secondsSince;
using guest::writeUdc;
guest::Checks check("hot-plug");

struct Listing {
    unsigned long status;
    unsigned count;
    std::string first;
};

Listing list(IVemoAPI* api)
{
    static _soc_device_info_arr_t targets;
    std::memset(&targets, 0, sizeof targets);
    _error_msg_t msg{};
    Listing l{api->getavailabletargets(&targets, &msg), targets.ids.count, ""};
    if (l.count)
        l.first.assign(targets.ids.devices[0].id, strnlen(targets.ids.devices[0].id, 128));
    return l;
}

// Polls the listing until it holds `want` boards.
bool waitForCount(IVemoAPI* api, unsigned want, Listing& l, double limit)
{
    const auto end = Clock::now() + std::chrono::duration<double>(limit);
    for (;;) {
        l = list(api);
        if (l.status == 0 && l.count == want)
            return true;
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

struct Identity {
    unsigned long status;
    std::string text;
    std::string platformId;
};

Identity identify(IVemoAPI* api, const std::string& id)
{
    _id_dev_ifp_emulation_t record{};
    _oem_platform_id_t oem{};
    _platform_id_t platform{};
    _id_dev_flags_t flags{};
    _image_error_values_t errors{};
    _error_msg_t msg{};
    Identity r;
    r.status = api->deviceid(0, &record, &oem, &platform, &flags, &errors, id.c_str(), &msg,
                             nullptr, nullptr);
    r.text.assign(msg.text, strnlen(msg.text, sizeof msg.text));
    char hex[3];
    for (uint8_t b : platform.id) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        r.platformId += hex;
    }
    return r;
}

std::string describe(const Identity& r)
{
    char b[32];
    std::snprintf(b, sizeof b, "%#lx", r.status);
    return std::string("status ") + b + " \"" + r.text + "\"";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: hotplug_check UDC_FILE UDC_NAME PLATFORM_ID\n");
        return 2;
    }
    const char* udcFile = argv[1];
    const std::string udc = argv[2];
    const std::string platformId = argv[3];
    std::string upper = platformId;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    IVemoAPI* api = api_acquire();
    if (!api) {
        check(false, "api_acquire");
        return 1;
    }
    api->setlogging(true, "hotplug.log");

    auto t0 = Clock::now();
    Listing l = list(api);
    check(l.status == 0 && l.count == 0,
          "library started without a board: status " + std::to_string(l.status) + ", " +
              std::to_string(l.count) + " listed, " + secondsSince(t0));

    for (int round = 1; round <= 2; ++round) {
        const std::string r = round == 1 ? "arrival" : "re-arrival";
        t0 = Clock::now();
        check(writeUdc(udcFile, udc), "gadget bound");
        bool ok = waitForCount(api, 1, l, 20);
        check(ok && l.first == platformId,
              r + " identified and listed after " + secondsSince(t0) + " as [" + l.first + "]");
        // Identifiers are taken in any case.
        const Identity id = identify(api, round == 1 ? "" : upper);
        check(id.status == 0 && id.platformId == platformId,
              r + ": identification " + describe(id) + ", platform id " + id.platformId);
        if (round == 2)
            break;

        t0 = Clock::now();
        check(writeUdc(udcFile, ""), "gadget unbound");
        ok = waitForCount(api, 0, l, 20);
        check(ok, "departure: the listing is empty after " + secondsSince(t0));
        t0 = Clock::now();
        const Identity gone = identify(api, platformId);
        check(gone.status == 0x30003, "the departed board: " + describe(gone) + " after " +
                                          secondsSince(t0));
    }
    api_release();
    return check.exitStatus();
}
