// The convert command's steps, each on grids in memory: heights typed on
// the command line, the mapping of values to samples, void filling,
// resampling one output row at a time, and the writers.
#pragma once

#include <cstdint>

#include "battle_file.h"
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

// How values become heights, and heights samples. Samples: a grid's u16
// samples pass unchanged (a filled void rounded to nearest), their heights
// the samples less `offset`. Fitted: value v becomes the height
// low + (v - lowest) x (high - low) / (highest - lowest) (low everywhere
// when highest = lowest). Scaled: v becomes v x scale. Heights are rounded
// to nearest, halves away from zero, and held within low..high; a height's
// sample is the height + offset (the sea level).
enum class MappingKind : uint8_t { samples, fitted, scaled };
struct SampleMapping {
    MappingKind kind;
    int64_t low, high;       // every height made lies within them (fitted: those of the extremes)
    double lowest, highest;  // fitted: the values that become low and high
    double scale;            // scaled
    int32_t offset;
};
void map_heights(const SampleMapping& mapping, const double* values, uint32_t count, int32_t* out);
void map_values(const SampleMapping& mapping, const double* values, uint32_t count, uint16_t* out);
uint16_t map_value(const SampleMapping& mapping, double value);

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
// differs from the grid's size (one output row at a time, no second image);
// or the heights of one heightmap of a battle file.
struct RowSource {
    const Grid* grid;
    const char* input;  // the grid's or battle file's file, named if it changes before the output is in place
    uint32_t width, height;
    bool resampled;
    AxisTaps across, down;
    double* sum;  // a row of the input's width
    const BattleFile* battle;
    int layer;
    int64_t* heights;  // a row of the battle file's heights
};
bool open_row_source(const Grid& grid, uint32_t width, uint32_t height, RowSource* out);
bool open_battle_row_source(const BattleFile& battle, int layer, RowSource* out);
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

// The heights written, lowest and highest.
struct HeightRange {
    int32_t lowest, highest;
};
// Writes `width` x `height` heights, each row from `source` through
// `mapping`, as 32-bit floats in `format` (one hmap writes heights to: its
// write_floats). The file is replaced whole or not at all.
Status write_heightmap_floats(const char* path, const GridReader& format, RowSource& source,
                              const SampleMapping& mapping, HeightRange* range);

// The lowest and highest value of all rows of `source` (`scratch`: a row
// of doubles); false for a source without a value.
bool measure_source(RowSource& source, double* scratch, double* lowest, double* highest);

// Room for a row's values (doubles) and its samples, 8-byte aligned.
constexpr uint64_t row_scratch_bytes(uint32_t width) { return 16 * ((uint64_t{width} * 10 + 15) / 16); }
// All rows of `source` through `mapping` at `out`, big-endian samples one
// row after another, as a decoded PNG holds them; `scratch` has
// row_scratch_bytes for the output's width.
void make_heightmap_samples(RowSource& source, const SampleMapping& mapping, double* scratch, uint8_t* out);

