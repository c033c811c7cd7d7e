// Little-endian fields of byte strings (the XoL messages, the module directory, device records),
// read and written byte by byte: no alignment and no host byte order enter.
#ifndef XOL_LITTLE_ENDIAN_H
#define XOL_LITTLE_ENDIAN_H

#include <cstdint>

// Writes the low `bytes` bytes of value, least significant first.
inline void putLe(uint8_t* p, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Reads a field of up to 4 bytes.
inline uint32_t getLe(uint8_t const* p, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

#endif
