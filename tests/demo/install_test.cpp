// The demo as `cmake --install` lays it out, started through its launcher
// from a folder that holds none of its files, and the preview beside it.
#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

TEST(Install, TheLauncherRunsTheInstalledDemoFromAnyFolder)
{
    WorkDir dir(1.0);
    const std::string stage = dir.path("stage");
    ASSERT_EQ(runTool({CMAKE_COMMAND, "--install", MOSAIC_BUILD_DIR, "--prefix", stage}), 0);

    // The installed track is swapped for the short one, and the working
    // directory is left empty, so the run can only end well if the launcher
    // found the installed files.
    fs::rename(dir.path("chiptune2.ogg"), stage + "/share/mosaic-demo/chiptune2.ogg");
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png"})
        dir.remove(name);

    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    RunResult run = runProgram(dir, {stage + "/bin/mosaic-demo"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    expectInfoLines(lines(run.out));
    EXPECT_EQ(run.err, "");
    EXPECT_GE(hook.musicStopped(), 1) << "the demo ended before the music did";

    // The preview finds the same files from where it is installed, and ends
    // with the track.
    RunResult preview = runProgram(dir, {stage + "/bin/mosaic-preview"});
    EXPECT_EQ(preview.status, 0) << preview.err;
    EXPECT_NE(preview.out.find("built the shaders"), std::string::npos) << preview.out;
    EXPECT_EQ(preview.err, "");
}
