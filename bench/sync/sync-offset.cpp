// How far the sound runs behind the pictures, in milliseconds (negative: the
// sound comes first), in one live run of the demo:
//
//   sync-offset CAPTURE CAPTURE-TIMES TRACK CLOCK [SHADER-LATENCY]
//
// CAPTURE and CAPTURE-TIMES are monitor-capture's, TRACK the track
// decoded the same way (mono 16-bit samples at 48 kHz), CLOCK the frame
// hook's clock file. When the track's first sample left the server comes from
// matching TRACK against CAPTURE; which track time each frame showed and when
// its clock was read from CLOCK, less SHADER-LATENCY for a demo whose shader
// holds its own constant in place of uAudioLatency. The offset is the median
// over the frames that show 0.5 to 3 s of the track; in a preview paused,
// sent back to the start and resumed, over those after it went back.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double rate = 48000;

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "sync-offset: %s\n", message.c_str());
    std::exit(1);
}

std::vector<int16_t> readSamples(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot read " + path);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::copy_n(bytes.data(), samples.size() * 2, reinterpret_cast<char*>(samples.data()));
    return samples;
}

std::vector<std::vector<std::string>> readRows(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        fail("cannot read " + path);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string field; fields >> field;)
            rows.back().push_back(field);
    }
    return rows;
}

double median(std::vector<double> values)
{
    if (values.empty())
        fail("nothing to take the median of");
    std::sort(values.begin(), values.end());
    size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

size_t firstLoud(const std::vector<int16_t>& samples, int threshold)
{
    auto loud = std::find_if(samples.begin(), samples.end(), [&](int16_t v) { return std::abs(v) > threshold; });
    if (loud == samples.end())
        fail("no sound found");
    return size_t(loud - samples.begin());
}

// The capture sample that the track's sample 0 became, the track starting
// out of silence after capture sample `from`: the first loud samples of both
// give a rough lag, and the correlation of the track's first 0.2 s of sound
// with the capture within 50 ms of it the exact one.
long trackStart(const std::vector<int16_t>& capture, const std::vector<int16_t>& track, size_t from)
{
    const int16_t peak = *std::max_element(track.begin(), track.end());
    const size_t onset = firstLoud(track, peak / 10);
    const std::vector<int16_t> after(capture.begin() + long(std::min(from, capture.size())), capture.end());
    const long rough = long(from + firstLoud(after, peak / 10)) - long(onset);
    const long window = long(0.2 * rate);
    const long reach = long(0.05 * rate);
    long best = rough;
    double bestScore = -1;
    for (long lag = rough - reach; lag <= rough + reach; ++lag) {
        double product = 0;
        double energy = 1;
        for (long k = long(onset); k < long(onset) + window && k < long(track.size()); ++k) {
            long c = k + lag;
            if (c < 0 || c >= long(capture.size()))
                continue;
            product += double(track[size_t(k)]) * capture[size_t(c)];
            energy += double(capture[size_t(c)]) * capture[size_t(c)];
        }
        double score = product / std::sqrt(energy);
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

// The capture's sample n left the sink at `origin` + n / rate ns. The sink
// hands its samples over in bursts; a read that had to wait starts one, and
// its first sample left when the read returned. The earliest such start
// stands for them all, the others being late by the scheduler's whims.
double captureOrigin(const std::string& timesPath)
{
    double origin = 1e300;
    double previous = -1e300;
    bool first = true;
    for (const auto& row : readRows(timesPath)) {
        if (row.size() != 2)
            continue;
        const double ns = std::stod(row[0]);
        const double before = std::stod(row[1]);
        // The first read may return what was queued before it; a read within
        // 2 ms of the one before continues a burst.
        if (!first && ns - previous > 2e6)
            origin = std::min(origin, ns - before / rate * 1e9);
        first = false;
        previous = ns;
    }
    if (origin > 1e299)
        fail("no reads in " + timesPath);
    return origin;
}

struct Frame {
    double clock;   // seconds
    double shown;   // seconds of the track
    double readNs;  // when the clock was read
};

std::vector<Frame> readFrames(const std::string& path, double shaderLatency)
{
    std::vector<Frame> frames;
    for (const auto& row : readRows(path)) {
        if (row.size() != 4 || row[1] == "-")
            continue;
        const double clock = std::stod(row[1]);
        const double latency = row[2] == "-" ? shaderLatency : std::stod(row[2]);
        frames.push_back({clock, std::max(clock - latency, 0.0), std::stod(row[3])});
    }
    return frames;
}

int printOffset(char** argv, int argc)
{
    const std::vector<int16_t> capture = readSamples(argv[1]);
    const std::vector<int16_t> track = readSamples(argv[3]);
    std::vector<Frame> frames = readFrames(argv[4], argc > 5 ? std::atof(argv[5]) : 0);
    // A preview paused, sent back to the start and resumed counts from
    // there: its frames after the clock went back, and the track's start
    // out of the silence of the pause.
    auto jump = frames.end();
    for (auto frame = frames.begin() + (frames.empty() ? 0 : 1); frame < frames.end(); ++frame)
        if (frame->clock < (frame - 1)->clock - 0.5)
            jump = frame;
    const double origin = captureOrigin(argv[2]);
    size_t from = 0;
    if (jump != frames.end()) {
        from = size_t(std::max(0.0, (jump->readNs - origin) / 1e9 * rate));
        frames.erase(frames.begin(), jump);
    }
    const double heardNs = origin + double(trackStart(capture, track, from)) / rate * 1e9;
    std::vector<double> offsets;
    for (const Frame& frame : frames)
        if (frame.shown >= 0.5 && frame.shown <= 3.0)
            offsets.push_back((heardNs + frame.shown * 1e9 - frame.readNs) / 1e6);
    std::printf("%.1f\n", median(offsets));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 || argc == 6)
        return printOffset(argv, argc);
    std::fprintf(stderr, "usage: sync-offset CAPTURE CAPTURE-TIMES TRACK CLOCK [SHADER-LATENCY]\n");
    return 1;
}
