// Which files of a folder were saved since the last look. Watching the folder
// rather than the files sees editors that save by writing a new file and
// renaming it over the old one.
#pragma once

#include <set>
#include <string>

// A non-blocking inotify descriptor watching `folder`, or -1 (errno set).
int watchFolder(const char* folder);

// The names of the files written and closed, or renamed into the folder,
// since the last call; `everything` set when the kernel dropped events and
// any file may have changed.
std::set<std::string> savedFiles(int watch, bool& everything);
