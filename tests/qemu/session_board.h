// The board of the end-to-end session in the virtual machine: what it holds, the files the
// session sends to it or compares with, and the export of what the host left on it.
#ifndef XOL_TEST_QEMU_SESSION_BOARD_H
#define XOL_TEST_QEMU_SESSION_BOARD_H

#include <string>

#include "xol_device_state.h"

namespace sessionboard {

// A board in ROM context with eMMC and SPI storage, and uploads asked in both forms.
xolsim::XolDeviceState makeBoard();

// Into dir: board.json, the recovery module, firmware image and token the session sends, the
// board's media and card information (media.T.I.P.bin, cardinfo.T.I.bin), the session's steps
// (steps/NAME.args, one argument a line, with the output NAME.out and for a failing step the
// standard error NAME.err) and expect.sh: shell assignments of the values the session checks.
// In the guest, dir is guestDir and the platform configuration the session sends is guestXml.
void writeSessionFiles(const std::string& dir, const std::string& guestDir,
                       const std::string& guestXml);

// Into dir: summary.sh (shell assignments of what the board saw) and the bytes the host uploaded
// (recovery.bin, firmware.bin, token.N.bin, config.T.I.bin), then the file "done".
void exportBoard(const xolsim::XolDeviceState& board, const std::string& dir);

} // namespace sessionboard

#endif
