// Real sizes: a 64 MiB firmware image provisioned from ROM context and a 16 MiB boot-media read
// into a file, both arriving byte for byte.
#include <cstdio>
#include <cstring>

#include "ops_host.h"

namespace ops {
namespace {

constexpr size_t MiB = 1024 * 1024;

class Bulk : public HostTest {
protected:
    _error_msg_t msg{};
};

TEST_F(Bulk, FirmwareImageOf64MiBArrivesByteIdentical)
{
    Board& b = plug(boardState(0));
    const std::string path = host.tmp + "/firmware64.bin";
    const size_t header = 16 + 24;
    const std::string image = moduleText({"rcipifwi"}, 64 * MiB - header, 64);
    writeFile(path, image);
    _prov_fw_image_cmd_flags_t flags{3};
    ASSERT_EQ(api->downloadfwos(recovery, path.c_str(), &flags, nullptr, nullptr, b.ident.c_str(),
                                &msg, nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");

    b.dev->inspect([&](const XolDeviceState& s) {
        EXPECT_TRUE(s.firmwareImage.has_value());
        if (s.firmwareImage) {
            EXPECT_EQ(s.firmwareImage->length, 64 * MiB);
            EXPECT_TRUE(s.firmwareImage->image.size() == image.size() &&
                        std::memcmp(s.firmwareImage->image.data(), image.data(), image.size()) == 0)
                << "content differs";
            EXPECT_EQ(s.firmwareImage->moduleSize, 64 * MiB - header);
            EXPECT_EQ(s.firmwareImage->headerSize, header);
            EXPECT_EQ(s.firmwareImage->flags, 3u);
        }
        return 0;
    });
    EXPECT_TRUE(b.hostErrors().empty());
    std::remove(path.c_str());
}

TEST_F(Bulk, BootMediaReadOf16MiBWrittenByteIdentical)
{
    XolDeviceState st = boardState(1);
    const std::string media = patternText(16 * MiB, 16);
    st.device(2, 0).media[1].assign(reinterpret_cast<const uint8_t*>(media.data()),
                                    reinterpret_cast<const uint8_t*>(media.data()) + media.size());
    Board& b = plug(std::move(st));
    const std::string path = host.tmp + "/media16.bin";
    _content_addr_t addr{1, 0, static_cast<uint32_t>(16 * MiB / 512)};
    ASSERT_EQ(api->readbootmedia2(recovery, 2, 0, &addr, path.c_str(), b.ident.c_str(), &msg,
                                  nullptr, nullptr),
              0u)
        << msg.text;
    EXPECT_STREQ(msg.text, "Success");
    const std::string written = readFile(path);
    EXPECT_EQ(written.size(), 16 * MiB);
    EXPECT_TRUE(b.dev->inspect([&](const XolDeviceState& s) {
        const Bytes& media = s.storage.at({2, 0}).media.at(1);
        return media.size() == written.size() &&
               std::memcmp(media.data(), written.data(), written.size()) == 0;
    })) << "content differs";
    EXPECT_TRUE(b.hostErrors().empty());
    std::remove(path.c_str());
}

} // namespace
} // namespace ops
