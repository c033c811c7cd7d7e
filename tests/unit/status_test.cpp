// Firmware status texts, the exception types and the guarded copies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "exceptions.h"
#include "secure_buffers.h"
#include "vemoapi.h"

namespace {

struct FwCase {
    unsigned long status;
    const char* text;
};

class FwTextTest : public ::testing::TestWithParam<FwCase> {};

TEST_P(FwTextTest, MessageAndCode)
{
    const FwCase c = GetParam();
    EXPECT_EQ(FwError::message(c.status), c.text);
    FwError e(c.status);
    EXPECT_EQ(e.getErrorCode(), c.status);
    EXPECT_STREQ(e.what(), c.text);
}

INSTANTIATE_TEST_SUITE_P(Table, FwTextTest,
    ::testing::Values(FwCase{0x0, "Success"}, FwCase{0x80000000, "Media not present"},
        FwCase{0x80000001, "Invalid command"}, FwCase{0x80000012, "Invalid signature"},
        FwCase{0x80000027, "Invalid signature"}, FwCase{0x80000032, "Invalid version"},
        FwCase{0x8000003A, "Media error: Unsupported storage device"},
        FwCase{0x8000003B, " Media error: Storage write failure"},
        FwCase{0x8000003D, " XoL error: tried to write beyond SPI bounds"},
        FwCase{0x80000046, "xol ifwi version must be 0x00000001."},
        FwCase{0x80000048,
            "oem KM is missing (size zero), and it shouldn't be (platform has pub key hash)"},
        FwCase{0x80000049, "Unknown error"}, FwCase{0x7FFFFFFF, "Unknown error"},
        FwCase{0x00000001, "Unknown error"}));

TEST(FwText, EveryTableStatusHasItsOwnText)
{
    for (unsigned long s = 0x80000000; s <= 0x80000048; ++s)
        EXPECT_NE(FwError::message(s), "Unknown error") << std::hex << s;
}

TEST(FwText, KeyedOnLow32Bits)
{
    if (sizeof(unsigned long) < 8)
        GTEST_SKIP() << "statuses are 32 bits wide here";
    const unsigned long wide = static_cast<unsigned long>(0xFFFFFFFF80000032ULL);
    EXPECT_EQ(FwError::message(wide), "Invalid version");
    EXPECT_EQ(FwError(wide).getErrorCode(), wide);
    EXPECT_TRUE(sameFwStatus(wide, 0x80000032));
    EXPECT_FALSE(sameFwStatus(0x80000001, 0x80000032));
}

TEST(VemoExceptionTest, CarriesCodeAndTextAndIsARuntimeError)
{
    try {
        throw VemoException(0x30003, "Device not found");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Device not found");
        ASSERT_NE(dynamic_cast<const VemoException*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const VemoException&>(e).getErrorCode(), 0x30003u);
    }
    try {
        throw FwError(0x80000031);
    } catch (const VemoException& e) {
        EXPECT_EQ(e.getErrorCode(), 0x80000031u);
        EXPECT_STREQ(e.what(), "RPMB not provisioned");
    }
}

std::string copyCaptured(void* dst, size_t dstSize, const void* src, size_t count, bool& result)
{
    ::testing::internal::CaptureStdout();
    result = memcpy_s_x(dst, dstSize, src, count);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

TEST(MemcpySX, RefusesNullDestination)
{
    char src[4] = {1, 2, 3, 4};
    bool ok = true;
    EXPECT_EQ(copyCaptured(nullptr, 4, src, 4, ok), "Invalid parameters for memcpy_s 1");
    EXPECT_FALSE(ok);
}

TEST(MemcpySX, ZeroesDestinationOnNullSourceOrShortDestination)
{
    char dst[8];
    char src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bool ok = true;
    std::memset(dst, 0x55, sizeof dst);
    EXPECT_EQ(copyCaptured(dst, 4, src, 8, ok), "Invalid parameters for memcpy_s 2");
    EXPECT_FALSE(ok);
    EXPECT_EQ(std::string(dst, 4), std::string(4, '\0'));
    EXPECT_EQ(dst[4], 0x55) << "only dstSize bytes are cleared";

    std::memset(dst, 0x55, sizeof dst);
    EXPECT_EQ(copyCaptured(dst, 8, nullptr, 2, ok), "Invalid parameters for memcpy_s 2");
    EXPECT_EQ(std::string(dst, 8), std::string(8, '\0'));
}

TEST(MemcpySX, RefusesOverlapAndLeavesDestination)
{
    char buf[16];
    for (int i = 0; i < 16; ++i)
        buf[i] = static_cast<char>(i);
    const std::string before(buf, 16);
    bool ok = true;
    // Same range.
    EXPECT_EQ(copyCaptured(buf, 8, buf, 8, ok), "Invalid parameters for memcpy_s 3");
    EXPECT_FALSE(ok);
    // Destination above source, reached by the source's bytes.
    EXPECT_EQ(copyCaptured(buf + 4, 8, buf, 5, ok), "Invalid parameters for memcpy_s 3");
    // Source inside the destination buffer although count stops short of it.
    EXPECT_EQ(copyCaptured(buf, 12, buf + 10, 2, ok), "Invalid parameters for memcpy_s 3");
    EXPECT_EQ(std::string(buf, 16), before);
}

TEST(MemcpySX, CopiesAdjacentRangesAndZeroCount)
{
    char buf[16] = {};
    for (int i = 0; i < 8; ++i)
        buf[i] = static_cast<char>(i + 1);
    bool ok = false;
    EXPECT_EQ(copyCaptured(buf + 8, 8, buf, 8, ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(buf + 8, 8), std::string(buf, 8));
    EXPECT_EQ(copyCaptured(buf + 8, 8, buf, 0, ok), "");
    EXPECT_TRUE(ok);
}

TEST(CopyMessage, BoundsAndTerminates)
{
    _error_msg_t msg;
    std::memset(msg.text, 'x', sizeof msg.text);
    const std::string longText(2000, 'a');
    copyMessage(msg.text, longText.c_str(), sizeof msg.text);
    EXPECT_EQ(std::strlen(msg.text), 1023u);
    EXPECT_EQ(msg.text[1023], '\0');

    copyMessage(msg.text, "Success", sizeof msg.text);
    EXPECT_STREQ(msg.text, "Success");

    char small[4] = {'q', 'q', 'q', 'q'};
    copyMessage(small, "", sizeof small);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[1], 'q');
    copyMessage(small, "abcdef", 0);
    EXPECT_EQ(small[0], '\0') << "size 0 writes nothing";
    copyMessage(small, "abcdef", sizeof small);
    EXPECT_STREQ(small, "abc");
}

} // namespace
