#include "secure_buffers.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

bool memcpy_s_x(void* dst, size_t dstSize, void const* src, size_t count)
{
    if (dst == nullptr) {
        std::fputs("Invalid parameters for memcpy_s 1", stdout);
        return false;
    }
    if (src == nullptr || dstSize < count) {
        std::memset(dst, 0, dstSize);
        std::fputs("Invalid parameters for memcpy_s 2", stdout);
        return false;
    }
    const uintptr_t d = reinterpret_cast<uintptr_t>(dst);
    const uintptr_t s = reinterpret_cast<uintptr_t>(src);
    // A source inside the destination buffer counts as overlapping even where count would not
    // reach: the whole destination is at stake.
    const bool overlap = d > s ? (count != 0 && d <= s + count - 1) : (s < d + dstSize);
    if (overlap) {
        std::fputs("Invalid parameters for memcpy_s 3", stdout);
        return false;
    }
    if (count != 0)
        std::memcpy(dst, src, count);
    return true;
}

extern "C" void copyMessage(char* dst, const char* src, size_t size)
{
    if (size == 0)
        return;
    size_t i = 0;
    if (src != nullptr) {
        for (; i + 1 < size && src[i] != '\0'; ++i)
            dst[i] = src[i];
    }
    dst[i] = '\0';
}
