// Built into the libusb stand-in that the Windows tests put beside the installed xolcli.exe.
// Windows has no preload: the stand-in itself brings up the simulated bus of the scenario file
// named by XOL_SCENARIO when libusb is initialised, and writes each board's state back to its
// file and takes the bus down when libusb is shut down, so that consecutive runs of the program
// talk to one board. Both run on the caller's thread, never inside the loader's start-up or
// shutdown of the DLL, where the bus's locks and threads must not be touched.
#include <mutex>

#include "scenario_session.h"

namespace {

std::mutex sessionMutex;
// Never ended by the DLL's own shutdown: a run that ends without shutting libusb down leaves its
// boards' files as they were.
e2e::ScenarioSession* session = nullptr;

} // namespace

void standinBusUp()
{
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (session == nullptr)
        session = e2e::startNamedSession();
}

void standinBusDown()
{
    std::lock_guard<std::mutex> lock(sessionMutex);
    e2e::endSession(session);
}
