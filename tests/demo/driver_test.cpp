// The demo on Mesa's other drivers, each with a shader compiler and rounding
// of its own, as GPUs have: zink (OpenGL on Vulkan, over lavapipe) and
// softpipe, an OpenGL 3.3 driver.
#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace {

const std::vector<std::string> zink = {"LIBGL_ALWAYS_SOFTWARE=1", "GALLIUM_DRIVER=zink",
                                       "MESA_LOADER_DRIVER_OVERRIDE=zink"};
const std::vector<std::string> softpipe = {"LIBGL_ALWAYS_SOFTWARE=1", "GALLIUM_DRIVER=softpipe"};

Image still(const WorkDir& dir, const std::string& data, const char* seconds, const std::vector<std::string>& env = {})
{
    RunOptions options;
    options.env = env;
    RunResult run = runProgram(dir, {MOSAIC_RECORD, "--data", data, "--size", "640x360", "--still", seconds, "still.png"},
                               options);
    EXPECT_EQ(run.status, 0) << run.err;
    return readPNG(dir.path("still.png"));
}

}  // namespace

// The theme and the reprise, whose camera shots once hung on the last bits of
// sin(), against llvmpipe's: on the other drivers, and with sin and cos one
// part in 2.5 million off. Two tiles of 6x6 may fall on the other side of a
// silhouette.
TEST(Drivers, StillsAgreeTileForTile)
{
    WorkDir dir;
    std::filesystem::create_directory(dir.path("perturbed"));
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png", "chiptune2.ogg"}) {
        std::string text = readFile(std::string(dataDir) + "/" + name);
        if (std::strstr(name, ".vert") || std::strstr(name, ".frag"))
            text.insert(text.find('\n') + 1, "#define sin(x) (sin(x) * 1.0000004)\n#define cos(x) (cos(x) * 1.0000004)\n");
        dir.write(std::string("perturbed/") + name, text);
    }
    for (const char* seconds : {"12.5", "60", "66"}) {
        Image reference = still(dir, dataDir, seconds);
        EXPECT_LE(pixelsApart(reference, still(dir, dataDir, seconds, zink)), 72u) << "zink, " << seconds << " s";
        EXPECT_LE(pixelsApart(reference, still(dir, dataDir, seconds, softpipe)), 72u) << "softpipe, " << seconds << " s";
        EXPECT_LE(pixelsApart(reference, still(dir, dir.path("perturbed"), seconds)), 72u) << "perturbed, " << seconds << " s";
    }
}

// Zink's compiler threads are still at work when the demo ends.
TEST(Drivers, DemoPlaysToTheEndOnEachDriver)
{
    const std::pair<std::vector<std::string>, std::string> drivers[] = {
        {zink, "Vendor:  Collabora Ltd"},
        {softpipe, "Version: 3.3 (Core Profile) Mesa"},
        {{"MESA_GL_VERSION_OVERRIDE=4.0"}, "Version: 4.0 (Core Profile) Mesa"}};
    for (const auto& [env, infoLine] : drivers) {
        WorkDir dir;
        RunOptions options;
        options.env = env;
        RunResult run = runDemo(dir, options);
        EXPECT_EQ(run.status, 0) << infoLine << "\n" << run.err;
        EXPECT_NE(run.out.find(infoLine), std::string::npos) << run.out;
    }
}

// A driver short of OpenGL 4.5 that does not list an extension whose entry
// points the scene calls (direct state access, or 4.1's uniform setters) is
// refused by name, not called through a null pointer; the demo refuses it
// before it sets up debug output.
TEST(Drivers, MissingExtensionsAreReported)
{
    for (const std::string extension : {"GL_ARB_direct_state_access", "GL_ARB_separate_shader_objects"}) {
        SCOPED_TRACE(extension);
        WorkDir dir;
        RunOptions options;
        options.env.push_back("MESA_GL_VERSION_OVERRIDE=4.0");
        hideGLExtension(options, extension);
        RunResult run = runDemo(dir, options);
        expectFatal(run, "main.cpp", extension + " required!");
        EXPECT_EQ(lines(run.err).size(), 1u) << "only the report, without the warning:\n" << run.err;
        run = runProgram(dir, {MOSAIC_RECORD, "--size", "64x36", "--still", "0.5", "still.png"}, options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "mosaic-record: the OpenGL context lacks " + extension + "\n");
        run = runProgram(dir, {MOSAIC_PREVIEW}, options);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("mosaic-preview: the OpenGL driver lacks " + extension + "\n"), std::string::npos)
            << run.err;
    }
}

// OpenGL 4.5 has direct state access in core: a driver that has its entry
// points without listing the extension is taken by all three programs.
TEST(Drivers, DirectStateAccessInCoreNeedsNoExtensionName)
{
    WorkDir dir;
    RunOptions options;
    hideGLExtension(options, "GL_ARB_direct_state_access");
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0) << run.err;
    run = runProgram(dir, {MOSAIC_RECORD, "--size", "64x36", "--still", "0.5", "still.png"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    quitOnceBuilt(dir, options);
    run = runProgram(dir, {MOSAIC_PREVIEW}, options);
    EXPECT_EQ(run.status, 0) << run.err;
}

// A start that fails with zink's context alive ends with status 1, not a
// signal: through the debug callback, the information lines written first,
// and, with debug output hidden, through the located report.
TEST(Drivers, FatalStartOnZinkEndsWithStatusOne)
{
    WorkDir dir;
    dir.write("sdf.frag", "#version 330 core\nvoid main() { this is not GLSL; }\n");
    RunOptions options;
    options.env = zink;
    // Without it Mesa's Vulkan device-select layer, looking for a Wayland
    // display, adds its complaint to the report.
    options.env.push_back("XDG_RUNTIME_DIR=" + dir.path());
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 1) << run.err;
    expectInfoLines(lines(run.out));
    auto err = lines(run.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back().rfind("[OpenGL] ", 0), 0u) << run.err;
    hideGLExtension(options, "GL_ARB_debug_output");
    expectFatal(runDemo(dir, options), "scene/demo.cpp", "Failed to compile shader!");
}
