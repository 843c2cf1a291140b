// The sound server restarted, and the sink taken away, under a program that
// plays: the pictures run on by the clock while nothing is heard, follow the
// sound again once it is back, and the demo still ends at the track's end.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <sstream>
#include <sys/wait.h>

namespace {

const int recordedRate = 48000;  // monitor-capture's and pipewire-capture's
// The pictures follow the new stream, not the clock they ran on: a new
// stream is first heard after its sink's latency, 1.8 s for a null sink
// that has just started. How closely frames are timed on a loaded machine
// is the sync test's, and the null sink's few milliseconds of latency and
// its monitor's 5 ms reads are left out here.
const double followedSeconds = 0.1;
// The output tries again at least every half second; a session manager
// that starts again on a loaded machine takes up to two more to link it.
const double backSeconds = 3;
// Longer than a frame takes on a loaded machine, far shorter than waiting
// for a server that is away.
const double standstillSeconds = 0.5;

// A server, and its sink "heard" recorded: on PipeWire a sink that records
// what it is given, on PulseAudio the null sink's monitor.
struct SoundServer {
    const char* name;
    const char* sdlDriver;
    TestServer (*start)();
    const char* recorder;
    const char* source;
    const char* listsStream;  // a command that succeeds once the server plays the program's stream
    const char* removeSink;   // one that removes the sink, where stopping the recorder does not
};

const SoundServer pulseAudio{"PulseAudio", "pulseaudio", TestServer::pulseAudio, MOSAIC_MONITOR_CAPTURE,
                             "heard.monitor", "pactl list short sink-inputs | grep -q .",
                             "pactl unload-module module-null-sink"};
const SoundServer pipeWire{
    "PipeWire", "pipewire", TestServer::pipeWire, MOSAIC_PIPEWIRE_CAPTURE, "heard",
    "pw-dump | grep -B12 '\"media.name\": \"chiptune2.ogg\"' | grep -q '\"state\": \"running\"'", nullptr};

// A beep on each whole second.
void writeBeepTrack(const WorkDir& dir, int seconds)
{
    ASSERT_EQ(runTool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                       "aevalsrc=lt(mod(t\\,1)\\,0.05)*0.5*sin(2*PI*1000*t):s=44100:d=" + std::to_string(seconds),
                       "-c:a", "libvorbis", "-y", dir.path("chiptune2.ogg")}),
              0);
}

class Reconnect : public testing::TestWithParam<SoundServer> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sound.started());
        hook.addTo(options);
        options.env.push_back(std::string("SDL_AUDIODRIVER=") + GetParam().sdlDriver);
        const auto env = sound.clientEnv();
        options.env.insert(options.env.end(), env.begin(), env.end());
    }

    void record()
    {
        const std::string said = dir.path("recorder.out");
        std::remove(said.c_str());
        recording = startTool({GetParam().recorder, GetParam().source, dir.path("samples"), dir.path("times")},
                              sound.clientEnv(), said);
        ASSERT_TRUE(waitFor([&] { return readFile(said).find("recording") != std::string::npos; }, waitSeconds));
    }

    void stopRecording()
    {
        if (recording > 0) {
            kill(recording, SIGTERM);
            waitpid(recording, nullptr, 0);
        }
        recording = -1;
    }

    bool runs(const char* command) const { return runTool({"sh", "-c", command}, sound.clientEnv()) == 0; }

    // When the recording's last beep began, the first loud sample after a
    // quiet half second, CLOCK_MONOTONIC s; 0 if it has none.
    // When the last beep recorded before `until` (monotonic seconds) began,
    // 0 if none: the sink may still play a beep after the program's last
    // frame.
    double lastBeepBefore(double until) const
    {
        const std::string bytes = readFile(dir.path("samples"));
        std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
        std::vector<std::pair<long long, long long>> reads;  // (ns, samples before)
        std::istringstream times(readFile(dir.path("times")));
        for (long long ns = 0, before = 0; times >> ns >> before;)
            reads.emplace_back(ns, before);
        double last = 0;
        long long lastLoud = -recordedRate;
        for (long long i = 0; i < static_cast<long long>(samples.size()); ++i) {
            if (std::abs(samples[i]) < 4000)
                continue;
            const bool onset = i - lastLoud > recordedRate / 2;
            lastLoud = i;
            auto read = std::find_if(reads.rbegin(), reads.rend(), [&](const auto& r) { return r.second <= i; });
            if (!onset || read == reads.rend())
                continue;
            const double at = read->first * 1e-9 + double(i - read->second) / recordedRate;
            if (at < until)
                last = at;
        }
        return last;
    }

    double shown() const
    {
        const auto reads = hook.clockReads();
        return reads.empty() ? -1 : reads.back().shown;
    }

    // The longest the pictures' place stood still from `since` on.
    double longestStandstill(double since) const
    {
        double longest = 0, movedAt = since;
        const auto reads = hook.clockReads();
        for (size_t i = 1; i < reads.size(); ++i) {
            const double at = reads[i].nanoseconds * 1e-9;
            if (at < since)
                continue;
            if (reads[i].shown > reads[i - 1].shown)
                movedAt = at;
            longest = std::max(longest, at - movedAt);
        }
        return longest;
    }

    TestServer sound = GetParam().start();
    WorkDir dir;
    FrameHook hook{dir};
    RunOptions options;
    pid_t recording = -1;
};

}  // namespace

// The pictures run on while the server is away; once it is back, it plays
// the program's stream within seconds, and its beeps are seen as heard.
TEST_P(Reconnect, PreviewPlaysOnThroughARestartedServer)
{
    writeBeepTrack(dir, 14);
    record();
    double stoppedAt = 0, backAt = 0, listedAt = 0;
    options.input = [&](pid_t preview) {
        if (!waitWhileRunning(preview, [&] { return shown() >= 1.5; }, "the pictures showed 1.5 s"))
            return;
        stopRecording();
        sound.stop();
        stoppedAt = monotonicNanoseconds() * 1e-9;
        const double place = shown();
        if (!waitWhileRunning(preview, [&] { return shown() >= place + 1; }, "the pictures ran on for 1 s"))
            return;
        ASSERT_TRUE(sound.startAgain());
        record();
        backAt = monotonicNanoseconds() * 1e-9;
        const double resumed = shown();
        if (!waitWhileRunning(preview, [&] { return runs(GetParam().listsStream); }, "the stream was back"))
            return;
        listedAt = monotonicNanoseconds() * 1e-9;
        waitWhileRunning(preview, [&] { return shown() >= resumed + 5; }, "the pictures ran on for 5 s");
        xdotool({"key", "Escape"});
    };
    RunResult run = runProgram(dir, {MOSAIC_PREVIEW}, options);
    stopRecording();
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_GT(backAt, 0);
    EXPECT_LT(longestStandstill(stoppedAt), standstillSeconds) << "the pictures stood still";
    EXPECT_LT(listedAt - backAt, backSeconds) << "the stream came back late";
    // Once the new sink has settled to the stream's latency.
    const auto reads = hook.clockReads();
    ASSERT_FALSE(reads.empty());
    const double beepAt = lastBeepBefore(reads.back().seenNanoseconds * 1e-9);
    ASSERT_GT(beepAt, 0) << "no beep after the restart";
    // The place on the screen when the beep was heard, between the frames
    // seen on either side of it.
    const auto after =
        std::find_if(reads.begin(), reads.end(), [&](const auto& r) { return r.seenNanoseconds * 1e-9 >= beepAt; });
    ASSERT_TRUE(after != reads.end() && after != reads.begin());
    const auto before = after - 1;
    const double share =
        (beepAt - before->seenNanoseconds * 1e-9) / double(after->seenNanoseconds - before->seenNanoseconds) * 1e9;
    const double beepShown = before->shown + share * (after->shown - before->shown);
    EXPECT_NEAR(beepShown, std::round(beepShown), followedSeconds) << "the beep heard at " << beepAt << " s";
}

// With its sink gone the demo plays on by the clock to the track's end.
TEST_P(Reconnect, DemoEndsAtTheTrackEndWithoutItsSink)
{
    writeBeepTrack(dir, 4);
    record();
    double removedAt = 0;
    options.input = [&](pid_t demo) {
        if (!waitWhileRunning(demo, [&] { return shown() >= 1; }, "the pictures showed 1 s"))
            return;
        removedAt = monotonicNanoseconds() * 1e-9;
        if (GetParam().removeSink)
            EXPECT_TRUE(runs(GetParam().removeSink));
        else
            stopRecording();
    };
    RunResult run = runDemo(dir, options);
    stopRecording();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GE(shown(), 4.0 - followedSeconds) << "the demo ended before the track's end";
    EXPECT_LT(longestStandstill(removedAt), standstillSeconds) << "the pictures stood still";
}

INSTANTIATE_TEST_SUITE_P(Servers, Reconnect, testing::Values(pulseAudio, pipeWire),
                         [](const auto& info) { return std::string(info.param.name); });
