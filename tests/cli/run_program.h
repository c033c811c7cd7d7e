// Runs a program as a separate process in the current folder and collects what it wrote.
#ifndef XOL_TEST_RUN_PROGRAM_H
#define XOL_TEST_RUN_PROGRAM_H

#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch_dir.h"

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1; // exit status; -1 when the process did not exit by itself
};

namespace run_program_detail {

// One argument as the C runtime's command-line parser reads it back.
inline std::string quoted(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    size_t backslashes = 0;
    for (char ch : arg) {
        if (ch == '\\') {
            ++backslashes;
            continue;
        }
        q.append(ch == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        q += ch;
    }
    q.append(2 * backslashes, '\\');
    return q + "\"";
}

inline std::string nameOf(const std::string& entry)
{
    std::string name = entry.substr(0, entry.find('=', 1));
    for (char& ch : name)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return name;
}

// A handle the child inherits: a file written afresh, or the empty input.
inline HANDLE inheritable(const char* file, bool write)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(file, write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A text in UTF-8, or else in the ANSI code page, as UTF-16.
inline std::wstring wide(const std::string& text)
{
    UINT page = CP_UTF8;
    int size = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size == 0 && !text.empty()) {
        page = CP_ACP;
        size = MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    }
    std::wstring out(static_cast<size_t>(size), L'\0');
    if (size > 0)
        MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

} // namespace run_program_detail

// Standard output and error go to files of the current folder, so neither pipe can fill up;
// standard input is empty. extraEnv entries ("NAME=value") come on top of this process's
// environment. A run that takes longer than a minute is killed and counts as a failure.
inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& extraEnv = {})
{
    using namespace run_program_detail;
    std::string commandLine = quoted(program);
    for (const std::string& a : args)
        commandLine += " " + quoted(a);

    std::vector<std::string> names;
    for (const std::string& e : extraEnv)
        names.push_back(nameOf(e));
    std::string block;
    char* own = GetEnvironmentStringsA();
    for (const char* e = own; *e != '\0'; e += std::strlen(e) + 1)
        if (std::find(names.begin(), names.end(), nameOf(e)) == names.end())
            block.append(e).push_back('\0');
    FreeEnvironmentStringsA(own);
    for (const std::string& e : extraEnv)
        block.append(e).push_back('\0');
    block.push_back('\0');

    HANDLE in = inheritable("NUL", false);
    HANDLE out = inheritable("run.stdout", true);
    HANDLE err = inheritable("run.stderr", true);
    // The child reads its command line in UTF-16, as Windows hands it to every program.
    const std::wstring wideProgram = wide(program), wideLine = wide(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const BOOL started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
                         err != INVALID_HANDLE_VALUE &&
                         CreateProcessW(wideProgram.c_str(), std::wstring(wideLine).data(), nullptr,
                                        nullptr, TRUE, 0, block.data(), nullptr, &startup, &process);
    for (HANDLE h : {in, out, err})
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    if (!started)
        throw std::runtime_error("cannot start " + program);

    ProgramRun run;
    if (WaitForSingleObject(process.hProcess, 60 * 1000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    } else {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code))
            run.status = static_cast<int>(code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.out = ScratchDir::read("run.stdout");
    run.err = ScratchDir::read("run.stderr");
    return run;
}

#else

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"

extern char** environ;

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1; // exit status; -1 when the process did not exit normally
};

// Starts the program as a separate process in the current folder; standard output and error
// go to files of that folder, so neither pipe can fill up. extraEnv entries ("NAME=value") come
// on top of this process's environment.
inline pid_t startProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnv = {})
{
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e)
        envStore.emplace_back(*e);
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "run.stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "run.stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program);
    return pid;
}

// Waits for a program startProgram started and collects what it wrote. A run that takes longer
// than a minute is killed and counts as a failure.
inline ProgramRun finishProgram(pid_t pid)
{
    ProgramRun run;
    int wstatus = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(wstatus))
        run.status = WEXITSTATUS(wstatus);
    run.out = ScratchDir::read("run.stdout");
    run.err = ScratchDir::read("run.stderr");
    return run;
}

inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& extraEnv = {})
{
    return finishProgram(startProgram(program, args, extraEnv));
}

#endif // _WIN32

// Lines as the program's standard streams write them: on Windows the C runtime's text mode puts
// a carriage return before every line feed.
inline std::string written(const std::string& text)
{
#ifdef _WIN32
    std::string out;
    for (char ch : text)
        out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    return out;
#else
    return text;
#endif
}

// libusb's -4 as the program prints a status: the whole unsigned long, 64 bits on Linux and 32
// on Windows.
inline const std::string kNoDevice =
    sizeof(unsigned long) == 8 ? "0xfffffffffffffffc" : "0xfffffffc";

#endif
