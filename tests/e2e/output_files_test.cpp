// The output files of readtoken and readbootmedia as an ordinary user meets them: a folder the
// user may not add to, a sticky folder, another user's file, links, a full file system and a run
// killed while it writes. Run by root, the test prepares each target and runs xolcli as the user
// nobody (uid 65534) with setpriv; each case checks the target's bytes, owner and mode, and what
// is left beside it and in the temporary folder.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using xolsim::Bytes;
using xolsim::XolDeviceState;

constexpr unsigned kUser = 65534;  // who runs xolcli
constexpr unsigned kOther = 65533; // another user, owner of some targets
constexpr unsigned kRoot = 0;

bool isRoot() { return ::geteuid() == 0; }
// Who runs xolcli: nobody under root, else this process's user.
unsigned user() { return isRoot() ? kUser : ::geteuid(); }
unsigned userGroup() { return isRoot() ? kUser : ::getegid(); }

struct Owner {
    unsigned uid, gid, mode;
    bool operator==(const Owner& o) const { return uid == o.uid && gid == o.gid && mode == o.mode; }
};
std::ostream& operator<<(std::ostream& os, const Owner& o)
{
    return os << "uid " << o.uid << " gid " << o.gid << " mode 0" << std::oct << o.mode << std::dec;
}

Owner ownerOf(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return {~0u, ~0u, 0};
    return {st.st_uid, st.st_gid, static_cast<unsigned>(st.st_mode & 07777)};
}

void give(const std::string& path, unsigned uid, unsigned mode)
{
    const unsigned gid = uid == user() ? userGroup() : uid;
    ASSERT_EQ(::lchown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

unsigned newFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Under root, whether nobody can reach the installed program: a folder on its path may be closed
// to others. Where it cannot, the test is skipped, and under CI (CI=true) it fails.
bool userCanRunXolcli()
{
    if (!isRoot())
        return true;
    const ProgramRun probe =
        runProgram("/usr/bin/setpriv", {"--reuid=" + std::to_string(kUser), "--regid=" +
                                        std::to_string(kUser), "--clear-groups", "--",
                                        "/usr/bin/test", "-x", xolcliPath()});
    return probe.status == 0;
}
#define REQUIRE_USER_CAN_RUN_XOLCLI()                                                          \
    do {                                                                                       \
        if (!userCanRunXolcli()) {                                                             \
            const char* ci = std::getenv("CI");                                                \
            if (ci != nullptr && std::string(ci) == "true")                                    \
                FAIL() << "the user nobody cannot reach " << xolcliPath();                     \
            GTEST_SKIP() << "the user nobody cannot reach " << xolcliPath();                   \
        }                                                                                      \
    } while (false)

// The board of these tests: two tokens, and `mib` MiB of boot media in eMMC partition 1 (64
// blocks when 0).
XolDeviceState board(size_t mib = 0)
{
    XolDeviceState s = xolBoard();
    s.device(2, 0).media[1] = pattern(mib > 0 ? mib << 20 : 64 * 512, 13);
    s.device(2, 0).maxChunk = 64;
    return s;
}

// One folder of targets, `t`, in the bench's folder, and the bench's folder and temporary folder
// handed to the user who runs xolcli.
class Targets {
public:
    explicit Targets(Bench& bench) : bench(bench)
    {
        fs::create_directories(dir());
        fs::create_directories(tmp());
        if (isRoot())
            bench.runAs = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kUser),
                           "--regid=" + std::to_string(kUser), "--clear-groups"};
        give(bench.dir.path("."), user(), 0755);
        give(tmp(), user(), 0755);
        give(bench.dir.path("board0.json"), user(), 0644);
    }
    ~Targets()
    {
        if (mounted)
            ::umount2(dir().c_str(), MNT_DETACH);
        ::chmod(dir().c_str(), 0755);
    }

    std::string dir() const { return bench.dir.path("t"); }
    std::string tmp() const { return bench.dir.path("tmp"); }
    std::string path(const std::string& name) const { return dir() + "/" + name; }

    // Makes `t` a small file system of its own; false where it cannot be mounted.
    bool mountSmall()
    {
        mounted = ::mount("tmpfs", dir().c_str(), "tmpfs", 0, "size=256k") == 0;
        return mounted;
    }
    void fill()
    {
        std::ofstream filler(path("filler"), std::ios::binary);
        const std::string page(4096, 'f');
        while (filler.write(page.data(), page.size()))
            ;
    }

    // xolcli, with `tmp` its temporary folder, run by the user or by this process's user.
    Bench::Command command(const std::vector<std::string>& args, bool byUser = true)
    {
        const std::vector<std::string> as = bench.runAs;
        if (!byUser)
            bench.runAs.clear();
        Bench::Command c = bench.command(args, {"TMPDIR=" + tmp()});
        bench.runAs = as;
        return c;
    }
    ProgramRun run(const std::vector<std::string>& args, bool byUser = true)
    {
        const Bench::Command c = command(args, byUser);
        return runProgram(c.program, c.args, c.env);
    }

private:
    Bench& bench;
    bool mounted = false;
};

std::vector<std::string> readMedia(const std::string& path, const char* part = "1")
{
    return {"--command", "readbootmedia", "--path", path, "--device", "2", "--idx", "0", "--part",
            part, "--start", "0", "--blocks", "64"};
}
std::vector<std::string> readToken(const std::string& path)
{
    return {"--command", "readtoken", "--path", path, "--slot", "3"};
}

struct Case {
    const char* name;
    bool byUser;      // run by the user, else by root
    bool needsRoot;   // preparing it takes root
    // Prepares the targets; returns the path given to xolcli and the file it should write.
    std::function<std::pair<std::string, std::string>(Targets&)> prepare;
    // Who owns the file afterwards, and its mode (a new file's: as the umask leaves it).
    enum Who { theUser, other, newFile } who;
    unsigned mode;
    std::vector<std::string> beside; // what `t` holds afterwards
};

const Bytes kOld = pattern(3000, 40);

// Prepares `t/out.bin` holding the old content, of `owner` (kUser: whoever runs xolcli) and
// `mode`, and gives the folder `t` to `folderOwner` with `folderMode` (0: as made, root's).
std::function<std::pair<std::string, std::string>(Targets&)>
oldFile(unsigned owner, unsigned mode, unsigned folderOwner = 0, unsigned folderMode = 0)
{
    return [=](Targets& t) {
        const auto who = [](unsigned id) { return id == kUser ? user() : id; };
        writeFile(t.path("out.bin"), kOld);
        give(t.path("out.bin"), who(owner), mode);
        if (folderMode != 0)
            give(t.dir(), who(folderOwner), folderMode);
        return std::pair{t.path("out.bin"), t.path("out.bin")};
    };
}

const Case kCases[] = {
    {"read-only folder, writable file", true, false, oldFile(kUser, 0640, kUser, 0555),
     Case::theUser, 0640, {"out.bin"}},
    {"sticky folder, another user's file", true, true, oldFile(kOther, 0666, kRoot, 01777),
     Case::other, 0666, {"out.bin"}},
    {"another user's file, run by root", false, true, oldFile(kUser, 0600), Case::theUser, 0600,
     {"out.bin"}},
    {"another user's file the user may write", true, true, oldFile(kOther, 0666, kUser, 0755),
     Case::other, 0666, {"out.bin"}},
    {"link to an existing file", true, false,
     [](Targets& t) {
         fs::create_directories(t.path("real"));
         writeFile(t.path("real/out.bin"), kOld);
         give(t.path("real/out.bin"), user(), 0640);
         give(t.path("real"), user(), 0755);
         fs::create_symlink("real/out.bin", t.path("link.bin"));
         give(t.dir(), user(), 0755);
         return std::pair{t.path("link.bin"), t.path("real/out.bin")};
     },
     Case::theUser, 0640, {"link.bin", "real"}},
    {"link to a missing file", true, false,
     [](Targets& t) {
         fs::create_directories(t.path("real"));
         give(t.path("real"), user(), 0755);
         fs::create_symlink("real/out.bin", t.path("link.bin"));
         give(t.dir(), user(), 0755);
         return std::pair{t.path("link.bin"), t.path("real/out.bin")};
     },
     Case::newFile, 0, {"link.bin", "real"}},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class OutputFileTarget : public ::testing::TestWithParam<Case> {};

// A read the board refuses leaves the target as it was; a boot-media read and a token read then
// replace it, keeping its owner, group and mode. Nothing else is left beside it or in the
// temporary folder.
TEST_P(OutputFileTarget, IsWrittenOnlyWhole)
{
    const Case& c = GetParam();
    if (c.needsRoot && !isRoot())
        GTEST_SKIP() << "only root can give a file to another user";
    Bench bench(Bus::Standin);
    REQUIRE_USER_CAN_RUN_XOLCLI();
    bench.plug(board());
    Targets t(bench);
    const auto [given, file] = c.prepare(t);
    const bool existed = fs::exists(file);
    const Owner before = ownerOf(file);
    const Owner after = c.who == Case::other     ? Owner{kOther, kOther, c.mode}
                        : c.who == Case::newFile ? Owner{user(), userGroup(), newFileMode()}
                                                 : Owner{user(), userGroup(), c.mode};
    const auto leftBeside = [&] {
        EXPECT_EQ(filesIn(t.dir()), c.beside);
        if (file != t.path("out.bin")) {
            EXPECT_EQ(filesIn(fs::path(file).parent_path().string()),
                      existed || fs::exists(file) ? std::vector<std::string>{"out.bin"}
                                                  : std::vector<std::string>{});
        }
        EXPECT_EQ(filesIn(t.tmp()), std::vector<std::string>{});
        if (given != file) {
            EXPECT_TRUE(fs::is_symlink(given)) << "the link stays a link";
        }
    };

    ProgramRun run = t.run(readMedia(given, "5"), c.byUser);
    EXPECT_EQ(run.err, failure("READ BOOT MEDIA", "0x8000002e", "Invalid partition"));
    EXPECT_EQ(fs::exists(file), existed);
    if (existed) {
        EXPECT_TRUE(fileBytes(file) == kOld) << "now " << fileBytes(file).size() << " bytes";
        EXPECT_EQ(ownerOf(file), before);
    }
    leftBeside();

    run = t.run(readMedia(given), c.byUser);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const Bytes media = bench.board().storage.at({2, 0}).media.at(1);
    EXPECT_TRUE(fileBytes(file) == Bytes(media.begin(), media.begin() + 64 * 512));
    EXPECT_EQ(ownerOf(file), after);
    leftBeside();

    run = t.run(readToken(given), c.byUser);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(fileBytes(file) == pattern(100, 3));
    EXPECT_EQ(ownerOf(file), after);
    leftBeside();
}

INSTANTIATE_TEST_SUITE_P(Targets, OutputFileTarget, ::testing::ValuesIn(kCases), CaseName());

// On a full file system the read fails with the reason and keeps the file that was there; with
// room again it is replaced.
TEST(OutputFileFull, KeepsTheFileThatWasThere)
{
    if (!isRoot())
        GTEST_SKIP() << "only root can mount the small file system";
    Bench bench(Bus::Standin);
    REQUIRE_USER_CAN_RUN_XOLCLI();
    bench.plug(board());
    Targets t(bench);
    if (!t.mountSmall())
        GTEST_SKIP() << "no tmpfs can be mounted here";
    writeFile(t.path("out.bin"), kOld);
    give(t.path("out.bin"), user(), 0640);
    give(t.dir(), user(), 0755);
    t.fill();
    for (const auto& args : {readMedia(t.path("out.bin")), readToken(t.path("out.bin"))}) {
        SCOPED_TRACE(args[1]);
        const ProgramRun run = t.run(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("Error message: Cannot write \"" + t.path("out.bin") +
                               "\": No space left on device\n"),
                  std::string::npos)
            << run.err;
        EXPECT_TRUE(fileBytes(t.path("out.bin")) == kOld);
        EXPECT_EQ(ownerOf(t.path("out.bin")), (Owner{kUser, kUser, 0640}));
        EXPECT_EQ(filesIn(t.dir()), (std::vector<std::string>{"filler", "out.bin"}));
        EXPECT_EQ(filesIn(t.tmp()), std::vector<std::string>{});
    }
    fs::remove(t.path("filler"));
    const ProgramRun run = t.run(readToken(t.path("out.bin")));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fileBytes(t.path("out.bin")) == pattern(100, 3));
    EXPECT_EQ(ownerOf(t.path("out.bin")), (Owner{kUser, kUser, 0640}));
    EXPECT_EQ(filesIn(t.dir()), std::vector<std::string>{"out.bin"});
}

// Standard output on a file, named as /dev/stdout: the content goes through the descriptor,
// after what xolcli printed before it and before what it prints after, none of it lost; the
// file, opened for xolcli by this process (under root: root's, which the user could not open
// by its name), is written all the same.
TEST(OutputFileStdout, IsWrittenThroughTheDescriptor)
{
    Bench bench(Bus::Standin);
    REQUIRE_USER_CAN_RUN_XOLCLI();
    bench.plug(board());
    Targets t(bench);
    for (const auto& args : {readToken("/dev/stdout"), readMedia("/dev/stdout")}) {
        SCOPED_TRACE(args[1]);
        const ProgramRun run = t.run(args);
        ASSERT_EQ(run.status, 0) << run.err;
        const Bytes expected = args[1] == "readtoken" ? pattern(100, 3) : pattern(64 * 512, 13);
        const std::string content(expected.begin(), expected.end());
        const size_t at = run.out.find(content);
        ASSERT_NE(at, std::string::npos) << run.out.size() << " bytes written";
        EXPECT_EQ(run.out.rfind("CLI version: ", 0), 0u) << "what came before is lost";
        EXPECT_NE(run.out.substr(at + content.size()).find("procedure success\n"),
                  std::string::npos)
            << "what came after is lost";
        EXPECT_EQ(filesIn(t.tmp()), std::vector<std::string>{});
    }
}

// With standard output closed, /dev/stdout names nothing the caller opened for writing: the run
// fails, and the content reaches no file xolcli opened itself (the log took the lowest number).
TEST(OutputFileStdout, ClosedIsNotWrittenTo)
{
    Bench bench(Bus::Standin);
    bench.plug(board());
    const Bench::Command c = bench.command(readToken("/dev/stdout"));
    std::vector<std::string> args{"-c", "exec \"$0\" \"$@\" >&-", c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramRun run = runProgram("/bin/sh", args, c.env);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, failure("READ TOKEN", "0x30000",
                               "Cannot open \"/dev/stdout\" for writing: Bad file descriptor"));
    const Bytes token = pattern(100, 3);
    const std::string log = ScratchDir::read(bench.dir.path("debug.log"));
    EXPECT_EQ(log.find(std::string(token.begin(), token.end())), std::string::npos)
        << "the token went into the log";
}

// Root's read into a path in a folder everyone may add to but only owners remove from (as /tmp),
// where another user (nobody) put a link to root's standard output or to a pipe only root may
// open: the link is not followed, whatever the system's own rule for such links is set to, and
// nothing of the content reaches where it leads.
TEST(OutputFilePlantedLink, IsNotFollowedWhereverItLeads)
{
    if (!isRoot())
        GTEST_SKIP() << "only root can give a link to another user";
    Bench bench(Bus::Standin);
    bench.plug(board());
    Targets t(bench);
    give(t.dir(), kRoot, 01777);
    const std::string fifo = t.tmp() + "/root.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Open for reading, so that a writer would not wait for a reader.
    const int fifoEnd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fifoEnd, 0);
    const std::string link = t.path("o.bin");
    for (const std::string to : {"/dev/stdout", fifo.c_str()}) {
        for (const auto& args : {readToken(link), readMedia(link)}) {
            SCOPED_TRACE(args[1] + " through a link to " + to);
            fs::remove(link);
            fs::create_symlink(to, link);
            ASSERT_EQ(::lchown(link.c_str(), kUser, kUser), 0);
            const ProgramRun run = t.run(args, false);
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find("Error message: Cannot open \"" + link +
                                   "\" for writing: Permission denied\n"),
                      std::string::npos)
                << run.err;
            const Bytes token = pattern(100, 3);
            EXPECT_EQ(run.out.find(std::string(token.begin(), token.end())), std::string::npos)
                << "the token went to standard output";
            char chunk[4096];
            EXPECT_LE(::read(fifoEnd, chunk, sizeof chunk), 0) << "the pipe was written";
        }
    }
    ::close(fifoEnd);
}

// The size of the file the process `pid` has open under `folder`, other than `except`; 0 when it
// has none.
long long openFileSize(pid_t pid, const std::string& folder, const std::string& except)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fds, ec)) {
        const std::string to = fs::read_symlink(entry.path(), ec).string();
        if (ec || to.rfind(folder + "/", 0) != 0 || to == except)
            continue;
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0 && st.st_size > 0)
            return st.st_size;
    }
    return 0;
}

// Whether the process runs still (it has not ended, even if not yet reaped).
bool stillRunning(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    const size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z';
}

// A run killed while it writes leaves the target as it was and nothing beside it or in the
// temporary folder, whether the content goes beside the target or to the temporary folder.
TEST(OutputFileKilled, LeavesNothingBehind)
{
    for (const unsigned folderMode : {0755u, 0555u}) {
        SCOPED_TRACE("folder mode 0" + std::to_string(folderMode / 64) +
                     std::to_string(folderMode / 8 % 8) + std::to_string(folderMode % 8));
        Bench bench(Bus::Standin);
        REQUIRE_USER_CAN_RUN_XOLCLI();
        bench.plug(board(16));
        Targets t(bench);
        const std::string out = t.path("out.bin");
        writeFile(out, kOld);
        give(out, user(), 0640);
        give(t.dir(), user(), folderMode);
        const Owner before = ownerOf(out);

        std::vector<std::string> args = readMedia(out);
        args.back() = std::to_string((16 << 20) / 512);
        const Bench::Command c = t.command(args);
        const pid_t pid = startProgram(c.program, c.args, c.env);
        const std::string where = folderMode == 0555u ? t.tmp() : t.dir();
        // Watched for as long as the run lasts, not a count of polls: a loaded or instrumented
        // machine takes long to reach the first write.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        long long seen = 0;
        while (seen == 0 && stillRunning(pid) && std::chrono::steady_clock::now() < deadline) {
            seen = openFileSize(pid, where, out);
            if (seen == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        ::kill(pid, SIGTERM);
        const ProgramRun run = finishProgram(pid);
        ASSERT_GT(seen, 0) << "the read ended before it could be killed: " << run.err;
        EXPECT_EQ(run.status, -1) << "killed";
        EXPECT_TRUE(fileBytes(out) == kOld);
        EXPECT_EQ(ownerOf(out), before);
        EXPECT_EQ(filesIn(t.dir()), std::vector<std::string>{"out.bin"});
        EXPECT_EQ(filesIn(t.tmp()), std::vector<std::string>{});
    }
}

} // namespace
} // namespace e2e
