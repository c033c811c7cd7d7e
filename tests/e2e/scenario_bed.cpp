// Preloaded into xolcli: brings up the simulated bus of the scenario file named by XOL_SCENARIO
// before the program's main runs, and writes each board's state back to its file when the
// process ends, so that consecutive runs of the program talk to one board.
#include <cstdlib>

#include "scenario_session.h"

namespace {

e2e::ScenarioSession* session = nullptr;

// Runs at exit before the statics that the bed made while coming up are destroyed (registered
// after them); by then xolcli has released the library and no transfer is under way.
void tearDown() { e2e::endSession(session); }

__attribute__((constructor)) void bringUp()
{
    session = e2e::startNamedSession();
    if (session != nullptr)
        std::atexit(tearDown);
}

} // namespace
