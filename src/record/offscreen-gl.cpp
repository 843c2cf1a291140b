#include "offscreen-gl.h"
#include "common.h"
#include "fail.h"
#include "gl-requirements.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <glad/gl.h>

#include <cstring>
#include <vector>

static bool hasExtension(const char* list, const char* name)
{
    size_t length = std::strlen(name);
    for (const char* at = list; at && (at = std::strstr(at, name)); at += length)
        if ((at == list || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0'))
            return true;
    return false;
}

// Mesa's surfaceless platform needs no device node of a display; a driver
// without it (NVIDIA's) offers its GPUs through the device platform.
static EGLDisplay openDisplay()
{
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!getPlatformDisplay)
        return EGL_NO_DISPLAY;
    if (hasExtension(clientExtensions, "EGL_MESA_platform_surfaceless")) {
        EGLDisplay display =
            getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display != EGL_NO_DISPLAY && eglInitialize(display, nullptr, nullptr))
            return display;
    }
    auto queryDevices =
        reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    EGLDeviceEXT device = nullptr;
    EGLint count = 0;
    if (hasExtension(clientExtensions, "EGL_EXT_platform_device") && queryDevices &&
        queryDevices(1, &device, &count) && count > 0) {
        EGLDisplay display = getPlatformDisplay(EGL_PLATFORM_DEVICE_EXT, device, nullptr);
        if (display != EGL_NO_DISPLAY && eglInitialize(display, nullptr, nullptr))
            return display;
    }
    return EGL_NO_DISPLAY;
}

// EGL lists deeper colours first, and a 10-bit pbuffer would round the
// scene's colours otherwise than the demo's 8-bit window does. An alpha
// channel, which the picture does not use, makes Mesa keep the pixels as the
// read-back wants them; without it each read filled in every pixel's alpha,
// which cost the recorder a fifth of its frame rate.
static EGLConfig chooseConfig(EGLDisplay display, const EGLint* attributes)
{
    EGLint count = 0;
    if (!eglChooseConfig(display, attributes, nullptr, 0, &count) || count < 1)
        return nullptr;
    std::vector<EGLConfig> configs(static_cast<size_t>(count));
    eglChooseConfig(display, attributes, configs.data(), count, &count);
    for (EGLint i = 0; i < count; ++i) {
        EGLint red = 0, green = 0, blue = 0;
        eglGetConfigAttrib(display, configs[i], EGL_RED_SIZE, &red);
        eglGetConfigAttrib(display, configs[i], EGL_GREEN_SIZE, &green);
        eglGetConfigAttrib(display, configs[i], EGL_BLUE_SIZE, &blue);
        if (red == 8 && green == 8 && blue == 8)
            return configs[i];
    }
    return nullptr;
}

static EGLDisplay offscreenDisplay = EGL_NO_DISPLAY;

void closeOffscreenGL()
{
    eglMakeCurrent(offscreenDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglTerminate(offscreenDisplay);
}

void openOffscreenGL(int width, int height)
{
    EGLDisplay display = openDisplay();
    if (display == EGL_NO_DISPLAY)
        fail("no EGL display: neither the surfaceless nor the device platform is available");
    const EGLint configAttributes[] = {
        EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
        EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_ALPHA_SIZE, 8, EGL_NONE};
    EGLConfig config = chooseConfig(display, configAttributes);
    if (!config)
        fail("no EGL configuration for an 8-bit RGB pbuffer with OpenGL (EGL error 0x%x)",
             eglGetError());
    const EGLint surfaceAttributes[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    EGLSurface surface = eglCreatePbufferSurface(display, config, surfaceAttributes);
    if (surface == EGL_NO_SURFACE)
        fail("could not create a %dx%d EGL pbuffer (EGL error 0x%x)", width, height, eglGetError());
    if (!eglBindAPI(EGL_OPENGL_API))
        fail("EGL offers no OpenGL (EGL error 0x%x)", eglGetError());
    const EGLint contextAttributes[] = {
        EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 3,
        EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, contextAttributes);
    if (context == EGL_NO_CONTEXT)
        fail("could not create an OpenGL 3.3 core context through EGL (EGL error 0x%x)",
             eglGetError());
    if (!eglMakeCurrent(display, surface, surface, context))
        fail("could not make the EGL context current (EGL error 0x%x)", eglGetError());
    offscreenDisplay = display;
    releaseBeforeExit(closeOffscreenGL);
    if (GLAD_VERSION_MAJOR(gladLoadGL(reinterpret_cast<GLADloadfunc>(eglGetProcAddress))) < 3)
        fail("could not load the OpenGL entry points");
    if (const char* missing = missingSceneExtension())
        fail("the OpenGL context lacks %s", missing);
    // The read-back's own buffers.
    if (!allLoaded(glNamedBufferStorage, glMapNamedBufferRange, glUnmapNamedBuffer))
        fail("the OpenGL context lacks GL_ARB_direct_state_access");
}
