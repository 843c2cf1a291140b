#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <algorithm>

// Paints every pixel one colour, so any frame that was drawn shows it.
static const char* const flatMosaic = R"(#version 330 core
out vec4 color;
void main() { color = vec4(10.0, 200.0, 30.0, 255.0) / 255.0; }
)";

TEST(Startup, PrintsTheGLInformationAndEndsWithTheTrack)
{
    WorkDir dir(1.0);
    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0);
    auto out = lines(run.out);
    EXPECT_EQ(out.size(), 3u) << run.out;
    expectInfoLines(out);
    EXPECT_EQ(run.err, "");
    EXPECT_GE(run.seconds, 1.0);
    EXPECT_GE(hook.musicStopped(), 1) << "the demo ended before the music did";
}

TEST(Startup, SwapsTheFrameThatFindsTheMusicStopped)
{
    WorkDir dir(1.0);
    dir.write("mosaic.frag", flatMosaic);
    FrameHook hook(dir, "last");
    RunOptions options;
    hook.addTo(options);
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0);
    long stopped = hook.musicStopped();
    ASSERT_GE(stopped, 1);
    EXPECT_EQ(hook.swaps(), stopped + 1) << "the frame that saw the music end must be swapped, and no later one";
    Image last = hook.frame("last");
    ASSERT_EQ(last.width, 1920);
    ASSERT_EQ(last.height, 1080);
    for (auto [x, y] : {std::pair{0, 0}, {1919, 1079}, {960, 540}}) {
        const uint8_t* p = last.at(x, y);
        EXPECT_EQ((std::vector<int>{p[0], p[1], p[2]}), (std::vector<int>{10, 200, 30})) << x << "," << y;
    }
}

TEST(Startup, WarnsWithoutDebugOutputAndRunsOn)
{
    WorkDir dir(1.0);
    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    hideGLExtension(options, "GL_ARB_debug_output");
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, std::string(debugOutputWarning) + "\n");
    auto out = lines(run.out);
    EXPECT_EQ(out.size(), 3u) << run.out;
    expectInfoLines(out);
    EXPECT_GE(hook.musicStopped(), 1) << "the demo did not run to the end of the track";
}

// Share of the picture brighter than the dark grout between the tiles.
static double litShare(const Image& frame)
{
    size_t lit = 0;
    for (size_t i = 0; i < frame.rgb.size(); i += 3)
        lit += std::max({frame.rgb[i], frame.rgb[i + 1], frame.rgb[i + 2]}) > 40;
    return double(lit) / double(frame.rgb.size() / 3);
}

// The real track, on a clock that steps a quarter second a frame: the demo
// opens from black, shows its scenes in the middle, and its last frame, the
// one that finds the music over, belongs to the ending.
TEST(Startup, TheRealTrackOpensFromBlackAndEndsInBlack)
{
    WorkDir dir;
    dir.write("chiptune2.ogg", readFile(std::string(dataDir) + "/chiptune2.ogg"));
    FrameHook hook(dir, "1,121,last");
    RunOptions options;
    hook.addTo(options);
    options.env.push_back("FRAMEHOOK_FRAME_MS=250");
    options.timeoutSeconds = 180;
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GE(hook.swaps(), 320) << "the track is 80 s long";
    EXPECT_LT(litShare(hook.frame("1")), 0.01);
    EXPECT_GT(litShare(hook.frame("121")), 0.5) << "30 s in, the scene fills the window";
    EXPECT_LT(litShare(hook.frame("last")), 0.01);
}
