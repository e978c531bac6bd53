// SRTM .hgt tiles: a square of big-endian signed 16-bit heights in metres,
// rows from the north, -32768 where the survey has no value.
#include <cmath>

#include "grid_readers.h"

GridError read_hgt_grid(const uint8_t* bytes, uint64_t size, Grid* out) {
    const uint64_t side = size % 2 == 0 ? square_side(size / 2) : 0;
    if (side == 0) return GridError::hgt_not_square;
    if (const GridError error = start_grid(out, side, side, GridValues::f32); error != GridError::none) return error;
    out->type = SampleType::i16;
    out->channels = 1;
    for (uint64_t i = 0; i < side * side; ++i) {
        const auto v = static_cast<int16_t>(grid_be16(bytes + 2 * i));
        out->f32[i] = v == -32768 ? NAN : static_cast<float>(v);
    }
    return GridError::none;
}
