#include "scenario_session.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "scenario.h"
#if defined(XOL_SIM_BED_STANDIN)
#include "standin_control.h"
#endif

namespace e2e {

namespace {

void injectFailures(SimBed::DeviceId id, const ScenarioDevice& d)
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
        throw std::runtime_error("libusb failures need the libusb stand-in");
#endif
}

} // namespace

ScenarioSession::ScenarioSession(const std::string& scenarioPath)
{
    const Scenario scenario = loadScenario(scenarioPath);
    bed = makeSimBed();
    for (const ScenarioDevice& d : scenario.devices) {
        auto board = std::make_shared<xolsim::XolDevice>(xolsim::loadState(d.stateFile));
        SimDeviceDesc desc = SimDeviceDesc::bulk(d.productId, d.packetSize);
        desc.busNumber = d.busNumber;
        desc.portNumbers = d.portNumbers;
        injectFailures(bed->plug(desc, board), d);
        boards.emplace_back(d.stateFile, std::move(board));
    }
}

void ScenarioSession::save() const
{
    for (const auto& board : boards)
        xolsim::saveState(board.second->state(), board.first);
}

namespace {

[[noreturn]] void abandonRun(const std::string& why)
{
    std::fprintf(stderr, "[scenario bed] %s\n", why.c_str());
    std::fflush(stderr);
    std::_Exit(125);
}

} // namespace

ScenarioSession* startNamedSession()
{
    const char* path = std::getenv("XOL_SCENARIO");
    if (path == nullptr)
        return nullptr;
    try {
        return new ScenarioSession(path);
    } catch (const std::exception& e) {
        abandonRun(e.what());
    }
}

void endSession(ScenarioSession*& session)
{
    if (session == nullptr)
        return;
    try {
        session->save();
    } catch (const std::exception& e) {
        abandonRun(e.what());
    }
    delete session;
    session = nullptr;
}

} // namespace e2e
