// Runs the real demo binary on an Xvfb display, in a fresh working directory,
// and collects what it leaves behind. The display's screen is 1920x1080x24,
// or what MOSAIC_TEST_SCREEN says.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// The working directory of one run: the five files the demo reads, laid out
// by default as the real shaders, a small generated scroller image and a
// generated track; a test replaces or removes any of them.
class WorkDir {
public:
    explicit WorkDir(double trackSeconds = 1.0);
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    std::string path(const std::string& name = "") const;
    void write(const std::string& name, const std::string& contents) const;
    void remove(const std::string& name) const;
    void makeDirectory(const std::string& name) const;
    void makeFifo(const std::string& name) const;
    void symlink(const std::string& name, const std::string& target) const;
    void writeTrack(double seconds) const;

private:
    std::string root;
};

// How long a wait may last before the test fails. It only stops a test whose
// program hangs or never does what is waited for; a loaded machine takes a
// fraction of it.
const double waitSeconds = 60;

struct RunOptions {
    std::vector<std::string> env;        // "NAME=value" additions
    std::vector<std::string> preload;    // libraries for LD_PRELOAD
    std::function<void(pid_t)> input;    // runs while the program runs, given its process id
    std::vector<int> closedStreams;      // standard descriptors the demo starts without
    double timeoutSeconds = waitSeconds;
};

// A preview run ends as a person ends it, with Escape, once it has built its
// shaders: it plays on past its track.
void quitOnceBuilt(const WorkDir& dir, RunOptions& options);

// The program's context lists `extension` under another name, so that a
// loader does not take the extension's entry points from it.
void hideGLExtension(RunOptions& options, const std::string& extension);

struct RunResult {
    int status = -1;                     // exit status, or -1 if not exited normally
    std::string out;
    std::string err;
    double seconds = 0;
};

RunResult runDemo(const WorkDir& dir, const RunOptions& options = {});

// Runs `argv` (a program path and its arguments) as runDemo runs the demo:
// in the working directory, with the same environment and collection.
RunResult runProgram(const WorkDir& dir, const std::vector<std::string>& argv,
                     const RunOptions& options = {});

// Runs a helper program with the test display, or what the "NAME=value"
// variables `env` say, and waits for it; returns its exit status.
int runTool(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// Starts a helper program with the test display and the given "NAME=value"
// variables, its standard output to the file `out`, its errors discarded;
// returns its process id, or -1.
pid_t startTool(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& out = "/dev/null");

// xdotool with the given arguments on the test display, or on `display`;
// fails the test if it does not succeed.
void xdotool(const std::vector<std::string>& args, const std::string& display = "");

// The title and the size ("1280x720") of the window that the program `pid`
// shows; "" while it shows none.
std::string windowTitle(pid_t pid);
std::string windowGeometry(pid_t pid);

// Asks the demo's window to close, as a window manager does, on the test
// display or on `display`.
void requestClose(const std::string& display = "");

// Polls `done` until it holds; false if `seconds` pass first.
bool waitFor(const std::function<bool()>& done, double seconds);

// Whether the program `pid` runs yet; one that ended is left to be waited for.
bool running(pid_t pid);

// Polls `done` until it holds, while the program `pid` runs; if it ends or
// `seconds` pass first, fails the test, saying that it waited until `what`,
// and returns false.
bool waitWhileRunning(pid_t pid, const std::function<bool()>& done, const std::string& what,
                      double seconds = waitSeconds);

std::vector<std::string> lines(const std::string& text);
std::string readFile(const std::string& path);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;            // top row first
    const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
    // Pixel in GL window coordinates: row 0 at the bottom.
    const uint8_t* gl(int x, int y) const { return at(x, height - 1 - y); }
};

// Writes `pixels` (rows top first, `channels` bytes a pixel) as a PNG file.
void writePNG(const std::string& path, int width, int height, int channels,
              const std::vector<uint8_t>& pixels);

// The picture of a PNG file as RGB; empty, the test failed, if there is none.
Image readPNG(const std::string& path);

// Pixels further apart than shading's rounding: a tile of another palette
// entry, or a picture that moved.
size_t pixelsApart(const Image& a, const Image& b);

// Writes a PNG of the given size, bit depth and colour type whose samples are
// all zero, compressed as far as zlib goes.
void writeBlankPNG(const std::string& path, int width, int height, int bitDepth, int colourType);

// The preloaded frame hook's output for one run, directory and variables.
struct FrameHook {
    explicit FrameHook(const WorkDir& dir, const std::string& grab = "");
    void addTo(RunOptions& options) const;
    Image frame(const std::string& which) const;
    // After the run: the frames swapped, and those swapped before a frame
    // found the music over (-1 if none did).
    long swaps() const;
    long musicStopped() const;
    // While the demo runs: the frames swapped so far, and a wait until the
    // demo has swapped `count` of them (false, the test failed, if it ended
    // first).
    long swapsSoFar() const;
    bool waitForSwaps(pid_t demo, long count, double seconds = waitSeconds) const;
    // One probe row per swapped frame, as set by FRAMEHOOK_PROBE; while the
    // demo runs, those of the frames so far.
    std::vector<std::vector<uint8_t>> probes() const;
    // When frame `frame` was swapped, on monotonicNanoseconds' clock.
    int64_t swapNanoseconds(long frame) const;
    // After the run: the track time that frame `frame` showed, its uTime less
    // its uAudioLatency (-1 if the hook saw neither given).
    double shownSeconds(long frame) const;
    // Each frame's read of the clock so far: when, on monotonicNanoseconds'
    // clock, when its swap returned (on Xvfb it is seen then), and the track
    // time it showed.
    struct ClockRead {
        int64_t nanoseconds;  // when the frame read its clock
        int64_t seenNanoseconds;
        double shown;
    };
    std::vector<ClockRead> clockReads() const;
    std::string dir;
    std::string grab;
    std::string probe;
};

// CLOCK_MONOTONIC's time, which the frame hook gives its swaps.
int64_t monotonicNanoseconds();

// The screen of the X display `display` (the test display when empty) as a
// person sees it; an empty image if it cannot be read.
Image grabScreen(const std::string& display = "");

// A display server of a test's own, taken down when it goes out of scope or
// the test program ends, whichever comes first.
class TestServer {
public:
    // Xvfb with one screen of `screen` ("WxHxD").
    static TestServer xvfb(const std::string& screen);
    // Xorg with the dummy video driver, its screen WxH with no larger mode.
    static TestServer xorgDummy(int width, int height);
    // Weston with one output of WxH pixels at `scale` pixels to the
    // clients' unit, shown as a window at the top left corner of the test
    // display.
    static TestServer weston(int width, int height, int scale);
    // PulseAudio with a null sink "heard" as its only sink.
    static TestServer pulseAudio();
    // PipeWire with its session manager and no sink.
    static TestServer pipeWire();

    TestServer() = default;
    TestServer(TestServer&& other) noexcept;
    TestServer& operator=(TestServer&&) = delete;
    ~TestServer();

    bool started() const { return pid > 0; }
    // Ends the server at once, as a crash or a power-off does.
    void killNow();
    // Ends a sound server as its restart does, and starts it again where its
    // clients look for it; false if it did not come back.
    void stop();
    bool startAgain();
    // The "NAME=value" variables that put a client on this server.
    std::vector<std::string> clientEnv() const;
    std::string display;                 // ":N", or Weston's socket name

private:
    using SoundStart = pid_t (*)(const std::string&, const std::function<void(pid_t)>&);
    // A sound server, started by `start` in a runtime folder of its own.
    static TestServer soundServer(SoundStart start);
    void end(int signal);

    pid_t pid = -1;
    SoundStart soundStart = nullptr;
    std::string folder;                  // configuration, logs, Weston's or a sound server's runtime folder
    bool wayland = false;
    bool sound = false;
};

extern const char* const demoBinary;
extern const char* const dataDir;
extern const char* const frameHookLibrary;
extern const char* const hideGLExtensionLibrary;
