// The virtual machine's session, cut down, on the fast beds at both bulk packet sizes: what the
// real USB stack needs at full speed (every initial command ends with the pad byte, since it fills
// whole 64-byte packets; chunk requests and upload chunks never carry one) and at high speed (no
// pad at all) holds for a session through the library's interface.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "scratch_dir.h"
#include "session_board.h"
#include "sim_bed.h"
#include "vemoapi.h"
#include "xol_device.h"

namespace {

struct Speed {
    uint16_t productId;
    uint16_t maxPacket;
};

class SessionFraming : public ::testing::TestWithParam<Speed> {};

std::string slice(const xolsim::Bytes& b, size_t from, size_t n)
{
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(from),
                       b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

TEST_P(SessionFraming, PadOnlyWhereTheHostMessageFillsWholePackets)
{
    ScratchDir dir;
    sessionboard::writeSessionFiles(dir.path(""), dir.path(""), dir.path("platform_emmc.xml"));
    const std::string recovery = dir.path("recovery.bin");
    auto bed = makeSimBed();
    auto board = std::make_shared<xolsim::XolDevice>(sessionboard::makeBoard());
    bed->plug(SimDeviceDesc::bulk(GetParam().productId, GetParam().maxPacket), board);

    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    _error_msg_t msg{};
    _soc_device_info_arr_t targets{};
    ASSERT_EQ(api->getavailabletargets(&targets, &msg), 0u) << msg.text;
    ASSERT_EQ(targets.ids.count, 1u);
    const std::string id = targets.ids.devices[0].id;

    _id_dev_ifp_emulation_t record{};
    EXPECT_EQ(api->downloadfwrecovery(recovery.c_str(), id.c_str(), &record, &msg, nullptr,
                                      nullptr),
              0u)
        << msg.text;
    _prov_fw_image_cmd_flags_t flags{5};
    EXPECT_EQ(api->downloadfwos(recovery.c_str(), dir.path("firmware.bin").c_str(), &flags, "", "",
                                id.c_str(), &msg, nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_EQ(api->writetoken2(recovery.c_str(), dir.path("token.bin").c_str(), 3, id.c_str(),
                               &msg, nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_EQ(api->readtoken2(recovery.c_str(), dir.path("read_token.bin").c_str(), 3, id.c_str(),
                              &msg, nullptr, nullptr),
              0u)
        << msg.text;
    _content_addr_t addr{1, 3, 300};
    EXPECT_EQ(api->readbootmedia2(recovery.c_str(), 2, 0, &addr, dir.path("media.bin").c_str(),
                                  id.c_str(), &msg, nullptr, nullptr),
              0u)
        << msg.text;
    api_release();

    // Byte comparisons of large files: a difference is reported, not printed.
    EXPECT_TRUE(ScratchDir::read(dir.path("read_token.bin")) ==
                ScratchDir::read(dir.path("token.bin")))
        << "token read back differs";
    const xolsim::XolDeviceState s = board->state();
    const xolsim::Bytes& media = s.storage.at({2, 0}).media.at(1);
    EXPECT_TRUE(ScratchDir::read(dir.path("media.bin")) == slice(media, 3 * 512, 300 * 512))
        << "boot media read differs";
    ASSERT_TRUE(s.firmwareImage);
    EXPECT_TRUE(slice(s.firmwareImage->image, 0, s.firmwareImage->image.size()) ==
                ScratchDir::read(dir.path("firmware.bin")))
        << "firmware image on the board differs";
    for (const std::string& e : s.hostErrors)
        ADD_FAILURE() << "the board refused: " << e;
    const size_t pads = GetParam().maxPacket <= 64 ? s.commands.size() : 0;
    EXPECT_EQ(s.ignoredBytes, pads) << s.commands.size() << " initial commands";
}

INSTANTIATE_TEST_SUITE_P(Speeds, SessionFraming,
                         ::testing::Values(Speed{0x3C13, 64}, Speed{0x3C19, 512}),
                         [](const ::testing::TestParamInfo<Speed>& p) {
                             return p.param.maxPacket == 64 ? std::string("FullSpeed")
                                                            : std::string("HighSpeed");
                         });

} // namespace
