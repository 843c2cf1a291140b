#include "scale-to-source.h"

#include <algorithm>

// A texel spans `side` units and a pixel `size` units of one axis; the
// square starts `offset` pixels in. Texel t covers [t * side, (t + 1) * side)
// of the square, pixel i covers [i * size, (i + 1) * size).
static std::vector<SourceScaler::Tap> taps(size_t texel, size_t side, size_t offset, int size)
{
    std::vector<SourceScaler::Tap> result;
    const size_t n = static_cast<size_t>(size);
    const size_t begin = texel * side;
    const size_t end = begin + side;
    for (size_t i = begin / n; i * n < end; ++i) {
        const size_t overlap = std::min(end, (i + 1) * n) - std::max(begin, i * n);
        result.push_back({offset + i, overlap});
    }
    return result;
}

SourceScaler makeSourceScaler(size_t width, size_t height, int size)
{
    SourceScaler scaler;
    scaler.width = width;
    scaler.height = height;
    scaler.size = size;
    const size_t side = std::min(width, height);
    scaler.area = static_cast<uint64_t>(side) * side;
    for (int t = 0; t < size; ++t) {
        scaler.columns.push_back(taps(static_cast<size_t>(size - 1 - t), side, (width - side) / 2, size));
        scaler.rows.push_back(taps(static_cast<size_t>(t), side, (height - side) / 2, size));
    }
    scaler.sums.resize(static_cast<size_t>(size) * 3);
    return scaler;
}

void scaleToSource(SourceScaler& scaler, const uint8_t* rgb, uint8_t* rgba)
{
    const size_t size = static_cast<size_t>(scaler.size);
    for (size_t y = 0; y < size; ++y) {
        std::fill(scaler.sums.begin(), scaler.sums.end(), 0);
        for (const SourceScaler::Tap& row : scaler.rows[y]) {
            const uint8_t* line = rgb + row.pixel * scaler.width * 3;
            for (size_t x = 0; x < size; ++x) {
                uint64_t r = 0, g = 0, b = 0;
                for (const SourceScaler::Tap& column : scaler.columns[x]) {
                    const uint8_t* p = line + column.pixel * 3;
                    r += column.weight * p[0];
                    g += column.weight * p[1];
                    b += column.weight * p[2];
                }
                uint64_t* sum = &scaler.sums[x * 3];
                sum[0] += row.weight * r;
                sum[1] += row.weight * g;
                sum[2] += row.weight * b;
            }
        }
        uint8_t* out = rgba + y * size * 4;
        for (size_t x = 0; x < size; ++x)
            for (int c = 0; c < 3; ++c)
                out[x * 4 + c] = static_cast<uint8_t>((scaler.sums[x * 3 + c] + scaler.area / 2) / scaler.area);
    }
}
