// The value syntaxes of the platform configuration file: decimal, number and flag. Each reads
// the text at a path below a node, exactly as it stands in the file.
#ifndef XOL_CONFIG_VALUES_H
#define XOL_CONFIG_VALUES_H

#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace config_values {

// Decimal digits with optional blanks around them. A missing path throws the property tree's
// path error, any other text its data error naming the path and the text.
unsigned int decimal(boost::property_tree::ptree const& node, std::string const& path);

// C notation (0x hexadecimal, leading 0 octal, else decimal); the rest after the digits is
// ignored. No digits throw std::invalid_argument, too large a value std::out_of_range.
unsigned long number(boost::property_tree::ptree const& node, std::string const& path);
unsigned long number(std::string const& text);

// Only the text "true" means yes.
bool flag(boost::property_tree::ptree const& node, std::string const& path);

} // namespace config_values

#endif
