// xolcli: runs one library operation per invocation.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#endif

#include "cli_parser.h"

namespace {

const char* const kVersion = "3.0.0.1119(DBG)";

#ifdef _WIN32
struct StartupInfo {
    int newMode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, StartupInfo* info);

// The arguments in the ANSI code page, as the library takes its texts, made from the UTF-16 ones
// Windows keeps: the runtime's own narrow arguments put a look-alike for a character the code
// page lacks (an o with a macron becomes an o, a division slash a folder's), which would name
// another file. Here such a character becomes '?', which no file name holds.
std::vector<std::string> ansiArguments()
{
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    StartupInfo info{0};
    std::vector<std::string> args;
    if (__wgetmainargs(&count, &wide, &env, 0, &info) != 0 || wide == nullptr)
        return args;
    // UTF-8 and GB18030 spell every character and refuse the no-look-alike flag.
    const UINT page = GetACP();
    const DWORD flags = page == CP_UTF8 || page == 54936 ? 0 : WC_NO_BEST_FIT_CHARS;
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_ACP, flags, wide[i], -1, nullptr, 0, nullptr,
                                             nullptr);
        // One argument that cannot be converted leaves the runtime's own arguments in place.
        if (size <= 0)
            return {};
        std::string arg(static_cast<size_t>(size), '\0');
        if (WideCharToMultiByte(CP_ACP, flags, wide[i], -1, &arg[0], size, nullptr, nullptr) != size)
            return {};
        arg.resize(arg.size() - 1);
        args.push_back(arg);
    }
    return args;
}
#endif

#ifndef _WIN32
// A standard descriptor the caller closed is given an end that takes nothing: else the log file
// would take its number, and `--path /dev/stdout` would write the content into the log.
void holdStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd)
            ::close(held);
    }
}
#endif

} // namespace

int main(int argc, char** argv)
{
#ifndef _WIN32
    holdStandardDescriptors();
#endif
    std::cout << "CLI version: " << kVersion << std::endl;
    CliParser parser;
#ifdef _WIN32
    // Kept, with the pointers into them, until the process ends, as the parser is.
    static std::vector<std::string> args = ansiArguments();
    static std::vector<char*> pointers;
    if (!args.empty()) {
        for (std::string& arg : args)
            pointers.push_back(&arg[0]);
        pointers.push_back(nullptr);
        argc = static_cast<int>(args.size());
        argv = pointers.data();
    }
#endif
    // The parser stays alive until the process ends.
    std::exit(parser.parse(argc, argv) == 0 ? 0 : 1);
}
