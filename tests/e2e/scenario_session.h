// The simulated bus of one scenario file: its boards brought up on the process's bed, with the
// stand-in's libusb failures injected, and their states written back to their files.
#ifndef XOL_TEST_E2E_SCENARIO_SESSION_H
#define XOL_TEST_E2E_SCENARIO_SESSION_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim_bed.h"
#include "xol_device.h"

namespace e2e {

class ScenarioSession {
public:
    // Throws std::runtime_error when the scenario or a board's state cannot be read, or asks
    // for failures that only the stand-in can inject.
    explicit ScenarioSession(const std::string& scenarioPath);
    // Writes every board's state to its file; call with no transfer under way. Throws.
    void save() const;

private:
    std::unique_ptr<SimBed> bed;
    std::vector<std::pair<std::string, std::shared_ptr<xolsim::XolDevice>>> boards;
};

// What the beds inside xolcli do: start the session of the scenario file named by XOL_SCENARIO
// (null when none is named), and end one, saving its boards first (nothing when null). A run
// cannot mean anything without its bus: when either fails, the process ends at once, with a
// status no xolcli run has, after saying why on standard error.
ScenarioSession* startNamedSession();
void endSession(ScenarioSession*& session);

} // namespace e2e

#endif
