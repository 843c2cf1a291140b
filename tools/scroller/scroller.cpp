// Draws the demo's scroll text into a banner PNG: letters banded in the
// demo's own palette colours, with a near-black outline and drop shadow,
// transparent everywhere else. Every pixel is either fully transparent or one
// opaque palette colour, so the banner belongs to the mosaic picture instead
// of sitting on it. The demo runs the text through once.
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
    "MOSAIC  ***  A REAL-TIME DEMO IN 33 COLOURS  ***  "
    "PICTURES: DISTANCE FIELDS RAY-MARCHED INTO 300 BY 300 PIXELS, LAID OUT AS TILES  ***  "
    "MUSIC: A SCORE WRITTEN IN CODE FOR PULSE, TRIANGLE AND NOISE VOICES  ***  "
    "GREETINGS TO THE DEMOSCENE, THE CHIP MUSIC AND TRACKER SCENES, "
    "SHADER CODERS AND PIXEL ARTISTS  ***  THANKS FOR WATCHING!";

static const int bannerHeight = 64;
static const float glyphHeight = 46.0f;  // ascent to descent, in pixels
static const int topMargin = 5;
static const int outlineRadius = 3;
static const int shadowOffset = 3;

struct Rgb {
    unsigned char r, g, b;
};

// Palette entries of the demo, from the top of the letters down: two light
// bands, a dark horizon line and a warm ground, as chrome lettering has.
static const Rgb letterBands[] = {{127, 199, 181}, {49, 194, 149}, {40, 121, 124},
                                  {132, 162, 100}, {138, 131, 47}};
static const Rgb outlineColour = {9, 9, 8};
// Edges of the bands, as parts of the glyph height below the banner's top.
static const float bandEdges[] = {0.28f, 0.42f, 0.48f, 0.64f};
// Room left and right of the text for its outline and shadow.
static const int padding = 8;

// Coverage of the text, 0 to 1 per pixel, bannerHeight rows.
struct Coverage {
    int width = 0;
    std::vector<float> alpha;
    float at(int x, int y) const
    {
        if (y < 0 || y >= bannerHeight)
            return 0.0f;
        if (x < 0 || x >= width)
            return 0.0f;
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
            int column = static_cast<int>(std::floor(penX)) + x0 + x;
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
    text.width = static_cast<int>(std::ceil(textWidth(font, scale))) + 2 * padding;
    text.alpha.assign(static_cast<size_t>(text.width) * bannerHeight, 0.0f);
    float penX = padding;
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

static Rgb band(int y)
{
    size_t i = 0;
    while (i < std::size(bandEdges) && y >= topMargin + bandEdges[i] * glyphHeight)
        ++i;
    return letterBands[i];
}

// Coverage of half or more counts as ink, so that no pixel blends with what
// lies under the banner.
static std::vector<unsigned char> paint(const Coverage& text)
{
    Coverage outline = dilate(text, outlineRadius);
    std::vector<unsigned char> rgba(static_cast<size_t>(text.width) * bannerHeight * 4, 0);
    for (int y = 0; y < bannerHeight; ++y)
        for (int x = 0; x < text.width; ++x) {
            unsigned char* out = &rgba[(static_cast<size_t>(y) * text.width + x) * 4];
            bool inked = text.at(x, y) >= 0.5f;
            bool edged = outline.at(x, y) >= 0.5f || outline.at(x - shadowOffset, y - shadowOffset) >= 0.5f;
            if (!inked && !edged)
                continue;
            Rgb colour = inked ? band(y) : outlineColour;
            out[0] = colour.r;
            out[1] = colour.g;
            out[2] = colour.b;
            out[3] = 255;
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
