#include "file_failure.h"

#include <cerrno>
#include <filesystem>

namespace file_failure {

namespace {

// A read that met the end of the file before it had what it needed has no errno of its own.
class EndOfFileCategory : public std::error_category {
public:
    char const* name() const noexcept override { return "file"; }
    std::string message(int) const override { return "the file ends early"; }
};

std::string quoted(std::string const& path)
{
    return "\"" + path + "\"";
}

} // namespace

std::error_code endOfFile()
{
    static const EndOfFileCategory category;
    return std::error_code(1, category);
}

std::error_code lastError()
{
    const int err = errno;
    return std::error_code(err != 0 ? err : EIO, std::generic_category());
}

void cannotOpen(std::string const& path, char const* purpose, std::error_code const& why)
{
    throw std::ios_base::failure("Cannot open " + quoted(path) + " for " + purpose, why);
}

void cannotWrite(std::string const& path, std::error_code const& why)
{
    throw std::ios_base::failure("Cannot write " + quoted(path), why);
}

void openForReading(std::ifstream& file, std::string const& path)
{
    // A folder opens for reading on some systems and fails only at the first read.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        cannotOpen(path, "reading", std::make_error_code(std::errc::is_a_directory));
    errno = 0;
    file.open(path, std::ios_base::in | std::ios_base::binary);
    if (!file.is_open())
        cannotOpen(path, "reading", lastError());
}

void cannotRead(std::string const& path, std::istream const& stream,
                std::ios_base::failure const& caught)
{
    std::error_code why;
    if (caught.code() == endOfFile() || (stream.eof() && !stream.bad()))
        why = endOfFile();
    else
        why = lastError();
    throw std::ios_base::failure("Cannot read " + quoted(path), why);
}

} // namespace file_failure
