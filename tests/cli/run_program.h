// Runs a program as a separate process in the current folder and collects what it wrote.
#ifndef XOL_TEST_RUN_PROGRAM_H
#define XOL_TEST_RUN_PROGRAM_H

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"

#ifndef _WIN32
extern char** environ;
#endif

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1; // exit status; -1 when the process did not exit normally
};

namespace runprogram {

constexpr auto kLimit = std::chrono::minutes(1);

#ifdef _WIN32
// One argument as the C run-time's command-line parser splits it again: quoted when it holds a
// blank or a quote or is empty, with quotes and the backslashes before them escaped.
inline std::string quoted(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

// This process's environment with extraEnv on top, as a block for CreateProcess.
inline std::string environmentBlock(const std::vector<std::string>& extraEnv)
{
    auto nameOf = [](const std::string& entry) {
        std::string name = entry.substr(0, entry.find('=', 1));
        for (char& c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return name;
    };
    std::vector<std::string> entries;
    char* own = GetEnvironmentStringsA();
    for (const char* e = own; e && *e; e += std::strlen(e) + 1)
        entries.emplace_back(e);
    FreeEnvironmentStringsA(own);
    for (const std::string& extra : extraEnv) {
        const std::string name = nameOf(extra);
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::string& e) { return nameOf(e) == name; }),
                      entries.end());
        entries.push_back(extra);
    }
    std::string block;
    for (const std::string& e : entries)
        block += e + '\0';
    return block + '\0';
}

inline HANDLE outputFile(const char* name)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error(std::string("cannot create ") + name);
    return h;
}

// What the program wrote in text mode, with its line ends as written elsewhere.
inline std::string textOf(const std::string& file)
{
    std::string bytes = ScratchDir::read(file);
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];
    return text;
}

inline int spawnAndWait(const std::string& program, const std::vector<std::string>& args,
                        const std::vector<std::string>& extraEnv)
{
    std::string commandLine = quoted(program);
    for (const std::string& a : args)
        commandLine += " " + quoted(a);
    std::string env = environmentBlock(extraEnv);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outputFile("run.stdout");
    startup.hStdError = outputFile("run.stderr");
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, env.data(), nullptr, &startup, &process);
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    if (!started)
        throw std::runtime_error("cannot start " + program);

    const DWORD limit = static_cast<DWORD>(std::chrono::milliseconds(kLimit).count());
    int status = -1;
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, limit) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &code)) {
        status = static_cast<int>(code);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}
#else
inline std::string textOf(const std::string& file)
{
    return ScratchDir::read(file);
}

inline int spawnAndWait(const std::string& program, const std::vector<std::string>& args,
                        const std::vector<std::string>& extraEnv)
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

    int wstatus = 0;
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}
#endif

} // namespace runprogram

// Standard output and error go to files of the current folder, so neither pipe can fill up.
// extraEnv entries ("NAME=value") come on top of this process's environment. A run that takes
// longer than a minute is killed and counts as a failure.
inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& extraEnv = {})
{
    ProgramRun run;
    run.status = runprogram::spawnAndWait(program, args, extraEnv);
    run.out = runprogram::textOf("run.stdout");
    run.err = runprogram::textOf("run.stderr");
    return run;
}

#endif
