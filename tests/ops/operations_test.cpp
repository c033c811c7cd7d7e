// Every device operation end to end: what reaches the board, what comes back into the caller's
// records, buffers and files, and the failures each reports with their status and text.
#include <algorithm>
#include <climits>
#include <functional>

#include "ops_host.h"

namespace ops {
namespace {

using Codes = std::vector<uint8_t>;

class Operations : public HostTest {
protected:
    void SetUp() override
    {
        tokenFile = host.tmp + "/token.bin";
        ifpFile = host.tmp + "/ifp.bin";
        imageFile = host.tmp + "/image.bin";
        writeFile(tokenFile, patternText(77, 1));
        writeFile(ifpFile, patternText(44, 2));
        writeFile(imageFile, moduleText({"xolmod", "rcipifwi"}, 5000, 3));
    }

    const char* id(const Board& b) const { return b.ident.c_str(); }
    std::string missingFolder(const char* name) const
    {
        return host.tmp + "/no/such/folder/" + name;
    }

    // Identifies the board with the record; the OEM platform id it reported.
    _oem_platform_id_t identify(const Board& b, _id_dev_ifp_emulation_t* record)
    {
        _oem_platform_id_t oem{};
        _platform_id_t pid;
        _id_dev_flags_t flags;
        _image_error_values_t errors;
        EXPECT_EQ(
            api->deviceid(0, record, &oem, &pid, &flags, &errors, id(b), &msg, nullptr, nullptr),
            0u)
            << msg.text;
        return oem;
    }

    static uint8_t last(const Codes& codes) { return codes.empty() ? 0 : codes.back(); }

    // The board of most tests holding `bytes` in token slot `slot`.
    static XolDeviceState withToken(uint8_t slot, const std::string& bytes)
    {
        XolDeviceState st = boardState(1);
        st.tokens[slot] = toBytes(bytes);
        return st;
    }

    // Reads blocks of device `type` into the whole of `buffer`; `length` is what came back.
    unsigned long readBootMedia(const Board& b, unsigned char type, _content_addr_t addr,
                                std::string& buffer, size_t& length)
    {
        length = buffer.size();
        return api->readbootmedia(recovery, type, 0, &addr, buffer.data(), &length, id(b), &msg,
                                  nullptr, nullptr);
    }

    const std::string token = patternText(300, 11);
    std::string tokenFile, ifpFile, imageFile;
    _error_msg_t msg{};
    size_t from = 0; // the board's command count before the call under test
};

TEST_F(Operations, TokenWrittenFromABufferIsKeptInItsSlot)
{
    Board& b = plug(boardState(1));
    const std::string token = patternText(300, 11);
    from = b.mark();
    EXPECT_EQ(
        api->writetoken(recovery, token.data(), token.size(), 5, id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kWriteToken}));
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(b.dev->inspect([](const XolDeviceState& s) { return s.tokens.at(5); }),
              toBytes(token));
}

// The board decides when an upload has enough: a token it takes in part, or an image whose head
// alone it takes, is a success with what it kept.
TEST_F(Operations, UploadsTheBoardEndsEarlySucceed)
{
    XolDeviceState st = boardState(1);
    const xolsim::UploadStep enough{0, false, true};
    st.uploadScript[kWriteToken] = {{64, false}, enough};
    st.uploadScript[kProvisionFwImage] = {{1000, false}, enough};
    Board& b = plug(st);
    const std::string token = patternText(100, 12);
    EXPECT_EQ(
        api->writetoken(recovery, token.data(), token.size(), 5, id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    _prov_fw_image_cmd_flags_t flags{0};
    EXPECT_EQ(api->downloadfwos(recovery, imageFile.c_str(), &flags, nullptr, nullptr, id(b), &msg,
                                nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    const auto kept = b.dev->inspect([](const XolDeviceState& s) {
        return std::make_pair(s.tokens.count(5) ? s.tokens.at(5) : Bytes{},
                              s.firmwareImage ? s.firmwareImage->length : 0);
    });
    EXPECT_EQ(kept.first, toBytes(token.substr(0, 64)));
    EXPECT_EQ(kept.second, 1000u);
}

TEST_F(Operations, TokenReadIntoABuffer)
{
    Board& b = plug(withToken(5, token));
    char buffer[512];
    size_t length = sizeof buffer;
    ASSERT_EQ(api->readtoken(recovery, buffer, &length, 5, id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    ASSERT_EQ(length, token.size());
    EXPECT_EQ(std::string(buffer, length), token);
}

// A buffer too small is no failure: nothing copied, the size needed comes back.
TEST_F(Operations, TokenBufferTooSmallGetsTheSizeNeeded)
{
    Board& b = plug(withToken(5, token));
    char buffer[512];
    std::memset(buffer, 0xEE, sizeof buffer);
    for (size_t offered : {size_t{0}, token.size() - 1}) {
        size_t length = offered;
        EXPECT_EQ(api->readtoken(recovery, buffer, &length, 5, id(b), &msg, nullptr, nullptr), 0u);
        EXPECT_STREQ(msg.text, "Success");
        EXPECT_EQ(length, token.size());
        EXPECT_EQ(std::string(buffer, 8), std::string(8, '\xEE')) << "untouched";
    }
}

TEST_F(Operations, TokenReadIntoAFile)
{
    Board& b = plug(withToken(5, token));
    const std::string out = host.tmp + "/token_out.bin";
    ASSERT_EQ(api->readtoken2(recovery, out.c_str(), 5, id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_EQ(readFile(out), token);
}

TEST_F(Operations, TokenWrittenFromAFileIsKeptInItsSlot)
{
    Board& b = plug(boardState(1));
    ASSERT_EQ(api->writetoken2(recovery, tokenFile.c_str(), 6, id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_EQ(b.dev->inspect([](const XolDeviceState& s) { return s.tokens.at(6); }),
              toBytes(readFile(tokenFile)));
}

TEST_F(Operations, ErasedTokenLeavesItsSlot)
{
    Board& b = plug(withToken(5, token));
    from = b.mark();
    EXPECT_EQ(api->erasetoken(recovery, 5, id(b), &msg, nullptr, nullptr), 0u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kEraseToken}));
    EXPECT_EQ(b.dev->inspect([](const XolDeviceState& s) { return s.tokens.count(5); }), 0u);
}

// Firmware statuses pass through with their own text.
TEST_F(Operations, TokenStatusesOfTheFirmwarePassThrough)
{
    Board& b = plug(boardState(1));
    EXPECT_EQ(api->erasetoken(recovery, 5, id(b), &msg, nullptr, nullptr), 0x80000037u);
    EXPECT_STREQ(msg.text, "Token does not exist");
    char buffer[512];
    size_t length = sizeof buffer;
    EXPECT_EQ(api->readtoken(recovery, buffer, &length, 5, id(b), &msg, nullptr, nullptr),
              0x80000037u);
    EXPECT_EQ(
        api->writetoken(recovery, token.data(), token.size(), 200, id(b), &msg, nullptr, nullptr),
        0x8000002Au);
    EXPECT_STREQ(msg.text, "Invalid token slot index");
}

// An output file that cannot be made fails after the board gave the token.
TEST_F(Operations, TokenOutputFileThatCannotBeMadeFailsAfterTheRead)
{
    Board& b = plug(withToken(6, readFile(tokenFile)));
    const std::string lost = missingFolder("token.bin");
    from = b.mark();
    EXPECT_EQ(api->readtoken2(recovery, lost.c_str(), 6, id(b), &msg, nullptr, nullptr), 0x30000u)
        << msg.text;
    EXPECT_EQ(last(b.codesSince(from)), kReadToken);
    EXPECT_STRNE(msg.text, "");
}

TEST_F(Operations, LifecycleStageAndOemIfpBlockFromBuffersAndFiles)
{
    Board& b = plug(boardState(1));
    const std::string stage = patternText(120, 21), block = patternText(1000, 22);
    auto lifecycle = [&] {
        return b.dev->inspect([](const XolDeviceState& s) { return s.lifecycleStage; });
    };
    auto oemBlock = [&] {
        return b.dev->inspect([](const XolDeviceState& s) { return s.oemIfpBlock; });
    };

    from = b.mark();
    EXPECT_EQ(api->setdevicelifecyclestage(recovery, stage.data(), stage.size(), id(b), &msg,
                                           nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kSetDeviceLifecycleStage}));
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(lifecycle(), toBytes(stage));
    ASSERT_EQ(
        api->setdevicelifecyclestage2(recovery, tokenFile.c_str(), id(b), &msg, nullptr, nullptr),
        0u)
        << msg.text;
    EXPECT_EQ(lifecycle(), toBytes(readFile(tokenFile)));

    from = b.mark();
    EXPECT_EQ(api->oemifpprov(recovery, block.data(), block.size(), id(b), &msg, nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kOemIfpProvision}));
    EXPECT_EQ(oemBlock(), toBytes(block));
    ASSERT_EQ(api->oemifpprov2(recovery, ifpFile.c_str(), id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_EQ(oemBlock(), toBytes(readFile(ifpFile)));
    EXPECT_TRUE(b.hostErrors().empty());
}

TEST_F(Operations, InputFilesAreReadBeforeAnyDeviceAccess)
{
    Board& b = plug(boardState(0));
    const char* missing = "/nonexistent/input.bin";
    const std::string unknown(32, '0');
    _oem_platform_id_t oem;
    _platform_id_t pid;
    _id_dev_flags_t flags;
    _image_error_values_t errors;
    struct Case {
        const char* what;
        std::function<unsigned long(const char*)> call;
    };
    const Case cases[] = {
        {"writetoken2",
         [&](const char* ident) {
             return api->writetoken2(recovery, missing, 1, ident, &msg, nullptr, nullptr);
         }},
        {"setdevicelifecyclestage2",
         [&](const char* ident) {
             return api->setdevicelifecyclestage2(recovery, missing, ident, &msg, nullptr, nullptr);
         }},
        {"oemifpprov2",
         [&](const char* ident) {
             return api->oemifpprov2(recovery, missing, ident, &msg, nullptr, nullptr);
         }},
        {"deviceid2",
         [&](const char* ident) {
             return api->deviceid2(0, missing, &oem, &pid, &flags, &errors, ident, &msg, nullptr,
                                   nullptr);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Not even the device is looked up: an unknown identifier does not matter.
        for (const char* ident : {id(b), unknown.c_str()}) {
            EXPECT_EQ(c.call(ident), 0x30000u);
            EXPECT_STRNE(msg.text, "");
            EXPECT_STRNE(msg.text, "Device not found");
        }
    }
    EXPECT_TRUE(b.codesSince(0).size() == 2)
        << "only the arrival's identification reached the board";
}

TEST_F(Operations, StartOverSendsItsFlagsAndNothingElse)
{
    Board& b = plug(boardState(0));
    _id_dev_ifp_emulation_t record = ifpRecord(1, "ABCD", 1);
    identify(b, &record);

    for (uint32_t ctx : {0u, 1u}) {
        b.dev->edit([&](XolDeviceState& s) { return s.context = ctx; });
        _startover_cmd_flags_t request{0x20 + ctx};
        unsigned int op = 99, reported = 99;
        const size_t from = b.mark();
        ASSERT_EQ(api->startover(&request, &op, &reported, id(b), &msg, nullptr, nullptr), 0u)
            << msg.text;
        EXPECT_STREQ(msg.text, "Success");
        auto cmds = b.commandsSince(from);
        ASSERT_EQ(cmds.size(), 1u) << "no context switch, no IFP emulation";
        EXPECT_EQ(cmds[0][4], kStartOver);
        EXPECT_EQ(get32(&cmds[0][16]), 0x20 + ctx);
        EXPECT_EQ(op, 7u);
        EXPECT_EQ(reported, ctx);
    }
}

TEST_F(Operations, TokenPartIdReportsTheBoardsValues)
{
    XolDeviceState st = boardState(1);
    st.oemPlatformId = {'Q', 'W', 'L', 'M'};
    Board& b = plug(st);
    _id_dev_ifp_emulation_t record = ifpRecord(0, "ABCD", 0);
    _oem_platform_id_t oem = identify(b, &record);
    EXPECT_EQ(std::memcmp(&oem, "ABCD", 4), 0);

    _token_part_id_t part{};
    unsigned int nonce = 0, trusted = 0, deviceId = 0;
    oem = {};
    ASSERT_EQ(api->gettokenpid(recovery, 0xC0FFEE, &part, &nonce, &trusted, &deviceId, &oem, id(b),
                               &msg, nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    XolDeviceState now = b.dev->state();
    EXPECT_EQ(now.tokenPartIdParam, 0xC0FFEEu);
    EXPECT_EQ(arrayOf(part.id), now.tokenPartId);
    EXPECT_EQ(nonce, now.nonce);
    EXPECT_EQ(trusted, now.trustedTime);
    EXPECT_EQ(deviceId, now.deviceId);
    EXPECT_EQ(std::memcmp(&oem, "QWLM", 4), 0) << "no emulated id here";
}

TEST_F(Operations, FirmwareImageProvisioning)
{
    Board& b = plug(boardState(1));
    _prov_fw_image_cmd_flags_t flags{0x5A5A};
    from = b.mark();
    EXPECT_EQ(api->downloadfwos(recovery, imageFile.c_str(), &flags, nullptr, nullptr, id(b), &msg,
                                nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kProvisionFwImage}));
    EXPECT_STREQ(msg.text, "Success");
    const std::string image = readFile(imageFile);
    b.dev->inspect([&](const XolDeviceState& s) {
        EXPECT_TRUE(s.firmwareImage.has_value());
        if (s.firmwareImage) {
            EXPECT_EQ(toString(s.firmwareImage->image), image);
            EXPECT_EQ(s.firmwareImage->flags, 0x5A5Au);
            EXPECT_EQ(s.firmwareImage->moduleSize, 5000u);
            EXPECT_EQ(s.firmwareImage->headerSize, image.size() - 5000);
        }
        return 0;
    });

    // The image is opened after the switch; its failures come before the provisioning request.
    const std::string noFirmware = host.tmp + "/recovery_only.bin";
    writeFile(noFirmware, moduleText({"xolmod"}, 100, 4));
    struct Case {
        const char* what;
        uint32_t context;
        const char* path;
        const char* text;
        Codes codes;
    };
    const Case cases[] = {
        {"missing image", 1, "/nonexistent/image.bin", nullptr, {kStartOver, kSetProtocol}},
        {"missing image, from ROM context",
         0,
         "/nonexistent/image.bin",
         nullptr,
         {kStartOver, kStartOver, kDownloadRecoveryModule, kSetProtocol}},
        {"no firmware entry", 1, noFirmware.c_str(), "Parse error", {kStartOver, kSetProtocol}},
        {"null path", 1, nullptr, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        b.dev->edit([&](XolDeviceState& s) { return s.context = c.context; });
        from = b.mark();
        EXPECT_EQ(api->downloadfwos(recovery, c.path, &flags, nullptr, nullptr, id(b), &msg,
                                    nullptr, nullptr),
                  0x30000u)
            << msg.text;
        EXPECT_EQ(b.codesSince(from), c.codes);
        if (c.text) {
            EXPECT_STREQ(msg.text, c.text);
        } else {
            EXPECT_STRNE(msg.text, "");
        }
    }
}

// A board that asks for more of an image than the file holds: the failure names the file and
// its end, not a reason the C library happened to leave behind.
TEST_F(Operations, ImageAskedPastItsEndIsReportedAsTheFileEndingEarly)
{
    struct Case {
        const char* what;
        uint32_t context;
        uint8_t code; // of the upload the board asks past the end in
        std::string path;
    };
    const Case cases[] = {
        {"firmware image", 1, kProvisionFwImage, imageFile},
        {"recovery module, from ROM context", 0, kDownloadRecoveryModule, host.recoveryPath},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t size = static_cast<uint32_t>(readFile(c.path).size());
        XolDeviceState st = boardState(c.context);
        st.uploadScript[c.code] = {{size - 10, false}, {11, false}};
        Board& b = plug(st);
        _prov_fw_image_cmd_flags_t flags{0};
        EXPECT_EQ(api->downloadfwos(recovery, imageFile.c_str(), &flags, nullptr, nullptr, id(b),
                                    &msg, nullptr, nullptr),
                  0x30000u);
        EXPECT_EQ(std::string(msg.text), "Cannot read \"" + c.path + "\": the file ends early");
        EXPECT_EQ(last(b.codesSince(0)), c.code);
    }
}

TEST_F(Operations, CardInformationIntoBuffersAndFiles)
{
    XolDeviceState st = boardState(1);
    st.device(3, 0).cardInfo = ufsCardInfo(272, 1 << 24, 8192, 1);
    st.device(3, 0).reportedType = 7;
    Board& b = plug(st);
    const Bytes emmc = st.device(2, 0).cardInfo;

    char buffer[600];
    size_t length = sizeof buffer;
    unsigned char type = 2;
    from = b.mark();
    EXPECT_EQ(api->getcardinfo(recovery, &type, 0, buffer, &length, id(b), &msg, nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kGetCardInfo}));
    EXPECT_STREQ(msg.text, "Success");
    ASSERT_EQ(length, 548u);
    EXPECT_EQ(Bytes(buffer, buffer + length), emmc);
    EXPECT_EQ(type, 2);

    // The type the board reports comes back, also when the buffer was too small.
    std::memset(buffer, 0xEE, sizeof buffer);
    length = 212;
    type = 3;
    ASSERT_EQ(api->getcardinfo(recovery, &type, 0, buffer, &length, id(b), &msg, nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(length, 272u);
    EXPECT_EQ(static_cast<uint8_t>(buffer[0]), 0xEE);
    EXPECT_EQ(type, 7);

    const std::string out = host.tmp + "/cardinfo.bin";
    type = 2;
    ASSERT_EQ(api->getcardinfo2(recovery, &type, 0, out.c_str(), id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_EQ(toBytes(readFile(out)), emmc);

    const std::string lost = missingFolder("cardinfo.bin");
    type = 3;
    from = b.mark();
    EXPECT_EQ(api->getcardinfo2(recovery, &type, 0, lost.c_str(), id(b), &msg, nullptr, nullptr),
              0x30000u)
        << msg.text;
    EXPECT_EQ(last(b.codesSince(from)), kGetCardInfo);
    EXPECT_EQ(type, 3) << "left as passed when the file was not written";

    type = 2;
    length = sizeof buffer;
    EXPECT_EQ(api->getcardinfo(recovery, &type, 4, buffer, &length, id(b), &msg, nullptr, nullptr),
              0x8000003Au);
    EXPECT_STREQ(msg.text, "Media error: Unsupported storage device");
}

// Only the low byte of the partition reaches the board.
TEST_F(Operations, BootMediaReadIntoABufferAddressesThePartitionByItsLowByte)
{
    XolDeviceState st = boardState(1);
    Board& b = plug(st);
    const std::string part2 = toString(st.device(2, 0).media.at(2));
    std::string buffer(8 * 512 + 10, '\xEE');
    size_t length = 0;
    from = b.mark();
    EXPECT_EQ(readBootMedia(b, 2, {0x102, 4, 8}, buffer, length), 0u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kReadBootMedia}));
    EXPECT_STREQ(msg.text, "Success");
    auto read = b.dev->inspect([](const XolDeviceState& s) { return s.storage.at({2, 0}).lastRead; });
    ASSERT_TRUE(read);
    EXPECT_EQ((std::array<uint32_t, 3>{read->partition, read->start, read->count}),
              (std::array<uint32_t, 3>{2, 4, 8}));
    ASSERT_EQ(length, 8u * 512);
    EXPECT_EQ(buffer.substr(0, length), part2.substr(4 * 512, 8 * 512));
}

TEST_F(Operations, BootMediaBufferTooSmallGetsTheSizeNeeded)
{
    Board& b = plug(boardState(1));
    std::string small(100, '\xEE');
    size_t length = 0;
    ASSERT_EQ(readBootMedia(b, 2, {0x102, 4, 8}, small, length), 0u);
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(length, 8u * 512);
    EXPECT_EQ(small, std::string(100, '\xEE'));
}

TEST_F(Operations, BootMediaReadIntoAFile)
{
    XolDeviceState st = boardState(1);
    Board& b = plug(st);
    const std::string out = host.tmp + "/spi.bin";
    _content_addr_t whole{0, 0, 8};
    ASSERT_EQ(
        api->readbootmedia2(recovery, 1, 0, &whole, out.c_str(), id(b), &msg, nullptr, nullptr), 0u)
        << msg.text;
    EXPECT_EQ(toBytes(readFile(out)), st.device(1, 0).media.at(0));
}

TEST_F(Operations, BootMediaOutputFileThatCannotBeMadeFailsAfterTheRead)
{
    Board& b = plug(boardState(1));
    _content_addr_t addr{0x102, 4, 8};
    const std::string lost = missingFolder("media.bin");
    from = b.mark();
    EXPECT_EQ(
        api->readbootmedia2(recovery, 2, 0, &addr, lost.c_str(), id(b), &msg, nullptr, nullptr),
        0x30000u)
        << msg.text;
    EXPECT_EQ(last(b.codesSince(from)), kReadBootMedia);
}

// A type the protocol cannot address is refused after the switch, before the request.
TEST_F(Operations, BootMediaOfATypeTheProtocolCannotAddressIsRefusedBeforeTheRequest)
{
    Board& b = plug(boardState(1));
    std::string buffer(8 * 512 + 10, '\xEE');
    size_t length = 0;
    from = b.mark();
    EXPECT_EQ(readBootMedia(b, 4, {0x102, 4, 8}, buffer, length), 0x30001u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol}));
    EXPECT_STREQ(msg.text, "Unsupported device type");
}

TEST_F(Operations, BootMediaBeyondThePartitionIsAnInvalidOffset)
{
    Board& b = plug(boardState(1));
    const std::string out = host.tmp + "/spi.bin";
    _content_addr_t beyond{2, 60, 8};
    EXPECT_EQ(
        api->readbootmedia2(recovery, 2, 0, &beyond, out.c_str(), id(b), &msg, nullptr, nullptr),
        0x80000034u);
    EXPECT_STREQ(msg.text, "Invalid offset");
}

TEST_F(Operations, ClearRpmbAndRetryCount)
{
    Board& b = plug(boardState(1));
    from = b.mark();
    EXPECT_EQ(api->clearRPMB(recovery, 2, 0, id(b), &msg, nullptr, nullptr), 0u) << msg.text;
    EXPECT_EQ(b.codesSince(from), (Codes{kStartOver, kSetProtocol, kClearData}));
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_TRUE(b.dev->inspect([](const XolDeviceState& s) {
        return s.storage.at({2, 0}).rpmbCleared;
    }));
    EXPECT_EQ(api->clearRPMB(recovery, 2, 9, id(b), &msg, nullptr, nullptr), 0x8000003Au);
    EXPECT_STREQ(msg.text, "Media error: Unsupported storage device");

    EXPECT_EQ(api->settargetretrycount(3, &msg), 0u);
    EXPECT_STREQ(msg.text, "Success");
}

// Every device operation, called for one identifier with inputs that would let it run.
struct DeviceCall {
    const char* name;
    std::function<unsigned long(IVemoAPI*, const char*, _error_msg_t*)> call;
};

std::vector<DeviceCall> everyDeviceOperation(const char* recovery, const std::string& dir)
{
    const std::string token = dir + "/calls_token.bin", image = dir + "/calls_image.bin";
    writeFile(token, patternText(40, 5));
    writeFile(image, moduleText({"rcipifwi"}, 100, 6));
    const std::string emmcConfig = std::string(XOL_TEST_DATA_DIR) + "/platform_emmc.xml";
    auto out = [dir](const char* name) { return dir + "/" + name; };
    struct Outputs {
        _oem_platform_id_t oem;
        _platform_id_t pid;
        _id_dev_flags_t flags;
        _image_error_values_t errors;
        _token_part_id_t part;
        unsigned int a, b, c;
        char buffer[1024];
        size_t length = sizeof buffer;
        unsigned char type = 2;
        _content_addr_t addr{0, 0, 1};
        _startover_cmd_flags_t startFlags{0};
        _prov_fw_image_cmd_flags_t fwFlags{0};
    };
    auto o = std::make_shared<Outputs>();
    using V = IVemoAPI*;
    using C = const char*;
    using M = _error_msg_t*;
    return {
        {"deviceid",
         [o](V api, C id, M msg) {
             return api->deviceid(0, nullptr, &o->oem, &o->pid, &o->flags, &o->errors, id, msg,
                                  nullptr, nullptr);
         }},
        {"deviceid2",
         [o, token](V api, C id, M msg) {
             writeFile(token + ".ifp", patternText(44, 7));
             return api->deviceid2(0, (token + ".ifp").c_str(), &o->oem, &o->pid, &o->flags,
                                   &o->errors, id, msg, nullptr, nullptr);
         }},
        {"startover",
         [o](V api, C id, M msg) {
             return api->startover(&o->startFlags, &o->a, &o->b, id, msg, nullptr, nullptr);
         }},
        {"downloadfwrecovery",
         [recovery](V api, C id, M msg) {
             return api->downloadfwrecovery(recovery, id, nullptr, msg, nullptr, nullptr);
         }},
        {"downloadfwos",
         [o, recovery, image](V api, C id, M msg) {
             return api->downloadfwos(recovery, image.c_str(), &o->fwFlags, nullptr, nullptr, id,
                                      msg, nullptr, nullptr);
         }},
        {"writetoken",
         [recovery](V api, C id, M msg) {
             return api->writetoken(recovery, "abc", 3, 1, id, msg, nullptr, nullptr);
         }},
        {"writetoken2",
         [recovery, token](V api, C id, M msg) {
             return api->writetoken2(recovery, token.c_str(), 1, id, msg, nullptr, nullptr);
         }},
        {"readtoken",
         [o, recovery](V api, C id, M msg) {
             return api->readtoken(recovery, o->buffer, &o->length, 3, id, msg, nullptr, nullptr);
         }},
        {"readtoken2",
         [recovery, out](V api, C id, M msg) {
             return api->readtoken2(recovery, out("t.bin").c_str(), 3, id, msg, nullptr, nullptr);
         }},
        {"erasetoken",
         [recovery](V api, C id, M msg) {
             return api->erasetoken(recovery, 3, id, msg, nullptr, nullptr);
         }},
        {"setdevicelifecyclestage",
         [recovery](V api, C id, M msg) {
             return api->setdevicelifecyclestage(recovery, "abc", 3, id, msg, nullptr, nullptr);
         }},
        {"setdevicelifecyclestage2",
         [recovery, token](V api, C id, M msg) {
             return api->setdevicelifecyclestage2(recovery, token.c_str(), id, msg, nullptr,
                                                  nullptr);
         }},
        {"oemifpprov",
         [recovery](V api, C id, M msg) {
             return api->oemifpprov(recovery, "abc", 3, id, msg, nullptr, nullptr);
         }},
        {"oemifpprov2",
         [recovery, token](V api, C id, M msg) {
             return api->oemifpprov2(recovery, token.c_str(), id, msg, nullptr, nullptr);
         }},
        {"configpart",
         [recovery, emmcConfig](V api, C id, M msg) {
             return api->configpart(recovery, emmcConfig.c_str(), 2, 0, id, msg, nullptr, nullptr);
         }},
        {"gettokenpid",
         [o, recovery](V api, C id, M msg) {
             return api->gettokenpid(recovery, 0, &o->part, &o->a, &o->b, &o->c, &o->oem, id, msg,
                                     nullptr, nullptr);
         }},
        {"getcardinfo",
         [o, recovery](V api, C id, M msg) {
             return api->getcardinfo(recovery, &o->type, 0, o->buffer, &o->length, id, msg, nullptr,
                                     nullptr);
         }},
        {"getcardinfo2",
         [o, recovery, out](V api, C id, M msg) {
             return api->getcardinfo2(recovery, &o->type, 0, out("c.bin").c_str(), id, msg, nullptr,
                                      nullptr);
         }},
        {"readbootmedia",
         [o, recovery](V api, C id, M msg) {
             return api->readbootmedia(recovery, 2, 0, &o->addr, o->buffer, &o->length, id, msg,
                                       nullptr, nullptr);
         }},
        {"readbootmedia2",
         [o, recovery, out](V api, C id, M msg) {
             return api->readbootmedia2(recovery, 2, 0, &o->addr, out("m.bin").c_str(), id, msg,
                                        nullptr, nullptr);
         }},
        {"clearRPMB",
         [recovery](V api, C id, M msg) {
             return api->clearRPMB(recovery, 2, 0, id, msg, nullptr, nullptr);
         }},
    };
}

TEST_F(Operations, EveryOperationRunsOnTheBoardItNames)
{
    Board& b = plug(boardState(0));
    for (const DeviceCall& op : everyDeviceOperation(recovery, host.tmp)) {
        SCOPED_TRACE(op.name);
        const size_t from = b.mark();
        EXPECT_EQ(op.call(api, upper(b.ident).c_str(), &msg), 0u) << msg.text;
        EXPECT_STREQ(msg.text, "Success");
        EXPECT_FALSE(b.codesSince(from).empty());
    }
    EXPECT_TRUE(b.hostErrors().empty());
}

TEST_F(Operations, UnknownIdentifierIsNotFound)
{
    Board& b = plug(boardState(1));
    const std::string unknown = "00112233445566778899aabbccddeeff";
    for (const DeviceCall& op : everyDeviceOperation(recovery, host.tmp)) {
        SCOPED_TRACE(op.name);
        EXPECT_EQ(op.call(api, unknown.c_str(), &msg), 0x30003u);
        EXPECT_STREQ(msg.text, "Device not found");
        EXPECT_EQ(op.call(api, unknown.c_str(), nullptr), 0x30003u) << "no message record";
    }
    EXPECT_EQ(b.codesSince(2), Codes{});
}

TEST_F(Operations, TooShortTimeoutRefusesEveryJobBeforeItSends)
{
    Board& b = plug(boardState(1));
    // The time-out is the library's for every later operation.
    DefaultTimeoutAtEnd restore{api};

    ASSERT_EQ(api->setusbreadwritedelay(150, &msg), 0u);
    EXPECT_STREQ(msg.text, "Success");
    const auto calls = everyDeviceOperation(recovery, host.tmp);
    for (const DeviceCall& op : calls) {
        SCOPED_TRACE(op.name);
        EXPECT_EQ(op.call(api, b.ident.c_str(), &msg), 0x30006u);
        EXPECT_STREQ(msg.text, "Timeout value is too small");
    }
    EXPECT_EQ(b.codesSince(2), Codes{});

    // The smallest accepted time-out reaches the board with the negotiation.
    ASSERT_EQ(api->setusbreadwritedelay(200, &msg), 0u);
    auto gettokenpid = std::find_if(calls.begin(), calls.end(), [](const DeviceCall& c) {
        return c.name == std::string("gettokenpid");
    });
    ASSERT_NE(gettokenpid, calls.end());
    EXPECT_EQ(gettokenpid->call(api, b.ident.c_str(), &msg), 0u) << msg.text;
    EXPECT_EQ(b.dev->inspect([](const XolDeviceState& s) { return s.protocolTimeout; }), 200u);
}

TEST_F(Operations, TimeoutTooLargeForTheTransfersIsRefused)
{
    Board& b = plug(boardState(1));
    DefaultTimeoutAtEnd restore{api};
    ASSERT_EQ(api->setusbreadwritedelay(7000, &msg), 0u);
#if ULONG_MAX > 0xFFFFFFFFUL
    // Only a 64-bit unsigned long can name these; cut to 32 bits they would be 0 (no time-out
    // at all for libusb), 5000 and 0xFFFFFFFF.
    for (unsigned long ms : {1UL << 32, (1UL << 32) + 5000, ULONG_MAX}) {
        SCOPED_TRACE(ms);
        EXPECT_EQ(api->setusbreadwritedelay(ms, &msg), 0x30006u);
        EXPECT_STREQ(msg.text, "Timeout value is too large");
        EXPECT_EQ(askTokenPartId(api, recovery, b, &msg), 0u) << msg.text;
        EXPECT_EQ(negotiatedTimeout(b), 7000u) << "the time-out set before stays";
    }
#endif
    // The largest the transfers can carry is taken.
    ASSERT_EQ(api->setusbreadwritedelay(0xFFFFFFFFUL, &msg), 0u);
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(askTokenPartId(api, recovery, b, &msg), 0u) << msg.text;
    EXPECT_EQ(negotiatedTimeout(b), 0xFFFFFFFFu);
}

} // namespace
} // namespace ops

