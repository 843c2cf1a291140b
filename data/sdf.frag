#version 330 core
uniform ivec2 uViewportSize;
uniform float uTime;
out vec4 color;

float sdSphere(vec3 p, float r) { return length(p) - r; }

float scene(vec3 p)
{
    return min(sdSphere(p - vec3(sin(uTime), 0.0, 0.0), 0.6), p.y + 0.8);
}

void main()
{
    vec2 uv = (2.0 * gl_FragCoord.xy - vec2(uViewportSize)) / float(uViewportSize.y);
    vec3 ro = vec3(0.0, 0.0, -3.0);
    vec3 rd = normalize(vec3(uv, 1.5));
    float t = 0.0;
    for (int i = 0; i < 48 && t < 20.0; ++i) {
        float d = scene(ro + rd * t);
        if (d < 0.001) break;
        t += d;
    }
    vec3 p = ro + rd * t;
    vec2 e = vec2(0.001, 0.0);
    vec3 n = normalize(vec3(scene(p + e.xyy) - scene(p - e.xyy),
                            scene(p + e.yxy) - scene(p - e.yxy),
                            scene(p + e.yyx) - scene(p - e.yyx)));
    float light = t < 20.0 ? max(dot(n, normalize(vec3(0.5, 1.0, -0.6))), 0.1) : 0.0;
    color = vec4(vec3(light) * vec3(1.0, 0.7, 0.4), 1.0);
}
