// Guarded copies used where the library fills records and texts for its callers.
#ifndef XOL_SECURE_BUFFERS_H
#define XOL_SECURE_BUFFERS_H

#include <cstddef>

// Bounded text copy: at most size - 1 characters and always a terminator (nothing when size is 0).
// Exported by the Linux library, declared by its header there; every build uses it inside.
extern "C" void copyMessage(char* dst, const char* src, size_t size);

// Copies count bytes into dst of dstSize bytes. Refuses a null pointer, a destination that is too
// small and overlapping ranges, saying which on standard output; false then.
bool memcpy_s_x(void* dst, size_t dstSize, void const* src, size_t count);

#endif
