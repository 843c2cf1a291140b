// Runs inside the qemu guest that run-vivid.sh boots: the preview's camera
// against vivid's two cameras, which are unplugged and plugged in again by
// unloading and loading the driver.
#include "camera-list.h"
#include "harness.h"
#include "vivid_nodes.h"
#include "vivid_pictures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const preview = MOSAIC_PREVIEW;
const std::string& camera = secondCaptureNode;

void unplugAndPlugInCameras()
{
    EXPECT_EQ(runTool({"rmmod", "vivid"}), 0);
    EXPECT_EQ(runTool({"sh", "-c", "insmod /vivid.ko $(cat /vivid.params)"}), 0);
}

// vivid writes text over its picture; without it the bars fill the frame.
void hideVividText()
{
    EXPECT_EQ(runTool({"v4l2-ctl", "-d", camera, "-c", "osd_text_mode=2"}), 0);
}

using Probe = std::vector<uint8_t>;

// Waits until a frame after `frame` shows what `shows` looks for, and sets
// `frame` to it; false (the test failed) if the preview ended first.
bool waitForFrame(pid_t pid, const FrameHook& hook, const std::function<bool(const Probe&)>& shows, long& frame,
                  const std::string& what)
{
    const long after = frame;
    return waitWhileRunning(pid, [&] {
        const auto probes = hook.probes();
        for (size_t i = size_t(after); i < probes.size(); ++i)
            if (shows(probes[i]))
                return (frame = long(i) + 1) > 0;
        return false;
    }, what, 240);
}

// The preview's run on the camera, with vivid's text hidden, the test
// shaders and the source's bottom row probed each frame.
struct CameraRun {
    Frame bars;
    WorkDir dir{600.0};  // longer than the test, which ends the preview with Escape
    FrameHook hook{dir};
    RunOptions options;
    std::function<bool(const Probe&)> showsBars = [this](const Probe& probe) { return showsTheBars(probe, bars); };

    explicit CameraRun(double timeoutSeconds)
    {
        hideVividText();
        bars = grantedPicture(camera);
        useTestShaders(dir);
        hook.probe = sourceRowProbe;
        hook.addTo(options);
        options.timeoutSeconds = timeoutSeconds;
    }
};

}  // namespace

TEST(VividPreview, ListsBothCamerasByTheirDriversName)
{
    // Fresh devices, whatever earlier tests did to them.
    unplugAndPlugInCameras();
    WorkDir dir;
    const RunResult run = runProgram(dir, {preview, "--list-cameras"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "/dev/video0  \"vivid\"  YUYV  <- mosaic-preview --camera takes this one\n"
                       "/dev/video1  \"vivid\"  YUYV\n");
    std::printf("--list-cameras:\n%s", run.out.c_str());
}

// The named camera's bars; C gives the scene and C the bars again; vivid's
// Disconnect brings the scene back with the line, and the driver loaded
// again the camera. Then, from the scene, C asks for it while it may not be
// opened and, once it may, while another program streams from it: a line
// for each, and the camera once it is free. Root opens any node; the preview
// runs without the capabilities that let it, so that the owner and mode
// hold. The camera is named as "video1", which is /dev/video1.
TEST(VividPreview, TakesTheNamedCameraWhenItCanBeHadAndSaysWhyNot)
{
    CameraRun session(300);
    const WorkDir& dir = session.dir;
    const FrameHook& hook = session.hook;
    RunOptions& options = session.options;
    const auto& showsBars = session.showsBars;
    const auto showsCamera = [](const Probe& probe) { return !showsTheScene(probe); };
    const auto saysOnStderr = [&](pid_t pid, const std::string& line) {
        return waitWhileRunning(pid, [&] { return readFile(dir.path(".stderr")).find(line + "\n") != std::string::npos; },
                                "it said " + line, 120);
    };
    const std::string denied = camera + ": permission denied; it belongs to group video: join it "
                                        "(sudo usermod -aG video $USER) and log in again";
    const group* video = getgrnam("video");
    ASSERT_NE(video, nullptr);
    const std::string busy = camera + ": busy, another program is using it; it is taken once that program lets go";
    std::string title, shown;
    double plugToPicture = -1, loadedToPicture = -1;
    pid_t holder = -1;
    options.input = [&](pid_t pid) {
        long frame = 0;
        if (!waitForFrame(pid, hook, showsBars, frame, "the bars showed"))
            return;
        title = windowTitle(pid);
        shown = describeRow(hook.probes()[size_t(frame - 1)]);
        xdotool({"key", "c"});
        if (!waitForFrame(pid, hook, showsTheScene, frame, "C showed the scene"))
            return;
        xdotool({"key", "c"});
        if (!waitForFrame(pid, hook, showsBars, frame, "C showed the bars again"))
            return;
        EXPECT_EQ(runTool({"v4l2-ctl", "-d", camera, "-c", "disconnect=1"}), 0);
        if (!saysOnStderr(pid, camera + ": the capture device is gone") ||
            !waitForFrame(pid, hook, showsTheScene, frame, "the scene came back"))
            return;
        const int64_t plugged = monotonicNanoseconds();
        unplugAndPlugInCameras();
        const int64_t loaded = monotonicNanoseconds();
        if (!waitForFrame(pid, hook, showsCamera, frame, "the camera came back") || !hook.waitForSwaps(pid, frame))
            return;
        plugToPicture = (hook.swapNanoseconds(frame) - plugged) / 1e9;
        loadedToPicture = (hook.swapNanoseconds(frame) - loaded) / 1e9;
        hideVividText();

        xdotool({"key", "c"});
        if (!waitForFrame(pid, hook, showsTheScene, frame, "C showed the scene"))
            return;
        holder = startTool({"v4l2-ctl", "-d", camera, "--stream-mmap"}, {});
        if (!waitWhileRunning(pid, [] { return inspectCaptureNode(camera).state == NodeState::Busy; },
                              "v4l2-ctl streamed") || chown(camera.c_str(), 65534, video->gr_gid) != 0 ||
            chmod(camera.c_str(), 0660) != 0)
            return;
        xdotool({"key", "c"});
        if (!saysOnStderr(pid, denied) || chown(camera.c_str(), 0, 0) != 0 || !saysOnStderr(pid, busy))
            return;
        kill(holder, SIGTERM);
        if (waitForFrame(pid, hook, showsBars, frame, "the camera was taken once free"))
            xdotool({"key", "Escape"});
    };
    const RunResult run = runProgram(dir,
                                     {"setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--inh-caps",
                                      "-dac_override,-dac_read_search", preview, "--camera", "video1"},
                                     options);
    if (holder > 0 && kill(holder, SIGTERM) == 0)
        waitpid(holder, nullptr, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, camera + ": the capture device is gone\n" + denied + "\n" + busy + "\n");
    std::vector<std::string> sources;
    for (const std::string& line : lines(run.out))
        if (line == "scene" || line.rfind("camera ", 0) == 0)
            sources.push_back(line);
    const std::string taken = "camera " + camera + " (\"vivid\")";
    EXPECT_EQ(sources, (std::vector<std::string>{taken, "scene", taken, taken, "scene", taken}));
    EXPECT_NE(title.find(" | camera " + camera), std::string::npos) << title;
    std::printf("title with the camera: %s\nits bottom row of texels, left to right: %s\n"
                "from plugging in to the camera's first frame: %.2f s (%.2f s after the driver had loaded)\n"
                "the lines on standard error:\n%s",
                title.c_str(), shown.c_str(), plugToPicture, loadedToPicture, run.err.c_str());
}

// The camera plays on past the track's end, with the track from its start:
// 91 frames of a second each reach 90 s of an 80 s track.
TEST(VividPreview, ShowsTheCameraPastTheTracksEnd)
{
    hideVividText();
    WorkDir dir(80.0);
    useTestShaders(dir);
    FrameHook hook(dir);
    hook.probe = sourceRowProbe;
    RunOptions options;
    hook.addTo(options);
    options.env.push_back("FRAMEHOOK_FRAME_MS=1000");
    options.timeoutSeconds = 300;
    options.input = [&](pid_t pid) {
        if (hook.waitForSwaps(pid, 91, 240))
            xdotool({"key", "Escape"});
    };
    const RunResult run = runProgram(dir, {preview, "--camera", camera}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("\nloop to 0.000 s"), std::string::npos) << run.out;
    const auto probes = hook.probes();
    ASSERT_GE(probes.size(), 91u);
    for (size_t frame = 2; frame <= 91; ++frame)
        EXPECT_FALSE(showsTheScene(probes[frame - 1])) << "frame " << frame << " at " << frame - 1 << " s";
    std::printf("at 90 s of the track's clock, its bottom row of texels: %s\n", describeRow(probes[90]).c_str());
}

// vivid's fatal streaming error fails every later frame with EIO while the
// device stays. The preview says so over the picture and takes the camera
// again by itself. Before that, C and C again open the camera beside the
// frames, which go on at their rate meanwhile. Fullscreen, the window is the
// small screen, whose top shows the line.
TEST(VividPreview, TakesTheCameraAgainAfterAFatalStreamingError)
{
    CameraRun session(240);
    const FrameHook& hook = session.hook;
    const auto& showsBars = session.showsBars;
    double openingGap = -1, retakingGap = -1, faultToLine = -1, faultToCamera = -1;
    long openingFrames = 0;
    session.options.input = [&](pid_t pid) {
        long frame = 0;
        if (!waitForFrame(pid, hook, showsBars, frame, "the bars showed"))
            return;
        xdotool({"key", "c"});
        if (!waitForFrame(pid, hook, showsTheScene, frame, "C showed the scene"))
            return;
        xdotool({"key", "c"});
        const long asked = hook.swapsSoFar();
        if (!waitForFrame(pid, hook, showsBars, frame, "C showed the bars again") || !hook.waitForSwaps(pid, frame))
            return;
        openingGap = longestGap(hook, asked, frame);
        openingFrames = frame - asked;
        const long injectedAt = hook.swapsSoFar();
        const int64_t injected = monotonicNanoseconds();
        EXPECT_EQ(runTool({"v4l2-ctl", "-d", camera, "-c", "inject_fatal_streaming_error=1"}), 0);
        if (!waitWhileRunning(pid, [] { return messagePixels(grabScreen()) > 100; }, "the line showed", 120))
            return;
        faultToLine = (monotonicNanoseconds() - injected) / 1e9;
        if (!waitForFrame(pid, hook, showsTheScene, frame, "the scene showed while the camera was off") ||
            !waitForFrame(pid, hook, showsBars, frame, "the camera came back") || !hook.waitForSwaps(pid, frame))
            return;
        faultToCamera = (hook.swapNanoseconds(frame) - injected) / 1e9;
        retakingGap = longestGap(hook, injectedAt, frame);
        xdotool({"key", "Escape"});
    };
    const RunResult run = runProgram(session.dir, {preview, "--camera", camera, "--fullscreen"}, session.options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, camera + " stopped delivering frames: VIDIOC_DQBUF: Input/output error; trying again\n");
    const std::string taken = "camera " + camera + " (\"vivid\")";
    std::vector<std::string> sources;
    for (const std::string& line : lines(run.out))
        if (line == "scene" || line.rfind("camera ", 0) == 0)
            sources.push_back(line);
    EXPECT_EQ(sources, (std::vector<std::string>{taken, "scene", taken, taken}));
    std::printf("longest wait between frames while C opened the camera: %.2f s (%ld frames)\n"
                "from the injected fault to its line on the screen: %.2f s, to the camera back: %.2f s; "
                "longest wait between frames meanwhile: %.2f s\n",
                openingGap, openingFrames, faultToLine, faultToCamera, retakingGap);
}
