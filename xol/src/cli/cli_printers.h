// Text forms of the identification records that xolcli prints. None writes a line end.
#ifndef XOL_CLI_PRINTERS_H
#define XOL_CLI_PRINTERS_H

#include <ostream>

#include "vemoapi.h"

// The 32-bit value in host byte order, eight hexadecimal digits.
std::ostream& operator<<(std::ostream& os, const _oem_platform_id_t& id);
// The 32 hexadecimal digits of the device identifier.
std::ostream& operator<<(std::ostream& os, const _platform_id_t& id);
std::ostream& operator<<(std::ostream& os, const _token_part_id_t& id);
// Each value in hexadecimal, each followed by a blank.
std::ostream& operator<<(std::ostream& os, const _image_error_values_t& values);
// "Device serial: [identifier]".
std::ostream& operator<<(std::ostream& os, const _soc_device_t& device);

#endif
