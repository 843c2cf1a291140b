#include "scale-to-source.h"

#include <algorithm>

// A texel spans `side` units and a pixel `size` units of one axis; the
// square starts `offset` pixels in. Texel t covers [t * side, (t + 1) * side)
// of the square, pixel i covers [i * size, (i + 1) * size).
static void addTaps(SourceScaler::Axis& axis, size_t texel, size_t side, size_t offset, int size)
{
    const size_t n = static_cast<size_t>(size);
    const size_t begin = texel * side;
    const size_t end = begin + side;
    for (size_t i = begin / n; i * n < end; ++i) {
        const size_t overlap = std::min(end, (i + 1) * n) - std::max(begin, i * n);
        axis.taps.push_back({static_cast<uint32_t>(offset + i), static_cast<uint32_t>(overlap)});
    }
    axis.first.push_back(axis.taps.size());
}

SourceScaler makeSourceScaler(size_t width, size_t height, int size)
{
    SourceScaler scaler;
    scaler.width = width;
    scaler.height = height;
    scaler.size = size;
    const size_t side = std::min(width, height);
    scaler.area = static_cast<uint64_t>(side) * side;
    scaler.columns.first.push_back(0);
    scaler.rows.first.push_back(0);
    for (int t = 0; t < size; ++t) {
        addTaps(scaler.columns, static_cast<size_t>(size - 1 - t), side, (width - side) / 2, size);
        addTaps(scaler.rows, static_cast<size_t>(t), side, (height - side) / 2, size);
    }
    scaler.sums.resize(static_cast<size_t>(size) * 3);
    return scaler;
}

void scaleToSource(SourceScaler& scaler, const uint8_t* rgb, uint8_t* rgba)
{
    const size_t size = static_cast<size_t>(scaler.size);
    const SourceScaler::Tap* columns = scaler.columns.taps.data();
    const size_t* columnFirst = scaler.columns.first.data();
    for (size_t y = 0; y < size; ++y) {
        std::fill(scaler.sums.begin(), scaler.sums.end(), 0);
        for (size_t r = scaler.rows.first[y]; r < scaler.rows.first[y + 1]; ++r) {
            const SourceScaler::Tap row = scaler.rows.taps[r];
            const uint8_t* line = rgb + row.pixel * scaler.width * 3;
            uint64_t* sum = scaler.sums.data();
            for (size_t x = 0; x < size; ++x, sum += 3) {
                uint32_t red = 0, green = 0, blue = 0;
                for (size_t c = columnFirst[x]; c < columnFirst[x + 1]; ++c) {
                    const uint8_t* p = line + columns[c].pixel * 3;
                    red += columns[c].weight * p[0];
                    green += columns[c].weight * p[1];
                    blue += columns[c].weight * p[2];
                }
                sum[0] += static_cast<uint64_t>(row.weight) * red;
                sum[1] += static_cast<uint64_t>(row.weight) * green;
                sum[2] += static_cast<uint64_t>(row.weight) * blue;
            }
        }
        uint8_t* out = rgba + y * size * 4;
        for (size_t x = 0; x < size; ++x)
            for (int c = 0; c < 3; ++c)
                out[x * 4 + c] = static_cast<uint8_t>((scaler.sums[x * 3 + c] + scaler.area / 2) / scaler.area);
    }
}
