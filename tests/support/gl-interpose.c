#define _GNU_SOURCE
#include "gl-interpose.h"

#include <dlfcn.h>
#include <string.h>

typedef void* (*DlopenFn)(const char*, int);
typedef GLProc (*GetProcAddressFn)(const unsigned char*);
typedef GLProc (*EGLGetProcAddressFn)(const char*);

static DlopenFn realDlopen(void)
{
    static DlopenFn real;
    if (!real)
        real = (DlopenFn)dlsym(RTLD_NEXT, "dlopen");
    return real;
}

// Through the next dlopen, so that a library preloaded after this one stands
// in for libGL here in turn.
static void* realGL(void)
{
    static void* handle;
    if (!handle)
        handle = realDlopen()("libGL.so.1", RTLD_LAZY | RTLD_LOCAL);
    return handle;
}

GLProc realGLProc(const char* name)
{
    static GetProcAddressFn real;
    if (!real)
        real = (GetProcAddressFn)dlsym(realGL(), "glXGetProcAddressARB");
    return real((const unsigned char*)name);
}

static GLProc ownGLProc(const char* name)
{
    return interposesGL() ? interposedGLProc(name) : NULL;
}

static GLProc answer(const unsigned char* name)
{
    GLProc own = ownGLProc((const char*)name);
    return own ? own : realGLProc((const char*)name);
}

GLProc glXGetProcAddressARB(const unsigned char* name)
{
    return answer(name);
}

GLProc glXGetProcAddress(const unsigned char* name)
{
    return answer(name);
}

// The loader of an EGL program looks its entry points up here.
GLProc eglGetProcAddress(const char* name)
{
    static EGLGetProcAddressFn real;
    if (!real)
        real = (EGLGetProcAddressFn)dlsym(RTLD_NEXT, "eglGetProcAddress");
    GLProc own = ownGLProc(name);
    return own ? own : real(name);
}

void* dlopen(const char* file, int mode)
{
    Dl_info self;
    if (file && (strcmp(file, "libGL.so.1") == 0 || strcmp(file, "libGL.so") == 0) && interposesGL() &&
        realGL() && dladdr((void*)realGL, &self))
        return realDlopen()(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    return realDlopen()(file, mode);
}
