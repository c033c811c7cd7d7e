// The stand-in bed: devices live inside the libusb stand-in the transport loads.
#include "sim_bed.h"
#include "standin_control.h"

namespace {

class StandinBed : public SimBed {
public:
    StandinBed() { standin::reset(); }
    ~StandinBed() override { standin::reset(); }

    std::string name() const override { return "standin"; }
    DeviceId plug(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> function) override
    {
        return standin::plug(desc, std::move(function));
    }
    void unplug(DeviceId id) override { standin::unplug(id); }
    std::vector<SimTransfer> transcript(DeviceId id) const override { return standin::transcript(id); }
    std::vector<unsigned> claims(DeviceId id) const override { return standin::claims(id); }
};

} // namespace

std::unique_ptr<SimBed> makeSimBed() { return std::make_unique<StandinBed>(); }
