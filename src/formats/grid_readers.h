// What the format readers share: the helpers each uses to start its grid,
// and text for its detail. Included by the readers alone.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bytes.h"
#include "heightmap_formats.h"

// White space between the fields of a text header (PFM's, say).
inline bool is_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Which buffer of a Grid holds its values.
enum class GridValues : uint8_t { u16, f32, f64 };
// The buffer for samples of a type, as every reader holds them: unsigned
// ones of at most 16 bits as they are (as floats when a value stands for a
// void), 32-bit integers and doubles as doubles, the rest as floats.
inline GridValues values_for(SampleType type, bool has_nodata) {
    switch (type) {
    case SampleType::u8:
    case SampleType::u16: return has_nodata ? GridValues::f32 : GridValues::u16;
    case SampleType::u32:
    case SampleType::i32:
    case SampleType::f64: return GridValues::f64;
    default: return GridValues::f32;
    }
}
// Sets the size and allocates the grid's values of that kind for `width` x
// `height`: too_large past the input's limits, corrupt for an empty side,
// out_of_memory when the buffer cannot be had. `grid` is cleared first.
// Given `place`, the values go there instead of a new buffer.
GridError start_grid(const GridInput& input, Grid* grid, uint64_t width, uint64_t height, GridValues values,
                     uint8_t* place = nullptr);
// Whether a size is past the input's limits.
inline bool past_limits(const GridInput& input, uint64_t width, uint64_t height) {
    return width > input.limits.max_width || height > input.limits.max_height;
}

// A file a writer makes in memory: a block laid out in advance, large
// enough for the whole file, and one row of floats for the heights.
struct FileInMemory {
    uint8_t* bytes;
    uint64_t capacity;
    uint64_t size;  // the furthest byte written
    float* row;
};
// Lays out the block and a row of `width` floats; out_of_memory, with
// nothing held, when either cannot be had.
GridError start_file(uint64_t capacity, uint32_t width, FileInMemory* file);
// Copies `count` bytes in at `offset`; false past the block's end.
bool put_bytes(FileInMemory* file, uint64_t offset, const void* in, uint64_t count);
// Hands the file out when `ok` and releases it otherwise (corrupt); the
// row goes either way.
GridError finish_file(FileInMemory* file, bool ok, MadeFile* out);

// The side of a square of `count` samples; 0 when `count` is no square.
uint64_t square_side(uint64_t count);

// Formats the input's detail text.
template <typename... Args>
void set_detail(const GridInput& input, const char* format, Args... args) {
    snprintf(input.detail->text, sizeof input.detail->text, format, args...);
}
