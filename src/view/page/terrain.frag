#version 300 es
// The terrain's colours, pixel by pixel, as hmap -p draws them: the colour
// of each pixel's height from -p's ramp, under -p's hill shading (Horn's
// gradient over the pixel's 3x3 neighbourhood, the light from the
// north-west 45 degrees up), taken with the heights as exaggerated. Seen
// from close enough that a map pixel covers a screen pixel or more, each
// map pixel has the colour of the same pixel of -p's picture.
precision highp float;
precision highp int;
precision highp usampler2D;

uniform usampler2D heights;
uniform sampler2D ramp;      // 2050 x 1: water from the shore down, then land from the shore up
uniform sampler2D marks;     // 1 where the import changes the pixel
uniform bool showMarks;
uniform ivec2 mapSize;
uniform int levels;
uniform float lowest, unit;
uniform float exaggeration;
uniform float spacing;
uniform float ambient;
uniform vec4 scale;          // top, depth, and the heights of one step of the land and water ramps

in vec2 pixel;
in float skirt;
out vec4 colour;

// Heights from the level whose pixels are about as large as the screen's
// here: a far slope gets the shade and colour of its mean heights, not of
// one pixel in a few that happens to fall on the screen.
int level;

float heightAt(ivec2 p) {
    ivec2 last = max((mapSize >> level) - 1, ivec2(0));
    return lowest + unit * float(texelFetch(heights, clamp(p, ivec2(0), last), level).r);
}

void main() {
    vec2 footprint = fwidth(pixel);
    level = clamp(int(log2(max(max(footprint.x, footprint.y), 1.0))), 0, levels - 1);
    ivec2 at = clamp(ivec2(floor(pixel)), ivec2(0), mapSize - 1);
    ivec2 p = at >> level;
    float nw = heightAt(p + ivec2(-1, -1)), n = heightAt(p + ivec2(0, -1)), ne = heightAt(p + ivec2(1, -1));
    float w = heightAt(p + ivec2(-1, 0)), h = heightAt(p), e = heightAt(p + ivec2(1, 0));
    float sw = heightAt(p + ivec2(-1, 1)), s = heightAt(p + ivec2(0, 1)), se = heightAt(p + ivec2(1, 1));
    float across = (ne + 2.0 * e + se) - (nw + 2.0 * w + sw);
    float down = (sw + 2.0 * s + se) - (nw + 2.0 * n + ne);
    float run = 8.0 * spacing * float(1 << level);
    float gx = across * exaggeration / run;
    float gy = down * exaggeration / run;
    const float sin45 = 0.70710678;
    float lit = (0.5 * (gx + gy) + sin45) / sqrt(1.0 + gx * gx + gy * gy);
    float light = max(lit, 0.0) / sin45;
    // In 64ths, as -p rounds its shades.
    float shade = floor(64.0 * (ambient + (1.0 - ambient) * light) + 0.5);
    float entry = h >= 0.0 ? 1025.0 + floor(min(h, scale.x) / scale.z) : floor(min(-h, scale.y) / scale.w);
    vec3 rgb = floor(texelFetch(ramp, ivec2(int(entry), 0), 0).rgb * 255.0 + 0.5);
    rgb = min(floor((rgb * shade + 32.0) / 64.0), 255.0) / 255.0;
    // The map's sides: the colour of the edge, darker.
    bool side = skirt > 0.001 && (pixel.x < 0.01 || pixel.y < 0.01 ||
                                  pixel.x > float(mapSize.x) - 0.01 || pixel.y > float(mapSize.y) - 0.01);
    if (side) rgb *= 0.55;
    if (showMarks && texelFetch(marks, at, 0).r > 0.5) rgb = mix(rgb, vec3(1.0, 0.1, 0.7), 0.6);
    colour = vec4(rgb, 1.0);
}
