// The value syntaxes of the platform configuration file: decimal, number and flag. Each reads
// the text at a path below a node, exactly as it stands in the file.
#ifndef XOL_CONFIG_VALUES_H
#define XOL_CONFIG_VALUES_H

#include <cstdint>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace config_values {

// Decimal digits with optional blanks around them. A missing path throws the property tree's
// path error, any other text its data error naming the path and the text.
unsigned int decimal(boost::property_tree::ptree const& node, std::string const& path);

// A decimal for a field of `bits` bits: a value beyond an unsigned int is the data error above;
// one wider than the field is refused with the configuration's status
// (VEMO_ERROR_CONFIG_LOOKUP), named `element`/`path` in the text, never cut to fit.
uint32_t decimal(boost::property_tree::ptree const& node, std::string const& element,
                 std::string const& path, unsigned int bits);

// C notation (0x hexadecimal, leading 0 octal, else decimal), blanks allowed around it, for a
// field of `bits` bits. No digits throw std::invalid_argument, more than 64 bits
// std::out_of_range (both "stoul"); anything else after the digits, a negative value or one
// wider than the field is refused with VEMO_ERROR_CONFIG_LOOKUP naming `element`/`path` and the text.
uint32_t number(boost::property_tree::ptree const& node, std::string const& element,
                std::string const& path, unsigned int bits);
uint32_t number(std::string const& text, std::string const& element, std::string const& path,
                unsigned int bits);

// Only the text "true" means yes.
bool flag(boost::property_tree::ptree const& node, std::string const& path);

} // namespace config_values

#endif
