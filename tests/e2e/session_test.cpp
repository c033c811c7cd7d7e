// A session as a user runs it: one command per invocation of the installed program, all against
// one simulated board whose state outlives each process, from ROM context to a provisioned
// board.
#include <gtest/gtest.h>

#include "e2e_support.h"

using namespace e2e;
using xolsim::Bytes;
using xolsim::XolDeviceState;

namespace {

struct Step {
    std::vector<std::string> args;
    std::string out; // after the banner
    std::string err;
};

TEST(Session, FromRomContextToAProvisionedBoard)
{
    Bench bench;
    bench.plug(romBoard());
    writeFile("recovery.bin", recoveryModule());
    writeFile("firmware.bin", firmwareImage());
    const Bytes token = pattern(700, 77);
    writeFile("token.bin", token);
    const std::string sn = kBoardId;
    const std::string upper = "101112131415161718191A1B1C1D1E1F";

    const Step steps[] = {
        {{"--command", "enumerate"},
         "Starting DEVICE ENUMERATION procedure\n"
         "DEVICE ENUMERATION procedure success\n"
         "1. Device serial: [101112131415161718191a1b1c1d1e1f]\n",
         ""},
        {{"--command", "iddevice", "--sn", sn},
         "Starting ID DEVICE procedure\n"
         "Flags: 0\n"
         "ID DEVICE procedure success\n"
         "Response flags: 0x5\n"
         "OEM platform ID: 00000000\n"
         "Unique platform ID: 101112131415161718191a1b1c1d1e1f\n"
         "Image errors: 0x1 00 00 00 00 00 00 00 00 00 0x10 0xab \n",
         ""},
        {{"--command", "fwrec", "--fw_xol", "recovery.bin", "--sn", sn},
         "Starting DOWNLOAD FW RECOVERY MODULE procedure\n"
         "DOWNLOAD FW RECOVERY MODULE procedure success\n",
         ""},
        {{"--command", "downloadfwos", "--fw_image", "firmware.bin", "--flags", "1", "--sn", upper},
         "Starting DOWNLOADFWOS procedure\n"
         "DOWNLOADFWOS procedure success\n",
         ""},
        {{"--command", "getcardinfo", "--device", "2", "--path", "card.bin", "--sn", sn},
         "Starting GET CARD INFO procedure\n"
         "Device type: 0x2\n"
         "Device index: 0\n"
         "GET CARD INFO procedure success\n",
         ""},
        {{"--command", "configpart", "--device", "2", "--path", sample("platform_emmc.xml"),
          "--sn", sn},
         "Device serial: 101112131415161718191a1b1c1d1e1f\n"
         "Starting CONFIG DEVICE procedure\n"
         "Device type: 0x2\n"
         "Device index: 0\n"
         "CONFIG DEVICE procedure success\n",
         ""},
        {{"--command", "readbootmedia", "--device", "2", "--idx", "0", "--part", "1", "--start",
          "0", "--blocks", "8", "--path", "boot.bin", "--sn", sn},
         "Starting READ BOOT MEDIA procedure\n"
         "Device type: 0x2\n"
         "Device index: 0\n"
         "Start offset: 0\n"
         "Blocks to read: 0x8\n"
         "Partition index: 0x1\n"
         "READ BOOT MEDIA procedure success\n",
         ""},
        {{"--command", "writetoken", "--token", "token.bin", "--slot", "2", "--sn", sn},
         "Starting WRITE TOKEN procedure\n"
         "WRITE TOKEN procedure success\n",
         ""},
        {{"--command", "readtoken", "--slot", "2", "--path", "token.out", "--sn", sn},
         "Starting READ TOKEN procedure\n"
         "Slot: 0x2\n"
         "READ TOKEN procedure success\n",
         ""},
        {{"--command", "erasetoken", "--slot", "2", "--sn", sn},
         "Starting ERASE TOKEN procedure\n"
         "ERASE TOKEN procedure success\n",
         ""},
        {{"--command", "readtoken", "--slot", "2", "--path", "gone.out", "--sn", sn},
         "Starting READ TOKEN procedure\n"
         "Slot: 0x2\n",
         failure("READ TOKEN", "0x80000037", "Token does not exist")},
        {{"--command", "clearrpmb", "--device", "2", "--idx", "0", "--sn", sn},
         "Starting CLEAR RPMB procedure\n"
         "Device type: 0x2\n"
         "Device index: 0\n"
         "CLEAR RPMB procedure success\n",
         ""},
    };
    for (const Step& step : steps) {
        const ProgramRun run = bench.run(step.args);
        EXPECT_EQ(run.out, banner(step.out)) << step.args[1];
        EXPECT_EQ(run.err, step.err) << step.args[1];
        EXPECT_EQ(run.status, step.err.empty() ? 0 : 1) << step.args[1];
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
