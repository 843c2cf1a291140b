// Frame-time benchmark of the real demo binary with the real assets, on a
// private Xvfb display at 1920x1080. The frame hook logs every swap; the
// time between two swaps is one frame, both passes and the swap included.
// Swapping in a flat sdf.frag and/or a flat mosaic.frag gives each pass's
// share by difference, and both flat gives the floor that no shader can beat.
// The baseline runs the shaders of an earlier commit, read from git, beside
// today's; both run with the pointer at the left edge, the centre and the
// right edge, since the tile size follows it. The camera build runs too, fed
// 640x480 frames by the fake capture device, beside the scene build.
// All of that times the demo's first seconds as they play; the look and the
// baseline are also timed over the whole track, on a clock stepped a third
// of a second a frame, so that every part has its say.
//
// --stills FILE.png --at T,... instead runs the demo once on a clock that
// steps a fixed time per frame and writes the frame at time T (seconds of the
// demo's clock), or, for several times, a contact sheet of them.
#include "xvfb.h"

#include <X11/Xlib.h>
#include <stb_image_write.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

static const int screenWidth = 1920;
static const int screenHeight = 1080;
static const double runTimeLimit = 180.0;  // seconds for one run, start-up included
static const int stillStepMs = 100;        // demo clock a frame when making a contact sheet
static const int trackStepMs = 333;        // demo clock a frame when timing the whole track
static const int stillWidth = 480;         // one still on the contact sheet: a quarter of the window
static const int stillHeight = 270;
static const int sheetColumns = 4;

static const char* const flatScene =
    "#version 330 core\n"
    "out vec4 color;\n"
    "void main() { color = vec4(0.2, 0.4, 0.6, 0.0); }\n";
static const char* const flatMosaic =
    "#version 330 core\n"
    "out vec4 color;\n"
    "void main() { color = vec4(0.6, 0.4, 0.2, 1.0); }\n";

struct Options {
    std::string demo = MOSAIC_DEMO;
    std::string hook = MOSAIC_FRAMEHOOK;
    std::string data = MOSAIC_DATA_DIR;
    std::string cameraDemo = MOSAIC_CAMERA_DEMO;
    std::string fakeCamera = MOSAIC_FAKECAM;
    int frames = 300;
    int skip = 10;
    int rounds = 2;
    int mouseX = screenWidth / 2;
    std::string baseline = "9bf7e60";
    std::string stills;
    std::vector<double> stillTimes;
};

// Shader texts that replace the data directory's; empty keeps its file.
struct Variant {
    std::string name;
    std::string scene;
    std::string mosaic;
    std::string vertex;
    int mouseX;
    bool camera = false;
    int frameMs = 0;  // a stepped clock over the whole track; 0 plays the first seconds live
};

struct Swap {
    long frame;
    int64_t before;
    int64_t after;
};

struct Run {
    std::vector<double> frameMs;
    std::vector<double> startupMs;
};

[[noreturn]] static void fail(const std::string& message)
{
    std::fprintf(stderr, "frame-bench: %s\n", message.c_str());
    std::exit(1);
}

static int64_t nanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

static std::vector<double> parseTimes(const char* text)
{
    std::vector<double> times;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        double t = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || !(t >= 0.0 && t < 1000.0))
            fail("bad time for --at: " + item);
        times.push_back(t);
    }
    return times;
}

static int parseCount(const char* text, const char* option)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > 1000000)
        fail(std::string("bad number for ") + option + ": " + text);
    return static_cast<int>(value);
}

static Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc)
            fail("usage: frame-bench [--demo PATH] [--hook PATH] [--data DIR] [--frames N] "
                 "[--skip N] [--rounds N] [--baseline GIT-REVISION] "
                 "[--stills FILE.png --at SECONDS,SECONDS,... [--mouse-x X]]");
        const char* value = argv[++i];
        if (option == "--demo")
            options.demo = value;
        else if (option == "--hook")
            options.hook = value;
        else if (option == "--data")
            options.data = value;
        else if (option == "--frames")
            options.frames = std::max(1, parseCount(value, "--frames"));
        else if (option == "--rounds")
            options.rounds = std::max(1, parseCount(value, "--rounds"));
        else if (option == "--skip")
            options.skip = parseCount(value, "--skip");
        else if (option == "--mouse-x")
            options.mouseX = parseCount(value, "--mouse-x");
        else if (option == "--baseline")
            options.baseline = value;
        else if (option == "--stills")
            options.stills = value;
        else if (option == "--at")
            options.stillTimes = parseTimes(value);
        else
            fail("unknown option " + option);
    }
    if (!options.stills.empty() && options.stillTimes.empty())
        fail("--stills needs --at");
    return options;
}

static void stopProcess(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

static void placePointer(const std::string& display, int x)
{
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy)
        fail("cannot open display " + display);
    XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, x, screenHeight / 2);
    XSync(dpy, False);
    XCloseDisplay(dpy);
}

static void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    if (!out)
        fail("cannot write " + path.string());
}

// A file of the project's data directory as it stood at a git revision.
static std::string fileAtRevision(const std::string& revision, const std::string& file)
{
    std::string command = "git -C '" MOSAIC_DATA_DIR "' show '" + revision + ":./" + file + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        fail("cannot run git");
    std::string text;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, got);
    if (pclose(pipe) != 0 || text.empty())
        fail("git has no " + file + " at " + revision);
    return text;
}

static fs::path prepareWorkDir(const Options& options, const Variant& variant)
{
    fs::path dir = fs::temp_directory_path() / ("frame-bench-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char* file : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png", "chiptune2.ogg"}) {
        std::error_code error;
        fs::copy_file(fs::path(options.data) / file, dir / file, error);
        if (error)
            fail("missing " + (fs::path(options.data) / file).string());
    }
    if (!variant.scene.empty())
        writeText(dir / "sdf.frag", variant.scene);
    if (!variant.mosaic.empty())
        writeText(dir / "mosaic.frag", variant.mosaic);
    if (!variant.vertex.empty())
        writeText(dir / "mosaic.vert", variant.vertex);
    return dir;
}

static std::vector<Swap> readSwaps(const fs::path& path)
{
    std::vector<Swap> swaps;
    std::ifstream in(path);
    Swap swap;
    while (in >> swap.frame >> swap.before >> swap.after)
        swaps.push_back(swap);
    return swaps;
}

// What one run of the demo is for: the swaps to wait for, the frames to grab,
// and a clock stepped by the frame hook (0 keeps the real clock).
struct RunPlan {
    size_t swaps = 0;
    std::string grab;
    int frameMs = 0;
    int mouseX = screenWidth / 2;
    bool camera = false;
};

static pid_t startDemo(const Options& options, const fs::path& dir, const std::string& display,
                       const RunPlan& plan)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (chdir(dir.c_str()) != 0)
        _exit(127);
    setenv("DISPLAY", display.c_str(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("LD_PRELOAD", (options.hook + (plan.camera ? ":" + options.fakeCamera : "")).c_str(), 1);
    if (plan.camera)
        setenv("FAKECAM_SIZE", "640x480", 1);
    setenv("FRAMEHOOK_TIMES", (dir / "times").c_str(), 1);
    setenv("FRAMEHOOK_DIR", dir.c_str(), 1);
    if (!plan.grab.empty())
        setenv("FRAMEHOOK_GRAB", plan.grab.c_str(), 1);
    if (plan.frameMs > 0)
        setenv("FRAMEHOOK_FRAME_MS", std::to_string(plan.frameMs).c_str(), 1);
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDOUT_FILENO);
    const std::string& demo = plan.camera ? options.cameraDemo : options.demo;
    execl(demo.c_str(), demo.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

// Runs the demo until enough frames are logged, then ends it the way a
// window manager would; SDL turns SIGTERM into a quit request. SDL moves the
// pointer to the middle of the window when it opens, so the pointer is
// placed once the first frame is on the screen.
static std::vector<Swap> runDemo(const Options& options, const fs::path& dir,
                                 const std::string& display, const RunPlan& plan, int64_t& started)
{
    started = nanoseconds();
    pid_t demo = startDemo(options, dir, display, plan);
    if (demo < 0)
        fail("fork failed");
    int status = 0;
    bool placed = false;
    for (size_t swapped = 0; swapped < plan.swaps; swapped = readSwaps(dir / "times").size()) {
        if (!placed && swapped > 0) {
            placePointer(display, plan.mouseX);
            placed = true;
        }
        if (waitpid(demo, &status, WNOHANG) == demo) {
            // On the stepped clock the track's end is the run's.
            if (plan.frameMs > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                return readSwaps(dir / "times");
            std::fprintf(stderr, "frame-bench: the demo ended early (status %d)\n",
                         WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            return readSwaps(dir / "times");
        }
        if ((nanoseconds() - started) * 1e-9 > runTimeLimit) {
            std::fprintf(stderr, "frame-bench: run took over %.0f s, stopped\n", runTimeLimit);
            break;
        }
        usleep(20000);
    }
    stopProcess(demo);
    return readSwaps(dir / "times");
}

// The frames after the first `skip`, at most `frames` of them.
static void measure(Run& run, const std::vector<Swap>& swaps, int64_t started, size_t skip, size_t frames)
{
    if (swaps.empty())
        fail("the demo swapped no frame");
    run.startupMs.push_back((swaps.front().after - started) * 1e-6);
    size_t first = skip + 1;
    size_t end = std::min(swaps.size(), first + frames);
    for (size_t i = first; i < end; ++i)
        run.frameMs.push_back((swaps[i].after - swaps[i - 1].after) * 1e-6);
    std::sort(run.frameMs.begin(), run.frameMs.end());
    std::sort(run.startupMs.begin(), run.startupMs.end());
}

static double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0.0;
    size_t index = static_cast<size_t>(p * (sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

static double median(const Run& run)
{
    return percentile(run.frameMs, 0.5);
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

static Picture readGrab(const fs::path& ppm)
{
    std::ifstream in(ppm, std::ios::binary);
    std::string magic;
    Picture picture;
    int maxValue = 0;
    in >> magic >> picture.width >> picture.height >> maxValue;
    in.get();
    if (magic != "P6" || maxValue != 255 || picture.width <= 0 || picture.height <= 0)
        fail("no readable frame grab in " + ppm.string());
    picture.rgb.resize(static_cast<size_t>(picture.width) * picture.height * 3);
    in.read(reinterpret_cast<char*>(picture.rgb.data()), static_cast<std::streamsize>(picture.rgb.size()));
    if (!in)
        fail("no readable frame grab in " + ppm.string());
    return picture;
}

static void writePng(const std::string& png, const Picture& picture)
{
    if (!stbi_write_png(png.c_str(), picture.width, picture.height, 3, picture.rgb.data(),
                        picture.width * 3))
        fail("cannot write " + png);
}

// Averages each block of the grab that one pixel of the still covers.
static void placeStill(Picture& sheet, const Picture& grab, int left, int top)
{
    int blockW = grab.width / stillWidth, blockH = grab.height / stillHeight;
    for (int y = 0; y < stillHeight; ++y)
        for (int x = 0; x < stillWidth; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int by = 0; by < blockH; ++by)
                    for (int bx = 0; bx < blockW; ++bx)
                        sum += grab.rgb[((size_t(y) * blockH + by) * grab.width + size_t(x) * blockW + bx) * 3 + c];
                sheet.rgb[((size_t(top) + y) * sheet.width + left + x) * 3 + c] =
                    static_cast<unsigned char>(sum / (blockW * blockH));
            }
}

static void makeStills(const Options& options, const std::string& display)
{
    RunPlan plan;
    plan.frameMs = stillStepMs;
    plan.mouseX = options.mouseX;
    std::vector<long> frames;
    for (double t : options.stillTimes) {
        frames.push_back(std::lround(t * 1000.0 / stillStepMs) + 1);
        plan.grab += (plan.grab.empty() ? "" : ",") + std::to_string(frames.back());
        plan.swaps = std::max(plan.swaps, static_cast<size_t>(frames.back()));
    }
    fs::path dir = prepareWorkDir(options, {"full look", "", "", "", options.mouseX});
    int64_t started = 0;
    runDemo(options, dir, display, plan, started);

    if (frames.size() == 1) {
        writePng(options.stills, readGrab(dir / ("frame-" + std::to_string(frames[0]) + ".ppm")));
        fs::remove_all(dir);
        return;
    }
    int rows = (static_cast<int>(frames.size()) + sheetColumns - 1) / sheetColumns;
    Picture sheet{sheetColumns * stillWidth, rows * stillHeight, {}};
    sheet.rgb.assign(static_cast<size_t>(sheet.width) * sheet.height * 3, 0);
    for (size_t i = 0; i < frames.size(); ++i) {
        Picture grab = readGrab(dir / ("frame-" + std::to_string(frames[i]) + ".ppm"));
        if (grab.width < stillWidth || grab.height < stillHeight)
            fail("the window is smaller than a still");
        placeStill(sheet, grab, int(i % sheetColumns) * stillWidth, int(i / sheetColumns) * stillHeight);
    }
    writePng(options.stills, sheet);
    fs::remove_all(dir);
}

static void printRow(const std::string& name, const Run& run)
{
    const std::vector<double>& t = run.frameMs;
    std::printf("%-34s %6zu %8.2f %8.2f %8.2f %8.2f %8.2f %9.1f\n", name.c_str(), t.size(), median(run),
                percentile(t, 0.1), percentile(t, 0.9), t.empty() ? 0.0 : t.front(),
                t.empty() ? 0.0 : t.back(), percentile(run.startupMs, 0.5));
}

int main(int argc, char** argv)
{
    Options options = parseOptions(argc, argv);
    std::string display;
    pid_t xvfb = startXvfb(std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + "x24", display);
    if (xvfb < 0)
        fail("could not start Xvfb (Debian package xvfb)");
    if (!options.stills.empty()) {
        makeStills(options, display);
        stopProcess(xvfb);
        return 0;
    }

    const int left = 0, centre = screenWidth / 2, right = screenWidth - 4;  // right of it the clock stops
    const std::string base = "baseline " + options.baseline;
    Variant baseline{base, fileAtRevision(options.baseline, "sdf.frag"),
                     fileAtRevision(options.baseline, "mosaic.frag"),
                     fileAtRevision(options.baseline, "mosaic.vert"), centre};
    // For each way of timing, the look and the baseline at the three pointer
    // positions, in pairs, then the floor.
    std::vector<Variant> variants;
    std::vector<size_t> firstOfTiming;
    for (int frameMs : {0, trackStepMs}) {
        const std::string track = frameMs > 0 ? ", track" : "";
        firstOfTiming.push_back(variants.size());
        for (int x : {left, centre, right}) {
            const std::string at = (x == left ? ", left" : x == centre ? ", centre" : ", right") + track;
            variants.push_back({"full look" + at, "", "", "", x, false, frameMs});
            variants.push_back({base + at, baseline.scene, baseline.mosaic, baseline.vertex, x, false, frameMs});
        }
        variants.push_back({"both flat (floor), centre" + track, flatScene, flatMosaic, "", centre, false, frameMs});
    }
    const size_t live = firstOfTiming[0], track = firstOfTiming[1];
    const size_t flatScenePass = variants.size();
    variants.push_back({"flat scene, centre", flatScene, "", "", centre});
    const size_t flatMosaicPass = variants.size();
    variants.push_back({"flat mosaic, centre", "", flatMosaic, "", centre});
    const size_t camera = variants.size();
    variants.push_back({"camera 640x480, centre", "", "", "", centre, true});

    // Rounds interleave the variants, so that a busy spell on the machine
    // falls on all of them alike.
    std::vector<Run> runs(variants.size());
    for (int round = 0; round < options.rounds; ++round)
        for (size_t v = 0; v < variants.size(); ++v) {
            RunPlan plan;
            const size_t skip = static_cast<size_t>(options.skip);
            const size_t frames = variants[v].frameMs > 0 ? std::numeric_limits<size_t>::max() - skip - 1
                                                          : static_cast<size_t>(options.frames);
            plan.swaps = skip + frames + 1;
            plan.mouseX = variants[v].mouseX;
            plan.camera = variants[v].camera;
            plan.frameMs = variants[v].frameMs;
            fs::path dir = prepareWorkDir(options, variants[v]);
            int64_t started = 0;
            std::vector<Swap> swaps = runDemo(options, dir, display, plan, started);
            measure(runs[v], swaps, started, skip, frames);
            fs::remove_all(dir);
        }
    stopProcess(xvfb);

    std::printf("frame time in ms at %dx%d, %d rounds; live: %d frames of the first seconds; "
                "track: every frame of the whole track, %d ms of demo clock a frame; the first %d "
                "frames of each run skipped; start-up: process start to first swap\n",
                screenWidth, screenHeight, options.rounds, options.frames, trackStepMs, options.skip);
    std::printf("%-34s %6s %8s %8s %8s %8s %8s %9s\n", "variant", "frames", "median", "p10", "p90",
                "min", "max", "start-up");
    for (size_t i = 0; i < runs.size(); ++i)
        printRow(variants[i].name, runs[i]);
    for (size_t first : {live, track}) {
        std::printf("\n%s: full look against the baseline, and against the floor (ratios of medians)\n",
                    first == live ? "first seconds" : "whole track");
        for (size_t i = first; i < first + 6; i += 2)
            std::printf("%-34s %8.2f %8.2f\n", variants[i].name.c_str(),
                        median(runs[i]) / median(runs[i + 1]), median(runs[i]) / median(runs[first + 6]));
    }
    std::printf("\nper pass at the centre, first seconds (difference of medians)\n");
    std::printf("%-34s %8.2f\n", "scene pass", median(runs[live + 2]) - median(runs[flatScenePass]));
    std::printf("%-34s %8.2f\n", "mosaic pass", median(runs[live + 2]) - median(runs[flatMosaicPass]));
    std::printf("%-34s %8.2f\n", "floor (swap, clear)", median(runs[live + 6]));
    std::printf("\ncamera build against the scene build, centre (ratio of medians)\n");
    std::printf("%-34s %8.2f\n", variants[camera].name.c_str(), median(runs[camera]) / median(runs[live + 2]));
    return 0;
}
