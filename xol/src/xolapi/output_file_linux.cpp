#include "output_file_system.h"

#include <cerrno>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "file_failure.h"

namespace output_file_system {

namespace fs = std::filesystem;

fs::path pathOf(std::string const& p) { return fs::path(p); }
std::string textOf(fs::path const& p) { return p.string(); }

// Opened for reading where it may be, so that the names made in it can be flushed to the disk.
int openFolder(Folder const* base, std::string const& text, Folder& folder)
{
    const int at = base != nullptr ? base->fd : AT_FDCWD;
    const char* name = text.empty() ? "." : text.c_str();
    folder.fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    if (folder.fd < 0 && errno == EACCES)
        folder.fd = ::openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    if (folder.fd >= 0)
        folder.text = base != nullptr && !base->text.empty()
                          ? (fs::path(base->text) / fs::path(text)).string()
                          : text;
    return folder.fd;
}

void closeFolder(Folder& folder)
{
    if (folder.fd >= 0)
        ::close(folder.fd);
    folder.fd = -1;
}

// A folder opened only as a place (EBADF) has its names flushed by the system in its own time.
int flushFolder(Folder const& folder)
{
    if (::fsync(folder.fd) == 0 || errno == EBADF || errno == EINVAL || errno == EROFS)
        return 0;
    return -1;
}

int look(Folder const& folder, std::string const& name, Entry& entry)
{
    entry = Entry{};
    struct stat st {};
    if (::fstatat(folder.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : -1;
    entry.kind = S_ISLNK(st.st_mode)   ? Entry::link
                 : S_ISREG(st.st_mode) ? Entry::regular
                 : S_ISDIR(st.st_mode) ? Entry::directory
                                       : Entry::other;
    entry.device = st.st_dev;
    entry.inode = st.st_ino;
    entry.owner = st.st_uid;
    entry.group = st.st_gid;
    entry.mode = st.st_mode & 07777;
    entry.known = true;
    return 0;
}

int readLink(Folder const& folder, std::string const& name, std::string& to)
{
    std::vector<char> text(256);
    for (;;) {
        const ssize_t n = ::readlinkat(folder.fd, name.c_str(), text.data(), text.size());
        if (n < 0)
            return -1;
        if (static_cast<size_t>(n) < text.size()) {
            to.assign(text.data(), static_cast<size_t>(n));
            return 0;
        }
        text.resize(text.size() * 2);
    }
}

bool mayFollow(Folder const& folder, Entry const& link)
{
    struct stat st {};
    if (link.owner == ::geteuid() || ::fstat(folder.fd, &st) != 0)
        return true;
    return (st.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) || st.st_uid == link.owner;
}

// Such a link reads back as the path of the file behind the descriptor: a file opened anew from
// it would start at its beginning and not append, and one renamed over that path would take the
// place of what the shell had written there already.
int descriptorNamed(Folder const& folder, std::string const& name)
{
    if (name.empty() || name.size() >= 10 ||
        name.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    struct stat own {}, st {};
    if (::stat("/proc/self/fd", &own) != 0 || ::fstat(folder.fd, &st) != 0 ||
        own.st_dev != st.st_dev || own.st_ino != st.st_ino)
        return -1;
    return std::stoi(name);
}

// A temporary `closed` to others from the start: one that holds content before it gets the
// mode of the file it replaces, or never does, must not be opened by another user meanwhile.
static mode_t creationMode(bool closed) { return closed ? 0600 : 0666; }

int createNew(Folder const& folder, std::string const& name, bool closed)
{
    return ::openat(folder.fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                    creationMode(closed));
}

// A file without a name, so that nothing is left of it should the process die.
int createNameless(Folder const& folder, bool closed)
{
#ifdef O_TMPFILE
    // Naming it later goes through /proc where the caller may not link by descriptor.
    if (::access("/proc/self/fd", X_OK) != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::openat(folder.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, creationMode(closed));
#else
    (void)folder;
    (void)closed;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

int linkNameless(int fd, Folder const& folder, std::string const& name)
{
#ifdef AT_EMPTY_PATH
    if (::linkat(fd, "", folder.fd, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno == EEXIST)
        return -1;
#endif
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), folder.fd, name.c_str(), AT_SYMLINK_FOLLOW);
}

std::error_code renameIn(Folder const& folder, std::string const& from, std::string const& to)
{
    errno = 0;
    if (::renameat(folder.fd, from.c_str(), folder.fd, to.c_str()) == 0)
        return {};
    return file_failure::lastError();
}

void removeIn(Folder const& folder, std::string const& name)
{
    ::unlinkat(folder.fd, name.c_str(), 0);
}

// A regular file, as it was examined: should a pipe have taken its place, the open does not
// wait for a reader, and fails the check that it is the file examined.
int openExisting(Folder const& folder, std::string const& name)
{
    return ::openat(folder.fd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

int openForReading(Folder const& folder, std::string const& name)
{
    return ::openat(folder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

// Not cut on opening: a device or pipe has nothing to cut, and a file put in its place since it
// was examined fails the check that it is the one examined, and must be left as it was. O_CREAT,
// though the name holds a device or a pipe already: with it the system's rule for another user's
// pipe in a sticky folder (fs.protected_fifos) applies, as to any open that may create.
int openInPlace(Folder const& folder, std::string const& name)
{
    return ::openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool isEntry(int fd, Entry const& entry)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_dev == entry.device && st.st_ino == entry.inode;
}

void identify(int fd, Entry& entry)
{
    entry = Entry{};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return;
    entry.device = st.st_dev;
    entry.inode = st.st_ino;
    entry.known = true;
}

bool writable(Folder const& folder, std::string const& name)
{
    return ::faccessat(folder.fd, name.c_str(), W_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

// An access list whose mask was copied as the group's mode would give the group what the list
// gave another user. The security label is left out: a new file in the folder gets the folder's.
bool hasExtendedAttributes(Folder const& folder, std::string const& name)
{
    // The name in the folder held open, through the process's view of its descriptors.
    std::string at = "/proc/self/fd/" + std::to_string(folder.fd) + "/" + name;
    if (::access("/proc/self/fd", X_OK) != 0)
        at = (fs::path(folder.text.empty() ? "." : folder.text) / name).string();
    std::vector<char> names(4096);
    ssize_t size;
    while ((size = ::llistxattr(at.c_str(), names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 2);
    for (ssize_t from = 0; from < size;) {
        const std::string attribute(names.data() + from);
        if (attribute != "security.selinux")
            return true;
        from += static_cast<ssize_t>(attribute.size()) + 1;
    }
    return false;
}

bool giveAttributes(int fd, Folder const&, std::string const&, Entry const& entry)
{
    struct stat own {};
    if (::fstat(fd, &own) != 0)
        return false;
    if ((own.st_uid != entry.owner || own.st_gid != entry.group) &&
        ::fchown(fd, static_cast<uid_t>(entry.owner), static_cast<gid_t>(entry.group)) != 0)
        return false;
    // After the owner: a change of owner clears the set-id bits.
    return ::fchmod(fd, static_cast<mode_t>(entry.mode)) == 0;
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

// So that a full disk shows before the file's first byte is overwritten. A file system that
// cannot is left to the writes.
int reserve(int fd, unsigned long long size)
{
    if (size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
        return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL ? 0 : -1;
}

int resize(int fd, unsigned long long size) { return ::ftruncate(fd, static_cast<off_t>(size)); }
int flushToDisk(int fd) { return ::fsync(fd); }
bool unflushable(int err) { return err == EINVAL || err == EROFS || err == EOPNOTSUPP; }

// So that the flush before the rename finds little left to do. A failure here is the flush's to
// report.
void startWriteBack(int fd, unsigned long long offset, unsigned long long count)
{
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(count),
                      SYNC_FILE_RANGE_WRITE);
}

int closeFile(int fd) { return ::close(fd); }
long processId() { return static_cast<long>(::getpid()); }

} // namespace output_file_system
