// Preloaded into the demo (LD_PRELOAD) to watch its frames from outside:
//
//   FRAMEHOOK_DIR    directory for the files below
//   FRAMEHOOK_GRAB   comma-separated 1-based frame numbers, and/or "last", to
//                    read back from the back buffer just before their swap;
//                    written as FRAMEHOOK_DIR/frame-<n>.ppm (binary P6, top row
//                    first). The last frame is also written as frame-last.ppm.
//   FRAMEHOOK_TIMES  file that gets one line per swap:
//                    "<frame> <ns before swap> <ns after swap>" (CLOCK_MONOTONIC)
//   FRAMEHOOK_FRAME_MS  a whole number of milliseconds: SDL_GetTicks then
//                    answers that many for every frame swapped so far, so the
//                    demo's clock steps one frame at a time whatever the
//                    machine's speed, and frame n shows the time (n - 1) x ms;
//                    on every thread but the main one it stays at 0, so that
//                    the sound counts as heard from the clock's start
//                    whenever SDL's audio thread takes its first buffer, for
//                    which the first swap waits
//   FRAMEHOOK_PROBE  "x,y,w,h": a small rectangle in GL window coordinates
//                    (row 0 at the bottom) read back before every swap; each
//                    frame appends "<frame> <hex RGB bytes>" to
//                    FRAMEHOOK_DIR/probe, rows bottom-up
//   FRAMEHOOK_CLOCK  file that gets one line per swap:
//                    "<frame> <uTime> <uAudioLatency> <ns> <seen ns>", the
//                    values the demo last gave those uniforms, "-" for one it
//                    never gave, so that the track time each frame showed can
//                    be told, when it last gave uTime (CLOCK_MONOTONIC, 0 if
//                    never) and when the frame was seen: on Wayland when the
//                    compositor says it presented it (a frame it never showed
//                    has no line), elsewhere when its swap returned
//
// With FRAMEHOOK_DIR set, FRAMEHOOK_DIR/summary is written at exit:
//   "swaps <n>\nmusic_stopped <k>\n", k being the number of swaps done when
//   the main thread first read a clock that had run the track's length (as
//   the decoder gave it) since SDL's audio thread took the track's first
//   buffer (-1 if it never did): from that frame on the sound heard through
//   SDL is over.
//
// Nothing is read back unless a frame is asked for; "last" reads every frame
// into one buffer, since only the exit tells which frame was the last.
#define _GNU_SOURCE
#include "gl-interpose.h"
#include "presentation-feedback.h"

#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <vorbis/vorbisfile.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define GL_PACK_ALIGNMENT 0x0D05
#define GL_BACK 0x0405
#define GL_RGB 0x1907
#define GL_UNSIGNED_BYTE 0x1401
#define GL_READ_FRAMEBUFFER 0x8CA8
#define GL_READ_FRAMEBUFFER_BINDING 0x8CAA
#define GL_READ_BUFFER 0x0C02

typedef void (*GetIntegervFn)(unsigned, int*);
typedef void (*BindFramebufferFn)(unsigned, unsigned);
typedef void (*ReadBufferFn)(unsigned);
typedef void (*PixelStoreiFn)(unsigned, int);
typedef void (*ReadPixelsFn)(int, int, int, int, unsigned, unsigned, void*);

enum { MAX_GRABS = 64 };

static const char* outputDir;
static long grabFrames[MAX_GRABS];
static int grabCount;
static int grabLast;
static FILE* timesFile;
static FILE* probeFile;
static int probeRect[4];

static long swaps;
static int trackStamped;
static Uint32 trackStampedAt;
static __thread int inAudioCallback;
static pthread_t mainThread;  // the one that draws and swaps, in the demo and the preview
static long frameMilliseconds;
static double trackSeconds = -1.0;
static long musicStopped = -1;

static FILE* clockFile;
static const char* const clockUniforms[2] = {"uTime", "uAudioLatency"};
static float clockValues[2];
static int clockGiven[2];
static int64_t clockReadAt;
static int presentationWatched = -1;  // until the first swap

static unsigned char* lastPixels;
static int lastWidth;
static int lastHeight;

static void parseGrabList(const char* list)
{
    char* copy = strdup(list);
    for (char* item = strtok(copy, ","); item; item = strtok(NULL, ",")) {
        if (strcmp(item, "last") == 0)
            grabLast = 1;
        else if (grabCount < MAX_GRABS)
            grabFrames[grabCount++] = strtol(item, NULL, 10);
    }
    free(copy);
}

__attribute__((constructor)) static void readSettings(void)
{
    mainThread = pthread_self();
    outputDir = getenv("FRAMEHOOK_DIR");
    const char* grab = getenv("FRAMEHOOK_GRAB");
    if (grab && outputDir)
        parseGrabList(grab);
    const char* probe = getenv("FRAMEHOOK_PROBE");
    if (probe && outputDir &&
        sscanf(probe, "%d,%d,%d,%d", &probeRect[0], &probeRect[1], &probeRect[2], &probeRect[3]) == 4 &&
        probeRect[2] > 0 && probeRect[3] > 0) {
        char path[4096];
        snprintf(path, sizeof path, "%s/probe", outputDir);
        probeFile = fopen(path, "w");
    }
    const char* frameMs = getenv("FRAMEHOOK_FRAME_MS");
    if (frameMs)
        frameMilliseconds = strtol(frameMs, NULL, 10);
    const char* times = getenv("FRAMEHOOK_TIMES");
    if (times)
        timesFile = fopen(times, "a");
    const char* clock = getenv("FRAMEHOOK_CLOCK");
    if (clock)
        clockFile = fopen(clock, "w");
}

static int64_t nanoseconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int grabRequested(long frame)
{
    for (int i = 0; i < grabCount; ++i)
        if (grabFrames[i] == frame)
            return 1;
    return 0;
}

// Reads the back buffer of the window's framebuffer, leaving the GL state
// the demo relies on as it was.
static void readBackBuffer(unsigned char* pixels, int x, int y, int width, int height)
{
    GetIntegervFn getIntegerv = (GetIntegervFn)SDL_GL_GetProcAddress("glGetIntegerv");
    BindFramebufferFn bindFramebuffer =
        (BindFramebufferFn)SDL_GL_GetProcAddress("glBindFramebuffer");
    ReadBufferFn readBuffer = (ReadBufferFn)SDL_GL_GetProcAddress("glReadBuffer");
    PixelStoreiFn pixelStorei = (PixelStoreiFn)SDL_GL_GetProcAddress("glPixelStorei");
    ReadPixelsFn readPixels = (ReadPixelsFn)SDL_GL_GetProcAddress("glReadPixels");

    int framebuffer = 0, buffer = 0, alignment = 0;
    getIntegerv(GL_READ_FRAMEBUFFER_BINDING, &framebuffer);
    bindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    getIntegerv(GL_READ_BUFFER, &buffer);
    getIntegerv(GL_PACK_ALIGNMENT, &alignment);
    readBuffer(GL_BACK);
    pixelStorei(GL_PACK_ALIGNMENT, 1);
    readPixels(x, y, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
    pixelStorei(GL_PACK_ALIGNMENT, alignment);
    readBuffer((unsigned)buffer);
    bindFramebuffer(GL_READ_FRAMEBUFFER, (unsigned)framebuffer);
}

// GL rows run bottom-up; the file's run top-down.
static void writePPM(const char* name, const unsigned char* pixels, int width, int height)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", outputDir, name);
    FILE* f = fopen(path, "wb");
    if (!f)
        return;
    fprintf(f, "P6\n%d %d\n255\n", width, height);
    for (int row = height - 1; row >= 0; --row)
        fwrite(pixels + (size_t)row * width * 3, 1, (size_t)width * 3, f);
    fclose(f);
}

static void grabFrame(SDL_Window* window, long frame)
{
    int wanted = grabRequested(frame);
    if (!wanted && !grabLast)
        return;
    int width = 0, height = 0;
    SDL_GL_GetDrawableSize(window, &width, &height);
    if (width <= 0 || height <= 0)
        return;
    if (width != lastWidth || height != lastHeight) {
        free(lastPixels);
        lastPixels = malloc((size_t)width * height * 3);
        lastWidth = width;
        lastHeight = height;
    }
    readBackBuffer(lastPixels, 0, 0, width, height);
    if (wanted) {
        char name[64];
        snprintf(name, sizeof name, "frame-%ld.ppm", frame);
        writePPM(name, lastPixels, width, height);
    }
}

static void probeFrame(long frame)
{
    if (!probeFile)
        return;
    size_t size = (size_t)probeRect[2] * probeRect[3] * 3;
    unsigned char* pixels = malloc(size);
    readBackBuffer(pixels, probeRect[0], probeRect[1], probeRect[2], probeRect[3]);
    fprintf(probeFile, "%ld ", frame);
    for (size_t i = 0; i < size; ++i)
        fprintf(probeFile, "%02x", pixels[i]);
    fputc('\n', probeFile);
    fflush(probeFile);
    free(pixels);
}

// While the clock is watched this library answers the uniform calls itself
// (gl-interpose.h).
typedef int (*GetUniformLocationFn)(unsigned, const char*);
typedef void (*ProgramUniform1fFn)(unsigned, int, float);

// Which clock uniform each (program, location) is, as the demo looked them up.
enum { MAX_LOCATIONS = 32 };
static struct {
    unsigned program;
    int location;
    int uniform;
} clockLocations[MAX_LOCATIONS];
static int clockLocationCount;

static int glGetUniformLocationHook(unsigned program, const char* name)
{
    static GetUniformLocationFn real;
    if (!real)
        real = (GetUniformLocationFn)realGLProc("glGetUniformLocation");
    int location = real(program, name);
    for (int uniform = 0; uniform < 2; ++uniform) {
        if (location < 0 || strcmp(name, clockUniforms[uniform]) != 0)
            continue;
        int i = 0;
        while (i < clockLocationCount &&
               (clockLocations[i].program != program || clockLocations[i].location != location))
            ++i;
        if (i == MAX_LOCATIONS)
            continue;
        clockLocations[i].program = program;
        clockLocations[i].location = location;
        clockLocations[i].uniform = uniform;
        clockLocationCount += i == clockLocationCount;
    }
    return location;
}

static void glProgramUniform1fHook(unsigned program, int location, float value)
{
    static ProgramUniform1fFn real;
    if (!real)
        real = (ProgramUniform1fFn)realGLProc("glProgramUniform1f");
    for (int i = 0; i < clockLocationCount; ++i) {
        if (clockLocations[i].program == program && clockLocations[i].location == location) {
            clockValues[clockLocations[i].uniform] = value;
            clockGiven[clockLocations[i].uniform] = 1;
            if (clockLocations[i].uniform == 0)
                clockReadAt = nanoseconds();
        }
    }
    real(program, location, value);
}

int interposesGL(void)
{
    return clockFile != NULL;
}

GLProc interposedGLProc(const char* name)
{
    if (strcmp(name, "glGetUniformLocation") == 0)
        return (GLProc)glGetUniformLocationHook;
    if (strcmp(name, "glProgramUniform1f") == 0)
        return (GLProc)glProgramUniform1fHook;
    return NULL;
}

// The clock line of a frame, but for when it was seen, in a malloc'ed
// string.
static char* clockLine(long frame)
{
    char* line = NULL;
    size_t size = 0;
    FILE* text = open_memstream(&line, &size);
    fprintf(text, "%ld", frame);
    for (int uniform = 0; uniform < 2; ++uniform) {
        if (clockGiven[uniform])
            fprintf(text, " %.6f", clockValues[uniform]);
        else
            fputs(" -", text);
    }
    fprintf(text, " %lld", (long long)clockReadAt);
    fclose(text);
    return line;
}

// A frame that the compositor never showed (seen at 0) has no line.
static void writeClock(void* line, int64_t seen)
{
    if (seen != 0) {
        fprintf(clockFile, "%s %lld\n", (char*)line, (long long)seen);
        fflush(clockFile);
    }
    free(line);
}

// The program asks the time in its audio callback when it stamps the first
// buffer of the track. On the stepped clock the first frame waits for that
// stamp (a few seconds at most, for a program that plays nothing), so that
// the sound is heard from the clock's start however slowly SDL's audio
// thread begins.
static SDL_AudioCallback programCallback;

static void watchedCallback(void* data, Uint8* stream, int length)
{
    inAudioCallback = 1;
    programCallback(data, stream, length);
    inAudioCallback = 0;
}

SDL_AudioDeviceID SDL_OpenAudioDevice(const char* device, int capture, const SDL_AudioSpec* desired,
                                      SDL_AudioSpec* obtained, int allowedChanges)
{
    SDL_AudioDeviceID (*realOpen)(const char*, int, const SDL_AudioSpec*, SDL_AudioSpec*, int) =
        (SDL_AudioDeviceID(*)(const char*, int, const SDL_AudioSpec*, SDL_AudioSpec*, int))dlsym(
            RTLD_NEXT, "SDL_OpenAudioDevice");
    SDL_AudioSpec watched = *desired;
    if (desired->callback) {
        programCallback = desired->callback;
        watched.callback = watchedCallback;
    }
    return realOpen(device, capture, &watched, obtained, allowedChanges);
}

static void waitForTheMixer(void)
{
    const int64_t giveUp = nanoseconds() + 5000000000LL;
    const struct timespec pause = {0, 1000000};
    while (!__atomic_load_n(&trackStamped, __ATOMIC_ACQUIRE) && nanoseconds() < giveUp)
        nanosleep(&pause, NULL);
}

void SDL_GL_SwapWindow(SDL_Window* window)
{
    static void (*realSwap)(SDL_Window*);
    if (!realSwap)
        realSwap = (void (*)(SDL_Window*))dlsym(RTLD_NEXT, "SDL_GL_SwapWindow");
    if (frameMilliseconds > 0 && swaps == 0)
        waitForTheMixer();
    long frame = ++swaps;
    grabFrame(window, frame);
    probeFrame(frame);
    char* line = clockFile ? clockLine(frame) : NULL;
    if (line && presentationWatched < 0)
        presentationWatched = watchPresented(window);
    if (line && presentationWatched)
        askPresented(line);
    int64_t before = nanoseconds();
    realSwap(window);
    int64_t after = nanoseconds();
    if (line && presentationWatched)
        readPresented(writeClock);
    else if (line)
        writeClock(line, after);
    if (timesFile) {
        fprintf(timesFile, "%ld %lld %lld\n", frame, (long long)before, (long long)after);
        fflush(timesFile);
    }
}

static Uint32 ticksNow(void)
{
    static Uint32 (*realTicks)(void);
    int onMainThread = pthread_equal(pthread_self(), mainThread);
    if (frameMilliseconds > 0)
        return onMainThread ? (Uint32)(swaps * frameMilliseconds) : 0;
    if (!realTicks)
        realTicks = (Uint32(*)(void))dlsym(RTLD_NEXT, "SDL_GetTicks");
    return realTicks();
}

Uint32 SDL_GetTicks(void)
{
    Uint32 ticks = ticksNow();
    if (inAudioCallback) {
        __atomic_store_n(&trackStampedAt, ticks, __ATOMIC_RELAXED);
        __atomic_store_n(&trackStamped, 1, __ATOMIC_RELEASE);
    } else if (musicStopped < 0 && trackSeconds >= 0.0 && pthread_equal(pthread_self(), mainThread) &&
               __atomic_load_n(&trackStamped, __ATOMIC_ACQUIRE) &&
               (Sint32)(ticks - __atomic_load_n(&trackStampedAt, __ATOMIC_RELAXED)) >= trackSeconds * 1000.0) {
        musicStopped = swaps;
    }
    return ticks;
}

// The track's length as the program's decoder finds it.
ogg_int64_t ov_pcm_total(OggVorbis_File* file, int link)
{
    ogg_int64_t (*realTotal)(OggVorbis_File*, int) =
        (ogg_int64_t(*)(OggVorbis_File*, int))dlsym(RTLD_NEXT, "ov_pcm_total");
    vorbis_info* (*realInfo)(OggVorbis_File*, int) =
        (vorbis_info * (*)(OggVorbis_File*, int)) dlsym(RTLD_NEXT, "ov_info");
    ogg_int64_t frames = realTotal(file, link);
    vorbis_info* info = realInfo(file, link);
    if (frames > 0 && info && info->rate > 0 && link < 0)
        trackSeconds = (double)frames / info->rate;
    return frames;
}

__attribute__((destructor)) static void writeResults(void)
{
    if (!outputDir)
        return;
    if (grabLast && lastPixels) {
        char name[64];
        snprintf(name, sizeof name, "frame-%ld.ppm", swaps);
        writePPM(name, lastPixels, lastWidth, lastHeight);
        writePPM("frame-last.ppm", lastPixels, lastWidth, lastHeight);
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/summary", outputDir);
    FILE* f = fopen(path, "w");
    if (!f)
        return;
    fprintf(f, "swaps %ld\nmusic_stopped %ld\n", swaps, musicStopped);
    fclose(f);
}
