// sync-offset against a recording made up from the real track, whose lags
// are known: the sound 30 ms after its pictures, then a stall after which
// the sound runs 400 ms later than before.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double rate = 48000;
const int64_t startNs = 5000000000;  // when the recording's first sample left the sink
const double silenceBefore = 1.0;    // seconds of the recording before the track
const double stallAt = 6.0;          // seconds of the track
const double stallSeconds = 0.4;

std::vector<int16_t> decodedTrack()
{
    const std::string command = "ffmpeg -v error -i " MOSAIC_DATA_DIR "/chiptune2.ogg -t 10 -f s16le -ac 1 -ar 48000 -";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<int16_t> samples(size_t(10 * rate));
    samples.resize(std::fread(samples.data(), sizeof(int16_t), samples.size(), pipe));
    pclose(pipe);
    return samples;
}

struct Recording {
    std::string dir = testing::TempDir() + testing::UnitTest::GetInstance()->current_test_info()->name() + '-';
    std::string capture = dir + "capture.raw", times = dir + "capture.times", track = dir + "track.raw",
                clock = dir + "clock";
};

// The track heard from `silenceBefore`, stopped at `stallAt` for
// `stallSeconds`; the sink hands over 1024 samples a cycle, each read up to
// 2 ms late. The pictures, at 60 a second, show the sound 30 ms ahead of
// its hearing, and do not wait for it across the stall they skip.
Recording makeRecording(int64_t timesShiftNs)
{
    Recording files;
    const std::vector<int16_t> track = decodedTrack();
    std::ofstream(files.track, std::ios::binary).write(reinterpret_cast<const char*>(track.data()),
                                                       std::streamsize(track.size() * 2));
    std::vector<int16_t> capture(size_t(silenceBefore * rate), 0);
    const size_t stall = size_t(stallAt * rate);
    capture.insert(capture.end(), track.begin(), track.begin() + long(stall));
    capture.insert(capture.end(), size_t(stallSeconds * rate), 0);
    capture.insert(capture.end(), track.begin() + long(stall), track.end());
    std::ofstream(files.capture, std::ios::binary).write(reinterpret_cast<const char*>(capture.data()),
                                                         std::streamsize(capture.size() * 2));
    std::ofstream times(files.times);
    std::mt19937 random(7);
    for (size_t before = 0; before < capture.size(); before += 1024)
        times << startNs + int64_t(double(before) / rate * 1e9) + timesShiftNs + int64_t(random() % 2000000) << ' '
              << before << '\n';
    std::ofstream clock(files.clock);
    const double firstHeardNs = double(startNs) + silenceBefore * 1e9;
    long frame = 1;
    for (double ns = firstHeardNs; ns < firstHeardNs + (track.size() / rate) * 1e9; ns += 1e9 / 60, ++frame) {
        const double shown = (ns - firstHeardNs) / 1e9 + 0.030;
        if (shown > stallAt - 0.1 && shown < stallAt + stallSeconds)
            continue;
        // Each frame reads its clock 20 ms before it is seen, when it counts.
        clock << frame << ' ' << shown << " 0 " << int64_t(ns - 2e7) << ' ' << int64_t(ns) << '\n';
    }
    return files;
}

// sync-offset's lines by their first word, the rest of each.
std::multimap<std::string, std::string> measure(const Recording& files, const std::string& extraMs = "")
{
    const std::string command = std::string(SYNC_OFFSET) + ' ' + files.capture + ' ' + files.times + ' ' +
                                files.track + ' ' + files.clock + ' ' + extraMs;
    FILE* pipe = popen(command.c_str(), "r");
    std::multimap<std::string, std::string> lines;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        std::istringstream line(buffer);
        std::string key, rest;
        line >> key;
        std::getline(line >> std::ws, rest);
        lines.emplace(key, rest);
    }
    EXPECT_EQ(pclose(pipe), 0);
    return lines;
}

// Every second's lag: 30 ms plus `shiftMs` up to the stall, 400 ms more after it.
void expectSeconds(const std::multimap<std::string, std::string>& lines, double shiftMs)
{
    auto [first, last] = lines.equal_range("second");
    ASSERT_GE(std::distance(first, last), 7);
    for (auto line = first; line != last; ++line) {
        int second = 0;
        double ms = 0;
        std::istringstream(line->second) >> second >> ms;
        const double heard = second - silenceBefore;
        if (heard < stallAt - 1 || (heard > stallAt + 1 && heard < 8.5)) {
            EXPECT_NEAR(ms, (heard < stallAt ? 30 : 430) + shiftMs, 1.0) << "second " << second;
        }
    }
}

TEST(SyncOffset, FindsEachSecondsLagTheStallAndTheEnd)
{
    const auto lines = measure(makeRecording(0));
    EXPECT_EQ(lines.find("quantum")->second, "1024");
    expectSeconds(lines, 0);
    double before = 0, after = 0;
    std::string frames;
    std::istringstream(lines.find("stall")->second) >> before >> after >> frames;
    EXPECT_NEAR(before, 30, 1.0);
    EXPECT_NEAR(after, 430, 1.0);
    EXPECT_EQ(frames, "-");
    double shown = 0, heard = 0, last = 0;
    std::istringstream(lines.find("end")->second) >> shown >> heard >> last;
    EXPECT_NEAR(heard, last, 0.01);
}

TEST(SyncOffset, AShiftOfTheRecordingOrOfTheHearingShowsAsThatShift)
{
    expectSeconds(measure(makeRecording(25000000)), 25);
    expectSeconds(measure(makeRecording(0), "100"), 100);
}

}  // namespace
