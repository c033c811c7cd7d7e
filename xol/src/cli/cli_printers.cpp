#include "cli_printers.h"

#include <cstring>
#include <string>

#include <boost/format.hpp>

namespace {

void printBytes(std::ostream& os, const char* format, const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        os << boost::format(format) % static_cast<unsigned int>(bytes[i]);
}

} // namespace

std::ostream& operator<<(std::ostream& os, const _oem_platform_id_t& id)
{
    return os << boost::format("%08x") % id.id;
}

std::ostream& operator<<(std::ostream& os, const _platform_id_t& id)
{
    printBytes(os, "%02x", id.id, sizeof id.id);
    return os;
}

std::ostream& operator<<(std::ostream& os, const _token_part_id_t& id)
{
    printBytes(os, "%02x", id.id, sizeof id.id);
    return os;
}

std::ostream& operator<<(std::ostream& os, const _image_error_values_t& values)
{
    printBytes(os, "%#02x ", values.values, sizeof values.values);
    return os;
}

std::ostream& operator<<(std::ostream& os, const _soc_device_t& device)
{
    // Bounded: the record may arrive without a terminator.
    const std::string id(device.id, strnlen(device.id, sizeof device.id));
    return os << "Device serial: " << boost::format("[%s]") % id;
}
