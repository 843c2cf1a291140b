// How the recorder stops on an error of its own: its command line, its files,
// EGL or the encoder. The scene's failures keep their located reports.
#pragma once

// Writes "mosaic-record: message" to standard error and exits with status 1.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
