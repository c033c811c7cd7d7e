// libusb by its run-time name: a machine with only libusb's run-time package has no
// "libusb-1.0.so", just the versioned "libusb-1.0.so.0". The probe program runs in a mount
// namespace in which every file of the machine's libusb reads as empty, which the loader refuses
// like a missing one; a copy under the versioned name alone is on its search path.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "loaded_libusb.h"

namespace {

using testkit::libusbFiles;

struct ShellRun {
    int status = -1;
    std::string out;
};

ShellRun shell(const std::string& command)
{
    ShellRun run;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            run.out += buffer;
        run.status = pclose(pipe);
    }
    return run;
}

// `program` in a private mount namespace with the machine's libusb hidden and `searchDir` on
// the loader's path; `isolated` tells whether such a namespace could be made at all.
ShellRun withoutMachineLibusb(const std::string& searchDir, const std::string& program, bool& isolated)
{
    std::string script = "set -e; ";
    for (const std::string& file : libusbFiles())
        script += "mount --bind /dev/null '" + file + "'; ";
    std::string unshare = "/usr/bin/unshare ";
    if (geteuid() != 0)
        unshare += "--map-root-user ";
    unshare += "--mount --propagation private sh -c \"" + script;
    isolated = shell(unshare + "true\" 2>/dev/null").status == 0;
    return shell("LD_LIBRARY_PATH='" + searchDir + "' " + unshare + "exec '" + program +
                 "'\" 2>/dev/null");
}

TEST(LibusbName, VersionedNameAloneIsEnough)
{
    std::set<std::string> files = libusbFiles();
    ASSERT_FALSE(files.empty()) << "Debian's libusb is not installed";
    const char* tmp = std::getenv("XOL_TEST_TMP");
    std::filesystem::path dir = std::filesystem::path(tmp ? tmp : "/tmp") / "versioned-only";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(*files.begin(), dir / "libusb-1.0.so.0");

    bool isolated = false;
    ShellRun versioned = withoutMachineLibusb(dir.string(), XOL_LIBUSB_PROBE, isolated);
    if (!isolated)
        GTEST_SKIP() << "no mount namespace can be made here to hide libusb";
    // libusb may find no USB file system here; any result but "not found" shows it was loaded.
    EXPECT_NE(versioned.out, "10002\n");
    EXPECT_FALSE(versioned.out.empty());

    std::filesystem::remove(dir / "libusb-1.0.so.0");
    ShellRun none = withoutMachineLibusb(dir.string(), XOL_LIBUSB_PROBE, isolated);
    EXPECT_EQ(none.out, "10002\n");
}

} // namespace
