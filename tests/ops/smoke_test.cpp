#include <gtest/gtest.h>

#include <cstring>

#include "scratch_dir.h"
#include "sim_bed.h"
#include "vemoapi.h"
#include "xol_device.h"

TEST(Smoke, IdentifyAndReadToken)
{
    ScratchDir dir;
    auto bed = makeSimBed();
    xolsim::XolDeviceState st;
    st.context = 1;
    for (int i = 0; i < 16; ++i)
        st.platformId[i] = static_cast<uint8_t>(i);
    st.tokens[3] = xolsim::Bytes(100, 0xAB);
    auto dev = std::make_shared<xolsim::XolDevice>(st);
    bed->plug(SimDeviceDesc::bulk(0x3C11, 512), dev);
    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    _error_msg_t msg;
    _soc_device_info_arr_t targets{};
    EXPECT_EQ(api->getavailabletargets(&targets, &msg), 0u) << msg.text;
    ASSERT_EQ(targets.ids.count, 1u);
    EXPECT_STREQ(targets.ids.devices[0].id, "000102030405060708090a0b0c0d0e0f");
    char buf[200];
    size_t len = sizeof buf;
    EXPECT_EQ(api->readtoken("", buf, &len, 3, "000102030405060708090A0B0C0D0E0F", &msg, nullptr,
                             nullptr),
              0u)
        << msg.text;
    EXPECT_EQ(len, 100u);
    dev->inspect([](const xolsim::XolDeviceState& s) {
        for (auto& e : s.hostErrors)
            ADD_FAILURE() << e;
        return 0;
    });
    api_release();
}
