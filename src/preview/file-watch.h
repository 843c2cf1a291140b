// Which files of a folder were saved since the last look. Watching the folder
// rather than the files sees editors that save by writing a new file and
// renaming it over the old one.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <sys/inotify.h>

// A non-blocking inotify descriptor watching `folder` for `events`, or -1
// (errno set).
int watchFolder(const char* folder, uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO);

// The names of the files that the watched events befell since the last call
// (written and closed, or renamed into the folder, by default); `everything`
// set when the kernel dropped events and any file may have changed.
std::set<std::string> savedFiles(int watch, bool& everything);
