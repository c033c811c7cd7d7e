// The protocol fuzz target's input: the command to run and its argument, then the device's
// messages, each a 2-byte little-endian length and that many bytes. Kept as whole messages so the
// mutator can drop, repeat and reorder them, and put any message at any point of an exchange.
#ifndef XOL_FUZZ_PROTOCOL_FUZZER_INPUT_H
#define XOL_FUZZ_PROTOCOL_FUZZER_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

struct FuzzInput {
    using Message = std::vector<uint8_t>;
    uint8_t which = 0;
    uint8_t arg = 0;
    std::vector<Message> messages;

    static constexpr size_t prefix = 2;
    static constexpr size_t maxMessage = 0xFFFF;

    // A record cut short by the end of the input keeps the bytes that are there.
    static FuzzInput parse(const uint8_t* data, size_t size)
    {
        FuzzInput in;
        if (size < prefix)
            return in;
        in.which = data[0];
        in.arg = data[1];
        size_t at = prefix;
        while (at + 2 <= size) {
            size_t len = data[at] | static_cast<size_t>(data[at + 1]) << 8;
            at += 2;
            len = std::min(len, size - at);
            in.messages.emplace_back(data + at, data + at + len);
            at += len;
        }
        return in;
    }

    size_t size() const
    {
        size_t n = prefix;
        for (const Message& m : messages)
            n += 2 + m.size();
        return n;
    }

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> out{which, arg};
        for (const Message& m : messages) {
            out.push_back(static_cast<uint8_t>(m.size()));
            out.push_back(static_cast<uint8_t>(m.size() >> 8));
            out.insert(out.end(), m.begin(), m.end());
        }
        return out;
    }
};

#endif
