// Runs inside the qemu guest that run-vivid.sh boots: the camera build of the
// demo, with /dev/video0 compiled in, takes its source image from vivid until
// vivid's "Disconnect" control makes the device go away.
#include "harness.h"
#include "palette.h"
#include "source_view.h"
#include "vivid_nodes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The scene pass draws palette entry 5 and marks it so, as the real scene
// marks each texel with its entry.
const int sceneEntry = 5;
const char* const entryScene = R"(#version 330 core
uniform sampler1D uPalette;
out vec4 color;
void main() { color = vec4(texelFetch(uPalette, 5, 0).rgb, 5.0 / 255.0); }
)";

void useTestShaders(const WorkDir& dir)
{
    dir.write("mosaic.frag", sourceViewShader);
    dir.write("sdf.frag", entryScene);
}

// Long enough for the camera frames, the disconnection and the scene frames
// after it on an emulated machine.
const double trackSeconds = 10.0;
const long cameraFrame = 8;

struct Frame {
    size_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    Rgb at(size_t x, size_t y) const
    {
        const uint8_t* p = &rgb[(y * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

// The picture the demo will be granted, as the capture class converts it.
Frame grantedPicture()
{
    Webcam cam(captureNode, sourceSize, sourceSize);
    const RGBImage& image = nextFrame(cam);
    return {image.width, image.height, std::vector<uint8_t>(image.data, image.data + image.size)};
}

// Bars run top to bottom, so a texel whose columns all hold one colour shows
// exactly that colour's palette entry; a texel over the edge of two bars may
// blend them.
std::function<std::optional<Rgb>(int, int)> barsInTheSource(const Frame& bars)
{
    return [&bars](int x, int y) -> std::optional<Rgb> {
        const Footprint under = footprint(bars.width, bars.height, x, y);
        const Rgb colour = bars.at(under.left, 0);
        for (size_t px = under.left; px <= under.right; ++px)
            if (bars.at(px, 0) != colour)
                return std::nullopt;
        return snapped(colour);
    };
}

bool showsTheScene(const std::vector<uint8_t>& probe)
{
    const std::array<uint8_t, 3> entry = paletteBytes(sceneEntry);
    if (probe.size() != size_t(2 * sourceSize) * 3)
        return false;
    for (int x = 0; x < sourceSize; ++x) {
        const uint8_t* texel = &probe[size_t(x) * 3];
        const uint8_t* index = &probe[size_t(sourceSize + x) * 3];
        if (texel[0] != entry[0] || texel[1] != entry[1] || texel[2] != entry[2] || index[0] != sceneEntry)
            return false;
    }
    return true;
}

}  // namespace

TEST(VividDemo, ShowsTheColourBarsThenTheSceneOnceTheDeviceIsGone)
{
    // vivid writes text over its picture; without it the bars fill the frame.
    ASSERT_EQ(runTool({"v4l2-ctl", "-d", captureNode, "-c", "osd_text_mode=2"}), 0);
    const Frame bars = grantedPicture();
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
    hook.probe = "0,0," + std::to_string(2 * sourceSize) + ",1";
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
