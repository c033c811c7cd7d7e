#include "output_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "file_failure.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// A path as the system's narrow functions read it, in the ANSI code page, both ways. The
// standard library reads a narrow path as Latin-1 and writes one as UTF-8: a name beyond ASCII
// would come back from fs::path as another name. A character the code page cannot spell comes
// back as '?', which no file name holds, never as a look-alike.
fs::path pathOf(std::string const& p)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, p.data(), static_cast<int>(p.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, p.data(), static_cast<int>(p.size()), &wide[0], size);
    return fs::path(wide);
}
// UTF-8 and GB18030 spell every character and refuse the no-look-alike flag.
DWORD noBestFit()
{
    const UINT page = GetACP();
    return page == CP_UTF8 || page == 54936 ? 0 : WC_NO_BEST_FIT_CHARS;
}
std::string textOf(fs::path const& p)
{
    const std::wstring& wide = p.native();
    const int size = WideCharToMultiByte(CP_ACP, noBestFit(), wide.data(),
                                         static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, noBestFit(), wide.data(), static_cast<int>(wide.size()),
                            &text[0], size, nullptr, nullptr);
    return text;
}
// The files made in a folder are named by their paths.
int openFolder(std::string const&) { return 0; }
int flushFolder(int) { return 0; }
int createNew(int, std::string const& p, bool)
{
    return ::_open(p.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int createNameless(int, bool)
{
    errno = EOPNOTSUPP;
    return -1;
}
int linkNameless(int, int, std::string const&)
{
    errno = EOPNOTSUPP;
    return -1;
}
std::error_code renameIn(int, std::string const& from, std::string const& to)
{
    std::error_code ec;
    fs::rename(pathOf(from), pathOf(to), ec);
    return ec;
}
void removeIn(int, std::string const& p)
{
    std::error_code ec;
    fs::remove(pathOf(p), ec);
}
int openExisting(std::string const& p) { return ::_open(p.c_str(), _O_WRONLY | _O_BINARY); }
int openExistingIn(int, std::string const& p) { return openExisting(p); }
int openForReadingIn(int, std::string const& p)
{
    return ::_open(p.c_str(), _O_RDONLY | _O_BINARY);
}
int openInPlace(std::string const& p)
{
    return ::_open(p.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long writeSome(int fd, char const* data, size_t n)
{
    return ::_write(fd, data, static_cast<unsigned int>(n < (1u << 30) ? n : (1u << 30)));
}
long readAt(int fd, char* data, size_t n, unsigned long long offset)
{
    if (::_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0)
        return -1;
    return ::_read(fd, data, static_cast<unsigned int>(n < (1u << 30) ? n : (1u << 30)));
}
int reserve(int, unsigned long long) { return 0; }
int resize(int fd, unsigned long long size)
{
    const int err = ::_chsize_s(fd, static_cast<long long>(size));
    errno = err;
    return err == 0 ? 0 : -1;
}
bool writable(std::string const& p) { return ::_access(p.c_str(), 2) == 0; }
int flushToDisk(int fd) { return ::_commit(fd); }
// A device or pipe that has nothing to flush.
bool unflushable(int err) { return err == EINVAL || err == EBADF; }
int closeFile(int fd) { return ::_close(fd); }
long processId() { return static_cast<long>(::_getpid()); }
bool hasExtendedAttributes(std::string const&) { return false; }
#else
fs::path pathOf(std::string const& p) { return fs::path(p); }
std::string textOf(fs::path const& p) { return p.string(); }
std::string leaf(std::string const& p) { return fs::path(p).filename().string(); }
// The files made in a folder go into the folder held open, whatever its path leads to by then:
// another user may swap a folder of the path for a link while the operation runs.
// Opened for reading where it may be, so that the names made in it can be flushed to the disk.
int openFolder(std::string const& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    if (fd < 0 && errno == EACCES)
        return ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    return fd;
}
// A folder opened only as a place (EBADF) has its names flushed by the system in its own time.
int flushFolder(int folder)
{
    if (::fsync(folder) == 0 || errno == EBADF || errno == EINVAL || errno == EROFS)
        return 0;
    return -1;
}
// A temporary `closed` to others from the start: one that holds content before it gets the
// mode of the file it replaces, or never does, must not be opened by another user meanwhile.
mode_t creationMode(bool closed) { return closed ? 0600 : 0666; }
int createNew(int folder, std::string const& p, bool closed)
{
    return ::openat(folder, leaf(p).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                    creationMode(closed));
}
// A file in `folder` without a name, so that nothing is left of it should the process die.
int createNameless(int folder, bool closed)
{
#ifdef O_TMPFILE
    // Naming it later goes through /proc where the caller may not link by descriptor.
    if (::access("/proc/self/fd", X_OK) != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, creationMode(closed));
#else
    (void)folder;
    (void)closed;
    errno = EOPNOTSUPP;
    return -1;
#endif
}
int linkNameless(int fd, int folder, std::string const& name)
{
#ifdef AT_EMPTY_PATH
    if (::linkat(fd, "", folder, leaf(name).c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno == EEXIST)
        return -1;
#endif
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), folder, leaf(name).c_str(), AT_SYMLINK_FOLLOW);
}
std::error_code renameIn(int folder, std::string const& from, std::string const& to)
{
    errno = 0;
    if (::renameat(folder, leaf(from).c_str(), folder, leaf(to).c_str()) == 0)
        return {};
    return file_failure::lastError();
}
void removeIn(int folder, std::string const& p) { ::unlinkat(folder, leaf(p).c_str(), 0); }
int openExisting(std::string const& p) { return ::open(p.c_str(), O_WRONLY | O_CLOEXEC); }
// The target as it stands in the held folder: a link put there since is not followed.
int openExistingIn(int folder, std::string const& p)
{
    return ::openat(folder, leaf(p).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
}
int openForReadingIn(int folder, std::string const& p)
{
    return ::openat(folder, leaf(p).c_str(), O_RDONLY | O_CLOEXEC);
}
int openInPlace(std::string const& p)
{
    return ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}
long writeSome(int fd, char const* data, size_t n)
{
    return static_cast<long>(::write(fd, data, n < (1u << 30) ? n : (1u << 30)));
}
long readAt(int fd, char* data, size_t n, unsigned long long offset)
{
    return static_cast<long>(::pread(fd, data, n < (1u << 30) ? n : (1u << 30),
                                     static_cast<off_t>(offset)));
}
// Claims the disk space of `size` bytes without changing the file, so that a full disk shows
// before its first byte is overwritten. A file system that cannot is left to the writes.
int reserve(int fd, unsigned long long size)
{
#ifdef __linux__
    if (size == 0 ||
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
        return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL ? 0 : -1;
#else
    (void)fd;
    (void)size;
    return 0;
#endif
}
int resize(int fd, unsigned long long size) { return ::ftruncate(fd, static_cast<off_t>(size)); }
bool writable(std::string const& p) { return ::access(p.c_str(), W_OK) == 0; }
int flushToDisk(int fd) { return ::fsync(fd); }
bool unflushable(int err) { return err == EINVAL || err == EROFS || err == EOPNOTSUPP; }
int closeFile(int fd) { return ::close(fd); }
long processId() { return static_cast<long>(::getpid()); }
// Attributes a new file would not get as they are, an access list above all: one whose mask
// was copied as the group's mode would give the group what the list gave another user. The
// security label is left out: a new file in the folder gets the folder's.
bool hasExtendedAttributes(std::string const& p)
{
#ifdef __linux__
    std::vector<char> names(4096);
    ssize_t size;
    while ((size = ::listxattr(p.c_str(), names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 2);
    for (ssize_t at = 0; at < size;) {
        const std::string name(names.data() + at);
        if (name != "security.selinux")
            return true;
        at += static_cast<ssize_t>(name.size()) + 1;
    }
    return false;
#else
    (void)p;
    return false;
#endif
}
#endif

// Starts writing a stretch of the file to the disk without waiting for it, so that the flush
// before the rename finds little left to do. A failure here is the flush's to report.
void startWriteBack(int fd, unsigned long long offset, unsigned long long count)
{
#ifdef __linux__
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(count),
                      SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
    (void)offset;
    (void)count;
#endif
}

// How much content a temporary gathers before its write-back is started.
constexpr unsigned long long writeBackStretch = 2ull << 20;

// Content gathered before it is written: a download's small chunks make few system calls.
constexpr size_t gatherSize = 1u << 20;

// Tells the temporaries of one process's concurrent writers apart.
std::atomic<unsigned long> temporaryCount{0};

// Names tried for a temporary before giving up, should other files hold them.
constexpr int maxNameTries = 100;

// Links followed before the path counts as a loop.
constexpr int maxLinks = 40;

// The longest name a folder takes, in bytes.
constexpr size_t maxNameLength = 255;

// `base` with the mark of this process's next temporary, its last part cut where the two would
// make a name longer than a folder takes.
std::string temporaryName(std::string const& base)
{
    const std::string mark = ".tmp" + std::to_string(processId()) + "-" +
                             std::to_string(temporaryCount.fetch_add(1));
    const fs::path p = pathOf(base);
    std::string name = textOf(p.filename());
    if (name.size() + mark.size() > maxNameLength)
        name.resize(maxNameLength - mark.size());
    return textOf(p.parent_path() / pathOf(name + mark));
}

// Whether the link `p` may be followed as the system follows links for the process: not one
// that another user put in a folder everyone may add to but only owners remove from (/tmp),
// unless it is the folder owner's. Followed by name, a link would not meet that check.
bool mayFollow(fs::path const& p)
{
#ifdef _WIN32
    (void)p;
    return true;
#else
    const fs::path parent = p.parent_path();
    struct stat link {}, folder {};
    if (::lstat(p.c_str(), &link) != 0 || link.st_uid == ::geteuid() ||
        ::stat(parent.empty() ? "." : parent.c_str(), &folder) != 0)
        return true;
    return (folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) ||
           folder.st_uid == link.st_uid;
#endif
}

// The file `path` names once its links are followed, each relative to its own folder; the file
// need not exist.
std::string linkTarget(std::string const& path, std::error_code& ec)
{
    fs::path p = pathOf(path);
    for (int hops = 0;; ++hops) {
        std::error_code statusEc;
        if (!fs::is_symlink(fs::symlink_status(p, statusEc)))
            return textOf(p);
        if (hops == maxLinks) {
            ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
            return path;
        }
        if (!mayFollow(p)) {
            ec = std::make_error_code(std::errc::permission_denied);
            return path;
        }
        const fs::path to = fs::read_symlink(p, ec);
        if (ec)
            return path;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
}

std::string folderOf(std::string const& file)
{
    const fs::path parent = pathOf(file).parent_path();
    return parent.empty() ? std::string(".") : textOf(parent);
}

bool refused(std::error_code const& why)
{
    return why == std::errc::permission_denied || why == std::errc::operation_not_permitted;
}

// The descriptor of this process that `path` names through its links (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N), or -1. Such a link reads back as the path of the file behind the descriptor:
// a file opened anew from it would start at its beginning and not append, and one renamed over
// that path would take the place of what the shell had written there already.
#ifdef __linux__
int descriptorNamed(std::string const& path)
{
    std::error_code ownEc;
    const fs::path ownFolder = fs::canonical("/proc/self/fd", ownEc);
    if (ownEc)
        return -1;
    fs::path p(path);
    for (int hops = 0; hops < maxLinks; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec)))
            return -1;
        const std::string name = p.filename().string();
        if (!name.empty() && name.size() < 10 &&
            name.find_first_not_of("0123456789") == std::string::npos &&
            fs::canonical(p.parent_path(), ec) == ownFolder && !ec)
            return std::stoi(name);
        const fs::path to = fs::read_symlink(p, ec);
        if (ec)
            return -1;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    return -1;
}
#endif

} // namespace

class OutputFile::Sink : public std::streambuf {
public:
    explicit Sink(OutputFile& file) : file(file) {}

protected:
    std::streamsize xsputn(char const* data, std::streamsize count) override
    {
        if (count > 0)
            file.put(data, static_cast<size_t>(count));
        return count;
    }
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char ch = traits_type::to_char_type(c);
            file.put(&ch, 1);
        }
        return traits_type::not_eof(c);
    }

private:
    OutputFile& file;
};

OutputFile::OutputFile(std::string const& path)
    : path(path), target(path), fd(-1), targetFd(-1), openFailed(false),
      sink(std::make_unique<Sink>(*this))
{
    open();
}

OutputFile::~OutputFile()
{
    discard();
}

std::streambuf& OutputFile::content()
{
    return *sink;
}

void OutputFile::open()
{
    if (path.empty())
        return fail(true, std::make_error_code(std::errc::no_such_file_or_directory));
#ifdef __linux__
    const int named = descriptorNamed(path);
    if (named >= 0) {
        errno = 0;
        const int flags = ::fcntl(named, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY)
            errno = EBADF;
        else if (flags >= 0)
            fd = ::fcntl(named, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return fail(true, file_failure::lastError());
        route = Route::inPlace;
        return;
    }
#endif
    std::error_code ec;
    // A device or pipe is opened as the system resolves the path.
    fs::file_status status = fs::status(pathOf(path), ec);
    ec.clear();
    if (!fs::exists(status) || fs::is_regular_file(status)) {
        target = linkTarget(path, ec);
        if (ec)
            return fail(true, ec);
        status = fs::status(pathOf(target), ec);
    }
    if (status.type() == fs::file_type::directory)
        return fail(true, std::make_error_code(std::errc::is_a_directory));
    const bool exists = fs::exists(status);
    if (exists && status.type() != fs::file_type::regular) {
        errno = 0;
        fd = openInPlace(target);
        if (fd < 0)
            return fail(true, file_failure::lastError());
        route = Route::inPlace;
        return;
    }
    // A file its owner protected from writing stays protected, though its folder would let a
    // rename replace it.
    if (exists && !writable(target))
        return fail(true, file_failure::lastError());
    if (exists) {
#ifdef _WIN32
        mode = static_cast<unsigned long>(status.permissions());
#else
        struct stat st {};
        if (::stat(target.c_str(), &st) == 0) {
            keepAttributes = true;
            ownerId = st.st_uid;
            groupId = st.st_gid;
            mode = st.st_mode & 07777;
        }
#endif
    }
    // Nothing beside the file could carry its access list or other extended attributes over.
    if (exists && hasExtendedAttributes(target))
        return openElsewhere();
    if (openBeside(exists))
        return;
    const std::error_code why = failure;
    // A folder the user may not add to, or an owner the user may not give, can still hold a
    // file the user may rewrite.
    if (exists && refused(why)) {
        failure.clear();
        // The folder held open beside the file is let go before the temporary folder's is.
        discard();
        openElsewhere();
    }
}

// A temporary in `folder`: a nameless one where the system has them, else the first free name
// made of `base`; `closed`, its owner's alone.
bool OutputFile::createTemporary(std::string const& folder, std::string const& base, bool closed)
{
    errno = 0;
    folderFd = openFolder(folder);
    if (folderFd < 0) {
        fail(true, file_failure::lastError());
        return false;
    }
    errno = 0;
    fd = createNameless(folderFd, closed);
    nameless = fd >= 0;
    for (int attempt = 0; attempt < maxNameTries && fd < 0; ++attempt) {
        const std::string name = temporaryName(base);
        errno = 0;
        fd = createNew(folderFd, name, closed);
        if (fd >= 0)
            temporary = name;
        else if (errno != EEXIST)
            break;
    }
    if (fd < 0)
        fail(true, file_failure::lastError());
    return fd >= 0;
}

bool OutputFile::openBeside(bool exists)
{
    if (!createTemporary(folderOf(target), target, exists && keepAttributes))
        return false;
    route = Route::replace;
    if (!exists)
        return true;
    errno = 0;
#ifdef _WIN32
    std::error_code ec;
    fs::permissions(pathOf(temporary), static_cast<fs::perms>(mode), ec);
    return true;
#else
    struct stat own {};
    bool kept = ::fstat(fd, &own) == 0;
    if (kept && !keepAttributes)
        return true;
    if (kept && (own.st_uid != ownerId || own.st_gid != groupId))
        kept = ::fchown(fd, static_cast<uid_t>(ownerId), static_cast<gid_t>(groupId)) == 0;
    // After the owner: a change of owner clears the set-id bits.
    if (kept)
        kept = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
    if (kept)
        return true;
    fail(true, file_failure::lastError());
    discard();
    route = Route::none;
    return false;
#endif
}

// The content waits in the system's temporary folder, and the target, opened now so that it is
// checked before the operation, is written only at commit().
void OutputFile::openElsewhere()
{
    errno = 0;
    targetFd = openExisting(target);
    if (targetFd < 0)
        return fail(true, file_failure::lastError());
    staging = "the temporary folder";
    std::error_code ec;
    const fs::path folder = fs::temp_directory_path(ec);
    if (ec)
        return fail(true, ec);
    staging += " \"" + folder.string() + "\"";
    if (createTemporary(textOf(folder), textOf(folder / pathOf(target).filename()), true))
        route = Route::copyIn;
}

void OutputFile::put(char const* data, size_t count)
{
    if (failure || fd < 0)
        return;
    if (pending.empty() && count >= gatherSize)
        return writeOut(data, count);
    if (pending.capacity() < gatherSize)
        pending.reserve(gatherSize);
    while (count > 0 && !failure) {
        const size_t take = std::min(count, gatherSize - pending.size());
        pending.insert(pending.end(), data, data + take);
        data += take;
        count -= take;
        if (pending.size() == gatherSize)
            drain();
    }
}

void OutputFile::drain()
{
    if (!pending.empty() && !failure && fd >= 0)
        writeOut(pending.data(), pending.size());
    pending.clear();
}

void OutputFile::writeOut(char const* data, size_t count)
{
    while (count > 0) {
        errno = 0;
        const long written = writeSome(fd, data, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return fail(false, file_failure::lastError());
        data += written;
        count -= static_cast<size_t>(written);
        writtenBytes += static_cast<unsigned long long>(written);
    }
    if (route == Route::replace && writtenBytes - queuedBytes >= writeBackStretch) {
        startWriteBack(fd, queuedBytes, writtenBytes - queuedBytes);
        queuedBytes = writtenBytes;
    }
}

// Copies the content from its temporary into the file `to` from its start, cuts what is left of
// the file's old content, and flushes it to the disk.
void OutputFile::copyInto(int to)
{
    errno = 0;
    if (reserve(to, writtenBytes) != 0)
        return fail(false, file_failure::lastError());
    pending.resize(static_cast<size_t>(std::min<unsigned long long>(gatherSize, writtenBytes)));
    for (unsigned long long done = 0; done < writtenBytes;) {
        const size_t want =
            static_cast<size_t>(std::min<unsigned long long>(pending.size(), writtenBytes - done));
        errno = 0;
        const long got = readAt(fd, pending.data(), want, done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return fail(false, file_failure::lastError());
        for (long sent = 0; sent < got;) {
            errno = 0;
            const long n = writeSome(to, pending.data() + sent, static_cast<size_t>(got - sent));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail(false, file_failure::lastError());
            sent += n;
        }
        done += static_cast<unsigned long long>(got);
    }
    pending.clear();
    errno = 0;
    if (resize(to, writtenBytes) != 0 || flushToDisk(to) != 0)
        fail(false, file_failure::lastError());
}

// A sticky folder lets no one but their owner replace its files, and a file mounted on its
// name (a container's bound file) cannot be replaced at all: the content is copied into the
// target instead.
void OutputFile::putInPlace()
{
    errno = 0;
    const int source = openForReadingIn(folderFd, temporary);
    if (source < 0)
        return fail(false, file_failure::lastError());
    const int to = openExistingIn(folderFd, target);
    if (to < 0) {
        fail(false, file_failure::lastError());
        closeFile(source);
        return;
    }
    fd = source;
    copyInto(to);
    errno = 0;
    if (closeFile(to) != 0)
        fail(false, file_failure::lastError());
}

void OutputFile::fail(bool opening, std::error_code const& why)
{
    if (failure)
        return;
    openFailed = opening;
    failure = why;
    failedStaging = !staging.empty();
}

void OutputFile::commit()
{
    drain();
    if (!failure && route == Route::inPlace) {
        errno = 0;
        if (flushToDisk(fd) != 0 && !unflushable(errno))
            fail(false, file_failure::lastError());
    }
    if (!failure && route == Route::replace) {
        errno = 0;
        if (flushToDisk(fd) != 0)
            fail(false, file_failure::lastError());
        for (int attempt = 0; !failure && nameless && attempt < maxNameTries; ++attempt) {
            const std::string name = temporaryName(target);
            errno = 0;
            if (linkNameless(fd, folderFd, name) == 0) {
                temporary = name;
                nameless = false;
            } else if (errno != EEXIST) {
                fail(false, file_failure::lastError());
            }
        }
        if (nameless)
            fail(false, std::make_error_code(std::errc::file_exists));
    }
    if (!failure && route == Route::copyIn) {
        staging.clear();
        copyInto(targetFd);
    }
    for (int* open : {&fd, &targetFd}) {
        if (*open < 0)
            continue;
        errno = 0;
        if (closeFile(*open) != 0)
            fail(false, file_failure::lastError());
        *open = -1;
    }
    if (!failure && route == Route::replace) {
        const std::error_code ec = renameIn(folderFd, temporary, target);
        if (!ec) {
            temporary.clear();
            // The new name, too, is on the disk before success is reported.
            errno = 0;
            if (flushFolder(folderFd) != 0)
                fail(false, file_failure::lastError());
        }
        else if (refused(ec) || ec == std::errc::device_or_resource_busy)
            putInPlace();
        else
            fail(false, ec);
    }
    const bool written = !failure;
    discard();
    if (written)
        return;
    // A temporary folder that cannot take the content is named: the file itself may be fine.
    const std::string through = failedStaging ? "through " + staging : std::string();
    if (openFailed)
        file_failure::cannotOpen(path, through.empty() ? "writing" : ("writing " + through).c_str(),
                                 failure);
    file_failure::cannotWrite(path, failure, through);
}

void OutputFile::discard()
{
    for (int* open : {&fd, &targetFd}) {
        if (*open >= 0)
            closeFile(*open);
        *open = -1;
    }
    if (!temporary.empty()) {
        removeIn(folderFd, temporary);
        temporary.clear();
    }
#ifndef _WIN32
    if (folderFd >= 0)
        closeFile(folderFd);
#endif
    folderFd = -1;
}
