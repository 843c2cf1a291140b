#include "nearest-palette.h"

#include "palette.h"

#include <algorithm>

// 32 cells a channel: few candidates per cell, and a table built in well
// under a millisecond.
static const int cellShift = 3;
static const int cellsPerChannel = 256 >> cellShift;
static_assert(cellsPerChannel == nearestCellsPerChannel);

static int cellOf(uint8_t r, uint8_t g, uint8_t b)
{
    return ((r >> cellShift) * cellsPerChannel + (g >> cellShift)) * cellsPerChannel + (b >> cellShift);
}

struct Span {
    int nearest;   // squared distance from the closest point of the cell
    int farthest;  // from the farthest corner
};

static Span channelSpan(int value, int low, int high)
{
    const int below = value < low ? low - value : value > high ? value - high : 0;
    const int far = std::max(value - low, high - value);
    return {below * below, far * far};
}

// Whether `other` beats `entry` at every colour of the cell from `low` to
// `high`: the difference of their squared distances is linear in the colour,
// so its least value over the cell lies at a corner. On a tie the lower
// index wins.
static bool dominates(const std::array<uint8_t, 3>& other, size_t otherIndex, const std::array<uint8_t, 3>& entry,
                      size_t entryIndex, const int* low, const int* high)
{
    int least = 0;
    for (int c = 0; c < 3; ++c) {
        const int slope = 2 * (other[c] - entry[c]);
        least += slope * (slope >= 0 ? low[c] : high[c]) + entry[c] * entry[c] - other[c] * other[c];
    }
    return least > 0 || (least == 0 && otherIndex < entryIndex);
}

// A cell's candidates: first the entries that come at least as close to the
// cell as the best entry's farthest corner is ("as close" keeps ties), then
// without those that another candidate beats everywhere in the cell.
NearestPalette buildNearestPalette(const std::vector<std::array<uint8_t, 3>>& entries)
{
    NearestPalette table;
    table.entries = entries;
    const int cellSize = 1 << cellShift;
    std::vector<Span> spans(entries.size());
    std::vector<size_t> near;
    for (int cr = 0; cr < cellsPerChannel; ++cr)
        for (int cg = 0; cg < cellsPerChannel; ++cg)
            for (int cb = 0; cb < cellsPerChannel; ++cb) {
                const int low[3] = {cr * cellSize, cg * cellSize, cb * cellSize};
                const int high[3] = {low[0] + cellSize - 1, low[1] + cellSize - 1, low[2] + cellSize - 1};
                int bestFarthest = 3 * 255 * 255 + 1;
                for (size_t i = 0; i < entries.size(); ++i) {
                    Span s = {0, 0};
                    for (int c = 0; c < 3; ++c) {
                        const Span channel = channelSpan(entries[i][c], low[c], high[c]);
                        s.nearest += channel.nearest;
                        s.farthest += channel.farthest;
                    }
                    spans[i] = s;
                    bestFarthest = std::min(bestFarthest, s.farthest);
                }
                near.clear();
                for (size_t i = 0; i < entries.size(); ++i)
                    if (spans[i].nearest <= bestFarthest)
                        near.push_back(i);
                table.cellStart.push_back(static_cast<uint32_t>(table.candidates.size()));
                for (size_t i : near) {
                    const bool beaten = std::any_of(near.begin(), near.end(), [&](size_t other) {
                        return other != i && dominates(entries[other], other, entries[i], i, low, high);
                    });
                    if (!beaten)
                        table.candidates.push_back(static_cast<uint8_t>(i));
                }
            }
    table.cellStart.push_back(static_cast<uint32_t>(table.candidates.size()));
    return table;
}

NearestPalette buildNearestPalette()
{
    std::vector<std::array<uint8_t, 3>> entries;
    for (int i = 0; i < paletteSize; ++i)
        entries.push_back(paletteBytes(i));
    return buildNearestPalette(entries);
}

uint8_t nearestEntry(const NearestPalette& table, uint8_t r, uint8_t g, uint8_t b)
{
    const int cell = cellOf(r, g, b);
    const uint8_t* candidate = table.candidates.data() + table.cellStart[cell];
    const uint8_t* end = table.candidates.data() + table.cellStart[cell + 1];
    uint8_t best = *candidate;
    int bestDistance = 3 * 256 * 256;
    for (; candidate != end; ++candidate) {
        const std::array<uint8_t, 3>& e = table.entries[*candidate];
        const int dr = r - e[0];
        const int dg = g - e[1];
        const int db = b - e[2];
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = *candidate;
        }
    }
    return best;
}

std::vector<std::array<uint8_t, 4>> candidateCube(const NearestPalette& table)
{
    std::vector<std::array<uint8_t, 4>> cube(table.cellStart.size() - 1);
    for (size_t cell = 0; cell < cube.size(); ++cell)
        for (uint32_t i = 0; i < 4; ++i)
            cube[cell][i] = table.candidates[std::min(table.cellStart[cell] + i, table.cellStart[cell + 1] - 1)];
    return cube;
}

void snapToPalette(const NearestPalette& table, uint8_t* rgba, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i, rgba += 4) {
        const uint8_t entry = nearestEntry(table, rgba[0], rgba[1], rgba[2]);
        const std::array<uint8_t, 3>& colour = table.entries[entry];
        rgba[0] = colour[0];
        rgba[1] = colour[1];
        rgba[2] = colour[2];
        rgba[3] = entry;
    }
}
