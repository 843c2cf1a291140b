#include "common.h"
#include "regular-file.h"

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

const char* readTextOrExit(const char* fileName, const char* file, int line)
{
    char* text = nullptr;
    switch (readTextFile(fileName, text)) {
    case TextFile::CannotOpen:
        fatalReport(file, line, "could not open file %s", fileName);
    case TextFile::NoMemory:
        fatalReport(file, line, "Could not allocate file storage for %s!", fileName);
    case TextFile::CannotRead:
        fatalReport(file, line, "could not read file %s", fileName);
    case TextFile::Read:
        break;
    }
    return text;
}
