// A log record's message put together as plain text and handed to the logger as the record's
// message, without the record stream's set-up (stream state and a locale per record). The text
// is the one a standard stream would make of the same operands.
#ifndef XOL_LOG_LINE_H
#define XOL_LOG_LINE_H

#include <charconv>
#include <ios>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <boost/log/attributes/attribute_name.hpp>
#include <boost/log/attributes/attribute_value_impl.hpp>
#include <boost/log/core/record.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/keywords/severity.hpp>

namespace xollog {

class Line {
public:
    // Room for a typical record, so that the text grows at most once.
    void reserve() { text.reserve(96); }

    Line& operator<<(const char* s) { return append(s); }
    Line& operator<<(const std::string& s) { return append(s); }
    Line& operator<<(std::string_view s) { return append(s); }
    // Characters print as characters, whatever their signedness, as on a stream.
    Line& operator<<(char c) { return text += c, *this; }
    Line& operator<<(signed char c) { return *this << static_cast<char>(c); }
    Line& operator<<(unsigned char c) { return *this << static_cast<char>(c); }
    Line& operator<<(bool b) { return *this << (b ? '1' : '0'); }
    // std::hex and std::dec.
    Line& operator<<(std::ios_base& (*manipulator)(std::ios_base&))
    {
        if (manipulator == static_cast<std::ios_base& (*)(std::ios_base&)>(std::hex))
            hex = true;
        else if (manipulator == static_cast<std::ios_base& (*)(std::ios_base&)>(std::dec))
            hex = false;
        else
            fallback(manipulator);
        return *this;
    }
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    Line& operator<<(T value)
    {
        char digits[24];
        // In hexadecimal a stream prints a negative number's bits.
        const auto result = hex ? std::to_chars(digits, digits + sizeof digits,
                                                static_cast<std::make_unsigned_t<T>>(value), 16)
                                : std::to_chars(digits, digits + sizeof digits, value);
        return append(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
    }
    // Anything else as a stream prints it.
    template <class T, std::enable_if_t<!std::is_integral_v<T>, int> = 0>
    Line& operator<<(const T& value)
    {
        return fallback(value);
    }

    std::string take() { return std::move(text); }

private:
    Line& append(std::string_view s) { return text.append(s.data(), s.size()), *this; }
    template <class T>
    Line& fallback(const T& value)
    {
        std::ostringstream out;
        if (hex)
            out << std::hex;
        out << value;
        hex = (out.flags() & std::ios_base::basefield) == std::ios_base::hex;
        return append(out.str());
    }

    std::string text;
    bool hex = false;
};

// One record of a logger with a severity: open while the core takes it, then given its message
// and pushed.
template <class Logger, class Severity>
class Record {
public:
    Record(Logger& logger, Severity severity)
        : logger(logger), record(logger.open_record(boost::log::keywords::severity = severity))
    {
        // Nothing is allocated for a record the core does not take (logging off).
        if (record)
            message.reserve();
    }
    bool open() const { return static_cast<bool>(record); }
    Line& line() { return message; }
    void push()
    {
        static const boost::log::attribute_name name = boost::log::expressions::smessage.get_name();
        record.attribute_values().insert(
            name, boost::log::attributes::make_attribute_value(message.take()));
        logger.push_record(std::move(record));
    }

private:
    Logger& logger;
    boost::log::record record;
    Line message;
};

} // namespace xollog

// As BOOST_LOG_SEV: the operands that follow are evaluated only when the record is made.
#define XOLLOG_SEV(logger_, severity_)                                                         \
    for (::xollog::Record<std::remove_reference_t<decltype(logger_)>, decltype(severity_)>     \
             xollog_record_((logger_), (severity_));                                          \
         xollog_record_.open(); xollog_record_.push())                                         \
    xollog_record_.line()

#endif
