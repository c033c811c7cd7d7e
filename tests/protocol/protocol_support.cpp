#include "protocol_support.h"

#include <cctype>
#include <ios>
#include <ostream>
#include <stdexcept>

#include "exceptions.h"
#include "xol_api_utils.h"

namespace prototest {

Bytes hex(const std::string& text)
{
    Bytes out;
    int nibbles = 0;
    unsigned value = 0;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw std::invalid_argument("not hex: " + text);
        value = value << 4 | static_cast<unsigned>(std::stoi(std::string(1, c), nullptr, 16));
        if (++nibbles == 2) {
            out.push_back(static_cast<uint8_t>(value));
            nibbles = 0;
            value = 0;
        }
    }
    if (nibbles)
        throw std::invalid_argument("odd hex: " + text);
    return out;
}

Bytes zeros(size_t n) { return Bytes(n, 0); }

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string asString(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes asBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

uint32_t le(const Bytes& m, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = v << 8 | m.at(at + static_cast<size_t>(i));
    return v;
}

Bytes contentOf(const Blob& unit)
{
    size_t length = 0;
    unit.write(nullptr, &length);
    Bytes b(length);
    if (length != 0 && unit.write(reinterpret_cast<char*>(b.data()), &length) != 0)
        throw std::runtime_error("unit changed size");
    return b;
}

Bytes moduleImage(size_t length, const std::string& name, uint32_t moduleSize)
{
    return testkit::moduleImage({{name, moduleSize}}, 0x5C, length - moduleSize);
}

uint64_t contentHash(const uint8_t* data, size_t n)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < n; ++i) {
        h ^= data[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::ostream& operator<<(std::ostream& os, const Failure& f)
{
    static const char* kinds[] = {"nothing", "VemoException", "stream failure", "invalid_argument",
                                  "other exception"};
    os << kinds[f.kind];
    if (f.kind == Failure::Vemo)
        os << " 0x" << std::hex << f.code << std::dec;
    return os << " \"" << f.text << "\"";
}

Failure failureOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const VemoException& e) {
        return Failure{Failure::Vemo, e.getErrorCode(), e.what()};
    } catch (const std::ios_base::failure& e) {
        return Failure{Failure::Stream, 0, e.what()};
    } catch (const std::invalid_argument& e) {
        return Failure{Failure::InvalidArgument, 0, e.what()};
    } catch (const std::exception& e) {
        return Failure{Failure::Other, 0, e.what()};
    }
    return Failure{};
}

std::vector<XolLogCapture::Record> XolLogCapture::records() const
{
    std::vector<Record> xol;
    for (const testkit::LogRecord& r : capture.records("XOL"))
        xol.push_back(Record{static_cast<int>(r.level), r.serial, r.message, r.scopes});
    return xol;
}

} // namespace prototest
