// How the camera tests see the source image in the window: a test mosaic
// shader shows the source texture texel for texel in the window's
// bottom-left 300x300 pixels, and its alpha, the palette index, as grey in
// the 300x300 pixels to the right of them.
#pragma once

#include "harness.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

extern const char* const sourceViewShader;
constexpr int sourceSize = 300;

using Rgb = std::array<int, 3>;

std::string describe(const Rgb& c);

// Texel (x, y) of the source texture, row 0 being a frame's first row.
Rgb sourceTexel(const Image& window, int x, int y);
int sourceIndex(const Image& window, int x, int y);

// The pixels of a width x height frame under texel (x, y) once the frame is
// cropped to its centred square, scaled and mirrored: columns left..right
// and rows top..bottom, inclusive.
struct Footprint {
    size_t left, right, top, bottom;
};
Footprint footprint(size_t width, size_t height, int x, int y);

// A camera's colour as the source image holds it: its nearest palette entry.
Rgb snapped(const Rgb& c);

// Compares every texel with `expected` (nothing expected: any value will do)
// and names the first that differs.
void expectTexture(const Image& window, const std::function<std::optional<Rgb>(int, int)>& expected,
                   const std::string& what);

// Every texel's index is its colour's nearest palette entry.
void expectIndexed(const Image& window, const std::string& what);

// Bright pixels in the window's top fifth, where the preview's messages show
// and the source view draws only black.
long messagePixels(const Image& window);
// Bright pixels in the bottom tenth right of the source view, where the
// preview's corner line shows.
long cornerPixels(const Image& window);

// The longest wait between two swaps from frame `from` to frame `to`, in
// seconds: how long a camera starting meanwhile held up the frames.
double longestGap(const FrameHook& hook, long from, long to);
