// The demo on Mesa's other OpenGL drivers, each with a shader compiler and
// rounding of its own, as people's GPUs have: zink (OpenGL on Vulkan, over
// lavapipe) and softpipe, an OpenGL 3.3 driver.
#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

const std::vector<std::string> zink = {"LIBGL_ALWAYS_SOFTWARE=1", "GALLIUM_DRIVER=zink",
                                       "MESA_LOADER_DRIVER_OVERRIDE=zink"};
const std::vector<std::string> softpipe = {"LIBGL_ALWAYS_SOFTWARE=1", "GALLIUM_DRIVER=softpipe"};

// A recorder's still at `seconds`, 640x360, on the driver that `env` selects.
Image still(const WorkDir& dir, const std::string& data, const std::string& seconds,
            const std::vector<std::string>& env = {})
{
    RunOptions options;
    options.env = env;
    const std::string name = "still.png";
    RunResult run = runProgram(dir, {MOSAIC_RECORD, "--data", data, "--size", "640x360", "--still", seconds, name},
                               options);
    EXPECT_EQ(run.status, 0) << run.err;
    return readPNG(dir.path(name));
}

// Pixels that differ by more than shading's rounding: a tile of another
// palette entry, or a picture that has moved.
size_t pixelsApart(const Image& a, const Image& b)
{
    size_t count = 0;
    for (size_t i = 0; i + 2 < a.rgb.size() && i + 2 < b.rgb.size(); i += 3)
        count += std::abs(a.rgb[i] - b.rgb[i]) > 8 || std::abs(a.rgb[i + 1] - b.rgb[i + 1]) > 8 ||
                 std::abs(a.rgb[i + 2] - b.rgb[i + 2]) > 8;
    return count;
}

// A tile, 6 pixels square at this size, may land on the other side of a
// silhouette in the ray march; two of them are all a driver may change.
const size_t twoTiles = 2 * 6 * 6;

}  // namespace

// The theme, and the reprise, whose camera shots once followed the last bits
// of sin(); and the same stills with sin and cos one part in 2.5 million off,
// as a GPU's may be.
TEST(Drivers, StillsAgreeTileForTile)
{
    WorkDir dir;
    std::filesystem::create_directory(dir.path("perturbed"));
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png", "chiptune2.ogg"}) {
        std::string text = readFile(std::string(dataDir) + "/" + name);
        if (std::string(name).find(".frag") != std::string::npos || std::string(name) == "mosaic.vert")
            text.insert(text.find('\n') + 1, "#define sin(x) (sin(x) * 1.0000004)\n"
                                             "#define cos(x) (cos(x) * 1.0000004)\n");
        dir.write(std::string("perturbed/") + name, text);
    }
    for (const char* seconds : {"12.5", "60", "66"}) {
        Image reference = still(dir, dataDir, seconds);
        EXPECT_LE(pixelsApart(reference, still(dir, dataDir, seconds, zink)), twoTiles) << "zink at " << seconds << " s";
        EXPECT_LE(pixelsApart(reference, still(dir, dataDir, seconds, softpipe)), twoTiles)
            << "softpipe at " << seconds << " s";
        EXPECT_LE(pixelsApart(reference, still(dir, dir.path("perturbed"), seconds)), twoTiles)
            << "perturbed sin and cos at " << seconds << " s";
    }
}

// Each driver plays the demo to the end of its track and exits with status 0;
// zink's compiler threads are still at work when it ends.
TEST(Drivers, DemoRunsAndEndsOnEachDriver)
{
    struct Case {
        std::vector<std::string> env;
        std::string line;  // the information line that shows the driver
    };
    for (const Case& driver : {Case{zink, "Vendor:  Collabora Ltd"}, Case{softpipe, "Version: 3.3 (Core Profile) Mesa"},
                               Case{{"MESA_GL_VERSION_OVERRIDE=4.0"}, "Version: 4.0 (Core Profile) Mesa"}}) {
        WorkDir dir;
        RunOptions options;
        options.env = driver.env;
        RunResult run = runDemo(dir, options);
        EXPECT_EQ(run.status, 0) << driver.line << "\n" << run.err;
        EXPECT_NE(run.out.find(driver.line), std::string::npos) << run.out;
    }
}

// A driver that stops short of OpenGL 4.1 and lacks the extension that
// brings 4.1's uniform setters is refused, with a line naming the extension,
// instead of being called through a null pointer.
TEST(Drivers, MissingSeparateShaderObjectsAreReported)
{
    WorkDir dir;
    RunOptions options;
    options.env.push_back("MESA_GL_VERSION_OVERRIDE=4.0");
    hideGLExtension(options, "GL_ARB_separate_shader_objects");
    expectFatal(runDemo(dir, options), "main.cpp", "GL_ARB_separate_shader_objects required!");

    RunResult run = runProgram(dir, {MOSAIC_RECORD, "--size", "64x36", "--still", "0.5", "still.png"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mosaic-record: the OpenGL context lacks GL_ARB_separate_shader_objects\n");

    run = runProgram(dir, {MOSAIC_PREVIEW}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("mosaic-preview: the OpenGL driver lacks GL_ARB_separate_shader_objects\n"),
              std::string::npos) << run.err;
}
