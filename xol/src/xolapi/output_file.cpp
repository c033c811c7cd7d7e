#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include "file_failure.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
int createNew(std::string const& p)
{
    return ::_open(p.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int openInPlace(std::string const& p)
{
    return ::_open(p.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long writeSome(int fd, char const* data, size_t n)
{
    return ::_write(fd, data, static_cast<unsigned int>(n < (1u << 30) ? n : (1u << 30)));
}
bool writable(std::string const& p) { return ::_access(p.c_str(), 2) == 0; }
int flushToDisk(int fd) { return ::_commit(fd); }
int closeFile(int fd) { return ::_close(fd); }
long processId() { return static_cast<long>(::_getpid()); }
#else
int createNew(std::string const& p)
{
    return ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
int openInPlace(std::string const& p)
{
    return ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}
long writeSome(int fd, char const* data, size_t n)
{
    return static_cast<long>(::write(fd, data, n < (1u << 30) ? n : (1u << 30)));
}
bool writable(std::string const& p) { return ::access(p.c_str(), W_OK) == 0; }
int flushToDisk(int fd) { return ::fsync(fd); }
int closeFile(int fd) { return ::close(fd); }
long processId() { return static_cast<long>(::getpid()); }
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

// Tells the temporaries of one process's concurrent writers apart.
std::atomic<unsigned long> temporaryCount{0};

// Names tried for a temporary before giving up, should other files hold them.
constexpr int maxNameTries = 100;

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
    : path(path), target(path), fd(-1), openFailed(false), sink(std::make_unique<Sink>(*this))
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
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::directory)
        return fail(true, std::make_error_code(std::errc::is_a_directory));
    const bool exists = fs::exists(status);
    if (exists && status.type() != fs::file_type::regular) {
        errno = 0;
        fd = openInPlace(path);
        if (fd < 0)
            fail(true, file_failure::lastError());
        return;
    }
    // A link stays a link: the file it names is the one replaced.
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        const fs::path resolved = fs::canonical(path, ec);
        if (!ec)
            target = resolved.string();
    }
    // A file its owner protected from writing stays protected, though its folder would let a
    // rename replace it.
    if (exists && !writable(target))
        return fail(true, file_failure::lastError());
    for (int attempt = 0; attempt < maxNameTries && fd < 0; ++attempt) {
        const std::string name = target + ".tmp" + std::to_string(processId()) + "-" +
                                 std::to_string(temporaryCount.fetch_add(1));
        errno = 0;
        fd = createNew(name);
        if (fd >= 0) {
            temporary = name;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        const std::error_code why = file_failure::lastError();
        // A folder the user may not add to can still hold a file the user may rewrite.
        if (exists && (why == std::errc::permission_denied ||
                       why == std::errc::operation_not_permitted)) {
            errno = 0;
            fd = openInPlace(target);
            if (fd >= 0)
                return;
        }
        return fail(true, why);
    }
    if (exists)
        fs::permissions(temporary, status.permissions(), ec);
}

void OutputFile::put(char const* data, size_t count)
{
    if (failure || fd < 0)
        return;
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
    if (!temporary.empty() && writtenBytes - queuedBytes >= writeBackStretch) {
        startWriteBack(fd, queuedBytes, writtenBytes - queuedBytes);
        queuedBytes = writtenBytes;
    }
}

void OutputFile::fail(bool opening, std::error_code const& why)
{
    if (failure)
        return;
    openFailed = opening;
    failure = why;
}

void OutputFile::commit()
{
    if (!failure && fd >= 0 && !temporary.empty()) {
        errno = 0;
        if (flushToDisk(fd) != 0)
            fail(false, file_failure::lastError());
    }
    if (fd >= 0) {
        errno = 0;
        if (closeFile(fd) != 0)
            fail(false, file_failure::lastError());
        fd = -1;
    }
    if (!failure && !temporary.empty()) {
        std::error_code ec;
        fs::rename(temporary, target, ec);
        if (ec)
            fail(false, ec);
        else
            temporary.clear();
    }
    if (!failure)
        return;
    discard();
    if (openFailed)
        file_failure::cannotOpen(path, "writing", failure);
    file_failure::cannotWrite(path, failure);
}

void OutputFile::discard()
{
    if (fd >= 0) {
        closeFile(fd);
        fd = -1;
    }
    if (!temporary.empty()) {
        std::error_code ec;
        fs::remove(temporary, ec);
        temporary.clear();
    }
}
