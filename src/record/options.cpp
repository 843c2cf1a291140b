#include "options.h"
#include "fail.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const usage =
    "Usage: mosaic-record [options] [OUTPUT]\n"
    "\n"
    "Records the demo frame by frame, at an exact rate however fast the machine\n"
    "renders, into a video with chiptune2.ogg as its sound track. Like the demo\n"
    "it reads mosaic.vert, mosaic.frag, sdf.frag, scroller.png and chiptune2.ogg:\n"
    "from the working directory when it holds them, else from the installed\n"
    "data folder. The recording lasts as long as the track. It renders\n"
    "off-screen through EGL, so it needs no display, and hands the frames to\n"
    "the ffmpeg program, which must be on the PATH.\n"
    "\n"
    "  OUTPUT              the video file (default mosaic.mp4, or mosaic.webm\n"
    "                      with --webm); an existing file is replaced only by\n"
    "                      a finished recording\n"
    "  --webm              VP9 video and Vorbis sound in WebM instead of H.264\n"
    "                      and AAC in MP4\n"
    "  --size WxH          picture size in pixels, even numbers from 16 to 8192\n"
    "                      (default 1920x1080)\n"
    "  --fps N             frames a second, 1 to 240 (default 60); the demo's\n"
    "                      clock advances exactly 1000/N ms a frame\n"
    "  --mouse-x X         the pointer's column, 0 to W-1 (default W/2); the\n"
    "                      three rightmost columns freeze the demo's clock\n"
    "  --sweep             the pointer moves from the left edge to the fourth\n"
    "                      column from the right over the length of the track\n"
    "  --still SECONDS OUT.png\n"
    "                      writes the frame at that time of the track as a PNG\n"
    "                      instead of a video\n"
    "  --data DIR          reads the five files from DIR; OUTPUT and OUT.png\n"
    "                      stay relative to the working directory\n"
    "  --help              this text\n"
    "\n"
    "While it records, a line on standard error shows the frames done, the rate\n"
    "and the time left. A bad option, a missing or unreadable file, no EGL,\n"
    "ffmpeg failing, a full disk or SIGINT, SIGTERM or SIGHUP ends it with a\n"
    "message and exit status 1; the video is written into a hidden file beside\n"
    "OUTPUT, which is removed then, and an existing OUTPUT is left untouched.\n";

static bool parseInt(const char* text, long low, long high, int& value)
{
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || parsed < low || parsed > high)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

static bool parseSize(const char* text, int& width, int& height)
{
    const char* x = std::strchr(text, 'x');
    if (!x)
        return false;
    std::string w(text, x);
    int parsedW = 0;
    int parsedH = 0;
    // H.264 and VP9 in 4:2:0 need even sides.
    if (!parseInt(w.c_str(), 16, 8192, parsedW) || !parseInt(x + 1, 16, 8192, parsedH) ||
        parsedW % 2 != 0 || parsedH % 2 != 0)
        return false;
    width = parsedW;
    height = parsedH;
    return true;
}

static bool parseSeconds(const char* text, double& seconds)
{
    char* end = nullptr;
    double parsed = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(parsed) || parsed < 0)
        return false;
    seconds = parsed;
    return true;
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    auto argument = [&](int& i) -> const char* {
        if (i + 1 >= argc)
            fail("%s needs a value (see --help)", argv[i]);
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0) {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (std::strcmp(arg, "--webm") == 0) {
            options.webm = true;
        } else if (std::strcmp(arg, "--sweep") == 0) {
            options.sweep = true;
        } else if (std::strcmp(arg, "--size") == 0) {
            const char* value = argument(i);
            if (!parseSize(value, options.width, options.height))
                fail("--size %s: expected WxH, even numbers from 16 to 8192", value);
        } else if (std::strcmp(arg, "--fps") == 0) {
            const char* value = argument(i);
            if (!parseInt(value, 1, 240, options.fps))
                fail("--fps %s: expected a whole number from 1 to 240", value);
        } else if (std::strcmp(arg, "--mouse-x") == 0) {
            const char* value = argument(i);
            if (!parseInt(value, 0, 8191, options.mouseX))
                fail("--mouse-x %s: expected a pixel column", value);
        } else if (std::strcmp(arg, "--data") == 0) {
            options.dataFolder = argument(i);
        } else if (std::strcmp(arg, "--still") == 0) {
            if (i + 2 >= argc)
                fail("--still needs a time and a PNG file (see --help)");
            const char* value = argv[++i];
            if (!parseSeconds(value, options.stillSeconds))
                fail("--still %s: expected a time in seconds", value);
            options.stillPath = argv[++i];
        } else if (arg[0] == '-' && arg[1] != '\0') {
            fail("unknown option %s (see --help)", arg);
        } else if (!options.output.empty()) {
            fail("more than one output file: %s and %s", options.output.c_str(), arg);
        } else {
            options.output = arg;
        }
    }
    if (options.mouseX >= options.width)
        fail("--mouse-x %d: the picture is only %d pixels wide", options.mouseX, options.width);
    if (options.sweep && options.mouseX >= 0)
        fail("--sweep and --mouse-x exclude each other");
    if (!options.stillPath.empty() && !options.output.empty())
        fail("--still writes only its PNG, not %s", options.output.c_str());
    if (options.mouseX < 0)
        options.mouseX = options.width / 2;
    if (options.output.empty())
        options.output = options.webm ? "mosaic.webm" : "mosaic.mp4";
    return options;
}
