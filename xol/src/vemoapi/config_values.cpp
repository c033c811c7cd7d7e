#include "config_values.h"

#include <boost/property_tree/ptree.hpp>

namespace config_values {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Stream extraction alone would also take a sign ("-1" as the largest value), so the text is
// checked to hold nothing but digits and blanks around them.
bool plainDecimal(std::string const& text)
{
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    const size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    if (i == digits)
        return false;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    return i == text.size();
}

} // namespace

unsigned int decimal(boost::property_tree::ptree const& node, std::string const& path)
{
    boost::property_tree::ptree const& child = node.get_child(path);
    if (plainDecimal(child.data())) {
        if (boost::optional<unsigned int> value = child.get_value_optional<unsigned int>())
            return *value;
    }
    throw boost::property_tree::ptree_bad_data(
        "Parse error: value of " + path + " is not a decimal number: \"" + child.data() + "\"",
        child.data());
}

unsigned long number(std::string const& text)
{
    return std::stoul(text, nullptr, 0);
}

unsigned long number(boost::property_tree::ptree const& node, std::string const& path)
{
    return number(node.get<std::string>(path));
}

bool flag(boost::property_tree::ptree const& node, std::string const& path)
{
    return node.get<std::string>(path) == "true";
}

} // namespace config_values
