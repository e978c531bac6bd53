// The convert command's steps, each on grids in memory: heights typed on
// the command line, the mapping of values to samples, void filling,
// resampling one output row at a time, and the writers.
#pragma once

#include <cstdint>

#include "heightmap_formats.h"
#include "platform.h"

// A height typed on the command line: a whole number with an optional sign,
// at most max_typed_height from 0 (the checks of a range then say what is
// wrong with it: above HIGH, a span too wide, samples past 65535).
constexpr int64_t max_typed_height = 2147483647;
bool parse_height(const char* text, int64_t* value);
// Whether an argument is written as a number of any kind ("-50.5", "1e3",
// "1234567"): in LOW's place it is then a height, right or wrong, never the
// name of a battle map.
bool looks_like_number(const char* text);

// How values become samples. Unmapped, a grid's u16 samples pass unchanged
// (a filled void rounded to nearest); mapped, value v becomes the height
// low + (v - lowest) x (high - low) / (highest - lowest), rounded to
// nearest with halves away from zero (low everywhere when highest =
// lowest), and the sample that height + sea_level.
struct SampleMapping {
    bool mapped;
    int64_t low, high;
    double lowest, highest;  // the input's valid values
    uint16_t sea_level;
};
uint16_t map_value(const SampleMapping& mapping, double value);
// The same for `count` values at once.
void map_values(const SampleMapping& mapping, const double* values, uint32_t count, uint16_t* out);

// Fills the voids (NaN) of a grid of floats or doubles in place from the
// valid values around them: a pyramid of half-size levels, each pixel the
// mean of the valid ones it covers, then each void taken from the level
// above, interpolated. False when the pyramid's memory is not to be had (the
// grid then unchanged) or no value is valid.
bool fill_voids(float* values, uint32_t width, uint32_t height);
bool fill_voids(double* values, uint32_t width, uint32_t height);

// Where each output pixel of one axis takes its value from, when `in`
// pixels become `out`: area average when shrinking, bilinear (pixel centres
// aligned, edges held) when growing, the same pixel when equal. Output pixel
// i takes weights[first[i] .. first[i + 1]) of input pixels index[...].
struct AxisTaps {
    uint32_t* first;  // out + 1 entries
    uint32_t* index;
    float* weight;
};
bool make_axis_taps(uint32_t in, uint32_t out, AxisTaps* taps);
void release_axis_taps(AxisTaps* taps);

// A grid's values row by row, resampled to `width` x `height` when that
// differs from the grid's size (one output row at a time, no second image).
struct RowSource {
    const Grid* grid;
    const char* input;  // the grid's file, named if it changes before the output is in place
    uint32_t width, height;
    bool resampled;
    AxisTaps across, down;
    double* sum;  // a row of the input's width
};
bool open_row_source(const Grid& grid, uint32_t width, uint32_t height, RowSource* out);
void close_row_source(RowSource* source);
// Output row y as doubles (width of them).
void source_values(RowSource& source, uint32_t y, double* out);

// The samples written and where they stand.
struct SampleRange {
    uint16_t lowest = 65535, highest = 0;
};

// Writes `width` x `height` samples, each row from `source` through
// `mapping`, as a 16-bit greyscale PNG (with an hmAP chunk holding
// `sea_level` when `with_sea_level`), or as 16-bit little-endian RAW. The
// file is replaced whole or not at all; failures print the file failure.
Status write_heightmap_png(const char* path, RowSource& source, const SampleMapping& mapping, bool with_sea_level,
                           SampleRange* range);
Status write_heightmap_raw(const char* path, RowSource& source, const SampleMapping& mapping, SampleRange* range);

// Room for a row's values (doubles) and its samples, 8-byte aligned.
constexpr uint64_t row_scratch_bytes(uint32_t width) { return 16 * ((uint64_t{width} * 10 + 15) / 16); }
// All rows of `source` through `mapping` at `out`, big-endian samples one
// row after another, as a decoded PNG holds them; `scratch` has
// row_scratch_bytes for the output's width.
void make_heightmap_samples(RowSource& source, const SampleMapping& mapping, double* scratch, uint8_t* out);

