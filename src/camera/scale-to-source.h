#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Scaling of packed-RGB frames into the square source image: uniformly,
// until the frame's shorter side is `size`, keeping the centred square (on
// whole pixels: an odd pixel left over stays to the right or at the bottom)
// and mirroring it left to right, as a camera preview shows people. Each texel
// is the average of the frame's pixels under it, weighted by how much of
// each it covers. The weights depend only on the geometry, so they are
// worked out once for it.
struct SourceScaler {
    struct Tap {
        uint32_t pixel;
        uint32_t weight;
    };
    // The taps of texel t along an axis are taps[first[t]] to taps[first[t + 1]].
    struct Axis {
        std::vector<Tap> taps;
        std::vector<size_t> first;
    };
    size_t width = 0, height = 0;
    int size = 0;
    uint64_t area = 0;          // the sum of a texel's weights
    Axis columns;               // mirrored
    Axis rows;
    std::vector<uint64_t> sums; // one texel row being summed
};

// For frames of width x height pixels, both above 0 and below 2^32 / size.
SourceScaler makeSourceScaler(size_t width, size_t height, int size);

// Writes `size` rows of RGBA, the frame's first row first, from a frame of
// the scaler's geometry (rows 3 * width bytes); alpha is left as it was.
// Nothing outside the frame is read.
void scaleToSource(SourceScaler& scaler, const uint8_t* rgb, uint8_t* rgba);
