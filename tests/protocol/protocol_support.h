// Helpers of the protocol tests: byte strings written as hex, message fields, firmware images with
// a module directory, a content hash, the failure an operation raised and a capture of the
// protocol's log records.
#ifndef XOL_TEST_PROTOCOL_SUPPORT_H
#define XOL_TEST_PROTOCOL_SUPPORT_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <typeinfo>
#include <vector>

#include "log_capture.h"
#include "test_bytes.h"

class Blob;

namespace prototest {

using Bytes = std::vector<uint8_t>;

// "40 00 00 10" -> the four bytes; blanks are ignored.
Bytes hex(const std::string& text);
Bytes zeros(size_t n);
Bytes cat(std::initializer_list<Bytes> parts);
using testkit::pattern;
std::string asString(const Bytes& b);
Bytes asBytes(const std::string& s);

uint32_t le(const Bytes& m, size_t at, int width);

// The content of a byte unit the host received.
Bytes contentOf(const Blob& unit);
// Fields of a host message.
inline uint8_t hostMarker(const Bytes& m) { return m.at(7); }
inline uint32_t hostAdditional(const Bytes& m) { return le(m, 8, 4); }

// An image of `length` bytes whose module directory has one entry, `name`, of `moduleSize`
// bytes at the end of the image; the bytes behind the directory follow a pattern.
Bytes moduleImage(size_t length, const std::string& name, uint32_t moduleSize);

// FNV-1a, 64 bits.
uint64_t contentHash(const uint8_t* data, size_t n);
inline uint64_t contentHash(const Bytes& b) { return contentHash(b.data(), b.size()); }
inline uint64_t contentHash(const std::string& s)
{
    return contentHash(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

struct Failure {
    enum Kind { None, Vemo, Stream, InvalidArgument, Other } kind = None;
    unsigned long code = 0;
    std::string text;
    bool operator==(const Failure& o) const
    {
        return kind == o.kind && code == o.code && text == o.text;
    }
};
std::ostream& operator<<(std::ostream& os, const Failure& f);
inline Failure vemo(unsigned long code, std::string text)
{
    return Failure{Failure::Vemo, code, std::move(text)};
}
// Runs `call` and tells what it threw, if anything.
Failure failureOf(const std::function<void()>& call);

// Every record of the "XOL" channel while it lives.
class XolLogCapture {
public:
    struct Record {
        int severity;
        std::string serial;
        std::string message;
        std::string scopes; // names of the open named scopes, outermost first, ';'-separated
    };

    std::vector<Record> records() const;

private:
    testkit::LogCapture capture;
};

} // namespace prototest

#endif
