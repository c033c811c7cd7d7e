// The Windows transport's device-change window: its thread body, its window procedure and the
// process-wide objects they share.
#ifndef XOL_TOLVANE_WD_WIN_H
#define XOL_TOLVANE_WD_WIN_H

#include <mutex>

#include <windows.h>

// The hidden device-change window, set when created and never cleared.
extern HWND hotplug_window_handle;
// The device-interface notification registration, set when registered and never cleared.
extern HDEVNOTIFY hotplug_notify;
// Held while one device-change message is handled.
extern std::mutex hotplug_lock;

// Body of the transport's device-change thread; `context` is the implementation. Always 0.
unsigned ImplementHotPlug(void* context);
// Window procedure of the "xol_device" class.
LRESULT CALLBACK OnDeviceChange(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
