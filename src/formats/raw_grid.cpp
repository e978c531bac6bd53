// Headerless RAW heightmaps: .r16/.raw hold 16-bit unsigned samples, .r32
// 32-bit floats, both little-endian, rows from the top. The size is the
// map's when the caller knows it, else the square the length gives.
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "grid_readers.h"

GridError read_raw_grid(const uint8_t* bytes, uint64_t size, GridFormat format, const GridHints& hints, Grid* out,
                        const char** detail, uint8_t* own) {
    const bool floats = format == GridFormat::raw32;
    const uint64_t sample_bytes = floats ? 4 : 2;
    uint64_t width = hints.width, height = hints.height;
    if (width != 0 && height != 0) {
        if (size != width * height * sample_bytes) {
            snprintf(grid_detail, sizeof grid_detail, "%" PRIu64 " bytes; %" PRIu64 " x %" PRIu64 " needs %" PRIu64,
                     size, width, height, width * height * sample_bytes);
            *detail = grid_detail;
            return GridError::raw_size_mismatch;
        }
    } else {
        width = height = size % sample_bytes == 0 ? square_side(size / sample_bytes) : 0;
        if (width == 0) {
            snprintf(grid_detail, sizeof grid_detail, "%" PRIu64 " bytes", size);
            *detail = grid_detail;
            return GridError::raw_size_unknown;
        }
    }
    // The samples are the grid's already where the file's bytes are ours
    // and the processor is little-endian too: the grid takes them as they lie.
    const bool in_place = own != nullptr && std::endian::native == std::endian::little;
    if (const GridError error = start_grid(out, width, height, floats ? GridValues::f32 : GridValues::u16, in_place ? own : nullptr);
        error != GridError::none)
        return error;
    out->type = floats ? SampleType::f32 : SampleType::u16;
    out->channels = 1;
    if (in_place) return GridError::none;
    const uint64_t count = width * height;
    if (floats) {
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t word = grid_le32(bytes + 4 * i);
            memcpy(&out->f32[i], &word, 4);
        }
    } else {
        for (uint64_t i = 0; i < count; ++i) out->u16[i] = grid_le16(bytes + 2 * i);
    }
    return GridError::none;
}
