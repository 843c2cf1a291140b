// The pictures against the sound as a sound server plays it: a track of beeps
// on whole seconds, the demo on a private PulseAudio or PipeWire, what its
// sink is given recorded beside it, the process stopped for half a second on
// the way.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <thread>

namespace {

const int recordedRate = 48000;    // monitor-capture's and pipewire-capture's
const int monitorRead = 256;       // monitor-capture's samples a read
const int lastBeep = 5;            // a beep on each second from 1 s; the track ends a second later
// What people notice of sound that is not with its picture (ITU-R BT.1359:
// 45 ms with the sound first), which no beep may reach on a busy machine,
// where one frame may take twice as long to draw as the ones before it.
const double noticedSeconds = 0.045;
// Where the beeps are seen, taken together: under one slip of PipeWire's
// largest quantum (2048 samples, 42.7 ms), and under the time a frame takes
// to reach the screen here.
const double toleratedSeconds = 0.025;

// Slow enough to draw that a frame is seen some 30 ms after it reads its
// clock on llvmpipe at 1080p on a quiet machine, twice that on a busy one:
// pictures that showed the sound heard when they were begun would be late by
// that much.
const char* const slowMosaic = R"(#version 330 core
uniform float uTime;
out vec4 colour;
void main()
{
    float v = 0.0;
    for (int i = 0; i < 32; ++i)
        v = fract(v * 1.37 + sin(gl_FragCoord.x * 0.01 + float(i) + uTime));
    colour = vec4(v);
}
)";

void writeBeepTrack(const WorkDir& dir)
{
    ASSERT_EQ(runTool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                       "aevalsrc=if(gte(t\\,1)*lt(mod(t\\,1)\\,0.05)\\,0.5*sin(2*PI*1000*t)\\,0):s=44100:d=" +
                           std::to_string(lastBeep + 1),
                       "-c:a", "libvorbis", "-y", dir.path("chiptune2.ogg")}),
              0);
}

// A sound server, its sink "heard" and the program that records it.
struct SoundServer {
    const char* name;
    const char* sdlDriver;  // the one SDL opens there
    TestServer (*start)();
    std::vector<std::string> (*recorder)(const std::string& samples, const std::string& times);
    // When sample `i` of the recording left the sink, from the recorder's
    // times (ns, samples before).
    double (*leftAt)(const std::vector<std::pair<long long, long long>>& times, long long i);
    // The sink's own latency: how much later a device would play it.
    double (*latency)(const std::vector<std::string>& soundEnv);
};

// A null sink's monitor, whose reads each return once their last sample has
// left the sink.
std::vector<std::string> recordMonitor(const std::string& samples, const std::string& times)
{
    return {MOSAIC_MONITOR_CAPTURE, "heard.monitor", samples, times};
}

double monitorLeftAt(const std::vector<std::pair<long long, long long>>& reads, long long i)
{
    const auto& read = reads.at(static_cast<size_t>(i / monitorRead));
    return read.first * 1e-9 - double(read.second + monitorRead - i) / recordedRate;
}

// A sink that records what it is given, each sample at its place in time
// from the first cycle's start.
std::vector<std::string> recordSink(const std::string& samples, const std::string& times)
{
    return {MOSAIC_PIPEWIRE_CAPTURE, "heard", samples, times};
}

double sinkLeftAt(const std::vector<std::pair<long long, long long>>& cycles, long long i)
{
    return cycles.at(0).first * 1e-9 + double(i) / recordedRate;
}

// When each beep began to leave the sink, on the frame hook's clock: the
// first loud sample after a quiet half second.
std::vector<double> beepsLeft(const SoundServer& server, const std::string& samplesFile,
                              const std::string& readsFile)
{
    const std::string bytes = readFile(samplesFile);
    std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
    std::vector<std::pair<long long, long long>> reads;  // (ns, samples before)
    std::ifstream times(readsFile);
    for (long long ns = 0, before = 0; times >> ns >> before;)
        reads.emplace_back(ns, before);
    std::vector<double> left;
    long long lastLoud = -recordedRate;
    for (long long i = 0; i < static_cast<long long>(samples.size()); ++i) {
        if (std::abs(samples[i]) < 4000)
            continue;
        if (i - lastLoud > recordedRate / 2)
            left.push_back(server.leftAt(reads, i));
        lastLoud = i;
    }
    return left;
}

// When the pictures that reached `seconds` of the track were seen, between
// the two frames on either side of it.
double shownAt(const std::vector<FrameHook::ClockRead>& reads, double seconds)
{
    auto after = std::find_if(reads.begin(), reads.end(), [&](const auto& r) { return r.shown >= seconds; });
    if (after == reads.end() || after == reads.begin())
        return 0;
    auto before = after - 1;
    const double share = (seconds - before->shown) / (after->shown - before->shown);
    return (before->seenNanoseconds + share * double(after->seenNanoseconds - before->seenNanoseconds)) * 1e-9;
}

// A null sink's monitor carries its sound when the sink renders it, ahead of
// the sink's own clock by the latency it reports, as a device is heard.
double sinkLatency(const std::vector<std::string>& soundEnv)
{
    std::string command = "env";
    for (const auto& variable : soundEnv)
        command += " '" + variable + "'";
    FILE* pactl = popen((command + " pactl list sinks").c_str(), "r");
    char line[512];
    long long usec = -1;
    while (pactl && std::fgets(line, sizeof line, pactl))
        std::sscanf(line, " Latency: %lld usec", &usec);
    if (pactl)
        pclose(pactl);
    return usec * 1e-6;
}

double noLatency(const std::vector<std::string>&)
{
    return 0;
}

const SoundServer pulseAudio{"PulseAudio", "pulseaudio", TestServer::pulseAudio, recordMonitor, monitorLeftAt,
                             sinkLatency};
const SoundServer pipeWire{"PipeWire", "pipewire", TestServer::pipeWire, recordSink, sinkLeftAt, noLatency};

class Sync : public testing::TestWithParam<SoundServer> {};

}  // namespace

// Every beep is seen as it is heard, before and after the stall, and the
// track's end is drawn when it is heard.
TEST_P(Sync, PicturesFollowTheSoundHeardThroughAStall)
{
    const SoundServer& server = GetParam();
    TestServer sound = server.start();
    ASSERT_TRUE(sound.started());
    const std::vector<std::string> soundEnv = sound.clientEnv();
    WorkDir dir;
    writeBeepTrack(dir);
    dir.write("mosaic.frag", slowMosaic);
    const std::string samples = dir.path("monitor.raw");
    const std::string reads = dir.path("monitor.reads");
    const std::string said = dir.path("recorder.out");
    pid_t recording = startTool(server.recorder(samples, reads), soundEnv, said);
    ASSERT_TRUE(waitFor([&] { return readFile(said).find("recording") != std::string::npos; }, waitSeconds))
        << "the sink is not recorded";

    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    // Any driver that is heard: the demo then plays through the server.
    options.env.push_back(std::string("SDL_AUDIODRIVER=") + server.sdlDriver);
    options.env.insert(options.env.end(), soundEnv.begin(), soundEnv.end());
    double latency = -1;
    options.input = [&](pid_t demo) {
        auto shown = [&](double seconds) {
            const auto clock = hook.clockReads();
            return !clock.empty() && clock.back().shown >= seconds;
        };
        if (!waitWhileRunning(demo, [&] { return shown(1.5); }, "the pictures showed 1.5 s"))
            return;
        latency = server.latency(soundEnv);
        if (!waitWhileRunning(demo, [&] { return shown(2.3); }, "the pictures showed 2.3 s"))
            return;
        kill(demo, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        kill(demo, SIGCONT);
    };
    RunResult run = runDemo(dir, options);
    kill(recording, SIGTERM);
    waitpid(recording, nullptr, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_GE(latency, 0) << "no latency for the sink";

    const std::vector<double> left = beepsLeft(server, samples, reads);
    ASSERT_EQ(left.size(), size_t(lastBeep)) << "beeps on the monitor";
    const auto clock = hook.clockReads();
    std::vector<double> apart;
    for (int beep = 1; beep <= lastBeep; ++beep) {
        const double heard = left[beep - 1] + latency;
        EXPECT_NEAR(heard, shownAt(clock, beep), noticedSeconds) << "the beep at " << beep << " s";
        apart.push_back(std::abs(heard - shownAt(clock, beep)));
    }
    std::nth_element(apart.begin(), apart.begin() + lastBeep / 2, apart.end());
    EXPECT_LT(apart[lastBeep / 2], toleratedSeconds) << "the beeps' median";
    const double endHeard = left.back() + latency + 1.0;
    // The last frame shows the track's end, and so does the first frame past
    // it however late that comes: the end is reached where the last frame
    // before it, run on at the track's pace, would reach it.
    const double end = clock.back().shown;
    const auto beforeEnd = std::find_if(clock.rbegin(), clock.rend(), [&](const auto& r) { return r.shown < end - 0.001; });
    ASSERT_NE(beforeEnd, clock.rend());
    EXPECT_NEAR(beforeEnd->seenNanoseconds * 1e-9 + (end - beforeEnd->shown), endHeard, noticedSeconds)
        << "the end drawn then";
    EXPECT_GE(clock.back().seenNanoseconds * 1e-9, endHeard - noticedSeconds) << "the demo ended before it";
}

INSTANTIATE_TEST_SUITE_P(Servers, Sync, testing::Values(pulseAudio, pipeWire),
                         [](const auto& info) { return std::string(info.param.name); });
