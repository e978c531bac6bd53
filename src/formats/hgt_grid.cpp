// SRTM .hgt tiles: a square of big-endian signed 16-bit heights in metres,
// rows from the north, -32768 where the survey has no value.
#include <cmath>

#include "grid_readers.h"

namespace {

GridError read_hgt(const GridInput& input, Grid* out) {
    const uint64_t side = input.size % 2 == 0 ? square_side(input.size / 2) : 0;
    if (side == 0) return GridError::hgt_not_square;
    if (past_limits(input, side, side)) return GridError::too_large;
    if (input.hints.samples_only) {
        out->type = SampleType::i16;
        return GridError::needs_mapping;
    }
    if (const GridError error = start_grid(input, out, side, side, GridValues::f32); error != GridError::none)
        return error;
    out->type = SampleType::i16;
    out->channels = 1;
    for (uint64_t i = 0; i < side * side; ++i) {
        const auto v = static_cast<int16_t>(read_be16(input.bytes + 2 * i));
        out->f32[i] = v == -32768 ? NAN : static_cast<float>(v);
    }
    return GridError::none;
}

}  // namespace

extern const GridReader hgt_grid;
const GridReader hgt_grid = {"SRTM HGT", {".hgt"}, "metres", nullptr, read_hgt, nullptr};
