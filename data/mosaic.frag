#version 330 core
// The mosaic pass: bevelled tiles over the whole window, each one source
// texel in its palette colour, that turn over on the cuts and flash on the
// beat, and a waving banner of scroll text on top. Each texel of the source
// image is already its palette entry's colour (its index / 255 in alpha).
// Everything that does not depend on the pixel comes ready from the vertex
// stage: this runs for two million pixels a frame.
//
// The banner is drawn apart: this file is built a second time with BANNER
// defined, and that build draws only the banner, over the strip the vertex
// stage gives it, blended over the tiles by its alpha. So the pixels outside
// the strip, four in five, do not work out the banner.
uniform sampler2D uWebcam;
uniform sampler2D uScroller;  // the banner in pieces, each under the one before
uniform ivec2 uScrollerSize;  // the banner's own size
out vec4 color;

flat in vec4 vGrid;        // window pixel to tile grid: scale, offset (x, y); antialiasing factor
flat in vec2 vSource;      // tile to source coordinate: scale, offset
flat in vec4 vTurn;        // cut turn from order and jitter: scale, jitter, offset; snare flash
flat in vec3 vFlash;       // snare pick shift, tiles shown, kick shade
flat in vec3 vTileBack;    // colour of the tiles' backs
flat in vec4 vScroll;      // window pixel to banner coordinate: s scale, s offset, t scale, t offset
flat in vec3 vWave;        // banner wave: turns a pixel, phase, amplitude in t

const float TILE_GAP = 0.07;            // part of a tile left dark around it
const float TILE_CORNER = 0.18;
const float BEVEL_WIDTH = 0.16;
const vec3 GROUT = vec3(0.02, 0.02, 0.03);
const float SNARE_SHARE = 0.12;         // tiles that flash on a snare hit

float sdRoundBox(vec2 p, vec2 b, float r)
{
    vec2 q = abs(p) - b + r;
    return length(max(q, 0.0)) + min(max(q.x, q.y), 0.0) - r;
}

// Three well-mixed numbers in [0, 1) for a tile, from one integer hash.
vec3 tileRandom(ivec2 cell)
{
    uint h = uint(cell.x) * 1597334677u ^ uint(cell.y) * 3812015801u;
    h = (h ^ (h >> 16)) * 2246822519u;
    h ^= h >> 13;
    return vec3(uvec3(h, h >> 10, h >> 20) & 1023u) * (1.0 / 1024.0);
}

// sin(2 pi turns) to within 0.001: a parabola per half turn, refined,
// instead of sin(), which llvmpipe works out in full for every pixel.
float sineTurns(float turns)
{
    float x = fract(turns + 0.5) * 2.0 - 1.0;
    float y = 4.0 * x * (1.0 - abs(x));
    return y + 0.225 * (y * abs(y) - y);
}

vec3 tile(vec2 pixel)
{
    vec2 grid = pixel * vGrid.x + vGrid.yz;
    vec2 cell = floor(grid);
    vec2 local = grid - cell - 0.5;
    vec3 random = tileRandom(ivec2(cell));

    // How far the tile has turned, 0 (face up) to 1 (its back): on a cut the
    // tiles turn in a wipe, on a snare hit a few flick over and back. A
    // turning tile narrows to an edge and widens again with its other face.
    float cut = clamp(cell.x * vTurn.x + random.x * vTurn.y + vTurn.z, 0.0, 1.0);
    float turn = max(cut, vTurn.w * step(fract(random.y + vFlash.x), SNARE_SHARE));
    float width = abs(1.0 - 2.0 * turn);

    float d = sdRoundBox(local, vec2((0.5 - TILE_GAP) * width, 0.5 - TILE_GAP), TILE_CORNER * width);
    // The opening brings tiles on one by one, the ending takes them away.
    float inside = clamp(0.5 - d * vGrid.w, 0.0, 1.0) * step(random.z, vFlash.y);
    // Light from the upper left: the rim facing it brightens, the far rim
    // darkens; the kick lifts the whole tile.
    float rim = clamp(d / BEVEL_WIDTH + 1.0, 0.0, 1.0);
    float shade = vFlash.z + (local.y - local.x) * (0.12 + 0.86 * rim);
    vec3 face = texture(uWebcam, cell * vSource.x + vSource.y).rgb;
    return mix(GROUT, (turn > 0.5 ? vTileBack : face) * shade, inside);
}

// The banner's pixel at st, from the piece that holds it: no texture as wide
// as the banner is promised everywhere, so it comes in pieces as wide as the
// texture, the first on top.
vec4 bannerTexel(vec2 st)
{
    ivec2 texel = clamp(ivec2(floor(st * vec2(uScrollerSize))), ivec2(0), uScrollerSize - 1);
    int pieceWidth = textureSize(uScroller, 0).x;
    int piece = texel.x / pieceWidth;
    return texelFetch(uScroller, texel + ivec2(-piece * pieceWidth, piece * uScrollerSize.y), 0);
}

vec4 scrollText(vec2 pixel)
{
    vec2 st = vec2(pixel.x * vScroll.x + vScroll.y,
                   pixel.y * vScroll.z + vScroll.w + vWave.z * sineTurns(pixel.x * vWave.x + vWave.y));
    // The banner's top and bottom rows are clear, so clamping covers t; the
    // banner is cut off outside its one run.
    return bannerTexel(st) * float(st.x >= 0.0 && st.x <= 1.0);
}

void main()
{
#ifdef BANNER
    color = scrollText(gl_FragCoord.xy);
#else
    color = vec4(tile(gl_FragCoord.xy), 1.0);
#endif
}
