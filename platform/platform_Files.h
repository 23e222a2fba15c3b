#ifndef PLATFORM_PLATFORM_FILES_H
#define PLATFORM_PLATFORM_FILES_H

// The few file operations the message file needs where POSIX and Windows differ: an append
// that never follows a link planted in its place, and a write that is either whole or undone.

#include <cstddef>
#include <string>

namespace platform_file {

// A descriptor of the C runtime (-1: none).
typedef int Handle;
const Handle noHandle = -1;

// Opens the file for appending, creating it when it is missing (never truncating it). Refuses
// a symbolic link (on Windows, any reparse point) and anything but a regular file, so that a
// link planted at the path cannot send the writes elsewhere. Text written later keeps the
// platform's line ends (on Windows each line feed is written as CR LF). On failure answers
// noHandle and says why in `reason`.
Handle openForAppend(const char* path, std::string& reason);

// Appends the bytes as one piece. When they cannot all be written (a full disk), cuts the file
// back to its length before the call, so that no partial line stays behind, and answers false
// with the reason.
bool appendWhole(Handle file, const char* data, std::size_t length, std::string& reason);

// True when the open file no longer has a name: it, or its directory, has been removed (on
// Windows, also when it is marked for deletion), so that what is written to it reaches nobody.
bool isRemoved(Handle file);

void close(Handle file);

} // namespace platform_file

#endif
