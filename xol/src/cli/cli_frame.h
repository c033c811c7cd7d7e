// What every device command does around its one library operation: the retry count and delay
// settings, the progress callback with its context, the start line, and the success or failure
// lines.
#ifndef XOL_CLI_FRAME_H
#define XOL_CLI_FRAME_H

#include <string>
#include <utility>

#include "vemoapi.h"

// Prints one progress record of the running operation.
void log_callback(unsigned long, const char* msg, void* ctx);

// The low 8 bits of an option value, as the one-byte operation arguments take them.
inline unsigned char lowByte(unsigned int value)
{
    return static_cast<unsigned char>(value & 0xFFu);
}

// One "label: %#x" line of a parameter or a result.
void printHexLine(const char* format, unsigned long value);

// Success: "OP procedure success" on standard output, 0. Failure: the three failure lines on
// standard error, -1.
int reportOutcome(const char* op, unsigned long status, const _error_msg_t& msg);

class DeviceCall {
public:
    // Hands the retry count and the read/write delay to the library when they were given (their
    // statuses do not matter: a bad delay fails the operation itself), and prepares the progress
    // callback when verbose was given.
    template <class Cmd> DeviceCall(IVemoAPI* api, const char* op, const Cmd& cmd)
        : DeviceCall(api, op, cmd.verbose, cmd.sn)
    {
        if (cmd.usbRetryCountGiven)
            api->settargetretrycount(cmd.usbRetryCount, nullptr);
        if (cmd.usbRwDelayGiven)
            api->setusbreadwritedelay(cmd.usbRwDelay, nullptr);
    }
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

    // "Starting OP procedure".
    void start() const;

    // The operation with its leading arguments, followed by the device identifier, the message
    // record, the callback and its context.
    template <class... Params, class... Args>
    unsigned long run(unsigned long (IVemoAPI::*operation)(Params...), Args&&... args)
    {
        return (api->*operation)(std::forward<Args>(args)..., identifier(), msg(), callback(),
                                 context());
    }

    int finish(unsigned long status) const { return reportOutcome(op, status, message); }

    const char* identifier() const { return sn.c_str(); }
    _error_msg_t* msg() { return &message; }
    log_callback_t callback() const { return verbose ? log_callback : nullptr; }
    void* context() { return verbose ? callbackContext : nullptr; }

private:
    DeviceCall(IVemoAPI* api, const char* op, bool verbose, const std::string& sn);

    IVemoAPI* api;
    const char* op;
    bool verbose;
    const std::string& sn;
    _error_msg_t message;
    char callbackContext[128];
};

#endif
