#include "common.h"
#include "demo.h"
#include "display-connection.h"
#include "frame-seen.h"
#include "gl-context.h"
#include "gl-requirements.h"
#include "music-output.h"

#include <glad/gl.h>
#include <SDL2/SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int32_t window_width = 1920;
int32_t window_height = 1080;

// The window's size in pixels, which on a scaled output exceeds its size in
// window coordinates; the viewport and the tiles are measured in it.
static int32_t drawable_width = 1920;
static int32_t drawable_height = 1080;

static SDL_Window* window = nullptr;

static uint32_t startup = 0;
static glm::ivec2 mousePos{0, 0};
static bool active = true;

uint32_t timer()
{
    return SDL_GetTicks() - startup;
}

// The pictures show the place in the track that is heard when they are seen.
float audioLatency()
{
    return static_cast<float>(timer() * 0.001 - trackSecondsSeen());
}

glm::ivec2 mousepos()
{
    return mousePos;
}

void shutdown()
{
    active = false;
}

const char* loadtxt(const char* fileName)
{
    return readTextOrExit(fileName, __FILE__, __LINE__);
}

// Runs inside the GL call that raised the message, maybe on a thread of the
// GL implementation. A high-severity message ends the process with _exit,
// which runs no exit handler and ends every thread at once, the driver's
// among them. exit() would run the handlers with the context alive (see
// releaseBeforeExit), and the context can be deleted neither inside its own
// call nor from a thread it is not current on, while the main thread may be
// drawing. Only what the standard streams hold has to be written first.
static void GLAPIENTRY debugCallback(GLenum, GLenum, GLuint, GLenum severity, GLsizei length,
                                     const GLchar* message, const void*)
{
    size_t count = length < 0 ? std::strlen(message) : static_cast<size_t>(length);
    std::fwrite("[OpenGL] ", 1, 9, stderr);
    if (count > 0)
        std::fwrite(message, count, 1, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (severity == GL_DEBUG_SEVERITY_HIGH) {
        std::fflush(stdout);
        _exit(1);
    }
}

static void openAudio()
{
    if (!openMusicOutput())
        FATAL("%s", SDL_GetError());
}

static void openWindow()
{
    requestSceneContext();
    // Fullscreen at the desktop's own size, never a mode switch, and placed
    // over the whole display from the start: without a window manager nobody
    // resizes a window to the screen.
    SDL_Rect display{};
    if (SDL_GetDisplayBounds(0, &display) < 0)
        FATAL("Could not find the display's size: %s", SDL_GetError());
    // SDL keeps a desktop-sized fullscreen window up when it loses the focus;
    // this one steps aside, as an exclusive fullscreen window does.
    SDL_SetHint(SDL_HINT_VIDEO_MINIMIZE_ON_FOCUS_LOSS, "1");
    window = SDL_CreateWindow("My First Shader", display.x, display.y, display.w, display.h,
                              SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN |
                                  SDL_WINDOW_ALLOW_HIGHDPI);
    if (!window)
        FATAL("Could not create window: %s", SDL_GetError());
    watchDisplayConnection(window);
    if (!createSceneContext(window))
        FATAL("Could not create context: %s", SDL_GetError());
    // Only a current context can take the swap interval; it ties each swap
    // to the display's refresh.
    SDL_GL_SetSwapInterval(1);
    // The loader closes its own handle on libGL once it has resolved every
    // entry point, so it leaves nothing to release at exit.
    if (GLAD_VERSION_MAJOR(gladLoaderLoadGL()) < 3)
        FATAL("Could not initialize gl3w!");
    watchFramesSeen(window);
}

static void printGLInfo()
{
    std::printf("Version: %s\n", glGetString(GL_VERSION));
    std::printf("Vendor:  %s\n", glGetString(GL_VENDOR));
    std::printf("GLSL:    %s\n", glGetString(GL_SHADING_LANGUAGE_VERSION));
}

static bool listsExtension(const char* name)
{
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLuint i = 0; i < static_cast<GLuint>(count); ++i)
        if (std::strcmp(reinterpret_cast<const char*>(glGetStringi(GL_EXTENSIONS, i)), name) == 0)
            return true;
    return false;
}

// What the scene needs is judged by the entry points the loader found, as in
// the preview and the recorder: OpenGL 4.5 has direct state access in core
// and need not list the extension.
static void checkExtensions()
{
    if (const char* missing = missingSceneExtension())
        FATAL("%s required!", missing);
    if (listsExtension("GL_ARB_debug_output") && glDebugMessageCallback) {
        glDebugMessageCallback(debugCallback, nullptr);
    } else {
        std::fputs("Warning: GL_ARB_debug_output not available, "
                   "no errors or warnings will be logged!\n", stderr);
    }
}

static void handleEvents()
{
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT)
            active = false;
        if (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_ESCAPE)
            active = false;
    }
}

// The pointer works in window coordinates, the viewport in pixels.
static void trackWindowSize()
{
    SDL_GetWindowSize(window, &window_width, &window_height);
    int w = 0;
    int h = 0;
    SDL_GL_GetDrawableSize(window, &w, &h);
    if (w == drawable_width && h == drawable_height)
        return;
    drawable_width = w;
    drawable_height = h;
    glViewport(0, 0, w, h);
    resize(w, h);
}

// A standard descriptor that the caller left closed would go to the next file
// opened, the X connection among them, and the information lines or a fatal
// report would then be written into it.
static void reopenClosedStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        // The lowest free descriptor is this one, as those below it are open.
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            FATAL("could not open /dev/null");
    }
}

int main()
{
    reopenClosedStandardStreams();
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO | SDL_INIT_JOYSTICK |
                 SDL_INIT_HAPTIC | SDL_INIT_GAMECONTROLLER | SDL_INIT_EVENTS) < 0)
        FATAL("%s", SDL_GetError());
    std::atexit(SDL_Quit);
    openAudio();
    openWindow();
    printGLInfo();
    checkExtensions();

    startup = SDL_GetTicks();
    init();
    resize(drawable_width, drawable_height);

    while (active) {
        handleEvents();
        exitIfDisplayLost();
        SDL_GetMouseState(&mousePos.x, &mousePos.y);
        trackWindowSize();
        beginFrame();
        render();
        swapFrame(window);
    }
    // Before the exit handlers, which tear down what the driver's threads
    // may still use (see releaseBeforeExit).
    closeSceneVideo();
    return 0;
}
