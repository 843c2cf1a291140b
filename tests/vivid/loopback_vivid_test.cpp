// Runs inside the qemu guest that run-vivid.sh boots: the demo plays a track
// of beeps through ALSA with no sound server, into the kernel's loopback
// card, whose other end is recorded with the card's own time stamps.
#include "harness.h"
#include "vivid_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/wait.h>

namespace {

const int recordedRate = 48000;  // loopback-capture's
// A beep on each second from 2 s, past the slow first frames of the guest;
// the track ends a second after the last.
const int firstBeep = 2;
const int lastBeep = 4;
// The sync test's: well inside what people notice, under one slip of a
// sound server's largest quantum.
const double toleratedSeconds = 0.025;

// The camera's test shaders, but for a picture that takes mosaic.vert's
// timeline: its uniforms are then kept, and the frame hook sees the track
// time each frame shows.
const char* const timedMosaic =
    "#version 330 core\nflat in vec4 vShow;\nout vec4 colour;\nvoid main() { colour = vec4(vShow.rgb, 1.0); }\n";

void useTimedShaders(const WorkDir& dir)
{
    useTestShaders(dir);
    dir.write("mosaic.frag", timedMosaic);
}

void writeBeepTrack(const WorkDir& dir)
{
    ASSERT_EQ(runTool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                       "aevalsrc=if(gte(t\\," + std::to_string(firstBeep) + ")*lt(mod(t\\,1)\\,0.05)\\,0.5*sin(2*PI*1000*t)\\,0):s=44100:d=" +
                           std::to_string(lastBeep + 1),
                       "-c:a", "libvorbis", "-y", dir.path("chiptune2.ogg")}),
              0);
}

// ALSA's "default" device, for the demo alone, is the card's playback end.
void playIntoTheLoopback(const WorkDir& dir, RunOptions& options)
{
    dir.makeDirectory("alsa");
    dir.write("alsa/asoundrc", "pcm.!default { type plug slave.pcm \"hw:Loopback,0,0\" }\n");
    options.env.push_back("XDG_CONFIG_HOME=" + dir.path());
    options.env.push_back("SDL_AUDIODRIVER=alsa");
}

// When each beep began to come out of the card, on the frame hook's clock:
// the first loud sample after a quiet half second. The recorder's time
// stamps each place a sample in time; the earliest of them is the least
// delayed by the card's coarse position.
std::vector<double> beepsOut(const std::string& samplesFile, const std::string& timesFile)
{
    const std::string bytes = readFile(samplesFile);
    std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
    std::ifstream times(timesFile);
    double origin = 1e300;
    for (long long ns = 0, sample = 0; times >> ns >> sample;)
        origin = std::min(origin, ns * 1e-9 - double(sample) / recordedRate);
    std::vector<double> out;
    long long lastLoud = -recordedRate;
    for (long long i = 0; i < static_cast<long long>(samples.size()); ++i) {
        if (std::abs(samples[i]) < 4000)
            continue;
        if (i - lastLoud > recordedRate / 2)
            out.push_back(origin + double(i) / recordedRate);
        lastLoud = i;
    }
    return out;
}

// How late the sound of the frames about the place `beep` came out after
// each was seen, the median of them: a place `d` past the beep comes out `d`
// after it. Under emulation a frame takes from a few ms to over 100; each
// frame counts as its own reading, and one that stood long on the screen
// does not stretch the beep's.
double lagAround(const std::vector<FrameHook::ClockRead>& reads, double beep, double out)
{
    std::vector<double> lags;
    for (const auto& read : reads)
        if (std::abs(read.shown - beep) < 0.2)
            lags.push_back(out + (read.shown - beep) - read.seenNanoseconds * 1e-9);
    if (lags.empty())
        return 1e9;
    std::sort(lags.begin(), lags.end());
    return lags[lags.size() / 2];
}

}  // namespace

TEST(VividLoopback, BeepsAreSeenAsTheyComeOutOfTheCardWithNoSoundServer)
{
    // As in the camera's test, a first short run leaves the shaders in
    // Mesa's cache.
    {
        WorkDir warmUp(0.1);
        useTimedShaders(warmUp);
        ASSERT_EQ(runDemo(warmUp).status, 0);
    }

    WorkDir dir;
    writeBeepTrack(dir);
    useTimedShaders(dir);
    const std::string samples = dir.path("loopback.raw");
    const std::string times = dir.path("loopback.times");
    const std::string said = dir.path("recorder.out");
    pid_t recording = startTool({MOSAIC_LOOPBACK_CAPTURE, "hw:Loopback,1,0", samples, times}, {}, said);
    ASSERT_TRUE(waitFor([&] { return readFile(said).find("recording") != std::string::npos; }, waitSeconds))
        << "the loopback card is not recorded";

    // A small screen: under emulation a frame's drawing, and with it the
    // time from its clock read to the screen, varies by tens of ms at the
    // suite's size.
    TestServer screen = TestServer::xvfb("160x100x24");
    ASSERT_TRUE(screen.started());
    FrameHook hook(dir);
    RunOptions options;
    options.env = screen.clientEnv();
    hook.addTo(options);
    playIntoTheLoopback(dir, options);
    options.timeoutSeconds = 180;
    const RunResult run = runDemo(dir, options);
    kill(recording, SIGTERM);
    int recorded = -1;
    waitpid(recording, &recorded, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(WIFEXITED(recorded) && WEXITSTATUS(recorded) == 0) << readFile(said);

    const std::vector<double> out = beepsOut(samples, times);
    ASSERT_EQ(out.size(), size_t(lastBeep - firstBeep + 1)) << "beeps out of the card";
    const auto clock = hook.clockReads();
    for (int beep = firstBeep; beep <= lastBeep; ++beep) {
        const double beepOut = out[size_t(beep - firstBeep)];
        const double lag = lagAround(clock, beep, beepOut);
        std::printf("the beep at %d s came out %.1f ms after its pictures were seen\n", beep, lag * 1e3);
        EXPECT_LE(std::abs(lag), toleratedSeconds) << "the beep at " << beep << " s";
    }
    // The demo ends with the first frame that finds the track's end out.
    const double endOut = out.back() + 1.0;
    ASSERT_GE(clock.size(), 2u);
    EXPECT_GE(clock.back().seenNanoseconds * 1e-9, endOut - toleratedSeconds) << "the demo ended before its end";
    EXPECT_LE(clock[clock.size() - 2].nanoseconds * 1e-9, endOut + toleratedSeconds)
        << "the demo went on after its end";
}
