// Draws the demo's scroll text into a banner PNG: chrome letters with a dark
// outline and a drop shadow, transparent everywhere else. The banner's end
// runs straight into its start, so the mosaic shader can repeat it in s.
#include <stb_image_write.h>
#include <stb_truetype.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

static const char* const defaultFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

static const char* const message =
    "MOSAIC DEMO  ***  300x300 SDF PIXELS THROUGH 33 COLOURS  ***  "
    "MUSIC, CODE AND PIXELS MADE HERE  ***  "
    "MOUSE LEFT FOR FINE TILES, RIGHT FOR BIG ONES  ***  "
    "PARK IT AT THE RIGHT EDGE AND TIME STANDS STILL  ***  "
    "GREETINGS TO ALL DEMOSCENERS, TRACKERS, PIXEL PUSHERS AND SHADER WIZARDS  ***  ";

static const int bannerHeight = 64;
static const float glyphHeight = 46.0f;  // ascent to descent, in pixels
static const int topMargin = 5;
static const int outlineRadius = 3;
static const int shadowOffset = 3;

struct Rgba {
    float r, g, b, a;
};

// Coverage of the text, 0 to 1 per pixel, bannerHeight rows.
struct Coverage {
    int width = 0;
    std::vector<float> alpha;
    float at(int x, int y) const
    {
        if (y < 0 || y >= bannerHeight)
            return 0.0f;
        x = ((x % width) + width) % width;  // wraps like the texture does
        return alpha[y * width + x];
    }
};

static bool readFile(const char* path, std::vector<unsigned char>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad() && !bytes.empty();
}

static float textWidth(const stbtt_fontinfo& font, float scale)
{
    float x = 0.0f;
    for (const char* c = message; *c; ++c) {
        int advance = 0;
        stbtt_GetCodepointHMetrics(&font, *c, &advance, nullptr);
        x += advance * scale;
        if (c[1])
            x += scale * stbtt_GetCodepointKernAdvance(&font, c[0], c[1]);
    }
    return x;
}

static void addGlyph(Coverage& text, const stbtt_fontinfo& font, float scale, int codepoint,
                     float penX, int baseline)
{
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    float shift = penX - std::floor(penX);
    stbtt_GetCodepointBitmapBoxSubpixel(&font, codepoint, scale, scale, shift, 0.0f, &x0, &y0, &x1,
                                        &y1);
    int w = x1 - x0;
    int h = y1 - y0;
    if (w <= 0 || h <= 0)
        return;
    std::vector<unsigned char> glyph(static_cast<size_t>(w) * h);
    stbtt_MakeCodepointBitmapSubpixel(&font, glyph.data(), w, h, w, scale, scale, shift, 0.0f,
                                      codepoint);
    for (int y = 0; y < h; ++y) {
        int row = baseline + y0 + y;
        if (row < 0 || row >= bannerHeight)
            continue;
        for (int x = 0; x < w; ++x) {
            int column = (static_cast<int>(std::floor(penX)) + x0 + x) % text.width;
            float& a = text.alpha[row * text.width + column];
            a = std::min(1.0f, a + glyph[y * w + x] / 255.0f);
        }
    }
}

static Coverage drawText(const stbtt_fontinfo& font)
{
    float scale = stbtt_ScaleForPixelHeight(&font, glyphHeight);
    int ascent = 0;
    stbtt_GetFontVMetrics(&font, &ascent, nullptr, nullptr);
    int baseline = topMargin + static_cast<int>(std::lround(ascent * scale));

    Coverage text;
    text.width = static_cast<int>(std::ceil(textWidth(font, scale)));
    text.alpha.assign(static_cast<size_t>(text.width) * bannerHeight, 0.0f);
    float penX = 0.0f;
    for (const char* c = message; *c; ++c) {
        addGlyph(text, font, scale, *c, penX, baseline);
        int advance = 0;
        stbtt_GetCodepointHMetrics(&font, *c, &advance, nullptr);
        penX += advance * scale;
        if (c[1])
            penX += scale * stbtt_GetCodepointKernAdvance(&font, c[0], c[1]);
    }
    return text;
}

// The text grown by a disc, with a soft rim, gives the outline's coverage.
static Coverage dilate(const Coverage& text, int radius)
{
    Coverage grown = text;
    for (int y = 0; y < bannerHeight; ++y)
        for (int x = 0; x < text.width; ++x) {
            float a = 0.0f;
            for (int dy = -radius; dy <= radius; ++dy)
                for (int dx = -radius; dx <= radius; ++dx) {
                    float rim = std::clamp(radius + 0.5f - std::hypot(float(dx), float(dy)), 0.0f, 1.0f);
                    a = std::max(a, rim * text.at(x + dx, y + dy));
                }
            grown.alpha[y * text.width + x] = a;
        }
    return grown;
}

static Rgba mixColour(Rgba a, Rgba b, float t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, 1.0f};
}

// Classic chrome: bright sky above a hard horizon line, warm ground below.
static Rgba chrome(int y)
{
    const Rgba sky0{1.0f, 1.0f, 1.0f, 1.0f};
    const Rgba sky1{0.55f, 0.85f, 0.95f, 1.0f};
    const Rgba ground0{0.25f, 0.35f, 0.55f, 1.0f};
    const Rgba ground1{1.0f, 0.85f, 0.55f, 1.0f};
    const float capTop = topMargin + 0.1f * glyphHeight;
    const float horizon = topMargin + 0.42f * glyphHeight;
    const float baseline = topMargin + 0.76f * glyphHeight;
    if (y < horizon)
        return mixColour(sky0, sky1, std::clamp((y - capTop) / (horizon - capTop), 0.0f, 1.0f));
    return mixColour(ground0, ground1, std::clamp((y - horizon) / (baseline - horizon), 0.0f, 1.0f));
}

// Straight-alpha "over": src on top of dst.
static Rgba over(Rgba src, Rgba dst)
{
    float a = src.a + dst.a * (1.0f - src.a);
    if (a <= 0.0f)
        return {dst.r, dst.g, dst.b, 0.0f};
    auto blend = [&](float s, float d) { return (s * src.a + d * dst.a * (1.0f - src.a)) / a; };
    return {blend(src.r, dst.r), blend(src.g, dst.g), blend(src.b, dst.b), a};
}

static unsigned char byte(float v)
{
    return static_cast<unsigned char>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
}

static std::vector<unsigned char> paint(const Coverage& text)
{
    const Rgba outlineColour{0.05f, 0.04f, 0.09f, 1.0f};
    const float shadowStrength = 0.6f;
    Coverage outline = dilate(text, outlineRadius);
    std::vector<unsigned char> rgba(static_cast<size_t>(text.width) * bannerHeight * 4);
    for (int y = 0; y < bannerHeight; ++y)
        for (int x = 0; x < text.width; ++x) {
            Rgba shadow = outlineColour;
            shadow.a = shadowStrength * outline.at(x - shadowOffset, y - shadowOffset);
            Rgba edge = outlineColour;
            edge.a = outline.at(x, y);
            Rgba fill = chrome(y);
            fill.a = text.at(x, y);
            Rgba pixel = over(fill, over(edge, shadow));
            unsigned char* out = &rgba[(static_cast<size_t>(y) * text.width + x) * 4];
            out[0] = byte(pixel.r);
            out[1] = byte(pixel.g);
            out[2] = byte(pixel.b);
            out[3] = byte(pixel.a);
        }
    return rgba;
}

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: scroller OUTPUT.png [FONT.ttf]\n");
        return 1;
    }
    const char* output = argv[1];
    const char* fontPath = argc == 3 ? argv[2] : defaultFont;

    std::vector<unsigned char> fontData;
    if (!readFile(fontPath, fontData)) {
        std::fprintf(stderr, "scroller: cannot read font %s (Debian package fonts-dejavu-core)\n",
                     fontPath);
        return 1;
    }
    stbtt_fontinfo font;
    int offset = stbtt_GetFontOffsetForIndex(fontData.data(), 0);
    if (offset < 0 || !stbtt_InitFont(&font, fontData.data(), offset)) {
        std::fprintf(stderr, "scroller: %s is not a TrueType font\n", fontPath);
        return 1;
    }

    Coverage text = drawText(font);
    std::vector<unsigned char> rgba = paint(text);
    if (!stbi_write_png(output, text.width, bannerHeight, 4, rgba.data(), text.width * 4)) {
        std::fprintf(stderr, "scroller: cannot write %s\n", output);
        return 1;
    }
    return 0;
}
