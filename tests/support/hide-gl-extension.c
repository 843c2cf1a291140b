// Preloaded into a GL program to make the context list the extension that
// HIDE_GL_EXTENSION names under another name ("GL_ARB_debug_output" as
// "GL_XYZ_debug_output"), which no driver setting can do alone: Mesa drops
// direct state access along with debug output, and will not drop separate
// shader objects at all.
//
// The GL loader opens "libGL.so.1" itself and looks its entry points up in
// that handle, out of reach of plain interposition. So this library stands in
// for that handle: it depends on the real libGL, so every other name still
// resolves there, and it answers glXGetProcAddress(ARB), eglGetProcAddress
// and glGetStringi itself.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#define GL_EXTENSIONS 0x1F03

typedef void (*Proc)(void);
typedef const unsigned char* (*GetStringiFn)(unsigned, unsigned);
typedef Proc (*GetProcAddressFn)(const unsigned char*);

extern Proc glXGetProcAddressARB(const unsigned char* name);

static void* realGL(void)
{
    static void* (*realDlopen)(const char*, int);
    static void* handle;
    if (!realDlopen)
        realDlopen = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
    if (!handle)
        handle = realDlopen("libGL.so.1", RTLD_LAZY | RTLD_LOCAL);
    return handle;
}

static Proc realProcAddress(const unsigned char* name)
{
    static GetProcAddressFn real;
    if (!real)
        real = (GetProcAddressFn)dlsym(realGL(), "glXGetProcAddressARB");
    return real(name);
}

const unsigned char* glGetStringi(unsigned name, unsigned index)
{
    static GetStringiFn real;
    if (!real)
        real = (GetStringiFn)realProcAddress((const unsigned char*)"glGetStringi");
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

Proc glXGetProcAddressARB(const unsigned char* name)
{
    if (strcmp((const char*)name, "glGetStringi") == 0)
        return (Proc)glGetStringi;
    return realProcAddress(name);
}

Proc glXGetProcAddress(const unsigned char* name)
{
    return glXGetProcAddressARB(name);
}

// The loader of an EGL program looks its entry points up here.
Proc eglGetProcAddress(const char* name)
{
    static Proc (*real)(const char*);
    if (!real)
        real = (Proc(*)(const char*))dlsym(RTLD_NEXT, "eglGetProcAddress");
    if (strcmp(name, "glGetStringi") == 0)
        return (Proc)glGetStringi;
    return real(name);
}

void* dlopen(const char* file, int mode)
{
    static void* (*realDlopen)(const char*, int);
    if (!realDlopen)
        realDlopen = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
    if (file && (strcmp(file, "libGL.so.1") == 0 || strcmp(file, "libGL.so") == 0)) {
        Dl_info self;
        if (realGL() && dladdr((void*)glGetStringi, &self))
            return realDlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    }
    return realDlopen(file, mode);
}
