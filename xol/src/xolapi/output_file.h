// An output file written whole or not at all, and never touched before its whole content is in
// hand. The content goes to a temporary file beside it (on Linux a nameless one, named only once
// complete, so that a killed process leaves nothing), which replaces it once everything is
// written and flushed, with the owner, group and mode of the file it replaces. Where no such
// temporary can stand in for it (a folder the user may not add to, an owner the user may not
// give, a sticky folder's file the user may not replace, a file with an access list or other
// extended attributes), the content is kept in a temporary in the system's temporary folder and
// copied into the file at the end. A failure, or an object dropped before commit(), leaves an
// existing file as it was.
// The path is resolved once, when the object is made: the link it ends in, and each link that
// link leads to, is followed by the program itself, relative to the link's own folder, but not a
// link that another user, not the folder's owner, put in a sticky folder such as /tmp, whatever
// it leads to. What it resolves to, a folder held open and a name in it, is what every later
// step acts on, following no link there; a file opened to be written into is checked to be the
// one examined. A path that names no regular file (a device, a pipe) is written in place: there
// is nothing to replace. So is a descriptor's link (/dev/stdout, /dev/fd/N), through that
// descriptor, where it stands: its file is the caller's to keep.
#ifndef XOL_OUTPUT_FILE_H
#define XOL_OUTPUT_FILE_H

#include <cstddef>
#include <memory>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

#include "output_file_system.h"

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

    // Where the content goes until commit().
    enum class Route {
        none,     // nothing could be opened
        inPlace,  // the device or pipe itself
        replace,  // a temporary beside the target, renamed over it
        copyIn,   // a temporary in the system's temporary folder, copied into the target
    };

    bool resolve(int& descriptor);
    void open();
    bool createTemporary(std::string const& base, bool closed);
    bool openBeside(bool exists);
    void openElsewhere();
    void put(char const* data, size_t count);
    void drain();
    void writeOut(char const* data, size_t count);
    void putInPlace();
    void copyInto(int to);
    void fail(bool opening, std::error_code const& why);
    void dropTemporary();
    void discard();

    std::string path;      // as the caller named it, for the texts
    // The folder the path resolved to, held open, until the content goes to the temporary
    // folder, which is held then; the temporary is named and renamed in it.
    output_file_system::Folder folder;
    std::string name;      // the target's name in its folder (where a link leads)
    // What stood at that name when the path was resolved: its kind, owner, group and mode
    // (for the temporary that replaces it), and which file it was.
    output_file_system::Entry examined;
    std::string temporary; // the temporary's name in its folder; empty while it has none
    // Which file the complete temporary beside the target is, should it be opened again by name.
    output_file_system::Entry complete;
    Route route = Route::none;
    bool nameless = false; // the temporary beside the target is not linked in yet
    int fd;                // the content's file
    int targetFd;          // the target, held open for the copy at the end
    // Content gathered for one write, and what is written, and on its way to the disk.
    std::vector<char> pending;
    unsigned long long writtenBytes = 0;
    unsigned long long queuedBytes = 0;
    bool openFailed;
    std::error_code failure;
    // The temporary folder as the texts name it while the content goes there, and whether the
    // failure was met there rather than at the file.
    std::string staging;
    bool failedStaging = false;
    std::unique_ptr<Sink> sink;
};

#endif
