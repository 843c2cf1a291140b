// The pictures against the sound as a sound server plays it: a track of beeps
// on whole seconds, the demo on a private PulseAudio, the sink's monitor
// recorded beside it, the process stopped for half a second on the way.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <thread>

namespace {

const char* const monitorCapture = MOSAIC_MONITOR_CAPTURE;
const int monitorRate = 48000;     // monitor-capture's
const int monitorRead = 256;       // samples a read
const int lastBeep = 5;            // a beep on each second from 1 s; the track ends a second later
// What people notice of sound that is not with its picture (ITU-R BT.1359).
const double noticedSeconds = 0.045;

const char* const flatMosaic = "#version 330 core\nout vec4 colour;\nvoid main() { colour = vec4(1.0); }\n";

void writeBeepTrack(const WorkDir& dir)
{
    ASSERT_EQ(runTool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                       "aevalsrc=if(gte(t\\,1)*lt(mod(t\\,1)\\,0.05)\\,0.5*sin(2*PI*1000*t)\\,0):s=44100:d=" +
                           std::to_string(lastBeep + 1),
                       "-c:a", "libvorbis", "-y", dir.path("chiptune2.ogg")}),
              0);
}

// When each beep began to leave the sink, on the frame hook's clock: the
// first loud sample after a quiet half second. A read returns once its last
// sample has left.
std::vector<double> beepsLeft(const std::string& samplesFile, const std::string& readsFile)
{
    const std::string bytes = readFile(samplesFile);
    std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
    std::vector<std::pair<long long, long long>> reads;  // (ns, samples before)
    std::ifstream times(readsFile);
    for (long long ns = 0, before = 0; times >> ns >> before;)
        reads.emplace_back(ns, before);
    std::vector<double> left;
    long long lastLoud = -monitorRate;
    for (long long i = 0; i < static_cast<long long>(samples.size()); ++i) {
        if (std::abs(samples[i]) < 4000)
            continue;
        if (i - lastLoud > monitorRate / 2) {
            const auto& read = reads.at(static_cast<size_t>(i / monitorRead));
            left.push_back(read.first * 1e-9 - double(read.second + monitorRead - i) / monitorRate);
        }
        lastLoud = i;
    }
    return left;
}

// When the pictures reached `seconds` of the track, between the two frames
// on either side of it.
double shownAt(const std::vector<FrameHook::ClockRead>& reads, double seconds)
{
    auto after = std::find_if(reads.begin(), reads.end(), [&](const auto& r) { return r.shown >= seconds; });
    if (after == reads.end() || after == reads.begin())
        return 0;
    auto before = after - 1;
    const double share = (seconds - before->shown) / (after->shown - before->shown);
    return (before->nanoseconds + share * double(after->nanoseconds - before->nanoseconds)) * 1e-9;
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

}  // namespace

// Every beep is seen as it is heard, before and after the stall, and the
// demo ends when the track's end is heard.
TEST(Sync, PicturesFollowTheSoundHeardThroughAStall)
{
    TestServer sound = TestServer::pulseAudio();
    ASSERT_TRUE(sound.started());
    const std::vector<std::string> soundEnv = sound.clientEnv();
    WorkDir dir;
    writeBeepTrack(dir);
    dir.write("mosaic.frag", flatMosaic);
    const std::string samples = dir.path("monitor.raw");
    const std::string reads = dir.path("monitor.reads");
    pid_t recording = startTool({monitorCapture, "heard.monitor", samples, reads}, soundEnv);
    ASSERT_TRUE(waitFor([&] { return !readFile(reads).empty(); }, waitSeconds)) << "the monitor is not recorded";

    FrameHook hook(dir);
    RunOptions options;
    hook.addTo(options);
    // Any driver that is heard: the demo then plays through the server.
    options.env.push_back("SDL_AUDIODRIVER=pulseaudio");
    options.env.insert(options.env.end(), soundEnv.begin(), soundEnv.end());
    double latency = -1;
    options.input = [&](pid_t demo) {
        auto shown = [&](double seconds) {
            const auto clock = hook.clockReads();
            return !clock.empty() && clock.back().shown >= seconds;
        };
        if (!waitWhileRunning(demo, [&] { return shown(1.5); }, "the pictures showed 1.5 s"))
            return;
        latency = sinkLatency(soundEnv);
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

    const std::vector<double> left = beepsLeft(samples, reads);
    ASSERT_EQ(left.size(), size_t(lastBeep)) << "beeps on the monitor";
    const auto clock = hook.clockReads();
    for (int beep = 1; beep <= lastBeep; ++beep) {
        const double heard = left[beep - 1] + latency;
        EXPECT_NEAR(heard, shownAt(clock, beep), noticedSeconds) << "the beep at " << beep << " s";
    }
    const double endHeard = left.back() + latency + 1.0;
    EXPECT_NEAR(clock.back().nanoseconds * 1e-9, endHeard, noticedSeconds) << "the demo ended then";
}
