// The music track, decoded whole before it plays, so that any place in it is
// at hand at once and a file that does not decode fails before the demo
// starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The format the track plays in, whatever the file's own.
const int trackRate = 22050;
const int trackChannels = 2;

struct Track {
    std::vector<int16_t> samples;  // interleaved, trackChannels a frame
    // The file's own length, which resampling may round by a frame.
    double seconds = 0;

    size_t frames() const { return samples.size() / trackChannels; }
};

// `frames` frames of the track from frame `from` into `out`, silence past
// its end: an output plays on after the track so that its clock runs on.
void copyFrames(const Track& track, size_t from, size_t frames, void* out);

// The Ogg Vorbis file `fileName` at trackRate in signed 16-bit stereo; false,
// with why in `error`, when it cannot be read or decoded.
bool loadTrack(const char* fileName, Track& track, std::string& error);
