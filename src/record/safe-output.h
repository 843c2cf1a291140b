// An output file that takes its name only once it is whole. It is written
// under a temporary name beside its final one, in the same folder so that the
// rename is atomic; a failure or an interruption removes it, and an earlier
// file of the final name stays as it was.
#pragma once

#include <string>
#include <sys/types.h>

// Creates the temporary file for `path` and returns its name. From here on,
// until commitOutput, an exit or SIGINT, SIGTERM or SIGHUP removes it, says
// that `path` was left untouched, and ends the process with status 1.
std::string beginOutput(const std::string& path);

// The process that writes the temporary file; an interruption stops it too.
void setOutputWriter(pid_t writer);

// Renames the finished temporary file to the final name. The interrupting
// signals stay blocked after it: once the file is in place the recording has
// succeeded, whatever comes.
void commitOutput();
