// One command word of xolcli: owns its option list, reads the command line with it and runs the
// one library operation of the word.
#ifndef XOL_CLI_CMD_H
#define XOL_CLI_CMD_H

#include <ostream>

#include "vemoapi.h"

class CliCmd {
public:
    // The command's option list, as the usage text shows it.
    virtual void toStream(std::ostream& os) const = 0;
    // Reads the whole command line with the command's options: 0 when accepted, -1 (after an
    // "ERROR: " line) otherwise.
    virtual int parse(int argc, char** argv) = 0;
    // Runs the command with what parse left: 0 on success.
    virtual int execute(IVemoAPI* api) = 0;
    virtual ~CliCmd() = default;
};

std::ostream& operator<<(std::ostream& os, const CliCmd& cmd);

#endif
