// Runs inside the qemu guest that run-vivid.sh boots: the preview's camera
// against vivid's two capture nodes, which are unplugged and plugged in again
// by unloading and loading the driver.
#include "camera-list.h"
#include "harness.h"
#include "vivid_nodes.h"
#include "vivid_pictures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

const char* const preview = MOSAIC_PREVIEW;

void unplugCameras()
{
    ASSERT_EQ(runTool({"rmmod", "vivid"}), 0);
}

void plugInCameras()
{
    ASSERT_EQ(runTool({"sh", "-c", "insmod /vivid.ko $(cat /vivid.params)"}), 0);
}

// vivid writes text over its picture; without it the bars fill the frame.
void hideVividText(const std::string& node)
{
    EXPECT_EQ(runTool({"v4l2-ctl", "-d", node, "-c", "osd_text_mode=2"}), 0);
}

// A preview on the source-view shaders with a track longer than any test,
// which ends it with Escape; every frame's bottom row is probed.
struct CameraPreview {
    CameraPreview() : dir(600.0), hook(dir)
    {
        useTestShaders(dir);
        hook.probe = sourceRowProbe;
        hook.addTo(options);
        options.timeoutSeconds = 300;
    }

    // Waits until a frame from `from` on shows what `shows` looks for; that
    // frame, counted from 1, or -1.
    long waitForFrame(pid_t pid, const std::function<bool(const std::vector<uint8_t>&)>& shows, long from,
                      const std::string& what)
    {
        long found = -1;
        auto seen = [&] {
            const auto probes = hook.probes();
            for (size_t i = size_t(from); i < probes.size() && found < 0; ++i)
                if (shows(probes[i]))
                    found = long(i) + 1;
            return found > 0;
        };
        waitWhileRunning(pid, seen, what, 240);
        return found;
    }

    bool saysOnStderr(pid_t pid, const std::string& line)
    {
        return waitWhileRunning(
            pid, [&] { return readFile(dir.path(".stderr")).find(line + "\n") != std::string::npos; },
            "it said: " + line, 120);
    }

    std::vector<std::string> sourceLines() const
    {
        std::vector<std::string> said;
        for (const std::string& line : lines(readFile(dir.path(".stdout"))))
            if (line == "scene" || line.rfind("camera ", 0) == 0)
                said.push_back(line);
        return said;
    }

    WorkDir dir;
    FrameHook hook;
    RunOptions options;
};

}  // namespace

TEST(VividPreview, ListsBothCamerasByTheirDriversName)
{
    // Fresh devices, whatever earlier tests did to them.
    unplugCameras();
    plugInCameras();
    WorkDir dir;
    const RunResult run = runProgram(dir, {preview, "--list-cameras"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "/dev/video0  \"vivid\"  YUYV  <- mosaic-preview --camera takes this one\n"
                       "/dev/video1  \"vivid\"  YUYV\n");
    std::printf("--list-cameras:\n%s", run.out.c_str());
}

// The named camera's bars; C gives the scene and C the bars again; vivid's
// Disconnect brings the scene back with the line; the driver loaded again
// brings the camera back.
TEST(VividPreview, ShowsTheNamedCameraUntilUnpluggedAndAgainWhenPluggedIn)
{
    hideVividText(secondCaptureNode);
    const Frame bars = grantedPicture(secondCaptureNode);
    const auto showsBars = [&](const std::vector<uint8_t>& probe) { return showsTheBars(probe, bars); };
    const auto showsCamera = [](const std::vector<uint8_t>& probe) { return !showsTheScene(probe); };
    CameraPreview camera;
    std::string title;
    std::string shown;
    double plugToPicture = -1;
    double loadedToPicture = -1;
    camera.options.input = [&](pid_t pid) {
        long frame = camera.waitForFrame(pid, showsBars, 0, "the bars showed");
        if (frame < 0)
            return;
        title = windowTitle(pid);
        shown = describeRow(camera.hook.probes()[size_t(frame - 1)]);
        xdotool({"key", "c"});
        if ((frame = camera.waitForFrame(pid, showsTheScene, frame, "C showed the scene")) < 0)
            return;
        xdotool({"key", "c"});
        if ((frame = camera.waitForFrame(pid, showsBars, frame, "C showed the bars again")) < 0)
            return;
        EXPECT_EQ(runTool({"v4l2-ctl", "-d", secondCaptureNode, "-c", "disconnect=1"}), 0);
        if (!camera.saysOnStderr(pid, secondCaptureNode + ": the capture device is gone") ||
            (frame = camera.waitForFrame(pid, showsTheScene, frame, "the scene came back")) < 0)
            return;
        unplugCameras();
        const int64_t plugged = monotonicNanoseconds();
        plugInCameras();
        const int64_t loaded = monotonicNanoseconds();
        if ((frame = camera.waitForFrame(pid, showsCamera, frame, "the camera came back")) < 0 ||
            !camera.hook.waitForSwaps(pid, frame))
            return;
        plugToPicture = (camera.hook.swapNanoseconds(frame) - plugged) / 1e9;
        loadedToPicture = (camera.hook.swapNanoseconds(frame) - loaded) / 1e9;
        hideVividText(secondCaptureNode);
        if (camera.waitForFrame(pid, showsBars, frame, "the bars showed again") > 0)
            xdotool({"key", "Escape"});
    };
    const RunResult run = runProgram(camera.dir, {preview, "--camera", secondCaptureNode}, camera.options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, secondCaptureNode + ": the capture device is gone\n");
    const std::string taken = "camera " + secondCaptureNode + " (\"vivid\")";
    EXPECT_EQ(camera.sourceLines(), (std::vector<std::string>{taken, "scene", taken, taken}));
    EXPECT_NE(title.find(" | camera " + secondCaptureNode), std::string::npos) << title;
    std::printf("title with the camera: %s\nits bottom row of texels, left to right: %s\n"
                "from plugging in to the camera's first frame: %.2f s (%.2f s after the driver had loaded)\n",
                title.c_str(), shown.c_str(), plugToPicture, loadedToPicture);
}

// A node nobody may open and, once it may be, another program streaming from
// it: one line for each, the scene meanwhile, and the camera once it is free.
TEST(VividPreview, SaysWhyTheCameraCannotBeHadAndTakesItOnceItCan)
{
    hideVividText(secondCaptureNode);
    const Frame bars = grantedPicture(secondCaptureNode);
    pid_t holder = startTool({"v4l2-ctl", "-d", secondCaptureNode, "--stream-mmap"}, {});
    ASSERT_GT(holder, 0);
    const auto letGo = [&holder] {
        if (holder > 0 && kill(holder, SIGTERM) == 0)
            waitpid(holder, nullptr, 0);
        holder = -1;
    };
    ASSERT_TRUE(waitFor([] { return inspectCaptureNode(secondCaptureNode).state == NodeState::Busy; }, waitSeconds));
    ASSERT_EQ(chmod(secondCaptureNode.c_str(), 0), 0);

    const std::string denied = secondCaptureNode + ": permission denied; its group root may not use it either "
                               "(mode 000): let the group read and write it (sudo chmod g+rw " +
                               secondCaptureNode + ")";
    const std::string busy =
        secondCaptureNode + ": busy, another program is using it; it is taken once that program lets go";
    CameraPreview camera;
    camera.options.input = [&](pid_t pid) {
        if (!camera.saysOnStderr(pid, denied) ||
            camera.waitForFrame(pid, showsTheScene, 0, "the scene showed") < 0)
            return;
        EXPECT_EQ(chmod(secondCaptureNode.c_str(), 0660), 0);
        if (!camera.saysOnStderr(pid, busy))
            return;
        const long before = camera.hook.swapsSoFar();
        letGo();
        const auto showsBars = [&](const std::vector<uint8_t>& probe) { return showsTheBars(probe, bars); };
        if (camera.waitForFrame(pid, showsBars, before, "the camera was taken once free") > 0)
            xdotool({"key", "Escape"});
    };
    // Root opens any node; without these capabilities its mode holds for root too.
    const RunResult run = runProgram(camera.dir,
                                     {"setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--inh-caps",
                                      "-dac_override,-dac_read_search", preview, "--camera", secondCaptureNode},
                                     camera.options);
    letGo();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, denied + "\n" + busy + "\n");
    std::printf("the faults' lines:\n%s", run.err.c_str());
}
