#include "fail.h"
#include "common.h"

void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    exitWithMessage("mosaic-record: ", format, args);
}
