// mosaic-preview: the demo's scene in a window of its own for the people who
// change it. The picture follows the shader files and the banner as they are
// saved; a save that does not build shows its error and keeps the last good
// picture; the timeline can be paused, sought by bar and part and looped, and
// the music follows it.
#include "camera-report.h"
#include "camera-source.h"
#include "common.h"
#include "data-folder.h"
#include "demo.h"
#include "display-connection.h"
#include "file-watch.h"
#include "frame-seen.h"
#include "gl-context.h"
#include "gl-requirements.h"
#include "music-output.h"
#include "overlay-text.h"
#include "regular-file.h"
#include "timeline.h"

#include <glad/gl.h>
#include <SDL2/SDL.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int32_t window_width = 1280;
int32_t window_height = 720;

static SDL_Window* window = nullptr;
static SDL_Rect windowedBounds{};   // where the window was before going fullscreen
static glm::ivec2 mousePos{0, 0};
static bool quit = false;           // Escape, or the window closed
static bool trackOver = false;      // the scene found the music over, or a seek went past it

static double frameSeconds = 0;     // the place heard when the frame being drawn is seen
static SectionTable sections;       // no bars until "mosaic.vert" declares them
static int loopedPart = -1;         // -1 while not looping
static std::string programError;    // what the last build of the shaders said
static std::string scrollerError;
static std::string shownTitle;
static CameraSource camera;
static OverlayText overlay;

static const char* const usage =
    "Usage: mosaic-preview [--data DIR] [--camera [DEVICE]] [--fullscreen]\n"
    "  or:  mosaic-preview --list-cameras\n"
    "\n"
    "Plays the demo in a window and follows its files: saving mosaic.vert,\n"
    "mosaic.frag or sdf.frag rebuilds the shaders, saving scroller.png reloads\n"
    "the banner. A file that does not build keeps the last good picture; its\n"
    "error goes to the window title and, in full, to standard error.\n"
    "\n"
    "  --data DIR          the folder of mosaic.vert, mosaic.frag, sdf.frag,\n"
    "                      scroller.png and chiptune2.ogg (default: the working\n"
    "                      directory when it holds them, else the installed ones)\n"
    "  --camera [DEVICE]   shows the V4L2 camera DEVICE (such as /dev/video2)\n"
    "                      through the mosaic instead of the scene; without DEVICE\n"
    "                      the first that delivers YUYV. A camera plugged in\n"
    "                      later, or again, is taken; each fault is reported once\n"
    "                      and the scene shows meanwhile\n"
    "  --list-cameras      every capture device, the name its driver gives,\n"
    "                      whether it delivers YUYV and which --camera takes\n"
    "  --fullscreen        starts fullscreen at the desktop's size\n"
    "  --help              this text\n"
    "\n"
    "Keys: Space pauses and resumes, Left and Right step a bar, Page Up and\n"
    "Page Down go to the previous or next part, Home to the start, L loops\n"
    "the current part, F toggles fullscreen, C switches between the camera\n"
    "and the scene, Escape quits. The title shows the part, bar, beat and\n"
    "time; every seek prints a line on standard output.\n";

[[noreturn]] static void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

static void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    exitWithMessage("mosaic-preview: ", format, args);
}

uint32_t timer()
{
    return static_cast<uint32_t>(std::lround(frameSeconds * 1000));
}

// The frame's clock is already the place heard.
float audioLatency()
{
    return 0.0f;
}

glm::ivec2 mousepos()
{
    return mousePos;
}

// The scene asks the demo to end once its music is over; the preview ends
// only when a person asks, and decides what the track's end means.
void shutdown()
{
    trackOver = true;
}

// A file that cannot be read is one more way for a save to fail: the scene
// keeps its last good programs and says which file it was.
const char* loadtxt(const char* fileName)
{
    char* text = nullptr;
    return readTextFile(fileName, text) == TextFile::Read ? text : nullptr;
}

struct Options {
    const char* data = nullptr;  // null: found
    bool camera = false;
    std::string device;          // "": the first camera
    bool fullscreen = false;
};

// --help and --list-cameras end here.
static Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (std::strcmp(argv[i], "--list-cameras") == 0) {
            printCameraList();
            std::exit(0);
        } else if (std::strcmp(argv[i], "--data") == 0) {
            if (i + 1 >= argc)
                fail("--data needs a folder (see --help)");
            options.data = argv[++i];
        } else if (std::strcmp(argv[i], "--camera") == 0) {
            options.camera = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                options.device = argv[++i];
        } else if (std::strcmp(argv[i], "--fullscreen") == 0) {
            options.fullscreen = true;
        } else {
            fail("unknown argument %s (see --help)", argv[i]);
        }
    }
    return options;
}

// Compile and link errors come in the scene's own messages, once per save;
// the GL's copy of them would repeat them. Nothing here ends the preview.
static void GLAPIENTRY debugCallback(GLenum source, GLenum, GLuint, GLenum, GLsizei length,
                                     const GLchar* message, const void*)
{
    if (source == GL_DEBUG_SOURCE_SHADER_COMPILER)
        return;
    size_t count = length < 0 ? std::strlen(message) : static_cast<size_t>(length);
    std::fprintf(stderr, "[OpenGL] %.*s\n", static_cast<int>(count), message);
}

static void openWindow()
{
    requestSceneContext();
    window = SDL_CreateWindow("mosaic-preview", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                              window_width, window_height,
                              SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE);
    if (!window)
        fail("could not create the window: %s", SDL_GetError());
    watchDisplayConnection(window);
    if (!createSceneContext(window))
        fail("could not create an OpenGL 3.3 core context: %s", SDL_GetError());
    SDL_GL_SetSwapInterval(1);
    if (GLAD_VERSION_MAJOR(gladLoaderLoadGL()) < 3)
        fail("could not load the OpenGL functions");
    watchFramesSeen(window);
    if (const char* missing = missingSceneExtension())
        fail("the OpenGL driver lacks %s", missing);
    if (glDebugMessageCallback)
        glDebugMessageCallback(debugCallback, nullptr);
}

static std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

static void printLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Standard output may be a file or a pipe, whose reader wants each line as it
// comes.
static void printLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

static bool hasSections()
{
    return !sections.bars.empty();
}

// "seek to 14.118 s (part 3/8, bar 9, beat 1)"
static void reportClock(const char* what)
{
    double seconds = musicHeardSeconds();
    printLine("%s %.3f s%s%s%s", what, seconds, hasSections() ? " (" : "",
              hasSections() ? position(sections, seconds).c_str() : "", hasSections() ? ")" : "");
}

// The clock and the music to `seconds`; past the track's end the track is
// over, as when it has played (followTrackEnd).
static void seek(const char* what, double seconds)
{
    seconds = std::max(seconds, 0.0);
    if (seconds >= musicSeconds()) {
        shutdown();
        return;
    }
    playMusicFrom(seconds);
    if (loopedPart >= 0)
        loopedPart = partAt(sections, seconds);
    reportClock(what);
}

static void togglePause()
{
    if (musicPaused()) {
        reportClock("play from");
        resumeMusic();
    } else {
        pauseMusic();
        reportClock("pause at");
    }
}

// Only the end of the track holds the music paused at the track's length: a
// seek there finds the track over instead.
static bool heldAtTheEnd()
{
    return musicPaused() && musicHeardSeconds() >= musicSeconds();
}

// The camera plays on with the track from its start; the scene holds its
// last frame, paused, until Space plays it from the start or a key seeks.
static void followTrackEnd()
{
    if (!trackOver)
        return;
    trackOver = false;
    if (camera.wanted) {
        seek("loop to", 0);
    } else if (!musicPaused()) {
        playMusicFrom(musicSeconds());
        togglePause();
    }
}

// Fullscreen at the desktop's size, never a mode switch. Without a window
// manager nobody fits the window to the screen, so it is laid over the
// display itself, and put back where it was afterwards.
static void toggleFullscreen()
{
    if (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN_DESKTOP) {
        SDL_SetWindowFullscreen(window, 0);
        SDL_SetWindowSize(window, windowedBounds.w, windowedBounds.h);
        SDL_SetWindowPosition(window, windowedBounds.x, windowedBounds.y);
        return;
    }
    SDL_GetWindowPosition(window, &windowedBounds.x, &windowedBounds.y);
    SDL_GetWindowSize(window, &windowedBounds.w, &windowedBounds.h);
    SDL_Rect display{};
    if (SDL_GetDisplayBounds(SDL_GetWindowDisplayIndex(window), &display) == 0) {
        SDL_SetWindowPosition(window, display.x, display.y);
        SDL_SetWindowSize(window, display.w, display.h);
    }
    SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN_DESKTOP);
}

// Keys that move along the timeline repeat while held; the toggles do not.
static void handleKey(const SDL_KeyboardEvent& key)
{
    SDL_Keycode sym = key.keysym.sym;
    if (sym == SDLK_ESCAPE)
        quit = true;
    else if (sym == SDLK_HOME)
        seek("seek to", 0);
    if (key.repeat && sym != SDLK_LEFT && sym != SDLK_RIGHT && sym != SDLK_PAGEUP && sym != SDLK_PAGEDOWN)
        return;
    if (sym == SDLK_SPACE && heldAtTheEnd())
        seek("seek to", 0);
    if (sym == SDLK_SPACE)
        togglePause();
    else if (sym == SDLK_f)
        toggleFullscreen();
    else if (sym == SDLK_c)
        toggleCamera(camera);
    if (!hasSections())
        return;
    double now = musicHeardSeconds();
    int part = partAt(sections, now);
    if (sym == SDLK_l) {
        loopedPart = loopedPart < 0 ? part : -1;
    } else if (sym == SDLK_RIGHT) {
        seek("seek to", now + barSeconds(sections));
    } else if (sym == SDLK_LEFT) {
        seek("seek to", now - barSeconds(sections));
    } else if (sym == SDLK_PAGEUP) {
        seek("seek to", partStart(sections, part - 1));
    } else if (sym == SDLK_PAGEDOWN) {
        double next = partStart(sections, part + 1);
        // Past the score's end only the track's end is left.
        seek("seek to", next > now ? next : musicSeconds());
    }
}

// The viewport and the mosaic follow the window as it is resized or goes
// fullscreen and back.
static void followWindowSize(int w, int h)
{
    window_width = w;
    window_height = h;
    glViewport(0, 0, w, h);
    resize(w, h);
}

static void handleEvents()
{
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT)
            quit = true;
        else if (e.type == SDL_KEYDOWN)
            handleKey(e.key);
        else if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
            followWindowSize(e.window.data1, e.window.data2);
    }
}

// The section table of the vertex stage that now draws; a stage without one
// leaves the last one in use.
static void readSections()
{
    char* text = nullptr;
    if (readTextFile("mosaic.vert", text) != TextFile::Read)
        return;
    if (!readSectionTable(text, sections))
        std::fputs("mosaic-preview: mosaic.vert declares no BEATS_PER_MINUTE and SECTION_BARS "
                   "to seek by\n", stderr);
    std::free(text);
}

static void buildShaders()
{
    auto start = std::chrono::steady_clock::now();
    programError = rebuildPrograms();
    if (!programError.empty()) {
        std::fputs(programError.c_str(), stderr);
        return;
    }
    auto spent = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
    printLine("built the shaders in %.0f ms", spent.count());
    readSections();
}

static void loadScroller()
{
    scrollerError = reloadScroller();
    if (!scrollerError.empty())
        std::fprintf(stderr, "%s\n", scrollerError.c_str());
}

static void reloadSavedFiles(int watch)
{
    if (watch < 0)
        return;
    bool everything = false;
    std::set<std::string> saved = savedFiles(watch, everything);
    if (everything || saved.count("mosaic.vert") || saved.count("mosaic.frag") || saved.count("sdf.frag"))
        buildShaders();
    if (everything || saved.count("scroller.png"))
        loadScroller();
}

// At the end of the looped part the clock goes back to its start.
static void loopAround()
{
    if (loopedPart >= 0 && frameSeconds >= partStart(sections, loopedPart + 1)) {
        seek("loop to", partStart(sections, loopedPart));
        frameSeconds = trackSecondsSeen();
    }
}

// "sdf.frag: 0:42(7): error: ... | part 3/8, bar 9, beat 1 | 14.118 s | paused | looping"
static void showTitle()
{
    std::string title;
    const std::string& error = programError.empty() ? scrollerError : programError;
    if (!error.empty())
        title = firstLine(error) + " | ";
    title += "mosaic-preview | ";
    if (hasSections())
        title += position(sections, frameSeconds) + " | ";
    char time[32];
    std::snprintf(time, sizeof time, "%.3f s", frameSeconds);
    title += time;
    if (musicPaused())
        title += " | paused";
    if (loopedPart >= 0)
        title += " | looping";
    if (!camera.shown.empty())
        title += " | camera " + camera.shown;
    if (title != shownTitle)
        SDL_SetWindowTitle(window, title.c_str());
    shownTitle = title;
}

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);
    if (!startCameraSource(camera, options.camera, options.device))
        fail("%s is no device (see --list-cameras)", options.device.c_str());
    std::string data = findDataFolder(options.data);
    if (chdir(data.c_str()) != 0)
        fail("cannot use %s as the data folder: %s", data.c_str(), std::strerror(errno));
    if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO | SDL_INIT_EVENTS) < 0)
        fail("could not start SDL: %s", SDL_GetError());
    std::atexit(SDL_Quit);
    if (!openMusicOutput())
        fail("could not open the sound output: %s", SDL_GetError());
    openWindow();
    openOverlayText(overlay);

    int watch = watchFolder(".");
    if (watch < 0)
        std::fprintf(stderr, "mosaic-preview: cannot watch %s for saved files: %s\n", data.c_str(),
                     std::strerror(errno));
    initForEditing();
    if (options.fullscreen)
        toggleFullscreen();
    buildShaders();
    loadScroller();
    followWindowSize(window_width, window_height);
    // The music started during set-up, before the shaders were built; it
    // starts again with the first frame.
    playMusicFrom(0);

    while (!quit) {
        handleEvents();
        exitIfDisplayLost();
        SDL_GetMouseState(&mousePos.x, &mousePos.y);
        reloadSavedFiles(watch);
        const std::string said = followCameras(camera);
        if (!said.empty())
            showOverlayText(overlay, said);
        setCornerText(overlay, camera.lasting);
        beginFrame();
        frameSeconds = trackSecondsSeen();
        loopAround();
        showTitle();
        render();
        followTrackEnd();
        drawOverlayText(overlay, window_width, window_height, SDL_GetTicks());
        swapFrame(window);
    }
    closeOverlayText(overlay);
    // Before the exit handlers, which tear down what the driver's threads
    // may still use (see releaseBeforeExit).
    closeSceneVideo();
    return 0;
}
