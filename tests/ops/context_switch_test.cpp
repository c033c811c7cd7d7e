// How an operation brings its device into XoL context before its own command: from ROM context
// with and without an IFP emulation record, from XoL context, the protocol version negotiation,
// and a context the library does not know.
#include <optional>
#include <set>

#include "ops_host.h"

namespace ops {
namespace {

using Codes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

const Texts tokenPidRecords = {"Sending \"Get Token Part ID\" XoL command", "Success",
                               "Get token part ID operation had been accomplished succesfully"};

class ContextSwitch : public HostTest {
protected:
    // Get Token Part ID: the operation's own command, which the board answers only in XoL
    // context.
    unsigned long tokenPid(const Board& b, const char* recoveryPath, Progress* progress = nullptr)
    {
        _token_part_id_t part{};
        unsigned int nonce = 0, trusted = 0, deviceId = 0;
        _oem_platform_id_t oem{};
        const unsigned long status = api->gettokenpid(
            recoveryPath, 0x99, &part, &nonce, &trusted, &deviceId, &oem, b.ident.c_str(), &msg,
            progress ? Progress::callback : nullptr, progress);
        if (status == 0) {
            EXPECT_EQ(nonce, 0x0A0B0C0Du);
            EXPECT_EQ(part.id[11], 0x6B);
        }
        return status;
    }

    std::vector<uint32_t> startOverFlags(const Board& b, size_t from)
    {
        std::vector<uint32_t> flags;
        for (const Bytes& c : b.commandsSince(from))
            if (c[4] == kStartOver)
                flags.push_back(get32(&c[16]));
        return flags;
    }

    _error_msg_t msg{};
};

TEST_F(ContextSwitch, RomContextWithStoredRecordDownloadsEmulatesAndNegotiates)
{
    Board& b = plug(boardState(0));
    _id_dev_ifp_emulation_t record = ifpRecord(0x01020304, "ABCD", 0x30);
    _oem_platform_id_t oem{};
    _platform_id_t pid{};
    _id_dev_flags_t flags{};
    _image_error_values_t errors{};
    ASSERT_EQ(api->deviceid(0, &record, &oem, &pid, &flags, &errors, b.ident.c_str(), &msg, nullptr,
                            nullptr),
              0u)
        << msg.text;

    size_t from = b.mark();
    Progress progress;
    ASSERT_EQ(tokenPid(b, recovery, &progress), 0u) << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kStartOver, kDownloadRecoveryModule,
                                         kIfpEmulation, kSetProtocol, kGetTokenPartId}));
    EXPECT_EQ(startOverFlags(b, from), (std::vector<uint32_t>{0, 0x20}));
    EXPECT_EQ(progress.jobRecords(), concat({{"Get token part ID operation started"},
                                             queryRecords(0),
                                             recoveryRecords(),
                                             ifpRecords(),
                                             negotiationRecords(),
                                             tokenPidRecords}));

    const std::string module = readFile(host.recoveryPath);
    b.dev->inspect([&](const XolDeviceState& s) {
        EXPECT_EQ(s.ifpEmulation, bytesOf(record));
        EXPECT_TRUE(s.recoveryModule.has_value());
        if (s.recoveryModule) {
            EXPECT_EQ(toString(s.recoveryModule->image), module)
                << "the whole file, directory included";
            EXPECT_EQ(s.recoveryModule->moduleSize, 3000u);
            EXPECT_EQ(s.recoveryModule->headerSize, module.size() - 3000);
        }
        EXPECT_EQ(s.protocolVersion, 1u);
        EXPECT_EQ(s.protocolTimeout, 5000u);
        EXPECT_EQ(s.tokenPartIdParam, 0x99u);
        return 0;
    });

    // The board now runs the recovery module: the next operation only negotiates, so a
    // recovery file that does not exist is never missed.
    from = b.mark();
    progress.clear();
    ASSERT_EQ(tokenPid(b, "/nonexistent/recovery.bin", &progress), 0u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kGetTokenPartId}));
    EXPECT_EQ(progress.jobRecords(), concat({{"Get token part ID operation started"},
                                             queryRecords(1),
                                             negotiationRecords(),
                                             tokenPidRecords}));
    EXPECT_TRUE(b.hostErrors().empty());
}

TEST_F(ContextSwitch, RomContextWithoutRecordSendsNoEmulation)
{
    // Arrival identifies the board but stores no record for it.
    Board& b = plug(boardState(0));
    const size_t from = b.mark();
    Progress progress;
    ASSERT_EQ(tokenPid(b, recovery, &progress), 0u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kStartOver, kDownloadRecoveryModule,
                                         kSetProtocol, kGetTokenPartId}));
    EXPECT_EQ(progress.jobRecords(), concat({{"Get token part ID operation started"},
                                             queryRecords(0),
                                             recoveryRecords(),
                                             negotiationRecords(),
                                             tokenPidRecords}));
    EXPECT_FALSE(
        b.dev->inspect([](const XolDeviceState& s) { return s.ifpEmulation.has_value(); }));
}

TEST_F(ContextSwitch, RecoveryDownloadIsTheSwitchAlone)
{
    Board& b = plug(boardState(0));
    _id_dev_ifp_emulation_t record = ifpRecord(5, "EFGH", 0x50);
    size_t from = b.mark();
    Progress progress;
    ASSERT_EQ(api->downloadfwrecovery(recovery, b.ident.c_str(), &record, &msg, Progress::callback,
                                      &progress),
              0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kStartOver, kDownloadRecoveryModule,
                                         kIfpEmulation, kSetProtocol}));
    EXPECT_EQ(
        progress.jobRecords(),
        concat({{"FW recovery module download operation started"},
                queryRecords(0),
                recoveryRecords(),
                ifpRecords(),
                negotiationRecords(),
                {"FW recovery module download operation had been accomplished succesfully"}}));

    // In XoL context no module goes and the file is not opened.
    from = b.mark();
    progress.clear();
    ASSERT_EQ(api->downloadfwrecovery("/nonexistent/recovery.bin", b.ident.c_str(), &record, &msg,
                                      Progress::callback, &progress),
              0u)
        << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol}));
    EXPECT_EQ(
        progress.jobRecords(),
        concat({{"FW recovery module download operation started"},
                queryRecords(1),
                negotiationRecords(),
                {"FW recovery module download operation had been accomplished succesfully"}}));
}

TEST_F(ContextSwitch, UnusableRecoveryFileFailsAfterThePreparation)
{
    Board& b = plug(boardState(0));
    const std::string noModule = host.tmp + "/firmware_only.bin";
    writeFile(noModule, moduleText({"rcipifwi"}, 64, 3));
    struct Case {
        const char* what;
        const char* path;
        const char* text; // null: the stream library's own wording
    };
    const Case cases[] = {
        {"missing file", "/nonexistent/recovery.bin", nullptr},
        {"null path", nullptr, nullptr},
        {"no recovery module entry", noModule.c_str(), "Parse error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t from = b.mark();
        EXPECT_EQ(api->downloadfwrecovery(c.path, b.ident.c_str(), nullptr, &msg, nullptr, nullptr),
                  0x30000u);
        if (c.text) {
            EXPECT_STREQ(msg.text, c.text);
        } else {
            EXPECT_STRNE(msg.text, "");
        }
        EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kStartOver}));
        EXPECT_EQ(startOverFlags(b, from), (std::vector<uint32_t>{0, 0x20}));
    }
    EXPECT_TRUE(b.hostErrors().empty());
}

TEST_F(ContextSwitch, NegotiationFromTheHighestVersionDown)
{
    Board& b = plug(boardState(1));
    const Texts proposeOne = {"Setting XoL protocol version and timeout",
                              "Sending \"Set Protocol\" XoL command", "Protocol version: 0x1"};
    const Texts proposeZero = {"Sending \"Set Protocol\" XoL command", "Protocol version: 0"};
    const std::string refused = "Proposed XoL protocol version is not supported by device";
    const std::string set = "XoL protocol version and timeout were set successfully";
    struct Case {
        const char* what;
        std::set<uint32_t> accepted;
        uint32_t refusal;
        std::vector<uint32_t> proposed;
        unsigned long status;
        const char* text;
        Texts negotiation;
        std::optional<uint32_t> recorded; // the version the board settled on
    };
    const Case cases[] = {
        {"1 refused, 0 accepted",
         {0},
         0x80000032,
         {1, 0},
         0,
         "Success",
         concat({proposeOne, {refused}, proposeZero, {"Success", set}}),
         0},
        {"setting a version unsupported",
         {},
         0x80000001,
         {1},
         0,
         "Success",
         concat({proposeOne, {"Setting XoL protocol version is not supported by device"}}),
         std::nullopt},
        {"both refused",
         {},
         0x80000032,
         {1, 0},
         0x30005,
         "Unsupported protocol version",
         concat({proposeOne, {refused}, proposeZero, {refused}}),
         std::nullopt},
        {"another status ends the job",
         {0},
         0x80000011,
         {1},
         0x80000011,
         "Invalid parameter",
         proposeOne,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        b.dev->edit([&](XolDeviceState& s) {
            s.acceptedVersions = c.accepted;
            s.versionRefusal = c.refusal;
            s.protocolVersion.reset();
            return 0;
        });
        const size_t from = b.mark();
        Progress progress;
        EXPECT_EQ(tokenPid(b, recovery, &progress), c.status);
        EXPECT_STREQ(msg.text, c.text);

        std::vector<uint32_t> proposed;
        for (const Bytes& cmd : b.commandsSince(from))
            if (cmd[4] == kSetProtocol)
                proposed.push_back(get32(&cmd[20]));
        EXPECT_EQ(proposed, c.proposed);
        const bool goesOn = c.status == 0;
        Codes codes{kStartOver};
        codes.insert(codes.end(), c.proposed.size(), kSetProtocol);
        if (goesOn)
            codes.push_back(kGetTokenPartId);
        EXPECT_EQ(b.codesSince(from), codes);
        EXPECT_EQ(progress.jobRecords(), concat({{"Get token part ID operation started"},
                                                 queryRecords(1),
                                                 c.negotiation,
                                                 goesOn ? tokenPidRecords : Texts{}}));
        EXPECT_EQ(b.dev->inspect([](const XolDeviceState& s) { return s.protocolVersion; }),
                  c.recorded);
    }
}

TEST_F(ContextSwitch, UnknownContextIsRefusedAfterTheQuery)
{
    XolDeviceState st = boardState(1);
    st.context = 2;
    Board& b = plug(st);
    const size_t from = b.mark();
    Progress progress;
    EXPECT_EQ(tokenPid(b, recovery, &progress), 0x30000u);
    EXPECT_STREQ(msg.text, "Device context switch is unsupported");
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver}));
    EXPECT_EQ(progress.jobRecords(),
              concat({{"Get token part ID operation started"}, queryRecords(2)}));
}

} // namespace
} // namespace ops
