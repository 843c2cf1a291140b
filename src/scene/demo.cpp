#include "demo.h"
#include "common.h"
#include "nearest-palette.h"
#include "palette.h"
#include "regular-file.h"
#include "safe-image.h"
#include "scale-to-source.h"
#include "webcam.h"

#include <glad/gl.h>
#include <SDL2/SDL.h>
#include <SDL2/SDL_mixer.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

static GLuint buffer = 0;
static GLuint vao = 0;
static GLuint renderStuff = 0;
static GLuint sdf = 0;
static GLuint texture = 0;
static GLuint lut = 0;
static GLuint scroller = 0;
static GLuint fb = 0;
static GLuint nearestLut = 0;
static std::unique_ptr<Webcam> webcam;

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

static GLuint compileShader(GLenum type, const char* source)
{
    GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint result = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &result);
    if (result != GL_TRUE)
        FATAL("Failed to compile shader!");
    return shader;
}

static GLuint compileProgram(const char* vertexSource, const char* fragmentSource)
{
    GLuint vsh = compileShader(GL_VERTEX_SHADER, vertexSource);
    GLuint fsh = compileShader(GL_FRAGMENT_SHADER, fragmentSource);
    GLuint pgm = glCreateProgram();
    glAttachShader(pgm, vsh);
    glAttachShader(pgm, fsh);
    glLinkProgram(pgm);
    GLint result = 0;
    glGetProgramiv(pgm, GL_LINK_STATUS, &result);
    if (result != GL_TRUE)
        FATAL("Could not link program!");
    return pgm;
}

static void setInt(GLuint program, const char* name, GLint value)
{
    glProgramUniform1i(program, glGetUniformLocation(program, name), value);
}

static void setFloat(GLuint program, const char* name, GLfloat value)
{
    glProgramUniform1f(program, glGetUniformLocation(program, name), value);
}

static void setSize(GLuint program, GLint w, GLint h)
{
    glProgramUniform2i(program, glGetUniformLocation(program, "uViewportSize"), w, h);
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
    // The mixer would wait forever on a FIFO and read a device without end.
    Mix_Music* mus = nullptr;
    if (isSpecialFile("chiptune2.ogg"))
        SDL_SetError("Couldn't open 'chiptune2.ogg': not a regular file");
    else
        mus = Mix_LoadMUS("chiptune2.ogg");
    if (!mus)
        FATAL("%s", SDL_GetError());
    if (Mix_PlayMusic(mus, 0) < 0)
        FATAL("%s", SDL_GetError());
}

static void createScroller()
{
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    int w = 0;
    int h = 0;
    unsigned char* pixels = loadImage("scroller.png", maxSide, w, h);
    if (!pixels)
        FATAL("could not load scroller.png");
    glCreateTextures(GL_TEXTURE_2D, 1, &scroller);
    glTextureStorage2D(scroller, 1, GL_RGBA8, w, h);
    glTextureSubImage2D(scroller, 0, 0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    setTextureParameters(scroller, GL_REPEAT);
    glBindTextureUnit(2, scroller);
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

static void createPrograms()
{
    const char* fragment = loadtxt("mosaic.frag");
    const char* vertex = loadtxt("mosaic.vert");
    renderStuff = compileProgram(vertex, fragment);
    fragment = loadtxt("sdf.frag");
    vertex = loadtxt("mosaic.vert");
    sdf = compileProgram(vertex, fragment);

    setInt(renderStuff, "uWebcam", 0);
    setInt(renderStuff, "uPalette", 1);
    setInt(renderStuff, "uScroller", 2);
    setSize(sdf, www, wwh);
    setInt(sdf, "uPalette", 1);
    setInt(sdf, "uScroller", 2);
    setInt(sdf, "uNearest", 3);
}

static void createSourceTexture()
{
    glCreateTextures(GL_TEXTURE_2D, 1, &texture);
    glTextureStorage2D(texture, 1, GL_RGBA8, www, wwh);
    setTextureParameters(texture, GL_CLAMP_TO_EDGE);
    glBindTextureUnit(0, texture);
}

static void createPalette()
{
    const GLsizei slutsize = paletteSize;
    glCreateTextures(GL_TEXTURE_1D, 1, &lut);
    glTextureStorage1D(lut, 1, GL_RGBA8, slutsize);
    glTextureSubImage1D(lut, 0, 0, slutsize, GL_RGB, GL_FLOAT, constlut);
    glBindTextureUnit(1, lut);
}

// The scene pass snaps every texel to its nearest palette entry, searching
// only the few entries that the camera's table lists for the texel's part of
// the colour cube instead of all 33.
static void createNearestTable()
{
    const int side = nearestCellsPerChannel;
    const std::vector<std::array<uint8_t, 4>> cube = candidateCube(buildNearestPalette());
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

// A capture frame goes up as the source image with the index of its nearest
// palette entry in alpha, as the scene pass writes it, so that the mosaic
// pass looks each colour up once whatever the source.
static NearestPalette nearestPalette;
static SourceScaler scaler;
static std::vector<uint8_t> staging;

static void openCapture()
{
#ifdef MOSAIC_WEBCAM_DEVICE
    try {
        webcam = std::make_unique<Webcam>(MOSAIC_WEBCAM_DEVICE, www, wwh);
        nearestPalette = buildNearestPalette();
        staging.resize(static_cast<size_t>(www) * wwh * 4);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
#endif
}

void init()
{
    startMusic();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    createScroller();
    createQuad();
    createPrograms();
    createSourceTexture();
    createPalette();
    createNearestTable();
    createFramebuffer();
    openCapture();
}

void resize(int w, int h)
{
    setSize(renderStuff, w, h);
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
// what it had. A device that is gone is said once and given up, and the
// scene takes its place.
static void uploadCapture()
{
    try {
        const RGBImage frame = webcam->frame(100);
        if (frame.width == 0 || frame.height == 0 || frame.size < frame.width * frame.height * 3)
            return;
        if (scaler.width != frame.width || scaler.height != frame.height)
            scaler = makeSourceScaler(frame.width, frame.height, www);
        scaleToSource(scaler, frame.data, staging.data());
        indexPixels(nearestPalette, staging.data(), static_cast<size_t>(www) * wwh);
        glTextureSubImage2D(texture, 0, 0, 0, www, wwh, GL_RGBA, GL_UNSIGNED_BYTE, staging.data());
    } catch (const CaptureDeviceLost& lost) {
        std::fprintf(stderr, "%s\n", lost.what());
        webcam.reset();
    } catch (const std::runtime_error&) {
    }
}

void render()
{
    if (mousepos().x < window_width - 3) {
        setFloat(sdf, "uTime", seconds(timer()));
        setFloat(renderStuff, "uTime", seconds(timer()));
    }
    if (webcam)
        uploadCapture();
    if (!webcam)
        drawScene();
    setFloat(renderStuff, "uMatsch",
             window_width > 0 ? static_cast<float>(static_cast<double>(mousepos().x) / window_width)
                              : 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glUseProgram(renderStuff);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    if (!Mix_PlayingMusic())
        shutdown();
}
