// A record's message made without a stream reads exactly as a standard stream writes the same
// operands: the log file and the progress callbacks keep their texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>

#include "log_line.h"

namespace {

template <class... T>
void expectAsStream(const T&... operands)
{
    std::ostringstream stream;
    (stream << ... << operands);
    xollog::Line line;
    (line << ... << operands);
    EXPECT_EQ(line.take(), stream.str());
}

TEST(LogLine, ReadsAsAStreamWritesIt)
{
    const std::string serial = "140213";
    expectAsStream("TX: Payload only: ", "no");
    expectAsStream("Configure device IO by serial: ", serial);
    expectAsStream("RX: Data length (calculated): ", static_cast<int32_t>(-20));
    expectAsStream("Bytes sent: ", 102400, ", ", std::numeric_limits<size_t>::max(), " ", -9L);
    expectAsStream("TX: Command: ", std::hex, 0x25u, " ", 255, " ", -1, " ", int64_t{-2});
    expectAsStream("RX: Flags: ", std::hex, uint32_t{0xDEADBEEF}, std::dec, " then ", 42);
    expectAsStream("interface number as a byte: ", uint8_t{65}, ' ', int8_t{66}, 'C');
    expectAsStream("flag ", true, false, " and ", 1.5, " ", std::hex, 0.25);
}

} // namespace
