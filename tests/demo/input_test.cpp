#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

const double longTrack = 20.0;

void pause(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// The pointer rests over the window, where the keyboard focus follows it on
// a display without a window manager.
void pointerIntoWindow()
{
    xdotool({"mousemove", "960", "540"});
}

}  // namespace

TEST(Input, EscapeEndsTheDemo)
{
    WorkDir dir(longTrack);
    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    pointerIntoWindow();
    options.input = [] {
        waitForWindow();
        pause(0.3);
        xdotool({"key", "Escape"});
    };
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.seconds, longTrack / 2);
    EXPECT_EQ(hook.musicStopped(), -1) << "the track ended first";
    EXPECT_GE(hook.swaps(), 1);
}

TEST(Input, OtherKeysDoNotEndTheDemo)
{
    const double track = 2.0;
    WorkDir dir(track);
    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    pointerIntoWindow();
    options.input = [] {
        waitForWindow();
        pause(0.3);
        xdotool({"key", "a", "space", "Return", "q", "BackSpace", "Tab", "F1"});
    };
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_GE(run.seconds, track);
    EXPECT_GE(hook.musicStopped(), 1) << "the demo ended before the track did";
}

TEST(Input, CloseRequestEndsTheDemo)
{
    WorkDir dir(longTrack);
    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    options.input = [] {
        waitForWindow();
        pause(0.3);
        EXPECT_EQ(runTool({closeWindowTool, "My First Shader", "10"}), 0);
    };
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.seconds, longTrack / 2);
    EXPECT_EQ(hook.musicStopped(), -1) << "the track ended first";
    EXPECT_GE(hook.swaps(), 1);
}
