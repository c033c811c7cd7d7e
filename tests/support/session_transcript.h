// The session's transcript, written once for every bed that runs a session: what xolcli prints
// for each command of it, after its banner, on a simulated board.
#ifndef XOL_TEST_SUPPORT_SESSION_TRANSCRIPT_H
#define XOL_TEST_SUPPORT_SESSION_TRANSCRIPT_H

#include <cstdint>
#include <string>
#include <vector>

#include "xol_device_state.h"

namespace testkit {

// One invocation of xolcli and what it must print.
struct SessionStep {
    std::string name;
    std::vector<std::string> args;
    std::string out; // standard output after the banner
    std::string err; // standard error; empty for a command that succeeds
};

// A number as xolcli prints it: 0, or 0x and its hexadecimal digits.
std::string cliNumber(uint64_t value);
// The board's unique platform id as its serial: 32 lowercase hexadecimal digits.
std::string serialOf(const xolsim::XolDeviceState& board);

// The step `args` (they begin with "--command NAME") makes on `board`: its output follows from
// the command, the arguments it echoes and what the board identifies itself with. `oemShown`
// says whether the board tells its OEM platform id (it withholds it in ROM context).
SessionStep succeeding(std::string name, std::vector<std::string> args,
                       const xolsim::XolDeviceState& board, bool oemShown = true);
// The same step failing with `code` and `message`: the output stops before the success line.
SessionStep failing(std::string name, std::vector<std::string> args,
                    const xolsim::XolDeviceState& board, const std::string& code,
                    const std::string& message);
// An enumeration that finds the boards of `serials`, in that order.
SessionStep enumerating(std::string name, const std::vector<std::string>& serials);
// The three lines of a failed operation on standard error.
std::string failureText(const std::string& op, const std::string& code, const std::string& message);

} // namespace testkit

#endif
