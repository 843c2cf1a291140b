// What the scene makes of a capture frame before it goes up: the scaled,
// cropped and mirrored picture, and the palette index of every texel.
#include "nearest-palette.h"
#include "nearest_reference.h"
#include "palette.h"
#include "scale-to-source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

using Colour = PaletteColour;

TEST(NearestPalette, DemoPaletteIsWhatTheTextureHolds)
{
    ASSERT_EQ(paletteSize, 33);
    const std::vector<Colour> palette = demoPalette();
    EXPECT_EQ(palette.front(), (Colour{148, 92, 125}));
    EXPECT_EQ(palette.back(), (Colour{138, 131, 47}));
    for (int i = 0; i < paletteSize; ++i)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(constlut[i][c], palette[i][c] / 255.0f) << "entry " << i;
}

TEST(NearestPalette, EveryColourFindsTheBruteForceAnswer)
{
    const std::vector<Colour> palette = demoPalette();
    const NearestPalette table = buildNearestPalette();
    long wrong = 0;
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                const int want = bruteForceNearest(palette, r, g, b);
                const int got = nearestEntry(table, uint8_t(r), uint8_t(g), uint8_t(b));
                if (got != want && wrong++ < 5)
                    ADD_FAILURE() << "(" << r << "," << g << "," << b << "): " << got << ", not " << want;
            }
    EXPECT_EQ(wrong, 0);
}

// Ties go to the lower index, also where the tied entries fall in
// different cells of the table or are the same colour.
TEST(NearestPalette, TiesGoToTheLowerIndex)
{
    const NearestPalette apart = buildNearestPalette({{0, 0, 0}, {250, 0, 0}, {6, 0, 0}, {14, 0, 0}});
    EXPECT_EQ(nearestEntry(apart, 3, 0, 0), 0);
    EXPECT_EQ(nearestEntry(apart, 10, 0, 0), 2);
    EXPECT_EQ(nearestEntry(apart, 132, 0, 0), 1);
    const NearestPalette same = buildNearestPalette({{9, 9, 9}, {200, 1, 1}, {200, 1, 1}});
    EXPECT_EQ(nearestEntry(same, 255, 0, 0), 1);
    EXPECT_EQ(nearestEntry(same, 0, 0, 0), 0);
}

TEST(NearestPalette, RandomPalettesAgreeWithBruteForce)
{
    std::mt19937 rng(10);
    for (int round = 0; round < 8; ++round) {
        std::vector<Colour> palette(1 + rng() % 64);
        for (Colour& c : palette)
            c = {uint8_t(rng() % 4 * 64), uint8_t(rng()), uint8_t(rng() % 2 ? 255 : rng())};
        const NearestPalette table = buildNearestPalette(palette);
        for (int i = 0; i < 20000; ++i) {
            const uint8_t r = uint8_t(rng()), g = uint8_t(rng()), b = uint8_t(rng());
            ASSERT_EQ(nearestEntry(table, r, g, b), bruteForceNearest(palette, r, g, b))
                << "round " << round << ", colour (" << int(r) << "," << int(g) << "," << int(b) << ")";
        }
    }
}

TEST(NearestPalette, SnappedPixelsTakeTheirEntrysColourAndIndex)
{
    const NearestPalette table = buildNearestPalette();
    std::vector<uint8_t> rgba = {150, 90, 128, 77, 138, 131, 47, 0, 0, 0, 0, 255};
    snapToPalette(table, rgba.data(), 3);
    EXPECT_EQ(rgba, (std::vector<uint8_t>{148, 92, 125, 0, 138, 131, 47, 32, 9, 9, 8, 22}));
}

// A texel's value worked out from the geometry alone: the frame scaled by
// size / side, its centred square (on whole pixels, the odd one left over
// going to the right or bottom), mirrored; the mean of the frame over the
// texel's footprint.
double expectedTexel(const std::vector<uint8_t>& frame, size_t width, size_t height, int size, int x, int y,
                     int channel)
{
    const double side = double(std::min(width, height));
    const double scale = side / size;
    const double left = double((width - size_t(side)) / 2) + (size - 1 - x) * scale;
    const double top = double((height - size_t(side)) / 2) + y * scale;
    double sum = 0;
    // Rounding may put a footprint's edge a hair past the frame's.
    for (size_t py = size_t(std::floor(top)); py < height && double(py) < top + scale; ++py)
        for (size_t px = size_t(std::floor(left)); px < width && double(px) < left + scale; ++px) {
            const double w = std::min(double(px + 1), left + scale) - std::max(double(px), left);
            const double h = std::min(double(py + 1), top + scale) - std::max(double(py), top);
            sum += w * h * frame[(py * width + px) * 3 + channel];
        }
    return sum / (scale * scale);
}

struct Geometry {
    size_t width, height;
};

class SourceScaling : public testing::TestWithParam<Geometry> {};

// Frames exactly as large as their pixels, so that the sanitizer build sees
// any read past them.
TEST_P(SourceScaling, EveryTexelIsTheMeanOfItsFootprint)
{
    const auto [width, height] = GetParam();
    const int size = 300;
    std::mt19937 rng(unsigned(width * 7 + height));
    std::vector<uint8_t> frame(width * height * 3);
    // Blocks of a few pixels, so that texels see both flat and mixed areas.
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                frame[(y * width + x) * 3 + c] = uint8_t((x / 3 * 37 + y / 5 * 101 + c * 59 + (rng() % 4)) % 256);
    std::vector<uint8_t> rgba(size_t(size) * size * 4, 7);
    SourceScaler scaler = makeSourceScaler(width, height, size);
    scaleToSource(scaler, frame.data(), rgba.data());
    int wrong = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const uint8_t* texel = &rgba[(size_t(y) * size + x) * 4];
            EXPECT_EQ(texel[3], 7) << "alpha is the palette index's";
            for (int c = 0; c < 3; ++c) {
                const double want = expectedTexel(frame, width, height, size, x, y, c);
                if (std::abs(texel[c] - want) > 0.5 + 1e-9 && wrong++ < 5)
                    ADD_FAILURE() << "texel " << x << "," << y << " channel " << c << ": " << int(texel[c])
                                  << ", not " << want;
            }
        }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Frames, SourceScaling,
                         testing::Values(Geometry{640, 480}, Geometry{1280, 720}, Geometry{320, 180},
                                         Geometry{176, 144}, Geometry{300, 300}, Geometry{450, 451},
                                         Geometry{1, 1}, Geometry{2, 1000}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

// The frame's left edge ends up on the right, its first row stays first.
TEST(SourceScaling, MirrorsLeftToRightOnly)
{
    const size_t width = 600, height = 600;
    std::vector<uint8_t> frame(width * height * 3, 0);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            frame[(y * width + x) * 3] = x < 300 ? 200 : 0;
            frame[(y * width + x) * 3 + 1] = y < 300 ? 100 : 0;
        }
    std::vector<uint8_t> rgba(300 * 300 * 4);
    SourceScaler scaler = makeSourceScaler(width, height, 300);
    scaleToSource(scaler, frame.data(), rgba.data());
    auto at = [&](int x, int y, int c) { return int(rgba[(size_t(y) * 300 + x) * 4 + c]); };
    EXPECT_EQ(at(0, 0, 0), 0);
    EXPECT_EQ(at(149, 0, 0), 0);
    EXPECT_EQ(at(150, 0, 0), 200);
    EXPECT_EQ(at(299, 299, 0), 200);
    EXPECT_EQ(at(0, 149, 1), 100);
    EXPECT_EQ(at(0, 150, 1), 0);
}

}  // namespace
