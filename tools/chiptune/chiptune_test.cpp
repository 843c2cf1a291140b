// Runs the real chiptune binary and reads its output back with libvorbisfile.
#include "timeline.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <vorbis/vorbisfile.h>

namespace {

struct Decoded {
    int channels = 0;
    long rate = 0;
    std::vector<float> samples;  // interleaved

    double seconds() const { return double(samples.size()) / channels / rate; }
};

bool decode(const std::string &path, Decoded &out) {
    OggVorbis_File file;
    if (ov_fopen(path.c_str(), &file) != 0)
        return false;
    vorbis_info *info = ov_info(&file, -1);
    out.channels = info->channels;
    out.rate = info->rate;
    float **pcm;
    int section;
    long frames;
    while ((frames = ov_read_float(&file, &pcm, 4096, &section)) > 0)
        for (long i = 0; i < frames; i++)
            for (int c = 0; c < out.channels; c++)
                out.samples.push_back(pcm[c][i]);
    ov_clear(&file);
    return frames == 0;
}

float peak(const std::vector<float> &samples, size_t from, size_t to) {
    float result = 0.0f;
    for (size_t i = from; i < to; i++)
        result = std::max(result, std::fabs(samples[i]));
    return result;
}

double rms(const std::vector<float> &samples) {
    double sum = 0.0;
    for (float s : samples)
        sum += double(s) * s;
    return std::sqrt(sum / double(samples.size()));
}

double mean(const std::vector<float> &samples, int channel) {
    double sum = 0.0;
    for (size_t i = channel; i < samples.size(); i += 2)
        sum += samples[i];
    return sum / double(samples.size() / 2);
}

// Pearson correlation of the left and right channels: 1 is mono.
double stereoCorrelation(const std::vector<float> &samples) {
    double left = mean(samples, 0), right = mean(samples, 1);
    double lr = 0.0, ll = 0.0, rr = 0.0;
    for (size_t i = 0; i + 1 < samples.size(); i += 2) {
        double l = samples[i] - left, r = samples[i + 1] - right;
        lr += l * r;
        ll += l * l;
        rr += r * r;
    }
    return lr / std::sqrt(ll * rr);
}

struct Outcome {
    int status;
    std::string err;
};

std::string readText(const std::string &path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Outcome chiptune(const std::string &args, std::string *out = nullptr) {
    std::string errPath = testing::TempDir() + "chiptune-stderr-" + std::to_string(getpid());
    std::string outPath = testing::TempDir() + "chiptune-stdout-" + std::to_string(getpid());
    int raw = std::system(
        (std::string(CHIPTUNE_BINARY) + " " + args + " >" + outPath + " 2>" + errPath).c_str());
    std::string err = readText(errPath);
    if (out)
        *out = readText(outPath);
    std::remove(errPath.c_str());
    std::remove(outPath.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, err};
}

struct Mark {
    std::string name;
    double bar;
    double seconds;
};

std::vector<Mark> scoreSections() {
    std::string table;
    EXPECT_EQ(chiptune("--sections", &table).status, 0);
    std::vector<Mark> marks;
    std::istringstream in(table);
    Mark mark;
    while (in >> mark.name >> mark.bar >> mark.seconds)
        marks.push_back(mark);
    return marks;
}

std::string tempOgg(const char *name) {
    return testing::TempDir() + name + std::to_string(getpid()) + ".ogg";
}

TEST(Chiptune, ShortTrackHasRequestedLengthAndFadesOut) {
    std::string path = tempOgg("chiptune-short-");
    Outcome run = chiptune("--seconds 1.5 " + path);
    ASSERT_EQ(run.status, 0) << run.err;
    Decoded track;
    ASSERT_TRUE(decode(path, track));
    std::remove(path.c_str());
    EXPECT_EQ(track.channels, 2);
    EXPECT_NEAR(track.seconds(), 1.5, 0.001);
    EXPECT_GT(rms(track.samples), 0.02) << "the opening should be audible";
    size_t last5ms = size_t(0.005 * track.rate) * track.channels;
    EXPECT_LT(peak(track.samples, track.samples.size() - last5ms, track.samples.size()), 0.02f)
        << "a cut-short track must fade, not click";
}

TEST(Chiptune, RejectsBadArguments) {
    for (const char *args : {"", "--seconds", "--seconds 0 x.ogg", "--seconds -2 x.ogg",
                             "--seconds 1.5s x.ogg", "--seconds inf x.ogg", "--loud x.ogg",
                             "a.ogg b.ogg"}) {
        Outcome run = chiptune(args);
        EXPECT_EQ(run.status, 1) << "args: " << args;
        EXPECT_FALSE(run.err.empty()) << "args: " << args;
    }
}

TEST(Chiptune, ReportsUnwritableOutput) {
    Outcome run = chiptune("--seconds 0.2 /nonexistent-dir/track.ogg");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("/nonexistent-dir/track.ogg"), std::string::npos) << run.err;
}

// The demo plays the committed file; it must be the whole piece, ending in silence.
TEST(Chiptune, CommittedTrackIsCompleteAndUnclipped) {
    Decoded track;
    ASSERT_TRUE(decode(CHIPTUNE_ASSET, track));
    EXPECT_GE(track.seconds(), 60.0);
    EXPECT_LE(track.seconds(), 120.0);
    EXPECT_LT(peak(track.samples, 0, track.samples.size()), 0.99f);
    size_t tail = size_t(0.1 * track.rate) * track.channels;
    EXPECT_LT(peak(track.samples, track.samples.size() - tail, track.samples.size()), 0.001f)
        << "the track must end by decaying, not by being cut off";
}

// The pictures follow the music through the section table: the shaders'
// timeline must be the score's, and the committed track the score's rendering.
TEST(Chiptune, ShadersAndTrackFollowTheScore) {
    std::vector<Mark> marks = scoreSections();
    ASSERT_GE(marks.size(), 2u);
    EXPECT_EQ(marks.back().name, "end");
    std::vector<double> bars;
    for (const Mark &mark : marks)
        bars.push_back(mark.bar);
    std::string shader = readText(MOSAIC_TIMELINE_SHADER);
    EXPECT_EQ(shaderConstant(shader, "SECTION_BARS"), bars);
    EXPECT_EQ(shaderConstant(shader, "BEATS_PER_MINUTE"), std::vector<double>{136.0});
    EXPECT_NEAR(marks.back().seconds, marks.back().bar * 4 * 60.0 / 136.0, 0.001);

    Decoded track;
    ASSERT_TRUE(decode(CHIPTUNE_ASSET, track));
    EXPECT_GT(track.seconds(), marks.back().seconds) << "the track is shorter than the score";
    EXPECT_LT(track.seconds(), marks.back().seconds + 4.0) << "the final chord rings too long";
}

TEST(Chiptune, CommittedTrackIsStereoWithoutOffset) {
    Decoded track;
    ASSERT_TRUE(decode(CHIPTUNE_ASSET, track));
    ASSERT_EQ(track.channels, 2);
    EXPECT_LT(std::fabs(mean(track.samples, 0)), 0.001);
    EXPECT_LT(std::fabs(mean(track.samples, 1)), 0.001);
    EXPECT_LT(stereoCorrelation(track.samples), 0.85) << "the two channels should differ";
}

}  // namespace
