// iddevice and fwrec with and without an IFP emulation file: what the board is sent and what the
// program reports.
#include <gtest/gtest.h>

#include "e2e_support.h"

using namespace e2e;
using xolsim::Bytes;
using xolsim::XolDeviceState;

namespace {

// A board whose firmware reports the placeholder OEM platform id.
XolDeviceState placeholderBoard()
{
    XolDeviceState s = xolBoard();
    s.oemPlatformId = {'Q', 'W', 'L', 'M'};
    return s;
}

// 100 bytes of an IFP emulation file: the first word 0x01020304, "ABCD" at 16..19.
Bytes ifpFile()
{
    Bytes b = pattern(100, 60);
    b[0] = 0x04;
    b[1] = 0x03;
    b[2] = 0x02;
    b[3] = 0x01;
    b[16] = 'A';
    b[17] = 'B';
    b[18] = 'C';
    b[19] = 'D';
    return b;
}

std::string idOutput(const std::string& oemId)
{
    return "Starting ID DEVICE procedure\n"
           "Flags: 0\n"
           "ID DEVICE procedure success\n"
           "Response flags: 0x5\n"
           "OEM platform ID: " + oemId + "\n"
           "Unique platform ID: 101112131415161718191a1b1c1d1e1f\n"
           "Image errors: 0x1 00 00 00 00 00 00 00 00 00 0x10 0xab \n";
}

TEST(IdDevice, WithoutIfpFileTheDevicesOwnId)
{
    Bench bench;
    bench.plug(placeholderBoard());
    const ProgramRun run = bench.run({"--command", "iddevice", "--sn", kBoardId});
    EXPECT_EQ(run.out, banner(idOutput("4d4c5751")));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(bench.board().idDeviceParams, (std::array<uint32_t, 2>{0, 0}));
}

// The file's first word goes to the device; its OEM platform id stands in for the placeholder.
TEST(IdDevice, WithIfpFileItsRecordIsUsed)
{
    Bench bench;
    bench.plug(placeholderBoard());
    writeFile("board.ifp", ifpFile());
    const ProgramRun run = bench.run({"--command", "iddevice", "--ifp-path", "board.ifp"});
    EXPECT_EQ(run.out, banner(idOutput("44434241")));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(bench.board().idDeviceParams, (std::array<uint32_t, 2>{0, 0x01020304}));
}

// Of two boards, the identifier picks one, in any case; the other hears only the identification
// every run starts with.
TEST(IdDevice, IdentifierPicksOneOfTwoBoards)
{
    Bench bench;
    bench.plug(xolBoard());
    XolDeviceState other = xolBoard();
    other.platformId[15] = 0xff;
    other.idFlags = 0x9;
    ScenarioDevice where;
    where.portNumbers = {2};
    bench.plug(other, where);
    const ProgramRun run = bench.run({"--command", "iddevice", "--flags", "1", "--sn",
                                      "101112131415161718191A1B1C1D1EFF"});
    EXPECT_EQ(run.out, banner("Starting ID DEVICE procedure\n"
                              "Flags: 0x1\n"
                              "ID DEVICE procedure success\n"
                              "Response flags: 0x9\n"
                              "OEM platform ID: 11223344\n"
                              "Unique platform ID: 101112131415161718191a1b1c1d1eff\n"
                              "Image errors: 0x1 00 00 00 00 00 00 00 00 00 0x10 0xab \n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(bench.board(0).commands.size(), 2u);
    EXPECT_EQ(bench.board(1).idDeviceParams, (std::array<uint32_t, 2>{1, 0}));
}

TEST(IdDevice, ShortIfpFileFailsBeforeAnyDevice)
{
    Bench bench;
    bench.plug(xolBoard());
    writeFile("board.ifp", pattern(43));
    const ProgramRun run = bench.run({"--command", "iddevice", "--ifp-path", "board.ifp"});
    EXPECT_EQ(run.out, banner("Starting ID DEVICE procedure\nFlags: 0\n"));
    EXPECT_EQ(run.err, failure("ID DEVICE", "0x30000",
                                 "Cannot read \"board.ifp\": the file ends early"));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(bench.board().commands.empty());
}

const std::string kFwrecOk = "Starting DOWNLOAD FW RECOVERY MODULE procedure\n"
                             "DOWNLOAD FW RECOVERY MODULE procedure success\n";

// Only the first 44 bytes of a longer file make the record.
TEST(Fwrec, LongIfpFileSendsItsFirst44Bytes)
{
    Bench bench;
    bench.plug(romBoard());
    writeFile("recovery.bin", recoveryModule());
    writeFile("board.ifp", ifpFile());
    const ProgramRun run = bench.run(
        {"--command", "fwrec", "--fw_xol", "recovery.bin", "--ifp-path", "board.ifp"});
    EXPECT_EQ(run.out, banner(kFwrecOk));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    const XolDeviceState after = bench.board();
    ASSERT_TRUE(after.ifpEmulation);
    const Bytes file = ifpFile();
    EXPECT_EQ(Bytes(after.ifpEmulation->begin(), after.ifpEmulation->end()),
              Bytes(file.begin(), file.begin() + 44));
    EXPECT_EQ(after.context, 1u);
    EXPECT_EQ(refusals(after), "");
}

// A board already in XoL context gets no module, only the negotiation; the module file is not
// even opened.
TEST(Fwrec, BoardInXolContextOnlyNegotiates)
{
    Bench bench;
    bench.plug(xolBoard());
    const ProgramRun run = bench.run({"--command", "fwrec", "--fw_xol", "missing.bin"});
    EXPECT_EQ(run.out, banner(kFwrecOk));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    const XolDeviceState after = bench.board();
    EXPECT_FALSE(after.recoveryModule);
    EXPECT_FALSE(after.ifpEmulation);
    EXPECT_EQ(after.protocolVersion, 1u);
}

} // namespace
