#version 300 es
// The water: a plane at height 0, the sea level, over the whole map.
precision highp float;

layout(location = 0) in vec2 corner;  // -1 or 1 each way

uniform vec2 halfSize;  // the map's half width and half depth
uniform mat4 viewProjection;

void main() {
    gl_Position = viewProjection * vec4(corner.x * halfSize.x, 0.0, corner.y * halfSize.y, 1.0);
}
