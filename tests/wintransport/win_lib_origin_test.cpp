// Run from the folders of program_folder.cmake: the only libusb-1.0.dll the transport may load is
// the one beside the program, and that one it must load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "exceptions.h"
#include "tolvane_libusb.h"

namespace {
std::wstring moduleFolder(HMODULE module)
{
    std::vector<wchar_t> path(32768);
    DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    std::wstring text(path.data(), length);
    return text.substr(0, text.find_last_of(L"\\/"));
}

std::string narrow(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    return out;
}
} // namespace

TEST(WinTransportOrigin, LoadsTheLibusbBesideTheProgramOnly)
{
    const std::wstring folder = moduleFolder(nullptr);
    const bool beside = GetFileAttributesW((folder + L"\\libusb-1.0.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
    try {
        TolvaneWdAPI transport;
        HMODULE loaded = GetModuleHandleW(L"libusb-1.0.dll");
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(narrow(moduleFolder(loaded)), narrow(folder)) << "libusb loaded from another folder";
        transport.Deinit();
        EXPECT_TRUE(beside) << "constructed without libusb-1.0.dll beside " << narrow(folder);
    } catch (const VemoException& e) {
        EXPECT_FALSE(beside) << "libusb-1.0.dll beside " << narrow(folder) << " not loaded: " << e.what();
        EXPECT_EQ(e.getErrorCode(), 0x10002u);
    }
}
