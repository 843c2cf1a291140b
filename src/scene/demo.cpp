#include "demo.h"
#include "camera-feed.h"
#include "common.h"
#include "music-output.h"
#include "nearest-palette.h"
#include "palette.h"
#include "safe-image.h"
#include "scale-to-source.h"

#include "scene-gl.h"

#include <stb_image.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

static GLuint buffer = 0;
static GLuint vao = 0;
static GLuint renderStuff = 0;
static GLuint banner = 0;  // 0 while "mosaic.frag" draws the banner with the tiles
static GLuint sdf = 0;
static GLuint texture = 0;
static GLuint lut = 0;
static GLuint paletteRow = 0;
static GLuint scroller = 0;
static GLuint fb = 0;
static GLuint nearestLut = 0;

// The last size `resize` was given, for programs built after it.
static GLint viewportWidth = 0;
static GLint viewportHeight = 0;

// The banner's own size, that of "scroller.png".
static GLint bannerWidth = 0;
static GLint bannerHeight = 0;

// The source image's size: the scene program renders at it and a capture
// frame is uploaded at it.
static const int32_t www = 300;
static const int32_t wwh = 300;

// A full-window quad as a triangle strip.
static const float triangle[] = {
    -1.0f, -1.0f, 0.0f,
    1.0f, -1.0f, 0.0f,
    -1.0f, 1.0f, 0.0f,
    1.0f, 1.0f, 0.0f,
};

// A shader or program that did not build, or no failure.
enum class BuildFailure { None, Unreadable, Compile, Link };

struct Build {
    GLuint name = 0;
    BuildFailure failure = BuildFailure::None;
    std::string log;  // the compiler's or linker's, each line led by the files it is about
};

static std::string infoLog(GLuint object, bool isProgram)
{
    GLint length = 0;
    if (isProgram)
        glGetProgramiv(object, GL_INFO_LOG_LENGTH, &length);
    else
        glGetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
    std::string log(static_cast<size_t>(std::max(length, 1)), '\0');
    if (isProgram)
        glGetProgramInfoLog(object, length, nullptr, log.data());
    else
        glGetShaderInfoLog(object, length, nullptr, log.data());
    log.resize(std::strlen(log.c_str()));
    return log;
}

// Each line of `log` led by "`files`: ", so that a message names what it is
// about wherever it is shown; an empty log still says what failed.
static std::string located(const std::string& files, const std::string& log, const char* otherwise)
{
    std::string lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        if (end > start)
            lines += files + ": " + log.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return lines.empty() ? files + ": " + otherwise + "\n" : lines;
}

// `source` as this GL compiles it: where the GL has a header of its own
// (shaderHeader), that header in place of the file's #version line; then
// `definition` ("#define NAME") unless it is null; and a #line that keeps the
// compiler's line numbers those of the file.
static std::string prepared(const char* source, const char* definition)
{
    std::string text(source);
    size_t after = 0;  // where the line after #version starts
    size_t version = text.find("#version");
    if (version != std::string::npos) {
        if (text.find('\n', version) == std::string::npos)
            text += '\n';
        after = text.find('\n', version) + 1;
    }
    const auto linesBefore = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(after), '\n');
    std::string added = definition ? std::string(definition) + "\n" : std::string();
    if (shaderHeader && version != std::string::npos) {
        added = shaderHeader + added;
        text.erase(version, after - version);
        after = version;
    }
    if (added.empty())
        return text;
    text.insert(after, added + "#line " + std::to_string(linesBefore + 1) + "\n");
    return text;
}

// A shader of `source`, with `definition` ("#define NAME") in it unless null.
static Build compileShader(GLenum type, const char* source, const char* fileName, const char* definition)
{
    const std::string compiled = prepared(source, definition);
    const char* text = compiled.c_str();
    Build build;
    build.name = glCreateShader(type);
    glShaderSource(build.name, 1, &text, nullptr);
    glCompileShader(build.name);
    GLint result = 0;
    glGetShaderiv(build.name, GL_COMPILE_STATUS, &result);
    if (result != GL_TRUE) {
        build.failure = BuildFailure::Compile;
        build.log = located(fileName, infoLog(build.name, false), "does not compile");
        glDeleteShader(build.name);
        build.name = 0;
    }
    return build;
}

static Build compileProgram(const char* vertexSource, const char* fragmentSource,
                            const char* vertexFile, const char* fragmentFile, const char* definition)
{
    Build vsh = compileShader(GL_VERTEX_SHADER, vertexSource, vertexFile, definition);
    if (vsh.failure != BuildFailure::None)
        return vsh;
    Build fsh = compileShader(GL_FRAGMENT_SHADER, fragmentSource, fragmentFile, definition);
    if (fsh.failure != BuildFailure::None) {
        glDeleteShader(vsh.name);
        return fsh;
    }
    Build pgm;
    pgm.name = glCreateProgram();
    glAttachShader(pgm.name, vsh.name);
    glAttachShader(pgm.name, fsh.name);
    glLinkProgram(pgm.name);
    // The program keeps what it needs of them.
    glDeleteShader(vsh.name);
    glDeleteShader(fsh.name);
    GLint result = 0;
    glGetProgramiv(pgm.name, GL_LINK_STATUS, &result);
    if (result != GL_TRUE) {
        pgm.failure = BuildFailure::Link;
        pgm.log = located(std::string(vertexFile) + " + " + fragmentFile, infoLog(pgm.name, true),
                          "do not link");
        glDeleteProgram(pgm.name);
        pgm.name = 0;
    }
    return pgm;
}

// A shader file's name and text; no text when a preview could not read it.
struct ShaderFile {
    const char* name;
    std::unique_ptr<char, decltype(&std::free)> text;
};

static ShaderFile readShader(const char* name)
{
    return {name, {const_cast<char*>(loadtxt(name)), std::free}};
}

// One program from its two files, with `definition` in both unless it is
// null. A file that could not be read is said, the fragment stage's first.
static Build buildProgram(const ShaderFile& vertex, const ShaderFile& fragment, const char* definition = nullptr)
{
    if (!fragment.text || !vertex.text) {
        Build build;
        build.failure = BuildFailure::Unreadable;
        build.log = std::string(fragment.text ? vertex.name : fragment.name) + ": could not be read\n";
        return build;
    }
    return compileProgram(vertex.text.get(), fragment.text.get(), vertex.name, fragment.name, definition);
}

// The setters pass over a program that is not there (0), as the banner's is
// while "mosaic.frag" draws it with the tiles.
static void setInt(GLuint program, const char* name, GLint value)
{
    if (program == 0)
        return;
    glProgramUniform1i(program, glGetUniformLocation(program, name), value);
}

static void setFloat(GLuint program, const char* name, GLfloat value)
{
    if (program == 0)
        return;
    glProgramUniform1f(program, glGetUniformLocation(program, name), value);
}

static void setSize(GLuint program, GLint w, GLint h)
{
    if (program == 0)
        return;
    glProgramUniform2i(program, glGetUniformLocation(program, "uViewportSize"), w, h);
}

static void setBannerSize(GLuint program)
{
    if (program == 0)
        return;
    glProgramUniform2i(program, glGetUniformLocation(program, "uScrollerSize"), bannerWidth, bannerHeight);
}

static void setTextureParameters(GLuint name, GLint wrapS)
{
    glTextureParameteri(name, GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
    glTextureParameteri(name, GL_TEXTURE_WRAP_S, wrapS);
    glTextureParameteri(name, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTextureParameteri(name, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTextureParameteri(name, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
}

static void startMusic()
{
    std::string error;
    if (!playTrack("chiptune2.ogg", error))
        FATAL("Couldn't open 'chiptune2.ogg': %s", error.c_str());
}

// WebGL2 promises no texture wider than this, so the banner is kept in
// pieces of this width, each under the one before; the shaders know the
// banner's own size from uScrollerSize.
static const int bannerPieceWidth = 2048;

// The pieces of a banner `w` pixels long, in rows of bannerPieceWidth
// pixels (or fewer, for a banner that short); the last piece ends in clear
// pixels.
static std::vector<uint8_t> bannerPieces(const unsigned char* pixels, int w, int h, int pieces)
{
    const size_t pieceRow = static_cast<size_t>(std::min(w, bannerPieceWidth)) * 4;
    std::vector<uint8_t> laidOut(pieceRow * h * pieces, 0);
    for (int piece = 0; piece < pieces; ++piece) {
        const int from = piece * bannerPieceWidth;
        const size_t bytes = static_cast<size_t>(std::min(w - from, bannerPieceWidth)) * 4;
        for (int y = 0; y < h; ++y)
            std::memcpy(&laidOut[pieceRow * (static_cast<size_t>(piece) * h + y)],
                        pixels + (static_cast<size_t>(y) * w + from) * 4, bytes);
    }
    return laidOut;
}

// The banner from "scroller.png", in pieces; false, with the texture there
// was kept, when the file does not decode or its pieces do not fit the GL's
// largest texture.
static bool loadScroller()
{
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    int w = 0;
    int h = 0;
    unsigned char* pixels = loadImage("scroller.png", std::numeric_limits<int>::max(), w, h);
    if (!pixels)
        return false;
    const int pieces = (w + bannerPieceWidth - 1) / bannerPieceWidth;
    if (static_cast<int64_t>(h) * pieces > maxSide) {
        stbi_image_free(pixels);
        return false;
    }
    const std::vector<uint8_t> laidOut = bannerPieces(pixels, w, h, pieces);
    stbi_image_free(pixels);
    GLuint name = 0;
    const GLsizei pieceWidth = std::min(w, bannerPieceWidth);
    glCreateTextures(GL_TEXTURE_2D, 1, &name);
    glTextureStorage2D(name, 1, GL_RGBA8, pieceWidth, h * pieces);
    glTextureSubImage2D(name, 0, 0, 0, pieceWidth, h * pieces, GL_RGBA, GL_UNSIGNED_BYTE, laidOut.data());
    setTextureParameters(name, GL_REPEAT);
    glDeleteTextures(1, &scroller);
    scroller = name;
    bannerWidth = w;
    bannerHeight = h;
    for (GLuint program : {renderStuff, banner})
        setBannerSize(program);
    glBindTextureUnit(2, scroller);
    return true;
}

static void createScroller()
{
    if (!loadScroller())
        FATAL("could not load scroller.png");
}

static void createQuad()
{
    glCreateBuffers(1, &buffer);
    glNamedBufferData(buffer, sizeof(triangle), triangle, GL_STATIC_DRAW);
    glCreateVertexArrays(1, &vao);
    glBindVertexArray(vao);
    glEnableVertexArrayAttrib(vao, 0);
    glVertexArrayAttribFormat(vao, 0, 3, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribBinding(vao, 0, 10);
    glVertexArrayVertexBuffer(vao, 10, buffer, 0, 3 * sizeof(float));
}

// The programs from the three shader files, each read once. Only when all
// build do they take the place of those there were, so a failure leaves the
// last good ones drawing.
static Build buildPrograms()
{
    const ShaderFile tiles = readShader("mosaic.frag");
    const ShaderFile vertex = readShader("mosaic.vert");
    Build mosaic = buildProgram(vertex, tiles);
    if (mosaic.failure != BuildFailure::None)
        return mosaic;
    // A "mosaic.frag" that mentions BANNER draws the banner apart: built with
    // it defined, it draws only the banner, over just the strip that the
    // vertex stage gives it, and is blended over the tiles by its alpha. One
    // that does not draws the banner with the tiles, in one pass.
    const bool bannerApart = std::strstr(tiles.text.get(), "BANNER") != nullptr;
    Build apart = bannerApart ? buildProgram(vertex, tiles, "#define BANNER") : Build{};
    if (apart.failure != BuildFailure::None) {
        glDeleteProgram(mosaic.name);
        return apart;
    }
    Build scene = buildProgram(vertex, readShader("sdf.frag"));
    if (scene.failure != BuildFailure::None) {
        glDeleteProgram(mosaic.name);
        glDeleteProgram(apart.name);
        return scene;
    }
    glDeleteProgram(renderStuff);
    glDeleteProgram(banner);
    glDeleteProgram(sdf);
    renderStuff = mosaic.name;
    banner = apart.name;
    sdf = scene.name;

    for (GLuint program : {renderStuff, banner}) {
        setInt(program, "uWebcam", 0);
        setInt(program, "uPalette", 1);
        setInt(program, "uPaletteRow", 4);
        setInt(program, "uScroller", 2);
        setSize(program, viewportWidth, viewportHeight);
        setBannerSize(program);
    }
    setSize(sdf, www, wwh);
    setInt(sdf, "uPalette", 1);
    setInt(sdf, "uPaletteRow", 4);
    setInt(sdf, "uScroller", 2);
    setInt(sdf, "uNearest", 3);
    return Build{};
}

static void createPrograms()
{
    Build build = buildPrograms();
    if (build.failure == BuildFailure::Compile)
        FATAL("Failed to compile shader!");
    if (build.failure == BuildFailure::Link)
        FATAL("Could not link program!");
}

static void createSourceTexture()
{
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    glTextureStorage2D(texture, 1, GL_RGBA8, www, wwh);
    setTextureParameters(texture, GL_CLAMP_TO_EDGE);
    glBindTextureUnit(0, texture);
}

// The palette twice, from the same bytes: as the 1D texture `uPalette` on
// unit 1, and as one row of a 2D texture, `uPaletteRow` on unit 4, which
// WebGL2 has. The shipped shaders sample the row; shaders written for the 1D
// texture keep working beside them. WebGL2 has no 1D textures: there the
// first is a row too.
static void createPalette()
{
    std::array<uint8_t, paletteSize * 4> bytes{};
    for (int i = 0; i < paletteSize; ++i) {
        const std::array<uint8_t, 3> rgb = paletteBytes(i);
        std::copy(rgb.begin(), rgb.end(), &bytes[i * 4]);
        bytes[i * 4 + 3] = 255;
    }
    glCreateTextures(GL_TEXTURE_1D, 1, &lut);
    glTextureStorage1D(lut, 1, GL_RGBA8, paletteSize);
    glTextureSubImage1D(lut, 0, 0, paletteSize, GL_RGBA, GL_UNSIGNED_BYTE, bytes.data());
    glBindTextureUnit(1, lut);
    glCreateTextures(GL_TEXTURE_2D, 1, &paletteRow);
    glTextureStorage2D(paletteRow, 1, GL_RGBA8, paletteSize, 1);
    glTextureSubImage2D(paletteRow, 0, 0, 0, paletteSize, 1, GL_RGBA, GL_UNSIGNED_BYTE, bytes.data());
    glBindTextureUnit(4, paletteRow);
}

// The nearest palette entry of a colour, for the scene pass and the camera.
static NearestPalette nearestPalette;

// The scene pass snaps every texel to its nearest palette entry, searching
// only the few entries that the table lists for the texel's part of the
// colour cube instead of all 33.
static void createNearestTable()
{
    const int side = nearestCellsPerChannel;
    nearestPalette = buildNearestPalette();
    const std::vector<std::array<uint8_t, 4>> cube = candidateCube(nearestPalette);
    glCreateTextures(GL_TEXTURE_3D, 1, &nearestLut);
    glTextureStorage3D(nearestLut, 1, GL_RGBA8UI, side, side, side);
    glTextureSubImage3D(nearestLut, 0, 0, 0, 0, side, side, side, GL_RGBA_INTEGER, GL_UNSIGNED_BYTE,
                        cube.data());
    setTextureParameters(nearestLut, GL_CLAMP_TO_EDGE);
    glBindTextureUnit(3, nearestLut);
}

static void createFramebuffer()
{
    glCreateFramebuffers(1, &fb);
    glNamedFramebufferTexture(fb, GL_COLOR_ATTACHMENT0, texture, 0);
    if (glCheckNamedFramebufferStatus(fb, GL_DRAW_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        FATAL("Failed to init fb!");
}

// A capture frame goes up as the source image snapped to the palette, as the
// scene pass writes it: each texel its nearest entry's colour, with the
// index in alpha. The mosaic pass then takes a tile's colour straight from
// its texel, whatever the source.
static CameraFeed camera(www, wwh);
static SourceScaler scaler;
static std::vector<uint8_t> staging;

void openCamera(const std::string& device)
{
    staging.resize(static_cast<size_t>(www) * wwh * 4);
    camera.take(device);
}

void closeCamera()
{
    camera.release();
}

bool showsCamera()
{
    return camera.delivering();
}

bool takesCamera()
{
    return camera.active();
}

std::vector<CameraNews> cameraNews()
{
    return camera.news();
}

#ifdef MOSAIC_WEBCAM_DEVICE
static void openCapture()
{
    openCamera(MOSAIC_WEBCAM_DEVICE);
}

// The camera build says what became of its camera on standard error: a
// device that cannot be taken as the capture class words it.
static void sayCameraNews()
{
    for (const CameraNews& news : camera.news()) {
        const std::string line = news.kind == CameraNews::Kind::Refused ? news.text : streamLine(news);
        if (!line.empty())
            std::fprintf(stderr, "%s\n", line.c_str());
    }
}

// The camera build keeps its camera's place from the start: the source
// image holds until the first frame, and the last one while a failed stream
// is taken again; the scene comes only once the camera is off for good.
static bool cameraHoldsTheSource()
{
    sayCameraNews();
    return camera.active();
}
#else
static void openCapture() {}

static bool cameraHoldsTheSource()
{
    return camera.delivering();
}
#endif

// The source image, the palette and the framebuffer that joins the scene
// pass to the mosaic pass.
static void createSourceImage()
{
    createSourceTexture();
    createPalette();
    createNearestTable();
    createFramebuffer();
}

// The camera is taken beside the rest of the set-up.
void init()
{
    openCapture();
    startMusic();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    createScroller();
    createQuad();
    createPrograms();
    createSourceImage();
}

void initForEditing()
{
    startMusic();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    createQuad();
    createSourceImage();
}

std::string rebuildPrograms()
{
    return buildPrograms().log;
}

std::string reloadScroller()
{
    return loadScroller() ? "" : "could not load scroller.png";
}

void resize(int w, int h)
{
    viewportWidth = w;
    viewportHeight = h;
    for (GLuint program : {renderStuff, banner})
        setSize(program, w, h);
}

static float seconds(uint32_t milliseconds)
{
    return static_cast<float>(milliseconds) * 0.001f;
}

static void drawScene()
{
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, fb);
    glUseProgram(sdf);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
}

// A frame that does not come costs only its own upload: the texture keeps
// what it had.
static void uploadCapture()
{
    const RGBImage* frame = camera.frame(CameraFeed::Clock::now());
    if (!frame || frame->width == 0 || frame->height == 0 || frame->size < frame->width * frame->height * 3)
        return;
    if (scaler.width != frame->width || scaler.height != frame->height)
        scaler = makeSourceScaler(frame->width, frame->height, www);
    scaleToSource(scaler, frame->data, staging.data());
    snapToPalette(nearestPalette, staging.data(), static_cast<size_t>(www) * wwh);
    glTextureSubImage2D(texture, 0, 0, 0, www, wwh, GL_RGBA, GL_UNSIGNED_BYTE, staging.data());
}

static void drawPicture()
{
    if (mousepos().x < window_width - 3) {
        // Once a frame, so that every pass shows the same moment.
        const float time = seconds(timer());
        const float latency = audioLatency();
        for (GLuint program : {sdf, renderStuff, banner}) {
            setFloat(program, "uTime", time);
            setFloat(program, "uAudioLatency", latency);
        }
    }
    if (camera.active())
        uploadCapture();
    if (!cameraHoldsTheSource())
        drawScene();
    const float matsch = window_width > 0
                             ? static_cast<float>(static_cast<double>(mousepos().x) / window_width)
                             : 0.0f;
    for (GLuint program : {renderStuff, banner})
        setFloat(program, "uMatsch", matsch);
    glClear(GL_COLOR_BUFFER_BIT);
    glUseProgram(renderStuff);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    if (banner != 0) {
        // Over the tiles by its alpha; the window's alpha stays as the tiles left it.
        glEnable(GL_BLEND);
        glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
        glUseProgram(banner);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        glDisable(GL_BLEND);
    }
}

void render()
{
    // Programs are missing only in a preview whose shaders have not built yet.
    if (renderStuff != 0)
        drawPicture();
    else
        glClear(GL_COLOR_BUFFER_BIT);
    if (musicOver())
        shutdown();
}
