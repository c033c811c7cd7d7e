// xolcli: runs one library operation per invocation.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
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
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide[i], -1, nullptr, 0,
                                             nullptr, nullptr);
        std::string arg(static_cast<size_t>(size > 0 ? size : 1), '\0');
        if (size > 0)
            WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide[i], -1, &arg[0], size, nullptr,
                                nullptr);
        arg.resize(arg.size() - 1);
        args.push_back(arg);
    }
    return args;
}
#endif

} // namespace

int main(int argc, char** argv)
{
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
