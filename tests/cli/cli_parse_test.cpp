// xolcli's command line as a user meets it: the installed program with the real library, run as
// a separate process in a fresh folder. None of these runs reaches a device operation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "expected_usage.h"
#include "run_program.h"
#include "scratch_dir.h"

namespace {

struct ParseCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;  // after the banner
    int status;
    bool logOpened;   // the library was acquired and switched its log file on
};

std::string usage()
{
    return expected::usage();
}

std::string generalError(const std::string& message)
{
    return "ERROR: " + message + "\n" + expected::usage();
}

std::string badWord(const std::string& word)
{
    return "ERROR: bad command name: " + word + "\n" + expected::usage();
}

std::string commandError(const std::string& word, const std::string& message)
{
    return "ERROR: " + message + "\n" + expected::kOptionLists.at(word);
}

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.name;
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, WholeOutputAndStatus)
{
    const ParseCase& c = GetParam();
    ScratchDir dir;
    const ProgramRun run = runProgram(std::getenv("XOLCLI"), c.args);
    EXPECT_EQ(run.out, written(expected::kBanner + c.out));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(std::filesystem::exists("debug.log"), c.logOpened);
}

const ParseCase kCases[] = {
    {"NoArguments", {}, usage(), 0, false},
    {"HelpWinsOverCommand", {"--help", "--command", "enumerate"}, usage(), 0, false},
    {"HelpAbbreviated", {"--he"}, usage(), 0, false},
    {"OptionsWithoutCommand", {"--slot", "1", "-v", "stray"}, usage(), 0, false},
    {"CommandWithoutValue", {"--command"},
     generalError("the required argument for option '--command' is missing"), 1, false},
    {"CommandTwice", {"--command", "enumerate", "--comm=startover"},
     generalError("option '--command' cannot be specified more than once"), 1, false},
    {"ValueGivenToHelp", {"--help=yes"},
     generalError("option '--help' does not take any arguments"), 1, false},
    {"WordIsCaseSensitive", {"--command", "Enumerate"}, badWord("Enumerate"), 1, true},
    {"WordIsNotAbbreviated", {"--command=enum"}, badWord("enum"), 1, true},
    {"MissingRequiredOption", {"--command", "writetoken", "--slot", "1"},
     commandError("writetoken", "the option '--token' is required but missing"), 1, true},
    {"AbbreviatedCommandAfterItsOptions", {"--token", "t.bin", "--comm", "writetoken"},
     commandError("writetoken", "the option '--slot' is required but missing"), 1, true},
    {"OnlyFwrecNeedsRecoveryModule", {"--command=fwrec", "--ifp-path", "e.bin"},
     commandError("fwrec", "the option '--fw_xol' is required but missing"), 1, true},
    {"ValueNotANumber", {"--command", "erasetoken", "--slot", "abc"},
     commandError("erasetoken", "the argument ('abc') for option '--slot' is invalid"), 1, true},
    {"ValueNotDecimal", {"--command", "startover", "--flags", "0x20"},
     commandError("startover", "the argument ('0x20') for option '--flags' is invalid"), 1, true},
    {"ValueBeyond32Bits", {"--command", "erasetoken", "--slot", "4294967296"},
     commandError("erasetoken", "the argument ('4294967296') for option '--slot' is invalid"), 1,
     true},
    {"NegativeValueRefused",
     {"--command", "readbootmedia", "--path", "o.bin", "--device", "2", "--idx", "0",
      "--blocks", "8", "--start=-1"},
     commandError("readbootmedia", "the argument ('-1') for option '--start' is invalid"), 1,
     true},
    {"OptionRepeatedAcrossCommandWord", {"--slot", "1", "--command", "erasetoken", "--slot", "2"},
     commandError("erasetoken", "option '--slot' cannot be specified more than once"), 1, true},
    {"AmbiguousAbbreviation", {"--command", "startover", "--usb", "5"},
     commandError("startover",
                  "option '--usb' is ambiguous and matches '--usb-retry-count', and "
                  "'--usb-rw-delay'"),
     1, true},
    {"ValueGivenToSwitch", {"--command", "enumerate", "--verbose=1"},
     commandError("enumerate", "option '--verbose' does not take any arguments"), 1, true},
    {"ShortSwitchRepeated", {"--command", "iddevice", "-v", "-v"},
     commandError("iddevice", "option '--verbose' cannot be specified more than once"), 1, true},
};

INSTANTIATE_TEST_SUITE_P(Xolcli, ParseTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ParseCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
