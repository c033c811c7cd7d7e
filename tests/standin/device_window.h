// Windows only: finds this process's device-change window, the one the transport makes. Wine
// shows every process of its prefix one desktop, and the suites that run side by side (xolcli
// among them) have windows of the same class.
#ifndef XOL_TEST_STANDIN_DEVICE_WINDOW_H
#define XOL_TEST_STANDIN_DEVICE_WINDOW_H

#include <chrono>
#include <thread>

#include <windows.h>

inline HWND ownDeviceWindow()
{
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, "xol_device", nullptr)) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return window;
    }
    return nullptr;
}

// A transport just started may not have made its window yet: null when none comes in 10 s.
inline HWND waitForDeviceWindow()
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    HWND window = nullptr;
    while ((window = ownDeviceWindow()) == nullptr && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return window;
}

#endif
