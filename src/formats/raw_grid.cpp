// Headerless RAW heightmaps: .r16/.raw hold 16-bit unsigned samples, .r32
// 32-bit floats, both little-endian, rows from the top. The size is the
// map's when the caller knows it, else the square the length gives.
#include <bit>
#include <cinttypes>
#include <cstring>

#include "grid_readers.h"

namespace {

GridError read_raw(const GridInput& input, Grid* out, bool floats) {
    const uint64_t size = input.size, sample_bytes = floats ? 4 : 2;
    uint64_t width = input.hints.width, height = input.hints.height;
    if (width != 0 && height != 0) {
        if (size != width * height * sample_bytes) {
            set_detail(input, "%" PRIu64 " bytes; %" PRIu64 " x %" PRIu64 " needs %" PRIu64, size, width, height,
                       width * height * sample_bytes);
            return GridError::raw_size_mismatch;
        }
    } else {
        width = height = size % sample_bytes == 0 ? square_side(size / sample_bytes) : 0;
        if (width == 0) {
            set_detail(input, "%" PRIu64 " bytes", size);
            return GridError::raw_size_unknown;
        }
    }
    if (past_limits(input, width, height)) return GridError::too_large;
    if (floats && input.hints.samples_only) {
        out->type = SampleType::f32;
        return GridError::needs_mapping;
    }
    // The samples are the grid's already where the file's bytes are ours
    // and the processor is little-endian too: the grid takes them as they lie.
    const bool in_place = input.own != nullptr && std::endian::native == std::endian::little;
    if (const GridError error = start_grid(input, out, width, height, floats ? GridValues::f32 : GridValues::u16,
                                           in_place ? input.own : nullptr);
        error != GridError::none)
        return error;
    out->type = floats ? SampleType::f32 : SampleType::u16;
    out->channels = 1;
    if (in_place) return GridError::none;
    const uint64_t count = width * height;
    const uint8_t* bytes = input.bytes;
    if (floats) {
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t word = read_le32(bytes + 4 * i);
            memcpy(&out->f32[i], &word, 4);
        }
    } else {
        for (uint64_t i = 0; i < count; ++i) out->u16[i] = read_le16(bytes + 2 * i);
    }
    return GridError::none;
}

GridError read_raw16(const GridInput& input, Grid* out) { return read_raw(input, out, false); }
GridError read_raw32(const GridInput& input, Grid* out) { return read_raw(input, out, true); }

}  // namespace

extern const GridReader raw16_grid, raw32_grid;
const GridReader raw16_grid = {"16-bit RAW", {".r16", ".raw"}, "values", nullptr, read_raw16, nullptr};
const GridReader raw32_grid = {"32-bit float RAW", {".r32"}, "values", nullptr, read_raw32, nullptr};
