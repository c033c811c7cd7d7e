// Every command word of the installed xolcli failing as a user meets it: an unknown identifier, a
// firmware status, a missing file, a libusb failure. Standard output keeps what was printed
// before the operation; the failure lines go to standard error; the exit status is 1.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "e2e_support.h"

using namespace e2e;
using xolsim::Bytes;
using xolsim::XolDeviceState;

namespace {

struct Case {
    const char* name;
    Bus bus;
    std::function<XolDeviceState()> board;
    std::function<void(ScenarioDevice&)> where; // libusb failures of the stand-in
    std::vector<std::string> args;
    std::string out; // after the banner
    std::string err;
    std::function<void(const XolDeviceState& after)> check;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

XolDeviceState withFault(uint8_t code, uint32_t status)
{
    XolDeviceState s = xolBoard();
    xolsim::Fault f;
    f.code = code;
    f.status = status;
    s.faults.push_back(f);
    return s;
}

std::vector<std::string> cmd(std::initializer_list<std::string> args)
{
    std::vector<std::string> all{"--command"};
    all.insert(all.end(), args);
    return all;
}

const Case kCases[] = {
    {"enumerate: port numbers unreadable", Bus::Standin, xolBoard,
     [](ScenarioDevice& d) { d.portsResult = -4; }, cmd({"enumerate"}),
     "Starting DEVICE ENUMERATION procedure\n",
     failure("DEVICE ENUMERATION", kNoDevice, "LIBUSB_ERROR_NO_DEVICE"), nullptr},
    {"startover: delay below 200 ms", Bus::Umockdev, xolBoard, nullptr,
     cmd({"startover", "--usb-rw-delay", "100"}),
     "Starting STARTOVER procedure\nFlags: 0\n",
     failure("STARTOVER", "0x30006", "Timeout value is too small"),
     [](const XolDeviceState& s) { EXPECT_TRUE(s.commands.empty()) << "nothing was sent"; }},
    // The retry count is handed over first and brings up the transport, whose identification
    // still runs with the default time-out.
    {"startover: retry count, then a delay below 200 ms", Bus::Umockdev, xolBoard, nullptr,
     cmd({"startover", "--usb-rw-delay", "199", "--usb-retry-count", "2"}),
     "Starting STARTOVER procedure\nFlags: 0\n",
     failure("STARTOVER", "0x30006", "Timeout value is too small"),
     [](const XolDeviceState& s) { EXPECT_EQ(s.commands.size(), 2u) << "identification only"; }},
    {"downloadfwos: missing image", Bus::Umockdev, xolBoard, nullptr,
     cmd({"downloadfwos", "--fw_image", "missing.bin"}),
     "Starting DOWNLOADFWOS procedure\n",
     failure("DOWNLOADFWOS", "0x30000", cannotOpen("missing.bin")),
     [](const XolDeviceState& s) { EXPECT_FALSE(s.firmwareImage); }},
    {"downloadfwos: no image named", Bus::Umockdev, xolBoard, nullptr, cmd({"downloadfwos"}),
     "Starting DOWNLOADFWOS procedure\n",
     failure("DOWNLOADFWOS", "0x30000", "Cannot read the firmware image: no file was named"),
     [](const XolDeviceState& s) { EXPECT_FALSE(s.firmwareImage); }},
    {"writetoken: slot the board lacks", Bus::Umockdev, xolBoard, nullptr,
     cmd({"writetoken", "--token", "token.bin", "--slot", "20"}),
     "Starting WRITE TOKEN procedure\n",
     failure("WRITE TOKEN", "0x8000002a", "Invalid token slot index"),
     [](const XolDeviceState& s) { EXPECT_EQ(s.tokens.size(), 2u); }},
    {"writetoken: slot wraps to its low byte", Bus::Umockdev, xolBoard, nullptr,
     cmd({"writetoken", "--token", "token.bin", "--slot", "259"}),
     "Starting WRITE TOKEN procedure\nWRITE TOKEN procedure success\n", "",
     [](const XolDeviceState& s) { EXPECT_EQ(s.tokens.at(3), pattern(10, 50)); }},
    {"erasetoken: empty slot", Bus::Umockdev, xolBoard, nullptr,
     cmd({"erasetoken", "--slot", "4"}),
     "Starting ERASE TOKEN procedure\n",
     failure("ERASE TOKEN", "0x80000037", "Token does not exist"), nullptr},
    {"setdevicelifecyclestage: ROM context without recovery module", Bus::Umockdev, romBoard,
     nullptr, cmd({"setdevicelifecyclestage", "--token", "token.bin"}),
     "Starting SET DEVICE LIFECYCLE STAGE procedure\n",
     failure("SET DEVICE LIFECYCLE STAGE", "0x30000",
             "Cannot read the recovery module: no file was named"),
     [](const XolDeviceState& s) {
         EXPECT_EQ(s.context, 0u);
         EXPECT_FALSE(s.lifecycleStage);
     }},
    {"oemifpprovision: missing block file", Bus::Umockdev, xolBoard, nullptr,
     cmd({"oemifpprovision", "--token", "missing.bin"}),
     "Starting OEM IFP PROVISION procedure\n",
     failure("OEM IFP PROVISION", "0x30000", cannotOpen("missing.bin")),
     [](const XolDeviceState& s) { EXPECT_TRUE(s.commands.empty()) << "no device was asked"; }},
    {"iddevice: unknown identifier", Bus::Umockdev, xolBoard, nullptr,
     cmd({"iddevice", "--sn", "00000000000000000000000000000000"}),
     "Starting ID DEVICE procedure\nFlags: 0\n",
     failure("ID DEVICE", "0x30003", "Device not found"), nullptr},
    {"gettokenpid: firmware status", Bus::Umockdev, [] { return withFault(0x21, 0x80000016); },
     nullptr, cmd({"gettokenpid"}),
     "Starting GET TOKEN PART ID procedure\nFlags: 0\n",
     failure("GET TOKEN PART ID", "0x80000016", "Invalid platform ID"), nullptr},
    {"readtoken: empty slot", Bus::Umockdev, xolBoard, nullptr,
     cmd({"readtoken", "--path", "token.out", "--slot", "9"}),
     "Starting READ TOKEN procedure\nSlot: 0x9\n",
     failure("READ TOKEN", "0x80000037", "Token does not exist"),
     [](const XolDeviceState&) { EXPECT_FALSE(std::filesystem::exists("token.out")); }},
    {"readtoken: output into a missing folder", Bus::Umockdev, xolBoard, nullptr,
     cmd({"readtoken", "--path", "no/such/token.out", "--slot", "3"}),
     "Starting READ TOKEN procedure\nSlot: 0x3\n",
     failure("READ TOKEN", "0x30000",
             "Cannot open \"no/such/token.out\" for writing: No such file or directory"),
     nullptr},
    {"readtoken: device gone during the transfer", Bus::Standin, xolBoard,
     // Identification at start-up takes four transfers; the fifth is the operation's first.
     [](ScenarioDevice& d) { d.transferFailure = ScenarioDevice::TransferFailure{4, -4}; },
     cmd({"readtoken", "--path", "token.out", "--slot", "3"}),
     "Starting READ TOKEN procedure\nSlot: 0x3\n",
     failure("READ TOKEN", kNoDevice, "LIBUSB_ERROR_NO_DEVICE"),
     [](const XolDeviceState&) { EXPECT_FALSE(std::filesystem::exists("token.out")); }},
    {"configpart: index the file does not configure", Bus::Umockdev, xolBoard, nullptr,
     cmd({"configpart", "--device", "2", "--idx", "5", "--path", sample("platform_emmc.xml")}),
     "Device serial: \nStarting CONFIG DEVICE procedure\nDevice type: 0x2\nDevice index: 0x5\n",
     failure("CONFIG DEVICE", "0x30004", "Device configuration not found"), nullptr},
    {"configpart: no file named", Bus::Umockdev, xolBoard, nullptr,
     cmd({"configpart", "--device", "3", "--idx", "0"}),
     "Device serial: \nStarting CONFIG DEVICE procedure\nDevice type: 0x3\nDevice index: 0\n",
     failure("CONFIG DEVICE", "0x30000",
             "Cannot read the platform configuration file: no file was named"),
     nullptr},
    {"configpart: empty file", Bus::Umockdev, xolBoard, nullptr,
     cmd({"configpart", "--device", "2", "--idx", "0", "--path", "empty.xml"}),
     "Device serial: \nStarting CONFIG DEVICE procedure\nDevice type: 0x2\nDevice index: 0\n",
     failure("CONFIG DEVICE", "0x30000", "empty.xml: No such node (config)"), nullptr},
    {"configpart: unknown device type", Bus::Umockdev, xolBoard, nullptr,
     cmd({"configpart", "--device", "4", "--sn", kBoardId}),
     "Device serial: 101112131415161718191a1b1c1d1e1f\nStarting CONFIG DEVICE procedure\n"
     "Device type: 0x4\nDevice index: 0\n",
     failure("CONFIG DEVICE", "0x30001", "Device type is not supported"),
     [](const XolDeviceState& s) { EXPECT_EQ(s.commands.size(), 2u) << "identification only"; }},
    {"readbootmedia: past the partition's end", Bus::Umockdev, xolBoard, nullptr,
     cmd({"readbootmedia", "--path", "media.out", "--device", "2", "--idx", "0", "--start", "15",
          "--blocks", "4"}),
     "Starting READ BOOT MEDIA procedure\nDevice type: 0x2\nDevice index: 0\nStart offset: 0xf\n"
     "Blocks to read: 0x4\nPartition index: 0\n",
     failure("READ BOOT MEDIA", "0x80000034", "Invalid offset"), nullptr},
    {"clearrpmb: storage the board lacks", Bus::Umockdev, xolBoard, nullptr,
     cmd({"clearrpmb", "--device", "3", "--idx", "0"}),
     "Starting CLEAR RPMB procedure\nDevice type: 0x3\nDevice index: 0\n",
     failure("CLEAR RPMB", "0x8000003a", "Media error: Unsupported storage device"), nullptr},
    {"getcardinfo: storage the board lacks", Bus::Umockdev, xolBoard, nullptr,
     cmd({"getcardinfo", "--device", "2", "--idx", "2"}),
     "Starting GET CARD INFO procedure\nDevice type: 0x2\nDevice index: 0x2\n",
     failure("GET CARD INFO", "0x8000003a", "Media error: Unsupported storage device"), nullptr},
    {"fwrec: missing recovery module", Bus::Umockdev, romBoard, nullptr,
     cmd({"fwrec", "--fw_xol", "missing.bin"}),
     "Starting DOWNLOAD FW RECOVERY MODULE procedure\n",
     failure("DOWNLOAD FW RECOVERY MODULE", "0x30000", cannotOpen("missing.bin")),
     [](const XolDeviceState& s) { EXPECT_EQ(s.context, 0u); }},
    {"fwrec: IFP emulation file one byte short", Bus::Umockdev, romBoard, nullptr,
     cmd({"fwrec", "--fw_xol", "recovery.bin", "--ifp-path", "short.ifp"}),
     "Starting DOWNLOAD FW RECOVERY MODULE procedure\n", "",
     [](const XolDeviceState& s) {
         EXPECT_TRUE(s.commands.empty()) << "the library was not called";
         EXPECT_EQ(s.context, 0u);
     }},
};

class FailureTest : public ::testing::TestWithParam<Case> {};

TEST_P(FailureTest, ReportsOnStandardError)
{
    const Case& c = GetParam();
    Bench bench(c.bus);
    bench.plug(c.board());
    if (c.where)
        c.where(bench.where());
    writeFile("token.bin", pattern(10, 50));
    writeFile("recovery.bin", recoveryModule());
    writeFile("short.ifp", pattern(43));
    writeFile("empty.xml", Bytes());
    const ProgramRun run = bench.run(c.args);
    EXPECT_EQ(run.out, banner(c.out));
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.err.empty() && c.out.find("success") != std::string::npos ? 0 : 1);
    const XolDeviceState after = bench.board();
    EXPECT_EQ(refusals(after), "");
    if (c.check)
        c.check(after);
}

INSTANTIATE_TEST_SUITE_P(EveryWord, FailureTest, ::testing::ValuesIn(kCases), CaseName());

} // namespace
