// What a run of xolcli finds on the bus: the simulated boards, where on the bus they sit, the file
// that keeps each board's state between runs, and the libusb failures the stand-in injects. The
// tests write a scenario file; the bed preloaded into xolcli reads it when the process starts.
#ifndef XOL_TEST_E2E_SCENARIO_H
#define XOL_TEST_E2E_SCENARIO_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct ScenarioDevice {
    std::string stateFile;  // an xolsim board state, read at start and written back at exit
    uint16_t productId = 0x3C11;
    uint8_t busNumber = 1;
    std::vector<uint8_t> portNumbers{1};
    uint16_t packetSize = 512;

    // Stand-in only: libusb_get_port_numbers fails with this result.
    int portsResult = 0;
    // Stand-in only: after `skip` transfers that pass, the next one fails with `result`.
    struct TransferFailure {
        unsigned skip = 0;
        int result = 0;
    };
    std::optional<TransferFailure> transferFailure;
};

struct Scenario {
    std::vector<ScenarioDevice> devices;
};

// Text format; both throw std::runtime_error.
void saveScenario(const Scenario& scenario, const std::string& path);
Scenario loadScenario(const std::string& path);

} // namespace e2e

#endif
