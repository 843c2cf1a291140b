#include "harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const char* const preview = MOSAIC_PREVIEW;

// A mosaic stage that paints the whole window in one colour.
std::string solidMosaic(const char* rgb)
{
    return std::string("#version 330 core\nout vec4 color;\nvoid main() { color = vec4(") + rgb +
           ", 1.0); }\n";
}

const char* const brokenShader = "#version 330 core\nvoid main() { this is not GLSL; }\n";

const std::vector<uint8_t> black = {0, 0, 0};
const std::vector<uint8_t> red = {255, 0, 0};
const std::vector<uint8_t> green = {0, 255, 0};
const std::vector<uint8_t> blue = {0, 0, 255};
const std::vector<uint8_t> white = {255, 255, 255};

// A preview on the frame hook's clock, `frameMs` a frame, probing one pixel,
// by default the window's middle; the track lasts `trackSeconds` of that clock.
struct PreviewRun {
    PreviewRun(double trackSeconds, int frameMs, const std::string& probe = "640,360,1,1")
        : dir(trackSeconds), hook(dir)
    {
        hook.probe = probe;
        hook.addTo(options);
        options.env.push_back("FRAMEHOOK_FRAME_MS=" + std::to_string(frameMs));
    }
    RunResult run() { return runProgram(dir, {preview}, options); }
    std::string out() const { return readFile(dir.path(".stdout")); }

    // Waits until the probed pixel shows `colour`; the frame that first did,
    // counted from 1, or -1.
    long waitForColour(pid_t pid, const std::vector<uint8_t>& colour, size_t fromFrame = 0)
    {
        long found = -1;
        auto shown = [&] {
            auto probes = hook.probes();
            for (size_t i = fromFrame; i < probes.size() && found < 0; ++i)
                if (probes[i] == colour)
                    found = long(i) + 1;
            return found > 0;
        };
        waitWhileRunning(pid, shown, "the picture changed colour");
        return found;
    }

    // Saves `contents` over `name` in place and waits until the title leads
    // with `error`; the picture must keep `colour` from frame `since` through
    // five frames past that. The title seen ("" if the error never came), and
    // in `frames` the number of frames swapped then.
    std::string expectBrokenSaveKeeps(pid_t pid, const std::string& name, const std::string& contents,
                                      const std::string& error, const std::vector<uint8_t>& colour,
                                      long since, size_t& frames)
    {
        dir.write(name, contents);
        std::string title;
        if (!waitWhileRunning(pid, [&] { return (title = windowTitle(pid)).rfind(error, 0) == 0; },
                              "the title showed the error") ||
            !hook.waitForSwaps(pid, hook.swapsSoFar() + 5))
            return "";
        auto probes = hook.probes();
        for (size_t i = size_t(since); i < probes.size(); ++i)
            EXPECT_EQ(probes[i], colour) << "frame " << i + 1 << " after the broken save of " << name;
        frames = probes.size();
        return title;
    }

    WorkDir dir;
    FrameHook hook;
    RunOptions options;
};

// Saving as editors do that write a new file and rename it over the old.
void saveByRename(const WorkDir& dir, const std::string& name, const std::string& contents)
{
    dir.write(name + ".saving", contents);
    fs::rename(dir.path(name + ".saving"), dir.path(name));
}

// The error that leads a title such as "sdf.frag: 0:2(15): error: ... | mosaic-preview | ...".
std::string titleError(const std::string& title)
{
    return title.substr(0, title.find(" | "));
}

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// One line of standard output per seek, pause and resume:
// "<what> <clock> s (<part, bar, beat>)".
struct ClockLine {
    std::string what;
    double clock = 0;
};

std::vector<ClockLine> clockLines(const std::string& out)
{
    std::vector<ClockLine> result;
    for (const auto& line : lines(out)) {
        ClockLine parsed;
        char what[32] = {};
        char verb[32] = {};
        if (std::sscanf(line.c_str(), "%31s %31s %lf s", what, verb, &parsed.clock) == 3) {
            parsed.what = std::string(what) + " " + verb;
            result.push_back(parsed);
        }
    }
    return result;
}

}  // namespace

// The mosaic stage saved in place, then by rename, changes the picture; a
// broken save keeps the picture, shows its error in the title and prints the
// compiler's log once; the next good save draws again.
TEST(Preview, SavedShadersRedrawAndBrokenOnesKeepThePicture)
{
    PreviewRun preview(20.0, 1);
    preview.dir.write("mosaic.frag", solidMosaic("1.0, 0.0, 0.0"));
    std::string title;
    preview.options.input = [&](pid_t pid) {
        long frame = preview.waitForColour(pid, red);
        if (frame < 0)
            return;
        int64_t saved = monotonicNanoseconds();
        preview.dir.write("mosaic.frag", solidMosaic("0.0, 1.0, 0.0"));
        frame = preview.waitForColour(pid, green, size_t(frame));
        // A frame's probe comes before its swap, its time after.
        if (frame < 0 || !preview.hook.waitForSwaps(pid, frame))
            return;
        std::printf("from the save to the new picture: %.0f ms\n",
                    (preview.hook.swapNanoseconds(frame) - saved) / 1e6);

        saveByRename(preview.dir, "mosaic.frag", solidMosaic("0.0, 0.0, 1.0"));
        frame = preview.waitForColour(pid, blue, size_t(frame));
        if (frame < 0)
            return;

        size_t frames = 0;
        title = preview.expectBrokenSaveKeeps(pid, "mosaic.frag", brokenShader, "mosaic.frag: ", blue, frame,
                                              frames);
        if (title.empty())
            return;

        saveByRename(preview.dir, "mosaic.frag", solidMosaic("1.0, 1.0, 1.0"));
        if (preview.waitForColour(pid, white, frames) > 0) {
            EXPECT_EQ(windowTitle(pid).rfind("mosaic-preview | ", 0), 0u) << "the error stayed";
        }
        xdotool({"key", "Escape"});
    };
    RunResult run = preview.run();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(title.find("error"), std::string::npos) << title;
    EXPECT_EQ(occurrences(run.err, titleError(title)), 1u) << run.err;
}

// The banner saved anew shows at once; a save that does not decode keeps the
// last one and says so in the title.
TEST(Preview, SavedBannerReloadsAndABrokenOneKeepsTheLast)
{
    PreviewRun preview(20.0, 1);
    preview.dir.write("mosaic.frag", R"(#version 330 core
uniform sampler2D uScroller;
out vec4 color;
void main() { color = vec4(texture(uScroller, vec2(0.25, 0.25)).rgb, 1.0); }
)");
    std::string title;
    preview.options.input = [&](pid_t pid) {
        long frame = preview.waitForColour(pid, red);
        if (frame < 0)
            return;
        writePNG(preview.dir.path("scroller.png.saving"), 1, 1, 4, {0, 255, 0, 255});
        fs::rename(preview.dir.path("scroller.png.saving"), preview.dir.path("scroller.png"));
        frame = preview.waitForColour(pid, green, size_t(frame));
        if (frame < 0)
            return;
        size_t frames = 0;
        title = preview.expectBrokenSaveKeeps(pid, "scroller.png", "not an image", "could not load", green,
                                              frame, frames);
        xdotool({"key", "Escape"});
    };
    RunResult run = preview.run();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(titleError(title), "could not load scroller.png");
    EXPECT_EQ(run.err, "could not load scroller.png\n");
}

// F lays the window over the whole screen, the picture with it, and brings
// it back.
TEST(Preview, FullscreenCoversTheScreenAndComesBack)
{
    PreviewRun preview(20.0, 1, "1900,1060,1,1");
    preview.dir.write("mosaic.frag", solidMosaic("1.0, 0.0, 0.0"));
    std::string windowed;
    std::string restored;
    preview.options.input = [&](pid_t pid) {
        if (!preview.hook.waitForSwaps(pid, 1))
            return;
        windowed = windowGeometry(pid);
        xdotool({"key", "f"});
        if (preview.waitForColour(pid, red) < 0)
            return;
        EXPECT_EQ(windowGeometry(pid), "1920x1080");
        xdotool({"key", "f"});
        waitWhileRunning(pid, [&] { return (restored = windowGeometry(pid)) == windowed; },
                         "the window came back to its size");
        xdotool({"key", "Escape"});
    };
    RunResult run = preview.run();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(windowed, "1280x720");
}

// A stage broken at start-up leaves the picture black with the error in the
// title until it is saved fixed.
TEST(Preview, BrokenAtStartIsBlackUntilFixed)
{
    PreviewRun preview(20.0, 1);
    preview.dir.write("mosaic.frag", solidMosaic("1.0, 0.0, 0.0"));
    preview.dir.write("sdf.frag", brokenShader);
    std::string title;
    preview.options.input = [&](pid_t pid) {
        if (preview.waitForColour(pid, black) < 0)
            return;
        title = windowTitle(pid);
        saveByRename(preview.dir, "sdf.frag", readFile(std::string(dataDir) + "/sdf.frag"));
        preview.waitForColour(pid, red);
        xdotool({"key", "Escape"});
    };
    RunResult run = preview.run();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(title.rfind("sdf.frag: ", 0), 0u) << title;
    EXPECT_EQ(occurrences(run.err, titleError(title)), 1u) << run.err;
}

// The clock in a title such as "mosaic-preview | part 1/8, bar 1, beat 2 | 0.300 s | paused".
std::string titleTime(const std::string& title)
{
    size_t end = title.find(" s", title.rfind(" | ", title.find(" s |")) + 3);
    size_t start = title.rfind(" | ", end);
    return start == std::string::npos || end == std::string::npos ? "" : title.substr(start + 3, end - start - 3);
}

// On a clock of 100 ms a frame: the clock and the music stand while paused;
// Right steps one bar and Page Down lands on the next part's first bar;
// looping the first part brings the clock back to its start; Page Down past
// the track's end holds the last frame, paused, and Space then plays from the
// start.
TEST(Preview, KeysSeekPauseAndLoopWithTheMusic)
{
    const double bar = 240.0 / 136.0;  // the shader's tempo
    PreviewRun preview(20.0, 100);
    std::vector<ClockLine> seen;
    auto waitForLines = [&](pid_t pid, size_t count) {
        return waitWhileRunning(pid, [&] { return (seen = clockLines(preview.out())).size() >= count; },
                                std::to_string(count) + " clock lines were printed");
    };
    std::string pausedTitle;
    std::string laterTitle;
    std::string heldTitle;
    preview.options.input = [&](pid_t pid) {
        if (!preview.hook.waitForSwaps(pid, 3))
            return;
        xdotool({"key", "space"});
        if (!waitForLines(pid, 1))
            return;
        long paused = preview.hook.swapsSoFar();
        pausedTitle = windowTitle(pid);
        if (!preview.hook.waitForSwaps(pid, paused + 10))
            return;
        laterTitle = windowTitle(pid);
        xdotool({"key", "space", "space", "Right", "Next", "space", "Home", "l"});
        if (!waitForLines(pid, 8))
            return;
        EXPECT_NE(windowTitle(pid).find(" | looping"), std::string::npos);
        xdotool({"key", "l", "Next", "Next", "Next"});
        if (!waitForLines(pid, 11))
            return;
        heldTitle = windowTitle(pid);
        xdotool({"key", "space"});
        if (waitForLines(pid, 13))
            xdotool({"key", "Escape"});
    };
    RunResult run = preview.run();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(pausedTitle.find(" | paused"), std::string::npos) << pausedTitle;
    EXPECT_NE(heldTitle.find(" | paused"), std::string::npos) << heldTitle;
    EXPECT_EQ(titleTime(laterTitle), titleTime(pausedTitle)) << "the clock ran while paused";
    seen = clockLines(preview.out());
    std::vector<std::string> what;
    for (const auto& line : seen)
        what.push_back(line.what);
    ASSERT_EQ(what, (std::vector<std::string>{"pause at", "play from", "pause at", "seek to", "seek to",
                                              "play from", "seek to", "loop to", "seek to", "seek to",
                                              "pause at", "seek to", "play from"}))
        << preview.out();
    EXPECT_EQ(seen[1].clock, seen[0].clock);
    EXPECT_NEAR(seen[3].clock - seen[2].clock, bar, 0.002) << "Right steps one bar";
    EXPECT_NEAR(seen[4].clock, 4 * bar, 0.002) << "the second part starts at bar 4";
    EXPECT_EQ(seen[5].clock, seen[4].clock);
    EXPECT_EQ(seen[6].clock, 0.0);
    EXPECT_EQ(seen[7].clock, 0.0);
    EXPECT_NEAR(seen[8].clock, 4 * bar, 0.002);
    EXPECT_NEAR(seen[9].clock, 8 * bar, 0.002);
    EXPECT_NEAR(seen[10].clock, 20.0, 0.05) << "held at the track's end";
    EXPECT_EQ(seen[11].clock, 0.0);
    EXPECT_EQ(seen[12].clock, 0.0);
}

// At the track's end the scene holds its last frame, paused, until Escape.
TEST(Preview, TheTracksEndHoldsTheLastFrame)
{
    PreviewRun preview(1.0, 10);
    std::string title;
    preview.options.input = [&](pid_t pid) {
        if (!waitWhileRunning(pid, [&] { return !clockLines(preview.out()).empty(); }, "the track's end paused it") ||
            !preview.hook.waitForSwaps(pid, preview.hook.swapsSoFar() + 10))
            return;
        title = windowTitle(pid);
        xdotool({"key", "Escape"});
    };
    RunResult run = preview.run();
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<ClockLine> seen = clockLines(run.out);
    ASSERT_EQ(seen.size(), 1u) << run.out;
    EXPECT_EQ(seen[0].what, "pause at");
    EXPECT_NEAR(seen[0].clock, 1.0, 0.05);
    EXPECT_NE(title.find(" | paused"), std::string::npos) << title;
    EXPECT_NEAR(std::atof(titleTime(title).c_str()), seen[0].clock, 0.001) << "the frame held: " << title;
}

TEST(Preview, BadArgumentsAreRefused)
{
    WorkDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    for (const Case& bad : {Case{{"--nope"}, "unknown argument --nope (see --help)"},
                            Case{{"--data"}, "--data needs a folder (see --help)"},
                            Case{{"--camera", "/etc/passwd"}, "/etc/passwd is no device (see --list-cameras)"},
                            Case{{"--data", dir.path("missing")},
                                 "cannot use " + dir.path("missing") + " as the data folder: No such file or directory"}}) {
        std::vector<std::string> argv = {preview};
        argv.insert(argv.end(), bad.args.begin(), bad.args.end());
        RunResult run = runProgram(dir, argv);
        EXPECT_EQ(run.status, 1) << bad.args.front();
        EXPECT_EQ(run.err, "mosaic-preview: " + bad.message + "\n");
    }
    RunResult help = runProgram(dir, {preview, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: mosaic-preview", 0), 0u) << help.out;
}

// As the menu's camera action starts it, without any camera: fullscreen, it
// says so once and plays the scene; C then turns to the scene for good.
TEST(Preview, CameraWithNoneShowsTheSceneAndSaysSo)
{
    for (const auto& entry : fs::directory_iterator("/dev"))
        if (entry.path().filename().string().rfind("video", 0) == 0)
            GTEST_SKIP() << "this machine has " << entry.path() << "; the test needs one without cameras";
    PreviewRun camera(20.0, 1, "1900,1060,1,1");
    camera.dir.write("mosaic.frag", solidMosaic("1.0, 0.0, 0.0"));
    std::string geometry;
    camera.options.input = [&](pid_t pid) {
        if (camera.waitForColour(pid, red) < 0)
            return;
        geometry = windowGeometry(pid);
        xdotool({"key", "c", "Escape"});
    };
    RunResult run = runProgram(camera.dir, {preview, "--camera", "--fullscreen"}, camera.options);
    EXPECT_EQ(geometry, "1920x1080");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "mosaic-preview: no camera that delivers YUYV among /dev/video*; one plugged in is taken "
                       "(mosaic-preview --list-cameras shows them all)\n");
    const std::vector<std::string> said = lines(run.out);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back(), "scene") << run.out;
}
