#include "output_file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

namespace output_file_system {

namespace fs = std::filesystem;

// The standard library reads a narrow path as Latin-1 and writes one as UTF-8: a name beyond
// ASCII would come back from fs::path as another name. The system's narrow functions read it in
// the ANSI code page. A character the code page cannot spell comes back as '?', which no file
// name holds, never as a look-alike.
fs::path pathOf(std::string const& p)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, p.data(), static_cast<int>(p.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, p.data(), static_cast<int>(p.size()), &wide[0], size);
    return fs::path(wide);
}

// UTF-8 and GB18030 spell every character and refuse the no-look-alike flag.
static DWORD noBestFit()
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

// The path of `name` in `folder`.
static std::string pathIn(Folder const& folder, std::string const& name)
{
    return folder.text.empty() ? name : textOf(pathOf(folder.text) / pathOf(name));
}

// Folders are not held: the files in them are named by their paths.
int openFolder(Folder const* base, std::string const& text, Folder& folder)
{
    folder.text = base != nullptr ? pathIn(*base, text) : text;
    folder.fd = 0;
    return 0;
}

void closeFolder(Folder& folder) { folder.fd = -1; }
int flushFolder(Folder const&) { return 0; }

// A name that cannot be looked at counts as no file, for the open to report.
int look(Folder const& folder, std::string const& name, Entry& entry)
{
    entry = Entry{};
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(pathOf(pathIn(folder, name)), ec);
    if (ec || !fs::exists(status))
        return 0;
    switch (status.type()) {
    case fs::file_type::symlink: entry.kind = Entry::link; break;
    case fs::file_type::regular: entry.kind = Entry::regular; break;
    case fs::file_type::directory: entry.kind = Entry::directory; break;
    default: entry.kind = Entry::other; break;
    }
    entry.mode = static_cast<unsigned long>(status.permissions());
    return 0;
}

int readLink(Folder const& folder, std::string const& name, std::string& to)
{
    std::error_code ec;
    const fs::path link = fs::read_symlink(pathOf(pathIn(folder, name)), ec);
    if (ec) {
        errno = ec.value();
        return -1;
    }
    to = textOf(link);
    return 0;
}

// No folder lets everyone add to it but only owners remove from it.
bool mayFollow(Folder const&, Entry const&) { return true; }
int descriptorNamed(Folder const&, std::string const&) { return -1; }

int createNew(Folder const& folder, std::string const& name, bool)
{
    return ::_open(pathIn(folder, name).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY,
                   _S_IREAD | _S_IWRITE);
}

int createNameless(Folder const&, bool)
{
    errno = EOPNOTSUPP;
    return -1;
}

int linkNameless(int, Folder const&, std::string const&)
{
    errno = EOPNOTSUPP;
    return -1;
}

std::error_code renameIn(Folder const& folder, std::string const& from, std::string const& to)
{
    std::error_code ec;
    fs::rename(pathOf(pathIn(folder, from)), pathOf(pathIn(folder, to)), ec);
    return ec;
}

void removeIn(Folder const& folder, std::string const& name)
{
    std::error_code ec;
    fs::remove(pathOf(pathIn(folder, name)), ec);
}

int openExisting(Folder const& folder, std::string const& name)
{
    return ::_open(pathIn(folder, name).c_str(), _O_WRONLY | _O_BINARY);
}

int openForReading(Folder const& folder, std::string const& name)
{
    return ::_open(pathIn(folder, name).c_str(), _O_RDONLY | _O_BINARY);
}

int openInPlace(Folder const& folder, std::string const& name)
{
    return ::_open(pathIn(folder, name).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                   _S_IREAD | _S_IWRITE);
}

bool isEntry(int, Entry const&) { return true; }
void identify(int, Entry& entry) { entry = Entry{}; }

bool writable(Folder const& folder, std::string const& name)
{
    return ::_access(pathIn(folder, name).c_str(), 2) == 0;
}

bool hasExtendedAttributes(Folder const&, std::string const&) { return false; }

bool giveAttributes(int, Folder const& folder, std::string const& name, Entry const& entry)
{
    std::error_code ec;
    fs::permissions(pathOf(pathIn(folder, name)), static_cast<fs::perms>(entry.mode), ec);
    return true;
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

int flushToDisk(int fd) { return ::_commit(fd); }
bool unflushable(int err) { return err == EINVAL || err == EBADF; }
void startWriteBack(int, unsigned long long, unsigned long long) {}
int closeFile(int fd) { return ::_close(fd); }
long processId() { return static_cast<long>(::_getpid()); }

} // namespace output_file_system
