// Opening the demo's input files without ever waiting on them: a FIFO holds
// an ordinary open() until a writer comes, and a device can be read forever.
#pragma once

#include <cstddef>
#include <vector>

// Opens `name` read-only and non-blocking; -1 (errno set) when it cannot be
// opened at all.
int openWithoutBlocking(const char* name);

// The size of the file behind `fd`; false when it is not a regular file.
bool regularFileSize(int fd, size_t& size);

// True when `name` opens but is something other than a regular file.
bool isSpecialFile(const char* name);

// The whole of the regular file `name`, if it holds at most `limit` bytes.
bool readRegularFile(const char* name, size_t limit, std::vector<unsigned char>& bytes);

enum class TextFile { Read, CannotOpen, NoMemory, CannotRead };

// The whole of the regular file `name` in a malloc'ed block with a zero byte
// after it, handed to the caller in `text` when the result is Read. Anything
// but a regular file (a directory, a pipe, a device) has no size to read and
// counts as unreadable.
TextFile readTextFile(const char* name, char*& text);
