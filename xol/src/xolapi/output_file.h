// An output file written whole or not at all. The content goes to a temporary file beside it,
// which replaces it only once everything is written and flushed; a failure, or an object dropped
// before commit(), removes the temporary and leaves an existing file as it was. A path that names
// no regular file (a device, a pipe) is written in place: there is nothing to replace.
#ifndef XOL_OUTPUT_FILE_H
#define XOL_OUTPUT_FILE_H

#include <cstddef>
#include <memory>
#include <streambuf>
#include <string>
#include <system_error>

class OutputFile {
public:
    // Never throws for the file: a path that cannot be written is reported by commit().
    explicit OutputFile(std::string const& path);
    ~OutputFile();
    OutputFile(OutputFile const&) = delete;
    OutputFile& operator=(OutputFile const&) = delete;

    // Where the content goes. Writing to it never fails: the first failure is kept and the bytes
    // after it are dropped, so a caller streaming from a device can end the transfer first.
    std::streambuf& content();

    // Flushes the content to the disk and puts the file in place, or removes the temporary and
    // throws the first failure as a `std::ios_base::failure` naming the file.
    void commit();

private:
    class Sink;

    void open();
    void put(char const* data, size_t count);
    void fail(bool opening, std::error_code const& why);
    void discard();

    std::string path;    // as the caller named it, for the texts
    std::string target;  // the file to replace (a link's target)
    std::string temporary; // empty when written in place
    int fd;
    // Content written to the file, and how much of it is already on its way to the disk.
    unsigned long long writtenBytes = 0;
    unsigned long long queuedBytes = 0;
    bool openFailed;
    std::error_code failure;
    std::unique_ptr<Sink> sink;
};

#endif
