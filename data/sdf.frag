#version 330 core
// The scene pass: a ray-marched blob of a spinning box, a tumbling ring and
// three orbiting balls melted together, over a checkered floor, into the
// 300x300 source image. Each texel leaves already snapped to the palette and
// marked with alpha 0, so the mosaic pass needs no search of its own.
uniform sampler1D uPalette;
uniform ivec2 uViewportSize;
uniform float uTime;
out vec4 color;

const int PALETTE_SIZE = 33;
const int MAX_MARCH_STEPS = 40;
const int MAX_SHADOW_STEPS = 14;
const float HIT_EPSILON = 0.002;
const float BLOB_BLEND = 0.28;          // smooth-union radius of the blob's parts
const vec3 BLOB_CENTRE = vec3(0.0, 1.05, 0.0);
const float BLOB_BOUND = 1.45;          // radius of a sphere around all moving parts
const vec3 SUN_DIRECTION = vec3(0.57, 0.62, -0.54);
const float DITHER_STRENGTH = 0.09;     // ordered dither before the palette snap

// Materials are palette entries, so the snap keeps them faithful.
const int PAL_TEAL = 12;
const int PAL_MINT = 19;
const int PAL_ROSE = 2;
const int PAL_OCHRE = 32;
const int PAL_FLOOR_DARK = 10;
const int PAL_FLOOR_LIGHT = 31;
const int PAL_SKY_HIGH = 23;
const int PAL_SKY_LOW = 0;

vec3 palette(int index) { return texelFetch(uPalette, index, 0).rgb; }

mat2 rotate(float a)
{
    float c = cos(a), s = sin(a);
    return mat2(c, -s, s, c);
}

float sdSphere(vec3 p, float r) { return length(p) - r; }

float sdTorus(vec3 p, vec2 t)
{
    vec2 q = vec2(length(p.xz) - t.x, p.y);
    return length(q) - t.y;
}

float sdRoundBox(vec3 p, vec3 b, float r)
{
    vec3 q = abs(p) - b;
    return length(max(q, 0.0)) + min(max(q.x, max(q.y, q.z)), 0.0) - r;
}

// Distance in x, material blend in y (0 = first operand, 1 = second).
vec2 opSmoothUnion(vec2 a, vec2 b, float k)
{
    float h = clamp(0.5 + 0.5 * (b.x - a.x) / k, 0.0, 1.0);
    return vec2(mix(b.x, a.x, h) - k * h * (1.0 - h), mix(b.y, a.y, h));
}

vec2 blob(vec3 p)
{
    p -= BLOB_CENTRE;
    vec3 boxSpace = p;
    boxSpace.xz *= rotate(uTime * 0.7);
    boxSpace.xy *= rotate(uTime * 0.45);
    vec2 d = vec2(sdRoundBox(boxSpace, vec3(0.32), 0.08), 0.0);

    vec3 ringSpace = p;
    ringSpace.yz *= rotate(uTime * 0.9);
    ringSpace.xy *= rotate(uTime * 0.3);
    d = opSmoothUnion(d, vec2(sdTorus(ringSpace, vec2(0.78, 0.09)), 1.0), BLOB_BLEND);

    for (int i = 0; i < 3; ++i) {
        float phase = uTime * 1.3 + float(i) * 2.0944;
        vec3 orbit = vec3(cos(phase) * 0.85, sin(phase * 1.7) * 0.45, sin(phase) * 0.85);
        d = opSmoothUnion(d, vec2(sdSphere(p - orbit, 0.2), 2.0), BLOB_BLEND);
    }
    return d;
}

vec3 blobNormal(vec3 p)
{
    // Four taps on a tetrahedron instead of six on the axes.
    const vec2 k = vec2(1.0, -1.0);
    const float h = 0.002;
    return normalize(k.xyy * blob(p + k.xyy * h).x + k.yyx * blob(p + k.yyx * h).x +
                     k.yxy * blob(p + k.yxy * h).x + k.xxx * blob(p + k.xxx * h).x);
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

// Penumbra from the closest miss along the way to the sun.
float softShadow(vec3 ro, vec3 rd)
{
    vec2 span = boundSphere(ro, rd);
    if (span.x > span.y)
        return 1.0;
    float shade = 1.0;
    float t = max(span.x, 0.02);
    for (int i = 0; i < MAX_SHADOW_STEPS && t < span.y; ++i) {
        float d = blob(ro + rd * t).x;
        shade = min(shade, 8.0 * d / t);
        if (shade < 0.01)
            break;
        t += clamp(d, 0.03, 0.3);
    }
    return clamp(shade, 0.0, 1.0);
}

float ambientOcclusion(vec3 p, vec3 n)
{
    float occlusion = 0.0;
    for (int i = 1; i <= 3; ++i) {
        float h = 0.08 * float(i);
        occlusion += (h - blob(p + n * h).x) / float(i);
    }
    return clamp(1.0 - 2.5 * occlusion, 0.0, 1.0);
}

vec3 sky(vec3 rd)
{
    vec3 c = mix(palette(PAL_SKY_LOW), palette(PAL_SKY_HIGH), sqrt(clamp(rd.y * 1.6, 0.0, 1.0)));
    float sun = max(dot(rd, SUN_DIRECTION), 0.0);
    return c + vec3(1.0, 0.7, 0.45) * (0.5 * pow(sun, 24.0) + 0.2 * pow(sun, 4.0));
}

vec3 blobMaterial(float blend, vec3 p)
{
    vec3 box = mix(palette(PAL_TEAL), palette(PAL_MINT), 0.5 + 0.5 * sin(p.y * 6.0 + uTime));
    vec3 ring = palette(PAL_OCHRE);
    vec3 ball = palette(PAL_ROSE);
    return blend < 1.0 ? mix(box, ring, blend) : mix(ring, ball, blend - 1.0);
}

vec3 light(vec3 p, vec3 n, vec3 rd, vec3 albedo, float shininess, float occlusion)
{
    float shadow = softShadow(p + n * 0.01, SUN_DIRECTION);
    float diffuse = max(dot(n, SUN_DIRECTION), 0.0) * shadow;
    float skyFill = 0.5 + 0.5 * n.y;
    vec3 halfway = normalize(SUN_DIRECTION - rd);
    float specular = pow(max(dot(n, halfway), 0.0), shininess) * shadow * diffuse;
    vec3 c = albedo * (vec3(1.3, 1.1, 0.9) * diffuse + vec3(0.25, 0.35, 0.5) * skyFill * occlusion);
    return c + vec3(1.0, 0.9, 0.8) * specular;
}

vec3 floorColour(vec3 p)
{
    vec2 tile = floor(p.xz * 1.5 + vec2(0.0, uTime * 0.6));
    float checker = mod(tile.x + tile.y, 2.0);
    return mix(palette(PAL_FLOOR_DARK), palette(PAL_FLOOR_LIGHT), checker);
}

vec3 render(vec3 ro, vec3 rd)
{
    float t = marchBlob(ro, rd);
    float floorT = rd.y < 0.0 ? -ro.y / rd.y : -1.0;
    if (t > 0.0) {
        vec3 p = ro + rd * t;
        vec3 n = blobNormal(p);
        vec3 c = light(p, n, rd, blobMaterial(blob(p).y, p), 40.0, ambientOcclusion(p, n));
        return mix(sky(rd), c, exp(-0.02 * t * t));
    }
    if (floorT > 0.0) {
        vec3 p = ro + rd * floorT;
        vec3 up = vec3(0.0, 1.0, 0.0);
        vec3 c = light(p, up, rd, floorColour(p), 12.0, 1.0);
        return mix(sky(rd), c, exp(-0.012 * floorT * floorT));
    }
    return sky(rd);
}

vec3 cameraRay(vec2 uv, vec3 ro, vec3 target)
{
    vec3 forward = normalize(target - ro);
    vec3 right = normalize(cross(forward, vec3(0.0, 1.0, 0.0)));
    vec3 up = cross(right, forward);
    return normalize(uv.x * right + uv.y * up + 1.6 * forward);
}

// A 4x4 Bayer threshold in [0, 1).
float bayer(ivec2 pixel)
{
    const int matrix[16] = int[16](0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5);
    return float(matrix[(pixel.y & 3) * 4 + (pixel.x & 3)]) / 16.0;
}

vec3 nearestPaletteColour(vec3 c)
{
    vec3 best = palette(0);
    float bestDistance = dot(c - best, c - best);
    for (int i = 1; i < PALETTE_SIZE; ++i) {
        vec3 entry = palette(i);
        float d = dot(c - entry, c - entry);
        if (d < bestDistance) {
            bestDistance = d;
            best = entry;
        }
    }
    return best;
}

void main()
{
    vec2 size = vec2(uViewportSize);
    vec2 uv = (2.0 * gl_FragCoord.xy - size) / size.y;
    float angle = uTime * 0.25;
    vec3 ro = vec3(4.2 * sin(angle), 1.6 + 0.5 * sin(uTime * 0.31), -4.2 * cos(angle));
    vec3 c = render(ro, cameraRay(uv, ro, BLOB_CENTRE - vec3(0.0, 0.15, 0.0)));
    c = pow(c, vec3(0.85));
    c += (bayer(ivec2(gl_FragCoord.xy)) - 0.5) * DITHER_STRENGTH;
    color = vec4(nearestPaletteColour(c), 0.0);
}
