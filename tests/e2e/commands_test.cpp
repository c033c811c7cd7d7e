// Every command word of the installed xolcli run to success against a simulated board: the whole
// output, the exit status, what the board took in and the files written.
#include <gtest/gtest.h>

#include <functional>

#include "e2e_support.h"

using namespace e2e;
using xolsim::Bytes;
using xolsim::XolDeviceState;

namespace {

struct File {
    std::string name;
    Bytes bytes;
};

struct Case {
    const char* name;
    XolDeviceState (*board)();
    std::vector<File> files;            // made before the run
    std::vector<std::string> args;
    std::string out;                    // after the banner
    std::function<void(const XolDeviceState& after)> check;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Bytes kToken = pattern(300, 40);
const Bytes kLifecycle = pattern(64, 41);
const Bytes kOemBlock = pattern(70, 42);

const Case kCases[] = {
    {"enumerate", xolBoard, {}, {"--command", "enumerate"},
     "Starting DEVICE ENUMERATION procedure\n"
     "DEVICE ENUMERATION procedure success\n"
     "1. Device serial: [101112131415161718191a1b1c1d1e1f]\n",
     nullptr},
    {"startover", xolBoard, {}, {"--command", "startover", "--flags", "32"},
     "Starting STARTOVER procedure\n"
     "Flags: 0x20\n"
     "STARTOVER procedure success\n"
     "Current operation: 0x3\n"
     "Current context: 0x1\n",
     [](const XolDeviceState& s) { EXPECT_EQ(s.startOverFlags.back(), 0x20u); }},
    {"downloadfwos", xolBoard, {{"fw.bin", firmwareImage()}},
     {"--command", "downloadfwos", "--fw_image", "fw.bin", "--flags", "5"},
     "Starting DOWNLOADFWOS procedure\n"
     "DOWNLOADFWOS procedure success\n",
     [](const XolDeviceState& s) {
         ASSERT_TRUE(s.firmwareImage);
         EXPECT_EQ(s.firmwareImage->image, firmwareImage());
         EXPECT_EQ(s.firmwareImage->flags, 5u);
         EXPECT_EQ(s.firmwareImage->moduleSize, 70000u);
         EXPECT_EQ(s.firmwareImage->headerSize, 20000u);
     }},
    {"writetoken", xolBoard, {{"token.bin", kToken}},
     {"--command", "writetoken", "--token", "token.bin", "--slot", "5"},
     "Starting WRITE TOKEN procedure\n"
     "WRITE TOKEN procedure success\n",
     [](const XolDeviceState& s) { EXPECT_EQ(s.tokens.at(5), kToken); }},
    {"erasetoken", xolBoard, {}, {"--command", "erasetoken", "--slot", "3"},
     "Starting ERASE TOKEN procedure\n"
     "ERASE TOKEN procedure success\n",
     [](const XolDeviceState& s) {
         EXPECT_EQ(s.tokens.count(3), 0u);
         EXPECT_EQ(s.tokens.count(7), 1u);
     }},
    {"erasetoken with retry count and delay", xolBoard, {},
     {"--command", "erasetoken", "--slot", "7", "--usb-retry-count", "3", "--usb-rw-delay", "300"},
     "Starting ERASE TOKEN procedure\n"
     "ERASE TOKEN procedure success\n",
     [](const XolDeviceState& s) {
         EXPECT_EQ(s.tokens.count(7), 0u);
         EXPECT_EQ(s.protocolTimeout, 300u) << "the delay is the transfer time-out";
     }},
    {"setdevicelifecyclestage", xolBoard, {{"stage.bin", kLifecycle}},
     {"--command", "setdevicelifecyclestage", "--token", "stage.bin"},
     "Starting SET DEVICE LIFECYCLE STAGE procedure\n"
     "SET DEVICE LIFECYCLE STAGE procedure success\n",
     [](const XolDeviceState& s) { EXPECT_EQ(s.lifecycleStage, kLifecycle); }},
    {"oemifpprovision", xolBoard, {{"block.bin", kOemBlock}},
     {"--command", "oemifpprovision", "--token", "block.bin"},
     "Starting OEM IFP PROVISION procedure\n"
     "OEM IFP PROVISION procedure success\n",
     [](const XolDeviceState& s) { EXPECT_EQ(s.oemIfpBlock, kOemBlock); }},
    {"iddevice", xolBoard, {}, {"--command", "iddevice", "--flags", "7"},
     "Starting ID DEVICE procedure\n"
     "Flags: 0x7\n"
     "ID DEVICE procedure success\n"
     "Response flags: 0x5\n"
     "OEM platform ID: 11223344\n"
     "Unique platform ID: 101112131415161718191a1b1c1d1e1f\n"
     "Image errors: 0x1 00 00 00 00 00 00 00 00 00 0x10 0xab \n",
     [](const XolDeviceState& s) {
         EXPECT_EQ(s.idDeviceParams, (std::array<uint32_t, 2>{7, 0}));
     }},
    {"gettokenpid", xolBoard, {}, {"--command", "gettokenpid", "--flags", "9"},
     "Starting GET TOKEN PART ID procedure\n"
     "Flags: 0x9\n"
     "GET TOKEN PART ID procedure success\n"
     "OEM platform ID: 11223344\n"
     "Device ID: 0x9abc\n"
     "Token Part ID: a0a1a2a3a4a5a6a7a8a9aaab\n"
     "Trusted time: 0x5678\n"
     "Nonce: 0x1234\n",
     [](const XolDeviceState& s) { EXPECT_EQ(s.tokenPartIdParam, 9u); }},
    {"readtoken", xolBoard, {}, {"--command", "readtoken", "--path", "token.out", "--slot", "3"},
     "Starting READ TOKEN procedure\n"
     "Slot: 0x3\n"
     "READ TOKEN procedure success\n",
     [](const XolDeviceState&) { EXPECT_EQ(fileBytes("token.out"), pattern(100, 3)); }},
    {"configpart SPI", xolBoard, {}, {"--command", "configpart", "--device", "1"},
     "Device serial: \n"
     "Starting CONFIG DEVICE procedure\n"
     "Device type: 0x1\n"
     "Device index: 0\n"
     "CONFIG DEVICE procedure success\n",
     [](const XolDeviceState& s) {
         ASSERT_TRUE(s.storage.at({1, 0}).lastConfigRequest);
         EXPECT_TRUE(s.storage.at({1, 0}).lastConfigRequest->empty());
     }},
    {"readbootmedia", xolBoard, {},
     {"--command", "readbootmedia", "--path", "media.out", "--device", "2", "--idx", "0",
      "--start", "2", "--blocks", "5", "--part", "1"},
     "Starting READ BOOT MEDIA procedure\n"
     "Device type: 0x2\n"
     "Device index: 0\n"
     "Start offset: 0x2\n"
     "Blocks to read: 0x5\n"
     "Partition index: 0x1\n"
     "READ BOOT MEDIA procedure success\n",
     [](const XolDeviceState& s) {
         const Bytes& part = s.storage.at({2, 0}).media.at(1);
         EXPECT_EQ(fileBytes("media.out"), Bytes(part.begin() + 2 * 512, part.begin() + 7 * 512));
     }},
    {"clearrpmb", xolBoard, {}, {"--command", "clearrpmb", "--device", "2", "--idx", "0"},
     "Starting CLEAR RPMB procedure\n"
     "Device type: 0x2\n"
     "Device index: 0\n"
     "CLEAR RPMB procedure success\n",
     [](const XolDeviceState& s) { EXPECT_TRUE(s.storage.at({2, 0}).rpmbCleared); }},
    {"getcardinfo", xolBoard, {}, {"--command", "getcardinfo", "--device", "2", "--path", "card.out"},
     "Starting GET CARD INFO procedure\n"
     "Device type: 0x2\n"
     "Device index: 0\n"
     "GET CARD INFO procedure success\n",
     [](const XolDeviceState&) { EXPECT_EQ(fileBytes("card.out"), Bytes(548)); }},
    {"fwrec", romBoard, {{"recovery.bin", recoveryModule()}},
     {"--command", "fwrec", "--fw_xol", "recovery.bin"},
     "Starting DOWNLOAD FW RECOVERY MODULE procedure\n"
     "DOWNLOAD FW RECOVERY MODULE procedure success\n",
     [](const XolDeviceState& s) {
         EXPECT_EQ(s.context, 1u);
         ASSERT_TRUE(s.recoveryModule);
         EXPECT_EQ(s.recoveryModule->image, recoveryModule());
         EXPECT_EQ(s.recoveryModule->moduleSize, 3000u);
         EXPECT_EQ(s.recoveryModule->headerSize, 500u);
         EXPECT_EQ(s.protocolVersion, 1u);
         EXPECT_EQ(s.ifpEmulation, (std::array<uint8_t, 44>{})) << "the zero record is sent";
     }},
};

class CommandTest : public ::testing::TestWithParam<Case> {};

TEST_P(CommandTest, SucceedsWithItsWholeOutput)
{
    const Case& c = GetParam();
    Bench bench;
    bench.plug(c.board());
    for (const File& f : c.files)
        writeFile(f.name, f.bytes);
    const ProgramRun run = bench.run(c.args);
    EXPECT_EQ(run.out, banner(c.out));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    const XolDeviceState after = bench.board();
    EXPECT_EQ(refusals(after), "");
    if (c.check)
        c.check(after);
}

INSTANTIATE_TEST_SUITE_P(EveryWord, CommandTest, ::testing::ValuesIn(kCases), CaseName());

} // namespace
