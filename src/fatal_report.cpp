#include "common.h"

#include <cstdio>
#include <cstdlib>

void exitWithMessage(const char* prefix, const char* format, va_list args)
{
    std::fputs(prefix, stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::exit(1);
}

void fatalReport(const char* file, int line, const char* format, ...)
{
    char prefix[4096];
    std::snprintf(prefix, sizeof prefix, "%s:%d: ", file, line);
    va_list args;
    va_start(args, format);
    exitWithMessage(prefix, format, args);
}
