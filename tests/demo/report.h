// What a fatal report looks like from outside the demo.
#pragma once

#include "harness.h"

// The run ended with exit status 1 and, as the last thing on standard error,
// "<path of source>:<line>: <message>\n", the path ending in src/<source>.
// Only GL debug lines ("[OpenGL] ...") and the warning about missing debug
// output may come before it.
void expectFatal(const RunResult& run, const std::string& source, const std::string& message);

extern const char* const debugOutputWarning;

// The three GL information lines, in order and format.
void expectInfoLines(const std::vector<std::string>& out);
