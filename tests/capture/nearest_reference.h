// The plain nearest-entry search that the palette table must agree with.
#pragma once

#include "palette.h"

#include <array>
#include <cstdint>
#include <vector>

using PaletteColour = std::array<uint8_t, 3>;

inline std::vector<PaletteColour> demoPalette()
{
    std::vector<PaletteColour> palette;
    for (int i = 0; i < paletteSize; ++i)
        palette.push_back(paletteBytes(i));
    return palette;
}

// The entry at the smallest squared distance, the lower index on a tie.
inline int bruteForceNearest(const std::vector<PaletteColour>& palette, int r, int g, int b)
{
    int best = 0;
    int bestDistance = -1;
    for (size_t i = 0; i < palette.size(); ++i) {
        const int dr = r - palette[i][0], dg = g - palette[i][1], db = b - palette[i][2];
        const int distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            best = int(i);
            bestDistance = distance;
        }
    }
    return best;
}
