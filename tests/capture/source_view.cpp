#include "source_view.h"

#include "nearest_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

const char* const sourceViewShader = R"(#version 330 core
uniform sampler2D uWebcam;
out vec4 color;
void main()
{
    ivec2 p = ivec2(gl_FragCoord.xy);
    if (p.x < 300 && p.y < 300)
        color = vec4(texelFetch(uWebcam, p, 0).rgb, 1.0);
    else if (p.x < 600 && p.y < 300)
        color = vec4(vec3(texelFetch(uWebcam, ivec2(p.x - 300, p.y), 0).a), 1.0);
    else
        color = vec4(0.0, 0.0, 0.0, 1.0);
}
)";

std::string describe(const Rgb& c)
{
    std::ostringstream out;
    out << "(" << c[0] << "," << c[1] << "," << c[2] << ")";
    return out.str();
}

Rgb sourceTexel(const Image& window, int x, int y)
{
    const uint8_t* p = window.gl(x, y);
    return {p[0], p[1], p[2]};
}

int sourceIndex(const Image& window, int x, int y)
{
    return window.gl(sourceSize + x, y)[0];
}

Footprint footprint(size_t width, size_t height, int x, int y)
{
    const size_t side = std::min(width, height);
    const size_t n = sourceSize;
    const size_t left = (width - side) / 2, top = (height - side) / 2;
    const size_t column = n - 1 - size_t(x);
    return {left + column * side / n, left + ((column + 1) * side - 1) / n, top + size_t(y) * side / n,
            top + ((size_t(y) + 1) * side - 1) / n};
}

static bool windowHoldsTheView(const Image& window, const std::string& what)
{
    EXPECT_GE(window.width, 2 * sourceSize) << what;
    EXPECT_GE(window.height, sourceSize) << what;
    return window.width >= 2 * sourceSize && window.height >= sourceSize;
}

Rgb snapped(const Rgb& c)
{
    static const std::vector<PaletteColour> palette = demoPalette();
    const PaletteColour& entry = palette[size_t(bruteForceNearest(palette, c[0], c[1], c[2]))];
    return {entry[0], entry[1], entry[2]};
}

void expectTexture(const Image& window, const std::function<std::optional<Rgb>(int, int)>& expected,
                   const std::string& what)
{
    if (!windowHoldsTheView(window, what))
        return;
    int wrong = 0;
    std::string first;
    for (int y = 0; y < sourceSize; ++y)
        for (int x = 0; x < sourceSize; ++x) {
            std::optional<Rgb> want = expected(x, y);
            Rgb got = sourceTexel(window, x, y);
            if (want && got != *want && !wrong++)
                first = std::to_string(x) + "," + std::to_string(y) + " is " + describe(got) + ", not " +
                        describe(*want);
        }
    EXPECT_EQ(wrong, 0) << what << ": first at texel " << first;
}

void expectIndexed(const Image& window, const std::string& what)
{
    if (!windowHoldsTheView(window, what))
        return;
    static const std::vector<PaletteColour> palette = demoPalette();
    int wrong = 0;
    std::string first;
    for (int y = 0; y < sourceSize; ++y)
        for (int x = 0; x < sourceSize; ++x) {
            const Rgb c = sourceTexel(window, x, y);
            const int want = bruteForceNearest(palette, c[0], c[1], c[2]);
            const int got = sourceIndex(window, x, y);
            if (got != want && !wrong++)
                first = std::to_string(x) + "," + std::to_string(y) + " of colour " + describe(c) + " has " +
                        std::to_string(got) + ", not " + std::to_string(want);
        }
    EXPECT_EQ(wrong, 0) << what << ": first at texel " << first;
}

static long brightPixels(const Image& window, int left, int top, int bottom)
{
    long bright = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < window.width; ++x)
            bright += window.at(x, y)[0] > 128;
    return bright;
}

long messagePixels(const Image& window)
{
    return brightPixels(window, 0, 0, window.height / 5);
}

long cornerPixels(const Image& window)
{
    return brightPixels(window, 2 * sourceSize, window.height - window.height / 10, window.height);
}

double longestGap(const FrameHook& hook, long from, long to)
{
    int64_t longest = 0;
    for (long frame = std::max(from, 1L) + 1; frame <= to; ++frame)
        longest = std::max(longest, hook.swapNanoseconds(frame) - hook.swapNanoseconds(frame - 1));
    return longest / 1e9;
}
