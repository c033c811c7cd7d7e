// Failures of the files the library reads and writes: stream failures (`std::ios_base::failure`)
// whose text names the file and the reason, e.g.
// `Cannot open "t.bin" for reading: No such file or directory`.
#ifndef XOL_FILE_FAILURE_H
#define XOL_FILE_FAILURE_H

#include <fstream>
#include <cstdint>
#include <ios>
#include <istream>
#include <string>
#include <system_error>

namespace file_failure {

// The reason the C library gave for the last failed call (errno).
std::error_code lastError();

[[noreturn]] void cannotOpen(std::string const& path, char const* purpose,
                             std::error_code const& why);
// `through` says how, where the failure was not the file's own ("through the temporary folder").
[[noreturn]] void cannotWrite(std::string const& path, std::error_code const& why,
                              std::string const& through = {});

// Opens `file` for binary reading; a file that cannot be opened throws at once, naming it. An
// empty path throws saying that no file was named for `what` ("the recovery module", ...).
void openForReading(std::ifstream& file, std::string const& path, char const* what = "a file");

// The failure of a file that was needed but not named.
[[noreturn]] void noFileNamed(char const* what);

// The failure of a module directory that runs past the end of its stream. `entry` counts from 1;
// 0 means the 16-byte header itself.
[[noreturn]] void malformedDirectory(std::uint32_t entry, std::uint32_t count);

// What a file opened to be written into reports when it is not the file examined a moment
// before: another took its place.
std::error_code replacedMeanwhile();

// What a read that met the end of its stream before it had what it needed reports.
std::error_code endOfFile();

// Turns `caught`, the failure of a read from `stream` on the file `path`, into one naming the file
// and the reason: an early end of the file, a malformed module directory, or the C library's.
[[noreturn]] void cannotRead(std::string const& path, std::istream const& stream,
                             std::ios_base::failure const& caught);

} // namespace file_failure

#endif
