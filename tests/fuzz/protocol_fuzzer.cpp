// Feeds arbitrary device messages to every command's exchange. Any refusal must be one of the
// library's own exceptions or a stream failure; anything else, a sanitizer report, a download's
// success with less or more than the device announced, an upload of more than the host announced
// (the device may end one early), or a download that asks more often or takes in more than the
// device's announcement and its own requests allow is a bug.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ios>
#include <random>
#include <stdexcept>

#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>

#include "exceptions.h"
#include "fake_transport.h"
#include "protocol_fuzzer_commands.h"
#include "protocol_fuzzer_input.h"
#include "tolvane_libusb.h"
#include "xol_api.h"
#include "xol_cmd.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

uint32_t le(const std::vector<uint8_t>& m, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = 0; i < width && at + i < m.size(); ++i)
        v |= static_cast<uint32_t>(m[at + i]) << (8 * i);
    return v;
}

void put(std::vector<uint8_t>& m, size_t at, int width, uint32_t v)
{
    if (m.size() < at + width)
        m.resize(at + width);
    for (int i = 0; i < width; ++i)
        m[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

[[noreturn]] void wrongSuccess(const char* what)
{
    std::fprintf(stderr, "success with %s\n", what);
    std::abort();
}

// The final response the host went by: the first device message it took in whole with marker
// 0x00 and no firmware status (only heartbeats can come before it in a successful exchange).
const std::vector<uint8_t>* finalResponse()
{
    for (const auto& m : fakeTraffic.reads)
        if (m.size() >= 20 && m[11] == 0x00 && le(m, 4, 4) == 0)
            return &m;
    return nullptr;
}

// Bytes of the upload the host sent: upload chunks with a header (marker 0x5A) less their header,
// payload-only chunks whole; the first message is the initial command.
uint64_t uploaded()
{
    uint64_t n = 0;
    for (size_t i = 1; i < fakeTraffic.writes.size(); ++i) {
        const auto& w = fakeTraffic.writes[i];
        const bool header = w.size() >= 16 && w[3] == 16 && le(w, 0, 3) == w.size();
        if (!header)
            n += w.size();
        else if (w[7] == 0x5A)
            n += w.size() - 16;
    }
    return n;
}

void checkSuccess(unsigned which, uint64_t received)
{
    switch (fuzzcmd::kindOf(which)) {
    case fuzzcmd::Kind::Upload:
        if (fakeTraffic.writes.empty() || uploaded() > le(fakeTraffic.writes[0], 8, 4))
            wrongSuccess("an upload of more than announced");
        break;
    case fuzzcmd::Kind::Download: {
        const auto* final = finalResponse();
        if (!final)
            wrongSuccess("no final response");
        const uint64_t announced = which % fuzzcmd::count == fuzzcmd::readBootMedia
                                       ? uint64_t{fuzzcmd::bootMediaBlocks} * le(*final, 24, 4)
                                       : le(*final, 12, 4);
        if (received != announced)
            wrongSuccess("a download of other than the announced size");
        break;
    }
    case fuzzcmd::Kind::Plain:
        break;
    }
}

[[noreturn]] void unbounded(const char* what)
{
    std::fprintf(stderr, "download with %s\n", what);
    std::abort();
}

bool isChunkRequest(const std::vector<uint8_t>& w)
{
    return w.size() == 64 && w[3] == 16 && w[7] == 0xA5;
}

// Whatever the device sends, succeeding or not, a download asks at most once per unit announced
// and a few times more, and takes in no chunk larger than the request before it asked.
void checkBounds(unsigned which, bool succeeded)
{
    if (fuzzcmd::kindOf(which) != fuzzcmd::Kind::Download)
        return;
    const auto& writes = fakeTraffic.writes;
    uint64_t requests = 0;
    for (size_t i = 1; i < writes.size(); ++i)
        requests += isChunkRequest(writes[i]);
    if (requests == 0)
        return;
    const auto* final = finalResponse();
    if (!final)
        unbounded("chunk requests without a final response");
    const uint64_t units = le(*final, 12, 4);
    const uint64_t unitBytes = which % fuzzcmd::count == fuzzcmd::readBootMedia ? le(*final, 24, 4) : 1;
    if (requests > units + XolCmd::stallAllowance)
        unbounded("more chunk requests than the units announced and the stall allowance");
    const auto& reads = fakeTraffic.reads;
    for (size_t i = 0; i < reads.size(); ++i) {
        const auto& m = reads[i];
        if (m.size() < 20 || m[11] != 0x5A || le(m, 4, 4) != 0)
            continue;
        // Taken in: the host went on after it, or the exchange succeeded with it.
        const size_t before = fakeTraffic.writesBefore[i];
        if (before == 0 || (writes.size() == before && !succeeded))
            continue;
        const auto& request = writes[before - 1];
        const uint64_t asked = isChunkRequest(request) ? le(request, 8, 4) * unitBytes : 0;
        const uint32_t length = le(m, 0, 3);
        const uint32_t header = m[3];
        if (length > header && length - header > asked)
            unbounded("a chunk larger than its request asked");
    }
}

// Header fields a device message is made of, and values worth putting in each.
struct Field {
    size_t at;
    int width;
    std::vector<uint32_t> values;
};
const std::vector<Field>& fields()
{
    static const std::vector<Field> table = {
        {0, 3, {0, 19, 20, 21, 64, 65, 16384, 16385, 0xFFFFFF}},             // message length
        {3, 1, {0, 16, 19, 20, 21, 64, 0xFF}},                              // header length
        {4, 4, {0, 0x80000001, 0x80000037, 0xFFFFFFFF}},                    // firmware status
        {8, 3, {0x800001, 0x800002, 0x800003, 0x800010, 0x800011, 0x800012, 0x800013, 0x800014,
                0x800015, 0x800016, 0x800017, 0x800020, 0x800021, 0x800022, 0x800023, 0x800024,
                0x800025, 0}},                                              // response code
        {11, 1, {0x00, 0x5A, 0x87, 0xA5, 0x33}},                            // marker
        {12, 4, {0, 1, 5, 63, 64, 65, 548, 16364, 16365, 0x7FFFFFFF, 0xFFFFFFFF}}, // additional
        {16, 4, {0, 1}},                                                    // flags
        {20, 4, {0, 1, 16, 64}},                                            // max chunk
        {24, 4, {0, 1, 16, 512, 16364, 16365, 0xFFFFFFFF}},                 // block size
    };
    return table;
}

// One structural change: a message dropped, repeated, moved, made longer or shorter, or one of its
// header fields set; else the bytes of one message mutated as libFuzzer would.
void mutate(FuzzInput& in, std::minstd_rand& rng, size_t maxSize)
{
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    auto& msgs = in.messages;
    switch (pick(msgs.empty() ? 2 : 9)) {
    case 0:
        (pick(2) ? in.which : in.arg) = static_cast<uint8_t>(rng());
        break;
    case 1: {
        // A well-formed message of any kind for the command at hand: the header alone, or a
        // final response's length.
        FuzzInput::Message m(pick(2) ? 20 : 64);
        const uint32_t code = msgs.empty() ? fields()[3].values[pick(fields()[3].values.size())]
                                           : le(msgs[pick(msgs.size())], 8, 3);
        const uint8_t markers[] = {0x00, 0x5A, 0x87, 0xA5};
        const Field& additional = fields()[5];
        put(m, 0, 3, static_cast<uint32_t>(m.size()));
        m[3] = 20;
        put(m, 8, 3, code);
        m[11] = markers[pick(4)];
        put(m, 12, 4, additional.values[pick(additional.values.size())]);
        msgs.insert(msgs.begin() + static_cast<long>(pick(msgs.size() + 1)), std::move(m));
        break;
    }
    case 2:
        msgs.erase(msgs.begin() + static_cast<long>(pick(msgs.size())));
        break;
    case 3: {
        FuzzInput::Message copy = msgs[pick(msgs.size())];
        msgs.insert(msgs.begin() + static_cast<long>(pick(msgs.size() + 1)), std::move(copy));
        break;
    }
    case 4:
        std::swap(msgs[pick(msgs.size())], msgs[pick(msgs.size())]);
        break;
    case 5:
    case 6: {
        FuzzInput::Message& m = msgs[pick(msgs.size())];
        const Field& f = fields()[pick(fields().size())];
        uint32_t v = f.values[pick(f.values.size())];
        if (f.at == 0 && pick(2) == 0)
            v = static_cast<uint32_t>(m.size()); // the length the record really has
        put(m, f.at, f.width, v);
        break;
    }
    case 7: {
        // The data of a message made longer or shorter, its length field following: a chunk
        // of more or fewer bytes than its request asked.
        FuzzInput::Message& m = msgs[pick(msgs.size())];
        if (m.size() < 20)
            break;
        const size_t delta = 1 + pick(64);
        if (pick(2))
            m.resize(std::min(m.size() + delta, FuzzInput::maxMessage), static_cast<uint8_t>(rng()));
        else
            m.resize(std::max<size_t>(20, m.size() - std::min(delta, m.size())));
        put(m, 0, 3, static_cast<uint32_t>(m.size()));
        break;
    }
    default: {
        FuzzInput::Message& m = msgs[pick(msgs.size())];
        if (m.empty())
            m.push_back(0);
        const size_t others = in.size() - m.size();
        const size_t used = m.size();
        const size_t limit =
            std::max(used, std::min(FuzzInput::maxMessage, maxSize > others ? maxSize - others : 0));
        m.resize(limit);
        m.resize(LLVMFuzzerMutate(m.data(), used, limit));
        break;
    }
    }
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed)
{
    std::minstd_rand rng(seed);
    FuzzInput in = FuzzInput::parse(data, size);
    const unsigned rounds = 1 + rng() % 3;
    for (unsigned i = 0; i < rounds; ++i)
        mutate(in, rng, maxSize);
    std::vector<uint8_t> out = in.bytes();
    if (out.size() > maxSize)
        return size; // left as it was
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

// The messages of one input before those of another.
extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1,
                                            const uint8_t* data2, size_t size2, uint8_t* out,
                                            size_t maxOutSize, unsigned int seed)
{
    std::minstd_rand rng(seed);
    FuzzInput a = FuzzInput::parse(data1, size1);
    const FuzzInput b = FuzzInput::parse(data2, size2);
    a.messages.resize(a.messages.empty() ? 0 : rng() % (a.messages.size() + 1));
    const size_t from = b.messages.empty() ? 0 : rng() % b.messages.size();
    a.messages.insert(a.messages.end(), b.messages.begin() + static_cast<long>(from), b.messages.end());
    std::vector<uint8_t> bytes = a.bytes();
    if (bytes.size() > maxOutSize)
        bytes.resize(maxOutSize);
    std::memcpy(out, bytes.data(), bytes.size());
    return bytes.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < FuzzInput::prefix)
        return 0;
    // Records are formatted as in the product, into a sink without streams.
    static bool logging = [] {
        namespace sinks = boost::log::sinks;
        boost::log::core::get()->add_sink(
            boost::make_shared<sinks::synchronous_sink<sinks::text_ostream_backend>>());
        return true;
    }();
    (void)logging;
    static TolvaneWdAPI transport;
    const FuzzInput in = FuzzInput::parse(data, size);
    fakeDeviceMessages.assign(in.messages.begin(), in.messages.end());
    fakeStaleInput = false;
    // With bit 7 of the command byte the command runs a second time on the same connection, as
    // a job's next protocol object would, after whatever the first left behind.
    const unsigned runs = in.which & 0x80 ? 2 : 1;
    for (unsigned i = 0; i < runs; ++i) {
        fakeTraffic.clear();
        // A protocol object of its own for every run, as jobs build them.
        XolAPI api(&transport, "1");
        bool succeeded = false;
        try {
            checkSuccess(in.which, fuzzcmd::run(api, in.which, in.arg));
            succeeded = true;
        } catch (VemoException const&) {
        } catch (std::ios_base::failure const&) {
        } catch (std::invalid_argument const& e) {
            if (std::strcmp(e.what(), "Parse error") != 0)
                std::abort();
        }
        checkBounds(in.which, succeeded);
    }
    return 0;
}
