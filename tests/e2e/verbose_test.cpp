// --verbose: every record the library makes of the operation's device reaches the program's
// progress callback and is printed as "[log_callback][msg: ...]" between the start line and the
// result. The job's steps and the protocol's message traces come in the order the device
// exchange makes them.
#include <gtest/gtest.h>

#include <sstream>

#include "e2e_support.h"

using namespace e2e;
using xolsim::XolDeviceState;

namespace {

// The progress lines a run is expected to print, built step by step.
class Progress {
public:
    Progress& say(const std::string& text)
    {
        lines += "[log_callback][msg: " + text + "]\n";
        return *this;
    }
    // One host message as the protocol frames it (hexadecimal without prefix).
    Progress& send(unsigned code, unsigned marker, unsigned dataLength, unsigned additional)
    {
        say("TX: Payload only: no").say("TX: Data length: " + std::to_string(dataLength));
        say("TX: Command: " + hex(code)).say("TX: Marker: " + hex(marker));
        say("TX: Header length: 16").say("TX: Additional data length: " + std::to_string(additional));
        return say("TX: Message length: " + std::to_string(dataLength + 16));
    }
    // One device message that fits the first packet.
    Progress& receive(unsigned code, unsigned marker, unsigned length, unsigned additional,
                      unsigned status = 0)
    {
        say("Reading first packet");
        say("RX: Command: " + hex(0x800000 + code)).say("RX: Marker: " + hex(marker));
        say("RX: Message length: " + std::to_string(length)).say("RX: Header length: 20");
        say("RX: Data length (calculated): " + std::to_string(length - 20));
        say("RX: Additional data length: " + std::to_string(additional));
        return say("RX: Flags: 0").say("RX: FW status: " + hex(status));
    }
    // A command without data, answered with its final response.
    Progress& command(unsigned code, unsigned status = 0)
    {
        return send(code, 0, 48, 0).receive(code, 0, 64, 0, status);
    }
    // The context query of every job that needs XoL context.
    Progress& contextQuery(unsigned context)
    {
        say("Resetting XoL protocol").command(0x13).say("Success");
        return say(context == 0 ? "Current context: 0" : "Current context: 0x1");
    }
    Progress& negotiation()
    {
        say("Setting XoL protocol version and timeout");
        say("Sending \"Set Protocol\" XoL command").say("Protocol version: 0x1");
        command(0x17).say("Success");
        return say("XoL protocol version and timeout were set successfully");
    }

    std::string lines;

private:
    static std::string hex(unsigned v)
    {
        std::ostringstream os;
        os << std::hex << v;
        return os.str();
    }
};

TEST(Verbose, ProgressOfACommandOnABoardInXolContext)
{
    Bench bench;
    bench.plug(xolBoard());
    const ProgramRun run = bench.run({"--command", "erasetoken", "--slot", "3", "--verbose"});
    Progress p;
    p.say("Erase token operation started").contextQuery(1).negotiation();
    p.say("Sending XoL command Erase Token").command(0x24).say("Success");
    p.say("Erase token operation had been accomplished succesfully");
    EXPECT_EQ(run.out, banner("Starting ERASE TOKEN procedure\n" + p.lines +
                              "ERASE TOKEN procedure success\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(Verbose, ProgressStopsAtTheFailure)
{
    Bench bench;
    bench.plug(xolBoard());
    const ProgramRun run = bench.run({"--command", "erasetoken", "--slot", "4", "-v"});
    Progress p;
    p.say("Erase token operation started").contextQuery(1).negotiation();
    p.say("Sending XoL command Erase Token").command(0x24, 0x80000037);
    EXPECT_EQ(run.out, banner("Starting ERASE TOKEN procedure\n" + p.lines));
    EXPECT_EQ(run.err, failure("ERASE TOKEN", "0x80000037", "Token does not exist"));
    EXPECT_EQ(run.status, 1);
}

// From ROM context: the recovery module goes up in one chunk the board asks for, then the IFP
// emulation record (xolcli always hands one over) and the negotiation.
TEST(Verbose, RecoveryDownloadFromRomContext)
{
    Bench bench;
    bench.plug(romBoard());
    writeFile("recovery.bin", recoveryModule());
    const ProgramRun run =
        bench.run({"--command", "fwrec", "--fw_xol", "recovery.bin", "--verbose"});
    const unsigned size = static_cast<unsigned>(recoveryModule().size());
    Progress p;
    p.say("FW recovery module download operation started").contextQuery(0);
    p.say("Preparing device for recovery module download").command(0x13).say("Success");
    p.say("Downloading recovery module");
    p.send(0x02, 0, 48, size).receive(0x02, 0xa5, 20, size);
    p.send(0x02, 0x5a, size, 0).receive(0x02, 0, 64, 0).say("Success");
    p.say("Sending \"IFP emulation\" XoL command").command(0x16).say("Success");
    p.negotiation();
    p.say("FW recovery module download operation had been accomplished succesfully");
    EXPECT_EQ(run.out, banner("Starting DOWNLOAD FW RECOVERY MODULE procedure\n" + p.lines +
                              "DOWNLOAD FW RECOVERY MODULE procedure success\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(bench.board().startOverFlags, (std::vector<uint32_t>{0, 0, 0x20}));
}

// Identification asks nothing first; in ROM context it clears the OEM platform id it reports.
TEST(Verbose, IdentificationInRomContext)
{
    Bench bench;
    bench.plug(romBoard());
    const ProgramRun run = bench.run({"--command", "iddevice", "--verbose"});
    Progress p;
    p.say("Id device operation started").say("Sending \"Id Device\" XoL command");
    p.command(0x01).say("Success");
    p.say("Sending \"start over\" XoL command to check if we are in ROM or XOL ctx");
    p.contextQuery(0);
    p.say("In ROM ctx, OEM Platform Id might be invalid. cleaning it before returning to user. ");
    p.say("Id device operation had been accomplished succesfully");
    EXPECT_EQ(run.out, banner("Starting ID DEVICE procedure\nFlags: 0\n" + p.lines +
                              "ID DEVICE procedure success\n"
                              "Response flags: 0x5\n"
                              "OEM platform ID: 00000000\n"
                              "Unique platform ID: 101112131415161718191a1b1c1d1e1f\n"
                              "Image errors: 0x1 00 00 00 00 00 00 00 00 00 0x10 0xab \n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

} // namespace
