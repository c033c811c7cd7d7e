// The stand-in bed: devices live inside the libusb stand-in the transport loads.
#include "sim_bed.h"
#include "standin_control.h"

#ifdef _WIN32
#include <chrono>
#include <thread>

#include <windows.h>
#include <dbt.h>

#include "device_window.h"
#endif

namespace {

#ifdef _WIN32
// On Windows the transport hears of arrivals and removals only through its device-change window,
// so the bed sends the messages Windows would. The broadcast outlives any message that carries it.
const DEV_BROADCAST_DEVICEINTERFACE_A kBroadcast = [] {
    DEV_BROADCAST_DEVICEINTERFACE_A b{};
    b.dbcc_size = sizeof b;
    b.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    b.dbcc_classguid = {0x6B1D93A2, 0x4C57, 0x4E0A, {0x9F, 0x3B, 0x2D, 0x8E, 0x71, 0xC0, 0x5A, 0x46}};
    return b;
}();

void announce(WPARAM code)
{
    if (!standin::initialised())
        return;
    const HWND window = waitForDeviceWindow();
    DWORD_PTR result = 0;
    if (window)
        SendMessageTimeoutA(window, WM_DEVICECHANGE, code,
                            reinterpret_cast<LPARAM>(&kBroadcast), SMTO_NORMAL, 30000, &result);
}
#endif

class StandinBed : public SimBed {
public:
    StandinBed() { standin::reset(); }
    ~StandinBed() override { standin::reset(); }

    std::string name() const override { return "standin"; }
    DeviceId plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function) override
    {
#ifdef _WIN32
        const DeviceId id = standin::plug(desc, std::move(function));
        announce(DBT_DEVICEARRIVAL);
        return id;
#else
        return standin::plug(desc, std::move(function));
#endif
    }
    void unplug(DeviceId id) override
    {
        standin::unplug(id);
#ifdef _WIN32
        announce(DBT_DEVICEREMOVECOMPLETE);
#endif
    }
    std::vector<SimTransfer> transcript(DeviceId id) const override { return standin::transcript(id); }
    std::vector<unsigned> claims(DeviceId id) const override { return standin::claims(id); }
};

} // namespace

std::unique_ptr<SimBed> makeSimBed() { return std::make_unique<StandinBed>(); }
