// Building blocks of the command option lists: the unsigned 32-bit value, the options every
// device command begins with, and one command-line parse with its error report.
#ifndef XOL_CLI_OPTIONS_H
#define XOL_CLI_OPTIONS_H

#include <ostream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

namespace po = boost::program_options;

// An unsigned 32-bit option value in decimal text, written into field. A leading minus is refused
// like any other text that is not such a number; the plain conversion would wrap it round.
po::typed_value<unsigned int>* u32Value(unsigned int* field);

// verbose (-v), usb-rw-delay, usb-retry-count and sn: the first options of every device command.
void addDeviceOptions(po::options_description& desc, unsigned int* usbRwDelay,
                      unsigned int* usbRetryCount, std::string* sn);

// A flag set after a successful parse: true exactly when the option was given.
struct OptionFlag {
    const char* option;
    bool* given;
};

template <class Cmd> std::vector<OptionFlag> deviceFlags(Cmd& cmd)
{
    return {{"verbose", &cmd.verbose},
            {"usb-rw-delay", &cmd.usbRwDelayGiven},
            {"usb-retry-count", &cmd.usbRetryCountGiven}};
}

// Parses the whole command line with desc, stores and notifies: bound fields receive the given
// values, a missing required option raises. Options desc does not declare, and free words, are
// ignored. Throws the option library's errors.
po::variables_map readCommandLine(const po::options_description& desc, int argc, char** argv);

// readCommandLine, then the flags. An option error is reported as "ERROR: " and the library's
// message on standard output. Returns 0, or -1 after an error.
int parseCommandLine(const po::options_description& desc, int argc, char** argv,
                     const std::vector<OptionFlag>& flags);

// The option list as the option library prints it, and a line end.
void printOptions(std::ostream& os, const po::options_description& desc);

#endif
