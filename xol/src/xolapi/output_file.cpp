#include "output_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#endif

#include "file_failure.h"
#include "output_file_system.h"

namespace fs = std::filesystem;
using namespace output_file_system;

namespace {

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

// `name` with the mark of this process's next temporary, cut where the two would make a name
// longer than a folder takes.
std::string temporaryName(std::string name)
{
    const std::string mark = ".tmp" + std::to_string(processId()) + "-" +
                             std::to_string(temporaryCount.fetch_add(1));
    if (name.size() + mark.size() > maxNameLength)
        name.resize(maxNameLength - mark.size());
    return name + mark;
}

bool refused(std::error_code const& why)
{
    return why == std::errc::permission_denied || why == std::errc::operation_not_permitted;
}

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
    : path(path), fd(-1), targetFd(-1), openFailed(false),
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

// The path is resolved once, here, and no later step follows a link: the link the path ends
// in, and every link met from there, is followed by the rule of `mayFollow`, hop by hop, to the
// folder held open and a name in it, or to a descriptor of the process. The folders of each
// path on the way are followed as the system follows them.
bool OutputFile::resolve(int& descriptor)
{
    std::string rest = path;
    Folder base;
    for (int hops = 0;; ++hops) {
        const fs::path p = pathOf(rest);
        name = textOf(p.filename());
        errno = 0;
        const int opened =
            openFolder(base.fd >= 0 ? &base : nullptr, textOf(p.parent_path()), folder);
        std::error_code why = file_failure::lastError();
        closeFolder(base);
        if (opened >= 0) {
            why.clear();
            errno = 0;
            if (name.empty() || name == "." || name == "..")
                why = std::make_error_code(std::errc::is_a_directory);
            else if (look(folder, name, examined) != 0)
                why = file_failure::lastError();
            else if (examined.kind != Entry::link)
                return true;
            else if (hops == maxLinks)
                why = std::make_error_code(std::errc::too_many_symbolic_link_levels);
            else if (!mayFollow(folder, examined))
                why = std::make_error_code(std::errc::permission_denied);
        }
        if (why) {
            fail(true, why);
            return false;
        }
        descriptor = descriptorNamed(folder, name);
        if (descriptor >= 0) {
            closeFolder(folder);
            return true;
        }
        errno = 0;
        if (readLink(folder, name, rest) != 0) {
            fail(true, file_failure::lastError());
            return false;
        }
        // The link's target is looked up from the link's own folder.
        base = folder;
        folder = Folder{};
    }
}

void OutputFile::open()
{
    if (path.empty())
        return fail(true, std::make_error_code(std::errc::no_such_file_or_directory));
    int descriptor = -1;
    if (!resolve(descriptor))
        return;
#ifndef _WIN32
    if (descriptor >= 0) {
        errno = 0;
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY)
            errno = EBADF;
        else if (flags >= 0)
            fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return fail(true, file_failure::lastError());
        route = Route::inPlace;
        return;
    }
#endif
    if (examined.kind == Entry::directory)
        return fail(true, std::make_error_code(std::errc::is_a_directory));
    const bool exists = examined.kind != Entry::missing;
    if (examined.kind == Entry::other) {
        errno = 0;
        fd = openInPlace(folder, name);
        if (fd < 0)
            return fail(true, file_failure::lastError());
        if (!isEntry(fd, examined))
            return fail(true, file_failure::replacedMeanwhile());
        route = Route::inPlace;
        return;
    }
    // A file its owner protected from writing stays protected, though its folder would let a
    // rename replace it.
    if (exists && !writable(folder, name))
        return fail(true, file_failure::lastError());
    // Nothing beside the file could carry its access list or other extended attributes over.
    if (exists && hasExtendedAttributes(folder, name))
        return openElsewhere();
    if (openBeside(exists))
        return;
    const std::error_code why = failure;
    // A folder the user may not add to, or an owner the user may not give, can still hold a
    // file the user may rewrite.
    if (exists && refused(why)) {
        failure.clear();
        dropTemporary();
        openElsewhere();
    }
}

// A temporary in the folder held open: a nameless one where the system has them, else the
// first free name made of `base`; `closed`, its owner's alone.
bool OutputFile::createTemporary(std::string const& base, bool closed)
{
    errno = 0;
    fd = createNameless(folder, closed);
    nameless = fd >= 0;
    for (int attempt = 0; attempt < maxNameTries && fd < 0; ++attempt) {
        const std::string made = temporaryName(base);
        errno = 0;
        fd = createNew(folder, made, closed);
        if (fd >= 0)
            temporary = made;
        else if (errno != EEXIST)
            break;
    }
    if (fd < 0)
        fail(true, file_failure::lastError());
    return fd >= 0;
}

bool OutputFile::openBeside(bool exists)
{
    if (!createTemporary(name, exists && examined.known))
        return false;
    route = Route::replace;
    errno = 0;
    if (!exists || giveAttributes(fd, folder, temporary, examined))
        return true;
    fail(true, file_failure::lastError());
    dropTemporary();
    route = Route::none;
    return false;
}

// The content waits in the system's temporary folder, and the target, opened now so that it is
// checked before the operation, is written only at commit().
void OutputFile::openElsewhere()
{
    errno = 0;
    targetFd = openExisting(folder, name);
    if (targetFd < 0)
        return fail(true, file_failure::lastError());
    if (!isEntry(targetFd, examined))
        return fail(true, file_failure::replacedMeanwhile());
    // The folder held open beside the file is let go before the temporary folder's is.
    closeFolder(folder);
    staging = "the temporary folder";
    std::error_code ec;
    const fs::path where = fs::temp_directory_path(ec);
    if (ec)
        return fail(true, ec);
    staging += " \"" + where.string() + "\"";
    errno = 0;
    if (openFolder(nullptr, textOf(where), folder) < 0)
        return fail(true, file_failure::lastError());
    if (createTemporary(name, true))
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
    const int source = openForReading(folder, temporary);
    if (source < 0)
        return fail(false, file_failure::lastError());
    // The folder's owner may have put another file at the temporary's name meanwhile.
    if (!isEntry(source, complete)) {
        closeFile(source);
        return fail(false, file_failure::replacedMeanwhile());
    }
    errno = 0;
    const int to = openExisting(folder, name);
    if (to < 0 || !isEntry(to, examined)) {
        fail(false, to < 0 ? file_failure::lastError() : file_failure::replacedMeanwhile());
        if (to >= 0)
            closeFile(to);
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
            const std::string made = temporaryName(name);
            errno = 0;
            if (linkNameless(fd, folder, made) == 0) {
                temporary = made;
                nameless = false;
            } else if (errno != EEXIST) {
                fail(false, file_failure::lastError());
            }
        }
        if (nameless)
            fail(false, std::make_error_code(std::errc::file_exists));
        identify(fd, complete);
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
        const std::error_code ec = renameIn(folder, temporary, name);
        if (!ec) {
            temporary.clear();
            // The new name, too, is on the disk before success is reported.
            errno = 0;
            if (flushFolder(folder) != 0)
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

// The temporary, its content and its name, but not the folder it was made in.
void OutputFile::dropTemporary()
{
    if (fd >= 0)
        closeFile(fd);
    fd = -1;
    nameless = false;
    if (!temporary.empty())
        removeIn(folder, temporary);
    temporary.clear();
}

void OutputFile::discard()
{
    dropTemporary();
    if (targetFd >= 0)
        closeFile(targetFd);
    targetFd = -1;
    closeFolder(folder);
}
