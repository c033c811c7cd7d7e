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

// A module directory that runs past the end of its stream.
class DirectoryCategory : public std::error_category {
public:
    char const* name() const noexcept override { return "module directory"; }
    std::string message(int) const override { return "the module directory is malformed"; }
};

// A file that another took the place of while it was being opened.
class ReplacedCategory : public std::error_category {
public:
    char const* name() const noexcept override { return "replaced file"; }
    std::string message(int) const override
    {
        return "another file took its place while it was opened";
    }
};

// A needed file that the caller did not name.
class NoFileCategory : public std::error_category {
public:
    char const* name() const noexcept override { return "no file"; }
    std::string message(int) const override { return "no file was named"; }
};

std::error_code malformedDirectoryCode()
{
    static const DirectoryCategory category;
    return std::error_code(1, category);
}

// A stream failure whose text is given whole: the standard one appends its code's message.
class WholeTextFailure : public std::ios_base::failure {
public:
    WholeTextFailure(std::string const& text, std::error_code const& code)
        : std::ios_base::failure(text, code), text(text)
    {
    }
    char const* what() const noexcept override { return text.c_str(); }

private:
    std::string text;
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

std::error_code replacedMeanwhile()
{
    static const ReplacedCategory category;
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

void cannotWrite(std::string const& path, std::error_code const& why, std::string const& through)
{
    throw std::ios_base::failure(
        "Cannot write " + quoted(path) + (through.empty() ? "" : " " + through), why);
}

void noFileNamed(char const* what)
{
    static const NoFileCategory category;
    throw std::ios_base::failure(std::string("Cannot read ") + what, std::error_code(1, category));
}

void malformedDirectory(std::uint32_t entry, std::uint32_t count)
{
    std::string text = "the module directory is malformed: ";
    if (entry == 0)
        text += "the file is shorter than its 16-byte header";
    else
        text += "entry " + std::to_string(entry) + " of " + std::to_string(count) +
                " runs past the end of the file";
    throw WholeTextFailure(text, malformedDirectoryCode());
}

void openForReading(std::ifstream& file, std::string const& path, char const* what)
{
    if (path.empty())
        noFileNamed(what);
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
    if (caught.code() == malformedDirectoryCode())
        throw WholeTextFailure("Cannot read " + quoted(path) + ": " + caught.what(),
                               caught.code());
    std::error_code why;
    if (caught.code() == endOfFile() || (stream.eof() && !stream.bad()))
        why = endOfFile();
    else
        why = lastError();
    throw std::ios_base::failure("Cannot read " + quoted(path), why);
}

} // namespace file_failure
