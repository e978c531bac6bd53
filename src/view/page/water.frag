#version 300 es
precision highp float;

uniform vec4 tint;
out vec4 colour;

void main() {
    colour = tint;
}
