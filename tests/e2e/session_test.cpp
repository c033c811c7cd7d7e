// A session as a user runs it: one command per invocation of the installed program, all against
// one simulated board whose state outlives each process, from ROM context to a provisioned
// board.
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "session_transcript.h"

using namespace e2e;
using xolsim::Bytes;
using xolsim::XolDeviceState;
using testkit::SessionStep;
using testkit::failing;
using testkit::succeeding;

namespace {

TEST(Session, FromRomContextToAProvisionedBoard)
{
    Bench bench;
    const XolDeviceState rom = romBoard();
    bench.plug(rom);
    writeFile("recovery.bin", recoveryModule());
    writeFile("firmware.bin", firmwareImage());
    const Bytes token = pattern(700, 77);
    writeFile("token.bin", token);
    const std::string sn = kBoardId;
    const std::string upper = "101112131415161718191A1B1C1D1E1F";

    // The board withholds its OEM platform id in ROM context.
    const SessionStep steps[] = {
        succeeding("enumerate", {"--command", "enumerate"}, rom),
        succeeding("iddevice", {"--command", "iddevice", "--sn", sn}, rom, false),
        succeeding("fwrec", {"--command", "fwrec", "--fw_xol", "recovery.bin", "--sn", sn}, rom),
        succeeding("downloadfwos", {"--command", "downloadfwos", "--fw_image", "firmware.bin",
                                    "--flags", "1", "--sn", upper}, rom),
        succeeding("getcardinfo", {"--command", "getcardinfo", "--device", "2", "--path",
                                   "card.bin", "--sn", sn}, rom),
        succeeding("configpart", {"--command", "configpart", "--device", "2", "--path",
                                  sample("platform_emmc.xml"), "--sn", sn}, rom),
        succeeding("readbootmedia", {"--command", "readbootmedia", "--device", "2", "--idx", "0",
                                     "--part", "1", "--start", "0", "--blocks", "8", "--path",
                                     "boot.bin", "--sn", sn}, rom),
        succeeding("writetoken", {"--command", "writetoken", "--token", "token.bin", "--slot", "2",
                                  "--sn", sn}, rom),
        succeeding("readtoken", {"--command", "readtoken", "--slot", "2", "--path", "token.out",
                                 "--sn", sn}, rom),
        succeeding("erasetoken", {"--command", "erasetoken", "--slot", "2", "--sn", sn}, rom),
        failing("readtoken-erased", {"--command", "readtoken", "--slot", "2", "--path", "gone.out",
                                     "--sn", sn}, rom, "0x80000037", "Token does not exist"),
        succeeding("clearrpmb", {"--command", "clearrpmb", "--device", "2", "--idx", "0", "--sn",
                                 sn}, rom),
    };
    for (const SessionStep& step : steps) {
        const ProgramRun run = bench.run(step.args);
        EXPECT_EQ(run.out, banner(step.out)) << step.name;
        EXPECT_EQ(run.err, written(step.err)) << step.name;
        EXPECT_EQ(run.status, step.err.empty() ? 0 : 1) << step.name;
    }

    const XolDeviceState board = bench.board();
    EXPECT_EQ(refusals(board), "");
    EXPECT_EQ(board.context, 1u);
    ASSERT_TRUE(board.recoveryModule);
    EXPECT_EQ(board.recoveryModule->image, recoveryModule());
    ASSERT_TRUE(board.firmwareImage);
    EXPECT_EQ(board.firmwareImage->image, firmwareImage());
    EXPECT_EQ(board.firmwareImage->flags, 1u);
    const xolsim::StorageDevice& emmc = board.storage.at({2, 0});
    EXPECT_EQ(fileBytes("card.bin"), emmc.cardInfo);
    ASSERT_TRUE(emmc.lastConfigRequest);
    EXPECT_EQ(emmc.lastConfigRequest->size(), 48u);
    EXPECT_EQ(fileBytes("boot.bin"), emmc.media.at(1));
    EXPECT_EQ(fileBytes("token.out"), token);
    EXPECT_EQ(board.tokens.count(2), 0u);
    EXPECT_TRUE(emmc.rpmbCleared);
    // Only the recovery download met the board in ROM context.
    EXPECT_EQ(std::count(board.startOverFlags.begin(), board.startOverFlags.end(), 0x20u), 1);
}

} // namespace
