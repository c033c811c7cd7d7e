// The transport's logger type and the text forms its records use for handles and hex values.
#ifndef XOL_TOLVANE_WD_LOG_H
#define XOL_TOLVANE_WD_LOG_H

#include <cstdint>
#include <sstream>
#include <string>

#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>
#include <boost/log/trivial.hpp>

namespace tolvane {

using severity = boost::log::trivial::severity_level;
using Logger = boost::log::sources::severity_channel_logger_mt<severity, std::string>;

// A handle as "0x" and hexadecimal digits, null included.
inline std::string ptrText(const void* p)
{
    std::ostringstream s;
    s << "0x" << std::hex << reinterpret_cast<uintptr_t>(p);
    return s.str();
}

// A libusb result as lower-case hexadecimal of its 32 bits, no prefix (-1 is ffffffff).
inline std::string hexText(long value)
{
    std::ostringstream s;
    s << std::hex << static_cast<uint32_t>(value);
    return s.str();
}

} // namespace tolvane

#define WD_LOG(lvl) BOOST_LOG_SEV(logger, ::boost::log::trivial::lvl)

#endif
