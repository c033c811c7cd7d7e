// enumerate as a user meets it: no device, two devices with their place on the bus, the
// machine's own libusb with nothing attached, and no libusb at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <set>

#include "e2e_support.h"
#include "loaded_libusb.h"

using namespace e2e;
using xolsim::XolDeviceState;

namespace {

const std::string kStart = "Starting DEVICE ENUMERATION procedure\n";
const std::string kSuccess = "DEVICE ENUMERATION procedure success\n";

XolDeviceState secondBoard()
{
    XolDeviceState s = xolBoard();
    for (int i = 0; i < 16; ++i)
        s.platformId[i] = static_cast<uint8_t>(0xe0 + i);
    return s;
}

TEST(Enumerate, NoDeviceListsNothing)
{
    for (const char* verbose : {"", "--verbose"}) {
        Bench bench;
        std::vector<std::string> args{"--command", "enumerate"};
        if (*verbose)
            args.push_back(verbose);
        const ProgramRun run = bench.run(args);
        EXPECT_EQ(run.out, banner(kStart + kSuccess)) << verbose;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

// Each device's line, then its bus and ports, then an empty line. The library lists its devices
// in no particular order.
TEST(Enumerate, TwoDevicesVerboseWithTheirPlaceOnTheBus)
{
    Bench bench;
    ScenarioDevice first;
    first.busNumber = 2;
    first.portNumbers = {3};
    bench.plug(xolBoard(), first);
    ScenarioDevice second;
    second.busNumber = 5;
    second.portNumbers = {1};
    second.productId = 0x3C19;
    bench.plug(secondBoard(), second);
    const ProgramRun run = bench.run({"--command", "enumerate", "-v"});
    const std::string a = "Device serial: [101112131415161718191a1b1c1d1e1f]\n"
                          "\tBus number: 2\n"
                          "\tPort 0: 3\n"
                          "\n";
    const std::string b = "Device serial: [e0e1e2e3e4e5e6e7e8e9eaebecedeeef]\n"
                          "\tBus number: 5\n"
                          "\tPort 0: 1\n"
                          "\n";
    EXPECT_THAT(run.out, ::testing::AnyOf(banner(kStart + kSuccess + "1. " + a + "2. " + b),
                                          banner(kStart + kSuccess + "1. " + b + "2. " + a)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

// Behind hubs (which only the stand-in can place a device behind): one line per port.
TEST(Enumerate, PortPathBehindHubs)
{
    Bench bench(Bus::Standin);
    ScenarioDevice where;
    where.busNumber = 4;
    where.portNumbers = {2, 7, 1};
    bench.plug(xolBoard(), where);
    const ProgramRun run = bench.run({"--command", "enumerate", "--verbose"});
    EXPECT_EQ(run.out, banner(kStart + kSuccess +
                              "1. Device serial: [101112131415161718191a1b1c1d1e1f]\n"
                              "\tBus number: 4\n"
                              "\tPort 0: 2\n"
                              "\tPort 1: 7\n"
                              "\tPort 2: 1\n"
                              "\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(Enumerate, MachinesOwnLibusbWithNothingAttached)
{
    Bench bench(Bus::Real);
    const ProgramRun run = bench.run({"--command", "enumerate"});
    EXPECT_EQ(run.out, banner(kStart + kSuccess));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

using testkit::libusbFiles;

// Runs the program in a mount namespace of its own in which every libusb file reads as empty,
// which the loader refuses like a missing one.
ProgramRun runWithoutLibusb(const std::vector<std::string>& args, bool& isolated)
{
    std::string script = "set -e\n";
    for (const std::string& file : libusbFiles())
        script += "mount --bind /dev/null '" + file + "'\n";
    script += "exec \"$0\" \"$@\"\n";
    std::vector<std::string> unshare{"--mount", "--propagation", "private"};
    if (geteuid() != 0)
        unshare.insert(unshare.begin(), "--map-root-user");
    std::vector<std::string> probe = unshare;
    probe.insert(probe.end(), {"sh", "-c", script, "true"});
    isolated = runProgram("/usr/bin/unshare", probe).status == 0;
    std::vector<std::string> all = unshare;
    all.insert(all.end(), {"sh", "-c", script, xolcliPath()});
    all.insert(all.end(), args.begin(), args.end());
    return runProgram("/usr/bin/unshare", all);
}

// The listing reports every failure, the loader's included, as a general failure with the
// failure's own text.
TEST(Enumerate, NoLibusbOnTheSearchPath)
{
    ScratchDir dir;
    ASSERT_FALSE(libusbFiles().empty()) << "Debian's libusb is not installed";
    bool isolated = false;
    const ProgramRun run = runWithoutLibusb({"--command", "enumerate"}, isolated);
    if (!isolated)
        GTEST_SKIP() << "no mount namespace can be made here to hide libusb";
    EXPECT_EQ(run.out, banner(kStart));
    EXPECT_EQ(run.err, failure("DEVICE ENUMERATION", "0x30000",
                               "Fatal error: Can not find libusb shared object"));
    EXPECT_EQ(run.status, 1);
}

} // namespace
