#include "harness.h"

#include <gtest/gtest.h>

namespace {

// On the frame hook's clock, stepped a millisecond a frame, the track lasts
// 20 000 frames: only the input ends a run, however slow the machine.
const double longTrack = 20.0;

// `probe` as FrameHook::probe.
struct InputRun {
    explicit InputRun(const std::string& probe = "") : dir(longTrack), hook(dir)
    {
        hook.probe = probe;
        hook.addTo(options);
        options.env.push_back("FRAMEHOOK_FRAME_MS=1");
    }
    WorkDir dir;
    FrameHook hook;
    RunOptions options;
};

// The pointer rests over the window, where the keyboard focus follows it on
// a display without a window manager.
void pointerIntoWindow()
{
    xdotool({"mousemove", "960", "540"});
}

// Shows uMatsch, the pointer's column over the window's width, in the red of
// pixel (0, 0).
const char* const pointerMosaic = R"(#version 330 core
uniform float uMatsch;
out vec4 color;
void main() { color = vec4(uMatsch, 0.0, 0.0, 1.0); }
)";

}  // namespace

TEST(Input, EscapeEndsTheDemo)
{
    InputRun input;
    pointerIntoWindow();
    input.options.input = [&](pid_t demo) {
        if (input.hook.waitForSwaps(demo, 1))
            xdotool({"key", "Escape"});
    };
    RunResult run = runDemo(input.dir, input.options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(input.hook.musicStopped(), -1) << "the track ended first";
    EXPECT_GE(input.hook.swaps(), 1);
}

// The pointer moved after the keys, by the same xdotool, marks the frame that
// has handled them: the events reach the window in the order sent. The demo
// runs on past it, and the Escape that follows ends it, which shows that keys
// reached the window at all.
TEST(Input, OtherKeysDoNotEndTheDemo)
{
    const long framesAfterTheKeys = 5;
    InputRun input("0,0,1,1");
    input.dir.write("mosaic.frag", pointerMosaic);
    pointerIntoWindow();
    long marked = -1;
    input.options.input = [&](pid_t demo) {
        if (!input.hook.waitForSwaps(demo, 1))
            return;
        xdotool({"key", "a", "space", "Return", "q", "BackSpace", "Tab", "F1", "mousemove", "0", "540"});
        auto pointerMoved = [&] {
            auto probes = input.hook.probes();
            for (size_t i = 0; i < probes.size() && marked < 0; ++i)
                if (probes[i].size() == 3 && probes[i][0] == 0)
                    marked = long(i) + 1;
            return marked > 0;
        };
        if (waitWhileRunning(demo, pointerMoved, "a frame saw the pointer moved after the keys") &&
            input.hook.waitForSwaps(demo, marked + framesAfterTheKeys))
            xdotool({"key", "Escape"});
    };
    RunResult run = runDemo(input.dir, input.options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(input.hook.musicStopped(), -1) << "the track ended first";
    auto probes = input.hook.probes();
    ASSERT_FALSE(probes.empty());
    ASSERT_EQ(probes[0].size(), 3u);
    EXPECT_NE(probes[0][0], 0) << "the frames before the keys must see the pointer elsewhere than the mark";
    EXPECT_GT(marked, 1);
    EXPECT_GE(input.hook.swaps(), marked + framesAfterTheKeys);
}

TEST(Input, CloseRequestEndsTheDemo)
{
    InputRun input;
    input.options.input = [&](pid_t demo) {
        if (input.hook.waitForSwaps(demo, 1))
            requestClose();
    };
    RunResult run = runDemo(input.dir, input.options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(input.hook.musicStopped(), -1) << "the track ended first";
    EXPECT_GE(input.hook.swaps(), 1);
}
