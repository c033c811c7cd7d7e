// Preloaded into xolcli: brings up the simulated bus of the scenario file named by XOL_SCENARIO
// before the program's main runs, and writes each board's state back to its file when the
// process ends, so that consecutive runs of the program talk to one board.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "scenario.h"
#include "sim_bed.h"
#include "xol_device.h"
#if defined(XOL_SIM_BED_STANDIN)
#include "standin_control.h"
#endif

namespace {

struct Session {
    std::unique_ptr<SimBed> bed;
    std::vector<std::pair<std::string, std::shared_ptr<xolsim::XolDevice>>> boards;
};

Session* session = nullptr;

// The run cannot mean anything without its bus: end it at once, with a status no xolcli run has.
[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "[scenario bed] %s\n", what.c_str());
    std::fflush(stderr);
    _exit(125);
}

void injectFailures(SimBed::DeviceId id, const e2e::ScenarioDevice& d)
{
#if defined(XOL_SIM_BED_STANDIN)
    standin::DeviceFaults faults;
    faults.portsResult = d.portsResult;
    standin::setDeviceFaults(id, faults);
    if (d.transferFailure)
        standin::failTransferAfter(id, d.transferFailure->skip, d.transferFailure->result);
#else
    (void)id;
    if (d.portsResult != 0 || d.transferFailure)
        fail("libusb failures need the libusb stand-in");
#endif
}

// Runs at exit before the statics that the bed made while coming up are destroyed (registered
// after them); by then xolcli has released the library and no transfer is under way.
void tearDown()
{
    try {
        for (const auto& board : session->boards)
            xolsim::saveState(board.second->state(), board.first);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    delete session;
    session = nullptr;
}

__attribute__((constructor)) void bringUp()
{
    const char* path = std::getenv("XOL_SCENARIO");
    if (path == nullptr)
        return;
    try {
        const e2e::Scenario scenario = e2e::loadScenario(path);
        auto s = std::make_unique<Session>();
        s->bed = makeSimBed();
        for (const e2e::ScenarioDevice& d : scenario.devices) {
            auto board = std::make_shared<xolsim::XolDevice>(xolsim::loadState(d.stateFile));
            SimDeviceDesc desc = SimDeviceDesc::bulk(d.productId, d.packetSize);
            desc.busNumber = d.busNumber;
            desc.portNumbers = d.portNumbers;
            injectFailures(s->bed->plug(desc, board), d);
            s->boards.emplace_back(d.stateFile, std::move(board));
        }
        session = s.release();
    } catch (const std::exception& e) {
        fail(e.what());
    }
    std::atexit(tearDown);
}

} // namespace
