// The simulated XoL board, driven with host messages built byte by byte in the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <numeric>
#include <string>

#include "scratch_dir.h"
#include "test_bytes.h"
#include "xol_device.h"

using xolsim::Bytes;
using xolsim::Fault;
using xolsim::Reply;
using xolsim::StorageDevice;
using xolsim::XolDevice;
using xolsim::XolDeviceState;

namespace {

uint32_t le(const Bytes& m, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = v << 8 | m.at(at + i);
    return v;
}
void setLe(Bytes& m, size_t at, uint32_t v, int width)
{
    for (int i = 0; i < width; ++i)
        m.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// Fields of a device message.
uint32_t status(const Bytes& m) { return le(m, 4, 4); }
uint32_t code(const Bytes& m) { return le(m, 8, 3); }
uint8_t marker(const Bytes& m) { return m.at(11); }
uint32_t additional(const Bytes& m) { return le(m, 12, 4); }
uint32_t flags(const Bytes& m) { return le(m, 16, 4); }
Bytes body(const Bytes& m) { return Bytes(m.begin() + 20, m.end()); }

// A 64-byte initial command; `fields` are (message offset, value, width).
struct Field {
    size_t at;
    uint32_t value;
    int width;
};
Bytes command(uint8_t req, uint32_t total = 0, std::initializer_list<Field> fields = {})
{
    Bytes m(64);
    setLe(m, 0, 64, 3);
    m[3] = 16;
    setLe(m, 4, req, 3);
    setLe(m, 8, total, 4);
    for (const Field& f : fields)
        setLe(m, f.at, f.value, f.width);
    return m;
}
Bytes chunkRequest(Bytes initial, uint32_t asked)
{
    initial[7] = 0xA5;
    setLe(initial, 8, asked, 4);
    return initial;
}
Bytes uploadChunk(uint8_t req, const Bytes& bytes, uint32_t left)
{
    // Sized whole first: growing a 16-byte vector by insert trips gcc 12's array-bounds check
    // at -O3.
    Bytes m(16 + bytes.size());
    setLe(m, 0, static_cast<uint32_t>(m.size()), 3);
    m[3] = 16;
    setLe(m, 4, req, 3);
    m[7] = 0x5A;
    setLe(m, 8, left, 4);
    std::copy(bytes.begin(), bytes.end(), m.begin() + 16);
    return m;
}
using testkit::pattern;

class Board {
public:
    explicit Board(XolDeviceState s = xol())
        : dev(std::move(s))
    {
        dev.attachSender([this](Bytes m) { in.push_back(std::move(m)); });
    }
    static XolDeviceState xol()
    {
        XolDeviceState s;
        s.context = 1;
        return s;
    }
    void send(const Bytes& m) { dev.onBulkOut(m); }
    Bytes next()
    {
        if (in.empty()) {
            ADD_FAILURE() << "the board sent nothing";
            return Bytes(20);
        }
        Bytes m = std::move(in.front());
        in.pop_front();
        return m;
    }
    // Sends the message and expects exactly one answer.
    Bytes ask(const Bytes& m)
    {
        send(m);
        Bytes a = next();
        EXPECT_TRUE(in.empty()) << in.size() << " further messages";
        return a;
    }
    std::vector<std::string> hostErrors() const
    {
        return dev.inspect([](const XolDeviceState& s) { return s.hostErrors; });
    }

    XolDevice dev;
    std::deque<Bytes> in;
};

// The host's side of an upload, answering each request as it asks; returns the final answer.
Bytes upload(Board& b, const Bytes& initial, const Bytes& bytes)
{
    b.send(initial);
    size_t sent = 0;
    for (int guard = 0; guard < 10000; ++guard) {
        Bytes m = b.next();
        if (marker(m) == 0x87)
            continue;
        if (marker(m) != 0xA5 || status(m) != 0)
            return m;
        const size_t n = std::min<size_t>(additional(m), bytes.size() - sent);
        Bytes chunk(bytes.begin() + sent, bytes.begin() + sent + n);
        sent += n;
        const uint8_t req = initial[4];
        b.send(flags(m) & 1 ? chunk : uploadChunk(req, chunk, uint32_t(bytes.size() - sent)));
    }
    ADD_FAILURE() << "upload does not end";
    return Bytes(20);
}

// The host's side of a download asking `perChunk` units each time.
struct Download {
    Bytes final;
    Bytes bytes;
    std::vector<uint32_t> delivered; // data bytes of each chunk
    std::vector<uint32_t> left;      // amount still to come after each chunk
};
Download download(Board& b, const Bytes& initial, uint32_t perChunk)
{
    Download d;
    d.final = b.ask(initial);
    if (status(d.final) != 0)
        return d;
    uint32_t left = additional(d.final);
    if (initial[4] == 0x25 && le(d.final, 20, 4) != 0)
        perChunk = std::min(perChunk, le(d.final, 20, 4));
    while (left > 0 && d.left.size() < 1000) {
        Bytes c = b.ask(chunkRequest(initial, std::min(left, perChunk)));
        EXPECT_EQ(marker(c), 0x5A);
        Bytes bytes = body(c);
        d.bytes.insert(d.bytes.end(), bytes.begin(), bytes.end());
        d.delivered.push_back(uint32_t(bytes.size()));
        left = additional(c);
        d.left.push_back(left);
    }
    return d;
}

Bytes hexBytes(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }

// ---------------------------------------------------------------- framing

TEST(XolDeviceFraming, StartOverAnswerAndThePadByte)
{
    for (size_t pad : {0, 1}) {
        Board b;
        b.dev.edit([](XolDeviceState& s) { s.currentOperation = 5; });
        Bytes cmd = command(0x13, 0, {{16, 0x20, 4}});
        cmd.resize(64 + pad);
        Bytes expect = hexBytes({0x40, 0, 0, 0x14, 0, 0, 0, 0, 0x13, 0, 0x80, 0, 0, 0, 0, 0, 0, 0,
                                 0, 0, 5, 0, 0, 0, 1, 0, 0, 0});
        expect.resize(64);
        EXPECT_EQ(b.ask(cmd), expect) << "pad " << pad;
        XolDeviceState s = b.dev.state();
        EXPECT_EQ(s.startOverFlags, std::vector<uint32_t>{0x20});
        EXPECT_EQ(s.ignoredBytes, pad);
        EXPECT_TRUE(s.hostErrors.empty());
        ASSERT_EQ(s.commands.size(), 1u);
        EXPECT_EQ(s.commands[0].size(), 64u);
    }
}

// Host messages the board cannot take are refused with a firmware status and noted.
TEST(XolDeviceFraming, MalformedHostMessagesAreRefused)
{
    struct Case {
        const char* what;
        std::function<Bytes()> msg;
        uint32_t status;
    };
    const Case cases[] = {
        {"transfer shorter than the length field", [] { Bytes m = command(0x24); m.resize(40); return m; }, 0x80000001},
        {"header length not 16", [] { Bytes m = command(0x24); m[3] = 20; return m; }, 0x80000001},
        {"unknown request code", [] { return command(0x30); }, 0x80000001},
        {"initial command not 64 bytes", [] { Bytes m = command(0x24); m.resize(80); setLe(m, 0, 80, 3); return m; }, 0x80000011},
        {"unused payload byte set", [] { return command(0x24, 0, {{17, 1, 1}}); }, 0x80000011},
        {"reserved header bytes set", [] { return command(0x24, 0, {{12, 1, 1}}); }, 0x80000011},
        {"additional length without upload", [] { return command(0x24, 8); }, 0x80000011},
        {"set protocol first word not zero", [] { return command(0x17, 0, {{16, 1, 4}}); }, 0x80000011},
        {"recovery first word not one", [] { return command(0x02, 10, {{20, 5, 4}, {24, 5, 4}}); }, 0x80000011},
        {"unknown host marker", [] { Bytes m = command(0x24); m[7] = 0x87; return m; }, 0x80000001},
        {"chunk request outside a download", [] { return chunkRequest(command(0x22), 10); }, 0x80000001},
        {"upload chunk outside an upload", [] { return uploadChunk(0x23, Bytes(4), 0); }, 0x80000001},
    };
    for (const Case& c : cases) {
        Board b;
        b.dev.edit([](XolDeviceState& s) { s.tokens[0] = Bytes(4); });
        Bytes a = b.ask(c.msg());
        EXPECT_EQ(status(a), c.status) << c.what;
        EXPECT_EQ(a.size(), 64u) << c.what;
        EXPECT_EQ(b.hostErrors().size(), 1u) << c.what;
        EXPECT_EQ(b.dev.state().tokens.count(0), 1u) << c.what << ": nothing was done";
        // The board is ready for the next command.
        EXPECT_EQ(status(b.ask(command(0x13))), 0u) << c.what;
    }
}

// ---------------------------------------------------------------- commands without data

TEST(XolDeviceCommands, IdDeviceAndTokenPartIdReportTheBoard)
{
    Board b;
    b.dev.edit([](XolDeviceState& s) {
        s.oemPlatformId = {'Q', 'W', 'L', 'M'};
        for (int i = 0; i < 16; ++i)
            s.platformId[i] = uint8_t(i);
        s.idFlags = 0x01020304;
        s.imageErrors.fill(0xEE);
        s.tokenPartId.fill(0x77);
        s.nonce = 11;
        s.trustedTime = 22;
        s.deviceId = 33;
    });
    Bytes id = b.ask(command(0x01, 0, {{16, 7, 4}, {20, 0x12345678, 4}}));
    ASSERT_EQ(id.size(), 64u);
    EXPECT_EQ(code(id), 0x800001u);
    EXPECT_EQ(Bytes(id.begin() + 20, id.begin() + 24), hexBytes({'Q', 'W', 'L', 'M'}));
    Bytes uid(id.begin() + 28, id.begin() + 44);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(uid[i], i);
    EXPECT_EQ(le(id, 44, 4), 0x01020304u);
    EXPECT_EQ(Bytes(id.begin() + 48, id.begin() + 60), Bytes(12, 0xEE));
    EXPECT_EQ(b.dev.state().idDeviceParams, (std::array<uint32_t, 2>{7, 0x12345678}));

    Bytes tp = b.ask(command(0x21, 0, {{16, 9, 4}}));
    EXPECT_EQ(Bytes(tp.begin() + 20, tp.begin() + 32), Bytes(12, 0x77));
    EXPECT_EQ(le(tp, 32, 4), 11u);
    EXPECT_EQ(le(tp, 36, 4), 22u);
    EXPECT_EQ(le(tp, 40, 4), 33u);
    EXPECT_EQ(Bytes(tp.begin() + 44, tp.begin() + 48), hexBytes({'Q', 'W', 'L', 'M'}));
    EXPECT_EQ(b.dev.state().tokenPartIdParam, 9u);
}

TEST(XolDeviceCommands, SetProtocolTakesOnlyAcceptedVersions)
{
    Board b;
    b.dev.edit([](XolDeviceState& s) { s.acceptedVersions = {0}; });
    Bytes refused = b.ask(command(0x17, 0, {{20, 1, 4}, {24, 5000, 4}}));
    EXPECT_EQ(status(refused), 0x80000032u);
    EXPECT_FALSE(b.dev.state().protocolVersion);

    Bytes set = command(0x17, 0, {{20, 0, 4}, {24, 1000, 4}});
    Bytes ok = b.ask(set);
    EXPECT_EQ(status(ok), 0u);
    EXPECT_EQ(le(ok, 20, 4), 0u);
    XolDeviceState s = b.dev.state();
    EXPECT_EQ(s.protocolVersion, 0u);
    EXPECT_EQ(s.protocolTimeout, 1000u);
}

TEST(XolDeviceCommands, TokensIfpRecordAndRpmb)
{
    Board b;
    b.dev.edit([](XolDeviceState& s) {
        s.tokens[2] = Bytes(8, 1);
        s.device(2, 0);
    });
    EXPECT_EQ(status(b.ask(command(0x24, 0, {{16, 2, 1}}))), 0u);
    EXPECT_EQ(status(b.ask(command(0x24, 0, {{16, 2, 1}}))), 0x80000037u) << "already erased";
    EXPECT_EQ(status(b.ask(command(0x24, 0, {{16, 16, 1}}))), 0x8000002Au) << "no such slot";
    EXPECT_EQ(status(b.ask(command(0x22, 0, {{16, 2, 1}}))), 0x80000037u);

    Bytes ifp = command(0x16);
    for (size_t i = 16; i < 60; ++i)
        ifp[i] = uint8_t(i);
    EXPECT_EQ(status(b.ask(ifp)), 0u);
    auto record = b.dev.state().ifpEmulation;
    ASSERT_TRUE(record);
    EXPECT_EQ(Bytes(record->begin(), record->end()), Bytes(ifp.begin() + 16, ifp.begin() + 60));

    EXPECT_EQ(status(b.ask(command(0x10, 0, {{16, 2, 1}, {17, 1, 1}}))), 0x8000003Au);
    EXPECT_EQ(status(b.ask(command(0x10, 0, {{16, 4, 1}}))), 0x8000002Du);
    EXPECT_EQ(status(b.ask(command(0x10, 0, {{16, 2, 1}}))), 0u);
    EXPECT_TRUE(b.dev.state().storage.at({2, 0}).rpmbCleared);
}

TEST(XolDeviceCommands, RomContextTakesOnlyTheRomCommands)
{
    Board b(XolDeviceState{});
    EXPECT_EQ(status(b.ask(command(0x13))), 0u);
    EXPECT_EQ(status(b.ask(command(0x01))), 0u);
    EXPECT_EQ(status(b.ask(command(0x17, 0, {{20, 1, 4}}))), 0x80000019u);
    EXPECT_EQ(status(b.ask(command(0x23, 4))), 0x80000019u);
    EXPECT_TRUE(b.hostErrors().empty());
}

// ---------------------------------------------------------------- uploads

TEST(XolDeviceUpload, WriteTokenFollowsTheScript)
{
    Board b;
    b.dev.edit([](XolDeviceState& s) { s.uploadScript[0x23] = {{64, false}, {36, true}}; });
    const Bytes token = pattern(100);
    Bytes first = b.ask(command(0x23, 100, {{16, 3, 1}}));
    EXPECT_EQ(first, hexBytes({0x14, 0, 0, 0x14, 0, 0, 0, 0, 0x23, 0, 0x80, 0xA5, 64, 0, 0, 0, 0,
                               0, 0, 0}));
    Bytes second = b.ask(uploadChunk(0x23, Bytes(token.begin(), token.begin() + 64), 36));
    EXPECT_EQ(additional(second), 36u);
    EXPECT_EQ(flags(second), 1u);
    Bytes last = b.ask(Bytes(token.begin() + 64, token.end()));
    EXPECT_EQ(last.size(), 64u);
    EXPECT_EQ(marker(last), 0);
    EXPECT_EQ(status(last), 0u);
    EXPECT_EQ(b.dev.state().tokens.at(3), token);
}

// What a bed reading the host's byte stream by message lengths learns from the board, and a bus
// reset in the middle of an upload.
TEST(XolDeviceUpload, PayloadOnlyLengthAndBusReset)
{
    Board b;
    b.dev.edit([](XolDeviceState& s) { s.uploadScript[0x23] = {{64, false}, {36, true}}; });
    const Bytes token = pattern(100);
    b.ask(command(0x23, 100, {{16, 3, 1}}));
    EXPECT_EQ(b.dev.payloadOnlyLength(), 0u);
    b.ask(uploadChunk(0x23, Bytes(token.begin(), token.begin() + 64), 36));
    EXPECT_EQ(b.dev.payloadOnlyLength(), 36u);

    b.dev.busReset();
    EXPECT_EQ(b.dev.payloadOnlyLength(), 0u);
    Bytes answer = b.ask(command(0x13));
    EXPECT_EQ(code(answer), 0x800013u);
    EXPECT_EQ(status(answer), 0u);
    XolDeviceState s = b.dev.state();
    EXPECT_FALSE(s.tokens.count(3));
    EXPECT_TRUE(s.hostErrors.empty());
}

// Every upload command keeps what arrived, with default requests in both forms.
TEST(XolDeviceUpload, EveryUploadKeepsItsBytes)
{
    struct Case {
        const char* name;
        Bytes initial;
        std::function<Bytes(const XolDeviceState&)> stored;
    };
    const uint32_t n = 10000;
    const Case cases[] = {
        {"recovery", command(0x02, n, {{16, 1, 4}, {20, 400, 4}, {24, n - 400, 4}}),
         [](const XolDeviceState& s) { return s.recoveryModule ? s.recoveryModule->image : Bytes(); }},
        {"firmware", command(0x15, n, {{16, 1, 4}, {20, 400, 4}, {24, n - 400, 4}, {28, 6, 4}}),
         [](const XolDeviceState& s) { return s.firmwareImage ? s.firmwareImage->image : Bytes(); }},
        {"configure", command(0x11, n, {{16, 3, 1}, {17, 1, 1}}),
         [](const XolDeviceState& s) { return s.storage.at({3, 1}).lastConfigRequest.value_or(Bytes()); }},
        {"oem ifp", command(0x14, n),
         [](const XolDeviceState& s) { return s.oemIfpBlock.value_or(Bytes()); }},
        {"lifecycle", command(0x20, n),
         [](const XolDeviceState& s) { return s.lifecycleStage.value_or(Bytes()); }},
        {"token", command(0x23, n, {{16, 15, 1}}),
         [](const XolDeviceState& s) { return s.tokens.count(15) ? s.tokens.at(15) : Bytes(); }},
    };
    for (const Case& c : cases)
        for (bool payloadOnly : {false, true}) {
            XolDeviceState s = Board::xol();
            s.uploadDefault = {3000, payloadOnly};
            s.device(3, 1);
            Board b(s);
            const Bytes bytes = pattern(n, uint8_t(c.initial[4]));
            Bytes last = upload(b, c.initial, bytes);
            EXPECT_EQ(status(last), 0u) << c.name;
            EXPECT_EQ(marker(last), 0) << c.name;
            EXPECT_EQ(c.stored(b.dev.state()), bytes) << c.name << " payload-only " << payloadOnly;
            EXPECT_TRUE(b.hostErrors().empty()) << c.name;
        }
}

TEST(XolDeviceUpload, RecoveryMovesToXolAndKeepsTheModuleFields)
{
    Board b(XolDeviceState{});
    Bytes last = upload(b, command(0x02, 5000, {{16, 1, 4}, {20, 1000, 4}, {24, 4000, 4}}),
                        pattern(5000));
    EXPECT_EQ(status(last), 0u);
    XolDeviceState s = b.dev.state();
    EXPECT_EQ(s.context, 1u);
    ASSERT_TRUE(s.recoveryModule);
    EXPECT_EQ(s.recoveryModule->headerSize, 1000u);
    EXPECT_EQ(s.recoveryModule->moduleSize, 4000u);
    EXPECT_EQ(s.recoveryModule->length, 5000u);
}

TEST(XolDeviceUpload, EmptyConfigurationNeedsNoRequest)
{
    XolDeviceState s = Board::xol();
    s.device(1, 0);
    Board b(s);
    Bytes a = b.ask(command(0x11, 0, {{16, 1, 1}}));
    EXPECT_EQ(marker(a), 0);
    EXPECT_EQ(status(a), 0u);
    EXPECT_EQ(b.dev.state().storage.at({1, 0}).lastConfigRequest, Bytes());
}

TEST(XolDeviceUpload, HostChunksThatDoNotFitAreRefused)
{
    Board b;
    b.dev.edit([](XolDeviceState& s) { s.uploadDefault = {64, false}; });
    b.ask(command(0x23, 100));
    EXPECT_EQ(status(b.ask(uploadChunk(0x23, Bytes(65), 35))), 0x8000001Cu) << "more than asked";
    b.ask(command(0x23, 100));
    EXPECT_EQ(status(b.ask(uploadChunk(0x23, Bytes(64), 35))), 0x80000011u) << "wrong bytes left";
    EXPECT_EQ(b.hostErrors().size(), 2u);
    EXPECT_FALSE(b.dev.state().tokens.count(0));
}

TEST(XolDeviceUpload, ScriptedRequestPastTheEndLetsTheHostStartOver)
{
    Board b;
    b.dev.edit([](XolDeviceState& s) { s.uploadScript[0x23] = {{101, false}}; });
    EXPECT_EQ(additional(b.ask(command(0x23, 100))), 101u);
    // The host refuses such a request and goes on with another command.
    EXPECT_EQ(status(b.ask(command(0x13))), 0u);
    EXPECT_TRUE(b.hostErrors().empty());
}

// ---------------------------------------------------------------- downloads

TEST(XolDeviceDownload, ReadTokenAndCardInfoInChunks)
{
    Board b;
    const Bytes token = pattern(40000);
    const Bytes card = pattern(548, 9);
    b.dev.edit([&](XolDeviceState& s) {
        s.tokens[1] = token;
        s.device(2, 0).cardInfo = card;
        s.device(2, 0).reportedType = 3;
    });
    Download t = download(b, command(0x22, 0, {{16, 1, 1}}), 16364);
    EXPECT_EQ(additional(t.final), 40000u);
    EXPECT_EQ(t.delivered, (std::vector<uint32_t>{16364, 16364, 7272}));
    EXPECT_EQ(t.left, (std::vector<uint32_t>{23636, 7272, 0}));
    EXPECT_EQ(t.bytes, token);

    Download c = download(b, command(0x12, 0, {{16, 2, 1}}), 16364);
    EXPECT_EQ(c.final[20], 3) << "the type the board reports";
    EXPECT_EQ(additional(c.final), 548u);
    EXPECT_EQ(c.bytes, card);
    EXPECT_TRUE(b.hostErrors().empty());
}

TEST(XolDeviceDownload, ReadBootMediaAddressesPartitionAndBlocks)
{
    struct Case {
        uint8_t type;
        uint8_t partition;
        Bytes initial;
    };
    const Case cases[] = {
        {1, 0, command(0x25, 0, {{16, 1, 1}, {24, 3, 4}, {32, 5, 4}})},
        {2, 2, command(0x25, 0, {{16, 2, 1}, {24, 2, 1}, {28, 3, 4}, {36, 5, 4}})},
        {3, 7, command(0x25, 0, {{16, 3, 1}, {17, 0, 1}, {24, 7, 1}, {28, 3, 4}, {36, 5, 4}})},
    };
    for (const Case& c : cases) {
        XolDeviceState s = Board::xol();
        StorageDevice& dev = s.device(c.type, 0);
        dev.blockSize = 512;
        dev.maxChunk = 2;
        dev.media[c.partition] = pattern(10 * 512, c.partition);
        dev.media[uint8_t(c.partition + 1)] = Bytes(10 * 512);
        Board b(s);
        Download d = download(b, c.initial, 2);
        EXPECT_EQ(le(d.final, 20, 4), 2u);
        EXPECT_EQ(le(d.final, 24, 4), 512u);
        EXPECT_EQ(additional(d.final), 5u);
        EXPECT_EQ(d.left, (std::vector<uint32_t>{3, 1, 0}));
        const Bytes& media = s.storage.at({c.type, 0}).media.at(c.partition);
        EXPECT_EQ(d.bytes, Bytes(media.begin() + 3 * 512, media.begin() + 8 * 512))
            << "type " << int(c.type);
        auto read = b.dev.state().storage.at({c.type, 0}).lastRead;
        ASSERT_TRUE(read);
        EXPECT_EQ(read->partition, c.partition);
        EXPECT_EQ(read->start, 3u);
        EXPECT_EQ(read->count, 5u);
    }
}

// The board sends boot media from its state in place; a test's edit between two chunks, even
// one that drops the partition, leaves the download it interrupts with the bytes it started on.
TEST(XolDeviceDownload, ReadBootMediaSendsWhatWasThereAtTheCommand)
{
    const Bytes media = pattern(6 * 512, 3);
    for (const bool drop : {false, true}) {
        XolDeviceState s = Board::xol();
        s.device(2, 0).media[0] = media;
        s.device(2, 0).maxChunk = 2;
        Board b(s);
        const Bytes read = command(0x25, 0, {{16, 2, 1}, {28, 1, 4}, {36, 4, 4}});
        EXPECT_EQ(additional(b.ask(read)), 4u);
        Bytes got = body(b.ask(chunkRequest(read, 2)));
        b.dev.edit([drop](XolDeviceState& st) {
            if (drop)
                st.device(2, 0).media.clear();
            else
                st.device(2, 0).media[0] = Bytes(6 * 512, 0xEE);
        });
        const Bytes rest = body(b.ask(chunkRequest(read, 2)));
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, Bytes(media.begin() + 512, media.begin() + 5 * 512)) << "drop " << drop;
        EXPECT_TRUE(b.hostErrors().empty());
    }
}

TEST(XolDeviceDownload, ReadBootMediaRefusals)
{
    XolDeviceState s = Board::xol();
    s.device(2, 0).media[0] = Bytes(8 * 512);
    s.device(2, 0).maxChunk = 4;
    struct Case {
        const char* what;
        Bytes initial;
        uint32_t status;
    };
    const Case cases[] = {
        {"past the end", command(0x25, 0, {{16, 2, 1}, {28, 6, 4}, {36, 3, 4}}), 0x80000034},
        {"no such partition", command(0x25, 0, {{16, 2, 1}, {24, 1, 1}, {36, 1, 4}}), 0x8000002E},
        {"no such device", command(0x25, 0, {{16, 3, 1}, {36, 1, 4}}), 0x8000003A},
        {"no such type", command(0x25, 0, {{16, 4, 1}}), 0x8000002D},
    };
    for (const Case& c : cases) {
        Board b(s);
        EXPECT_EQ(status(b.ask(c.initial)), c.status) << c.what;
    }
    // Chunk requests beyond what the board announced are the host's fault.
    Board b(s);
    const Bytes read = command(0x25, 0, {{16, 2, 1}, {36, 8, 4}});
    b.ask(read);
    EXPECT_EQ(status(b.ask(chunkRequest(read, 5))), 0x8000001Cu) << "above the maximum chunk";
    b.ask(read);
    Bytes changed = chunkRequest(read, 1);
    changed[36] = 7;
    EXPECT_EQ(status(b.ask(changed)), 0x80000011u) << "payload not repeated";
    EXPECT_EQ(b.hostErrors().size(), 2u);
}

// Asked for type 0, a board answers only when it holds a device under type 0, reporting that
// device's own type.
TEST(XolDeviceDownload, CardInfoForTypeZero)
{
    XolDeviceState s = Board::xol();
    s.device(2, 0).cardInfo = pattern(548);
    Board without(s);
    EXPECT_EQ(status(without.ask(command(0x12, 0, {{16, 0, 1}}))), 0x8000002Du);

    s.device(0, 1).cardInfo = pattern(272);
    s.device(0, 1).reportedType = 3;
    Board with(s);
    Download d = download(with, command(0x12, 0, {{16, 0, 1}, {17, 1, 1}}), 16364);
    EXPECT_EQ(d.final[20], 3);
    EXPECT_EQ(d.bytes, pattern(272));
    EXPECT_EQ(status(with.ask(command(0x12, 0, {{16, 0, 1}}))), 0x8000002Du) << "index 0";
}

// ---------------------------------------------------------------- faults

// Each fault alters the Erase Token answer; a firmware status also leaves the token in place.
TEST(XolDeviceFaults, FinalResponseAlterations)
{
    auto fault = [](std::function<void(Fault&)> set) {
        Fault f;
        f.code = 0x24;
        f.on = Reply::Final;
        set(f);
        return f;
    };
    struct Case {
        const char* what;
        Fault fault;
        size_t size;
        std::function<void(const Bytes&)> check;
        bool erased;
    };
    const Case cases[] = {
        {"firmware status", fault([](Fault& f) { f.status = 0x80000030; }), 64,
         [](const Bytes& m) { EXPECT_EQ(status(m), 0x80000030u); }, false},
        {"response code", fault([](Fault& f) { f.responseCode = 0x800003; }), 64,
         [](const Bytes& m) { EXPECT_EQ(code(m), 0x800003u); }, true},
        {"marker", fault([](Fault& f) { f.marker = 0x33; }), 64,
         [](const Bytes& m) { EXPECT_EQ(marker(m), 0x33); }, true},
        {"short", fault([](Fault& f) { f.size = 60; }), 60,
         [](const Bytes& m) { EXPECT_EQ(le(m, 0, 3), 60u); }, true},
        {"header only", fault([](Fault& f) { f.size = 20; }), 20,
         [](const Bytes& m) { EXPECT_EQ(le(m, 0, 3), 20u); EXPECT_EQ(m[3], 20); }, true},
        {"additional", fault([](Fault& f) { f.additional = 8; }), 64,
         [](const Bytes& m) { EXPECT_EQ(additional(m), 8u); }, true},
        {"oversize", fault([](Fault& f) { f.size = 16400; }), 16400,
         [](const Bytes& m) { EXPECT_EQ(le(m, 0, 3), 16400u); }, true},
        {"length field", fault([](Fault& f) { f.lengthField = 16385; }), 64,
         [](const Bytes& m) { EXPECT_EQ(le(m, 0, 3), 16385u); }, true},
        {"header length", fault([](Fault& f) { f.headerLength = 64; }), 64,
         [](const Bytes& m) { EXPECT_EQ(m[3], 64); }, true},
        {"data", fault([](Fault& f) { f.data = Bytes(40, 0xAB); }), 60,
         [](const Bytes& m) { EXPECT_EQ(body(m), Bytes(40, 0xAB)); }, true},
    };
    for (const Case& c : cases) {
        Board b;
        b.dev.edit([](XolDeviceState& s) { s.tokens[4] = Bytes(3); });
        b.dev.inject(c.fault);
        Bytes m = b.ask(command(0x24, 0, {{16, 4, 1}}));
        EXPECT_EQ(m.size(), c.size) << c.what;
        c.check(m);
        XolDeviceState s = b.dev.state();
        EXPECT_EQ(s.tokens.count(4) == 0, c.erased) << c.what;
        EXPECT_TRUE(s.faults.empty()) << c.what << ": fires once";
        EXPECT_EQ(status(b.ask(command(0x13))), 0u) << c.what;
    }
}

TEST(XolDeviceFaults, HeartbeatsBeforeAnswers)
{
    XolDeviceState s = Board::xol();
    s.heartbeats = 1;
    Fault f;
    f.code = 0x23;
    f.on = Reply::DataRequest;
    f.skip = 1;
    f.heartbeats = 2;
    s.faults = {f};
    s.uploadDefault = {40, false};
    Board b(s);
    b.send(command(0x23, 100));
    std::vector<uint8_t> markers;
    size_t sent = 0;
    while (!b.in.empty()) {
        Bytes m = b.next();
        markers.push_back(marker(m));
        EXPECT_EQ(code(m), 0x800023u);
        EXPECT_EQ(m.size(), marker(m) == 0 ? 64u : 20u);
        if (marker(m) == 0xA5 && b.in.empty()) {
            sent += additional(m);
            b.send(uploadChunk(0x23, Bytes(additional(m)), uint32_t(100 - sent)));
        }
    }
    EXPECT_EQ(markers, (std::vector<uint8_t>{0x87, 0xA5, 0x87, 0x87, 0x87, 0xA5, 0x87, 0xA5,
                                             0x87, 0x00}));
}

TEST(XolDeviceFaults, StatusOnADataRequestEndsTheUpload)
{
    Board b;
    Fault f;
    f.code = 0x15;
    f.on = Reply::DataRequest;
    f.status = 0x80000012;
    b.dev.inject(f);
    Bytes m = b.ask(command(0x15, 100, {{16, 1, 4}}));
    EXPECT_EQ(m.size(), 20u);
    EXPECT_EQ(marker(m), 0xA5);
    EXPECT_EQ(status(m), 0x80000012u);
    EXPECT_FALSE(b.dev.state().firmwareImage);
    EXPECT_EQ(status(b.ask(command(0x13))), 0u);
}

TEST(XolDeviceFaults, ChunksDeliverMoreOrLessThanAsked)
{
    for (int delta : {-40, 50}) {
        XolDeviceState s = Board::xol();
        s.tokens[0] = pattern(1000);
        Fault f;
        f.code = 0x22;
        f.on = Reply::Chunk;
        f.chunkDelta = delta;
        s.faults = {f};
        Board b(s);
        Download d = download(b, command(0x22), 100);
        ASSERT_FALSE(d.delivered.empty());
        EXPECT_EQ(d.delivered[0], uint32_t(100 + delta));
        EXPECT_EQ(d.left[0], uint32_t(1000 - 100 - delta));
        EXPECT_EQ(d.bytes, s.tokens[0]) << "the rest follows the board's figures";
        EXPECT_TRUE(b.hostErrors().empty());
    }
}

TEST(XolDeviceFaults, MaximumChunkZeroNeverCompletes)
{
    XolDeviceState s = Board::xol();
    s.device(2, 0).media[0] = Bytes(4 * 512);
    s.device(2, 0).maxChunk = 0;
    Board b(s);
    const Bytes read = command(0x25, 0, {{16, 2, 1}, {36, 4, 4}});
    b.ask(read);
    for (int i = 0; i < 3; ++i) {
        Bytes c = b.ask(chunkRequest(read, 0));
        EXPECT_EQ(c.size(), 20u);
        EXPECT_EQ(additional(c), 4u);
    }
}

// ---------------------------------------------------------------- persistence

TEST(XolDeviceState, SavedBoardAnswersAsTheOriginal)
{
    ScratchDir dir;
    XolDeviceState s = Board::xol();
    s.oemPlatformId = {'A', 'B', 'C', 'D'};
    s.acceptedVersions = {};
    s.tokens[5] = pattern(300);
    s.ifpEmulation = std::array<uint8_t, 44>{1, 2, 3};
    StorageDevice& dev = s.device(3, 1);
    dev.cardInfo = pattern(212);
    dev.reportedType = 2;
    dev.media[4] = pattern(2048);
    dev.blockSize = 256;
    dev.maxChunk = 3;
    s.uploadScript[0x23] = {{10, true}};
    Fault f;
    f.code = 0x22;
    f.on = Reply::Chunk;
    f.chunkDelta = -1;
    f.marker = 0x5A;
    f.keepExchange = true;
    s.faults = {f};
    s.commands = {command(0x13)};

    xolsim::saveState(s, "board.json");
    XolDeviceState loaded = xolsim::loadState("board.json");
    EXPECT_TRUE(loaded.acceptedVersions.empty());
    EXPECT_EQ(loaded.ifpEmulation, s.ifpEmulation);
    EXPECT_EQ(loaded.commands, s.commands);
    EXPECT_EQ(loaded.uploadScript.at(0x23).front().size, 10u);

    Board original(s), restored(loaded);
    for (const Bytes& cmd : {command(0x01), command(0x22, 0, {{16, 5, 1}}),
                             command(0x12, 0, {{16, 3, 1}, {17, 1, 1}}),
                             command(0x25, 0, {{16, 3, 1}, {17, 1, 1}, {24, 4, 1}, {36, 7, 4}}),
                             command(0x17, 0, {{20, 1, 4}})}) {
        Download a = download(original, cmd, 16364 / 256);
        Download r = download(restored, cmd, 16364 / 256);
        EXPECT_EQ(a.final, r.final);
        EXPECT_EQ(a.bytes, r.bytes);
        EXPECT_EQ(a.left, r.left);
    }
    EXPECT_THROW(xolsim::loadState("missing.json"), std::runtime_error);
}

} // namespace
