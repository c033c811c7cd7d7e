// libvemoapi.dll loaded, used and freed again and again by a host, with the stand-in beside it:
// each release must stop the transport's threads and window before the code goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <windows.h>
#include <dbt.h>

#include "device_window.h"
#include "standin_control.h"
#include "vemoapi.h"

namespace {
constexpr GUID deviceClass = {0x6B1D93A2, 0x4C57, 0x4E0A, {0x9F, 0x3B, 0x2D, 0x8E, 0x71, 0xC0, 0x5A, 0x46}};

void deliver(HWND window, WPARAM code)
{
    DEV_BROADCAST_DEVICEINTERFACE_A broadcast{};
    broadcast.dbcc_size = sizeof broadcast;
    broadcast.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast.dbcc_classguid = deviceClass;
    SendMessageA(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&broadcast));
}

template <typename F>
F* entry(HMODULE library, const char* name)
{
    return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}
} // namespace

TEST(WinLibraryCycle, LoadUseAndFreeRepeatedly)
{
    standin::reset();
    HINSTANCE program = GetModuleHandleA(nullptr);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        HMODULE library = LoadLibraryA("libvemoapi.dll");
        ASSERT_NE(library, nullptr);
        auto acquire = entry<decltype(api_acquire)>(library, "api_acquire");
        auto release = entry<decltype(api_release)>(library, "api_release");
        ASSERT_NE(acquire, nullptr);
        ASSERT_NE(release, nullptr);
        IVemoAPI* api = acquire();
        ASSERT_NE(api, nullptr);
        _soc_device_info_arr_t targets{};
        EXPECT_EQ(api->getavailabletargets(&targets, nullptr), 0u);
        HWND window = waitForDeviceWindow();
        ASSERT_NE(window, nullptr);
        deliver(window, DBT_DEVICEARRIVAL);
        release();
        EXPECT_EQ(ownDeviceWindow(), nullptr);
        WNDCLASSA registered{};
        EXPECT_FALSE(GetClassInfoA(program, "xol_device", &registered));
        EXPECT_TRUE(FreeLibrary(library));
        EXPECT_FALSE(standin::initialised());
    }
}

// The last release while boards come and go and their messages stream in: it returns, and
// leaves no window and no libusb behind.
TEST(WinLibraryCycle, ReleaseWhileDeviceChangesStreamIn)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        standin::reset();
        HMODULE library = LoadLibraryA("libvemoapi.dll");
        ASSERT_NE(library, nullptr);
        auto acquire = entry<decltype(api_acquire)>(library, "api_acquire");
        auto release = entry<decltype(api_release)>(library, "api_release");
        IVemoAPI* api = acquire();
        ASSERT_NE(api, nullptr);
        // The transport starts with the first operation.
        _soc_device_info_arr_t targets{};
        EXPECT_EQ(api->getavailabletargets(&targets, nullptr), 0u);
        ASSERT_NE(waitForDeviceWindow(), nullptr);
        std::atomic<bool> released{false};
        std::thread stream([&] {
            std::vector<standin::DeviceId> plugged;
            for (int i = 0; !released.load(); ++i) {
                const bool arrival = i % 3 != 2 || plugged.empty();
                if (arrival) {
                    plugged.push_back(standin::plug(SimDeviceDesc::bulk(0x3C11), nullptr));
                } else {
                    standin::unplug(plugged.front());
                    plugged.erase(plugged.begin());
                }
                if (HWND window = ownDeviceWindow())
                    deliver(window, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + 100 * round));
        const auto start = std::chrono::steady_clock::now();
        release();
        const auto took = std::chrono::steady_clock::now() - start;
        released.store(true);
        stream.join();
        EXPECT_LT(took, std::chrono::seconds(30));
        EXPECT_EQ(ownDeviceWindow(), nullptr);
        EXPECT_TRUE(FreeLibrary(library));
        EXPECT_FALSE(standin::initialised());
    }
    standin::reset();
}
