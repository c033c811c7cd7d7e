// What an output file asks of the system, one file per system beside output_file.cpp: folders
// held open, and files looked at, made, opened and renamed by their names in those folders,
// never following a link at that name. A system without descriptors for folders (Windows) names
// files by their folder's path and its own.
#ifndef XOL_OUTPUT_FILE_SYSTEM_H
#define XOL_OUTPUT_FILE_SYSTEM_H

#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

namespace output_file_system {

// A folder held open, and its path as text (empty: the current folder).
struct Folder {
    int fd = -1;
    std::string text;
};

// What stands at a name in a folder, a link itself rather than where it leads.
struct Entry {
    enum Kind { missing, link, regular, directory, other } kind = missing;
    unsigned long long device = 0, inode = 0;
    unsigned long owner = 0, group = 0, mode = 0;
    bool known = false; // owner, group, device and inode are the system's
};

// A path as the system's narrow functions read it, both ways.
std::filesystem::path pathOf(std::string const& p);
std::string textOf(std::filesystem::path const& p);

// Opens the folder `text` names, relative to `base` (null: the current folder), following its
// links as the system does; -1 and errno on failure.
int openFolder(Folder const* base, std::string const& text, Folder& folder);
void closeFolder(Folder& folder);
// Flushes the names made in the folder to the disk, where it can.
int flushFolder(Folder const& folder);

// What stands at `name` in `folder`: 0, or -1 and errno. Nothing there is no failure.
int look(Folder const& folder, std::string const& name, Entry& entry);
// What the link `name` in `folder` holds.
int readLink(Folder const& folder, std::string const& name, std::string& to);
// Whether the process may follow `link`, found in `folder`: not a link that another user put in
// a folder everyone may add to but only owners remove from, unless it is the folder owner's.
bool mayFollow(Folder const& folder, Entry const& link);
// The descriptor of this process that the link `name` in `folder` stands for (the folder is the
// process's descriptor folder), or -1.
int descriptorNamed(Folder const& folder, std::string const& name);

// A new file `name`, or a nameless one, in `folder`; `closed`, its owner's alone.
int createNew(Folder const& folder, std::string const& name, bool closed);
int createNameless(Folder const& folder, bool closed);
int linkNameless(int fd, Folder const& folder, std::string const& name);
std::error_code renameIn(Folder const& folder, std::string const& from, std::string const& to);
void removeIn(Folder const& folder, std::string const& name);
// The file at `name`, for writing or reading, without following a link there; the device or
// pipe, for writing in place.
int openExisting(Folder const& folder, std::string const& name);
int openForReading(Folder const& folder, std::string const& name);
int openInPlace(Folder const& folder, std::string const& name);
// Whether the open file `fd` is the one `entry` describes.
bool isEntry(int fd, Entry const& entry);
// Which file the open file `fd` is, for isEntry to know it again.
void identify(int fd, Entry& entry);
bool writable(Folder const& folder, std::string const& name);
// Attributes a new file would not get as they are (an access list above all).
bool hasExtendedAttributes(Folder const& folder, std::string const& name);
// Gives the new file `fd`, `name` in `folder`, the owner, group and mode of `entry`; false and
// errno when the user may not.
bool giveAttributes(int fd, Folder const& folder, std::string const& name, Entry const& entry);

long writeSome(int fd, char const* data, size_t n);
long readAt(int fd, char* data, size_t n, unsigned long long offset);
// Claims the disk space of `size` bytes without changing the file.
int reserve(int fd, unsigned long long size);
int resize(int fd, unsigned long long size);
int flushToDisk(int fd);
// A device or pipe that has nothing to flush.
bool unflushable(int err);
// Starts writing a stretch of the file to the disk without waiting for it.
void startWriteBack(int fd, unsigned long long offset, unsigned long long count);
int closeFile(int fd);
long processId();

} // namespace output_file_system

#endif
