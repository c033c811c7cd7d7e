// Starts and stops one transport over whatever libusb the loader finds and prints the outcome:
// "0", or the status of the failure in hex. Run by the runtime-name test inside a mount namespace.
#include <cstdio>

#include <boost/log/core.hpp>

#include "exceptions.h"
#include "tolvane_wd.h"

int main()
{
    // Without a sink the records would go to the output this program answers on.
    boost::log::core::get()->set_logging_enabled(false);
    try {
        TolvaneWdAPI::TolvaneWd transport;
        transport.Deinit();
        std::printf("0\n");
    } catch (const VemoException& e) {
        std::printf("%lx\n", e.getErrorCode());
    }
    return 0;
}
