// A test bed: the place simulated devices are plugged into while the transport runs over libusb.
// Test bodies written against this face run unchanged on every bed; a test binary gets its bed
// from makeSimBed(), defined by the bed library it links.
#ifndef XOL_TEST_SIM_BED_H
#define XOL_TEST_SIM_BED_H

#include <memory>
#include <string>
#include <vector>

#include "sim_device.h"
#include "sim_function.h"
#include "sim_transcript.h"

class SimBed {
public:
    using DeviceId = int;

    virtual ~SimBed() = default;
    virtual std::string name() const = 0;

    // Attaches a device. Plugged before the transport starts, it is found at start-up; later,
    // the transport hears of it through hot-plug. Two devices present at once need different
    // port paths, and no path may pass through a port that holds a device.
    virtual DeviceId plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function) = 0;
    // Detaches it: transfers in flight and later ones fail as on a real bus.
    virtual void unplug(DeviceId id) = 0;

    virtual std::vector<SimTransfer> transcript(DeviceId id) const = 0;
    // Interface numbers in the order the host claimed them.
    virtual std::vector<unsigned> claims(DeviceId id) const = 0;
};

std::unique_ptr<SimBed> makeSimBed();

#endif
