#pragma once

#include <cstdarg>
#include <cstdint>

// The window's size in window coordinates, those of the pointer; only the
// main loop writes it.
extern int32_t window_width;
extern int32_t window_height;

// Writes `prefix`, the message and a newline to standard error and exits
// with status 1, calling what releaseBeforeExit was given first.
[[noreturn]] void exitWithMessage(const char* prefix, const char* format, va_list args);

// What every fatal report but the one without clean-up calls before exit(),
// as a program calls it itself before it returns from main; null for
// nothing. A GL driver that compiles on threads of its own (zink on
// lavapipe, with LLVM) may still be at work then, and the exit handlers that
// the driver and LLVM register as they go, LLVM's also at its first compile,
// tear down what those threads use. Only something that runs before every
// one of those can wait for the threads.
void releaseBeforeExit(void (*release)());

// Writes "file:line: message" to standard error and exits with status 1.
[[noreturn]] void fatalReport(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// As fatalReport, but the process ends without running its exit handlers:
// for a failure that leaves them unable to finish, as a lost display leaves
// SDL_Quit waiting on its connection for ever.
[[noreturn]] void fatalReportWithoutCleanUp(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Every fatal report names the line that makes it.
#define FATAL(...) fatalReport(__FILE__, __LINE__, __VA_ARGS__)
#define FATAL_WITHOUT_CLEANUP(...) fatalReportWithoutCleanUp(__FILE__, __LINE__, __VA_ARGS__)

// The whole text of `fileName`, zero-terminated in a malloc'ed block; when it
// cannot be had, a fatal report located at `file`:`line`, the caller's.
const char* readTextOrExit(const char* fileName, const char* file, int line);
