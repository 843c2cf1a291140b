// What the camera tests in the guest show and expect: vivid's colour bars,
// and a test scene in one palette entry, through the source-view shader.
#pragma once

#include "harness.h"
#include "source_view.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The source-view mosaic stage, and a scene pass in palette entry 5 that
// marks its texels with that index, as the real scene marks each texel.
void useTestShaders(const WorkDir& dir);

struct Frame {
    size_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    Rgb at(size_t x, size_t y) const
    {
        const uint8_t* p = &rgb[(y * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

// The picture a program opening `node` at the source size will be granted,
// as the capture class converts it.
Frame grantedPicture(const std::string& node);

// Bars run top to bottom, so a texel whose columns all hold one colour shows
// exactly that colour's palette entry; a texel over the edge of two bars may
// blend them (nothing expected).
std::function<std::optional<Rgb>(int, int)> barsInTheSource(const Frame& bars);

// Whether a probe of the window's bottom row (the texels of source row 0,
// then their indices) shows the test scene, or the bars of `bars`.
bool showsTheScene(const std::vector<uint8_t>& probe);
bool showsTheBars(const std::vector<uint8_t>& probe, const Frame& bars);

// Such a probe's texels as runs of one colour, "37 x (0,0,0) [0], ...",
// each with its palette index.
std::string describeRow(const std::vector<uint8_t>& probe);

// The probe rectangle those three read.
extern const char* const sourceRowProbe;
