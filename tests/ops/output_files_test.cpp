// The files the library reads and writes: an output file is replaced whole or left as it was,
// and a file that cannot be read or written is named in the failure's text with the reason.
#include <filesystem>
#include <fstream>
#include <functional>

#include "ops_host.h"
#include "scratch_dir.h"

#ifdef _WIN32
#include <windows.h>
#endif

#ifndef _WIN32
#include <dlfcn.h>
#ifdef __linux__
#include <linux/fs.h>
#endif
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <mutex>
#include <set>

// The files flushed to the disk in this process, by device and inode: fsync as the library calls
// it, passed on to the C library's. What another user does while an output file is on its way
// is done by the first flush of a file under the folder it names, the last step before the
// file is put in place.
namespace {
std::mutex flushedLock;
std::set<std::pair<dev_t, ino_t>> flushedFiles;
std::string flushWatched;
std::function<void()> beforeFlush;
} // namespace

#ifdef __linux__
// A file system without nameless files, while `namedOnly` holds: the modes the files made
// meanwhile had when they were made.
namespace {
std::atomic<bool> namedOnly{false};
std::mutex madeLock;
std::vector<unsigned> madeModes;

// What another user does between the library's look at a file and its opening of it to write
// into: done by the first open for writing of a file of the name watched, by name or in a
// folder held open, that does not make a new file (O_EXCL, O_TMPFILE).
std::mutex openingLock;
std::string openingWatched;
std::function<void()> beforeOpening;

void beforeOpeningToWrite(const char* path, int flags)
{
    std::function<void()> act;
    if ((flags & O_ACCMODE) == O_RDONLY || (flags & O_EXCL) != 0 ||
        (flags & O_TMPFILE) == O_TMPFILE)
        return;
    {
        const std::lock_guard<std::mutex> hold(openingLock);
        const char* leaf = std::strrchr(path, '/');
        if (!openingWatched.empty() && openingWatched == (leaf != nullptr ? leaf + 1 : path))
            act.swap(beforeOpening);
    }
    if (act)
        act();
}

int openAt(const char* symbol, int folder, const char* path, int flags, mode_t mode)
{
    const auto next =
        reinterpret_cast<int (*)(int, const char*, int, ...)>(::dlsym(RTLD_NEXT, symbol));
    beforeOpeningToWrite(path, flags);
    if (namedOnly && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = next(folder, path, flags, mode);
    struct stat st {};
    if (namedOnly && fd >= 0 && (flags & O_CREAT) != 0 && ::fstat(fd, &st) == 0) {
        const std::lock_guard<std::mutex> hold(madeLock);
        madeModes.push_back(st.st_mode & 07777);
    }
    return fd;
}

mode_t modeArgument(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(args, int))
               : 0;
}
} // namespace

extern "C" int openat(int folder, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAt("openat", folder, path, flags, mode);
}

extern "C" int openat64(int folder, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openAt("openat64", folder, path, flags, mode);
}

static int openByName(const char* symbol, const char* path, int flags, mode_t mode)
{
    const auto next = reinterpret_cast<int (*)(const char*, int, ...)>(::dlsym(RTLD_NEXT, symbol));
    beforeOpeningToWrite(path, flags);
    return next(path, flags, mode);
}

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openByName("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openByName("open64", path, flags, mode);
}
#endif

extern "C" int fsync(int fd)
{
    static const auto next = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    struct stat st {};
    std::function<void()> act;
    if (::fstat(fd, &st) == 0) {
        const std::lock_guard<std::mutex> hold(flushedLock);
        flushedFiles.insert({st.st_dev, st.st_ino});
        char name[4096] = {};
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (!flushWatched.empty() && ::readlink(self.c_str(), name, sizeof name - 1) > 0 &&
            std::string(name).rfind(flushWatched, 0) == 0)
            act.swap(beforeFlush);
    }
    if (act)
        act();
    return next(fd);
}
#endif

namespace ops {
namespace {

namespace fs = std::filesystem;

class OutputFiles : public HostTest {
protected:
    const char* id(const Board& b) const { return b.ident.c_str(); }

    // The three file forms, each writing into `path`; `expected` is what the board gives.
    struct FileForm {
        const char* name;
        std::function<unsigned long(OutputFiles&, const Board&, const char* path)> run;
        std::function<Bytes(const XolDeviceState&)> expected;
        uint8_t request;
    };
    static std::vector<FileForm> fileForms()
    {
        return {
            {"readtoken2",
             [](OutputFiles& t, const Board& b, const char* path) {
                 return t.api->readtoken2(t.recovery, path, 3, t.id(b), &t.msg, nullptr, nullptr);
             },
             [](const XolDeviceState& s) { return s.tokens.at(3); }, kReadToken},
            {"getcardinfo2",
             [](OutputFiles& t, const Board& b, const char* path) {
                 unsigned char type = 2;
                 return t.api->getcardinfo2(t.recovery, &type, 0, path, t.id(b), &t.msg, nullptr,
                                            nullptr);
             },
             [](const XolDeviceState& s) { return s.storage.at({2, 0}).cardInfo; }, kGetCardInfo},
            {"readbootmedia2",
             [](OutputFiles& t, const Board& b, const char* path) {
                 _content_addr_t whole{0, 0, 64};
                 return t.api->readbootmedia2(t.recovery, 2, 0, &whole, path, t.id(b), &t.msg,
                                              nullptr, nullptr);
             },
             [](const XolDeviceState& s) { return s.storage.at({2, 0}).media.at(0); },
             kReadBootMedia},
        };
    }

    // Runs `body` for each file form, with the target there already and not yet.
    static void eachFormWithAndWithoutFile(
        const std::function<void(const FileForm& form, bool exists)>& body)
    {
        for (const bool exists : {true, false}) {
            for (const FileForm& form : fileForms()) {
                SCOPED_TRACE(std::string(form.name) + (exists ? ", file there" : ", no file yet"));
                body(form, exists);
            }
        }
    }

    // `dir` emptied, and the path of the output file in it, which holds "as it was" if it `exists`.
    static std::string freshOutput(const std::string& dir, bool exists)
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
        const std::string out = dir + "/out.bin";
        if (exists)
            writeFile(out, "as it was");
        return out;
    }

    _error_msg_t msg{};
};

#ifndef _WIN32
// A tmpfs of its own in a fresh folder, which a filler file can fill to the last page.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& dir) : dir(dir)
    {
        fs::create_directories(dir);
        mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            ::umount2(dir.c_str(), MNT_DETACH);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    bool usable() const { return mounted; }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    void fill()
    {
        const int fd = ::open(path(filler).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(fd, 0);
        const std::string page(4096, 'f');
        while (::write(fd, page.data(), page.size()) > 0) {
        }
        ::close(fd);
    }
    void makeRoom() { fs::remove(path(filler)); }

    static constexpr const char* filler = "filler";

private:
    std::string dir;
    bool mounted = false;
};

// On a full file system each output file fails with the reason and keeps the file that was
// there; with room again it is replaced. No temporary is left either way. The boot-media read
// goes on to its end after the write failed: the board is ready for the next request at once.
TEST_F(OutputFiles, FullFileSystemKeepsTheFileThatWasThere)
{
    SmallFileSystem small(host.tmp + "/small_fs_" + std::to_string(::getpid()));
    if (!small.usable())
        GTEST_SKIP() << "no tmpfs can be mounted here";
    Board& b = plug(boardState(1));
    const std::string previous = patternText(1000, 9);

    for (const FileForm& form : fileForms()) {
        SCOPED_TRACE(form.name);
        const std::string out = small.path(std::string(form.name) + ".out");
        writeFile(out, previous);
        small.fill();
        const size_t from = b.mark();
        EXPECT_EQ(form.run(*this, b, out.c_str()), 0x30000u) << msg.text;
        EXPECT_EQ(std::string(msg.text),
                  "Cannot write \"" + out + "\": No space left on device");
        EXPECT_TRUE(readFile(out) == previous) << "old file changed, now " << readFile(out).size()
                                               << " bytes";
        EXPECT_EQ(filesIn(small.path(".")),
                  (std::vector<std::string>{SmallFileSystem::filler,
                                            std::string(form.name) + ".out"}));
        EXPECT_EQ(b.codesSince(from).back(), form.request) << "the read went to its end";

        small.makeRoom();
        ASSERT_EQ(form.run(*this, b, out.c_str()), 0u) << msg.text;
        EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected)) << "content differs";
        EXPECT_EQ(filesIn(small.path(".")),
                  (std::vector<std::string>{std::string(form.name) + ".out"}));
        fs::remove(out);
    }
    EXPECT_TRUE(b.hostErrors().empty());
}
#endif

#ifndef _WIN32
bool flushedToDisk(const std::string& path)
{
    struct stat st {};
    const std::lock_guard<std::mutex> hold(flushedLock);
    return ::stat(path.c_str(), &st) == 0 && flushedFiles.count({st.st_dev, st.st_ino}) == 1;
}

struct Attributes {
    unsigned uid, gid, mode;
    bool operator==(const Attributes& o) const
    {
        return uid == o.uid && gid == o.gid && mode == o.mode;
    }
};
std::ostream& operator<<(std::ostream& os, const Attributes& a)
{
    return os << "uid " << a.uid << " gid " << a.gid << " mode 0" << std::oct << a.mode << std::dec;
}
Attributes attributesOf(const std::string& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {st.st_uid, st.st_gid, static_cast<unsigned>(st.st_mode & 07777)};
}

// A folder the user may not add to (as root: any folder) holding a file the user may write: a
// read the board refuses leaves the file as it was, and a read that succeeds replaces its
// content, flushed to the disk, with its owner and mode kept and nothing left beside it.
TEST_F(OutputFiles, FolderThatTakesNoFileKeepsItsFileUntilTheReadSucceeded)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/no_new_files";
    fs::create_directories(dir);
    const std::string out = dir + "/kept.bin";
    const std::string previous = patternText(3000, 9);
    writeFile(out, previous);
    ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    const Attributes before = attributesOf(out);

    _content_addr_t missing{5, 0, 8};
    EXPECT_EQ(api->readbootmedia2(recovery, 2, 0, &missing, out.c_str(), id(b), &msg, nullptr,
                                  nullptr),
              0x8000002eu);
    EXPECT_STREQ(msg.text, "Invalid partition");
    EXPECT_TRUE(readFile(out) == previous) << "now " << readFile(out).size() << " bytes";
    for (const FileForm& form : fileForms()) {
        SCOPED_TRACE(form.name);
        ASSERT_EQ(form.run(*this, b, out.c_str()), 0u) << msg.text;
        EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected)) << "content differs";
        EXPECT_EQ(attributesOf(out), before);
        EXPECT_TRUE(flushedToDisk(out));
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{"kept.bin"});
    }
    ::chmod(dir.c_str(), 0755);
    fs::remove_all(dir);
}

#ifdef __linux__
// Each way an output file goes, written or failed, leaves no descriptor of the process open:
// above all a folder that takes no new file (immutable under root, read-only for a user), whose
// file is then written through the temporary folder.
TEST_F(OutputFiles, EveryRouteLeavesNoDescriptorOpen)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/descriptors_closed";
    const auto openDescriptors = [] {
        size_t n = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            (void)entry;
            ++n;
        }
        return n;
    };
    // Sets the folder's immutable flag on or off; false where the file system has none.
    const auto immutable = [](const std::string& folder, bool on) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return done;
    };
    struct Case {
        const char* name;
        bool exists;
        bool closedFolder;
        const char* attribute;
    };
    const Case cases[] = {
        {"new beside", false, false, nullptr},
        {"replaced beside", true, false, nullptr},
        {"copied in", true, false, "user.note"},
        {"folder that takes no file", true, true, nullptr},
    };
    for (const Case& c : cases) {
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + ", " + c.name);
            const std::string out = freshOutput(dir, c.exists);
            if (c.attribute && ::setxattr(out.c_str(), c.attribute, "x", 1, 0) != 0)
                continue;
            bool closed = false;
            if (c.closedFolder) {
                closed = ::geteuid() == 0 ? immutable(dir, true) : ::chmod(dir.c_str(), 0555) == 0;
                if (!closed)
                    continue;
            }
            const size_t before = openDescriptors();
            const unsigned long status = form.run(*this, b, out.c_str());
            const size_t after = openDescriptors();
            if (closed && ::geteuid() == 0)
                immutable(dir, false);
            else if (closed)
                ::chmod(dir.c_str(), 0755);
            ASSERT_EQ(status, 0u) << msg.text;
            EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected));
            EXPECT_EQ(after, before) << "descriptors left open";
        }
    }
    fs::remove_all(dir);
}
#endif

// A file written beside its target, new or replacing it, has its folder flushed to the disk too:
// the new name, not only the content, outlasts a crash once the write has succeeded.
TEST_F(OutputFiles, FolderOfAFileWrittenBesideItIsFlushed)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/flushed_folder";
    eachFormWithAndWithoutFile([&](const FileForm& form, bool exists) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        if (exists)
            writeFile(dir + "/out.bin", "as it was");
        {
            const std::lock_guard<std::mutex> hold(flushedLock);
            flushedFiles.clear();
        }
        ASSERT_EQ(form.run(*this, b, (dir + "/out.bin").c_str()), 0u) << msg.text;
        EXPECT_TRUE(flushedToDisk(dir + "/out.bin"));
        EXPECT_TRUE(flushedToDisk(dir)) << "the folder's new name is not on the disk";
    });
    fs::remove_all(dir);
}

// A file of another user (under root: of nobody, uid 65534) keeps its owner, group and mode when
// it is replaced, and so does the caller's own file of an unusual mode.
TEST_F(OutputFiles, ReplacedFileKeepsItsOwnerGroupAndMode)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/owners";
    fs::create_directories(dir);
    const std::string out = dir + "/owned.bin";
    const bool root = ::geteuid() == 0;
    for (const FileForm& form : fileForms()) {
        SCOPED_TRACE(form.name);
        writeFile(out, "as it was");
        ASSERT_EQ(::chmod(out.c_str(), root ? 0600 : 0604), 0);
        if (root) {
            ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
        }
        const Attributes before = attributesOf(out);
        ASSERT_EQ(form.run(*this, b, out.c_str()), 0u) << msg.text;
        EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected)) << "content differs";
        EXPECT_EQ(attributesOf(out), before);
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{"owned.bin"});
    }
    fs::remove_all(dir);
}

// A link leads to the file it names, relative to the link's own folder, whether that file exists
// or not yet; the link stays a link.
TEST_F(OutputFiles, LinkLeadsToTheFileItNames)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/links";
    for (const bool exists : {true, false}) {
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + (exists ? ", file there" : ", no file yet"));
            fs::remove_all(dir);
            fs::create_directories(dir + "/real");
            if (exists)
                writeFile(dir + "/real/token.bin", "as it was");
            fs::create_symlink("real/token.bin", dir + "/link.bin");
            ASSERT_EQ(form.run(*this, b, (dir + "/link.bin").c_str()), 0u) << msg.text;
            EXPECT_TRUE(fs::is_symlink(dir + "/link.bin"));
            EXPECT_TRUE(toBytes(readFile(dir + "/real/token.bin")) == b.dev->inspect(form.expected))
                << "content differs";
            EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"link.bin", "real"}));
            EXPECT_EQ(filesIn(dir + "/real"), std::vector<std::string>{"token.bin"});
        }
    }
    fs::remove_all(dir);
}

// A link that another user put in a folder everyone may add to but only owners remove from
// (as /tmp) is not followed, as the system follows no such link for the process (root too);
// the caller's own link and the folder owner's are.
TEST_F(OutputFiles, OtherUsersLinkInAStickyFolderIsNotFollowed)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/sticky_links";
    const std::string target = dir + "/target.bin", folder = dir + "/shared",
                      link = folder + "/out.bin";
    // Only root can give a link or folder to another user: nobody (uid 65534).
    const bool root = ::geteuid() == 0;
    const unsigned self = ::geteuid(), other = 65534;
    struct Case {
        const char* name;
        bool othersFolder, othersLink;
        bool followed;
    };
    const Case cases[] = {
        {"own link", false, false, true},
        {"another user's link", false, true, false},
        {"the folder owner's link", true, true, true},
    };
    for (const Case& c : cases) {
        if ((c.othersFolder || c.othersLink) && !root)
            continue;
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + ", " + c.name);
            fs::remove_all(dir);
            fs::create_directories(folder);
            writeFile(target, "as it was");
            fs::create_symlink("../target.bin", link);
            ASSERT_EQ(::lchown(link.c_str(), c.othersLink ? other : self, static_cast<gid_t>(-1)),
                      0);
            ASSERT_EQ(::chown(folder.c_str(), c.othersFolder ? other : self, static_cast<gid_t>(-1)),
                      0);
            ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
            const unsigned long status = form.run(*this, b, link.c_str());
            EXPECT_TRUE(fs::is_symlink(link));
            EXPECT_EQ(filesIn(folder), std::vector<std::string>{"out.bin"});
            if (c.followed) {
                ASSERT_EQ(status, 0u) << msg.text;
                EXPECT_TRUE(toBytes(readFile(target)) == b.dev->inspect(form.expected));
                continue;
            }
            EXPECT_EQ(status, 0x30000u);
            EXPECT_EQ(std::string(msg.text),
                      "Cannot open \"" + link + "\" for writing: Permission denied");
            EXPECT_TRUE(readFile(target) == "as it was") << "written through the link";
        }
    }
    fs::remove_all(dir);
}

// A pipe named by a descriptor's link (/dev/fd/N, /dev/stdout) is written in place: what that
// link reads back is no path of a file.
TEST_F(OutputFiles, PipeNamedByADescriptorIsWrittenInPlace)
{
    Board& b = plug(boardState(1));
    for (const FileForm& form : fileForms()) {
        SCOPED_TRACE(form.name);
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        ASSERT_GE(::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), 1 << 16);
        const std::string path = "/dev/fd/" + std::to_string(ends[1]);
        const unsigned long status = form.run(*this, b, path.c_str());
        ::close(ends[1]);
        std::string got;
        char chunk[4096];
        for (long n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;)
            got.append(chunk, static_cast<size_t>(n));
        ::close(ends[0]);
        ASSERT_EQ(status, 0u) << msg.text;
        EXPECT_TRUE(toBytes(got) == b.dev->inspect(form.expected)) << got.size() << " bytes";
    }
}

#ifdef __linux__
// A descriptor named by its link is written through it, from where it stands and with its
// flags: a file the shell opened for appending keeps what it held and stays the file the shell
// has open, a socket (which cannot be opened anew) takes the content, and a descriptor open only
// for reading is refused before the board is asked, its file left as it was.
TEST_F(OutputFiles, DescriptorNamedByItsLinkIsWrittenThroughIt)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/descriptors";
    fs::create_directories(dir);
    const std::string file = dir + "/appended.log";
    struct Kind {
        const char* name;
        // The descriptor to name, and the end to read back from (-1: the file).
        std::function<std::pair<int, int>()> open;
        bool written;
    };
    const Kind kinds[] = {
        {"file open for appending",
         [&] {
             writeFile(file, "header\n");
             return std::make_pair(::open(file.c_str(), O_WRONLY | O_APPEND), -1);
         },
         true},
        {"socket",
         [] {
             int ends[2] = {-1, -1};
             ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
             const int size = 1 << 20;
             ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
             return std::make_pair(ends[1], ends[0]);
         },
         true},
        {"file open for reading",
         [&] {
             writeFile(file, "header\n");
             return std::make_pair(::open(file.c_str(), O_RDONLY), -1);
         },
         false},
    };
    for (const Kind& kind : kinds) {
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + ", " + kind.name);
            const auto [named, readBack] = kind.open();
            ASSERT_GE(named, 0);
            struct stat before {};
            ::stat(file.c_str(), &before);
            const std::string path = "/dev/fd/" + std::to_string(named);
            const unsigned long status = form.run(*this, b, path.c_str());
            ::close(named);
            std::string got;
            if (readBack >= 0) {
                char chunk[4096];
                for (long n; (n = ::read(readBack, chunk, sizeof chunk)) > 0;)
                    got.append(chunk, static_cast<size_t>(n));
                ::close(readBack);
            }
            if (!kind.written) {
                EXPECT_EQ(status, 0x30000u);
                EXPECT_EQ(std::string(msg.text),
                          "Cannot open \"" + path + "\" for writing: Bad file descriptor");
                EXPECT_EQ(readFile(file), "header\n");
                continue;
            }
            ASSERT_EQ(status, 0u) << msg.text;
            if (readBack < 0) {
                struct stat after {};
                ::stat(file.c_str(), &after);
                EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
                got = readFile(file);
                ASSERT_EQ(got.rfind("header\n", 0), 0u) << "what the file held is lost";
                got.erase(0, 7);
            }
            EXPECT_TRUE(toBytes(got) == b.dev->inspect(form.expected)) << got.size() << " bytes";
        }
    }
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"appended.log"});
    fs::remove_all(dir);
}

// A link in a folder everyone may add to but only owners remove from (as /tmp) is judged by
// one rule whatever it leads to, and so is every link followed from it: another user's link
// (under root: nobody's) is not followed to a pipe, a device or a descriptor of the process
// either, and nothing reaches where it leads; the caller's own link and the folder owner's are.
// The system's own rule for such links (fs.protected_symlinks) may be off: the library keeps it.
TEST_F(OutputFiles, StickyFolderLinkRuleHoldsForEveryKindOfTarget)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/sticky_targets";
    const std::string folder = dir + "/shared", link = folder + "/out.bin",
                      hop = folder + "/hop.bin";
    const bool root = ::geteuid() == 0;
    const unsigned self = ::geteuid(), other = 65534;
    // Where the links lead: the path a link holds, and where to read back what arrived there:
    // the end of a pipe (-1: none) whose other end is closed after the run, or a file.
    struct Made {
        std::string to;
        int readBack = -1, writeEnd = -1;
        std::string file;
    };
    struct Target {
        const char* name;
        std::function<Made()> make;
    };
    const auto pipeNamed = [](const std::string& folderOfDescriptors) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::pipe(ends), 0);
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        ::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
        return Made{folderOfDescriptors + std::to_string(ends[1]), ends[0], ends[1], ""};
    };
    const Target targets[] = {
        {"file",
         [&] {
             writeFile(dir + "/target.bin", "as it was");
             return Made{"../target.bin", -1, -1, dir + "/target.bin"};
         }},
        {"named pipe",
         [&] {
             const std::string fifo = dir + "/fifo";
             EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
             // Open for reading first, so that a writer does not wait for a reader.
             return Made{fifo, ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK), -1, ""};
         }},
        {"device", [] { return Made{"/dev/null", -1, -1, ""}; }},
        {"descriptor", [&] { return pipeNamed("/proc/self/fd/"); }},
        {"descriptor by /dev/fd", [&] { return pipeNamed("/dev/fd/"); }},
    };
    struct Case {
        const char* name;
        bool othersFolder, othersLink;
        int hopOwner; // the link it leads to first: -1 none, 0 the caller's, 1 another user's
        bool followed;
    };
    const Case cases[] = {
        {"own link", false, false, -1, true},
        {"another user's link", false, true, -1, false},
        {"the folder owner's link", true, true, -1, true},
        {"own link to another user's link", false, false, 1, false},
        {"another user's link to an own link", false, true, 0, false},
    };
    for (const Case& c : cases) {
        if ((c.othersFolder || c.othersLink || c.hopOwner == 1) && !root)
            continue;
        for (const Target& target : targets) {
            for (const FileForm& form : fileForms()) {
                SCOPED_TRACE(std::string(form.name) + ", " + c.name + " to a " + target.name);
                fs::remove_all(dir);
                fs::create_directories(folder);
                const Made made = target.make();
                if (c.hopOwner >= 0) {
                    fs::create_symlink(made.to, hop);
                    ASSERT_EQ(::lchown(hop.c_str(), c.hopOwner == 1 ? other : self,
                                       static_cast<gid_t>(-1)), 0);
                    fs::create_symlink("hop.bin", link);
                } else {
                    fs::create_symlink(made.to, link);
                }
                ASSERT_EQ(::lchown(link.c_str(), c.othersLink ? other : self,
                                   static_cast<gid_t>(-1)), 0);
                ASSERT_EQ(::chown(folder.c_str(), c.othersFolder ? other : self,
                                  static_cast<gid_t>(-1)), 0);
                ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
                const unsigned long status = form.run(*this, b, link.c_str());
                if (made.writeEnd >= 0)
                    ::close(made.writeEnd);
                std::string got;
                char chunk[4096];
                for (long n; made.readBack >= 0 &&
                             (n = ::read(made.readBack, chunk, sizeof chunk)) > 0;)
                    got.append(chunk, static_cast<size_t>(n));
                if (made.readBack >= 0)
                    ::close(made.readBack);
                if (!made.file.empty())
                    got = readFile(made.file);
                const bool readable = made.readBack >= 0 || !made.file.empty();
                EXPECT_TRUE(fs::is_symlink(link));
                EXPECT_EQ(filesIn(folder), c.hopOwner >= 0
                                               ? (std::vector<std::string>{"hop.bin", "out.bin"})
                                               : std::vector<std::string>{"out.bin"});
                if (c.followed) {
                    ASSERT_EQ(status, 0u) << msg.text;
                    if (readable) {
                        EXPECT_TRUE(toBytes(got) == b.dev->inspect(form.expected))
                            << got.size() << " bytes";
                    }
                    continue;
                }
                EXPECT_EQ(status, 0x30000u);
                EXPECT_EQ(std::string(msg.text),
                          "Cannot open \"" + link + "\" for writing: Permission denied");
                EXPECT_TRUE(got == (made.file.empty() ? "" : "as it was"))
                    << "written through the link";
            }
        }
    }
    fs::remove_all(dir);
}

// Another user's pipe in a folder everyone may add to (under root: nobody's, in a sticky folder)
// is refused where the system's rule for such pipes (fs.protected_fifos) is on, as the shell's
// `>` is: it would hand the content to whoever reads it.
TEST_F(OutputFiles, AnotherUsersPipeInAStickyFolderFollowsTheSystemsRule)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a pipe to another user";
    int rule = 0;
    std::ifstream("/proc/sys/fs/protected_fifos") >> rule;
    if (rule == 0)
        GTEST_SKIP() << "fs.protected_fifos is 0 on this machine";
    Board& b = plug(boardState(1));
    const std::string folder = host.tmp + "/sticky_fifo", fifo = folder + "/out.bin";
    fs::remove_all(folder);
    fs::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(::chown(fifo.c_str(), 65534, 65534), 0);
    // Read from first, so that a writer the rule let through would not wait for a reader.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const FileForm& form : fileForms()) {
        SCOPED_TRACE(form.name);
        EXPECT_EQ(form.run(*this, b, fifo.c_str()), 0x30000u);
        EXPECT_EQ(std::string(msg.text),
                  "Cannot open \"" + fifo + "\" for writing: Permission denied");
        char got[16];
        EXPECT_LE(::read(reader, got, sizeof got), 0) << "the pipe got content";
    }
    ::close(reader);
    fs::remove_all(folder);
}

// A file whose content goes through the temporary folder (one with an extended attribute), or a
// pipe written in place, is opened to be written into after it was looked at. Should another take
// its place meanwhile, as the folder lets its owner do (under root: nobody, owner of the file,
// puts a link to root's file there, or a second name of it), that file is not written: the
// failure says why.
TEST_F(OutputFiles, FileReplacedBeforeItIsOpenedIsNotWritten)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/replaced";
    const std::string folder = dir + "/shared", out = folder + "/out.bin",
                      kept = dir + "/kept.bin";
    const bool root = ::geteuid() == 0;
    const auto link = [&] {
        fs::remove(out);
        fs::create_symlink("../kept.bin", out);
        if (root)
            ::lchown(out.c_str(), 65534, 65534);
    };
    const auto secondName = [&] {
        fs::create_hard_link(kept, folder + "/new.bin");
        fs::rename(folder + "/new.bin", out);
    };
    struct Case {
        const char* name;
        bool pipe;
        std::function<void()> replace;
        const char* reason;
    };
    const Case cases[] = {
        // Pipes first: a system without user attributes skips the rest.
        {"a pipe, then a link to another file", true, link, "Too many levels of symbolic links"},
        {"a pipe, then another name of another file", true, secondName,
         "another file took its place while it was opened"},
        {"a link to another file", false, link, "Too many levels of symbolic links"},
        {"another name of another file", false, secondName,
         "another file took its place while it was opened"},
    };
    for (const Case& c : cases) {
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + ", " + c.name);
            fs::remove_all(dir);
            fs::create_directories(folder);
            writeFile(kept, "kept as it was");
            ASSERT_EQ(::chmod(kept.c_str(), 0600), 0);
            if (c.pipe) {
                ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
            } else {
                writeFile(out, "as it was");
            }
            if (root) {
                ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
            }
            ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
            if (!c.pipe && ::setxattr(out.c_str(), "user.note", "x", 1, 0) != 0)
                GTEST_SKIP() << "no user attributes here";
            bool replaced = false;
            {
                const std::lock_guard<std::mutex> hold(openingLock);
                openingWatched = "out.bin";
                beforeOpening = [&] {
                    c.replace();
                    replaced = true;
                };
            }
            const unsigned long status = form.run(*this, b, out.c_str());
            {
                const std::lock_guard<std::mutex> hold(openingLock);
                openingWatched.clear();
                beforeOpening = nullptr;
            }
            ASSERT_TRUE(replaced) << "the file was not opened to be written into";
            EXPECT_EQ(status, 0x30000u);
            // A pipe is opened as any open that may create, which the system refuses at another
            // user's link in a sticky folder before it sees the link.
            const std::string text = msg.text;
            if (!(c.pipe && text == "Cannot open \"" + out + "\" for writing: Permission denied"))
                EXPECT_EQ(text, "Cannot open \"" + out + "\" for writing: " + c.reason);
            EXPECT_TRUE(readFile(kept) == "kept as it was") << "written into the file put there";
        }
    }
    fs::remove_all(dir);
}

// A folder of the path swapped for a link to another folder while the board is read (by
// another user who may change that folder, while root writes the file): the content goes into
// the folder named at the start, and nothing is written or left where the link leads.
TEST_F(OutputFiles, FolderSwappedForALinkLeavesTheLinksFolderAlone)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/swapped";
    eachFormWithAndWithoutFile([&](const FileForm& form, bool exists) {
        fs::remove_all(dir);
        fs::create_directories(dir + "/named");
        fs::create_directories(dir + "/elsewhere");
        writeFile(dir + "/elsewhere/out.bin", "elsewhere's");
        if (exists)
            writeFile(dir + "/named/out.bin", "as it was");
        {
            const std::lock_guard<std::mutex> hold(flushedLock);
            flushWatched = dir + "/named/";
            beforeFlush = [&] {
                fs::rename(dir + "/named", dir + "/moved");
                fs::create_symlink("elsewhere", dir + "/named");
            };
        }
        const unsigned long status = form.run(*this, b, (dir + "/named/out.bin").c_str());
        {
            const std::lock_guard<std::mutex> hold(flushedLock);
            flushWatched.clear();
            beforeFlush = nullptr;
        }
        ASSERT_EQ(status, 0u) << msg.text;
        EXPECT_TRUE(readFile(dir + "/elsewhere/out.bin") == "elsewhere's")
            << "written where the link leads";
        EXPECT_EQ(filesIn(dir + "/elsewhere"), std::vector<std::string>{"out.bin"});
        EXPECT_TRUE(toBytes(readFile(dir + "/moved/out.bin")) ==
                    b.dev->inspect(form.expected))
            << "content differs";
        EXPECT_EQ(filesIn(dir + "/moved"), std::vector<std::string>{"out.bin"});
    });
    fs::remove_all(dir);
}
#endif

#ifdef __linux__
// Where the file system has no nameless files, the temporary has a name that others see: one
// that holds content before it gets the mode of the file it replaces (beside it), or never does
// (in the temporary folder), is its owner's alone from the start; a new file gets the mode a new
// file gets. Nothing is left of the temporaries, and the files keep their modes.
TEST_F(OutputFiles, NamedTemporaryIsClosedToOthersUntilItHasItsMode)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/named_only";
    const mode_t mask = ::umask(022);
    ::umask(mask);
    struct Case {
        const char* name;
        bool exists;
        const char* attribute;
        unsigned made; // the temporary's mode when made
    };
    const Case cases[] = {
        {"replaced beside", true, nullptr, 0600},
        {"copied in", true, "user.note", 0600},
        {"new", false, nullptr, 0666 & ~mask},
    };
    for (const Case& c : cases) {
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + ", " + c.name);
            const std::string out = freshOutput(dir, c.exists);
            if (c.exists) {
                ASSERT_EQ(::chmod(out.c_str(), 0644), 0);
                if (c.attribute && ::setxattr(out.c_str(), c.attribute, "x", 1, 0) != 0)
                    GTEST_SKIP() << "no user attributes here";
            }
            {
                const std::lock_guard<std::mutex> hold(madeLock);
                madeModes.clear();
            }
            namedOnly = true;
            const unsigned long status = form.run(*this, b, out.c_str());
            namedOnly = false;
            ASSERT_EQ(status, 0u) << msg.text;
            EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected));
            EXPECT_EQ(attributesOf(out).mode, c.exists ? 0644u : 0666u & ~mask);
            EXPECT_EQ(filesIn(dir), std::vector<std::string>{"out.bin"});
            const std::lock_guard<std::mutex> hold(madeLock);
            EXPECT_EQ(madeModes, std::vector<unsigned>{c.made});
        }
    }
    fs::remove_all(dir);
}

#endif

#ifdef __linux__
// A file mounted on its name (a container's bound file), which no rename can replace, gets the
// complete temporary beside it copied in, opened again by its name: should the folder's owner put
// another file at that name meanwhile, that file is not copied in, and the mounted file keeps its
// content.
TEST_F(OutputFiles, FileMountedOnTheTargetIsWrittenInto)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/bound";
    fs::create_directories(dir);
    const std::string source = dir + "/source.bin", out = dir + "/out.bin";
    for (const bool swapped : {false, true}) {
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + (swapped ? ", temporary swapped" : ""));
            writeFile(source, "as it was, at its source");
            writeFile(out, "hidden by the mount");
            if (::mount(source.c_str(), out.c_str(), nullptr, MS_BIND, nullptr) != 0)
                GTEST_SKIP() << "no file can be mounted here";
            if (swapped) {
                const std::lock_guard<std::mutex> hold(flushedLock);
                flushWatched = dir + "/";
                beforeFlush = [&] {
                    std::vector<fs::path> temporaries;
                    for (const auto& entry : fs::directory_iterator(dir))
                        if (entry.path().filename().string().rfind("out.bin.tmp", 0) == 0)
                            temporaries.push_back(entry.path());
                    for (const fs::path& at : temporaries) {
                        writeFile(dir + "/planted.bin", "planted");
                        fs::rename(dir + "/planted.bin", at);
                    }
                };
            }
            // Named from the start, so that there is a name to put another file at.
            namedOnly = swapped;
            const unsigned long status = form.run(*this, b, out.c_str());
            namedOnly = false;
            {
                const std::lock_guard<std::mutex> hold(flushedLock);
                flushWatched.clear();
                beforeFlush = nullptr;
            }
            const std::string got = readFile(out);
            EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"out.bin", "source.bin"}));
            ::umount2(out.c_str(), MNT_DETACH);
            EXPECT_EQ(readFile(out), "hidden by the mount");
            if (swapped) {
                EXPECT_EQ(status, 0x30000u);
                EXPECT_EQ(std::string(msg.text),
                          "Cannot write \"" + out +
                              "\": another file took its place while it was opened");
                EXPECT_EQ(readFile(source), "as it was, at its source")
                    << "the planted file copied in";
                continue;
            }
            ASSERT_EQ(status, 0u) << msg.text;
            EXPECT_TRUE(toBytes(got) == b.dev->inspect(form.expected)) << "content differs";
            EXPECT_TRUE(toBytes(readFile(source)) == b.dev->inspect(form.expected))
                << "not written into the mounted file";
        }
    }
    fs::remove_all(dir);
}
#endif

// A name as long as a folder takes, new or replaced: the temporary's name is made to fit.
TEST_F(OutputFiles, LongestNameIsWritten)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/long_name";
    fs::create_directories(dir);
    const std::string name(255, 'n');
    for (const FileForm& form : fileForms()) {
        SCOPED_TRACE(form.name);
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(form.run(*this, b, (dir + "/" + name).c_str()), 0u) << msg.text;
            EXPECT_TRUE(toBytes(readFile(dir + "/" + name)) == b.dev->inspect(form.expected));
            EXPECT_EQ(filesIn(dir), std::vector<std::string>{name});
        }
    }
    fs::remove_all(dir);
}

#ifdef __linux__
// A file with an access list keeps it, and its other extended attributes, when it is written:
// a mode copied onto a file without the list would give its group what the list's mask allowed
// another user.
TEST_F(OutputFiles, AccessListAndAttributesAreKept)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/access_list";
    fs::create_directories(dir);
    const std::string out = dir + "/listed.bin";
    // Owner rw, user 65533 r, group none, mask r, others none.
    const uint32_t acl[] = {2,      0x00060001u, ~0u,    0x00040002u, 65533u, 0x00000004u, ~0u,
                            0x00040010u, ~0u,    0x00000020u, ~0u};
    for (const FileForm& form : fileForms()) {
        SCOPED_TRACE(form.name);
        writeFile(out, "as it was");
        if (::setxattr(out.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) != 0 ||
            ::setxattr(out.c_str(), "user.note", "kept", 4, 0) != 0)
            GTEST_SKIP() << "no access lists or user attributes here";
        const Attributes before = attributesOf(out);
        ASSERT_EQ(form.run(*this, b, out.c_str()), 0u) << msg.text;
        EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected)) << "content differs";
        EXPECT_EQ(attributesOf(out), before);
        uint32_t now[16] = {};
        EXPECT_EQ(::getxattr(out.c_str(), "system.posix_acl_access", now, sizeof now),
                  static_cast<ssize_t>(sizeof acl));
        EXPECT_EQ(std::memcmp(now, acl, sizeof acl), 0);
        char note[8] = {};
        EXPECT_EQ(::getxattr(out.c_str(), "user.note", note, sizeof note), 4);
        EXPECT_EQ(std::string(note), "kept");
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{"listed.bin"});
    }
    fs::remove_all(dir);
}

// A file whose content goes through the temporary folder (one with an extended attribute, for
// any user), with a temporary folder that cannot take it: the failure names that folder, not
// just the file, which is left as it was.
TEST_F(OutputFiles, TemporaryFolderThatCannotTakeTheContentIsNamed)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/staging";
    fs::create_directories(dir);
    const std::string out = dir + "/noted.bin", notAFolder = dir + "/plain";
    writeFile(notAFolder, "");
    auto small = std::make_unique<SmallFileSystem>(dir + "/small");
    const char* const tmpdir = std::getenv("TMPDIR");
    const std::string previous = tmpdir ? tmpdir : "";
    struct Case {
        const char* name;
        std::string folder;
        std::string text;
        bool usable;
    };
    const Case cases[] = {
        {"missing", dir + "/missing",
         "Cannot open \"" + out +
             "\" for writing through the temporary folder: No such file or directory",
         true},
        {"a file", notAFolder,
         "Cannot open \"" + out + "\" for writing through the temporary folder: Not a directory",
         true},
        {"full", small->path("."),
         "Cannot write \"" + out + "\" through the temporary folder \"" + small->path(".") +
             "\": No space left on device",
         small->usable()},
    };
    for (const Case& c : cases) {
        if (!c.usable)
            continue;
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(form.name) + ", temporary folder " + c.name);
            writeFile(out, "as it was");
            if (::setxattr(out.c_str(), "user.note", "kept", 4, 0) != 0)
                GTEST_SKIP() << "no user attributes here";
            if (small->usable())
                small->fill();
            ::setenv("TMPDIR", c.folder.c_str(), 1);
            const unsigned long status = form.run(*this, b, out.c_str());
            if (tmpdir)
                ::setenv("TMPDIR", previous.c_str(), 1);
            else
                ::unsetenv("TMPDIR");
            EXPECT_EQ(status, 0x30000u);
            EXPECT_EQ(std::string(msg.text), c.text);
            EXPECT_EQ(readFile(out), "as it was");
            if (small->usable()) {
                small->makeRoom();
                EXPECT_EQ(filesIn(small->path(".")), std::vector<std::string>{});
            }
        }
    }
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"noted.bin", "plain", "small"}));
    small.reset();
    fs::remove_all(dir);
}
#endif
#endif

#ifdef _WIN32
// Windows' own ways of keeping a file from being written: each output file fails with status
// 0x30000 and leaves the file as it was, or, where the file may still be written, replaces it.
TEST_F(OutputFiles, WindowsFilesThatRefuseTheirWritersKeepTheirContent)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/windows_refusals";
    fs::create_directories(dir);
    const std::string out = dir + "/held.bin";
    const std::string previous = patternText(300, 4);
    struct Case {
        const char* name;
        DWORD attributes; // given to the file
        DWORD share;      // another holder's sharing, or ~0u for no holder
        bool written;
    };
    const Case cases[] = {
        {"read-only file", FILE_ATTRIBUTE_READONLY, ~0u, false},
        {"held, sharing nothing", FILE_ATTRIBUTE_NORMAL, 0, false},
        {"held, sharing reading", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, false},
        {"held, sharing reading and writing", FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    };
    for (const Case& c : cases) {
        for (const FileForm& form : fileForms()) {
            SCOPED_TRACE(std::string(c.name) + ", " + form.name);
            SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_NORMAL);
            writeFile(out, previous);
            ASSERT_TRUE(SetFileAttributesA(out.c_str(), c.attributes));
            HANDLE holder = INVALID_HANDLE_VALUE;
            if (c.share != ~0u) {
                holder = CreateFileA(out.c_str(), GENERIC_READ | GENERIC_WRITE, c.share, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                ASSERT_NE(holder, INVALID_HANDLE_VALUE);
            }
            const unsigned long status = form.run(*this, b, out.c_str());
            if (holder != INVALID_HANDLE_VALUE)
                CloseHandle(holder);
            if (c.written) {
                EXPECT_EQ(status, 0u) << msg.text;
                EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected)) << "content differs";
            } else {
                EXPECT_EQ(status, 0x30000u) << msg.text;
                EXPECT_TRUE(readFile(out) == previous) << "now " << readFile(out).size() << " bytes";
            }
            EXPECT_EQ(filesIn(dir), std::vector<std::string>{"held.bin"});
        }
    }
    SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(dir);
}

// Names with characters of the ANSI code page beyond ASCII, as a host passes them (code page
// 1252 here): the file of that name is written, with nothing left beside it.
TEST_F(OutputFiles, WindowsNamesBeyondAsciiAreWrittenUnderTheirNames)
{
    Board& b = plug(boardState(1));
    struct Case {
        const char* name;
        const char* folder; // under the test's folder, in the code page
        const char* file;
        const wchar_t* wideFolder;
        const wchar_t* wideFile;
    };
    const Case cases[] = {
        {"Latin-1 letter in the name", "names", "caf\xe9.bin", L"names", L"caf\u00e9.bin"},
        {"code page's own sign in the name", "names", "t\x80 \x96 x.bin", L"names", L"t\u20ac \u2013 x.bin"},
        {"Latin-1 letters in the folder", "Jos\xe9", "out.bin", L"Jos\u00e9", L"out.bin"},
    };
    const std::wstring root = fs::path(host.tmp).wstring();
    for (const Case& c : cases) {
        const std::wstring folder = root + L"\\" + c.wideFolder;
        const std::wstring file = folder + L"\\" + c.wideFile;
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        const std::string out = host.tmp + "/" + c.folder + "/" + c.file;
        for (const bool exists : {false, true}) {
            for (const FileForm& form : fileForms()) {
                SCOPED_TRACE(std::string(c.name) + ", " + form.name + (exists ? ", file there" : ", no file yet"));
                if (exists) {
                    HANDLE made = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr);
                    ASSERT_NE(made, INVALID_HANDLE_VALUE);
                    DWORD done = 0;
                    WriteFile(made, "old", 3, &done, nullptr);
                    CloseHandle(made);
                }
                EXPECT_EQ(form.run(*this, b, out.c_str()), 0u) << msg.text;
                std::vector<std::wstring> names;
                WIN32_FIND_DATAW found{};
                HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
                if (search != INVALID_HANDLE_VALUE) {
                    do {
                        const std::wstring n = found.cFileName;
                        if (n != L"." && n != L"..")
                            names.push_back(n);
                    } while (FindNextFileW(search, &found));
                    FindClose(search);
                }
                EXPECT_TRUE(names == std::vector<std::wstring>{c.wideFile})
                    << names.size() << " files in the folder";
                EXPECT_TRUE(toBytes(readFile(out)) == b.dev->inspect(form.expected)) << "content differs";
                for (const std::wstring& n : names)
                    DeleteFileW((folder + L"\\" + n).c_str());
            }
        }
        RemoveDirectoryW(folder.c_str());
    }
}
#endif

// A read that fails leaves the file that was there as it was, and makes none where none was.
TEST_F(OutputFiles, FailedReadTouchesNoFile)
{
    Board& b = plug(boardState(1));
    const std::string dir = host.tmp + "/failed_read";
    fs::create_directories(dir);
    const std::string kept = dir + "/kept.bin", absent = dir + "/absent.bin";
    writeFile(kept, "as it was");
    _content_addr_t beyond{2, 60, 8};
    for (const std::string& out : {kept, absent}) {
        EXPECT_EQ(api->readbootmedia2(recovery, 2, 0, &beyond, out.c_str(), id(b), &msg, nullptr,
                                      nullptr),
                  0x80000034u);
        EXPECT_STREQ(msg.text, "Invalid offset");
    }
    EXPECT_EQ(readFile(kept), "as it was");
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"kept.bin"}));
    fs::remove_all(dir);
}

// Every file the library reads or writes and cannot: status 0x30000, the file and the reason.
TEST_F(OutputFiles, UnusableFilesAreNamedWithTheReason)
{
    Board& xol = plug(boardState(1));
    Board& rom = plug(boardState(0));
    const std::string dir = host.tmp + "/unusable";
    fs::create_directories(dir);
    const std::string missing = dir + "/missing.bin", folder = dir + "/folder",
                      shortIfp = dir + "/short.ifp", cut = dir + "/cut.bin";
    fs::create_directories(folder);
    writeFile(shortIfp, patternText(43, 4));
    // The directory promises two entries and ends inside the first.
    writeFile(cut, moduleText({"xolmod", "rcipifwi"}, 100, 5).substr(0, 30));
    // Garbage for a directory: a count far beyond what the file holds, no name that matches;
    // and a file too short for the directory's header.
    const std::string garbage = dir + "/garbage.bin", stub = dir + "/stub.bin";
    std::string noise = patternText(100, 9);
    noise.replace(4, 4, "\xff\xff\xff\xff");
    writeFile(garbage, noise);
    writeFile(stub, patternText(10, 3));
    const auto malformed = [](const std::string& p, const char* what) {
        return "Cannot read \"" + p + "\": the module directory is malformed: " + what;
    };
    const std::string lost = dir + "/no/such/folder/out.bin";

    struct Case {
        const char* name;
        std::function<unsigned long()> run;
        std::string text;
    };
    const auto cannotOpen = [](const std::string& p, const char* how, const char* why) {
        return "Cannot open \"" + p + "\" for " + how + ": " + why;
    };
    const Case cases[] = {
        {"token file missing",
         [&] { return api->writetoken2(recovery, missing.c_str(), 3, id(xol), &msg, nullptr, nullptr); },
         cannotOpen(missing, "reading", "No such file or directory")},
        {"OEM IFP block is a folder",
         [&] { return api->oemifpprov2(recovery, folder.c_str(), id(xol), &msg, nullptr, nullptr); },
         cannotOpen(folder, "reading", "Is a directory")},
        {"IFP emulation file one byte short",
         [&] {
             _oem_platform_id_t oem;
             _platform_id_t pid;
             _id_dev_flags_t flags;
             _image_error_values_t errors;
             return api->deviceid2(0, shortIfp.c_str(), &oem, &pid, &flags, &errors, id(xol),
                                   &msg, nullptr, nullptr);
         },
         "Cannot read \"" + shortIfp + "\": the file ends early"},
        {"firmware image cut inside its directory",
         [&] {
             _prov_fw_image_cmd_flags_t flags{0};
             return api->downloadfwos(recovery, cut.c_str(), &flags, nullptr, nullptr, id(xol),
                                      &msg, nullptr, nullptr);
         },
         malformed(cut, "entry 1 of 2 runs past the end of the file")},
        {"recovery module cut inside its directory",
         [&] { return api->erasetoken(cut.c_str(), 3, id(rom), &msg, nullptr, nullptr); },
         malformed(cut, "entry 1 of 2 runs past the end of the file")},
        {"firmware image with a garbage directory",
         [&] {
             _prov_fw_image_cmd_flags_t flags{0};
             return api->downloadfwos(recovery, garbage.c_str(), &flags, nullptr, nullptr,
                                      id(xol), &msg, nullptr, nullptr);
         },
         malformed(garbage, "entry 4 of 4294967295 runs past the end of the file")},
        {"recovery module shorter than a directory header",
         [&] { return api->erasetoken(stub.c_str(), 3, id(rom), &msg, nullptr, nullptr); },
         malformed(stub, "the file is shorter than its 16-byte header")},
        {"no firmware image named",
         [&] {
             _prov_fw_image_cmd_flags_t flags{0};
             return api->downloadfwos(recovery, "", &flags, nullptr, nullptr, id(xol), &msg,
                                      nullptr, nullptr);
         },
         "Cannot read the firmware image: no file was named"},
        {"no recovery module named, in ROM context",
         [&] { return api->erasetoken(nullptr, 3, id(rom), &msg, nullptr, nullptr); },
         "Cannot read the recovery module: no file was named"},
        {"no IFP emulation file named",
         [&] {
             _oem_platform_id_t oem;
             _platform_id_t pid;
             _id_dev_flags_t flags;
             _image_error_values_t errors;
             return api->deviceid2(0, "", &oem, &pid, &flags, &errors, id(xol), &msg, nullptr,
                                   nullptr);
         },
         "Cannot read the IFP emulation record: no file was named"},
        {"no platform configuration file named",
         [&] { return api->configpart(recovery, nullptr, 2, 0, id(xol), &msg, nullptr, nullptr); },
         "Cannot read the platform configuration file: no file was named"},
        {"output into a missing folder",
         [&] { return api->readtoken2(recovery, lost.c_str(), 3, id(xol), &msg, nullptr, nullptr); },
         cannotOpen(lost, "writing", "No such file or directory")},
        {"output onto a folder",
         [&] { return api->readtoken2(recovery, folder.c_str(), 3, id(xol), &msg, nullptr, nullptr); },
         cannotOpen(folder, "writing", "Is a directory")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.run(), 0x30000u);
        EXPECT_EQ(std::string(msg.text), c.text);
    }
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"cut.bin", "folder", "garbage.bin",
                                                       "short.ifp", "stub.bin"}));
    fs::remove_all(dir);
}

} // namespace
} // namespace ops
