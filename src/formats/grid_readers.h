// What the format readers share: each fills a Grid's size, samples, type and
// channels (and a PNG's sea level) from the bytes in memory; read_grid then
// counts the voids and finds the value range once for all of them. On
// failure a reader holds nothing.
#pragma once

#include <cstdint>

#include "heightmap_formats.h"

// White space between the fields of a text header (PFM's, say).
inline bool is_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The largest side any reader takes.
constexpr uint32_t max_grid_side = 65535;

// Which buffer of a Grid holds its values.
enum class GridValues : uint8_t { u16, f32, f64 };
// Sets the size and allocates the grid's values of that kind for `width` x
// `height`: too_large past max_grid_side, corrupt for an empty side,
// out_of_memory when the buffer cannot be had. `grid` is cleared first.
// Given `place`, the values go there instead of a new buffer.
GridError start_grid(Grid* grid, uint64_t width, uint64_t height, GridValues values, uint8_t* place = nullptr);

// The side of a square of `count` samples; 0 when `count` is no square.
uint64_t square_side(uint64_t count);

// Where a reader may leave a text for the caller (a size, a library's
// message); it lives until the next read.
extern char grid_detail[256];

// `own`, when not empty, is the block `bytes` lie in, which the reader may
// write: a reader that can put the samples in place there builds the grid in
// it (the grid's buffer is then `own` itself, and holds the block).
GridError read_raw_grid(const uint8_t* bytes, uint64_t size, GridFormat format, const GridHints& hints, Grid* out,
                        const char** detail, uint8_t* own);
GridError read_pfm_grid(const uint8_t* bytes, uint64_t size, Grid* out);
GridError read_hgt_grid(const uint8_t* bytes, uint64_t size, Grid* out);
GridError read_png_grid(const uint8_t* bytes, uint64_t size, Grid* out, const char** detail);
GridError read_tiff_grid(const uint8_t* bytes, uint64_t size, Grid* out, const char** detail, uint8_t* own);
GridError read_exr_grid(const uint8_t* bytes, uint64_t size, Grid* out, const char** detail);

// Little- and big-endian words of the raw formats.
inline uint16_t grid_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint16_t grid_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t grid_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint32_t grid_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
