#version 300 es
// The terrain: a square tile of quads laid over the map and lifted to the
// heights, one instance a tile. Tiles far from the eye have more pixels a
// quad, and read their heights from the mean heights of that many (the
// height texture's smaller levels). The skirt, a copy of the tile's edge
// hung down to below the lowest ground, hides the seams between tiles of
// different sizes, and round the map makes its sides.
precision highp float;
precision highp int;
precision highp usampler2D;

layout(location = 0) in vec3 corner;  // column and row of the quad corner in its tile; 1 on the skirt
layout(location = 1) in vec3 tile;    // the tile's first pixel (x, y) and its pixels a quad, a power of 2

uniform usampler2D heights;  // each pixel's height as lowest + unit x sample
uniform ivec2 mapSize;       // pixels of the height texture
uniform int levels;          // its levels
uniform float lowest, unit;
uniform float exaggeration;
uniform float spacing;       // units of height a pixel is across
uniform vec2 centre;         // the point of the map at the origin, in pixels
uniform float floorLevel;    // where the skirt ends
uniform mat4 viewProjection;

out vec2 pixel;
out float skirt;

void main() {
    // A pixel is a square; each corner takes the height of the pixel
    // south-east of it, those of the east and south edges their neighbours'.
    vec2 p = min(tile.xy + corner.xy * tile.z, vec2(mapSize));
    int level = min(int(log2(tile.z) + 0.5), levels - 1);
    ivec2 last = max((mapSize >> level) - 1, ivec2(0));
    uint stored = texelFetch(heights, min(min(ivec2(p), mapSize - 1) >> level, last), level).r;
    float y = corner.z > 0.5 ? floorLevel : (lowest + unit * float(stored)) * exaggeration;
    pixel = p;
    skirt = corner.z;
    gl_Position = viewProjection * vec4((p.x - centre.x) * spacing, y, (p.y - centre.y) * spacing, 1.0);
}
