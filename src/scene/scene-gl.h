// The GL the scene draws with: on the desktop OpenGL 3.3 core with direct
// state access, through glad's loader; in a browser WebGL2, with what it
// lacks of that served by the page's own layer.
#pragma once

#ifdef __EMSCRIPTEN__
#include "webgl2-layer.h"
#else
#include <glad/gl.h>

// The shader files' own #version line serves as it is.
constexpr const char* shaderHeader = nullptr;
#endif
