// mosaic-record: the demo's scene in a shell of its own that renders
// off-screen on a clock of frames, not of the wall, and hands every frame to
// the encoder, or one frame to a PNG file.
#include "common.h"
#include "data-folder.h"
#include "demo.h"
#include "encoder.h"
#include "music-output.h"
#include "fail.h"
#include "offscreen-gl.h"
#include "options.h"
#include "progress.h"
#include "readback.h"
#include "regular-file.h"
#include "safe-output.h"
#include "track.h"
#include "video-planes.h"

#include <glad/gl.h>
#include <SDL2/SDL.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <system_error>
#include <unistd.h>
#include <vector>

int32_t window_width = 1920;
int32_t window_height = 1080;

static uint32_t clockMilliseconds = 0;
static glm::ivec2 mousePos{0, 0};

uint32_t timer()
{
    return clockMilliseconds;
}

// The track lies under the frames from time 0, so frame n and the sound at
// n/fps are the same moment of the music.
float audioLatency()
{
    return 0.0f;
}

glm::ivec2 mousepos()
{
    return mousePos;
}

// The recording ends on its frame count, which comes from the track's length;
// the music is paused from the start and never ends it.
void shutdown()
{
}

const char* loadtxt(const char* fileName)
{
    return readTextOrExit(fileName, __FILE__, __LINE__);
}

// The scene starts its music, so it needs an output; SDL's dummy driver
// gives one on any machine and plays to no one. It is left open to the end of
// the process: closing it waits out its last buffer and the time SDL lets a
// device drain, half a second for sound no one hears.
static void openAudio()
{
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
    if (SDL_Init(SDL_INIT_AUDIO) < 0)
        fail("could not start SDL's audio: %s", SDL_GetError());
    if (!openMusicOutput())
        fail("could not open the sound output: %s", SDL_GetError());
}

static double trackSeconds()
{
    if (isSpecialFile("chiptune2.ogg"))
        fail("chiptune2.ogg is not a regular file");
    Track track;
    std::string error;
    if (!loadTrack("chiptune2.ogg", track, error))
        fail("could not load chiptune2.ogg: %s", error.c_str());
    double seconds = track.seconds;
    // A day bounds the frame count and the clock far inside their ranges.
    if (!(seconds > 0 && seconds <= 86400))
        fail("chiptune2.ogg has no length a recording can take (%g s)", seconds);
    return seconds;
}

// Enough frames to cover the whole track.
static long frameCount(double seconds, int fps)
{
    return std::max(1L, static_cast<long>(std::ceil(seconds * fps - 1e-6)));
}

// The clock and the pointer that frame `frame` (from 0) of `frames` shows.
static void advanceTo(const Options& options, long frame, long frames)
{
    clockMilliseconds = static_cast<uint32_t>(static_cast<uint64_t>(frame) * 1000 / options.fps);
    // The sweep stops short of the three columns that freeze the clock.
    int x = options.sweep ? static_cast<int>(frames > 1 ? frame * (options.width - 4) / (frames - 1) : 0)
                          : options.mouseX;
    mousePos = glm::ivec2(x, options.height / 2);
}

// The default framebuffer's pixels as RGB, rows bottom-up.
static void readFrame(const Options& options, std::vector<uint8_t>& pixels)
{
    pixels.resize(static_cast<size_t>(options.width) * options.height * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, options.width, options.height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
}

static void writeStill(const Options& options, long frame, long frames)
{
    advanceTo(options, frame, frames);
    render();
    std::vector<uint8_t> pixels;
    readFrame(options, pixels);
    stbi_flip_vertically_on_write(1);
    std::string temporary = beginOutput(options.stillPath);
    if (!stbi_write_png(temporary.c_str(), options.width, options.height, 3, pixels.data(),
                        options.width * 3))
        fail("could not write %s", options.stillPath.c_str());
    commitOutput();
}

// Frames are drawn, read back and sent to ffmpeg at once: the read of each
// frame is collected a frame later, and converted and sent from another
// thread while the next frames are drawn.
static void recordVideo(const Options& options, long frames)
{
    Encoder encoder = startEncoder(options, beginOutput(options.output));
    setOutputWriter(encoder.pid);
    Progress progress;
    progress.total = static_cast<int>(frames);
    Readback readback = startReadback(options.width, options.height);
    std::future<bool> sending;
    long sent = 0;
    // The last frame is shown done only once ffmpeg has finished the file.
    auto waitForSending = [&] {
        if (!sending.valid())
            return;
        if (!sending.get()) {
            finishEncoder(encoder);
            fail("ffmpeg stopped reading after %ld of %ld frames", sent, frames);
        }
        if (++sent < frames)
            showProgress(progress, static_cast<int>(sent));
    };
    for (long frame = 0; frame < frames || frameReady(readback, true); ++frame) {
        if (frame < frames) {
            advanceTo(options, frame, frames);
            render();
            queueFrame(readback);
        }
        if (!frameReady(readback, frame >= frames))
            continue;
        waitForSending();
        const uint32_t* pixels = takeFrame(readback);
        sending = std::async(std::launch::async, [&options, &encoder, pixels] {
            giveWayToRendering();
            toVideoPlanes(pixels, options.width, options.height, frameToFill(encoder));
            return sendFrame(encoder);
        });
    }
    waitForSending();
    releaseFrames(readback);
    finishEncoder(encoder);
    commitOutput();
    showProgress(progress, static_cast<int>(frames));
}

// The user's paths name files from where the user is; the scene then reads
// its files by their bare names in the data folder.
static std::string fromWorkingDirectory(const std::string& path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        fail("could not tell where %s is: %s", path.c_str(), error.message().c_str());
    return absolute.string();
}

static void enterDataFolder(Options& options)
{
    if (options.stillPath.empty())
        options.output = fromWorkingDirectory(options.output);
    else
        options.stillPath = fromWorkingDirectory(options.stillPath);
    std::string folder = findDataFolder(options.dataFolder);
    if (chdir(folder.c_str()) != 0)
        fail("could not enter the data folder %s: %s", folder.c_str(), std::strerror(errno));
}

int main(int argc, char** argv)
{
    Options options = parseOptions(argc, argv);
    enterDataFolder(options);
    openAudio();
    double seconds = trackSeconds();
    long frames = frameCount(seconds, options.fps);
    // The still is the nearest frame, which must lie within the recording.
    if (!options.stillPath.empty() && options.stillSeconds * options.fps >= frames - 0.5)
        fail("--still %g: the track ends at %.3f s", options.stillSeconds, seconds);
    long stillFrame = std::lround(options.stillSeconds * options.fps);
    openOffscreenGL(options.width, options.height);
    window_width = options.width;
    window_height = options.height;
    init();
    pauseMusic();
    glViewport(0, 0, options.width, options.height);
    resize(options.width, options.height);
    if (options.stillPath.empty())
        recordVideo(options, frames);
    else
        writeStill(options, stillFrame, frames);
    // Before the exit handlers, which tear down what the driver's threads
    // may still use (see releaseBeforeExit).
    closeOffscreenGL();
    return 0;
}
