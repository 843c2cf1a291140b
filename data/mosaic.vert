#version 330 core
// The vertex stage of both passes. Besides placing the quad it works out
// everything that depends only on the clock and the pointer -- where the
// music is, which part of the demo is on, the camera, the moving objects, the
// tile size -- once per vertex, and hands it to the fragment stages as flat
// values, so that no pixel computes it again.
layout(location = 0) in vec3 position;
uniform sampler2D uPaletteRow;  // the palette in one row, an entry a texel
uniform ivec2 uScrollerSize;  // the banner's own size; its texture holds it in pieces
uniform ivec2 uViewportSize;
uniform float uTime;
uniform float uMatsch;
// Seconds from the clock to when the sound it stands for is heard: the
// pictures run that much behind the clock so that they land on the sound. A
// live shell measures it from its sound server; in a recording the track
// lies under the frames as they are, and it is 0.
uniform float uAudioLatency;

// The timeline. Section starts are in bars and agree with the music tool's
// section table (`chiptune --sections`); the last entry is where the score ends.
const float BEATS_PER_MINUTE = 136.0;
const int SECTION_COUNT = 8;
const float SECTION_BARS[SECTION_COUNT + 1] = float[](0.0, 4.0, 8.0, 16.0, 24.0, 32.0, 40.0, 43.0, 44.0);

// The parts, one per section.
const int OPENING = 0;   // the title forms from black, tile by tile
const int AWAKENING = 1; // the blob rises behind the title; the beat comes in
const int THEME = 2;     // close orbit, warm light from the front
const int FLYBY = 3;     // low passes along the floor, one per two bars
const int BRIDGE = 4;    // the ring alone at night; the light builds
const int REPRISE = 5;   // everything, bright, a new angle every two bars
const int CADENCE = 6;   // the camera rises and pulls away at dusk
const int ENDING = 7;    // the title again, then the tiles go out

// Palette entries of each part: sky low, sky high, floor dark, floor light.
const ivec4 PART_COLOURS[SECTION_COUNT] = ivec4[](
    ivec4(22, 22, 22, 22), ivec4(30, 1, 29, 14), ivec4(26, 11, 7, 20), ivec4(13, 3, 27, 17),
    ivec4(22, 16, 22, 10), ivec4(0, 31, 23, 21), ivec4(8, 0, 29, 31), ivec4(22, 22, 22, 22));
// The card-back colour of the tiles as they flip into each part.
const int PART_TILE_BACK[SECTION_COUNT] = int[](22, 19, 11, 24, 23, 21, 0, 22);
// How hard kick and snare hit the picture in each part.
const vec2 PART_ACCENTS[SECTION_COUNT] = vec2[](
    vec2(0.0), vec2(0.8, 0.0), vec2(1.0), vec2(1.0), vec2(0.6, 0.4), vec2(1.2), vec2(1.0), vec2(0.0));

const vec3 BLOB_CENTRE = vec3(0.0, 1.05, 0.0);
// Sizes in pixels are those of a 1080-line window and scale with its height,
// so that every screen shows the same picture.
const float REFERENCE_HEIGHT = 1080.0;
const float FINEST_TILE = 6.0;     // pixels at the left edge
// At the right edge: the blob, about 160 source texels at its smallest,
// stays some 8 tiles across.
const float COARSEST_TILE = 54.0;
const float CUT_BEATS = 1.0;       // tiles turn over in the beat before a cut and back in the beat after
const float FLIP_BEATS = 0.3;      // how long one tile takes to turn
const float SCROLL_FROM_BAR = 8.0; // the banner enters from the right with the theme
const float SCROLL_TO_BAR = 42.0;  // and has left on the left before the ending
const float SCROLL_HEIGHT = 0.2;   // banner centre, as a part of the window height
const float WAVE_AMPLITUDE = 0.05; // of the window height
const float WAVE_LENGTH = 900.0;   // pixels
// Picks the reprise's four shots: this one alternates high and low, near and
// far, and each keeps the whole blob in the picture.
const int REPRISE_SHOT_SEED = 36;

flat out ivec4 vPalette;    // palette entries: sky low, sky high, floor dark, floor light
flat out vec4 vShow;        // scene weight, title weight, light level, tiles shown
flat out vec3 vEye;
flat out mat3 vCamera;      // right, up, forward
flat out vec3 vSun;         // towards the key light
flat out mat3 vBoxTurn;
flat out vec4 vShape;       // box half size, ring radius, ball radius, floor scroll
flat out vec3 vRingAxis;
flat out vec3 vBall0;
flat out vec3 vBall1;
flat out vec3 vBall2;
// The mosaic pass's per-pixel arithmetic, folded into a multiply and an add
// wherever the pixel enters linearly.
flat out vec4 vGrid;        // window pixel to tile grid: scale, offset (x, y); antialiasing factor
flat out vec2 vSource;      // tile to source coordinate: scale, offset
flat out vec4 vTurn;        // cut turn from order and jitter: scale, jitter, offset; snare flash
flat out vec3 vFlash;       // snare pick shift, tiles shown, kick shade
flat out vec3 vTileBack;    // colour of the tiles' backs
flat out vec4 vScroll;      // window pixel to banner coordinate: s scale, s offset, t scale, t offset
flat out vec3 vWave;        // banner wave: turns a pixel, phase, amplitude in t

mat3 turn(vec3 axis, float angle)
{
    axis = normalize(axis);
    float c = cos(angle), s = sin(angle);
    return mat3(c) + s * mat3(0.0, axis.z, -axis.y, -axis.z, 0.0, axis.x, axis.y, -axis.x, 0.0) +
           (1.0 - c) * outerProduct(axis, axis);
}

// Two well-mixed numbers in [0, 1) for a camera shot, from an integer hash:
// uint arithmetic is exact on every driver, while sin() is only as precise as
// each driver makes it, and a hash built on it picks other shots on other GPUs.
vec2 shotRandom(int shot)
{
    uint h = uint(shot + REPRISE_SHOT_SEED) * 2654435769u;
    h = (h ^ (h >> 16)) * 2246822519u;
    h ^= h >> 13;
    return vec2(uvec2(h, h >> 16) & 65535u) * (1.0 / 65536.0);
}

// An envelope that jumps to 1 on the beat and dies away within it.
float hit(float beatPhase) { return exp(-7.0 * beatPhase); }

void main()
{
    gl_Position = vec4(position, 1.0);

    // The music's position in whole milliseconds, and the beats counted in
    // integers from it: a frame on a beat or a bar line (a recording at a
    // whole number of milliseconds a frame lands on one every 7.5 s) falls
    // on the same side of it on every driver, where a division in floats
    // would leave that to each driver's rounding. An hour keeps the count
    // inside an int.
    int milliseconds = int(round(clamp(uTime - uAudioLatency, 0.0, 3600.0) * 1000.0));
    int beatTicks = milliseconds * int(BEATS_PER_MINUTE);  // 60000 a beat
    int beat = beatTicks / 60000;
    float beatPhase = float(beatTicks - beat * 60000) / 60000.0;
    float beats = float(beat) + beatPhase;
    float bars = beats / 4.0;
    int beatInBar = beat % 4;
    int part = 0;
    for (int i = 1; i < SECTION_COUNT; ++i)
        part += int(bars >= SECTION_BARS[i]);
    float barInPart = bars - SECTION_BARS[part];
    float partBars = SECTION_BARS[part + 1] - SECTION_BARS[part];
    float progress = clamp(barInPart / partBars, 0.0, 1.0);

    // Cuts land on bar lines: the section changes, and the title leaving
    // halfway through the awakening.
    float cut = 1e3;
    for (int i = 1; i < SECTION_COUNT; ++i)
        cut = abs(bars - SECTION_BARS[i]) < abs(cut) ? bars - SECTION_BARS[i] : cut;
    cut = abs(bars - 6.0) < abs(cut) ? bars - 6.0 : cut;

    // The bridge's first four bars have no drums.
    vec2 accents = PART_ACCENTS[part] * (part == BRIDGE && barInPart < 4.0 ? 0.0 : 1.0);
    float kick = accents.x * hit(beatPhase) * float(beatInBar == 0 || beatInBar == 2);
    float snare = accents.y * hit(beatPhase) * float(beatInBar == 1 || beatInBar == 3);

    vPalette = PART_COLOURS[part];

    float titleWeight = float(part == OPENING || part == ENDING || (part == AWAKENING && barInPart < 2.0));
    float sceneWeight = float(part != OPENING && part != ENDING);
    // The bridge starts in the dark and lights up as it builds; the cadence dims.
    float light = part == BRIDGE ? mix(0.45, 1.15, smoothstep(0.35, 1.0, progress))
                : part == CADENCE ? mix(1.0, 0.55, progress) : 1.0;
    light *= 1.0 + 0.35 * kick;
    // Tiles come on in eighth notes over the opening and go out as the final
    // chord rings away, past the end of the score.
    float tilesShown = part == OPENING ? floor(barInPart * 8.0) / (8.0 * 3.5)
                     : part == ENDING ? 1.0 - smoothstep(1.4, 2.1, barInPart) : 1.0;
    vShow = vec4(sceneWeight, titleWeight, light, tilesShown);

    // Camera: an orbit of the blob, or a straight pass beside it.
    int shot = int(barInPart / 2.0);
    float shotBar = barInPart - 2.0 * float(shot);
    float angle = 0.0, distance = 4.0, height = 1.0;
    vec3 target = BLOB_CENTRE - vec3(0.0, 0.1, 0.0);
    if (part == AWAKENING) {
        angle = 0.2 + 0.08 * barInPart;
        distance = mix(2.4, 4.2, progress);
        height = mix(0.15, 1.3, progress);
    } else if (part == THEME) {
        angle = 1.3 * float(shot) + 0.22 * barInPart;
        distance = 3.1 - 0.4 * float(shot & 1);
        height = 0.75 + 0.35 * float(shot & 1);
    } else if (part == BRIDGE) {
        angle = -0.6 + 0.06 * barInPart;
        distance = mix(5.0, 3.0, progress);
        height = 0.55;
    } else if (part == REPRISE) {
        angle = 2.1 * float(shot) + 0.5 * barInPart;
        vec2 random = shotRandom(shot);
        distance = 2.7 + 1.3 * random.x;
        height = 0.25 + 3.0 * random.y;
    } else if (part == CADENCE) {
        angle = 3.4 + 0.15 * barInPart;
        distance = mix(3.4, 7.5, progress);
        height = mix(1.0, 3.8, progress);
    }
    vec3 eye = target + vec3(distance * sin(angle), height, -distance * cos(angle));
    if (part == FLYBY) {
        float side = (shot & 1) == 0 ? 1.0 : -1.0;
        eye = vec3(side * mix(-5.5, 5.5, shotBar / 2.0), 0.35, -2.3);
        target = BLOB_CENTRE + vec3(side * 0.8 * (shotBar - 1.0), -0.3, 0.0);
    }
    vec3 forward = normalize(target - eye);
    vec3 right = normalize(cross(forward, vec3(0.0, 1.0, 0.0)));
    vec3 up = cross(right, forward);
    vEye = eye;
    vCamera = mat3(right, up, forward);
    // The key light stands behind the camera, up and to the left, so what
    // the camera looks at is lit; the bridge's is low and in front.
    vSun = normalize(part == BRIDGE ? -forward + 0.25 * up + 0.9 * right
                                    : -forward + 0.9 * up - 0.5 * right);

    // The blob: a spinning box, a tumbling ring and three orbiting balls. The
    // bridge keeps only the ring; the kick swells everything a little.
    float t = uTime - uAudioLatency;
    float swell = 1.0 + 0.08 * kick;
    float onlyRing = float(part == BRIDGE);
    vBoxTurn = turn(vec3(0.3, 1.0, 0.2), 0.7 * t) * turn(vec3(1.0, 0.0, 0.4), 0.45 * t);
    vShape = vec4(0.32 * swell * (1.0 - onlyRing), (0.78 + 0.25 * onlyRing) * swell,
                  0.2 * swell * (1.0 - onlyRing), t * (part == FLYBY ? 2.5 : 0.6));
    vRingAxis = normalize(vec3(sin(0.9 * t), cos(0.9 * t), 0.3 * sin(0.3 * t)));
    vec3 balls[3];
    for (int i = 0; i < 3; ++i) {
        float phase = 1.3 * t + float(i) * 2.0944;
        balls[i] = vec3(cos(phase) * 0.85, sin(phase * 1.7) * 0.45, sin(phase) * 0.85) * swell;
    }
    vBall0 = balls[0];
    vBall1 = balls[1];
    vBall2 = balls[2];

    // The pointer sets the tile size; the bridge starts coarse and sharpens
    // as it builds. The grid is anchored at the window's centre, and the
    // square source covers the window, centred, so it keeps its aspect.
    vec2 viewport = vec2(uViewportSize);
    float scale = viewport.y / REFERENCE_HEIGHT;
    float size = FINEST_TILE * scale * pow(COARSEST_TILE / FINEST_TILE, uMatsch);
    size = min(size * (part == BRIDGE ? mix(1.8, 1.0, smoothstep(0.3, 0.9, progress)) : 1.0),
               COARSEST_TILE * scale);
    vGrid = vec4(1.0 / size, -0.5 * viewport / size, 0.5 * size);
    float side = max(viewport.x, viewport.y);
    // The wipe runs left to right, jittered by a quarter.
    float order = 0.75 * size / viewport.x;
    float orderOffset = 0.75 * (0.5 + 0.5 * size / viewport.x);
    vSource = vec2(size / side, 0.5 + 0.5 * size / side);
    float turnRate = CUT_BEATS / FLIP_BEATS;
    vTurn = vec4(order * turnRate, 0.25 * turnRate,
                 orderOffset * turnRate + 0.5 - abs(cut * 4.0) / FLIP_BEATS, snare);
    vFlash = vec3(fract(float(beat) * 0.618034), tilesShown, 1.0 + 0.3 * kick);
    vTileBack = texelFetch(uPaletteRow, ivec2(PART_TILE_BACK[part], 0), 0).rgb;

    // The banner runs through once, drawn at a whole multiple of its size
    // so that nearest sampling keeps its pixels square.
    vec2 banner = vec2(uScrollerSize) * max(1.0, floor(viewport.y / 540.0 + 0.5));
    float scroll = (banner.x + viewport.x) *
                   clamp((bars - SCROLL_FROM_BAR) / (SCROLL_TO_BAR - SCROLL_FROM_BAR), 0.0, 1.0);
    vScroll = vec4(1.0 / banner.x, (scroll - viewport.x) / banner.x, -1.0 / banner.y,
                   0.5 + SCROLL_HEIGHT * viewport.y / banner.y);
    vWave = vec3(1.0 / (WAVE_LENGTH * scale), 0.25 * bars, WAVE_AMPLITUDE * viewport.y / banner.y);

#ifdef BANNER
    // The banner's own build covers only the columns of its run and the rows
    // its wave reaches, a pixel more on each side; off the screen the quad
    // has no area.
    float left = viewport.x - scroll;
    float reach = 0.5 * banner.y + WAVE_AMPLITUDE * viewport.y + 1.0;
    vec2 low = vec2(left - 1.0, SCROLL_HEIGHT * viewport.y - reach);
    vec2 high = vec2(left + banner.x + 1.0, SCROLL_HEIGHT * viewport.y + reach);
    vec2 corner = mix(low, high, position.xy * 0.5 + 0.5) / viewport;
    gl_Position = vec4(clamp(corner, 0.0, 1.0) * 2.0 - 1.0, 0.0, 1.0);
#endif
}
