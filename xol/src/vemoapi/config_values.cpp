#include "config_values.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <boost/property_tree/ptree.hpp>

#include "exceptions.h"
#include "status_codes.h"

namespace config_values {

namespace {

// The blanks strtoull skips in front of a number.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

size_t skipBlanks(std::string const& text, size_t i)
{
    while (i < text.size() && isBlank(text[i]))
        ++i;
    return i;
}

// Stream extraction alone would also take a sign ("-1" as the largest value), so the text is
// checked to hold nothing but digits and blanks around them.
bool plainDecimal(std::string const& text)
{
    size_t i = skipBlanks(text, 0);
    const size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    return i != digits && skipBlanks(text, i) == text.size();
}

[[noreturn]] void notDecimal(std::string const& path, std::string const& text)
{
    throw boost::property_tree::ptree_bad_data(
        "Parse error: value of " + path + " is not a decimal number: \"" + text + "\"", text);
}

// A value cut to its field would reach the device as another value, and eMMC partitioning
// cannot be undone: such a value is refused.
[[noreturn]] void refuse(std::string const& element, std::string const& path,
                         std::string const& text, std::string const& why)
{
    throw VemoException(VEMO_ERROR_CONFIG_LOOKUP,
        "Parse error: " + element + "/" + path + " value \"" + text + "\" " + why);
}

[[noreturn]] void tooWide(std::string const& element, std::string const& path,
                         std::string const& text, unsigned int bits)
{
    refuse(element, path, text, "does not fit in " + std::to_string(bits) + " bits");
}

uint32_t fitted(unsigned long long value, std::string const& element, std::string const& path,
                std::string const& text, unsigned int bits)
{
    if ((value >> bits) != 0)
        tooWide(element, path, text, bits);
    return static_cast<uint32_t>(value);
}

} // namespace

unsigned int decimal(boost::property_tree::ptree const& node, std::string const& path)
{
    boost::property_tree::ptree const& child = node.get_child(path);
    if (plainDecimal(child.data())) {
        if (boost::optional<unsigned int> value = child.get_value_optional<unsigned int>())
            return *value;
    }
    notDecimal(path, child.data());
}

uint32_t decimal(boost::property_tree::ptree const& node, std::string const& element,
                 std::string const& path, unsigned int bits)
{
    // The stream extraction refuses a value beyond an unsigned int: a data error, as for any
    // other text that is no decimal. Only a value it takes, yet wider than the field, would be
    // cut.
    const unsigned int value = decimal(node, path);
    return fitted(value, element, path, node.get_child(path).data(), bits);
}

uint32_t number(std::string const& text, std::string const& element, std::string const& path,
                unsigned int bits)
{
    // 64 bits on every build, so a value is judged by its field alone, not by the width of
    // unsigned long.
    const char* const begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(begin, &end, 0);
    // "0x" without a hexadecimal digit is a 0 followed by other text, whichever C library reads
    // it (some take no digits at all).
    size_t at = skipBlanks(text, 0);
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    const std::string prefix = text.substr(at, 2);
    if ((prefix == "0x" || prefix == "0X")
        && (at + 2 == text.size() || !std::isxdigit(static_cast<unsigned char>(text[at + 2]))))
        refuse(element, path, text, "is not a number");
    if (end == begin)
        throw std::invalid_argument("stoul");
    if (errno == ERANGE)
        throw std::out_of_range("stoul");
    if (skipBlanks(text, static_cast<size_t>(end - begin)) != text.size())
        refuse(element, path, text, "is not a number");
    // strtoull negates a value with a minus sign into a large one.
    if (text[skipBlanks(text, 0)] == '-' && value != 0)
        tooWide(element, path, text, bits);
    return fitted(value, element, path, text, bits);
}

uint32_t number(boost::property_tree::ptree const& node, std::string const& element,
                std::string const& path, unsigned int bits)
{
    return number(node.get<std::string>(path), element, path, bits);
}

bool flag(boost::property_tree::ptree const& node, std::string const& path)
{
    return node.get<std::string>(path) == "true";
}

} // namespace config_values
