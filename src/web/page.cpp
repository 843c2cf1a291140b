// The demo's shell in a web page: a WebGL2 context on the page's canvas, the
// pointer over it, the canvas kept at the window's size in device pixels,
// and a frame on every animation frame of the browser, drawn at the place in
// the track heard when it is seen. page.js does the rest of the page: the
// files, the line over the picture, the clicks and keys.
#include "common.h"
#include "demo.h"
#include "scene-gl.h"
#include "web-audio.h"

#include <emscripten.h>
#include <emscripten/html5.h>

#include <cmath>
#include <cstring>

int32_t window_width = 0;  // the canvas in CSS pixels, those of the pointer
int32_t window_height = 0;
static int32_t drawable_width = 0;  // and in device pixels
static int32_t drawable_height = 0;

static glm::ivec2 mousePos{0, 0};
static double startupMs = 0;
static double frameSeenMs = 0;  // when the frame being drawn will be seen
static double frameHeardSeconds = 0;  // the place in the track heard then
static double frameIntervalMs = 1000.0 / 60;
static double lastFrameMs = 0;
static bool active = true;

EM_JS(void, frameDrawn, (double heardSeconds, double seenMs), { Module.frameDrawn(heardSeconds, seenMs); });
EM_JS(void, trackEnded, (), { Module.ended(); });
EM_JS(bool, wantsCamera, (), { return new URLSearchParams(location.search).has('camera'); });

uint32_t timer()
{
    return static_cast<uint32_t>(std::lround(frameSeenMs - startupMs));
}

float audioLatency()
{
    return static_cast<float>(timer() * 0.001 - frameHeardSeconds);
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

static void createContext()
{
    EmscriptenWebGLContextAttributes attributes;
    emscripten_webgl_init_context_attributes(&attributes);
    attributes.majorVersion = 2;
    attributes.alpha = false;
    attributes.depth = false;
    attributes.stencil = false;
    attributes.antialias = false;
    attributes.powerPreference = EM_WEBGL_POWER_PREFERENCE_HIGH_PERFORMANCE;
    const EMSCRIPTEN_WEBGL_CONTEXT_HANDLE context = emscripten_webgl_create_context("#canvas", &attributes);
    if (context <= 0)
        FATAL("Could not create a WebGL2 context: this browser or its graphics driver has no WebGL2");
    emscripten_webgl_make_context_current(context);
}

static EM_BOOL trackPointer(int, const EmscriptenMouseEvent* event, void*)
{
    mousePos = {static_cast<int>(event->targetX), static_cast<int>(event->targetY)};
    return EM_FALSE;
}

// The canvas fills the window; its pixels are the display's own.
static void trackCanvasSize()
{
    double cssWidth = 0;
    double cssHeight = 0;
    emscripten_get_element_css_size("#canvas", &cssWidth, &cssHeight);
    window_width = static_cast<int32_t>(cssWidth);
    window_height = static_cast<int32_t>(cssHeight);
    const double ratio = emscripten_get_device_pixel_ratio();
    const int w = static_cast<int>(std::lround(cssWidth * ratio));
    const int h = static_cast<int>(std::lround(cssHeight * ratio));
    if (w == drawable_width && h == drawable_height)
        return;
    drawable_width = w;
    drawable_height = h;
    emscripten_set_canvas_element_size("#canvas", w, h);
    glViewport(0, 0, w, h);
    resize(w, h);
}

// `time` is when the browser began this frame; it is seen about a frame
// later, once composited.
static EM_BOOL drawFrame(double time, void*)
{
    if (lastFrameMs > 0)
        frameIntervalMs += 0.1 * (std::fmin(time - lastFrameMs, 100.0) - frameIntervalMs);
    lastFrameMs = time;
    frameSeenMs = time + frameIntervalMs;
    frameHeardSeconds = musicHeardSecondsAt(frameSeenMs);
    trackCanvasSize();
    render();
    frameDrawn(frameHeardSeconds, frameSeenMs);
    if (active)
        return EM_TRUE;
    trackEnded();
    return EM_FALSE;
}

// page.js calls it when the track is played again from its end.
extern "C" EMSCRIPTEN_KEEPALIVE void resumeDrawing()
{
    active = true;
    lastFrameMs = 0;
    emscripten_request_animation_frame_loop(drawFrame, nullptr);
}

int main()
{
    createContext();
    emscripten_set_mousemove_callback("#canvas", nullptr, EM_FALSE, trackPointer);
    startupMs = emscripten_performance_now();
    init();
    if (wantsCamera())
        openCamera("");
    resumeDrawing();
    return 0;
}
