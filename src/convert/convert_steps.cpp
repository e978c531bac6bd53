// The convert command's steps on grids in memory: heights typed on the
// command line, the mapping of values to samples, void filling, resampling
// one output row at a time, and the two writers.
#include <cmath>
#include <cstring>

#include "convert_steps.h"
#include "png_heightmap.h"

bool parse_height(const char* text, int64_t* value) {
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p == 0) return false;
    int64_t magnitude = 0;
    for (; *p != 0; ++p) {
        if (*p < '0' || *p > '9') return false;
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > max_typed_height) return false;
    }
    *value = negative ? -magnitude : magnitude;
    return true;
}

bool looks_like_number(const char* text) {
    const char* p = text;
    if (*p == '-' || *p == '+') ++p;
    if (!((*p >= '0' && *p <= '9') || *p == '.')) return false;
    for (; *p != 0; ++p) {
        if (!((*p >= '0' && *p <= '9') || *p == '.' || *p == 'e' || *p == 'E' || *p == '-' || *p == '+')) return false;
    }
    return true;
}

namespace {

// To the nearest whole number, halves away from zero, as std::round gives
// it but in plain arithmetic the compiler makes vector code of: the fraction
// left after truncating is exact. Heights typed or taken from a battle file
// fit 32 bits.
inline int32_t round_half_away(double value) {
    const auto whole = static_cast<int32_t>(value);
    const double fraction = value - static_cast<double>(whole);
    return whole + (fraction >= 0.5) - (fraction <= -0.5);
}

// The same for any value, first held within [lo, hi]: a grid read in place
// may hold anything by the time its rows are mapped (another program may
// write the file meanwhile; the run is refused then, but only after its
// output is made), and a NaN or an infinity must give a sample too. A NaN
// fails both comparisons and becomes lo.
inline int32_t round_within(double value, int32_t lo, int32_t hi) {
    value = value > lo ? value : lo;
    value = value < hi ? value : hi;
    return round_half_away(value);
}

}  // namespace

void map_heights(const SampleMapping& mapping, const double* values, uint32_t count, int32_t* out) {
    const auto low = static_cast<int32_t>(mapping.low), high = static_cast<int32_t>(mapping.high);
    // Resampled and filled values lie between the valid ones; only a last bit
    // of rounding, or a file changed under a view, could carry one outside.
    switch (mapping.kind) {
    case MappingKind::samples:
        // 16-bit samples as they are; a filled void between such samples
        // rounded to the nearest.
        for (uint32_t i = 0; i < count; ++i) out[i] = round_within(values[i], 0, 65535) - mapping.offset;
        return;
    case MappingKind::scaled: {
        const double scale = mapping.scale;
        for (uint32_t i = 0; i < count; ++i) out[i] = round_within(values[i] * scale, low, high);
        return;
    }
    case MappingKind::fitted:
        break;
    }
    if (!(mapping.highest > mapping.lowest)) {
        for (uint32_t i = 0; i < count; ++i) out[i] = low;
        return;
    }
    // The heights' range in doubles: a battle file's heightmap may span more than 32 bits hold.
    const double base = low, lowest = mapping.lowest, range = static_cast<double>(high) - low;
    const double span = mapping.highest - lowest;
    for (uint32_t i = 0; i < count; ++i) out[i] = round_within(base + (values[i] - lowest) * range / span, low, high);
}

void map_values(const SampleMapping& mapping, const double* values, uint32_t count, uint16_t* out) {
    // A few hundred heights at a time, then their samples.
    constexpr uint32_t chunk = 256;
    int32_t heights[chunk];
    for (uint32_t first = 0; first < count; first += chunk) {
        const uint32_t n = count - first < chunk ? count - first : chunk;
        map_heights(mapping, values + first, n, heights);
        for (uint32_t i = 0; i < n; ++i) out[first + i] = static_cast<uint16_t>(heights[i] + mapping.offset);
    }
}

uint16_t map_value(const SampleMapping& mapping, double value) {
    uint16_t sample;
    map_values(mapping, &value, 1, &sample);
    return sample;
}

// ---- voids ----

namespace {

// One level of the void-filling pyramid: the mean of the valid values
// under each pixel, and how much of it is valid (1 at most). T is the
// grid's own type, float or double, so that a grid of doubles keeps its
// values exact.
template <typename T>
struct Level {
    uint32_t width, height;
    T* value;
    T* weight;  // empty for the grid itself, where a void is NaN
};

template <typename T>
T weight_at(const Level<T>& level, uint64_t i) {
    if (level.weight != nullptr) return level.weight[i];
    return std::isnan(level.value[i]) ? T(0) : T(1);
}

template <typename T>
void reduce(const Level<T>& fine, const Level<T>& coarse) {
    for (uint32_t y = 0; y < coarse.height; ++y) {
        for (uint32_t x = 0; x < coarse.width; ++x) {
            double weights = 0, sum = 0;
            for (uint32_t dy = 0; dy < 2; ++dy) {
                const uint32_t fy = 2 * y + dy;
                if (fy >= fine.height) break;
                for (uint32_t dx = 0; dx < 2; ++dx) {
                    const uint32_t fx = 2 * x + dx;
                    if (fx >= fine.width) break;
                    const uint64_t i = uint64_t{fy} * fine.width + fx;
                    const T w = weight_at(fine, i);
                    if (w > 0) {
                        weights += w;
                        sum += double{w} * fine.value[i];
                    }
                }
            }
            const uint64_t o = uint64_t{y} * coarse.width + x;
            coarse.value[o] = weights > 0 ? static_cast<T>(sum / weights) : T(0);
            coarse.weight[o] = weights > 1 ? T(1) : static_cast<T>(weights);
        }
    }
}

// The coarse level's value under a fine pixel, bilinear between the coarse
// pixels' centres.
template <typename T>
T upsampled(const Level<T>& coarse, uint32_t x, uint32_t y) {
    auto place = [](uint32_t i, uint32_t n, uint32_t* i0, uint32_t* i1, T* f) {
        T s = (static_cast<T>(i) + T(0.5)) / T(2) - T(0.5);
        if (s < 0) s = 0;
        *i0 = static_cast<uint32_t>(s);
        if (*i0 >= n - 1) {
            *i0 = *i1 = n - 1;
            *f = 0;
        } else {
            *i1 = *i0 + 1;
            *f = s - static_cast<T>(*i0);
        }
    };
    uint32_t x0, x1, y0, y1;
    T fx, fy;
    place(x, coarse.width, &x0, &x1, &fx);
    place(y, coarse.height, &y0, &y1, &fy);
    const T* r0 = coarse.value + uint64_t{y0} * coarse.width;
    const T* r1 = coarse.value + uint64_t{y1} * coarse.width;
    const T top = r0[x0] + (r0[x1] - r0[x0]) * fx;
    const T bottom = r1[x0] + (r1[x1] - r1[x0]) * fx;
    return top + (bottom - top) * fy;
}

// Completes a level from the finished one above it: each pixel not wholly
// valid takes the rest of its value from there.
template <typename T>
void expand(const Level<T>& coarse, const Level<T>& fine) {
    for (uint32_t y = 0; y < fine.height; ++y) {
        for (uint32_t x = 0; x < fine.width; ++x) {
            const uint64_t i = uint64_t{y} * fine.width + x;
            const T w = weight_at(fine, i);
            if (w >= 1) continue;
            const T up = upsampled(coarse, x, y);
            fine.value[i] = w > 0 ? w * fine.value[i] + (1 - w) * up : up;
        }
    }
}

template <typename T>
bool fill_voids_of(T* values, uint32_t width, uint32_t height) {
    // Each level a quarter of the one below: all of them fewer pixels than
    // the grid, in one block.
    Level<T> levels[34];
    levels[0] = {width, height, values, nullptr};
    int count = 1;
    uint64_t pixels = 0;
    for (uint32_t w = width, h = height; w > 1 || h > 1; ++count) {
        w = (w + 1) / 2;
        h = (h + 1) / 2;
        levels[count] = {w, h, nullptr, nullptr};
        pixels += uint64_t{w} * h;
    }
    if (count == 1) return !std::isnan(values[0]);
    auto* block = reinterpret_cast<T*>(allocate_buffer(2 * sizeof(T) * pixels));
    if (block == nullptr) return false;
    T* next = block;
    for (int k = 1; k < count; ++k) {
        const uint64_t n = uint64_t{levels[k].width} * levels[k].height;
        levels[k].value = next;
        levels[k].weight = next + n;
        next += 2 * n;
        reduce(levels[k - 1], levels[k]);
    }
    const bool any_valid = levels[count - 1].weight[0] > 0;
    if (any_valid) {
        for (int k = count - 1; k > 0; --k) expand(levels[k], levels[k - 1]);
    }
    release_buffer(block);
    return any_valid;
}

}  // namespace

bool fill_voids(float* values, uint32_t width, uint32_t height) { return fill_voids_of(values, width, height); }
bool fill_voids(double* values, uint32_t width, uint32_t height) { return fill_voids_of(values, width, height); }

// ---- resampling ----

bool make_axis_taps(uint32_t in, uint32_t out, AxisTaps* taps) {
    // Area average: at most in / out + 2 input pixels an output pixel.
    const uint64_t most = uint64_t{in} + 2 * uint64_t{out};
    taps->first = reinterpret_cast<uint32_t*>(allocate_buffer(4 * (uint64_t{out} + 1)));
    taps->index = reinterpret_cast<uint32_t*>(allocate_buffer(4 * most));
    taps->weight = reinterpret_cast<float*>(allocate_buffer(4 * most));
    if (taps->first == nullptr || taps->index == nullptr || taps->weight == nullptr) {
        release_axis_taps(taps);
        return false;
    }
    uint32_t n = 0;
    auto take = [&](uint32_t i, double w) {
        taps->index[n] = i;
        taps->weight[n] = static_cast<float>(w);
        ++n;
    };
    const double scale = static_cast<double>(in) / out;
    for (uint32_t o = 0; o < out; ++o) {
        taps->first[o] = n;
        if (in == out) {
            take(o, 1.0);
        } else if (out < in) {
            // The input pixels under [o, o + 1) x scale, each by its share.
            const double from = o * scale, to = (o + 1) * scale;
            for (uint32_t i = static_cast<uint32_t>(from); i < in && i < to; ++i) {
                const double lo = i > from ? i : from, hi = i + 1 < to ? i + 1 : to;
                if (hi > lo) take(i, (hi - lo) / scale);
            }
        } else {
            double s = (o + 0.5) * scale - 0.5;
            if (s < 0) s = 0;
            const uint32_t i0 = static_cast<uint32_t>(s);
            if (i0 >= in - 1) {
                take(in - 1, 1.0);
            } else {
                const double f = s - i0;
                take(i0, 1.0 - f);
                take(i0 + 1, f);
            }
        }
    }
    taps->first[out] = n;
    return true;
}

void release_axis_taps(AxisTaps* taps) {
    release_buffer(taps->first);
    release_buffer(taps->index);
    release_buffer(taps->weight);
    *taps = {};
}

bool open_row_source(const Grid& grid, uint32_t width, uint32_t height, RowSource* out) {
    *out = {};
    out->grid = &grid;
    out->width = width;
    out->height = height;
    out->resampled = width != grid.width || height != grid.height;
    if (!out->resampled) return true;
    out->sum = reinterpret_cast<double*>(allocate_buffer(8 * uint64_t{grid.width}));
    if (out->sum == nullptr || !make_axis_taps(grid.width, width, &out->across) ||
        !make_axis_taps(grid.height, height, &out->down)) {
        close_row_source(out);
        return false;
    }
    return true;
}

bool open_battle_row_source(const BattleFile& battle, int layer, RowSource* out) {
    *out = {};
    out->battle = &battle;
    out->layer = layer;
    out->width = battle_width(battle);
    out->height = battle_height(battle);
    out->heights = reinterpret_cast<int64_t*>(allocate_buffer(8 * uint64_t{out->width}));
    return out->heights != nullptr;
}

void close_row_source(RowSource* source) {
    release_buffer(source->heights);
    source->heights = nullptr;
    release_buffer(source->sum);
    if (source->across.first != nullptr) release_axis_taps(&source->across);
    if (source->down.first != nullptr) release_axis_taps(&source->down);
    source->sum = nullptr;
}

void source_values(RowSource& source, uint32_t y, double* out) {
    if (source.battle != nullptr) {
        battle_height_row(*source.battle, source.layer, y, source.heights);
        for (uint32_t x = 0; x < source.width; ++x) out[x] = static_cast<double>(source.heights[x]);
        return;
    }
    const Grid& grid = *source.grid;
    const uint64_t in_width = grid.width;
    if (!source.resampled) {
        if (grid.u16 != nullptr) {
            const uint16_t* row = grid.u16 + y * in_width;
            for (uint64_t x = 0; x < in_width; ++x) out[x] = row[x];
        } else if (grid.f32 != nullptr) {
            const float* row = grid.f32 + y * in_width;
            for (uint64_t x = 0; x < in_width; ++x) out[x] = row[x];
        } else {
            memcpy(out, grid.f64 + y * in_width, 8 * in_width);
        }
        return;
    }
    // Down first, into a row of the input's width, then across.
    double* sum = source.sum;
    for (uint64_t x = 0; x < in_width; ++x) sum[x] = 0;
    for (uint32_t t = source.down.first[y]; t < source.down.first[y + 1]; ++t) {
        const double w = source.down.weight[t];
        const uint64_t at = uint64_t{source.down.index[t]} * in_width;
        if (grid.u16 != nullptr) {
            for (uint64_t x = 0; x < in_width; ++x) sum[x] += w * grid.u16[at + x];
        } else if (grid.f32 != nullptr) {
            for (uint64_t x = 0; x < in_width; ++x) sum[x] += w * grid.f32[at + x];
        } else {
            for (uint64_t x = 0; x < in_width; ++x) sum[x] += w * grid.f64[at + x];
        }
    }
    for (uint32_t x = 0; x < source.width; ++x) {
        double v = 0;
        for (uint32_t t = source.across.first[x]; t < source.across.first[x + 1]; ++t) {
            v += source.across.weight[t] * sum[source.across.index[t]];
        }
        out[x] = v;
    }
}

// ---- writers ----

namespace {

struct SampleRows {
    RowSource* source;
    const SampleMapping* mapping;
    double* values;  // a row of the output's width, then room for its samples (row_scratch_bytes)
    SampleRange range;
    bool big_endian;
};

void make_sample_row(SampleRows& rows, uint32_t y, uint8_t* out) {
    const uint32_t width = rows.source->width;
    source_values(*rows.source, y, rows.values);
    auto* samples = reinterpret_cast<uint16_t*>(rows.values + width);
    map_values(*rows.mapping, rows.values, width, samples);
    uint16_t lowest = rows.range.lowest, highest = rows.range.highest;
    const int high_byte = rows.big_endian ? 0 : 1;
    for (uint32_t x = 0; x < width; ++x) {
        const uint16_t s = samples[x];
        lowest = s < lowest ? s : lowest;
        highest = s > highest ? s : highest;
        out[2 * x + high_byte] = static_cast<uint8_t>(s >> 8);
        out[2 * x + 1 - high_byte] = static_cast<uint8_t>(s);
    }
    rows.range.lowest = lowest;
    rows.range.highest = highest;
}

void make_png_row(void* context, uint32_t y, uint8_t* out) {
    *out = 0;  // filter type none
    make_sample_row(*static_cast<SampleRows*>(context), y, out + 1);
}

}  // namespace

void make_heightmap_samples(RowSource& source, const SampleMapping& mapping, double* values, uint8_t* out) {
    SampleRows rows{&source, &mapping, values, {}, true};
    for (uint32_t y = 0; y < source.height; ++y) make_sample_row(rows, y, out + 2 * uint64_t{y} * source.width);
}

namespace {

// The end of a write begun with begin_file_write (`out` empty when that
// failed): the file put in place when every part was written, else
// abandoned, and a failure reported.
Status end_write(const char* path, FileWrite* out, bool written, const RowSource& source) {
    if (out == nullptr) return report_file_failure(path);
    if (!written) {
        abandon_file_write(out);
        return report_file_failure(path);
    }
    // A grid that lies in its file's pages, or a battle file's heights, are
    // that file's only while the file is the version read: else nothing is
    // put in place.
    if ((source.grid != nullptr && !grid_unchanged(*source.grid)) ||
        (source.battle != nullptr && !battle_unchanged(*source.battle))) {
        abandon_file_write(out);
        return report_file_failure(source.input != nullptr ? source.input : path);
    }
    return finish_file_write(out) ? status_ok : report_file_failure(path);
}

}  // namespace

Status write_heightmap_png(const char* path, RowSource& source, const SampleMapping& mapping, bool with_sea_level,
                           SampleRange* range) {
    const uint32_t width = source.width, height = source.height;
    const PngLayout layout = png_layout(width, height, max_chunk_data, with_sea_level);
    // A row's values and samples, then the streamer's part and row.
    uint8_t* buffer = allocate_buffer(row_scratch_bytes(width) + png_part_bytes + layout.row_bytes);
    if (buffer == nullptr) return report_out_of_memory(path);
    SampleRows rows{&source, &mapping, reinterpret_cast<double*>(buffer), {}, true};
    FileWrite* out = begin_file_write(path, layout.file_bytes);
    const bool written = out != nullptr && stream_grey16_png(layout, width, height, with_sea_level,
                                                             static_cast<uint16_t>(mapping.offset), make_png_row, &rows,
                                                             buffer + row_scratch_bytes(width), png_part_bytes,
                                                             write_png_part, out);
    const Status status = end_write(path, out, written, source);
    release_buffer(buffer);
    *range = rows.range;
    return status;
}

Status write_heightmap_raw(const char* path, RowSource& source, const SampleMapping& mapping, SampleRange* range) {
    const uint32_t width = source.width, height = source.height;
    const uint64_t row_bytes = 2 * uint64_t{width};
    // Whole rows to a part of about png_part_bytes, at least one.
    const uint64_t rows_a_part = row_bytes >= png_part_bytes ? 1 : png_part_bytes / row_bytes;
    uint8_t* values = allocate_buffer(row_scratch_bytes(width) + rows_a_part * row_bytes);
    if (values == nullptr) return report_out_of_memory(path);
    uint8_t* buffer = values + row_scratch_bytes(width);
    SampleRows rows{&source, &mapping, reinterpret_cast<double*>(values), {}, false};
    FileWrite* out = begin_file_write(path, row_bytes * height);
    bool ok = out != nullptr;
    for (uint32_t y = 0; ok && y < height;) {
        uint64_t n = 0;
        for (; n < rows_a_part && y < height; ++n, ++y) make_sample_row(rows, y, buffer + n * row_bytes);
        ok = write_file_part(out, buffer, n * row_bytes);
    }
    const Status status = end_write(path, out, ok, source);
    release_buffer(values);
    *range = rows.range;
    return status;
}

bool measure_source(RowSource& source, double* scratch, double* lowest, double* highest) {
    double lo = INFINITY, hi = -INFINITY;
    for (uint32_t y = 0; y < source.height; ++y) {
        source_values(source, y, scratch);
        for (uint32_t x = 0; x < source.width; ++x) {
            lo = scratch[x] < lo ? scratch[x] : lo;
            hi = scratch[x] > hi ? scratch[x] : hi;
        }
    }
    *lowest = lo;
    *highest = hi;
    return lo <= hi;
}

namespace {

// Rows of heights as floats, for the formats that hold them.
struct FloatRowMaker {
    RowSource* source;
    const SampleMapping* mapping;
    double* values;    // a row of the output's width
    int32_t* heights;  // the same
    int32_t lowest, highest;
};

void make_float_row(void* context, uint32_t y, float* out) {
    auto& rows = *static_cast<FloatRowMaker*>(context);
    const uint32_t width = rows.source->width;
    source_values(*rows.source, y, rows.values);
    map_heights(*rows.mapping, rows.values, width, rows.heights);
    int32_t lowest = rows.lowest, highest = rows.highest;
    for (uint32_t x = 0; x < width; ++x) {
        const int32_t h = rows.heights[x];
        lowest = h < lowest ? h : lowest;
        highest = h > highest ? h : highest;
        out[x] = static_cast<float>(h);
    }
    rows.lowest = lowest;
    rows.highest = highest;
}

}  // namespace

Status write_heightmap_floats(const char* path, const GridReader& format, RowSource& source,
                              const SampleMapping& mapping, HeightRange* range) {
    const uint32_t width = source.width, height = source.height;
    auto* scratch = reinterpret_cast<double*>(allocate_buffer(12 * uint64_t{width}));
    if (scratch == nullptr) return report_out_of_memory(path);
    FloatRowMaker rows{&source, &mapping, scratch, reinterpret_cast<int32_t*>(scratch + width), INT32_MAX, INT32_MIN};
    MadeFile made{};
    const GridError error = format.write_floats(width, height, make_float_row, &rows, &made);
    release_buffer(scratch);
    *range = HeightRange{rows.lowest, rows.highest};
    if (error == GridError::out_of_memory) return report_out_of_memory(path);
    if (error != GridError::none) {
        console_printf("Error: %s could not be made (the %s library refused it); nothing was written.\r\n", path,
                       format.name);
        return status_refused;
    }
    FileWrite* out = begin_file_write(path, made.size);
    const bool written = out != nullptr && write_file_part(out, made.bytes, made.size);
    release_buffer(made.bytes);
    return end_write(path, out, written, source);
}
