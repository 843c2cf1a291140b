#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The nearest palette entry of any 8-bit RGB colour: the entry at the
// smallest squared distance, the lower index on a tie. The colour cube is cut
// into cells; each cell lists, by ascending index, the entries that can be
// nearest to some colour in it, and a look-up searches only its cell's list.
struct NearestPalette {
    std::vector<std::array<uint8_t, 3>> entries;
    std::vector<uint32_t> cellStart;   // one more than there are cells
    std::vector<uint8_t> candidates;
};

NearestPalette buildNearestPalette(const std::vector<std::array<uint8_t, 3>>& entries);

// The table for the demo's palette.
NearestPalette buildNearestPalette();

uint8_t nearestEntry(const NearestPalette& table, uint8_t r, uint8_t g, uint8_t b);

// The table's cells in its own order, blue varying fastest, then green, then
// red, each as its first four candidates, the last repeated where it has
// fewer: what a shader needs to search the cells as nearestEntry does.
std::vector<std::array<uint8_t, 4>> candidateCube(const NearestPalette& table);

// How many cells the table has along each channel.
constexpr int nearestCellsPerChannel = 32;

// Turns each RGBA pixel into its nearest entry, as the scene pass writes its
// texels: the entry's colour in RGB and its index in alpha.
void snapToPalette(const NearestPalette& table, uint8_t* rgba, size_t pixels);
