// The live-camera demo fed by the preloaded fake capture device, its source
// texture read back from the window through the source view.
#include "harness.h"
#include "pattern.h"
#include "source_view.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

namespace {

const char* const fakeDevice = MOSAIC_FAKECAM_DEVICE;
const char* const fakeCamera = MOSAIC_FAKECAM;
const char* const preview = MOSAIC_PREVIEW;
const int source = sourceSize;
const double trackSeconds = 1.0;

// A scene pass that ran leaves this colour, which the pattern never shows.
const char* const flatScene = R"(#version 330 core
out vec4 color;
void main() { color = vec4(1.0, 0.0, 1.0, 1.0); }
)";

const Rgb sceneColour = {255, 0, 255};

Rgb rgbOf(const PatternColour& colour)
{
    return {colour.rgb[0], colour.rgb[1], colour.rgb[2]};
}

// A frame granted at the source's size comes up mirrored, texel for pixel,
// in palette colours.
std::function<std::optional<Rgb>(int, int)> deliveredFrame(long frame)
{
    return [frame](int x, int y) {
        return snapped(rgbOf(*patternAt(frame, source - 1 - x, y, source, source)));
    };
}

// A frame of another size: where a texel covers pixels of one colour only,
// it shows that colour's palette entry; where it covers an edge, any blend
// will do.
std::function<std::optional<Rgb>(int, int)> scaledFrame(long frame, int width, int height)
{
    return [=](int x, int y) -> std::optional<Rgb> {
        const Footprint under = footprint(size_t(width), size_t(height), x, y);
        const PatternColour* colour = patternAt(frame, int(under.left), int(under.top), width, height);
        for (size_t py = under.top; py <= under.bottom; ++py)
            for (size_t px = under.left; px <= under.right; ++px)
                if (patternAt(frame, int(px), int(py), width, height) != colour)
                    return std::nullopt;
        return snapped(rgbOf(*colour));
    };
}

RunOptions cameraRun(const WorkDir& dir, const FrameHook& hook, const std::vector<std::string>& env)
{
    dir.write("mosaic.frag", sourceViewShader);
    dir.write("sdf.frag", flatScene);
    RunOptions options;
    hook.addTo(options);
    options.preload.push_back(fakeCamera);
    options.env.insert(options.env.end(), env.begin(), env.end());
    return options;
}

void expectRanToTheEndOfTheTrack(const RunResult& run, const FrameHook& hook)
{
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GE(run.seconds, trackSeconds);
    long stopped = hook.musicStopped();
    EXPECT_GE(stopped, 1) << "the demo ended before the music did";
    EXPECT_EQ(hook.swaps(), stopped + 1) << "the demo must end with the frame that finds the music stopped";
}

TEST(Capture, ShowsEachDeliveredFrameInTurn)
{
    WorkDir dir(trackSeconds);
    FrameHook hook(dir, "1,2,3");
    RunResult run = runDemo(dir, cameraRun(dir, hook, {}));
    expectRanToTheEndOfTheTrack(run, hook);
    EXPECT_EQ(run.err, "");
    ASSERT_GE(hook.swaps(), 3);
    for (long frame : {1, 2, 3}) {
        const std::string what = "window frame " + std::to_string(frame);
        expectTexture(hook.frame(std::to_string(frame)), deliveredFrame(frame), what);
        expectIndexed(hook.frame(std::to_string(frame)), what);
    }
}

class CaptureSize : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(CaptureSize, FillsTheWholeSourceTexture)
{
    auto [width, height] = GetParam();
    WorkDir dir(trackSeconds);
    FrameHook hook(dir, "1,2");
    RunResult run = runDemo(
        dir, cameraRun(dir, hook, {"FAKECAM_SIZE=" + std::to_string(width) + "x" + std::to_string(height)}));
    expectRanToTheEndOfTheTrack(run, hook);
    EXPECT_EQ(run.err, "");
    ASSERT_GE(hook.swaps(), 2);
    for (long frame : {1, 2}) {
        const std::string what = "window frame " + std::to_string(frame);
        expectTexture(hook.frame(std::to_string(frame)), scaledFrame(frame, width, height), what);
        expectIndexed(hook.frame(std::to_string(frame)), what);
    }
}

INSTANTIATE_TEST_SUITE_P(Granted, CaptureSize,
                         ::testing::Values(std::pair{320, 240}, std::pair{640, 480}, std::pair{176, 144}),
                         [](const auto& info) {
                             return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

TEST(Capture, KeepsTheLastFrameWhenTheDeviceFallsSilent)
{
    WorkDir dir(trackSeconds);
    FrameHook hook(dir, "2,3,4,last");
    RunResult run = runDemo(dir, cameraRun(dir, hook, {"FAKECAM_FRAMES=3"}));
    expectRanToTheEndOfTheTrack(run, hook);
    EXPECT_EQ(run.err, "") << "a frame that does not come prints nothing";
    ASSERT_GT(hook.swaps(), 4);
    expectTexture(hook.frame("2"), deliveredFrame(2), "window frame 2");
    for (const char* frame : {"3", "4", "last"})
        expectTexture(hook.frame(frame), deliveredFrame(3), std::string("window frame ") + frame);
}

TEST(Capture, ADeviceThatNeverDeliversNeverGetsTheScene)
{
    WorkDir dir(trackSeconds);
    FrameHook hook(dir, "last");
    RunResult run = runDemo(dir, cameraRun(dir, hook, {"FAKECAM_FRAMES=0"}));
    expectRanToTheEndOfTheTrack(run, hook);
    EXPECT_EQ(run.err, "");
    // The texture's contents are undefined, but never what the scene pass leaves.
    Image last = hook.frame("last");
    ASSERT_GE(last.width, source);
    ASSERT_GE(last.height, source);
    int scene = 0;
    for (int y = 0; y < source; ++y)
        for (int x = 0; x < source; ++x)
            scene += sourceTexel(last, x, y) == sceneColour;
    EXPECT_EQ(scene, 0) << "texels from the scene pass";
}

struct Unopenable {
    std::vector<std::string> preload;
    std::vector<std::string> env;
    std::string message;
};

// Names the case in test listings by what the demo must say.
void PrintTo(const Unopenable& device, std::ostream* os)
{
    *os << device.message;
}

class UnopenableDevice : public ::testing::TestWithParam<Unopenable> {};

TEST_P(UnopenableDevice, SaysSoOnceAndShowsTheScene)
{
    ASSERT_FALSE(std::filesystem::exists(fakeDevice)) << fakeDevice << " must not exist here";
    WorkDir dir(trackSeconds);
    FrameHook hook(dir, "last");
    RunOptions options = cameraRun(dir, hook, GetParam().env);
    options.preload.pop_back();
    options.preload.insert(options.preload.end(), GetParam().preload.begin(), GetParam().preload.end());
    RunResult run = runDemo(dir, options);
    expectRanToTheEndOfTheTrack(run, hook);
    EXPECT_EQ(run.err, std::string(fakeDevice) + GetParam().message + "\n");
    expectTexture(
        hook.frame("last"), [](int, int) { return sceneColour; }, "the scene in the last frame");
}

INSTANTIATE_TEST_SUITE_P(
    Capture, UnopenableDevice,
    ::testing::Values(Unopenable{{}, {}, ": cannot identify! 2: No such file or directory"},
                      Unopenable{{fakeCamera}, {"FAKECAM_OPEN_ERRNO=13"}, ": cannot open! 13: Permission denied"}),
    [](const auto& info) { return info.param.preload.empty() ? "Missing" : "Refused"; });

}  // namespace

namespace {

// The preview on the fake device named, on a clock of 10 ms a frame, until
// Escape after `frames` frames.
RunResult runPreview(const WorkDir& dir, const FrameHook& hook, const std::vector<std::string>& env, long frames)
{
    RunOptions options = cameraRun(dir, hook, env);
    options.env.push_back("FRAMEHOOK_FRAME_MS=10");
    options.input = [&](pid_t pid) {
        if (hook.waitForSwaps(pid, frames))
            xdotool({"key", "Escape"});
    };
    return runProgram(dir, {preview, "--camera", fakeDevice}, options);
}

}  // namespace

// The preview takes the device named on its command line as the camera build
// takes its own, and shows it on past the track's end, which it plays again;
// nothing shows over the picture. The camera is taken beside the window's
// set-up and may come some frames late, so a frame is known by the
// pattern's four turns alone.
TEST(Capture, ThePreviewShowsTheNamedCameraPastTheTracksEnd)
{
    WorkDir dir(trackSeconds);
    FrameHook hook(dir, "3,150");
    RunResult run = runPreview(dir, hook, {}, 151);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("camera " + std::string(fakeDevice) + " (\"Fake Camera\")\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nloop to 0.000 s"), std::string::npos) << run.out;
    const Image last = hook.frame("150");
    long turn = 0;
    while (turn < 3 && sourceTexel(last, source / 4, source / 4) != *deliveredFrame(turn)(source / 4, source / 4))
        ++turn;
    expectTexture(last, deliveredFrame(turn), "the preview's frame 150, 1.49 s into a track of 1 s");
    EXPECT_EQ(messagePixels(hook.frame("3")), 0);
}

// What keeps the named camera off the picture is said on standard error and
// over the picture, for some seconds; the scene plays meanwhile, with the
// track again from its start at its end.
TEST(Capture, ThePreviewSaysWhatKeepsTheCameraOffOverThePicture)
{
    const std::string device = fakeDevice;
    const std::pair<std::string, std::string> faults[] = {
        {"FAKECAM_FORMAT=MJPG", device + ": delivers no YUYV, only MJPG; choose another camera "
                                         "(mosaic-preview --list-cameras)"},
        {"FAKECAM_OPEN_ERRNO=13",
         device + ": permission denied; its group root gives you no access (mode 0660): a udev rule in "
                  "/etc/udev/rules.d, SUBSYSTEM==\"video4linux\", GROUP=\"video\", MODE=\"0660\", gives cameras "
                  "to group video; join it (sudo usermod -aG video $USER) and log in again"}};
    for (const auto& [env, line] : faults) {
        WorkDir dir(trackSeconds);
        FrameHook hook(dir, "3,1000");
        RunResult run = runPreview(dir, hook, {env}, 1001);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, line + "\n");
        expectTexture(
            hook.frame("3"), [](int, int) { return sceneColour; }, "the scene in frame 3");
        EXPECT_GT(messagePixels(hook.frame("3")), 1000) << env << ": the line over the picture";
        EXPECT_EQ(messagePixels(hook.frame("1000")), 0) << env << ": the line still there after 10 s";
        EXPECT_NE(run.out.find("\nloop to 0.000 s"), std::string::npos) << run.out;
    }
}

// A camera whose stream takes two seconds to start, as a USB camera's may,
// holds up no frame: C back to it keeps the frames coming until it delivers.
TEST(Capture, ThePreviewDrawsOnWhileASlowCameraStarts)
{
    WorkDir dir(trackSeconds);
    FrameHook hook(dir);
    RunOptions options = cameraRun(dir, hook, {"FAKECAM_STREAMON_MS=2000"});
    const std::string taken = "camera " + std::string(fakeDevice) + " (\"Fake Camera\")\n";
    const auto says = [&](pid_t pid, const std::string& line, size_t times) {
        return waitWhileRunning(pid, [&] {
            const std::string out = readFile(dir.path(".stdout"));
            size_t found = 0;
            for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1))
                ++found;
            return found >= times;
        }, "it said " + line);
    };
    long asked = 0, shown = 0;
    options.input = [&](pid_t pid) {
        if (says(pid, taken, 1)) {
            xdotool({"key", "c"});
            if (says(pid, "\nscene\n", 1)) {
                asked = hook.swapsSoFar();
                xdotool({"key", "c"});
                if (says(pid, taken, 2))
                    shown = hook.swapsSoFar();
            }
        }
        xdotool({"key", "Escape"});
    };
    const RunResult run = runProgram(dir, {preview, "--camera", fakeDevice}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_GT(shown, asked + 2) << "frames while the camera started";
    const double longest = longestGap(hook, asked, shown);
    EXPECT_LT(longest, 1.0) << "seconds between two frames";
    std::printf("%ld frames while the camera started, at most %.3f s apart\n", shown - asked, longest);
}

// A stream that fails frame after frame while the device stays is let go,
// said, and taken again after growing pauses, then left off with its line
// over the picture and the short one in the corner.
TEST(Capture, ThePreviewLeavesOffACameraThatKeepsFailing)
{
    const std::string device = fakeDevice;
    const std::string failing = device + " stopped delivering frames: VIDIOC_DQBUF: Input/output error; trying again\n";
    const std::string leftOff =
        device + " stopped delivering frames time after time: VIDIOC_DQBUF: Input/output error; it is left off\n";
    WorkDir dir(trackSeconds);
    FrameHook hook(dir, "last");
    RunOptions options = cameraRun(dir, hook, {"FAKECAM_DQBUF_ERRNO=5"});
    options.input = [&](pid_t pid) {
        waitWhileRunning(pid, [&] { return readFile(dir.path(".stderr")).find(leftOff) != std::string::npos; },
                         "it left the camera off");
        xdotool({"key", "Escape"});
    };
    const RunResult run = runProgram(dir, {preview, "--camera", fakeDevice}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, failing + leftOff);
    const Image last = hook.frame("last");
    expectTexture(last, [](int, int) { return sceneColour; }, "the scene in the last frame");
    EXPECT_GT(messagePixels(last), 1000) << "the line over the picture";
    EXPECT_GT(cornerPixels(last), 100) << "the short line in the corner";
}
