#include "cli_frame.h"

#include <cstring>
#include <iostream>

#include <boost/format.hpp>

#include "secure_buffers.h"

void log_callback(unsigned long, const char* msg, void*)
{
    std::cout << boost::format("[log_callback][msg: %s]") % (msg != nullptr ? msg : "")
              << std::endl;
}

void printHexLine(const char* format, unsigned long value)
{
    std::cout << boost::format(format) % value << std::endl;
}

int reportOutcome(const char* op, unsigned long status, const _error_msg_t& msg)
{
    if (status == 0) {
        std::cout << op << " procedure success" << std::endl;
        return 0;
    }
    std::cerr << op << " procedure failed" << std::endl;
    std::cerr << boost::format("Error code: %#x\n") % status;
    // The library may have left the record unterminated at its very end.
    std::cerr << "Error message: " << std::string(msg.text, strnlen(msg.text, sizeof msg.text))
              << std::endl;
    return -1;
}

DeviceCall::DeviceCall(IVemoAPI* api, const char* op, bool verbose, const std::string& sn)
    : api(api), op(op), verbose(verbose), sn(sn), message{}, callbackContext{}
{
    if (verbose)
        copyMessage(callbackContext, sn.c_str(), sizeof callbackContext);
}

void DeviceCall::start() const
{
    std::cout << "Starting " << op << " procedure" << std::endl;
}
