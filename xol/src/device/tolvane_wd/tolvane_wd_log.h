// The transport's logger type and the text forms its records use for handles and hex values.
#ifndef XOL_TOLVANE_WD_LOG_H
#define XOL_TOLVANE_WD_LOG_H

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <boost/log/trivial.hpp>

#include "log_line.h"

namespace tolvane {

using severity = boost::log::trivial::severity_level;
using Logger = boost::log::sources::severity_channel_logger_mt<severity, std::string>;

// A number's text made on the stack, for one log record: cheaper than a string stream each.
class HexText {
public:
    HexText(const char* prefix, uint64_t value)
    {
        char digits[16];
        size_t count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 15];
            value >>= 4;
        } while (value != 0);
        while (*prefix != '\0')
            text[length++] = *prefix++;
        while (count > 0)
            text[length++] = digits[--count];
    }
    friend std::ostream& operator<<(std::ostream& out, const HexText& t)
    {
        return out << std::string_view(t.text, t.length);
    }
    friend xollog::Line& operator<<(xollog::Line& line, const HexText& t)
    {
        return line << std::string_view(t.text, t.length);
    }
    friend std::string operator+(std::string left, const HexText& right)
    {
        return left.append(right.text, right.length);
    }

private:
    char text[2 + 16];
    size_t length = 0;
};

// A handle as "0x" and hexadecimal digits, null included.
inline HexText ptrText(const void* p)
{
    return HexText("0x", reinterpret_cast<uintptr_t>(p));
}

// A libusb result as lower-case hexadecimal of its 32 bits, no prefix (-1 is ffffffff).
inline HexText hexText(long value)
{
    return HexText("", static_cast<uint32_t>(value));
}

} // namespace tolvane

#define WD_LOG(lvl) XOLLOG_SEV(logger, ::boost::log::trivial::lvl)

#endif
