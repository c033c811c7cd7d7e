// Preloaded into xolcli: brings up the simulated bus of the scenario file named by XOL_SCENARIO
// before the program's main runs, and writes each board's state back to its file when the
// process ends, so that consecutive runs of the program talk to one board.
#include "scenario_session.h"

namespace {

// Ends the session when the loader finalises this library at exit: after xolcli has released
// the library, and before the libraries the bed stands on (the stand-in's libusb, umockdev),
// which are finalised after those that depend on them. Made once the session is up, so it goes
// before the statics the bed made while coming up. A static object rather than atexit: its
// destructor is registered against this library, where ThreadSanitizer's atexit registers a
// function against the process, to run only after every library has been finalised.
struct SessionEnd {
    e2e::ScenarioSession* session;
    ~SessionEnd() { e2e::endSession(session); }
};

__attribute__((constructor)) void bringUp()
{
    static SessionEnd end{e2e::startNamedSession()};
}

} // namespace
