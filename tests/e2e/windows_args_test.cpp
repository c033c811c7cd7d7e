// Arguments as Windows hands them to xolcli, in UTF-16: a character the ANSI code page lacks must
// not become a look-alike that names another file.
#include <gtest/gtest.h>

#include <windows.h>

#include "e2e_support.h"

namespace e2e {
namespace {

TEST(WindowsArguments, OutputPathBeyondTheCodePageNamesNoOtherFile)
{
    struct Case {
        const char* name;
        const char* given; // UTF-8
        const char* lookAlike;
    };
    const Case cases[] = {
        {"letter", u8"t\u014dken.bin", "token.bin"},
        {"division slash", u8"x\u2215token.bin", "x/token.bin"},
    };
    Bench bench(Bus::Standin);
    bench.plug(xolBoard());
    CreateDirectoryA("x", nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir::write(c.lookAlike, "kept");
        const ProgramRun run = bench.run({"--command", "readtoken", "--slot", "3", "--path", c.given});
        EXPECT_EQ(ScratchDir::read(c.lookAlike), "kept") << run.out << run.err;
        EXPECT_EQ(run.status, 1) << run.out << run.err;
    }
}

} // namespace
} // namespace e2e
