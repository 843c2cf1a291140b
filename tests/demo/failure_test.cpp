#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>
#include <SDL2/SDL.h>
#include <SDL2/SDL_mixer.h>

#include <unistd.h>

namespace {

const char* const brokenShader = "#version 330 core\nvoid main() { this is not GLSL; }\n";

// What SDL_mixer itself says when it cannot load the track of `dir`, asked the
// way the demo asks: from inside the directory, by the relative name.
std::string mixerLoadError(const WorkDir& dir)
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    EXPECT_EQ(SDL_Init(SDL_INIT_AUDIO), 0) << SDL_GetError();
    Mix_Init(MIX_INIT_OGG);
    EXPECT_EQ(Mix_OpenAudio(22050, AUDIO_S16LSB, 2, 4096), 0) << SDL_GetError();
    char here[4096];
    EXPECT_TRUE(getcwd(here, sizeof here));
    EXPECT_EQ(chdir(dir.path().c_str()), 0);
    Mix_Music* music = Mix_LoadMUS("chiptune2.ogg");
    std::string error = SDL_GetError();
    EXPECT_EQ(chdir(here), 0);
    EXPECT_EQ(music, nullptr) << "the mixer loads this track";
    Mix_CloseAudio();
    Mix_Quit();
    SDL_Quit();
    return error;
}

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
    options.preload.push_back(hideDebugOutputLibrary);
    RunResult run = runDemo(dir, options);
    expectSetupFatal(run, "demo.cpp", message);
    auto err = lines(run.err);
    ASSERT_EQ(err.size(), 2u) << run.err;
    EXPECT_EQ(err[0], debugOutputWarning);
}

}  // namespace

TEST(Failure, MissingTrack)
{
    WorkDir dir;
    dir.remove("chiptune2.ogg");
    std::string error = mixerLoadError(dir);
    ASSERT_FALSE(error.empty());
    expectSetupFatal(runDemo(dir), "demo.cpp", error);
}

TEST(Failure, CorruptTrack)
{
    WorkDir dir;
    dir.write("chiptune2.ogg", "OggS but then nothing a decoder could use\n");
    std::string error = mixerLoadError(dir);
    ASSERT_FALSE(error.empty());
    expectSetupFatal(runDemo(dir), "demo.cpp", error);
}

TEST(Failure, MissingScroller)
{
    WorkDir dir;
    dir.remove("scroller.png");
    expectSetupFatal(runDemo(dir), "demo.cpp", "could not load scroller.png");
}

TEST(Failure, CorruptScroller)
{
    WorkDir dir;
    dir.write("scroller.png", std::string("\x89PNG\r\n\x1a\n", 8) + "truncated");
    expectSetupFatal(runDemo(dir), "demo.cpp", "could not load scroller.png");
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
