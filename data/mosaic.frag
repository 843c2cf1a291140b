#version 330 core
uniform sampler2D uWebcam;
uniform sampler1D uPalette;
uniform sampler2D uScroller;
uniform ivec2 uViewportSize;
uniform float uTime;
uniform float uMatsch;
out vec4 color;

void main()
{
    float tile = mix(4.0, 40.0, uMatsch);
    vec2 cell = floor(gl_FragCoord.xy / tile) * tile + 0.5 * tile;
    vec3 source = texture(uWebcam, cell / vec2(uViewportSize)).rgb;
    vec3 best = vec3(0.0);
    float bestDistance = 1e9;
    for (int i = 0; i < 33; ++i) {
        vec3 entry = texelFetch(uPalette, i, 0).rgb;
        float d = dot(entry - source, entry - source);
        if (d < bestDistance) { bestDistance = d; best = entry; }
    }
    vec4 text = texture(uScroller, vec2(gl_FragCoord.x / 512.0 + uTime * 0.2, 1.0 - gl_FragCoord.y / 64.0));
    color = vec4(mix(best, text.rgb, text.a), 1.0);
}
