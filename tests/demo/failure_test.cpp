#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const brokenShader = "#version 330 core\nvoid main() { this is not GLSL; }\n";

// A failure in scene set-up comes after the three information lines, and the
// report itself adds nothing to standard output.
void expectSetupFatal(const RunResult& run, const std::string& source, const std::string& message)
{
    auto out = lines(run.out);
    EXPECT_EQ(out.size(), 3u) << run.out;
    expectInfoLines(out);
    expectFatal(run, source, message);
}

// Mesa reports compile and link errors through debug output at high severity,
// which ends the demo in its debug callback before its own status test; with
// debug output hidden the test is reached.
void expectBuildFatal(const WorkDir& dir, const std::string& message)
{
    RunOptions options;
    hideGLExtension(options, "GL_ARB_debug_output");
    RunResult run = runDemo(dir, options);
    expectSetupFatal(run, "scene/demo.cpp", message);
    auto err = lines(run.err);
    ASSERT_EQ(err.size(), 2u) << run.err;
    EXPECT_EQ(err[0], debugOutputWarning);
}

}  // namespace

TEST(Failure, MissingTrack)
{
    WorkDir dir;
    dir.remove("chiptune2.ogg");
    expectSetupFatal(runDemo(dir), "scene/demo.cpp", "Couldn't open 'chiptune2.ogg': No such file or directory");
}

TEST(Failure, CorruptTrack)
{
    WorkDir dir;
    dir.write("chiptune2.ogg", "OggS but then nothing a decoder could use\n");
    expectSetupFatal(runDemo(dir), "scene/demo.cpp", "Couldn't open 'chiptune2.ogg': not an Ogg Vorbis track");
}

TEST(Failure, MissingScroller)
{
    WorkDir dir;
    dir.remove("scroller.png");
    expectSetupFatal(runDemo(dir), "scene/demo.cpp", "could not load scroller.png");
}

TEST(Failure, CorruptScroller)
{
    WorkDir dir;
    dir.write("scroller.png", std::string("\x89PNG\r\n\x1a\n", 8) + "truncated");
    expectSetupFatal(runDemo(dir), "scene/demo.cpp", "could not load scroller.png");
}

TEST(Failure, AllShadersMissingNamesTheFirstFileRead)
{
    WorkDir dir;
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag"})
        dir.remove(name);
    expectSetupFatal(runDemo(dir), "main.cpp", "could not open file mosaic.frag");
}

TEST(Failure, MissingVertexShader)
{
    WorkDir dir;
    dir.remove("mosaic.vert");
    expectSetupFatal(runDemo(dir), "main.cpp", "could not open file mosaic.vert");
}

TEST(Failure, MissingSceneShader)
{
    WorkDir dir;
    dir.remove("sdf.frag");
    expectSetupFatal(runDemo(dir), "main.cpp", "could not open file sdf.frag");
}

// The vertex stage is built and tested with the mosaic program, before
// "sdf.frag" is even read.
TEST(Failure, VertexShaderThatDoesNotCompile)
{
    WorkDir dir;
    dir.write("mosaic.vert", brokenShader);
    dir.remove("sdf.frag");
    expectBuildFatal(dir, "Failed to compile shader!");
}

class ShaderFile : public ::testing::TestWithParam<const char*> {};

TEST_P(ShaderFile, ThatDoesNotCompile)
{
    WorkDir dir;
    dir.write(GetParam(), brokenShader);
    expectBuildFatal(dir, "Failed to compile shader!");
}

TEST_P(ShaderFile, ThatIsEmptyIsAnEmptyText)
{
    WorkDir dir;
    dir.write(GetParam(), "");
    expectBuildFatal(dir, "Failed to compile shader!");
}

TEST_P(ShaderFile, ThatIsADirectory)
{
    WorkDir dir;
    dir.makeDirectory(GetParam());
    expectSetupFatal(runDemo(dir), "main.cpp", std::string("could not read file ") + GetParam());
}

INSTANTIATE_TEST_SUITE_P(Failure, ShaderFile, ::testing::Values("mosaic.vert", "mosaic.frag", "sdf.frag"),
                         [](const auto& info) {
                             std::string name = info.param;
                             return name.replace(name.find('.'), 1, "_");
                         });

// With debug output on, the compiler's own message ends the demo first.
TEST(Failure, CompileErrorThroughDebugOutput)
{
    WorkDir dir;
    dir.write("mosaic.frag", brokenShader);
    RunResult run = runDemo(dir);
    EXPECT_EQ(run.status, 1);
    auto err = lines(run.err);
    ASSERT_FALSE(err.empty());
    for (const auto& line : err)
        EXPECT_EQ(line.rfind("[OpenGL] ", 0), 0u) << line;
    EXPECT_NE(run.err.find("error"), std::string::npos) << run.err;
}

// Both stages compile on their own; only linking them together fails.
TEST(Failure, VertexShaderWithoutMain)
{
    WorkDir dir;
    dir.write("mosaic.vert", "#version 330 core\nlayout(location = 0) in vec3 position;\n"
                             "vec4 place() { return vec4(position, 1.0); }\n");
    expectBuildFatal(dir, "Could not link program!");
}

TEST(Failure, StagesThatDisagreeOnAVaryingType)
{
    WorkDir dir;
    dir.write("mosaic.vert", "#version 330 core\nlayout(location = 0) in vec3 position;\nout vec3 vColor;\n"
                             "void main() { vColor = position; gl_Position = vec4(position, 1.0); }\n");
    dir.write("sdf.frag", "#version 330 core\nin vec4 vColor;\nout vec4 color;\n"
                          "void main() { color = vColor; }\n");
    expectBuildFatal(dir, "Could not link program!");
}

namespace {

struct InputFile {
    const char* name;
    const char* source;   // of the report
    const char* message;
};

std::ostream& operator<<(std::ostream& out, const InputFile& file)
{
    return out << file.name;
}

// Each of the five files in turn is something the demo must not wait on or
// read without end.
class SpecialFile : public ::testing::TestWithParam<InputFile> {};

}  // namespace

TEST_P(SpecialFile, EndsTheDemoAtOnce)
{
    const InputFile& file = GetParam();
    for (const char* kind : {"fifo", "device"}) {
        SCOPED_TRACE(kind);
        WorkDir dir;
        if (kind == std::string("fifo"))
            dir.makeFifo(file.name);
        else
            dir.symlink(file.name, "/dev/zero");
        RunOptions options;
        options.timeoutSeconds = 30;
        expectSetupFatal(runDemo(dir, options), file.source, file.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failure, SpecialFile,
    ::testing::Values(InputFile{"mosaic.vert", "main.cpp", "could not read file mosaic.vert"},
                      InputFile{"mosaic.frag", "main.cpp", "could not read file mosaic.frag"},
                      InputFile{"sdf.frag", "main.cpp", "could not read file sdf.frag"},
                      InputFile{"scroller.png", "scene/demo.cpp", "could not load scroller.png"},
                      InputFile{"chiptune2.ogg", "scene/demo.cpp", "Couldn't open 'chiptune2.ogg': not a regular file"}),
    [](const auto& info) {
        std::string name = info.param.name;
        return name.replace(name.find('.'), 1, "_");
    });

namespace {

struct HostileImage {
    const char* name;
    std::function<void(const std::string& path)> write;
};

std::ostream& operator<<(std::ostream& out, const HostileImage& image)
{
    return out << image.name;
}

class HostileScroller : public ::testing::TestWithParam<HostileImage> {};

void writeBigEndian16BitPPM(const std::string& path, int side)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "P6\n" << side << " " << side << "\n65535\n";
    out << std::string(size_t(side) * side * 6, '\x80');
}

}  // namespace

// Images that crashed the decoder or the GL are refused before either sees them.
TEST_P(HostileScroller, IsRefused)
{
    WorkDir dir;
    GetParam().write(dir.path("scroller.png"));
    RunOptions options;
    options.timeoutSeconds = 30;
    expectSetupFatal(runDemo(dir, options), "scene/demo.cpp", "could not load scroller.png");
}

INSTANTIATE_TEST_SUITE_P(
    Failure, HostileScroller,
    ::testing::Values(
        // A megabyte of deflated zeros that the decoder expands to a gigabyte,
        // then overflows converting it to RGBA.
        HostileImage{"Gray16PNGOf23171Squared",
                     [](const std::string& path) { writeBlankPNG(path, 23171, 23171, 16, 0); }},
        // Within the GL's sides, but 64 MiB of RGBA and more.
        HostileImage{"MorePixelsThanTheBudget",
                     [](const std::string& path) { writeBlankPNG(path, 16384, 1025, 8, 0); }},
        HostileImage{"PPMWith16BitSamples",
                     [](const std::string& path) { writeBigEndian16BitPPM(path, 2000); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The refusals stop at the limits, not short of them; a banner wider than
// llvmpipe's textures (16384) loads in pieces.
TEST(Scroller, AsLargeAsTheGLAndTheBudgetAllowLoads)
{
    for (const auto& [w, h] : {std::pair{16384, 1024}, std::pair{16385, 4}}) {
        WorkDir dir;
        writeBlankPNG(dir.path("scroller.png"), w, h, 16, 0);
        RunResult run = runDemo(dir);
        EXPECT_EQ(run.status, 0) << w << "x" << h << ": " << run.err;
        EXPECT_EQ(run.err, "");
    }
}

namespace {

struct ClosedStreams {
    const char* name;
    std::vector<int> closed;
};

std::ostream& operator<<(std::ostream& out, const ClosedStreams& streams)
{
    return out << streams.name;
}

class StartedWithout : public ::testing::TestWithParam<ClosedStreams> {};

}  // namespace

// The X connection must not take a standard descriptor the demo was started
// without: writing the information lines or a report into it would hang.
TEST_P(StartedWithout, RunsToTheEndOrStopsOnAnError)
{
    RunOptions options;
    options.closedStreams = GetParam().closed;
    options.timeoutSeconds = 30;
    {
        SCOPED_TRACE("ordinary run");
        WorkDir dir;
        EXPECT_EQ(runDemo(dir, options).status, 0);
    }
    {
        SCOPED_TRACE("start-up error");
        WorkDir dir;
        dir.remove("scroller.png");
        EXPECT_EQ(runDemo(dir, options).status, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Failure, StartedWithout,
                         ::testing::Values(ClosedStreams{"Output", {1}}, ClosedStreams{"ErrorOutput", {2}},
                                           ClosedStreams{"AnyStandardStream", {0, 1, 2}}),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

bool anyProcessWith(const std::string& variable)
{
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string environment = readFile(entry.path() / "environ");
        for (size_t start = 0; start < environment.size();) {
            size_t end = environment.find('\0', start);
            if (environment.compare(start, end - start, variable) == 0)
                return true;
            start = end == std::string::npos ? end : end + 1;
        }
    }
    return false;
}

}  // namespace

// A test program killed while the demo runs, as a runner's time-out kills
// it, leaves none of its folders and none of its processes behind.
TEST(Failure, KilledTestProgramLeavesNothingBehind)
{
    std::string pattern = (fs::temp_directory_path() / "mosaic-killed-XXXXXX").string();
    const std::string tmp = mkdtemp(pattern.data());
    const std::string variable = "TMPDIR=" + tmp;
    pid_t victim = startTool({"/proc/self/exe", "--gtest_filter=Input.EscapeEndsTheDemo"}, {variable});
    ASSERT_GT(victim, 0);
    auto demoStarted = [&] {
        for (const auto& entry : fs::directory_iterator(tmp))
            if (fs::exists(entry.path() / ".stdout"))
                return true;
        return false;
    };
    bool started = waitFor(demoStarted, waitSeconds);
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
    ASSERT_TRUE(started) << "the demo never started";
    EXPECT_TRUE(waitFor([&] { return fs::is_empty(tmp); }, waitSeconds)) << "left in " << tmp;
    EXPECT_TRUE(waitFor([&] { return !anyProcessWith(variable); }, waitSeconds))
        << "a process of the killed run lives on";
    fs::remove_all(tmp);
}
