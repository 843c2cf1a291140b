// The web page in Debian's chromium beside the native demo, both drawn by
// llvmpipe:
//
//   web-bench [RUNS]
//
// Each of RUNS runs (default 3) times, one after the other under the same
// load, at 1280x720 and 1920x1080: the native demo fullscreen on an Xvfb of
// that size, the frame hook timing its swaps, then the page in a window of
// that size on the same display, its animation frames timed, both from the
// track's start. Then the page plays the whole track at 640x360 into a
// private PulseAudio's null sink, whose monitor is recorded: each frame's
// place in the track and when it is meant to be seen go to sync-offset as
// the frame hook's clock file, so that the lag of the sound behind its
// pictures is measured as bench-sync measures the desktop's PulseAudio case,
// the sink's reported latency added. It also times the first picture from
// the navigation's start and the first sound at the monitor from the key.
// Each run says how much faster than CLOCK_MONOTONIC the monitor's samples
// came: sync-offset takes their rate for exact, so a monitor N ppm fast makes
// the lag seem to grow N us a second.
#include "chromium-page.h"
#include "harness.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace {

const int rate = 48000;
const size_t framesTimed = 300;
// Louder than this is the track's sound rather than its dither, as sync-offset has it.
const int dither = 64;
// Long enough for the 80 s track and the page's start on a loaded machine.
const double wholeRunSeconds = 300;
// A second's lag beyond this is named in its run's line, where to look for what went wrong.
const double farOffMs = 50;
const char* const autoplay = "--autoplay-policy=no-user-gesture-required";

// Each frame the page draws, [frames, shown, seenAt], with performance.now()
// when the first is drawn. The sample is taken in a task posted from each
// animation frame, which runs after the page's own callback of that frame
// (registered after this one), and again in the next frame in case the task
// came late.
const char* const frameSampler = R"(
(() => {
  const drawn = window.benchFrames = [];
  const sample = () => {
    const mosaic = window.mosaic;
    if (!mosaic || mosaic.frames < 1 || (drawn.length && drawn[drawn.length - 1][0] === mosaic.frames))
      return;
    if (!drawn.length)
      window.benchFirstPicture = performance.now();
    drawn.push([mosaic.frames, mosaic.shown, mosaic.seenAt]);
  };
  const channel = new MessageChannel();
  channel.port1.onmessage = sample;
  const frame = () => { sample(); channel.port2.postMessage(0); requestAnimationFrame(frame); };
  requestAnimationFrame(frame);
})();)";

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

std::vector<int16_t> readSamples(const std::string& path)
{
    const std::string bytes = readFile(path);
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

long firstLoud(const std::vector<int16_t>& samples)
{
    const auto loud = std::find_if(samples.begin(), samples.end(), [](int16_t v) { return std::abs(v) > dither; });
    return loud == samples.end() ? -1 : long(loud - samples.begin());
}

// What `argv` prints, run on the sound server of `env`.
std::string outputOf(const std::vector<std::string>& argv, const std::vector<std::string>& env, const WorkDir& dir)
{
    const pid_t pid = startTool(argv, env, dir.path("tool.out"));
    if (pid <= 0 || waitpid(pid, nullptr, 0) != pid)
        throw std::runtime_error("could not run " + argv[0]);
    return readFile(dir.path("tool.out"));
}

// The page's wait checks its condition within one reply, which chromium-page
// gives 90 s; a longer wait is made of shorter ones.
void require(ChromiumPage& page, const std::string& condition, double seconds = waitSeconds)
{
    for (double left = seconds; left > 0; left -= 60)
        if (page.waitUntil(condition, std::min(left, 60.0)))
            return;
    throw std::runtime_error("the page never got to " + condition + "; window.mosaic: " +
                             page.evaluate("window.mosaic").dump() + "\n" + page.log());
}

// Milliseconds between the native demo's first swaps, fullscreen on `display`.
std::vector<double> nativeFrameMs(const std::string& display)
{
    WorkDir dir;
    for (const auto& file : std::filesystem::directory_iterator(dataDir))
        std::filesystem::copy_file(file.path(), dir.path(file.path().filename()),
                                   std::filesystem::copy_options::overwrite_existing);
    const std::string times = dir.path("times");
    RunOptions options;
    options.preload = {frameHookLibrary};
    options.env = {"DISPLAY=" + display, "SDL_AUDIODRIVER=dummy", "FRAMEHOOK_TIMES=" + times};
    options.timeoutSeconds = wholeRunSeconds;
    options.input = [&](pid_t demo) {
        waitFor([&] { return lines(readFile(times)).size() > framesTimed || !running(demo); }, wholeRunSeconds);
        kill(demo, SIGTERM);
    };
    runDemo(dir, options);
    std::istringstream in(readFile(times));
    std::vector<double> swapped;
    long frame = 0;
    double before = 0, after = 0;
    while (swapped.size() <= framesTimed && in >> frame >> before >> after)
        swapped.push_back(after);
    if (swapped.size() <= framesTimed)
        throw std::runtime_error("the native demo swapped only " + std::to_string(swapped.size()) + " frames");
    std::vector<double> ms;
    for (size_t i = 1; i < swapped.size(); ++i)
        ms.push_back((swapped[i] - swapped[i - 1]) / 1e6);
    return ms;
}

// Milliseconds between the page's animation frames once it plays.
std::vector<double> pageFrameMs(const FolderServer& server, const std::string& display, int width, int height)
{
    ChromiumPage page(display, width, height, {autoplay});
    page.open(server.url("index.html?t=0"));
    require(page, "mosaic.state == 'ready'");
    page.key("Enter", "Enter", 13);
    require(page, "mosaic.state == 'playing'");
    return page
        .evaluate("new Promise(done => { const at = []; const frame = time => { at.push(time);"
                  " if (at.length > " + std::to_string(framesTimed) + ") done(at.slice(1).map((t, i) => t - at[i]));"
                  " else requestAnimationFrame(frame); }; requestAnimationFrame(frame); })")
        .get<std::vector<double>>();
}

// When the monitor's sample 0 left the sink, and how much faster than
// CLOCK_MONOTONIC its samples came (ppm). As sync-offset reckons it, a read
// that waited for the sink returned as its first sample left, and the
// earliest such read stands for them all; its first and its last 10 s tell
// the rate, which that one origin takes for exact.
struct CaptureClock {
    double originNs = INFINITY;
    double fastPpm = 0;
};

CaptureClock captureClock(const std::string& readsFile)
{
    std::istringstream in(readFile(readsFile));
    std::vector<std::pair<double, double>> starts;  // samples before, origin
    double ns = 0, before = 0, lastNs = -1;
    while (in >> ns >> before) {
        if (lastNs >= 0 && ns - lastNs > 2e6)
            starts.emplace_back(before, ns - before / rate * 1e9);
        lastNs = ns;
    }
    if (starts.size() < 2)
        throw std::runtime_error("the monitor's reads never waited for the sink");
    const double window = 10.0 * rate;
    double first = INFINITY, last = INFINITY;
    CaptureClock clock;
    for (const auto& [samples, origin] : starts) {
        clock.originNs = std::min(clock.originNs, origin);
        if (samples < starts.front().first + window)
            first = std::min(first, origin);
        if (samples > starts.back().first - window)
            last = std::min(last, origin);
    }
    const double spanNs = (starts.back().first - starts.front().first - window) / rate * 1e9;
    clock.fastPpm = spanNs > 0 ? (first - last) / spanNs * 1e6 : 0;
    return clock;
}

// performance.now()'s origin on CLOCK_MONOTONIC (ns): of reads between two
// of that clock, the one of the quickest round trip.
double pageOriginNs(ChromiumPage& page)
{
    double quickest = INFINITY, origin = 0;
    for (int i = 0; i < 20; ++i) {
        const double before = double(monotonicNanoseconds());
        const double ms = page.evaluate("performance.now()").get<double>();
        const double after = double(monotonicNanoseconds());
        if (after - before < quickest) {
            quickest = after - before;
            origin = (before + after) / 2 - ms * 1e6;
        }
    }
    return origin;
}

// The latency the sink reports while it plays, in ms.
double sinkLatencyMs(const TestServer& sound, const WorkDir& dir)
{
    std::istringstream in(outputOf({"pactl", "list", "sinks"}, sound.clientEnv(), dir));
    bool heard = false;
    for (std::string word; in >> word;) {
        if (word == "Name:")
            in >> word, heard = word == "heard";
        else if (heard && word == "Latency:" && in >> word)
            return std::stod(word) / 1000;
    }
    throw std::runtime_error("pactl gave no latency of the sink");
}

struct WholeRun {
    std::vector<double> lags;            // "second S MS": MS, each second
    std::vector<double> end;             // "end SHOWN HEARD LAST"
    double longestGapMs = 0;             // between frames while the track plays
    double monitorFastPpm = 0;
    std::string farOff;                  // " S:MS" for each second of a lag beyond farOffMs
    double firstPictureMs = 0;
    double firstSoundMs = 0;
    double latencyMs = 0;
    size_t frames = 0;
};

WholeRun playWhole(const FolderServer& server, const std::string& display, const TestServer& sound,
                   const WorkDir& dir, long trackFirstLoud)
{
    WholeRun run;
    const std::string said = dir.path("capture.out");
    std::filesystem::remove(said);
    const pid_t capturing = startTool({MOSAIC_MONITOR_CAPTURE, "heard.monitor", dir.path("capture.raw"),
                                       dir.path("capture.reads")}, sound.clientEnv(), said);
    if (!waitFor([&] { return readFile(said).find("recording") != std::string::npos; }, waitSeconds))
        throw std::runtime_error("the sink's monitor is not recorded");
    {
        ChromiumPage page(display, 640, 360, {autoplay}, sound.clientEnv());
        // A browser that has drawn with WebGL before, as a visitor's mostly
        // has: a fresh chromium starts its GPU process for the first
        // context, which the page would otherwise be timed for.
        page.evaluate("new Promise(done => { document.createElement('canvas').getContext('webgl2');"
                      " requestAnimationFrame(() => done(true)); })");
        page.call("Page.addScriptToEvaluateOnNewDocument", {{"source", frameSampler}});
        page.open(server.url("index.html?t=0"));
        require(page, "mosaic.state == 'ready'");
        const double originNs = pageOriginNs(page);
        const double keyNs = double(monotonicNanoseconds());
        page.key("Enter", "Enter", 13);
        require(page, "mosaic.state == 'playing'");
        require(page, "mosaic.shown >= 5");
        run.latencyMs = sinkLatencyMs(sound, dir);
        require(page, "mosaic.state == 'ended'", wholeRunSeconds);
        kill(capturing, SIGTERM);
        waitpid(capturing, nullptr, 0);
        run.firstPictureMs = page.evaluate("benchFirstPicture").get<double>();
        std::ofstream clock(dir.path("clock"));
        double lastSeenAt = NAN;
        for (const auto& frame : page.evaluate("benchFrames")) {
            const double shown = frame[1].get<double>(), seenAt = frame[2].get<double>();
            char line[96];
            std::snprintf(line, sizeof line, "%ld %.6f 0 %.0f\n", frame[0].get<long>(), shown,
                          seenAt * 1e6 + originNs);
            clock << line;
            if (shown > 0) {
                ++run.frames;
                run.longestGapMs = std::max(run.longestGapMs, seenAt - lastSeenAt);
                lastSeenAt = seenAt;
            }
        }
        const long heard = firstLoud(readSamples(dir.path("capture.raw")));
        if (heard < 0)
            throw std::runtime_error("the sink heard only silence");
        const CaptureClock monitor = captureClock(dir.path("capture.reads"));
        run.monitorFastPpm = monitor.fastPpm;
        run.firstSoundMs = (monitor.originNs + double(heard) / rate * 1e9 - keyNs) / 1e6 -
                           double(trackFirstLoud) / rate * 1000;
    }
    std::istringstream lines(outputOf({MOSAIC_SYNC_OFFSET, dir.path("capture.raw"), dir.path("capture.reads"),
                                       dir.path("track.raw"), dir.path("clock"), std::to_string(run.latencyMs)},
                                      {}, dir));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string what;
        double a = 0, b = 0, c = 0;
        fields >> what >> a >> b >> c;
        if (what == "second") {
            run.lags.push_back(b);
            if (std::abs(b) > farOffMs)
                run.farOff += " " + std::to_string(long(a)) + ":" + std::to_string(std::lround(b));
        } else if (what == "end") {
            run.end = {a, b, c};
        }
    }
    if (run.lags.empty() || run.end.empty())
        throw std::runtime_error("sync-offset measured nothing");
    return run;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    if (runs < 1) {
        std::fprintf(stderr, "usage: web-bench [RUNS]\n");
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    try {
        WorkDir dir;
        if (runTool({"ffmpeg", "-v", "error", "-i", std::string(dataDir) + "/chiptune2.ogg", "-f", "s16le", "-ac",
                     "1", "-ar", std::to_string(rate), dir.path("track.raw")}) != 0)
            throw std::runtime_error("ffmpeg could not decode the track");
        const std::vector<int16_t> track = readSamples(dir.path("track.raw"));
        const FolderServer server(MOSAIC_WEB_PAGE);
        const TestServer sound = TestServer::pulseAudio();
        const int sizes[][2] = {{1280, 720}, {1920, 1080}};
        std::vector<TestServer> screens;
        for (const auto& size : sizes)
            screens.push_back(TestServer::xvfb(std::to_string(size[0]) + "x" + std::to_string(size[1]) + "x24"));
        const TestServer small = TestServer::xvfb("640x360x24");
        if (!sound.started() || !small.started() || !screens[0].started() || !screens[1].started())
            throw std::runtime_error("a display or the sound server did not start");

        std::vector<double> native[2], page[2], lags, ends[2], pictures, sounds;
        for (int run = 1; run <= runs; ++run) {
            std::printf("run %d:", run);
            for (int s = 0; s < 2; ++s) {
                const std::vector<double> n = nativeFrameMs(screens[size_t(s)].display);
                const std::vector<double> p = pageFrameMs(server, screens[size_t(s)].display, sizes[s][0], sizes[s][1]);
                native[s].insert(native[s].end(), n.begin(), n.end());
                page[s].insert(page[s].end(), p.begin(), p.end());
                std::printf(" %dx%d native %.1f page %.1f ms;", sizes[s][0], sizes[s][1], median(n), median(p));
                std::fflush(stdout);
            }
            const WholeRun whole = playWhole(server, small.display, sound, dir, firstLoud(track));
            lags.insert(lags.end(), whole.lags.begin(), whole.lags.end());
            ends[0].push_back((double(track.size()) / rate - whole.end[0]) * 1000);
            ends[1].push_back((whole.end[2] - whole.end[1]) * 1000);
            pictures.push_back(whole.firstPictureMs);
            sounds.push_back(whole.firstSoundMs);
            const long tenth = std::min(10L, long(whole.lags.size()));
            const std::vector<double> firstTen(whole.lags.begin(), whole.lags.begin() + tenth);
            const std::vector<double> lastTen(whole.lags.end() - tenth, whole.lags.end());
            std::printf("\n  lag %.1f ms (%.1f to %.1f; first second %.1f, first 10 s %.1f, last 10 s %.1f),"
                        " the monitor %.0f ppm fast, latency %.1f ms;\n  %zu frames playing, longest gap %.0f ms;"
                        " first picture %.0f ms, first sound %.0f ms\n",
                        median(whole.lags), *std::min_element(whole.lags.begin(), whole.lags.end()),
                        *std::max_element(whole.lags.begin(), whole.lags.end()), whole.lags.front(), median(firstTen),
                        median(lastTen), whole.monitorFastPpm, whole.latencyMs, whole.frames, whole.longestGapMs,
                        whole.firstPictureMs, whole.firstSoundMs);
            if (!whole.farOff.empty())
                std::printf("  seconds of the recording with a lag beyond %.0f ms (s:ms):%s\n", farOffMs,
                            whole.farOff.c_str());
        }

        std::printf("\nframe time, median ms a frame over %zu frames a run, runs alternating:\n", framesTimed);
        std::printf("  %-10s %8s %8s %12s\n", "size", "native", "page", "page/native");
        for (int s = 0; s < 2; ++s)
            std::printf("  %-10s %8.1f %8.1f %12.2f\n",
                        (std::to_string(sizes[s][0]) + "x" + std::to_string(sizes[s][1])).c_str(), median(native[s]),
                        median(page[s]), median(page[s]) / median(native[s]));
        std::printf("  (chromium paces the page's frames by its 60 Hz begin-frame clock, so 16.7 ms is its floor;\n"
                    "   the native demo on Xvfb swaps as fast as it draws)\n");
        std::vector<double> magnitudes;
        for (double lag : lags)
            magnitudes.push_back(std::abs(lag));
        std::sort(magnitudes.begin(), magnitudes.end());
        std::sort(lags.begin(), lags.end());
        const double p95 = magnitudes[size_t(std::ceil(0.95 * double(magnitudes.size()))) - 1];
        std::printf("lag of the sound behind its picture in the browser, ms, each second of every run\n"
                    "(PulseAudio's null sink, its reported latency added):\n"
                    "  min %.1f  median %.1f  p95 |lag| %.1f  max %.1f  (%zu s, %d runs)\n",
                    lags.front(), median(lags), p95, lags.back(), lags.size(), runs);
        std::printf("  end: of the %.3f s track, never drawn %.1f ms, sound cut %.1f ms (medians)\n",
                    double(track.size()) / rate, median(ends[0]), median(ends[1]));
        std::printf("start, medians over the runs:\n  first picture %.0f ms after the navigation's start\n"
                    "  first sound %.0f ms after the key, at the sink's monitor\n", median(pictures), median(sounds));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "web-bench: %s\n", error.what());
        return 1;
    }
    std::printf("bench took %.0f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return 0;
}
