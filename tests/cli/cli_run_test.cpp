// What each xolcli command hands to the library and prints of its answer, shown on a build of
// the program linked to a scripted stand-in of the library (standin_vemoapi.cpp), run as a
// separate process in a fresh folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/format.hpp>

#include "expected_usage.h"
#include "run_program.h"
#include "scratch_dir.h"
#include "xol_prot_utils.h"

namespace {

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::vector<std::pair<std::string, std::string>> files; // made before the run
    std::string out;                                        // after the banner
    std::string err;
    int status;
    std::string journal; // the library calls, in order
};

// A run that acquired the library: logging on first, the release last.
std::string session(const std::string& calls)
{
    return "api_acquire\nsetlogging 1 ''\n" + calls + "api_release\n";
}

std::string failure(const std::string& op, const std::string& code, const std::string& text)
{
    return op + " procedure failed\nError code: " + code + "\nError message: " + text + "\n";
}

const std::string kZeroRecord(88, '0');
const std::string kIfpBytes = [] {
    std::string bytes;
    for (int i = 0; i < 100; ++i)
        bytes += static_cast<char>(i + 1);
    return bytes;
}();
// The first 44 bytes of kIfpBytes in hexadecimal.
const std::string kIfpHead = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20"
                             "2122232425262728292a2b2c";

void PrintTo(const RunCase& c, std::ostream* os)
{
    *os << c.name;
}

// The dump of a record holding the stand-in's card bytes (0x10, 0x11, ...), with the empty line
// before it and the line end after it.
template <class Record> std::string cardDump()
{
    Record record;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&record);
    for (size_t i = 0; i < sizeof record; ++i)
        bytes[i] = static_cast<unsigned char>(0x10 + i);
    std::ostringstream os;
    os << "\n" << record << "\n";
    return os.str();
}

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, OutputsStatusAndLibraryCalls)
{
    const RunCase& c = GetParam();
    ScratchDir dir;
    for (const auto& file : c.files)
        ScratchDir::write(file.first, file.second);
    const ProgramRun run = runProgram(std::getenv("XOLCLI_STANDIN"), c.args, c.env);
    EXPECT_EQ(run.out, written(expected::kBanner + c.out));
    EXPECT_EQ(run.err, written(c.err));
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(ScratchDir::read("standin.journal"), c.journal);
}

const RunCase kDispatch[] = {
    {"HelpTouchesNoLibrary", {"--help", "--command", "startover"}, {}, {}, expected::usage(), "",
     0, ""},
    {"NoInterfaceObject", {"--command", "startover"}, {"XOL_STANDIN_NO_OBJECT=1"}, {}, "",
     "Unable to allocate an API object\n", 1, "api_acquire\n"},
    {"BadWordReleasedOnce", {"--command", "bogus"}, {}, {},
     "ERROR: bad command name: bogus\n" + expected::usage(), "", 1, session("")},
    {"OptionErrorReleasedOnce", {"--command", "erasetoken"}, {}, {},
     "ERROR: the option '--slot' is required but missing\n" +
         expected::kOptionLists.at("erasetoken"),
     "", 1, session("")},
};
INSTANTIATE_TEST_SUITE_P(Dispatch, RunTest, ::testing::ValuesIn(kDispatch),
                         [](const auto& info) { return std::string(info.param.name); });

const RunCase kFrame[] = {
    {"SuccessWithResults", {"--command", "startover", "--flags", "32"}, {}, {},
     "Starting STARTOVER procedure\nFlags: 0x20\nSTARTOVER procedure success\n"
     "Current operation: 0x12\nCurrent context: 0x1\n",
     "", 0, session("startover flags=0x20 sn='' cb=none\n")},
    {"FailureOnStandardError", {"--command", "startover"},
     {"XOL_STANDIN_STATUS=0x30003", "XOL_STANDIN_MESSAGE=Device not found"}, {},
     "Starting STARTOVER procedure\nFlags: 0\n",
     failure("STARTOVER", "0x30003", "Device not found"), 1,
     session("startover flags=0 sn='' cb=none\n")},
    {"LibusbStatusInFullWidth", {"--command", "erasetoken", "--slot", "1"},
     {"XOL_STANDIN_STATUS=" + kNoDevice, "XOL_STANDIN_MESSAGE=LIBUSB_ERROR_NO_DEVICE"}, {},
     "Starting ERASE TOKEN procedure\n",
     failure("ERASE TOKEN", kNoDevice, "LIBUSB_ERROR_NO_DEVICE"), 1,
     session("erasetoken fw='' slot=0x1 sn='' cb=none\n")},
    {"SettingsThenVerboseOperation",
     {"--command", "erasetoken", "--slot", "258", "-v", "--sn", "00AB", "--usb-rw-delay", "300",
      "--usb-retry-count", "4", "--fw_xol", "rec.bin"},
     {}, {},
     "Starting ERASE TOKEN procedure\n[log_callback][msg: standin progress]\n"
     "ERASE TOKEN procedure success\n",
     "", 0,
     session("settargetretrycount 4 msg=null\nsetusbreadwritedelay 300 msg=null\n"
             "erasetoken fw='rec.bin' slot=0x2 sn='00AB' cb='00AB'\n")},
    {"VerboseAbbreviatedWithoutSerial", {"--verb", "--command", "startover"}, {}, {},
     "Starting STARTOVER procedure\nFlags: 0\n[log_callback][msg: standin progress]\n"
     "STARTOVER procedure success\nCurrent operation: 0x12\nCurrent context: 0x1\n",
     "", 0, session("startover flags=0 sn='' cb=''\n")},
    {"NoResultLinesAfterFailure", {"--command", "gettokenpid", "--flags", "1"},
     {"XOL_STANDIN_STATUS=0x80000032", "XOL_STANDIN_MESSAGE=Invalid version"}, {},
     "Starting GET TOKEN PART ID procedure\nFlags: 0x1\n",
     failure("GET TOKEN PART ID", "0x80000032", "Invalid version"), 1,
     session("gettokenpid fw='' param=0x1 sn='' cb=none\n")},
};
INSTANTIATE_TEST_SUITE_P(Frame, RunTest, ::testing::ValuesIn(kFrame),
                         [](const auto& info) { return std::string(info.param.name); });

const RunCase kCommands[] = {
    {"DownloadFwOs", {"--command", "downloadfwos", "--fw_xol", "r.bin", "--fw_image", "i.bin",
                      "--flags", "7"}, {}, {},
     "Starting DOWNLOADFWOS procedure\nDOWNLOADFWOS procedure success\n", "", 0,
     session("downloadfwos fw='r.bin' image='i.bin' flags=0x7 unused=null,null sn='' cb=none\n")},
    {"WriteToken", {"--command", "writetoken", "--token", "t.bin", "--slot", "3"}, {}, {},
     "Starting WRITE TOKEN procedure\nWRITE TOKEN procedure success\n", "", 0,
     session("writetoken2 fw='' token='t.bin' slot=0x3 sn='' cb=none\n")},
    {"SetDeviceLifecycleStage", {"--command", "setdevicelifecyclestage", "--token", "t.bin"}, {},
     {},
     "Starting SET DEVICE LIFECYCLE STAGE procedure\nSET DEVICE LIFECYCLE STAGE procedure "
     "success\n",
     "", 0, session("setdevicelifecyclestage2 fw='' token='t.bin' sn='' cb=none\n")},
    {"OemIfpProvision", {"--command", "oemifpprovision", "--token", "b.bin", "--fw_xol", "r"}, {},
     {}, "Starting OEM IFP PROVISION procedure\nOEM IFP PROVISION procedure success\n", "", 0,
     session("oemifpprov2 fw='r' block='b.bin' sn='' cb=none\n")},
    {"IdDeviceSendsZeroRecord", {"--command", "iddevice", "--flags", "3"}, {}, {},
     "Starting ID DEVICE procedure\nFlags: 0x3\nID DEVICE procedure success\n"
     "Response flags: 0x5a\nOEM platform ID: 44434241\n"
     "Unique platform ID: a0a1a2a3a4a5a6a7a8a9aaabacadaeaf\n"
     "Image errors: 00 0x1 0x2 0x3 0x4 0x5 0x6 0x7 0x8 0x9 0xa 0x1f \n",
     "", 0, session("deviceid param=0x3 record=" + kZeroRecord + " sn='' cb=none\n")},
    {"IdDeviceWithIfpFile", {"--command", "iddevice", "--ifp-path", "e.bin", "--sn", "ab"}, {},
     {},
     "Starting ID DEVICE procedure\nFlags: 0\nID DEVICE procedure success\n"
     "Response flags: 0x5a\nOEM platform ID: 44434241\n"
     "Unique platform ID: a0a1a2a3a4a5a6a7a8a9aaabacadaeaf\n"
     "Image errors: 00 0x1 0x2 0x3 0x4 0x5 0x6 0x7 0x8 0x9 0xa 0x1f \n",
     "", 0, session("deviceid2 param=0 ifp='e.bin' sn='ab' cb=none\n")},
    {"GetTokenPartId", {"--command", "gettokenpid"}, {}, {},
     "Starting GET TOKEN PART ID procedure\nFlags: 0\nGET TOKEN PART ID procedure success\n"
     "OEM platform ID: 4d4c5751\nDevice ID: 0x7\nToken Part ID: f4f5f6f7f8f9fafbfcfdfeff\n"
     "Trusted time: 0x600d\nNonce: 0xdeadbeef\n",
     "", 0, session("gettokenpid fw='' param=0 sn='' cb=none\n")},
    {"ReadTokenShowsWholeSlotSendsLowByte",
     {"--command", "readtoken", "--path", "out.bin", "--slot", "511"}, {}, {},
     "Starting READ TOKEN procedure\nSlot: 0x1ff\nREAD TOKEN procedure success\n", "", 0,
     session("readtoken2 fw='' out='out.bin' slot=0xff sn='' cb=none\n")},
    {"ConfigPartWithoutFile", {"--command", "configpart", "--device", "2"}, {}, {},
     "Device serial: \nStarting CONFIG DEVICE procedure\nDevice type: 0x2\nDevice index: 0\n"
     "CONFIG DEVICE procedure success\n",
     "", 0, session("configpart fw='' config='' dev=2 idx=0 sn='' cb=none\n")},
    {"ReadBootMediaDefaultPartition",
     {"--command", "readbootmedia", "--path", "o.bin", "--device", "3", "--idx", "1", "--start",
      "4096", "--blocks", "16"},
     {}, {},
     "Starting READ BOOT MEDIA procedure\nDevice type: 0x3\nDevice index: 0x1\n"
     "Start offset: 0x1000\nBlocks to read: 0x10\nPartition index: 0\n"
     "READ BOOT MEDIA procedure success\n",
     "", 0,
     session("readbootmedia2 fw='' dev=3 idx=1 part=0 start=0x1000 blocks=0x10 out='o.bin' "
             "sn='' cb=none\n")},
    {"ClearRpmbNarrowsDeviceType", {"--command", "clearrpmb", "--device", "258", "--idx", "0"},
     {}, {},
     "Starting CLEAR RPMB procedure\nDevice type: 0x102\nDevice index: 0\n"
     "CLEAR RPMB procedure success\n",
     "", 0, session("clearRPMB fw='' dev=2 idx=0 sn='' cb=none\n")},
    {"CardInfoOfUnknownTypeOffersWholeBuffer", {"--command", "getcardinfo", "--idx", "1"},
     {"XOL_STANDIN_CARD_TYPE=0"}, {},
     "Starting GET CARD INFO procedure\nDevice index: 0x1\nDevice type: 0\n"
     "GET CARD INFO procedure success\n",
     "", 0, session("getcardinfo fw='' dev=0 idx=1 length=548 sn='' cb=none\n")},
    {"CardInfoToFileShowsReportedType", {"--command", "getcardinfo", "--path", "c.bin"},
     {"XOL_STANDIN_CARD_TYPE=3"}, {},
     "Starting GET CARD INFO procedure\nDevice index: 0\nDevice type: 3\n"
     "GET CARD INFO procedure success\n",
     "", 0, session("getcardinfo2 fw='' dev=0 idx=0 out='c.bin' sn='' cb=none\n")},
    {"CardInfoToFileOfGivenType",
     {"--command", "getcardinfo", "--path", "c.bin", "--device", "3", "--idx", "2"},
     {"XOL_STANDIN_CARD_TYPE=3"}, {},
     "Starting GET CARD INFO procedure\nDevice type: 0x3\nDevice index: 0x2\n"
     "GET CARD INFO procedure success\n",
     "", 0, session("getcardinfo2 fw='' dev=3 idx=2 out='c.bin' sn='' cb=none\n")},
    {"RecoveryWithoutIfpFileSendsZeros", {"--command", "fwrec", "--fw_xol", "r.bin"}, {}, {},
     "Starting DOWNLOAD FW RECOVERY MODULE procedure\n"
     "DOWNLOAD FW RECOVERY MODULE procedure success\n",
     "", 0, session("downloadfwrecovery fw='r.bin' record=" + kZeroRecord + " sn='' cb=none\n")},
    {"RecoverySendsFirst44Bytes",
     {"--command", "fwrec", "--fw_xol", "r.bin", "--ifp-path", "e.bin", "--sn", "C0"}, {},
     {{"e.bin", kIfpBytes}},
     "Starting DOWNLOAD FW RECOVERY MODULE procedure\n"
     "DOWNLOAD FW RECOVERY MODULE procedure success\n",
     "", 0, session("downloadfwrecovery fw='r.bin' record=" + kIfpHead + " sn='C0' cb=none\n")},
    {"RecoveryRefusesShortIfpFile",
     {"--command", "fwrec", "--fw_xol", "r.bin", "--ifp-path", "e.bin"}, {},
     {{"e.bin", kIfpBytes.substr(0, 43)}}, "Starting DOWNLOAD FW RECOVERY MODULE procedure\n", "",
     1, session("")},
    {"RecoveryRefusesMissingIfpFile",
     {"--command", "fwrec", "--fw_xol", "r.bin", "--ifp-path", "absent.bin"}, {}, {},
     "Starting DOWNLOAD FW RECOVERY MODULE procedure\n", "", 1, session("")},
};
INSTANTIATE_TEST_SUITE_P(Commands, RunTest, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

const std::string kCardStart = "Starting GET CARD INFO procedure\n";
const std::string kCardSuccess = "GET CARD INFO procedure success\n";

std::string cardSession(unsigned dev, unsigned idx)
{
    return session((boost::format("getcardinfo fw='' dev=%u idx=%u length=548 sn='' cb=none\n") %
                    dev % idx).str());
}

const RunCase kCardInfo[] = {
    {"EmmcOfReportedType", {"--command", "getcardinfo"}, {"XOL_STANDIN_CARD_TYPE=2"}, {},
     kCardStart + "Device index: 0\nDevice type: 2\n" + cardDump<_card_info_emmc_t>() +
         kCardSuccess,
     "", 0, cardSession(0, 0)},
    {"UfsSecondLayoutBy272Bytes", {"--command", "getcardinfo", "--device", "3"},
     {"XOL_STANDIN_CARD_TYPE=0", "XOL_STANDIN_CARD_LENGTH=272"}, {},
     kCardStart + "Device type: 0x3\nDevice index: 0\n" + cardDump<_card_info_ufs_v2_t>() +
         kCardSuccess,
     "", 0, cardSession(3, 0)},
    {"UfsFirstLayoutOtherwise", {"--command", "getcardinfo", "--device", "3", "--idx", "1"},
     {"XOL_STANDIN_CARD_TYPE=3", "XOL_STANDIN_CARD_LENGTH=212"}, {},
     kCardStart + "Device type: 0x3\nDevice index: 0x1\n" + cardDump<_card_info_ufs_t>() +
         kCardSuccess,
     "", 0, cardSession(3, 1)},
    {"Spi", {"--command", "getcardinfo"},
     {"XOL_STANDIN_CARD_TYPE=1", "XOL_STANDIN_CARD_LENGTH=3"}, {},
     kCardStart + "Device index: 0\nDevice type: 1\n" + cardDump<_card_info_spi_t>() +
         kCardSuccess,
     "", 0, cardSession(0, 0)},
    {"AnswerTooShortForRecord", {"--command", "getcardinfo", "--device", "2"},
     {"XOL_STANDIN_CARD_LENGTH=100"}, {},
     kCardStart + "Device type: 0x2\nDevice index: 0\n" + kCardSuccess, "", 0,
     cardSession(2, 0)},
    {"AnswerLongerThanBuffer", {"--command", "getcardinfo", "--device", "2"},
     {"XOL_STANDIN_CARD_LENGTH=600"}, {},
     kCardStart + "Device type: 0x2\nDevice index: 0\n" + kCardSuccess, "", 0,
     cardSession(2, 0)},
    {"FailurePrintsNoRecord", {"--command", "getcardinfo"},
     {"XOL_STANDIN_CARD_TYPE=2", "XOL_STANDIN_STATUS=0x80000000",
      "XOL_STANDIN_MESSAGE=Media not present"},
     {}, kCardStart + "Device index: 0\n",
     failure("GET CARD INFO", "0x80000000", "Media not present"), 1, cardSession(0, 0)},
};
INSTANTIATE_TEST_SUITE_P(CardInfo, RunTest, ::testing::ValuesIn(kCardInfo),
                         [](const auto& info) { return std::string(info.param.name); });

const std::string kListing = "Starting DEVICE ENUMERATION procedure\n"
                             "DEVICE ENUMERATION procedure success\n";

const RunCase kEnumerate[] = {
    {"NoDevice", {"--command", "enumerate"}, {}, {}, kListing, "", 0,
     session("getavailabletargets sn=null cb=none\n")},
    {"TwoDevices", {"--command", "enumerate", "--sn", "00"}, {"XOL_STANDIN_DEVICES=2"}, {},
     kListing + "1. Device serial: [000000000000000000000000000000a0]\n"
                "2. Device serial: [000000000000000000000000000001a1]\n",
     "", 0, session("getavailabletargets sn=null cb=none\n")},
    {"TwoDevicesWithLocations", {"--command", "enumerate", "-v"}, {"XOL_STANDIN_DEVICES=2"}, {},
     kListing + "1. Device serial: [000000000000000000000000000000a0]\n"
                "\tBus number: 3\n\tPort 0: 1\n\tPort 1: 4\n\n"
                "2. Device serial: [000000000000000000000000000001a1]\n"
                "\tUnique ID: 77\n\tRoot hub number: 2\n"
                "\tPort 0: 0\n\tPort 1: 10\n\tPort 2: 20\n\tPort 3: 30\n\tPort 4: 40\n"
                "\tDevicePropertyDriverKeyName: {usb}\\0012\n\n",
     "", 0, session("getavailabletargets sn=null cb=none\n")},
    {"Failure", {"--command", "enumerate"},
     {"XOL_STANDIN_STATUS=0x10002",
      "XOL_STANDIN_MESSAGE=Fatal error: Can not find libusb shared object"},
     {}, "Starting DEVICE ENUMERATION procedure\n",
     failure("DEVICE ENUMERATION", "0x10002", "Fatal error: Can not find libusb shared object"), 1,
     session("getavailabletargets sn=null cb=none\n")},
};
INSTANTIATE_TEST_SUITE_P(Enumerate, RunTest, ::testing::ValuesIn(kEnumerate),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
