// A bench for running the installed xolcli as a user does: a fresh folder, the boards of the
// simulated bus in state files there, and one process per command line.
#ifndef XOL_TEST_E2E_SUPPORT_H
#define XOL_TEST_E2E_SUPPORT_H

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "run_program.h"
#include "scenario.h"
#include "scratch_dir.h"
#include "test_bytes.h"
#include "xol_device_state.h"

namespace e2e {

// Which libusb the program loads: Debian's over umockdev's simulated kernel, the stand-in, or
// Debian's on the machine as it is (no simulated device). On Windows the stand-in beside the
// installed program is the only libusb: every bus but Real is the stand-in, and Real is the
// stand-in without boards. XOL_E2E_BUS=standin makes it so on Linux too, for the
// ThreadSanitizer run: umockdev and GLib are not instrumented.
enum class Bus { Umockdev, Standin, Real };

inline Bus busOnThisRun(Bus bus)
{
    const char* only = std::getenv("XOL_E2E_BUS");
    return bus == Bus::Umockdev && only != nullptr && std::string(only) == "standin" ? Bus::Standin : bus;
}

inline std::string setting(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr)
        throw std::runtime_error(std::string(name) + " is not set: run the tests through ctest");
    return value;
}

#ifdef _WIN32
inline std::string xolcliPath() { return setting("XOL_E2E_PREFIX") + "/bin/xolcli.exe"; }
#else
inline std::string xolcliPath() { return setting("XOL_E2E_PREFIX") + "/bin/xolcli"; }
#endif
inline std::string sample(const std::string& name) { return setting("XOL_E2E_SAMPLES") + "/" + name; }

// What every run prints first, and the rest of its standard output.
inline std::string banner(const std::string& out)
{
    return written("CLI version: 3.0.0.1119(DBG)\n" + out);
}

// The three lines of a failed operation on standard error.
inline std::string failure(const std::string& op, const std::string& code, const std::string& text)
{
    return written(op + " procedure failed\nError code: " + code + "\nError message: " + text + "\n");
}

// What the library says of a file it cannot open for reading.
inline std::string cannotOpen(const std::string& path)
{
    return "Cannot open \"" + path + "\" for reading: No such file or directory";
}

class Bench {
public:
    explicit Bench(Bus bus = Bus::Umockdev) : bus(busOnThisRun(bus)) {}

    // Attaches a board; returns its number.
    size_t plug(const xolsim::XolDeviceState& state, ScenarioDevice where = ScenarioDevice())
    {
        where.stateFile = dir.path("board" + std::to_string(scenario.devices.size()) + ".json");
        xolsim::saveState(state, where.stateFile);
        scenario.devices.push_back(where);
        return scenario.devices.size() - 1;
    }
    // The board as the last run left it.
    xolsim::XolDeviceState board(size_t n = 0) const
    {
        return xolsim::loadState(scenario.devices.at(n).stateFile);
    }
    void setBoard(const xolsim::XolDeviceState& state, size_t n = 0)
    {
        xolsim::saveState(state, scenario.devices.at(n).stateFile);
    }
    ScenarioDevice& where(size_t n = 0) { return scenario.devices.at(n); }

    // The program, its arguments and the environment it gets on top of this process's;
    // `extraEnv` ("NAME=value") is xolcli's own.
    struct Command {
        std::string program;
        std::vector<std::string> args;
        std::vector<std::string> env;
    };
    Command command(const std::vector<std::string>& args,
                    const std::vector<std::string>& extraEnv = {})
    {
        std::vector<std::string> env = extraEnv;
        if (bus != Bus::Real) {
            const std::string file = dir.path("scenario.json");
            saveScenario(scenario, file);
            env.push_back("XOL_SCENARIO=" + file);
        }
#ifndef _WIN32
        std::string preload = setting("XOL_E2E_ASAN_RUNTIME");
        auto preloadAlso = [&preload](const std::string& lib) {
            preload += (preload.empty() ? "" : " ") + lib;
        };
        if (bus == Bus::Umockdev) {
            preloadAlso(setting("XOL_E2E_UMOCKDEV_PRELOAD"));
            preloadAlso(setting("XOL_E2E_BED_UMOCKDEV"));
        } else if (bus == Bus::Standin) {
            preloadAlso(setting("XOL_E2E_BED_STANDIN"));
            env.push_back("LD_LIBRARY_PATH=" + setting("XOL_E2E_STANDIN_DIR"));
        }
        if (!preload.empty())
            env.push_back("LD_PRELOAD=" + preload);
        if (!runAs.empty()) {
            // The environment is set after the change of user, so that nothing is preloaded
            // into the program that changes it.
            std::vector<std::string> wrapped(runAs.begin() + 1, runAs.end());
            wrapped.insert(wrapped.end(), {"--", "/usr/bin/env"});
            wrapped.insert(wrapped.end(), env.begin(), env.end());
            wrapped.push_back(xolcliPath());
            wrapped.insert(wrapped.end(), args.begin(), args.end());
            return {runAs.front(), wrapped, {}};
        }
#endif
        return {xolcliPath(), args, env};
    }

    ProgramRun run(const std::vector<std::string>& args)
    {
        const Command c = command(args);
        return runProgram(c.program, c.args, c.env);
    }

    // A program and its options that start xolcli as another user, e.g. setpriv's; empty: this
    // process's user.
    std::vector<std::string> runAs;
    ScratchDir dir;

private:
    Bus bus;
    Scenario scenario;
};

// Bytes of a file, or of a text.
inline xolsim::Bytes bytesOf(const std::string& text) { return xolsim::Bytes(text.begin(), text.end()); }
inline xolsim::Bytes fileBytes(const std::string& path) { return bytesOf(ScratchDir::read(path)); }
inline void writeFile(const std::string& path, const xolsim::Bytes& bytes)
{
    ScratchDir::write(path, std::string(bytes.begin(), bytes.end()));
}

using testkit::pattern;

// The board most tests use: in XoL context, with identification values, two tokens, an eMMC
// device with two boot partitions and an SPI flash.
const char* const kBoardId = "101112131415161718191a1b1c1d1e1f";

inline xolsim::XolDeviceState xolBoard()
{
    xolsim::XolDeviceState s;
    s.context = 1;
    s.currentOperation = 3;
    for (int i = 0; i < 16; ++i)
        s.platformId[i] = static_cast<uint8_t>(0x10 + i);
    s.oemPlatformId = {0x44, 0x33, 0x22, 0x11};
    s.idFlags = 0x5;
    s.imageErrors = {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0xab};
    s.tokenPartId = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab};
    s.nonce = 0x1234;
    s.trustedTime = 0x5678;
    s.deviceId = 0x9abc;
    s.tokens[3] = pattern(100, 3);
    s.tokens[7] = pattern(40, 7);
    xolsim::StorageDevice& emmc = s.device(2, 0);
    emmc.cardInfo = xolsim::Bytes(548);
    emmc.media[0] = pattern(16 * 512, 10);
    emmc.media[1] = pattern(8 * 512, 11);
    emmc.maxChunk = 2;
    xolsim::StorageDevice& spi = s.device(1, 0);
    spi.cardInfo = {2, 0x05, 0x06};
    spi.media[0] = pattern(4 * 512, 12);
    return s;
}

// The same board before its recovery module: in ROM context.
inline xolsim::XolDeviceState romBoard()
{
    xolsim::XolDeviceState s = xolBoard();
    s.context = 0;
    return s;
}

// Images whose module directory names one module, which fills the image's end.
inline xolsim::Bytes recoveryModule() { return testkit::moduleImage({{"xolmod", 3000}}, 21, 500); }
inline xolsim::Bytes firmwareImage() { return testkit::moduleImage({{"rcipifwi", 70000}}, 22, 20000); }

// Host messages the board refused; none is expected of a run.
inline std::string refusals(const xolsim::XolDeviceState& s)
{
    std::string all;
    for (const std::string& e : s.hostErrors)
        all += e + "\n";
    return all;
}

// A test name made of a case's name, for the tables of cases.
struct CaseName {
    template <class Info> std::string operator()(const Info& info) const
    {
        std::string n;
        for (char ch : std::string(info.param.name))
            n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return n;
    }
};

} // namespace e2e

#endif
