// How far the sound runs behind the pictures (negative: the sound comes
// first) over one whole live run of the demo:
//
//   sync-offset CAPTURE CAPTURE-TIMES TRACK CLOCK [EXTRA-MS]
//
// CAPTURE and CAPTURE-TIMES are monitor-capture's, TRACK the whole track
// decoded the same way (mono 16-bit samples at 48 kHz), CLOCK the frame
// hook's clock file. EXTRA-MS is added to when the sound was heard: the time
// a device would still take after the recorded sink. Every quarter second of
// the capture is matched against the track for the track samples it holds,
// so each frame's track time has a moment it was heard; a frame's lag is that
// moment less when the frame was seen. Printed, one a line:
//
//   quantum FRAMES       how many samples the sink hands over at a time
//   second S MS          the median lag of the frames heard in second S of
//                        the capture, for every second that has any
//   stall BEFORE AFTER FRAMES MS   where the frames stopped for over 0.3 s:
//                        the median lag over the 3 s before and from 2 s
//                        after, and how many frames and ms after it the lag
//                        stays within 20 ms for 10 frames ("-" if never)
//   end SHOWN HEARD LAST the last track time (s) a frame showed, the last
//                        the capture held sound of, and the track's own last
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

const long rate = 48000;
const long blockSamples = rate / 4;
// The coarse search runs on averages of this many samples.
const long coarseStep = 8;
// Quieter than this is silence: below the dither of a decoded track.
const int silence = 64;
// The track fades out to its last sample over this, so where its sound ends
// is told by a lower mark.
const int fadedOut = 4;

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
        return NAN;
    std::sort(values.begin(), values.end());
    size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// Reads of monitor-capture: when each returned, and how many samples came
// before it.
struct Read {
    double ns;
    double before;
};

std::vector<Read> readReads(const std::string& path)
{
    std::vector<Read> reads;
    for (const auto& row : readRows(path))
        if (row.size() == 2)
            reads.push_back({std::stod(row[0]), std::stod(row[1])});
    if (reads.size() < 2)
        fail("too few reads in " + path);
    return reads;
}

// A read that had to wait for the sink starts a burst, the samples the sink
// handed over at once; one within 2 ms of the read before continues it. The
// first read may return what was queued before it.
std::vector<Read> burstStarts(const std::vector<Read>& reads)
{
    std::vector<Read> starts;
    for (size_t i = 1; i < reads.size(); ++i)
        if (reads[i].ns - reads[i - 1].ns > 2e6)
            starts.push_back(reads[i]);
    if (starts.empty())
        fail("the capture never waited for its sink");
    return starts;
}

// The capture's sample n left the sink at the result + n / rate ns: a burst
// start's first sample left when its read returned, and the earliest start
// stands for them all, the others being late by the scheduler's whims.
double captureOrigin(const std::vector<Read>& starts)
{
    double origin = 1e300;
    for (const Read& start : starts)
        origin = std::min(origin, start.ns - start.before / rate * 1e9);
    return origin;
}

long quantum(const std::vector<Read>& starts)
{
    std::vector<double> periods;
    for (size_t i = 1; i < starts.size(); ++i)
        periods.push_back(starts[i].before - starts[i - 1].before);
    return periods.empty() ? 0 : long(median(periods));
}

// Averages of coarseStep samples, for a first search over long stretches.
std::vector<float> coarse(const std::vector<int16_t>& samples)
{
    std::vector<float> out(samples.size() / size_t(coarseStep));
    for (size_t i = 0; i < out.size(); ++i) {
        float sum = 0;
        for (long k = 0; k < coarseStep; ++k)
            sum += samples[i * size_t(coarseStep) + size_t(k)];
        out[i] = sum / float(coarseStep);
    }
    return out;
}

// How alike capture[from, from + length) and the track `shift` samples on
// are, from -1 to 1.
template <typename Sample>
double likeness(const std::vector<Sample>& capture, const std::vector<Sample>& track, long from, long length,
                long shift)
{
    double product = 0, captureEnergy = 1, trackEnergy = 1;
    for (long c = from; c < from + length; ++c) {
        captureEnergy += double(capture[size_t(c)]) * capture[size_t(c)];
        const long t = c + shift;
        if (t < 0 || t >= long(track.size()))
            continue;
        product += double(capture[size_t(c)]) * track[size_t(t)];
        trackEnergy += double(track[size_t(t)]) * track[size_t(t)];
    }
    return product / std::sqrt(captureEnergy * trackEnergy);
}

// The score is the coarse search's, which leaves out the highs that a
// server's resampling may have taken off.
struct Match {
    long shift = 0;  // track sample = capture sample + shift
    double score = -1;
};

struct Signals {
    const std::vector<int16_t>& capture;
    const std::vector<int16_t>& track;
    std::vector<float> coarseCapture;
    std::vector<float> coarseTrack;
};

// The best shift for the `length` samples at `from` within [low, high]: the
// coarse search's highest peak, or of peaks as high the one nearest `near`,
// since a looped pattern of the track sounds the same a bar apart; then the
// full-rate search around it.
Match matchStretch(const Signals& s, long from, long length, long low, long high, long near)
{
    std::vector<double> scores;
    double best = -1;
    for (long shift = low / coarseStep; shift <= high / coarseStep; ++shift) {
        scores.push_back(likeness(s.coarseCapture, s.coarseTrack, from / coarseStep, length / coarseStep, shift));
        best = std::max(best, scores.back());
    }
    long rough = 0;
    bool found = false;
    for (size_t i = 0; i < scores.size(); ++i) {
        const long shift = low / coarseStep + long(i);
        const bool peak = (i == 0 || scores[i] >= scores[i - 1]) && (i + 1 == scores.size() || scores[i] >= scores[i + 1]);
        if (peak && scores[i] >= best - 0.01 &&
            (!found || std::abs(shift * coarseStep - near) < std::abs(rough * coarseStep - near))) {
            rough = shift;
            found = true;
        }
    }
    Match match{rough * coarseStep, scores[size_t(rough - low / coarseStep)]};
    double fineBest = -1;
    for (long shift = rough * coarseStep - 2 * coarseStep; shift <= rough * coarseStep + 2 * coarseStep; ++shift) {
        const double score = likeness(s.capture, s.track, from, length, shift);
        if (score > fineBest) {
            fineBest = score;
            match.shift = shift;
        }
    }
    return match;
}

struct Frame {
    double clock;   // seconds
    double shown;   // seconds of the track
    double seenNs;  // when the frame was seen
};

std::vector<Frame> readFrames(const std::string& path)
{
    std::vector<Frame> frames;
    for (const auto& row : readRows(path)) {
        if (row.size() != 5 || row[1] == "-")
            continue;
        const double clock = std::stod(row[1]);
        const double latency = row[2] == "-" ? 0 : std::stod(row[2]);
        frames.push_back({clock, std::max(clock - latency, 0.0), std::stod(row[4])});
    }
    if (frames.empty())
        fail("no frames in " + path);
    return frames;
}

// A picture held still, at the start before the sound is out or while a
// preview is paused, shows no moment of the sound: frames that repeat the
// track time of a frame over 0.1 s before them. A clock that follows the
// sink's hand-overs may repeat it for a quantum.
std::vector<Frame> movingFrames(const std::vector<Frame>& frames)
{
    std::vector<Frame> moving;
    double sinceNs = frames.front().seenNs;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i == 0 || frames[i].shown != frames[i - 1].shown)
            sinceNs = frames[i].seenNs;
        if (frames[i].seenNs - sinceNs <= 1e8 && frames[i].shown > 0)
            moving.push_back(frames[i]);
    }
    return moving;
}

// The track time the pictures showed at `ns`.
double shownAt(const std::vector<Frame>& frames, double ns)
{
    auto after = std::upper_bound(frames.begin(), frames.end(), ns,
                                  [](double t, const Frame& frame) { return t < frame.seenNs; });
    return after == frames.begin() ? frames.front().shown : (after - 1)->shown;
}

struct Block {
    long start;  // capture sample
    long shift;
};

// Each loud block of the capture and the track samples it holds. A block
// most likely goes on from the one before; otherwise (at the start, after
// silence, a seek or a stall) the second from it is looked for within 1.5 s
// of what the pictures showed when it was heard.
std::vector<Block> matchCapture(const Signals& s, const std::vector<Frame>& frames, double origin)
{
    std::vector<Block> blocks;
    const long reach = rate * 3 / 2;
    const long step = rate / 50;
    bool continues = false;
    for (long from = 0; from + blockSamples <= long(s.capture.size()); from += blockSamples) {
        const auto begin = s.capture.begin() + from;
        const bool loud = std::any_of(begin, begin + blockSamples, [](int16_t v) { return std::abs(v) > silence; });
        Match match;
        if (loud && continues) {
            const long previous = blocks.back().shift;
            match = matchStretch(s, from, blockSamples, previous - step, previous + step, previous);
        }
        if (loud && match.score < 0.9) {
            const double ns = origin + double(from + blockSamples / 2) / rate * 1e9;
            const long hint = long(shownAt(frames, ns) * rate) - from - blockSamples / 2;
            const long length = std::min(rate, long(s.capture.size()) - from);
            match = matchStretch(s, from, length, hint - reach, hint + reach, hint);
            // The second may have gone on past a seek or a stall.
            match.score = likeness(s.coarseCapture, s.coarseTrack, from / coarseStep, blockSamples / coarseStep,
                                   match.shift / coarseStep);
        }
        continues = loud && match.score >= 0.6;
        if (continues)
            blocks.push_back({from, match.shift});
    }
    if (blocks.empty())
        fail("no sound of the track found in the capture");
    return blocks;
}

struct Lag {
    const Frame* frame;
    double heardNs;
    double ms;
};

// Each frame's lag, from the block that held its track time; of a track
// time heard more than once (a preview sent back), the hearing nearest the
// frame.
std::vector<Lag> frameLags(const std::vector<Frame>& frames, const std::vector<Block>& blocks, double origin,
                           double extraMs)
{
    std::vector<Lag> lags;
    for (const Frame& frame : frames) {
        const long t = std::lround(frame.shown * rate);
        bool found = false;
        Lag nearest{&frame, 0, 0};
        for (const Block& block : blocks) {
            if (t < block.start + block.shift || t >= block.start + blockSamples + block.shift)
                continue;
            const double heardNs = origin + double(t - block.shift) / rate * 1e9 + extraMs * 1e6;
            const double ms = (heardNs - frame.seenNs) / 1e6;
            if (!found || std::abs(ms) < std::abs(nearest.ms))
                nearest = {&frame, heardNs, ms};
            found = true;
        }
        if (found)
            lags.push_back(nearest);
    }
    if (lags.empty())
        fail("no frame showed a track time the capture held");
    return lags;
}

void printSeconds(const std::vector<Lag>& lags, double origin)
{
    std::vector<std::vector<double>> seconds;
    for (const Lag& lag : lags) {
        const size_t second = size_t(std::max(0.0, (lag.heardNs - origin) / 1e9));
        if (seconds.size() <= second)
            seconds.resize(second + 1);
        seconds[second].push_back(lag.ms);
    }
    for (size_t second = 0; second < seconds.size(); ++second)
        if (!seconds[second].empty())
            std::printf("second %zu %.1f\n", second, median(seconds[second]));
}

double medianLag(const std::vector<Lag>& lags, double fromNs, double toNs)
{
    std::vector<double> ms;
    for (const Lag& lag : lags)
        if (lag.frame->seenNs >= fromNs && lag.frame->seenNs < toNs)
            ms.push_back(lag.ms);
    return median(ms);
}

void printStall(const std::vector<Frame>& frames, const std::vector<Lag>& lags)
{
    auto resumed = frames.end();
    for (auto frame = frames.begin() + 1; frame < frames.end(); ++frame)
        if (frame->seenNs - (frame - 1)->seenNs > 3e8)
            resumed = frame;
    if (resumed == frames.end())
        return;
    const double stoppedNs = (resumed - 1)->seenNs;
    const double resumedNs = resumed->seenNs;
    std::printf("stall %.1f %.1f", medianLag(lags, stoppedNs - 3e9, stoppedNs + 1),
                medianLag(lags, resumedNs + 2e9, 1e300));
    const long settle = 10;
    auto lag = std::find_if(lags.begin(), lags.end(), [&](const Lag& l) { return l.frame->seenNs >= resumedNs; });
    for (; lags.end() - lag >= settle; ++lag) {
        if (std::all_of(lag, lag + settle, [](const Lag& l) { return std::abs(l.ms) <= 20; })) {
            const double ns = lag->frame->seenNs;
            const auto drawn = std::count_if(resumed, frames.end(), [&](const Frame& f) { return f.seenNs < ns; });
            std::printf(" %ld %.1f\n", long(drawn), (ns - resumedNs) / 1e6);
            return;
        }
    }
    std::printf(" - -\n");
}

// The track time of the last sound the capture held, through the block it
// lies in or the last block before it.
double lastHeard(const std::vector<int16_t>& capture, const std::vector<Block>& blocks)
{
    long last = long(capture.size()) - 1;
    while (last > 0 && std::abs(capture[size_t(last)]) <= fadedOut)
        --last;
    auto block = std::upper_bound(blocks.begin(), blocks.end(), last,
                                  [](long sample, const Block& b) { return sample < b.start; });
    const long shift = block == blocks.begin() ? blocks.front().shift : (block - 1)->shift;
    return double(last + shift) / rate;
}

double lastSound(const std::vector<int16_t>& track)
{
    long last = long(track.size()) - 1;
    while (last > 0 && std::abs(track[size_t(last)]) <= fadedOut)
        --last;
    return double(last) / rate;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: sync-offset CAPTURE CAPTURE-TIMES TRACK CLOCK [EXTRA-MS]\n");
        return 1;
    }
    const std::vector<int16_t> capture = readSamples(argv[1]);
    const std::vector<int16_t> track = readSamples(argv[3]);
    const std::vector<Frame> frames = readFrames(argv[4]);
    const double extraMs = argc == 6 ? std::atof(argv[5]) : 0;
    const std::vector<Read> starts = burstStarts(readReads(argv[2]));
    const double origin = captureOrigin(starts);
    const Signals signals{capture, track, coarse(capture), coarse(track)};
    const std::vector<Block> blocks = matchCapture(signals, frames, origin);
    const std::vector<Frame> moving = movingFrames(frames);
    const std::vector<Lag> lags = frameLags(moving, blocks, origin, extraMs);
    std::printf("quantum %ld\n", quantum(starts));
    printSeconds(lags, origin);
    printStall(frames, lags);
    double shown = 0;
    for (const Frame& frame : frames)
        shown = std::max(shown, frame.shown);
    std::printf("end %.3f %.3f %.3f\n", shown, lastHeard(capture, blocks), lastSound(track));
    return 0;
}
