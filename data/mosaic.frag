#version 330 core
// The mosaic pass over the whole window: bevelled tiles, each one source
// texel in a palette colour, and a waving banner of scroll text on top.
uniform sampler2D uWebcam;
uniform sampler1D uPalette;
uniform sampler2D uScroller;
uniform ivec2 uViewportSize;
uniform float uTime;
uniform float uMatsch;
out vec4 color;

const int PALETTE_SIZE = 33;
const float FINEST_TILE = 6.0;          // window pixels at the left edge
const float COARSEST_TILE = 96.0;       // window pixels at the right edge
const float TILE_GAP = 0.07;            // part of a tile left dark around it
const float TILE_CORNER = 0.18;
const float BEVEL_WIDTH = 0.16;
const vec3 GROUT = vec3(0.02, 0.02, 0.03);
const float SCROLL_SPEED = 260.0;       // window pixels a second
const float SCROLL_HEIGHT = 0.2;        // banner centre, as a part of the window height
const float WAVE_AMPLITUDE = 0.05;      // of the window height
const float WAVE_LENGTH = 900.0;        // window pixels

float sdRoundBox(vec2 p, vec2 b, float r)
{
    vec2 q = abs(p) - b + r;
    return length(max(q, 0.0)) + min(max(q.x, q.y), 0.0) - r;
}

// llvmpipe runs both sides of a branch under a mask, but leaves a loop as
// soon as no pixel is still in it: a count of 0 makes the search free.
vec3 nearestPaletteColour(vec3 c, int count)
{
    vec3 best = c;
    float bestDistance = 1e9;
    for (int i = 0; i < count; ++i) {
        vec3 entry = texelFetch(uPalette, i, 0).rgb;
        float d = dot(c - entry, c - entry);
        if (d < bestDistance) {
            bestDistance = d;
            best = entry;
        }
    }
    return best;
}

// The square source covers the window, centred, so it keeps its aspect.
vec2 sourceCoord(vec2 windowPos)
{
    vec2 size = vec2(uViewportSize);
    float side = max(size.x, size.y);
    return (windowPos - 0.5 * (size - side)) / side;
}

// The scene pass marks its texels with alpha 0: they are palette colours
// already. Only an opaque capture frame is snapped here.
vec3 tileColour(vec2 centre)
{
    vec4 source = texture(uWebcam, sourceCoord(centre));
    int count = source.a < 0.5 ? 0 : PALETTE_SIZE;
    return nearestPaletteColour(source.rgb, count);
}

vec3 tile(vec2 pixel)
{
    float size = FINEST_TILE * pow(COARSEST_TILE / FINEST_TILE, uMatsch);
    vec2 grid = (pixel - 0.5 * vec2(uViewportSize)) / size;
    vec2 cell = floor(grid);
    vec2 local = grid - cell - 0.5;
    float d = sdRoundBox(local, vec2(0.5 - TILE_GAP), TILE_CORNER);
    float pixelWidth = 1.0 / size;
    float inside = smoothstep(pixelWidth, -pixelWidth, d);
    // Light from the upper left: the rim facing it brightens, the far rim darkens.
    float rim = smoothstep(-BEVEL_WIDTH, 0.0, d);
    float facing = dot(normalize(local + 1e-4), vec2(-0.7071, 0.7071));
    float shade = 1.0 + rim * 0.55 * facing + 0.12 * (local.y - local.x);
    vec3 c = tileColour((cell + 0.5) * size + 0.5 * vec2(uViewportSize)) * shade;
    return mix(GROUT, c, inside);
}

// The banner is drawn at a whole multiple of its size, so nearest sampling
// keeps its pixels square.
vec4 scrollText(vec2 pixel)
{
    vec2 size = vec2(textureSize(uScroller, 0));
    float scale = max(1.0, floor(float(uViewportSize.y) / 540.0 + 0.5));
    float height = float(uViewportSize.y);
    float wave = WAVE_AMPLITUDE * height * sin(6.2832 * pixel.x / WAVE_LENGTH + uTime * 2.0);
    float bottom = SCROLL_HEIGHT * height + wave - 0.5 * size.y * scale;
    float t = 1.0 - (pixel.y - bottom) / (size.y * scale);
    if (t < 0.0 || t > 1.0)
        return vec4(0.0);
    float s = (pixel.x + uTime * SCROLL_SPEED) / (size.x * scale);
    return texture(uScroller, vec2(s, t));
}

void main()
{
    vec3 c = tile(gl_FragCoord.xy);
    vec4 text = scrollText(gl_FragCoord.xy);
    color = vec4(mix(c, text.rgb, text.a), 1.0);
}
