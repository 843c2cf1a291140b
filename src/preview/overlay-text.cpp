#include "overlay-text.h"

#include <glad/gl.h>
#include <SDL2/SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdio>
#include <vector>

// Long enough to read a line of advice twice.
static const uint32_t shownMs = 8000;

// A 1080-line screen gets text 30 pixels high, a 720-line window 20.
static int fontPixelsFor(int windowHeight)
{
    return std::max(12, windowHeight / 36);
}

static const char* const vertexSource = R"(#version 330 core
uniform vec4 uBox;      // left, bottom, width, height in window pixels
uniform vec2 uWindow;
out vec2 vFromTopLeft;  // pixels into the box
void main()
{
    vec2 corner = vec2(gl_VertexID & 1, gl_VertexID >> 1);
    gl_Position = vec4((uBox.xy + corner * uBox.zw) / uWindow * 2.0 - 1.0, 0.0, 1.0);
    vFromTopLeft = vec2(corner.x, 1.0 - corner.y) * uBox.zw;
}
)";

// White ink on a dark, see-through backdrop, which keeps the text readable
// over any tiles.
static const char* const fragmentSource = R"(#version 330 core
uniform sampler2D uText;
uniform float uMargin;
in vec2 vFromTopLeft;
out vec4 color;
void main()
{
    ivec2 texel = ivec2(floor(vFromTopLeft - uMargin));
    bool inside = all(greaterThanEqual(texel, ivec2(0))) && all(lessThan(texel, textureSize(uText, 0)));
    float ink = inside ? texelFetch(uText, texel, 0).r : 0.0;
    color = vec4(vec3(ink), mix(0.75, 1.0, ink));
}
)";

static const GLuint textUnit = 7;  // above the scene's

static std::string fontFile()
{
    std::string file;
    if (!FcInit())
        return file;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif:bold"));
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcChar8* path = nullptr;
    if (match && FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch)
        file = reinterpret_cast<const char*>(path);
    if (match)
        FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    FcFini();
    return file;
}

static GLuint compile(GLenum stage, const char* source)
{
    GLuint shader = glCreateShader(stage);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    return shader;
}

static GLuint buildProgram()
{
    GLuint program = glCreateProgram();
    GLuint stages[] = {compile(GL_VERTEX_SHADER, vertexSource), compile(GL_FRAGMENT_SHADER, fragmentSource)};
    for (GLuint stage : stages)
        glAttachShader(program, stage);
    glLinkProgram(program);
    for (GLuint stage : stages)
        glDeleteShader(stage);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked)
        return program;
    glDeleteProgram(program);
    return 0;
}

// A software renderer (llvmpipe) builds a program's code for its state at
// its first draw, which takes seconds on a slow machine: drawn once now, into
// the back buffer that the first frame clears, the first notice holds up no
// frame.
static void warmUp(OverlayText& overlay)
{
    showOverlayText(overlay, ".");
    drawOverlayText(overlay, 64, 64, 0);
    glDeleteTextures(1, &overlay.notice.texture);
    overlay.notice = {};
    overlay.noticeCounts = false;
}

bool openOverlayText(OverlayText& overlay)
{
    const std::string file = fontFile();
    if (file.empty()) {
        std::fputs("mosaic-preview: fontconfig finds no font; messages go to standard error alone\n", stderr);
        return false;
    }
    if (TTF_Init() != 0 || !(overlay.font = TTF_OpenFont(file.c_str(), fontPixelsFor(720)))) {
        std::fprintf(stderr, "mosaic-preview: cannot open the font %s: %s; messages go to standard error alone\n",
                     file.c_str(), TTF_GetError());
        return false;
    }
    overlay.program = buildProgram();
    if (overlay.program == 0) {
        std::fputs("mosaic-preview: the text overlay's shaders do not build; messages go to standard error "
                   "alone\n", stderr);
        closeOverlayText(overlay);
        return false;
    }
    glCreateVertexArrays(1, &overlay.vertexArray);
    warmUp(overlay);
    return true;
}

void showOverlayText(OverlayText& overlay, const std::string& text)
{
    overlay.notice.text = text;
    overlay.noticeCounts = false;
}

void setCornerText(OverlayText& overlay, const std::string& text)
{
    overlay.corner.text = text;
}

// The glyphs' coverage, which is all the shader needs, in a texture of the
// text's own size.
static void renderText(const OverlayText& overlay, OverlayBox& box, int wrapWidth)
{
    const SDL_Color white = {255, 255, 255, 255};
    SDL_Surface* surface = TTF_RenderUTF8_Blended_Wrapped(overlay.font, box.text.c_str(), white,
                                                          static_cast<Uint32>(wrapWidth));
    box.rendered = box.text;
    box.renderedWidth = wrapWidth;
    glDeleteTextures(1, &box.texture);
    box.texture = 0;
    if (!surface)
        return;
    std::vector<uint8_t> coverage(static_cast<size_t>(surface->w) * surface->h);
    for (int y = 0; y < surface->h; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(surface->pixels) +
                                                             static_cast<ptrdiff_t>(y) * surface->pitch);
        for (int x = 0; x < surface->w; ++x)
            coverage[static_cast<size_t>(y) * surface->w + x] = static_cast<uint8_t>(row[x] >> 24);
    }
    glCreateTextures(GL_TEXTURE_2D, 1, &box.texture);
    glTextureStorage2D(box.texture, 1, GL_R8, surface->w, surface->h);
    GLint alignment = 4;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTextureSubImage2D(box.texture, 0, 0, 0, surface->w, surface->h, GL_RED, GL_UNSIGNED_BYTE, coverage.data());
    glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);
    box.textureWidth = surface->w;
    box.textureHeight = surface->h;
    SDL_FreeSurface(surface);
}

// Where a box goes: the notice centred at the top, the corner line at the
// bottom right, each `margin` from the window's edges.
enum class Place { Top, BottomRight };

static void drawBox(OverlayText& overlay, OverlayBox& box, Place place, int width, int height)
{
    const int margin = overlay.fontPixels / 2;
    // The notice leaves a tenth of the width clear on either side, the
    // picture's corners with it; the corner line keeps to its half.
    const int wrapWidth = (place == Place::Top ? width * 8 / 10 : width / 2) - 2 * margin;
    if (box.text != box.rendered || wrapWidth != box.renderedWidth)
        renderText(overlay, box, wrapWidth);
    if (box.texture == 0)
        return;
    const int boxWidth = box.textureWidth + 2 * margin;
    const int boxHeight = box.textureHeight + 2 * margin;
    const int left = place == Place::Top ? (width - boxWidth) / 2 : width - margin - boxWidth;
    const int bottom = place == Place::Top ? height - margin - boxHeight : margin;
    glProgramUniform4f(overlay.program, glGetUniformLocation(overlay.program, "uBox"), static_cast<float>(left),
                       static_cast<float>(bottom), static_cast<float>(boxWidth), static_cast<float>(boxHeight));
    glProgramUniform1f(overlay.program, glGetUniformLocation(overlay.program, "uMargin"), static_cast<float>(margin));
    glBindTextureUnit(textUnit, box.texture);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
}

void drawOverlayText(OverlayText& overlay, int width, int height, uint32_t now)
{
    if (overlay.noticeCounts && static_cast<int32_t>(now - overlay.noticeUntil) >= 0)
        overlay.notice.text.clear();
    if (!overlay.font || (overlay.notice.text.empty() && overlay.corner.text.empty()))
        return;
    if (!overlay.noticeCounts && !overlay.notice.text.empty()) {
        overlay.noticeCounts = true;
        overlay.noticeUntil = now + shownMs;
    }
    const int pixels = fontPixelsFor(height);
    if (pixels != overlay.fontPixels) {
        TTF_SetFontSize(overlay.font, pixels);
        overlay.fontPixels = pixels;
        overlay.notice.rendered.clear();
        overlay.corner.rendered.clear();
    }
    GLint sceneArray = 0;
    glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &sceneArray);
    glUseProgram(overlay.program);
    glProgramUniform2f(overlay.program, glGetUniformLocation(overlay.program, "uWindow"), static_cast<float>(width),
                       static_cast<float>(height));
    glProgramUniform1i(overlay.program, glGetUniformLocation(overlay.program, "uText"), textUnit);
    glBindVertexArray(overlay.vertexArray);
    glEnable(GL_BLEND);
    glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
    if (!overlay.notice.text.empty())
        drawBox(overlay, overlay.notice, Place::Top, width, height);
    if (!overlay.corner.text.empty())
        drawBox(overlay, overlay.corner, Place::BottomRight, width, height);
    glDisable(GL_BLEND);
    glBindVertexArray(static_cast<GLuint>(sceneArray));
}

void closeOverlayText(OverlayText& overlay)
{
    glDeleteTextures(1, &overlay.notice.texture);
    glDeleteTextures(1, &overlay.corner.texture);
    glDeleteVertexArrays(1, &overlay.vertexArray);
    glDeleteProgram(overlay.program);
    if (overlay.font)
        TTF_CloseFont(overlay.font);
    overlay = OverlayText{};
    TTF_Quit();
}
