// For a library preloaded into a GL program to answer some GL entry points
// itself. The GL loaders (glad, SDL's) open "libGL.so.1" themselves and look
// their entry points up in that handle, out of reach of plain interposition.
// So the library stands in for that handle: it is linked against the real
// libGL, so every name it does not define still resolves there, and
// gl-interpose.c gives it the dlopen, glXGetProcAddress(ARB) and
// eglGetProcAddress that ask it first.
#pragma once

typedef void (*GLProc)(void);

// Each preloaded library has its own copy of these: hidden, a call finds the
// caller's own, not that of a library preloaded before it.
#pragma GCC visibility push(hidden)

// Defined by the library: whether it answers any entry point in this run
// (while not, the loaders get the real libGL), and its own function for the
// entry point `name`, or NULL where the real one serves.
int interposesGL(void);
GLProc interposedGLProc(const char* name);

// The real libGL's function for `name`, or the next preloaded library's
// answer for it.
GLProc realGLProc(const char* name);

#pragma GCC visibility pop
