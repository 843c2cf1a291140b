// Runs inside the qemu guest that run-vivid.sh boots: the camera build of the
// demo, with /dev/video0 compiled in, takes its source image from vivid until
// vivid's "Disconnect" control makes the device go away.
#include "harness.h"
#include "source_view.h"
#include "vivid_nodes.h"
#include "vivid_pictures.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Long enough for the camera frames, the disconnection and the scene frames
// after it on an emulated machine.
const double trackSeconds = 10.0;
const long cameraFrame = 8;

}  // namespace

TEST(VividDemo, ShowsTheColourBarsThenTheSceneOnceTheDeviceIsGone)
{
    // vivid writes text over its picture; without it the bars fill the frame.
    ASSERT_EQ(runTool({"v4l2-ctl", "-d", captureNode, "-c", "osd_text_mode=2"}), 0);
    const Frame bars = grantedPicture(captureNode);
    ASSERT_GT(bars.width, 0u);
    for (size_t y = 0; y < bars.height; ++y)
        for (size_t x = 0; x < bars.width; ++x)
            ASSERT_EQ(bars.at(x, y), bars.at(x, 0)) << "vivid's picture is not bars from top to bottom at " << x
                                                    << "," << y;

    // llvmpipe takes tens of seconds to compile shaders under emulation,
    // which the track would spend; a first short run leaves them in Mesa's
    // shader cache.
    {
        WorkDir warmUp(0.1);
        useTestShaders(warmUp);
        ASSERT_EQ(runDemo(warmUp).status, 0);
    }

    WorkDir dir(trackSeconds);
    useTestShaders(dir);
    FrameHook hook(dir, std::to_string(cameraFrame));
    hook.probe = sourceRowProbe;
    RunOptions options;
    hook.addTo(options);
    options.timeoutSeconds = 180;
    long disconnectedAfter = -1;
    options.input = [&](pid_t demo) {
        // Frames come slowly under emulation.
        if (!hook.waitForSwaps(demo, cameraFrame, 120))
            return;
        EXPECT_EQ(runTool({"v4l2-ctl", "-d", captureNode, "-c", "disconnect=1"}), 0);
        disconnectedAfter = hook.swapsSoFar();
    };
    const RunResult run = runDemo(dir, options);

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, captureNode + ": the capture device is gone\n");
    const long stopped = hook.musicStopped();
    EXPECT_GE(stopped, 1) << "the demo ended before the music did";
    EXPECT_EQ(hook.swaps(), stopped + 1) << "the demo must end with the frame that finds the music stopped";
    EXPECT_EQ(long(hook.probes().size()), hook.swaps());

    const Image camera = hook.frame(std::to_string(cameraFrame));
    expectTexture(camera, barsInTheSource(bars), "the camera's frame " + std::to_string(cameraFrame));
    expectIndexed(camera, "the camera's frame " + std::to_string(cameraFrame));

    // The frame being drawn while the device went may still show it; the
    // one after shows the scene, with its index, and so does every later one
    // (the bottom row of texels, read back from every frame).
    ASSERT_GT(disconnectedAfter, 0);
    const std::vector<std::vector<uint8_t>> probes = hook.probes();
    long firstScene = -1;
    for (size_t i = 0; i < probes.size(); ++i) {
        const long frame = long(i) + 1;
        if (firstScene < 0 && showsTheScene(probes[i]))
            firstScene = frame;
        EXPECT_TRUE(firstScene < 0 || showsTheScene(probes[i])) << "frame " << frame << " is not the scene";
    }
    std::printf("disconnected after frame %ld of %zu; the scene from frame %ld\n", disconnectedAfter,
                probes.size(), firstScene);
    EXPECT_GT(firstScene, cameraFrame);
    EXPECT_LE(firstScene, disconnectedAfter + 2);
}
