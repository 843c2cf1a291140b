#version 330 core
// The scene pass, into the 300x300 source image: a ray-marched blob of a
// spinning box, a tumbling ring and three orbiting balls over a checkered
// floor, and the title. Every texel leaves snapped to the palette with the
// index of its entry in alpha (index / 255), so the mosaic pass looks its
// colour up once instead of searching. Where the music is, the camera and
// the moving parts come from the vertex stage.
uniform sampler2D uPaletteRow;  // the palette in one row, an entry a texel
uniform usampler3D uNearest;  // the entries that can be nearest in each cell of 8 levels a channel
uniform ivec2 uViewportSize;
out vec4 color;

flat in ivec4 vPalette;    // palette entries: sky low, sky high, floor dark, floor light
flat in vec4 vShow;        // scene weight, title weight, light level, tiles shown
flat in vec3 vEye;
flat in mat3 vCamera;      // right, up, forward
flat in vec3 vSun;         // towards the key light
flat in mat3 vBoxTurn;
flat in vec4 vShape;       // box half size, ring radius, ball radius, floor scroll
flat in vec3 vRingAxis;
flat in vec3 vBall0;
flat in vec3 vBall1;
flat in vec3 vBall2;

const int MAX_MARCH_STEPS = 28;
const int MAX_SHADOW_STEPS = 8;
const float HIT_EPSILON = 0.003;      // of the distance: a texel's width is 0.005 of it
const float BLOB_BLEND = 0.28;          // smooth-union radius of the blob's parts
const float INVERSE_BLEND = 1.0 / BLOB_BLEND;
const vec3 BLOB_CENTRE = vec3(0.0, 1.05, 0.0);
const float BLOB_BOUND = 1.6;           // a sphere around every part, swollen or not
const float FOCAL_LENGTH = 1.6;
const float FOG = 0.012;

// Materials are palette entries, so the snap keeps them faithful.
const int PAL_TEAL = 12;
const int PAL_MINT = 19;
const int PAL_ROSE = 2;
const int PAL_OCHRE = 32;
const int PAL_TITLE_TOP = 21;
const int PAL_TITLE_MIDDLE = 19;
const int PAL_TITLE_BOTTOM = 24;

// "MOSAIC" in a 5x7 pixel font: a number a row, top row first, the leftmost
// pixel in bit 4.
const int TITLE_GLYPHS[42] = int[](
    17, 27, 21, 21, 17, 17, 17,   // M
    14, 17, 17, 17, 17, 17, 14,   // O
    15, 16, 16, 14, 1, 1, 30,     // S
    14, 17, 17, 31, 17, 17, 17,   // A
    14, 4, 4, 4, 4, 4, 14,        // I
    14, 17, 16, 16, 16, 17, 14);  // C
const int TITLE_LETTERS = 6;
const float TITLE_PIXEL = 7.0;          // source texels a font pixel: the title spans 245 of 300

vec3 palette(int index) { return texelFetch(uPaletteRow, ivec2(index, 0), 0).rgb; }

float sdSphere(vec3 p, float r) { return length(p) - r; }

float sdRing(vec3 p, vec3 axis, float radius, float thickness)
{
    float along = dot(p, axis);
    return length(vec2(length(p - axis * along) - radius, along)) - thickness;
}

float sdRoundBox(vec3 p, vec3 b, float r)
{
    vec3 q = abs(p) - b;
    return length(max(q, 0.0)) + min(max(q.x, max(q.y, q.z)), 0.0) - r;
}

// Distance in x, material blend in y (0 = first operand, 1 = second).
vec2 opSmoothUnion(vec2 a, vec2 b)
{
    float h = clamp(0.5 + 0.5 * (b.x - a.x) * INVERSE_BLEND, 0.0, 1.0);
    return vec2(mix(b.x, a.x, h) - BLOB_BLEND * h * (1.0 - h), mix(b.y, a.y, h));
}

vec2 blob(vec3 p)
{
    p -= BLOB_CENTRE;
    vec2 d = vec2(sdRoundBox(vBoxTurn * p, vec3(vShape.x), 0.08), 0.0);
    d = opSmoothUnion(d, vec2(sdRing(p, vRingAxis, vShape.y, 0.09), 1.0));
    d = opSmoothUnion(d, vec2(sdSphere(p - vBall0, vShape.z), 2.0));
    d = opSmoothUnion(d, vec2(sdSphere(p - vBall1, vShape.z), 2.0));
    return opSmoothUnion(d, vec2(sdSphere(p - vBall2, vShape.z), 2.0));
}

// Four taps on a tetrahedron; their mean material serves as the surface's.
vec3 blobNormal(vec3 p, out float material)
{
    const vec2 k = vec2(1.0, -1.0);
    const float h = 0.002;
    vec2 a = blob(p + k.xyy * h), b = blob(p + k.yyx * h);
    vec2 c = blob(p + k.yxy * h), d = blob(p + k.xxx * h);
    material = 0.25 * (a.y + b.y + c.y + d.y);
    return normalize(k.xyy * a.x + k.yyx * b.x + k.yxy * c.x + k.xxx * d.x);
}

// Entry and exit distances along the ray; x > y when it misses.
vec2 boundSphere(vec3 ro, vec3 rd)
{
    vec3 oc = ro - BLOB_CENTRE;
    float b = dot(oc, rd);
    float h = b * b - dot(oc, oc) + BLOB_BOUND * BLOB_BOUND;
    if (h < 0.0)
        return vec2(1.0, -1.0);
    h = sqrt(h);
    return vec2(max(-b - h, 0.0), -b + h);
}

// Distance to the blob along the ray, or -1.
float marchBlob(vec3 ro, vec3 rd)
{
    vec2 span = boundSphere(ro, rd);
    float t = span.x;
    for (int i = 0; i < MAX_MARCH_STEPS && t < span.y; ++i) {
        float d = blob(ro + rd * t).x;
        if (d < HIT_EPSILON * t)
            return t;
        t += d;
    }
    return -1.0;
}

// Penumbra from the closest miss along the way to the light.
float softShadow(vec3 ro, vec3 rd)
{
    vec2 span = boundSphere(ro, rd);
    float shade = 1.0;
    float t = max(span.x, 0.02);
    for (int i = 0; i < MAX_SHADOW_STEPS && t < span.y; ++i) {
        float d = blob(ro + rd * t).x;
        shade = min(shade, 8.0 * d / t);
        if (shade < 0.01)
            break;
        t += clamp(d, 0.04, 0.35);
    }
    return clamp(shade, 0.0, 1.0);
}

// A 4x4 Bayer threshold in [0, 1).
float bayer(ivec2 pixel)
{
    const int matrix[16] = int[16](0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5);
    return (float(matrix[(pixel.y & 3) * 4 + (pixel.x & 3)]) + 0.5) / 16.0;
}

// Two palette entries, ordered-dithered into each other towards the zenith.
vec3 sky(vec3 rd, ivec2 texel)
{
    float height = clamp(rd.y * 1.8 + 0.15, 0.0, 1.0);
    return palette(height > bayer(texel) ? vPalette.y : vPalette.x);
}

vec3 blobMaterial(float blend, vec3 p)
{
    vec3 box = mix(palette(PAL_TEAL), palette(PAL_MINT), step(0.0, sin(p.y * 9.0)));
    vec3 ring = palette(PAL_OCHRE);
    vec3 ball = palette(PAL_ROSE);
    return blend < 1.0 ? mix(box, ring, blend) : mix(ring, ball, blend - 1.0);
}

vec3 floorColour(vec3 p)
{
    vec2 tile = floor(p.xz * 1.2 + vec2(vShape.w, 0.0));
    return palette(mod(tile.x + tile.y, 2.0) < 1.0 ? vPalette.z : vPalette.w);
}

vec3 light(vec3 p, vec3 n, vec3 rd, vec3 albedo, float shininess, vec3 skyColour)
{
    float shadow = softShadow(p + n * 0.01, vSun);
    float diffuse = max(dot(n, vSun), 0.0) * shadow;
    float skyFill = 0.55 + 0.45 * n.y;
    // A rim of sky light keeps the silhouette readable against the sky.
    float edge = 1.0 - max(dot(n, -rd), 0.0);
    float rim = edge * edge * edge;
    vec3 halfway = normalize(vSun - rd);
    float specular = pow(max(dot(n, halfway), 0.0), shininess) * diffuse;
    vec3 c = albedo * (vShow.z * 1.2 * diffuse + 0.3 * skyFill) + 0.5 * rim * skyColour;
    return c + vShow.z * 0.7 * specular;
}

// The title's colour where a font pixel covers the texel, else alpha 0.
vec4 title(vec2 texel)
{
    vec2 size = vec2(uViewportSize);
    vec2 topLeft = vec2(0.5 * (size.x - (6.0 * float(TITLE_LETTERS) - 1.0) * TITLE_PIXEL),
                        0.5 * (size.y + 7.0 * TITLE_PIXEL));
    ivec2 cell = ivec2(floor((texel - topLeft) * vec2(1.0, -1.0) / TITLE_PIXEL));
    int letter = cell.x / 6;
    int column = cell.x - 6 * letter;
    bool inside = cell.x >= 0 && letter < TITLE_LETTERS && column < 5 && cell.y >= 0 && cell.y < 7;
    int bits = TITLE_GLYPHS[clamp(letter * 7 + cell.y, 0, 41)];
    float ink = float(inside && ((bits >> (4 - column)) & 1) != 0);
    int entry = cell.y < 2 ? PAL_TITLE_TOP : cell.y < 5 ? PAL_TITLE_MIDDLE : PAL_TITLE_BOTTOM;
    return vec4(palette(entry), ink);
}

// Nearest entry by squared distance; the lower index wins a tie. Only the
// cell's candidates, in ascending order, can be nearest.
int nearestPaletteIndex(vec3 c)
{
    ivec3 cell = ivec3(clamp(c, 0.0, 1.0) * 255.0 + 0.5) >> 3;
    uvec4 candidates = texelFetch(uNearest, cell.zyx, 0);
    int best = int(candidates.x);
    vec3 e = palette(best) - c;
    float bestDistance = dot(e, e);
    for (int i = 1; i < 4; ++i) {
        int entry = int(candidates[i]);
        e = palette(entry) - c;
        float d = dot(e, e);
        best = d < bestDistance ? entry : best;
        bestDistance = min(d, bestDistance);
    }
    return best;
}

void main()
{
    vec2 size = vec2(uViewportSize);
    vec2 uv = (2.0 * gl_FragCoord.xy - size) / size.y;
    vec3 rd = normalize(vCamera * vec3(uv, FOCAL_LENGTH));
    vec3 skyColour = sky(rd, ivec2(gl_FragCoord.xy));

    // llvmpipe shades both sides of every branch, so blob and floor share
    // one lighting call (one shadow march) instead of each having its own.
    float t = marchBlob(vEye, rd);
    float floorT = rd.y < 0.0 ? -vEye.y / rd.y : 1e4;
    bool onBlob = t > 0.0 && t < floorT;
    float hitT = onBlob ? t : floorT;
    vec3 p = vEye + rd * hitT;
    float material = 0.0;
    vec3 blobN = blobNormal(p, material);
    vec3 n = onBlob ? blobN : vec3(0.0, 1.0, 0.0);
    vec3 albedo = onBlob ? blobMaterial(material, p) : floorColour(p);
    vec3 c = light(p, n, rd, albedo, onBlob ? 40.0 : 12.0, skyColour);
    c = mix(skyColour, c, exp(-FOG * hitT * hitT)) * vShow.x;

    vec4 ink = title(gl_FragCoord.xy);
    c = mix(c, ink.rgb, ink.a * vShow.y);
    int index = nearestPaletteIndex(c);
    color = vec4(palette(index), float(index) / 255.0);
}
