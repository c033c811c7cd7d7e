// Test data the suites share: bytes of a pattern, and firmware images with a module directory.
#ifndef XOL_TEST_SUPPORT_TEST_BYTES_H
#define XOL_TEST_SUPPORT_TEST_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

using Bytes = std::vector<uint8_t>;

// n bytes without a period, so that data read off by whole blocks or chunks cannot match; each
// seed gives other bytes.
Bytes pattern(size_t n, uint32_t seed = 1);
// The same bytes as a string.
std::string patternText(size_t n, uint32_t seed = 1);

struct Module {
    std::string name; // at most 12 characters
    size_t size;
};

// An image with its module directory in front: a 16-byte header with the entry count at offset
// 4, then one 24-byte entry per module (12-byte name, offset, size, 4 unused). The modules follow
// one another from `firstAt` (by default right behind the directory); the bytes between the
// directory and the first module and those of the modules are of pattern(seed).
Bytes moduleImage(const std::vector<Module>& modules, uint32_t seed, size_t firstAt = 0);

} // namespace testkit

#endif
