// The gadget's framing of host messages, against a packet source that behaves as a device
// controller does: a read completes when it is full or when a short packet ends the transfer.
#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>

#include "out_framer.h"

namespace {

using Bytes = OutFramer::Bytes;

// Host transfers, cut into packets of maxPacket bytes; an empty transfer is a zero-length packet.
class Wire {
public:
    explicit Wire(size_t maxPacket) : mps(maxPacket) {}
    void transfer(Bytes t)
    {
        if (t.empty()) {
            packets.push_back({});
            return;
        }
        for (size_t at = 0; at < t.size(); at += mps)
            packets.emplace_back(t.begin() + at, t.begin() + std::min(t.size(), at + mps));
    }
    size_t read(uint8_t* buf, size_t n)
    {
        if (n % mps)
            throw std::logic_error("read of " + std::to_string(n) + " bytes cuts a packet");
        size_t got = 0;
        while (got < n) {
            if (packets.empty())
                throw std::runtime_error("read would wait for a packet the host never sends");
            Bytes p = std::move(packets.front());
            packets.pop_front();
            std::copy(p.begin(), p.end(), buf + got);
            got += p.size();
            if (p.size() < mps)
                break;
        }
        return got;
    }
    bool drained() const { return packets.empty(); }

private:
    size_t mps;
    std::deque<Bytes> packets;
};

// A host message with a header: length field set, the rest a pattern.
Bytes message(size_t length, uint32_t lengthField = 0)
{
    Bytes m(length);
    for (size_t i = 0; i < length; ++i)
        m[i] = static_cast<uint8_t>(i * 13 + 7);
    const uint32_t field = lengthField ? lengthField : static_cast<uint32_t>(length);
    if (length >= 16) {
        m[0] = static_cast<uint8_t>(field);
        m[1] = static_cast<uint8_t>(field >> 8);
        m[2] = static_cast<uint8_t>(field >> 16);
        m[3] = 16;
    }
    return m;
}
Bytes padded(Bytes m)
{
    m.push_back(0);
    return m;
}

struct Expect {
    size_t payloadOnly;  // what the board waits for
    size_t size;         // the transfer the board is handed
};
struct Case {
    const char* what;
    size_t mps;
    std::vector<Bytes> transfers;
    std::vector<Expect> expect;
    std::vector<size_t> terminators;  // sizes of the terminators taken
};

TEST(OutFramer, HostTransfersBecomeMessages)
{
    const Case cases[] = {
        {"full speed: padded command, then an unpadded chunk request", 64,
         {padded(message(64)), message(64)}, {{0, 64}, {0, 64}}, {1}},
        {"full speed: padded command, then a payload-only chunk of whole packets", 64,
         {padded(message(64)), Bytes(4096, 0xAB), message(20)}, {{0, 64}, {4096, 4096}, {0, 20}},
         {1}},
        {"full speed: payload-only chunk with a short tail, then a zero-length terminator", 64,
         {Bytes(1000, 1), message(128), Bytes{}, message(64)},
         {{1000, 1000}, {0, 128}, {0, 64}}, {0}},
        {"high speed: multi-packet upload chunk, then a command in one short packet", 512,
         {message(5016), message(64)}, {{0, 5016}, {0, 64}}, {}},
        {"high speed: whole-packet message and its zero-length terminator", 512,
         {message(1024), Bytes{}, message(64)}, {{0, 1024}, {0, 64}}, {0}},
        {"high speed: a pad byte inside the short packet stays with its message", 512,
         {padded(message(64))}, {{0, 65}}, {}},
        {"a transfer shorter than its length field is handed over as it came", 64,
         {message(40, 64), message(64)}, {{0, 40}, {0, 64}}, {}},
        {"a length field no host sends is not waited for", 512,
         {message(64, 0xFFFFFF), message(20)}, {{0, 64}, {0, 20}}, {}},
        {"a transfer shorter than a header that follows a short one is not a terminator", 64,
         {message(20), Bytes{0x55}}, {{0, 20}, {0, 1}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Wire wire(c.mps);
        for (const Bytes& t : c.transfers)
            wire.transfer(t);
        std::vector<size_t> terminators;
        OutFramer framer([&](uint8_t* b, size_t n) { return wire.read(b, n); }, c.mps,
                         [&](size_t n) { terminators.push_back(n); });
        for (const Expect& e : c.expect) {
            Bytes m;
            ASSERT_NO_THROW(m = framer.next(e.payloadOnly));
            EXPECT_EQ(m.size(), e.size);
        }
        EXPECT_TRUE(wire.drained());
        EXPECT_EQ(terminators, c.terminators);
    }
}

// The bytes themselves: a message is handed over whole and in order, across reads.
TEST(OutFramer, MessagesKeepTheirBytes)
{
    Wire wire(64);
    const Bytes big = message(5016);
    wire.transfer(padded(message(64)));
    wire.transfer(big);
    OutFramer framer([&](uint8_t* b, size_t n) { return wire.read(b, n); }, 64, [](size_t) {});
    EXPECT_EQ(framer.next(0), message(64));
    EXPECT_EQ(framer.next(0), big);
}

// The host's last message before it goes away: its pad is reported when it is taken, not when a
// message follows.
TEST(OutFramer, PadBeforeTheHostLeavesIsReported)
{
    Wire wire(64);
    wire.transfer(padded(message(64)));
    std::vector<size_t> terminators;
    OutFramer framer([&](uint8_t* b, size_t n) { return wire.read(b, n); }, 64,
                     [&](size_t n) { terminators.push_back(n); });
    EXPECT_EQ(framer.next(0).size(), 64u);
    EXPECT_THROW(framer.next(0), std::runtime_error);  // the endpoint went away
    EXPECT_EQ(terminators, std::vector<size_t>{1});
}

} // namespace
