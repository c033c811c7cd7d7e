// The commands the protocol fuzz target runs, chosen by the input's first byte, each with fixed
// inputs and the input's second byte as its argument; the seed recorder runs the same ones.
#ifndef XOL_FUZZ_PROTOCOL_FUZZER_COMMANDS_H
#define XOL_FUZZ_PROTOCOL_FUZZER_COMMANDS_H

#include <cstdint>

class XolAPI;

namespace fuzzcmd {

constexpr unsigned count = 16;
constexpr unsigned getCardInfo = 4;
constexpr unsigned readToken = 12;
constexpr unsigned readBootMedia = 15;
// Blocks every Read Boot Media asks for.
constexpr uint32_t bootMediaBlocks = 64;

enum class Kind { Plain, Upload, Download };
Kind kindOf(unsigned which);

// Runs command `which % count`; a download returns the number of bytes it brought, anything else 0.
uint64_t run(XolAPI& api, uint8_t which, uint8_t arg);

} // namespace fuzzcmd

#endif
