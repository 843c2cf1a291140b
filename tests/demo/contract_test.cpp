// What the demo hands its shaders, seen through test shaders that write what
// they receive into the picture, read back from the window.
#include "harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

namespace {

// A 32-bit value survives the window's 8-bit RGB as two pixels: the low three
// bytes in the first, the high byte in the red of the second.
const char* const encoding = R"(
vec3 lowBytes(uint v) { return vec3(v & 255u, (v >> 8) & 255u, (v >> 16) & 255u) / 255.0; }
vec3 highByte(uint v) { return vec3(float(v >> 24) / 255.0, 0.0, 0.0); }
vec3 pixelOf(uint v, int part) { return part == 0 ? lowBytes(v) : highByte(v); }
uint packBytes(vec4 t) { uvec4 b = uvec4(round(t * 255.0)); return b.r | (b.g << 8) | (b.b << 16) | (b.a << 24); }
vec4 unpackBytes(uint v) { return vec4(v & 255u, (v >> 8) & 255u, (v >> 16) & 255u, v >> 24) / 255.0; }
uint sizeWord(ivec2 s) { return uint(s.x) | (uint(s.y) << 16); }
)";

std::string shader(const std::string& declarations, const std::string& body)
{
    return "#version 330 core\n" + declarations + encoding + "void main()\n{\n" + body + "}\n";
}

// The scene program stores its uTime in texel column 0 and its viewport size
// in column 1 of the source texture.
std::string uniformsScene()
{
    return shader("uniform ivec2 uViewportSize;\nuniform float uTime;\nout vec4 color;\n",
                  "    uint v = int(gl_FragCoord.x) == 0 ? floatBitsToUint(uTime) : sizeWord(uViewportSize);\n"
                  "    color = unpackBytes(v);\n");
}

// The mosaic program writes five words along the bottom row: its uTime, its
// uMatsch, its viewport size, and the scene's two words from the texture.
std::string uniformsMosaic()
{
    return shader("uniform sampler2D uWebcam;\nuniform ivec2 uViewportSize;\nuniform float uTime;\n"
                  "uniform float uMatsch;\nout vec4 color;\n",
                  "    ivec2 p = ivec2(gl_FragCoord.xy);\n"
                  "    vec3 c = vec3(0.0);\n"
                  "    if (p.y == 0 && p.x < 10) {\n"
                  "        uint words[5] = uint[5](floatBitsToUint(uTime), floatBitsToUint(uMatsch),\n"
                  "            sizeWord(uViewportSize), packBytes(texelFetch(uWebcam, ivec2(0, 0), 0)),\n"
                  "            packBytes(texelFetch(uWebcam, ivec2(1, 0), 0)));\n"
                  "        c = pixelOf(words[p.x / 2], p.x % 2);\n"
                  "    }\n"
                  "    color = vec4(c, 1.0);\n");
}

struct Uniforms {
    float time;
    float matsch;
    uint32_t size;
    float sceneTime;
    uint32_t sceneSize;
};

uint32_t word(const std::vector<uint8_t>& probe, int index)
{
    const uint8_t* b = &probe[size_t(index) * 6];
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

float asFloat(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t sizeWord(int w, int h)
{
    return uint32_t(w) | uint32_t(h) << 16;
}

std::vector<Uniforms> decode(const FrameHook& hook)
{
    std::vector<Uniforms> frames;
    for (const auto& probe : hook.probes()) {
        EXPECT_EQ(probe.size(), 30u);
        if (probe.size() == 30)
            frames.push_back({asFloat(word(probe, 0)), asFloat(word(probe, 1)), word(probe, 2),
                              asFloat(word(probe, 3)), word(probe, 4)});
    }
    return frames;
}

// Runs the demo with the uniform-reporting shaders, every frame probed. With
// `input`, the frame hook steps the clock a millisecond a frame over a track
// of 20 000 frames, and the window's close request, sent once `input` is
// done, ends the run: only the input decides how long it lasts.
struct UniformRun {
    using Input = std::function<void(pid_t demo, const FrameHook& hook)>;
    explicit UniformRun(const Input& input = {})
        : dir(input ? 20.0 : 1.0), hook(dir)
    {
        dir.write("sdf.frag", uniformsScene());
        dir.write("mosaic.frag", uniformsMosaic());
        hook.probe = "0,0,10,1";
        RunOptions options;
        hook.addTo(options);
        if (input) {
            options.env.push_back("FRAMEHOOK_FRAME_MS=1");
            options.input = [&](pid_t demo) {
                input(demo, hook);
                requestClose();
            };
        }
        run = runDemo(dir, options);
        EXPECT_EQ(run.status, 0) << run.err;
        frames = decode(hook);
        EXPECT_FALSE(frames.empty());
    }
    WorkDir dir;
    FrameHook hook;
    RunResult run;
    std::vector<Uniforms> frames;
};

void movePointer(int x, int y)
{
    xdotool({"mousemove", std::to_string(x), std::to_string(y)});
}

// The pointer column a frame saw, recovered from its uMatsch.
int pointerColumn(const Uniforms& frame)
{
    return int(std::lround(double(frame.matsch) * 1920));
}

// Moves the pointer, waits for the first frame that sees it there, then for
// `more` frames after that one. False, the test failed, if the demo ended
// first.
bool movePointerAndWait(pid_t demo, const FrameHook& hook, int x, int y, long more)
{
    const size_t sent = hook.probes().size();
    movePointer(x, y);
    long seen = -1;
    auto arrived = [&] {
        std::vector<Uniforms> frames = decode(hook);
        for (size_t i = sent; i < frames.size() && seen < 0; ++i)
            if (pointerColumn(frames[i]) == x)
                seen = long(i) + 1;
        return seen > 0;
    };
    return waitWhileRunning(demo, arrived, "a frame saw the pointer at x = " + std::to_string(x)) &&
           hook.waitForSwaps(demo, seen + more);
}

std::vector<int> rgb(const uint8_t* p)
{
    return {p[0], p[1], p[2]};
}

const int palette[33][3] = {
    {148, 92, 125}, {88, 26, 26},    {162, 91, 103}, {100, 150, 146}, {129, 47, 40},  {125, 130, 117},
    {150, 60, 66},  {39, 22, 21},    {118, 18, 37},  {140, 107, 105}, {68, 42, 67},   {161, 70, 85},
    {129, 193, 191}, {40, 121, 124}, {118, 90, 52},  {85, 103, 103},  {13, 67, 113},  {19, 72, 57},
    {36, 127, 136}, {49, 194, 149},  {96, 53, 40},   {127, 199, 181}, {9, 9, 8},      {10, 42, 81},
    {17, 150, 132}, {69, 90, 92},    {118, 12, 22},  {22, 33, 28},    {132, 162, 100}, {30, 24, 19},
    {68, 10, 13},   {73, 76, 120},   {138, 131, 47},
};

// Runs the demo once with the given shaders and returns its first frame.
Image firstFrame(WorkDir& dir)
{
    FrameHook hook(dir, "1");
    RunOptions options;
    hook.addTo(options);
    RunResult run = runDemo(dir, options);
    EXPECT_EQ(run.status, 0) << run.err;
    return hook.frame("1");
}

}  // namespace

TEST(Contract, PaletteEntriesAreExact)
{
    WorkDir dir;
    dir.write("mosaic.frag",
              shader("uniform sampler1D uPalette;\nout vec4 color;\n",
                     "    ivec2 p = ivec2(gl_FragCoord.xy);\n"
                     "    vec4 fetched = texelFetch(uPalette, p.x, 0);\n"
                     "    vec4 sampled = texture(uPalette, (float(p.x) + 0.5) / 33.0);\n"
                     "    vec3 c = p.y == 0 ? fetched.rgb : p.y == 1 ? sampled.rgb : vec3(fetched.a, sampled.a, 0.0);\n"
                     "    color = vec4(p.x < 33 ? c : vec3(0.0), 1.0);\n"));
    Image frame = firstFrame(dir);
    ASSERT_EQ(frame.width, 1920);
    for (int i = 0; i < 33; ++i) {
        std::vector<int> entry(palette[i], palette[i] + 3);
        EXPECT_EQ(rgb(frame.gl(i, 0)), entry) << "texelFetch of entry " << i;
        EXPECT_EQ(rgb(frame.gl(i, 1)), entry) << "texture() at the centre of entry " << i;
        EXPECT_EQ(rgb(frame.gl(i, 2)), (std::vector<int>{255, 255, 0})) << "alpha of entry " << i;
    }
}

TEST(Contract, ViewportSizeOfBothPrograms)
{
    movePointer(0, 500);
    UniformRun probe;
    for (const auto& frame : probe.frames) {
        EXPECT_EQ(frame.size, sizeWord(1920, 1080)) << std::hex << frame.size;
        EXPECT_EQ(frame.sceneSize, sizeWord(300, 300)) << std::hex << frame.sceneSize;
    }
}

TEST(Contract, MatschIsPointerXOverWidth)
{
    const std::vector<int> columns = {0, 1, 960, 1916, 1917, 1919};
    movePointer(0, 500);
    UniformRun probe([&](pid_t demo, const FrameHook& hook) {
        for (int x : columns)
            if (!movePointerAndWait(demo, hook, x, 500, 0))
                return;
    });
    for (const auto& frame : probe.frames) {
        bool known = false;
        for (int x : columns)
            known = known || frame.matsch == float(double(x) / 1920);
        EXPECT_TRUE(known) << "uMatsch " << frame.matsch << " is no pointer column over 1920";
    }
}

// On the stepped clock frame n sets n - 1 ms. In the margin both programs
// keep the time they had, whatever the pointer does there; back out of it,
// the clock shows the time of now, not the frozen value carried on.
TEST(Contract, TimeRunsFreezesInTheMarginAndJumpsOnReturn)
{
    const long stay = 3;
    movePointer(10, 500);
    UniformRun probe([&](pid_t demo, const FrameHook& hook) {
        if (!hook.waitForSwaps(demo, stay))
            return;
        for (auto [x, y] : {std::pair{1917, 500}, {1919, 200}, {1916, 500}})
            if (!movePointerAndWait(demo, hook, x, y, stay))
                return;
    });
    const auto& frames = probe.frames;
    long frozen = 0;
    bool returned = false;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Uniforms& now = frames[i];
        if (pointerColumn(now) >= 1917) {
            ASSERT_GT(i, 0u) << "the first frame saw the pointer in the margin";
            ++frozen;
            EXPECT_EQ(now.time, frames[i - 1].time) << "frame " << i + 1 << " in the margin";
            EXPECT_EQ(now.sceneTime, frames[i - 1].sceneTime) << "frame " << i + 1 << " in the margin";
            continue;
        }
        // As the demo converts it: whole milliseconds, to float, times 0.001f.
        const float clock = float(i) * 0.001f;
        EXPECT_EQ(now.time, clock) << "frame " << i + 1;
        EXPECT_EQ(now.sceneTime, clock) << "frame " << i + 1;
        returned = returned || frozen > 0;
    }
    EXPECT_GE(frozen, 2 * stay);
    EXPECT_TRUE(returned) << "no frame saw the pointer leave the margin";
}

// Shows the scroller texture as it arrived: texel (x, r) at window pixel (x, r),
// its alpha above that, then lookups at t = 0, one repeated in s and clamped
// in t, and the texture's size at pixel 100.
const char* const scrollerMosaic = R"(#version 330 core
uniform sampler2D uScroller;
out vec4 color;
void main()
{
    ivec2 p = ivec2(gl_FragCoord.xy);
    ivec2 size = textureSize(uScroller, 0);
    vec2 top = vec2((float(p.x) + 0.5) / float(size.x), 0.0);
    vec3 c = vec3(0.0);
    if (p.x == 100 && p.y == 0) c = vec3(size, 0.0) / 255.0;
    else if (p.x >= size.x) c = vec3(0.0);
    else if (p.y < size.y) c = texelFetch(uScroller, p, 0).rgb;
    else if (p.y < 2 * size.y) c = vec3(texelFetch(uScroller, ivec2(p.x, p.y - size.y), 0).a);
    else if (p.y == 2 * size.y) c = texture(uScroller, top).rgb;
    else if (p.y == 2 * size.y + 1) c = texture(uScroller, top + vec2(1.0, -0.4)).rgb;
    color = vec4(c, 1.0);
}
)";

// An image w x h of the given channel count, every pixel different.
std::vector<uint8_t> testImage(int w, int h, int channels)
{
    std::vector<uint8_t> pixels;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                pixels.push_back(uint8_t(c == 3 ? 255 - 9 * (x + w * y) : 30 * x + 50 * y + 70 * c + 7));
    return pixels;
}

void expectScrollerArrives(int w, int h, int channels)
{
    WorkDir dir;
    std::vector<uint8_t> png = testImage(w, h, channels);
    writePNG(dir.path("scroller.png"), w, h, channels, png);
    dir.write("mosaic.frag", scrollerMosaic);
    Image frame = firstFrame(dir);
    ASSERT_EQ(frame.width, 1920);
    EXPECT_EQ(rgb(frame.gl(100, 0)), (std::vector<int>{w, h, 0})) << "texture size";
    auto pixel = [&](int x, int row) {
        const uint8_t* p = &png[(size_t(row) * w + x) * channels];
        std::vector<int> value = channels >= 3 ? std::vector<int>{p[0], p[1], p[2]} : std::vector<int>{p[0], p[0], p[0]};
        int alpha = channels == 4 ? p[3] : channels == 2 ? p[1] : 255;
        return std::pair{value, alpha};
    };
    for (int x = 0; x < w; ++x) {
        for (int row = 0; row < h; ++row) {
            auto [value, alpha] = pixel(x, row);
            EXPECT_EQ(rgb(frame.gl(x, row)), value) << "texel " << x << "," << row;
            EXPECT_EQ(rgb(frame.gl(x, h + row)), (std::vector<int>{alpha, alpha, alpha})) << "alpha " << x << "," << row;
        }
        EXPECT_EQ(rgb(frame.gl(x, 2 * h)), pixel(x, 0).first) << "t = 0 at column " << x;
        EXPECT_EQ(rgb(frame.gl(x, 2 * h + 1)), pixel(x, 0).first) << "repeat in s, clamp in t, column " << x;
    }
}

TEST(Contract, ScrollerTopRowIsTextureRowZero)
{
    expectScrollerArrives(7, 5, 4);
}

TEST(Contract, GreyScrollerArrivesOpaque)
{
    expectScrollerArrives(3, 2, 1);
}

// A banner wider than WebGL2 promises comes in pieces of 2048, each under
// the one before; uScrollerSize tells its own size.
TEST(Contract, WideScrollerComesInPieces)
{
    WorkDir dir;
    const int w = 2050;
    const int h = 3;
    std::vector<uint8_t> png = testImage(w, h, 3);
    writePNG(dir.path("scroller.png"), w, h, 3, png);
    dir.write("mosaic.frag",
              shader("uniform sampler2D uScroller;\nuniform ivec2 uScrollerSize;\nout vec4 color;\n",
                     "    ivec2 p = ivec2(gl_FragCoord.xy);\n"
                     "    ivec2 size = p.x == 0 ? textureSize(uScroller, 0) : uScrollerSize;\n"
                     "    vec3 c = p.y < 6 ? texelFetch(uScroller, p, 0).rgb : vec3(size.x & 255, size.x >> 8, size.y) / 255.0;\n"
                     "    color = vec4(p.y <= 6 && p.x < 2048 ? c : vec3(0.0), 1.0);\n"));
    Image frame = firstFrame(dir);
    ASSERT_EQ(frame.width, 1920);
    EXPECT_EQ(rgb(frame.gl(0, 6)), (std::vector<int>{0, 8, 6})) << "the pieces' texture, 2048 x 6";
    EXPECT_EQ(rgb(frame.gl(1, 6)), (std::vector<int>{2050 & 255, 8, 3})) << "the banner's own size";
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &png[(size_t(y) * w + x) * 3];
            const int piece = x / 2048;
            if (x - 2048 * piece >= frame.width)
                continue;
            EXPECT_EQ(rgb(frame.gl(x - 2048 * piece, y + h * piece)), rgb(p)) << "banner pixel " << x << "," << y;
        }
        EXPECT_EQ(rgb(frame.gl(2, y + h)), (std::vector<int>{0, 0, 0})) << "past the last piece's end";
    }
}

TEST(Contract, ScenePassLandsInTheSourceTexture)
{
    WorkDir dir;
    dir.write("mosaic.vert", "#version 330 core\nlayout(location = 0) in vec3 position;\nout vec2 vPosition;\n"
                             "void main() { vPosition = position.xy; gl_Position = vec4(position, 1.0); }\n");
    // The window pixel a fragment stands for, from the quad's interpolated
    // position: equal to gl_FragCoord only under the 1920x1080 viewport.
    dir.write("sdf.frag",
              shader("in vec2 vPosition;\nout vec4 color;\n",
                     "    ivec2 p = ivec2(floor((vPosition * 0.5 + 0.5) * vec2(1920.0, 1080.0)));\n"
                     "    color = vec4(p.x & 255, p.y & 255, (p.x >> 8) | ((p.y >> 8) << 4), 255) / 255.0;\n"));
    dir.write("mosaic.frag",
              shader("uniform sampler2D uWebcam;\nout vec4 color;\n",
                     "    ivec2 p = ivec2(gl_FragCoord.xy);\n"
                     "    color = vec4(all(lessThan(p, ivec2(300))) ? texelFetch(uWebcam, p, 0).rgb : vec3(0.0), 1.0);\n"));
    Image frame = firstFrame(dir);
    ASSERT_EQ(frame.width, 1920);
    int wrong = 0;
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 300; ++x) {
            std::vector<int> expected = {x & 255, y & 255, (x >> 8) | ((y >> 8) << 4)};
            if (rgb(frame.gl(x, y)) != expected && ++wrong <= 5)
                ADD_FAILURE() << "texel " << x << "," << y << " holds " << rgb(frame.gl(x, y))[0] << ","
                              << rgb(frame.gl(x, y))[1] << "," << rgb(frame.gl(x, y))[2];
        }
    EXPECT_EQ(wrong, 0);
}

// The scene pass marks every texel with the index of its palette entry, as
// index / 255 in alpha, beside the entry's own colour. Read back 30 s in,
// on a clock the frame hook steps ten seconds a frame, so that the picture
// is a full scene.
TEST(Contract, SceneTexelsCarryTheirPaletteIndex)
{
    WorkDir dir(40.0);
    dir.write("mosaic.frag",
              shader("uniform sampler2D uWebcam;\nout vec4 color;\n",
                     "    ivec2 p = ivec2(gl_FragCoord.xy);\n"
                     "    vec4 texel = texelFetch(uWebcam, ivec2(p.x % 300, p.y), 0);\n"
                     "    vec3 c = p.x < 300 ? texel.rgb : vec3(texel.a);\n"
                     "    color = vec4(p.x < 600 && p.y < 300 ? c : vec3(0.0), 1.0);\n"));
    FrameHook hook(dir, "4");
    RunOptions options;
    hook.addTo(options);
    options.env.push_back("FRAMEHOOK_FRAME_MS=10000");
    RunResult run = runDemo(dir, options);
    ASSERT_EQ(run.status, 0) << run.err;
    Image frame = hook.frame("4");
    std::set<int> used;
    int wrong = 0;
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 300; ++x) {
            int index = frame.gl(x + 300, y)[0];
            used.insert(index);
            bool exact = index < 33 && rgb(frame.gl(x, y)) == std::vector<int>(palette[index], palette[index] + 3);
            if (!exact && ++wrong <= 5)
                ADD_FAILURE() << "texel " << x << "," << y << " has index " << index;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(used.size(), 6u) << "a scene uses more than a handful of entries";
}
