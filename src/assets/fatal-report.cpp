#include "common.h"
#include "regular-file.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

static void writeMessage(const char* prefix, const char* format, va_list args)
{
    std::fputs(prefix, stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

static void (*releaseFirst)() = nullptr;

void releaseBeforeExit(void (*release)())
{
    releaseFirst = release;
}

void exitWithMessage(const char* prefix, const char* format, va_list args)
{
    writeMessage(prefix, format, args);
    if (releaseFirst)
        releaseFirst();
    std::exit(1);
}

static std::string location(const char* file, int line)
{
    return std::string(file) + ":" + std::to_string(line) + ": ";
}

void fatalReport(const char* file, int line, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    exitWithMessage(location(file, line).c_str(), format, args);
}

void fatalReportWithoutCleanUp(const char* file, int line, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeMessage(location(file, line).c_str(), format, args);
    va_end(args);
    std::fflush(stderr);
    _exit(1);
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
