// Frame-time benchmark of the real demo binary with the real assets, on a
// private Xvfb display at 1920x1080. The frame hook logs every swap; the
// time between two swaps is one frame, both passes and the swap included.
// Swapping in a flat sdf.frag and/or a flat mosaic.frag gives each pass's
// share by difference, and both flat gives the floor that no shader can beat.
#include <X11/Xlib.h>
#include <stb_image_write.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

static const int screenWidth = 1920;
static const int screenHeight = 1080;
static const double runTimeLimit = 180.0;  // seconds for one run, start-up included

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
    int frames = 300;
    int skip = 10;
    int rounds = 2;
    int mouseX = screenWidth / 2;
    std::string screenshot;
    int screenshotFrame = 150;
};

struct Variant {
    const char* name;
    bool flatScene;
    bool flatMosaic;
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
                 "[--skip N] [--rounds N] [--mouse-x X] [--screenshot FILE.png] [--screenshot-frame N]");
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
        else if (option == "--screenshot")
            options.screenshot = value;
        else if (option == "--screenshot-frame")
            options.screenshotFrame = std::max(1, parseCount(value, "--screenshot-frame"));
        else
            fail("unknown option " + option);
    }
    return options;
}

// Xvfb picks a free display itself and names it on the descriptor once it
// accepts clients, so there is neither a guess nor a race.
static pid_t startXvfb(std::string& display)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        fail("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeEnds[0]);
        std::string fd = std::to_string(pipeEnds[1]);
        std::string screen = std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + "x24";
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDERR_FILENO);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    char number[32] = {};
    ssize_t got = read(pipeEnds[0], number, sizeof number - 1);
    close(pipeEnds[0]);
    if (pid < 0 || got <= 0)
        fail("could not start Xvfb (Debian package xvfb)");
    display = ":" + std::string(number, std::strcspn(number, "\n"));
    return pid;
}

static void stopProcess(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

static void placePointer(const std::string& display, int x)
{
    Display* dpy = XOpenDisplay(display.c_str());
    for (int tries = 0; !dpy && tries < 50; ++tries) {
        usleep(100000);
        dpy = XOpenDisplay(display.c_str());
    }
    if (!dpy)
        fail("cannot open display " + display);
    XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, x, screenHeight / 2);
    XSync(dpy, False);
    XCloseDisplay(dpy);
}

static void writeText(const fs::path& path, const char* text)
{
    std::ofstream out(path);
    out << text;
    if (!out)
        fail("cannot write " + path.string());
}

static fs::path prepareWorkDir(const Options& options, const Variant& variant)
{
    fs::path dir = fs::temp_directory_path() / ("frame-bench-" + std::to_string(getpid()) + "-" +
                                                variant.name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char* file : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png", "chiptune2.ogg"}) {
        std::error_code error;
        fs::copy_file(fs::path(options.data) / file, dir / file, error);
        if (error)
            fail("missing " + (fs::path(options.data) / file).string());
    }
    if (variant.flatScene)
        writeText(dir / "sdf.frag", flatScene);
    if (variant.flatMosaic)
        writeText(dir / "mosaic.frag", flatMosaic);
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

static pid_t startDemo(const Options& options, const fs::path& dir, const std::string& display,
                       bool grab)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (chdir(dir.c_str()) != 0)
        _exit(127);
    setenv("DISPLAY", display.c_str(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("LD_PRELOAD", options.hook.c_str(), 1);
    setenv("FRAMEHOOK_TIMES", (dir / "times").c_str(), 1);
    setenv("FRAMEHOOK_DIR", dir.c_str(), 1);
    if (grab)
        setenv("FRAMEHOOK_GRAB", std::to_string(options.screenshotFrame).c_str(), 1);
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDOUT_FILENO);
    execl(options.demo.c_str(), options.demo.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

// Runs the demo until enough frames are logged, then ends it the way a
// window manager would; SDL turns SIGTERM into a quit request.
static std::vector<Swap> runDemo(const Options& options, const fs::path& dir,
                                 const std::string& display, bool grab, int64_t& started)
{
    size_t wanted = static_cast<size_t>(options.skip + options.frames + 1);
    if (grab)
        wanted = std::max(wanted, static_cast<size_t>(options.screenshotFrame + 1));
    started = nanoseconds();
    pid_t demo = startDemo(options, dir, display, grab);
    if (demo < 0)
        fail("fork failed");
    int status = 0;
    while (readSwaps(dir / "times").size() < wanted) {
        if (waitpid(demo, &status, WNOHANG) == demo) {
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

static void measure(Run& run, const std::vector<Swap>& swaps, int64_t started, const Options& options)
{
    if (swaps.empty())
        fail("the demo swapped no frame");
    run.startupMs.push_back((swaps.front().after - started) * 1e-6);
    size_t first = static_cast<size_t>(options.skip) + 1;
    size_t end = std::min(swaps.size(), first + static_cast<size_t>(options.frames));
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

static void savePng(const fs::path& ppm, const std::string& png)
{
    std::ifstream in(ppm, std::ios::binary);
    std::string magic;
    int width = 0, height = 0, maxValue = 0;
    in >> magic >> width >> height >> maxValue;
    in.get();
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 3);
    in.read(reinterpret_cast<char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
    if (magic != "P6" || maxValue != 255 || width <= 0 || height <= 0 || !in)
        fail("no readable frame grab in " + ppm.string());
    if (!stbi_write_png(png.c_str(), width, height, 3, pixels.data(), width * 3))
        fail("cannot write " + png);
}

static void printRow(const char* name, const Run& run)
{
    const std::vector<double>& t = run.frameMs;
    std::printf("%-22s %6zu %8.2f %8.2f %8.2f %8.2f %8.2f %9.1f\n", name, t.size(), median(run),
                percentile(t, 0.1), percentile(t, 0.9), t.empty() ? 0.0 : t.front(),
                t.empty() ? 0.0 : t.back(), percentile(run.startupMs, 0.5));
}

int main(int argc, char** argv)
{
    Options options = parseOptions(argc, argv);
    const Variant variants[] = {
        {"full look", false, false},
        {"flat scene", true, false},
        {"flat mosaic", false, true},
        {"both flat (floor)", true, true},
    };
    std::string display;
    pid_t xvfb = startXvfb(display);
    placePointer(display, options.mouseX);

    // Rounds interleave the variants, so that a busy spell on the machine
    // falls on all of them alike.
    const size_t variantCount = std::size(variants);
    std::vector<Run> runs(variantCount);
    for (int round = 0; round < options.rounds; ++round)
        for (size_t v = 0; v < variantCount; ++v) {
            bool grab = !options.screenshot.empty() && v == 0 && round == 0;
            fs::path dir = prepareWorkDir(options, variants[v]);
            int64_t started = 0;
            std::vector<Swap> swaps = runDemo(options, dir, display, grab, started);
            measure(runs[v], swaps, started, options);
            if (grab)
                savePng(dir / ("frame-" + std::to_string(options.screenshotFrame) + ".ppm"),
                        options.screenshot);
            fs::remove_all(dir);
        }
    stopProcess(xvfb);

    std::printf("frame time in ms at %dx%d, pointer x %d, %d rounds of %d frames "
                "(first %d of each skipped); start-up: process start to first swap\n",
                screenWidth, screenHeight, options.mouseX, options.rounds, options.frames,
                options.skip);
    std::printf("%-22s %6s %8s %8s %8s %8s %8s %9s\n", "variant", "frames", "median", "p10", "p90",
                "min", "max", "start-up");
    for (size_t i = 0; i < runs.size(); ++i)
        printRow(variants[i].name, runs[i]);
    std::printf("\nper pass (difference of medians)\n");
    std::printf("%-22s %8.2f\n", "scene pass", median(runs[0]) - median(runs[1]));
    std::printf("%-22s %8.2f\n", "mosaic pass", median(runs[0]) - median(runs[2]));
    std::printf("%-22s %8.2f\n", "floor (swap, clear)", median(runs[3]));
    return 0;
}
