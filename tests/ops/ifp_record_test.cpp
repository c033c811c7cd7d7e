// The IFP emulation record kept per connection: stored by every identification, by a recovery
// download only when none is held, sent by later operations that find the board in ROM context,
// the emulated OEM platform id, and dropped when the board leaves.
#include <optional>

#include "ops_host.h"
#if defined(XOL_SIM_BED_STANDIN)
#include "standin_control.h"
#endif

namespace ops {
namespace {

using Record = std::array<uint8_t, 44>;

class IfpRecord : public HostTest {
protected:
    struct Identity {
        unsigned long status;
        _oem_platform_id_t oem{};
        _platform_id_t pid{};
        _id_dev_flags_t flags{};
        _image_error_values_t errors{};
    };
    Identity identify(const Board& b, _id_dev_ifp_emulation_t* record, unsigned idParam = 0)
    {
        Identity id{};
        id.status = api->deviceid(idParam, record, &id.oem, &id.pid, &id.flags, &id.errors,
                                  b.ident.c_str(), &msg, nullptr, nullptr);
        return id;
    }
    Identity identifyFromFile(const Board& b, const std::string& path)
    {
        Identity id{};
        id.status = api->deviceid2(0, path.c_str(), &id.oem, &id.pid, &id.flags, &id.errors,
                                   b.ident.c_str(), &msg, nullptr, nullptr);
        return id;
    }

    // The record the IFP Emulation commands since `from` carried; none when none was sent.
    static std::optional<Record> sentSince(const Board& b, size_t from)
    {
        std::optional<Record> sent;
        for (const Bytes& c : b.commandsSince(from)) {
            if (c[4] == kIfpEmulation) {
                EXPECT_FALSE(sent.has_value()) << "one IFP Emulation per switch";
                Record r;
                std::copy(c.begin() + 16, c.begin() + 60, r.begin());
                sent = r;
            }
        }
        return sent;
    }

    // Puts the board back into ROM context and runs an operation: the record it sends is the
    // one stored for the connection.
    std::optional<Record> storedRecord(const Board& b)
    {
        b.dev->edit([](XolDeviceState& s) { return s.context = 0; });
        const size_t from = b.mark();
        _token_part_id_t part;
        unsigned int nonce, trusted, deviceId;
        _oem_platform_id_t oem;
        EXPECT_EQ(api->gettokenpid(recovery, 0, &part, &nonce, &trusted, &deviceId, &oem,
                                   b.ident.c_str(), &msg, nullptr, nullptr),
                  0u)
            << msg.text;
        return sentSince(b, from);
    }

    std::optional<Record> recover(const Board& b, _id_dev_ifp_emulation_t* record)
    {
        b.dev->edit([](XolDeviceState& s) { return s.context = 0; });
        const size_t from = b.mark();
        EXPECT_EQ(
            api->downloadfwrecovery(recovery, b.ident.c_str(), record, &msg, nullptr, nullptr), 0u)
            << msg.text;
        return sentSince(b, from);
    }

    const Record zeros{};
    _error_msg_t msg{};
};

TEST_F(IfpRecord, IdentificationStoresTheGivenRecordOrZeros)
{
    Board& b = plug(boardState(0));
    _id_dev_ifp_emulation_t record = ifpRecord(0x0A0B0C0D, "ABCD", 0x20);
    Identity id = identify(b, &record, 0x77);
    ASSERT_EQ(id.status, 0u) << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    XolDeviceState st = b.dev->state();
    EXPECT_EQ(st.idDeviceParams, (std::array<uint32_t, 2>{0x77, 0x0A0B0C0D}))
        << "word 0 of the record goes with Id Device";
    EXPECT_EQ(id.flags.flags, st.idFlags);
    EXPECT_EQ(identifierOf(arrayOf(id.pid.id)), b.ident);
    EXPECT_EQ(arrayOf(id.errors.values), st.imageErrors);
    EXPECT_EQ(id.oem.id, 0u) << "cleared in ROM context";
    EXPECT_EQ(storedRecord(b), bytesOf(record));

    ASSERT_EQ(identify(b, nullptr).status, 0u) << msg.text;
    EXPECT_EQ(storedRecord(b), zeros) << "no record given: 44 zero bytes replace the stored one";
}

TEST_F(IfpRecord, EmulatedOemIdReplacesOnlyTheUnprogrammedOne)
{
    Board& b = plug(boardState(1));
    struct Case {
        uint32_t context;
        const char* reported;
        const char* emulated;
        const char* expected;
    };
    const Case cases[] = {
        {1, "QWLM", "ABCD", "ABCD"},
        {1, "WXYZ", "ABCD", "WXYZ"},
        {1, "QWLM", "\0\0\0", "QWLM"},
        {0, "QWLM", "ABCD", "\0\0\0"}, // ROM context clears the id before the comparison
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reported) + " / " + c.emulated);
        b.dev->edit([&](XolDeviceState& s) {
            s.context = c.context;
            std::memcpy(s.oemPlatformId.data(), c.reported, 4);
            return 0;
        });
        _id_dev_ifp_emulation_t record = ifpRecord(0, c.emulated, 0);
        Identity id = identify(b, &record);
        ASSERT_EQ(id.status, 0u) << msg.text;
        EXPECT_EQ(std::memcmp(&id.oem.id, c.expected, 4), 0);
    }
}

TEST_F(IfpRecord, FailedIdentificationKeepsTheRecord)
{
    Board& b = plug(boardState(0));
    Fault refuse;
    refuse.code = kIdDevice;
    refuse.status = 0x80000011;
    b.dev->inject(refuse);
    _id_dev_ifp_emulation_t record = ifpRecord(1, "ABCD", 0x70);
    EXPECT_EQ(identify(b, &record).status, 0x80000011u);
    EXPECT_STREQ(msg.text, "Invalid parameter");
    EXPECT_EQ(storedRecord(b), bytesOf(record));
}

TEST_F(IfpRecord, RecoveryDownloadSendsTheCallersRecordAndStoresOnlyTheFirst)
{
    Board& b = plug(boardState(0));
    _id_dev_ifp_emulation_t first = ifpRecord(1, "AAAA", 0x10);
    _id_dev_ifp_emulation_t second = ifpRecord(2, "BBBB", 0x80);

    EXPECT_EQ(recover(b, &first), bytesOf(first));
    EXPECT_EQ(storedRecord(b), bytesOf(first)) << "none was held: the download stored it";
    EXPECT_EQ(recover(b, &second), bytesOf(second)) << "the caller's own record goes";
    EXPECT_EQ(storedRecord(b), bytesOf(first)) << "a held record is never replaced";
    EXPECT_EQ(recover(b, nullptr), std::nullopt) << "without a record none goes, held or not";

    // An identification without a record holds zeros, which a download then keeps.
    ASSERT_EQ(identify(b, nullptr).status, 0u) << msg.text;
    EXPECT_EQ(recover(b, &second), bytesOf(second));
    EXPECT_EQ(storedRecord(b), zeros);
}

TEST_F(IfpRecord, RecordFileOfTheIdentification)
{
    Board& b = plug(boardState(0));
    const std::string bytes = patternText(50, 9);
    const std::string longFile = host.tmp + "/ifp50.bin";
    const std::string shortFile = host.tmp + "/ifp43.bin";
    writeFile(longFile, bytes);
    writeFile(shortFile, bytes.substr(0, 43));

    const size_t from = b.mark();
    for (const std::string& path : {shortFile, std::string("/nonexistent/ifp.bin")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(identifyFromFile(b, path).status, 0x30000u);
        EXPECT_STRNE(msg.text, "");
    }
    EXPECT_TRUE(b.codesSince(from).empty()) << "the board is not asked";
    EXPECT_EQ(storedRecord(b), std::nullopt) << "and nothing is stored";

    ASSERT_EQ(identifyFromFile(b, longFile).status, 0u) << msg.text;
    Record expected;
    std::copy(bytes.begin(), bytes.begin() + 44, expected.begin());
    EXPECT_EQ(storedRecord(b), expected) << "the first 44 bytes";
}

TEST_F(IfpRecord, DepartureDropsTheRecord)
{
    Board& b = plug(boardState(0));
    _id_dev_ifp_emulation_t record = ifpRecord(3, "ABCD", 0x33);
    ASSERT_EQ(identify(b, &record).status, 0u) << msg.text;

#if defined(XOL_SIM_BED_STANDIN)
    // The next connection gets the departed one's handle, and so its serial text: it must not
    // inherit the record.
    standin::reuseHandleOnNextOpen(standin::lastHandle(b.id));
#endif
    host.bed->unplug(b.id);
    ASSERT_TRUE(waitListed(api, b.ident, false));
    _error_msg_t gone{};
    _startover_cmd_flags_t flags{0};
    unsigned int op, ctx;
    EXPECT_EQ(api->startover(&flags, &op, &ctx, b.ident.c_str(), &gone, nullptr, nullptr),
              0x30003u);
    EXPECT_STREQ(gone.text, "Device not found");

    // The same board comes back on a new connection, identified again on arrival.
    b.id = host.bed->plug(nextPort(), b.dev);
    ASSERT_TRUE(waitListed(api, b.ident));
    EXPECT_EQ(storedRecord(b), std::nullopt);
}

} // namespace
} // namespace ops
