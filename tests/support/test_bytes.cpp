#include "test_bytes.h"

#include <algorithm>
#include <stdexcept>

namespace testkit {

namespace {

void put32(Bytes& b, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i)
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

Bytes pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<uint8_t>(x >> 11);
    }
    return b;
}

std::string patternText(size_t n, uint32_t seed)
{
    const Bytes b = pattern(n, seed);
    return std::string(b.begin(), b.end());
}

Bytes moduleImage(const std::vector<Module>& modules, uint32_t seed, size_t firstAt)
{
    const size_t directory = 16 + 24 * modules.size();
    const size_t first = std::max(firstAt, directory);
    if (firstAt != 0 && firstAt < directory)
        throw std::logic_error("the first module would overlap the module directory");
    size_t total = first;
    for (const Module& m : modules)
        total += m.size;
    Bytes image = pattern(total, seed);
    std::fill(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(directory), 0);
    put32(image, 4, static_cast<uint32_t>(modules.size()));
    size_t offset = first;
    for (size_t i = 0; i < modules.size(); ++i) {
        const size_t entry = 16 + 24 * i;
        const std::string& name = modules[i].name;
        std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(name.size(), 12)),
                  image.begin() + static_cast<std::ptrdiff_t>(entry));
        put32(image, entry + 12, static_cast<uint32_t>(offset));
        put32(image, entry + 16, static_cast<uint32_t>(modules[i].size));
        offset += modules[i].size;
    }
    return image;
}

} // namespace testkit
