// The web page in Debian's chromium, its WebGL2 through ANGLE on the test
// display's llvmpipe: its stills against the recorder's, its sound on a
// private PulseAudio, and the faults it reports.
#include "chromium-page.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <signal.h>
#include <sys/wait.h>

namespace {

const int width = 640;
const int height = 360;

std::string display()
{
    const char* name = std::getenv("DISPLAY");
    return name ? name : "";
}

// The built page copied into `dir`/page, for a test to break a file of it.
std::string copyOfPage(const WorkDir& dir)
{
    std::filesystem::copy(MOSAIC_WEB_PAGE, dir.path("page"), std::filesystem::copy_options::recursive);
    return dir.path("page");
}

// What the page says of itself, for a failure's message.
std::string described(ChromiumPage& page)
{
    return "window.mosaic: " + page.evaluate("window.mosaic").dump() + "\n" + page.log();
}

// The recorder's picture at `seconds`, the page's size, the pointer in the
// middle.
Image recorderStill(const char* seconds)
{
    WorkDir dir;
    RunResult run = runProgram(dir, {MOSAIC_RECORD, "--data", dataDir, "--size", "640x360", "--still", seconds,
                                     "still.png"});
    EXPECT_EQ(run.status, 0) << run.err;
    return readPNG(dir.path("still.png"));
}

class Page : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::filesystem::exists(MOSAIC_WEB_PAGE "/index.html"))
            << "no page in " MOSAIC_WEB_PAGE ": build it first";
    }
};

class Stills : public Page, public testing::WithParamInterface<const char*> {};

}  // namespace

// Waiting to be started at a place in the track, the page shows what the
// recorder records there, drawn by the driver under test, not SwiftShader.
TEST_P(Stills, MatchTheRecordersTileForTile)
{
    const char* seconds = GetParam();
    const Image recorded = recorderStill(seconds);
    ASSERT_EQ(recorded.width, width) << "no still from the recorder";

    FolderServer server(MOSAIC_WEB_PAGE);
    ChromiumPage page(display(), width, height);
    page.open(server.url(std::string("index.html?t=") + seconds));
    EXPECT_NE(page.evaluate("(() => { const gl = document.createElement('canvas').getContext('webgl2');"
                            " return gl.getParameter(gl.getExtension('WEBGL_debug_renderer_info')"
                            ".UNMASKED_RENDERER_WEBGL); })()")
                  .dump()
                  .find("llvmpipe"),
              std::string::npos)
        << "WebGL2 is not drawn by Mesa's llvmpipe";
    ASSERT_TRUE(page.waitUntil("mosaic.state == 'ready' && mosaic.frames >= 2")) << described(page);
    ASSERT_EQ(page.evaluate("[innerWidth, innerHeight, devicePixelRatio]"), nlohmann::json({width, height, 1}));
    // The recorder's pointer is in the middle; the page draws anew for the move.
    const int drawn = page.evaluate("mosaic.frames").get<int>();
    page.mouseMove(width / 2, height / 2);
    ASSERT_TRUE(page.waitUntil("mosaic.frames >= " + std::to_string(drawn + 2))) << described(page);
    page.evaluate("document.getElementById('notice').hidden = true");
    const Image shown = page.screenshot();
    ASSERT_EQ(shown.width, width);
    ASSERT_EQ(shown.height, height);
    const size_t apart = pixelsApart(recorded, shown);
    RecordProperty(std::string("pixelsApart") + seconds, std::to_string(apart));
    EXPECT_LE(apart, 72u) << "the page and the recorder at " << seconds << " s";
    EXPECT_EQ(page.evaluate("mosaic.state"), "ready") << "the page started by itself";
}

INSTANTIATE_TEST_SUITE_P(Track, Stills, testing::Values("12.5", "60", "66"), [](const auto& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '.', '_');
    return "At" + name;
});

// Started by a key near the track's end, the page is heard through the
// sound server until it ends, says so and plays again from the start on a click.
TEST_F(Page, PlaysToTheEndAndAgain)
{
    TestServer sound = TestServer::pulseAudio();
    ASSERT_TRUE(sound.started());
    WorkDir dir;
    const std::string said = dir.path("recorder.out");
    pid_t recording = startTool({MOSAIC_MONITOR_CAPTURE, "heard.monitor", dir.path("monitor.raw"),
                                 dir.path("monitor.reads")},
                                sound.clientEnv(), said);
    ASSERT_TRUE(waitFor([&] { return readFile(said).find("recording") != std::string::npos; }, waitSeconds))
        << "the sink is not recorded";

    FolderServer server(MOSAIC_WEB_PAGE);
    ChromiumPage page(display(), width, height, {"--autoplay-policy=no-user-gesture-required"}, sound.clientEnv());
    page.open(server.url("index.html?t=76"));
    ASSERT_TRUE(page.waitUntil("mosaic.state == 'ready'")) << described(page);
    page.key("Enter", "Enter", 13);
    EXPECT_TRUE(page.waitUntil("mosaic.state == 'playing'")) << described(page);
    EXPECT_TRUE(page.waitUntil("mosaic.state == 'ended'")) << described(page);
    kill(recording, SIGTERM);
    waitpid(recording, nullptr, 0);
    const std::string bytes = readFile(dir.path("monitor.raw"));
    int loudest = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        int16_t sample;
        std::memcpy(&sample, &bytes[i], 2);
        loudest = std::max(loudest, std::abs(int(sample)));
    }
    EXPECT_GT(loudest, 1000) << "the sink heard only silence";
    EXPECT_NE(page.evaluate("mosaic.notice").dump().find("again"), std::string::npos) << described(page);
    EXPECT_EQ(page.evaluate("document.getElementById('notice').hidden"), false);

    page.click(width / 2, height / 2);
    ASSERT_TRUE(page.waitUntil("mosaic.state == 'playing'")) << described(page);
    // Played again from 76 s it would end within 4 s.
    EXPECT_FALSE(page.waitUntil("mosaic.state != 'playing'", 8)) << described(page);
}

// What the page cannot run without is said on the page as the desktop says
// it, and the page stops.
TEST_F(Page, FaultsAreReportedOnThePage)
{
    struct Fault {
        const char* file;                // broken in a copy of the page
        const char* contents;            // the file's new text; none removes it
        std::vector<std::string> flags;
        const char* notice;
    };
    const Fault faults[] = {{"sdf.frag", "\nthis is not GLSL\n", {}, "Failed to compile shader!"},
                            {"scroller.png", nullptr, {}, "could not load scroller.png"},
                            {"chiptune2.ogg", nullptr, {}, "Couldn't open 'chiptune2.ogg': No such file or directory"},
                            {nullptr, nullptr, {"--disable-webgl2"}, "WebGL2"}};
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.file ? fault.file : fault.flags.front());
        WorkDir dir;
        const std::string folder = copyOfPage(dir);
        if (fault.file && fault.contents)
            dir.write(std::string("page/") + fault.file, readFile(folder + "/" + fault.file) + fault.contents);
        else if (fault.file)
            dir.remove(std::string("page/") + fault.file);
        FolderServer server(folder);
        ChromiumPage page(display(), width, height, fault.flags);
        page.open(server.url("index.html"));
        EXPECT_TRUE(page.waitUntil("mosaic.state == 'failed'")) << described(page);
        const nlohmann::json shown = page.evaluate(
            "(() => { const notice = document.getElementById('notice');"
            " return [notice.hidden, notice.textContent, mosaic.notice]; })()");
        EXPECT_EQ(shown[0], false) << "the notice is hidden";
        EXPECT_NE(shown[1].dump().find(fault.notice), std::string::npos) << described(page);
        EXPECT_EQ(shown[1], shown[2]) << "window.mosaic.notice is not what the page shows";
    }
}

// Given a camera (chromium's own test pattern), ?camera shows it through the
// mosaic in place of the scene; refused or absent, a line of its own says so
// and the scene plays.
TEST_F(Page, ShowsTheCameraOrSaysWhyNot)
{
    const Image scene = recorderStill("30");
    ASSERT_EQ(scene.width, width) << "no still from the recorder";
    struct Camera {
        const char* name;
        std::vector<std::string> flags;
        const char* line;                // "" when the camera shows
    };
    const Camera cameras[] = {
        {"given", {"--use-fake-device-for-media-stream", "--use-fake-ui-for-media-stream"}, ""},
        {"refused", {"--use-fake-device-for-media-stream", "--deny-permission-prompts"}, "The camera was refused"},
        {"absent", {"--use-fake-ui-for-media-stream"}, "No camera was found"}};
    FolderServer server(MOSAIC_WEB_PAGE);
    for (const Camera& camera : cameras) {
        SCOPED_TRACE(camera.name);
        ChromiumPage page(display(), width, height, camera.flags);
        page.open(server.url("index.html?camera&t=30"));
        ASSERT_TRUE(page.waitUntil(*camera.line ? "!document.getElementById('camera').hidden"
                                                : "Module.camera.video.currentTime > 0.5"))
            << described(page);
        const int drawn = page.evaluate("mosaic.frames").get<int>();
        page.mouseMove(width / 2, height / 2);
        ASSERT_TRUE(page.waitUntil("mosaic.frames >= " + std::to_string(drawn + 2))) << described(page);
        const std::string line = page.evaluate("document.getElementById('camera').textContent");
        page.evaluate("document.getElementById('notice').hidden = document.getElementById('camera').hidden = true");
        const Image shown = page.screenshot();
        const size_t apart = pixelsApart(scene, shown);
        EXPECT_NE(line.find(camera.line), std::string::npos) << line;
        if (*camera.line) {
            EXPECT_LE(apart, 72u) << "the scene plays";
            continue;
        }
        EXPECT_GT(apart, size_t(width * height / 4)) << "the camera's picture takes the scene's place";
        // Chrome's test pattern is green all over; before its pictures come
        // the tiles are dark.
        size_t green = 0;
        for (size_t i = 1; i < shown.rgb.size(); i += 3)
            green += shown.rgb[i] > 64;
        EXPECT_GT(green, size_t(width * height / 2)) << "no picture from the camera";
    }
}
