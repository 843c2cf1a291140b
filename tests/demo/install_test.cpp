// The demo and its recorder as `cmake --install` lays them out, started from
// a folder that holds none of their files, and the preview beside them; and
// the Debian package, checked by the tools that distributions and software
// centres check it with.
#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Installs into dir/stage with the short test track in place of the real
// one, and empties the working directory, so that a run can only end well
// if the program found the installed files.
std::string installWithShortTrack(const WorkDir& dir)
{
    const std::string stage = dir.path("stage");
    EXPECT_EQ(runTool({CMAKE_COMMAND, "--install", MOSAIC_BUILD_DIR, "--prefix", stage}), 0);
    fs::rename(dir.path("chiptune2.ogg"), stage + "/share/mosaic-demo/chiptune2.ogg");
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png"})
        dir.remove(name);
    return stage;
}

bool onPath(const std::string& program)
{
    std::istringstream folders(std::getenv("PATH") ? std::getenv("PATH") : "");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// The one file in `folder` whose name ends in `suffix`, or "" and a failure.
std::string onlyFile(const std::string& folder, const std::string& suffix)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(entry.path().string());
    }
    EXPECT_EQ(found.size(), 1u) << "files ending in " << suffix << " in " << folder;
    return found.size() == 1 ? found.front() : "";
}

}  // namespace

TEST(Install, TheLauncherRunsTheInstalledDemoFromAnyFolder)
{
    WorkDir dir(1.0);
    const std::string stage = installWithShortTrack(dir);
    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    RunResult run = runProgram(dir, {stage + "/bin/mosaic-demo"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    expectInfoLines(lines(run.out));
    EXPECT_EQ(run.err, "");
    EXPECT_GE(hook.musicStopped(), 1) << "the demo ended before the music did";

    // The preview finds the same files from where it is installed.
    RunOptions previewOptions;
    quitOnceBuilt(dir, previewOptions);
    RunResult preview = runProgram(dir, {stage + "/bin/mosaic-preview"}, previewOptions);
    EXPECT_EQ(preview.status, 0) << preview.err;
    EXPECT_NE(preview.out.find("built the shaders"), std::string::npos) << preview.out;
    EXPECT_EQ(preview.err, "");
    EXPECT_NE(runProgram(dir, {"zcat", stage + "/share/man/man6/mosaic-demo.6.gz"}).out.find(stage + "/share/mosaic-demo"),
              std::string::npos) << "mosaic-demo(6) names another data folder";
}

TEST(Install, TheRecorderFindsTheInstalledFilesAndWritesWhereTheUserIs)
{
    WorkDir dir(1.0);
    const std::string stage = installWithShortTrack(dir);
    RunResult run = runProgram(dir, {stage + "/bin/mosaic-record", "--size", "64x36", "--fps", "10", "short.mp4"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("frame 10/10"), std::string::npos) << run.err;
    EXPECT_GT(fs::file_size(dir.path("short.mp4")), 0u);
}

// help2man makes an option of --help one tagged paragraph only where its text
// keeps one column; otherwise the page splits it (.IP) or tags the whole line
// (.HP, or a tag with no text after it).
TEST(Install, TheManualPagesTagEveryOptionOnce)
{
    WorkDir dir;
    for (const auto& [name, program] : {std::pair{"mosaic-record", MOSAIC_RECORD}, {"mosaic-preview", MOSAIC_PREVIEW}}) {
        const std::string page = readFile(std::string(MOSAIC_BUILD_DIR) + "/man/" + name + ".1");
        EXPECT_TRUE(page.find("\n.IP") == std::string::npos && page.find("\n.HP") == std::string::npos) << page;
        for (const std::string& line : lines(runProgram(dir, {program, "--help"}).out)) {
            if (line.rfind("  -", 0) != 0)
                continue;
            const std::string option = line.substr(2, line.find(' ', 2) - 2);
            std::string tag = "\n.TP\n\\fB";
            for (char c : option)
                tag += c == '-' ? std::string("\\-") : std::string(1, c);
            const size_t at = page.find(tag + "\\fR");
            EXPECT_TRUE(at != std::string::npos && page.find(tag + "\\fR", at + 1) == std::string::npos &&
                        page[page.find('\n', at + tag.size()) + 1] != '.') << name << " " << option << "\n" << page;
        }
    }
}

// The package as CPack builds it: lintian finds no error and no warning,
// and its menu entry and AppStream metadata pass their validators.
TEST(Install, ThePackagePassesLintianAndTheMenuAndMetadataValidators)
{
    for (const char* tool : {"lintian", "desktop-file-validate", "appstreamcli", "dpkg-deb"})
        if (!onPath(tool))
            GTEST_SKIP() << tool << " is not installed: ./install-deps.sh installs it";
    WorkDir dir;
    RunOptions slow;
    slow.timeoutSeconds = 300;
    RunResult run = runProgram(dir, {CMAKE_CPACK_COMMAND, "-G", "DEB", "--config",
                                     std::string(MOSAIC_BUILD_DIR) + "/CPackConfig.cmake", "-B", dir.path("package")},
                               slow);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string deb = onlyFile(dir.path("package"), ".deb");
    ASSERT_NE(deb, "") << run.out;

    run = runProgram(dir, {"lintian", "--fail-on", "error,warning", deb}, slow);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "");

    ASSERT_EQ(runTool({"dpkg-deb", "-x", deb, dir.path("root")}), 0);
    const std::string page = runProgram(dir, {"zcat", dir.path("root/usr/share/man/man6/mosaic-demo.6.gz")}).out;
    EXPECT_NE(page.find(" /usr/share/mosaic-demo"), std::string::npos) << "mosaic-demo(6) names another data folder";
    run = runProgram(dir, {"desktop-file-validate", onlyFile(dir.path("root/usr/share/applications"), ".desktop")});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out + run.err, "");
    run = runProgram(dir, {"appstreamcli", "validate", "--no-net",
                           onlyFile(dir.path("root/usr/share/metainfo"), ".metainfo.xml")});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
}
