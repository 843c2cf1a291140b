// The demo on screens of other sizes and other servers: it fills the screen,
// its pointer and clock work as on a 1920x1080 one, and a server that goes
// away ends it with a report.
#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <unistd.h>

namespace {

// Every pixel alike: blue marks the demo's picture, red is uMatsch, and green
// counts the frames that set the clock, which steps a millisecond a frame.
const char* const pointerAndClockMosaic = R"(#version 330 core
uniform float uMatsch;
uniform float uTime;
out vec4 color;
void main() { color = vec4(uMatsch, mod(round(uTime * 1000.0), 256.0) / 255.0, 200.0 / 255.0, 1.0); }
)";
const int pictureBlue = 200;

// Seconds from a server's end to the demo's.
const double lostDisplayLimit = 1.0;

// In the pixels of the X display where the pointer moves and the screen is
// read.
struct Screen {
    int width;
    int height;
    std::string xDisplay;
};

class DisplayRun {
public:
    DisplayRun(const TestServer& server, Screen screen) : dir(20.0), hook(dir), screen(std::move(screen))
    {
        dir.write("mosaic.frag", pointerAndClockMosaic);
        hook.probe = "0,0,1,1";
        hook.grab = "2";
        hook.addTo(options);
        options.env.push_back("FRAMEHOOK_FRAME_MS=1");
        for (const auto& variable : server.clientEnv())
            options.env.push_back(variable);
    }

    // With the pointer a quarter of the way in, at the left edge and in the
    // rightmost column, uMatsch is the column over the width and the clock
    // runs but in that column; the picture covers the screen, but within
    // `pointerBox` pixels of the pointer where the server draws its sprite in.
    void checkPointerClockAndCover(pid_t demo, int pointerBox = 0)
    {
        if (!hook.waitForSwaps(demo, 2))
            return;
        // Not the middle of the screen, where the pointer starts.
        long inside = pointAt(demo, screen.width / 4, 0);
        if (inside < 0)
            return;
        expectClock(demo, inside, true);
        long left = pointAt(demo, 0, inside);
        if (left < 0)
            return;
        expectClock(demo, left, true);
        long margin = pointAt(demo, screen.width - 1, left);
        if (margin < 0)
            return;
        expectClock(demo, margin, false);
        expectCovered(pointerBox);
    }

    WorkDir dir;
    FrameHook hook;
    RunOptions options;
    Screen screen;

private:
    // Moves the pointer to column `x`, in the middle row, and waits for the
    // first frame after `after` that sees it there; its index, or -1.
    long pointAt(pid_t demo, int x, long after)
    {
        xdotool({"mousemove", std::to_string(x), std::to_string(screen.height / 2)}, screen.xDisplay);
        const double red = 255.0 * x / screen.width;
        long seen = -1;
        auto arrived = [&] {
            auto probes = hook.probes();
            for (size_t i = size_t(after) + 1; i < probes.size() && seen < 0; ++i)
                if (probes[i].size() == 3 && std::abs(probes[i][0] - red) <= 1.0)
                    seen = long(i);
            return seen >= 0;
        };
        waitWhileRunning(demo, arrived, "a frame saw the pointer at column " + std::to_string(x));
        return seen;
    }

    // The clock in the frames from `first` on: frame i shows i ms when it
    // runs, and what the frame before `first` showed when it stands.
    void expectClock(pid_t demo, long first, bool runs)
    {
        const long frames = 3;
        if (!hook.waitForSwaps(demo, first + frames + 1))
            return;
        auto probes = hook.probes();
        ASSERT_GE(long(probes.size()), first + frames);
        for (long i = first; i < first + frames; ++i) {
            long expected = runs ? i % 256 : probes[size_t(first) - 1][1];
            EXPECT_EQ(probes[size_t(i)][1], expected)
                << "frame " << i + 1 << ": the clock " << (runs ? "stood" : "ran") << " with the pointer at "
                << int(probes[size_t(i)][0]) << "/255 of the width";
        }
    }

    void expectCovered(int pointerBox)
    {
        Image shot = grabScreen(screen.xDisplay);
        ASSERT_GE(shot.width, screen.width);
        ASSERT_GE(shot.height, screen.height);
        const int pointerX = screen.width - 1;
        const int pointerY = screen.height / 2;
        long uncovered = 0;
        for (int y = 0; y < screen.height; ++y)
            for (int x = 0; x < screen.width; ++x)
                if (shot.at(x, y)[2] != pictureBlue &&
                    !(std::abs(x - pointerX) < pointerBox && std::abs(y - pointerY) < pointerBox))
                    ++uncovered;
        EXPECT_EQ(uncovered, 0) << "pixels of the " << screen.width << "x" << screen.height
                                << " screen outside the picture";
        Image frame = hook.frame("2");
        EXPECT_EQ(frame.width, screen.width);
        EXPECT_EQ(frame.height, screen.height);
    }
};

// How long the demo took to end after the server did; the demo must have
// been running when `lose` ended it.
double secondsToEndAfter(const std::function<void()>& lose, pid_t demo)
{
    auto lost = std::chrono::steady_clock::now();
    lose();
    waitFor([&] { return !running(demo); }, waitSeconds);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - lost).count();
}

}  // namespace

// A laptop panel without a 1920x1080 mode and no window manager, as in a
// kiosk or on a party's compo machine.
TEST(Display, FillsAnXorgScreenWithoutA1920x1080Mode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root may hand Xorg a configuration of its own";
    TestServer xorg = TestServer::xorgDummy(1366, 768);
    ASSERT_TRUE(xorg.started()) << "Xorg with the dummy driver did not start";
    DisplayRun run(xorg, {1366, 768, xorg.display});
    run.options.input = [&](pid_t demo) {
        run.checkPointerClockAndCover(demo);
        xdotool({"key", "Escape"}, xorg.display);
    };
    RunResult result = runDemo(run.dir, run.options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
}

// A portrait output of a Wayland compositor, nested in the test display,
// at two pixels to the window's unit: the pointer's columns are half as many
// as the picture's; then the compositor dies.
TEST(Display, FillsAScaledPortraitWaylandOutputAndEndsWhenTheCompositorDies)
{
    TestServer weston = TestServer::weston(600, 800, 2);
    ASSERT_TRUE(weston.started()) << "Weston did not start";
    DisplayRun run(weston, {600, 800, ""});
    double seconds = -1;
    run.options.input = [&](pid_t demo) {
        run.checkPointerClockAndCover(demo, 48);
        seconds = secondsToEndAfter([&] { weston.killNow(); }, demo);
    };
    RunResult result = runDemo(run.dir, run.options);
    expectFatal(result, "display-connection.cpp", "lost the connection to the Wayland compositor");
    EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
    EXPECT_LT(seconds, lostDisplayLimit);
}

TEST(Display, FillsA800x600ScreenAndEndsWhenTheXServerDies)
{
    TestServer xvfb = TestServer::xvfb("800x600x24");
    ASSERT_TRUE(xvfb.started()) << "Xvfb did not start";
    DisplayRun run(xvfb, {800, 600, xvfb.display});
    double seconds = -1;
    run.options.input = [&](pid_t demo) {
        run.checkPointerClockAndCover(demo);
        seconds = secondsToEndAfter([&] { xvfb.killNow(); }, demo);
    };
    RunResult result = runDemo(run.dir, run.options);
    expectFatal(result, "display-connection.cpp", "lost the connection to X display " + xvfb.display);
    EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
    EXPECT_LT(seconds, lostDisplayLimit);
}
