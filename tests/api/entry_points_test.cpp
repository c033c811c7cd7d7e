// Acquisition and release of the process-wide interface object, and the operations that need no
// device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "vemoapi.h"

#ifdef _WIN32
#include <windows.h>
#endif

#ifdef _WIN32
// Not offered to Windows hosts: reached here through the library's objects.
IVemoAPI* vemoapi_alloc();
void vemoapi_dealloc(IVemoAPI* api);
#endif

extern IVemoAPI* gpApi;
extern uint32_t gApiRefCount;

namespace {

bool libusbLoaded()
{
#ifdef _WIN32
    return GetModuleHandleA("libusb-1.0.dll") != nullptr;
#else
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("libusb") != std::string::npos)
            return true;
    return false;
#endif
}

TEST(EntryPoints, ReferenceCountedSharedObject)
{
    ASSERT_EQ(gApiRefCount, 0u);
    const auto start = std::chrono::steady_clock::now();
    IVemoAPI* a = api_acquire();
    ASSERT_NE(a, nullptr);
    IVemoAPI* b = api_acquire();
    EXPECT_EQ(a, b);
    EXPECT_EQ(gApiRefCount, 2u);
    EXPECT_EQ(gpApi, a);

    api_release();
    EXPECT_EQ(gApiRefCount, 1u);
    EXPECT_EQ(gpApi, a) << "still alive after the first release";
    _version_t v;
    EXPECT_EQ(a->getfullversion(&v), 15u);

    api_release();
    EXPECT_EQ(gApiRefCount, 0u);
    EXPECT_EQ(gpApi, nullptr);

    // Unmatched release does nothing.
    api_release();
    EXPECT_EQ(gApiRefCount, 0u);

    IVemoAPI* c = api_acquire();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(gApiRefCount, 1u);
    api_release();

    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500))
        << "acquiring without a device operation must not wait";
    EXPECT_FALSE(libusbLoaded()) << "acquiring without a device operation must not load libusb";
}

TEST(EntryPoints, FullVersion)
{
    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    _version_t v;
    std::memset(&v, 0x7F, sizeof v);
    EXPECT_EQ(api->getfullversion(&v), 15u);
    EXPECT_EQ(v.length, 15u);
    EXPECT_STREQ(v.version, "3.0.0.1119(DBG)");
    for (size_t i = 15; i < sizeof v.version; ++i)
        ASSERT_EQ(v.version[i], '\0') << i;
    api_release();
}

TEST(EntryPoints, UsbDelayIsStoredWithoutCheck)
{
    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    _error_msg_t msg;
    std::memset(&msg, 'x', sizeof msg);
    EXPECT_EQ(api->setusbreadwritedelay(150, &msg), 0u);
    EXPECT_STREQ(msg.text, "Success");
    EXPECT_EQ(api->setusbreadwritedelay(5000, nullptr), 0u);
    api_release();
}

TEST(EntryPoints, PrivateObjectOutsideTheCount)
{
    const auto start = std::chrono::steady_clock::now();
    IVemoAPI* own = vemoapi_alloc();
    ASSERT_NE(own, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(gApiRefCount, 0u);
    EXPECT_EQ(gpApi, nullptr);
    IVemoAPI* shared = api_acquire();
    EXPECT_NE(shared, own);
    api_release();
    vemoapi_dealloc(own);
    vemoapi_dealloc(nullptr);
    EXPECT_EQ(gApiRefCount, 0u);
}

} // namespace
