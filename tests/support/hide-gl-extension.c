// Preloaded into a GL program to make the context list the extension that
// HIDE_GL_EXTENSION names under another name ("GL_ARB_debug_output" as
// "GL_XYZ_debug_output"), which no driver setting can do alone: Mesa drops
// direct state access along with debug output, and will not drop separate
// shader objects at all. It answers glGetStringi itself (gl-interpose.h).
#include "gl-interpose.h"

#include <stdlib.h>
#include <string.h>

#define GL_EXTENSIONS 0x1F03

typedef const unsigned char* (*GetStringiFn)(unsigned, unsigned);

static const unsigned char* renamingGetStringi(unsigned name, unsigned index)
{
    static GetStringiFn real;
    if (!real)
        real = (GetStringiFn)realGLProc("glGetStringi");
    static char renamed[256];
    const unsigned char* result = real(name, index);
    const char* hidden = getenv("HIDE_GL_EXTENSION");
    if (name != GL_EXTENSIONS || !result || !hidden || strcmp((const char*)result, hidden) != 0 ||
        strlen(hidden) < 6 || strlen(hidden) >= sizeof renamed)
        return result;
    // The vendor part after "GL_" becomes "XYZ".
    strcpy(renamed, hidden);
    memcpy(renamed + 3, "XYZ", 3);
    return (const unsigned char*)renamed;
}

int interposesGL(void)
{
    return getenv("HIDE_GL_EXTENSION") != NULL;
}

GLProc interposedGLProc(const char* name)
{
    return strcmp(name, "glGetStringi") == 0 ? (GLProc)renamingGetStringi : NULL;
}
