// mosaic-record run for real: EGL on Mesa, the ffmpeg program, its output
// read back by ffprobe, and its stills held against the demo's own window.
#include "harness.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/mount.h>

namespace {

const char* const recorder = MOSAIC_RECORD;
const char* const toneSync = MOSAIC_TONE_SYNC;

RunResult record(const WorkDir& dir, std::vector<std::string> args, const RunOptions& options = {})
{
    args.insert(args.begin(), recorder);
    return runProgram(dir, args, options);
}

// What ffprobe says of each stream of `path`, frames counted by decoding,
// keyed "<codec_type>.<field>", and the container's "duration".
std::map<std::string, std::string> probe(const std::string& path)
{
    std::string command = "ffprobe -v error -count_frames -show_entries "
                          "stream=codec_type,codec_name,width,height,nb_read_frames:format=duration "
                          "'" + path + "'";
    std::map<std::string, std::string> fields;
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_TRUE(pipe) << command;
    if (!pipe)
        return fields;
    std::map<std::string, std::string> section;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        text.erase(text.find_last_not_of('\n') + 1);
        auto equals = text.find('=');
        if (equals != std::string::npos)
            section[text.substr(0, equals)] = text.substr(equals + 1);
        if (text == "[/STREAM]")
            for (const auto& [key, value] : section)
                fields[section["codec_type"] + "." + key] = value;
        if (text == "[/FORMAT]")
            fields["duration"] = section["duration"];
        if (text[0] == '[')
            section.clear();
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return fields;
}

size_t differingPixels(const Image& a, const Image& b)
{
    size_t count = 0;
    for (size_t i = 0; i + 2 < a.rgb.size() && i + 2 < b.rgb.size(); i += 3)
        count += a.rgb[i] != b.rgb[i] || a.rgb[i + 1] != b.rgb[i + 1] || a.rgb[i + 2] != b.rgb[i + 2];
    return count;
}

// Mean absolute difference of two pictures' channels.
double meanDifference(const Image& a, const Image& b)
{
    if (a.rgb.size() != b.rgb.size() || a.rgb.empty())
        return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i)
        sum += std::abs(int(a.rgb[i]) - int(b.rgb[i]));
    return sum / double(a.rgb.size());
}

// A recording that fails must leave the earlier file of its name as it was
// and nothing of its own beside it.
const std::string earlierRecording = "an earlier recording, byte for byte\n";

void expectUntouched(const std::string& folder, const RunResult& run)
{
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(folder + "/keep.mp4 left untouched\n"), std::string::npos)
        << run.err;
    EXPECT_EQ(readFile(folder + "/keep.mp4"), earlierRecording);
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        EXPECT_NE(entry.path().filename().string().rfind(".keep.mp4.", 0), 0u) << entry.path() << " left behind";
}

// A tmpfs too small for the recording, mounted for the test's life.
struct SmallDisk {
    explicit SmallDisk(const std::string& where) : path(where)
    {
        std::filesystem::create_directory(path);
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=16k") == 0;
        error = mounted ? 0 : errno;
    }
    ~SmallDisk()
    {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
    }
    std::string path;
    bool mounted = false;
    int error = 0;
};

}  // namespace

// The picture at video time t is what is heard at t: a tone out of silence
// and the first frame whose timeline, worked out by the real "mosaic.vert",
// has reached it are within a frame (20 ms) of each other.
TEST(Record, PictureLandsOnTheSound)
{
    WorkDir dir;
    RunResult run = runProgram(dir, {toneSync, recorder, dir.path(), "50"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NEAR(std::atof(run.out.c_str()), 0, 20) << "ms from the picture to the sound";
}

// 1.05 s at 10 frames a second needs an 11th frame to cover the track's end.
TEST(Record, VideoCoversTheTrackWithPictureAndSound)
{
    WorkDir dir(1.05);
    for (bool webm : {false, true}) {
        SCOPED_TRACE(webm ? "webm" : "mp4");
        std::string name = webm ? "short.webm" : "short.mp4";
        std::vector<std::string> args = {"--size", "320x180", "--fps", "10", name};
        if (webm)
            args.insert(args.begin(), "--webm");
        RunResult run = record(dir, args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("frame 11/11"), std::string::npos) << run.err;
        auto fields = probe(dir.path(name));
        EXPECT_EQ(fields["video.codec_name"], webm ? "vp9" : "h264");
        EXPECT_EQ(fields["video.width"], "320");
        EXPECT_EQ(fields["video.height"], "180");
        EXPECT_EQ(fields["video.nb_read_frames"], "11");
        EXPECT_EQ(fields["audio.codec_name"], webm ? "vorbis" : "aac");
        EXPECT_NEAR(std::atof(fields["duration"].c_str()), 1.1, 0.03) << fields["duration"];
    }
}

// Frames are read back, converted and sent while later ones are drawn; each
// frame of the video must still be the picture of its own clock and pointer.
// The sweep makes every frame differ from its neighbours, and H.264 leaves
// each nearer its own still than to theirs. Decoded with exact rounding, a
// frame is within a level of its still on average; one with its rows upside
// down or its two colour differences swapped is not.
TEST(Record, EachFrameOfTheVideoIsTheStillOfItsTime)
{
    WorkDir dir(1.05);
    const std::vector<std::string> common = {"--size", "320x180", "--fps", "10", "--sweep"};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), common.begin(), common.end());
        RunResult result = record(dir, args);
        EXPECT_EQ(result.status, 0) << result.err;
    };
    run({"sweep.mp4"});
    std::string command = "ffmpeg -v error -i '" + dir.path("sweep.mp4") +
                          "' -sws_flags accurate_rnd+full_chroma_int '" +
                          dir.path("decoded-%02d.png") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<Image> stills;
    for (int frame = 3; frame <= 7; ++frame) {
        std::string name = "still-" + std::to_string(frame) + ".png";
        run({"--still", std::to_string(frame / 10.0), name});
        stills.push_back(readPNG(dir.path(name)));
    }
    for (int frame = 4; frame <= 6; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        char name[32];
        std::snprintf(name, sizeof name, "decoded-%02d.png", frame + 1);
        Image decoded = readPNG(dir.path(name));
        double own = meanDifference(decoded, stills[frame - 3]);
        EXPECT_LT(own, 1.4);
        EXPECT_LT(own, meanDifference(decoded, stills[frame - 4]));
        EXPECT_LT(own, meanDifference(decoded, stills[frame - 2]));
    }
}

// The demo under Xvfb, its clock stepped 20 ms a frame, against the recorder
// at 50 frames a second: frame n of the demo runs its clock at (n - 1) x
// 20 ms and shows the track that much less its wait for the first buffer on
// the dummy driver, which takes at most a buffer (186 ms) of real time, some
// 15 frames here. The tiles change between 0.44 s and 0.46 s,
// so a recorder one frame off would show. The pointer stands in the
// recorder's default column, the window's centre.
TEST(Record, StillIsTheDemosWindowAtTheSameClock)
{
    WorkDir dir(1.0);
    std::string frames;
    for (int frame = 24; frame <= 44; ++frame)
        frames += std::to_string(frame) + ",";
    FrameHook hook(dir, frames);
    RunOptions options;
    hook.addTo(options);
    options.env.push_back("FRAMEHOOK_FRAME_MS=20");
    xdotool({"mousemove", "960", "540"});
    RunResult demo = runDemo(dir, options);
    ASSERT_EQ(demo.status, 0) << demo.err;
    int frame = 24;
    while (frame < 44 && hook.shownSeconds(frame) < 0.455)
        ++frame;
    ASSERT_NEAR(hook.shownSeconds(frame), 0.46, 0.001) << "no frame of the grabbed ones shows 0.46 s";
    Image window = hook.frame(std::to_string(frame));
    ASSERT_EQ(window.width, 1920);
    ASSERT_EQ(window.height, 1080);
    for (const char* seconds : {"0.46", "0.44"}) {
        RunResult run = record(dir, {"--fps", "50", "--mouse-x", "960", "--still", seconds, "still.png"});
        ASSERT_EQ(run.status, 0) << run.err;
        Image still = readPNG(dir.path("still.png"));
        ASSERT_EQ(still.width, 1920);
        ASSERT_EQ(still.height, 1080);
        if (std::string(seconds) == "0.46")
            EXPECT_EQ(differingPixels(window, still), 0u) << "pixels differ at the same track time";
        else
            EXPECT_GT(differingPixels(window, still), 0u) << "the clock makes no difference";
    }
}

// A sweep over 1 s at 10 frames a second, 480 pixels wide, ends at column
// 476 in its tenth frame, so its sixth stands at 5 x 476 / 9 = 264. A pointer
// in the three rightmost columns stops the clock.
TEST(Record, PointerFollowsItsPath)
{
    WorkDir dir(1.0);
    auto still = [&](std::vector<std::string> args, const std::string& name) {
        args.insert(args.end(), {"--size", "480x270", "--fps", "10", "--still"});
        args.insert(args.end(), name);
        args.insert(args.end(), name + ".png");
        RunResult run = record(dir, args);
        EXPECT_EQ(run.status, 0) << run.err;
        return readPNG(dir.path(name + ".png"));
    };
    Image swept = still({"--sweep"}, "0.5");
    Image held = still({"--mouse-x", "264"}, "0.5");
    EXPECT_EQ(differingPixels(swept, held), 0u);
    Image elsewhere = still({"--mouse-x", "100"}, "0.5");
    EXPECT_GT(differingPixels(swept, elsewhere), 0u) << "the pointer makes no difference";

    Image early = still({"--mouse-x", "478"}, "0.1");
    Image late = still({"--mouse-x", "478"}, "0.9");
    EXPECT_EQ(differingPixels(early, late), 0u) << "the clock ran in the freezing columns";
    early = still({"--mouse-x", "476"}, "0.1");
    late = still({"--mouse-x", "476"}, "0.9");
    EXPECT_GT(differingPixels(early, late), 0u) << "the clock stood still left of them";
}

// "mosaic.frag" draws the banner apart from the tiles, over only the strip
// that "mosaic.vert" gives it. Its pictures must be those of the same shader
// drawing the banner with the tiles in one pass: as the banner enters on the
// right, with its wave's crests mid-run, as it leaves on the left, and on a
// smaller screen, where it is drawn at its own size.
TEST(Record, BannerDrawnApartIsTheOnePassBanner)
{
    WorkDir dir(1.0);
    dir.makeDirectory("one-pass");
    for (const char* name : {"scroller.png", "chiptune2.ogg"})
        std::filesystem::copy_file(std::string(dataDir) + "/" + name, dir.path(name),
                                   std::filesystem::copy_options::overwrite_existing);
    for (const char* name : {"mosaic.vert", "sdf.frag", "scroller.png", "chiptune2.ogg"})
        std::filesystem::copy_file(dir.path(name), dir.path(std::string("one-pass/") + name));
    std::string onePass = readFile(dir.path("mosaic.frag"));
    onePass = onePass.substr(0, onePass.find("void main()")) + R"(void main()
{
    vec4 text = scrollText(gl_FragCoord.xy);
    color = vec4(mix(tile(gl_FragCoord.xy), text.rgb, text.a), 1.0);
}
)";
    for (size_t at = onePass.find("BANNER"); at != std::string::npos; at = onePass.find("BANNER"))
        onePass.replace(at, 6, "banner");
    dir.write("one-pass/mosaic.frag", onePass);

    for (auto [size, seconds] : {std::pair{"1920x1080", "14.6"}, {"1920x1080", "45"}, {"1920x1080", "73.9"},
                                 {"1366x768", "45"}}) {
        RunResult run = record(dir, {"--size", size, "--still", seconds, "apart.png"});
        ASSERT_EQ(run.status, 0) << run.err;
        run = record(dir, {"--data", "one-pass", "--size", size, "--still", seconds, "one-pass.png"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(differingPixels(readPNG(dir.path("apart.png")), readPNG(dir.path("one-pass.png"))), 0u)
            << size << " at " << seconds << " s";
    }
}

// ffmpeg failing after a few frames, as on a full disk: the stand-in writes a
// part of its output first, so a recorder that handed it the real name would
// lose the earlier file.
TEST(Record, FailingFfmpegLeavesTheEarlierOutput)
{
    WorkDir dir(1.0);
    dir.write("keep.mp4", earlierRecording);
    dir.makeDirectory("bin");
    dir.write("bin/ffmpeg", "#!/bin/sh\n"
                            "for output; do :; done\n"
                            "head -c 20000 > \"$output\"\n"
                            "echo \"$output: No space left on device\" >&2\n"
                            "exit 1\n");
    std::filesystem::permissions(dir.path("bin/ffmpeg"), std::filesystem::perms::owner_all);
    RunOptions failing;
    failing.env.push_back("PATH=" + dir.path("bin") + ":" + std::getenv("PATH"));
    RunResult run = record(dir, {"--size", "64x36", "--fps", "30", "keep.mp4"}, failing);
    EXPECT_NE(run.err.find("mosaic-record: ffmpeg failed with exit status 1\n"), std::string::npos) << run.err;
    expectUntouched(dir.path(), run);
}

TEST(Record, FullDiskLeavesTheEarlierOutput)
{
    WorkDir dir(1.0);
    SmallDisk disk(dir.path("small"));
    if (!disk.mounted)
        GTEST_SKIP() << "no small tmpfs to fill: mounting one needs root (" << std::strerror(disk.error) << ")";
    dir.write("small/keep.mp4", earlierRecording);
    RunResult run = record(dir, {"--size", "64x36", "--fps", "10", "small/keep.mp4"});
    EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
    expectUntouched(disk.path, run);
}

// SIGINT once the recording has begun to fill its hidden file.
TEST(Record, InterruptionLeavesTheEarlierOutput)
{
    WorkDir dir(60.0);
    dir.write("keep.mp4", earlierRecording);
    RunOptions interrupt;
    interrupt.input = [&](pid_t recorder) {
        auto started = [&] {
            for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
                if (entry.path().filename().string().rfind(".keep.mp4.", 0) == 0 && entry.file_size() > 0)
                    return true;
            return false;
        };
        if (waitWhileRunning(recorder, started, "the recording had begun"))
            kill(recorder, SIGINT);
    };
    RunResult run = record(dir, {"--size", "160x90", "--fps", "10", "keep.mp4"}, interrupt);
    EXPECT_NE(run.err.find("mosaic-record: interrupted; "), std::string::npos) << run.err;
    expectUntouched(dir.path(), run);
}

// The scene's files in a folder of their own, named by --data, while the
// still lands where the user stands.
TEST(Record, DataFolderIsApartFromTheOutput)
{
    WorkDir dir(1.0);
    dir.makeDirectory("data");
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag", "scroller.png", "chiptune2.ogg"})
        std::filesystem::rename(dir.path(name), dir.path(std::string("data/") + name));
    RunResult run = record(dir, {"--data", "data", "--size", "64x36", "--fps", "10", "--still", "0.5", "still.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readPNG(dir.path("still.png")).width, 64);
    EXPECT_FALSE(std::ifstream(dir.path("data/still.png")));

    run = record(dir, {"--data", "nowhere", "--still", "0.5", "still.png"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mosaic-record: could not enter the data folder nowhere: No such file or directory\n");
}

TEST(Record, HelpNamesEveryOption)
{
    WorkDir dir;
    RunResult run = record(dir, {"--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* option : {"--webm", "--size", "--fps", "--mouse-x", "--sweep", "--still", "--data", "OUTPUT",
                               "chiptune2.ogg", "ffmpeg", "EGL", "exit status 1"})
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
}

struct BadRun {
    std::vector<std::string> args;
    std::string message;
};

// Each is refused with a message and status 1 before anything is written.
TEST(Record, BadOptionsAreRefused)
{
    WorkDir dir(1.0);
    const std::vector<BadRun> runs = {
        {{"--fps", "0"}, "--fps 0: expected a whole number from 1 to 240"},
        {{"--fps", "30x"}, "--fps 30x: expected a whole number from 1 to 240"},
        {{"--fps"}, "--fps needs a value (see --help)"},
        {{"--data"}, "--data needs a value (see --help)"},
        {{"--size", "321x180"}, "--size 321x180: expected WxH, even numbers from 16 to 8192"},
        {{"--size", "640"}, "--size 640: expected WxH, even numbers from 16 to 8192"},
        {{"--size", "99999999999x2"}, "--size 99999999999x2: expected WxH, even numbers from 16 to 8192"},
        {{"--mouse-x", "1920"}, "--mouse-x 1920: the picture is only 1920 pixels wide"},
        {{"--mouse-x", "-1"}, "--mouse-x -1: expected a pixel column"},
        {{"--sweep", "--mouse-x", "4"}, "--sweep and --mouse-x exclude each other"},
        {{"--still", "later", "a.png"}, "--still later: expected a time in seconds"},
        {{"--still", "0.5"}, "--still needs a time and a PNG file (see --help)"},
        {{"--still", "1.5", "a.png"}, "--still 1.5: the track ends at 1.000 s"},
        {{"--still", "1e300", "a.png"}, "--still 1e+300: the track ends at 1.000 s"},
        {{"--still", "0.5", "a.png", "b.mp4"}, "--still writes only its PNG, not b.mp4"},
        {{"--frames", "3"}, "unknown option --frames (see --help)"},
        {{"a.mp4", "b.mp4"}, "more than one output file: a.mp4 and b.mp4"},
    };
    for (const auto& bad : runs) {
        RunResult run = record(dir, bad.args);
        EXPECT_EQ(run.status, 1) << bad.message;
        EXPECT_EQ(run.err, "mosaic-record: " + bad.message + "\n");
    }
    EXPECT_FALSE(std::ifstream(dir.path("mosaic.mp4")));
}

TEST(Record, MissingFilesAndToolsAreReported)
{
    WorkDir dir(1.0);
    std::vector<std::string> small = {"--size", "64x36", "--fps", "5", "out.mp4"};

    RunOptions noFfmpeg;
    noFfmpeg.env.push_back("PATH=/nonexistent");
    RunResult run = record(dir, small, noFfmpeg);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mosaic-record: could not start ffmpeg: No such file or directory\n"
                       "mosaic-record: " + dir.path("out.mp4") + " left untouched\n");

    run = record(dir, {"--size", "64x36", "--fps", "5", "no-such-folder/out.mp4"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mosaic-record: could not write beside " + dir.path("no-such-folder/out.mp4") +
                       ": No such file or directory\n");

    // A working directory removed under it leaves the output nowhere to go.
    dir.makeDirectory("gone");
    run = runProgram(dir, {"/bin/sh", "-c", "cd gone && rmdir ../gone && exec \"$0\" --still 0.5 still.png",
                           recorder});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mosaic-record: could not tell where still.png is: No such file or directory\n");

    RunOptions noEGL;
    noEGL.env.push_back("__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent");
    run = record(dir, small, noEGL);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mosaic-record: no EGL display: neither the surfaceless nor the device platform "
                       "is available\n");

    dir.remove("mosaic.frag");
    run = record(dir, small);
    expectFatal(run, "record/recorder.cpp", "could not open file mosaic.frag");

    dir.makeFifo("chiptune2.ogg");
    run = record(dir, small);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mosaic-record: chiptune2.ogg is not a regular file\n");

    dir.remove("chiptune2.ogg");
    run = record(dir, small);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("mosaic-record: could not load chiptune2.ogg: ", 0), 0u) << run.err;
    EXPECT_FALSE(std::ifstream(dir.path("out.mp4")));
}
