// Portable float maps: "Pf" (grey) or "PF" (colour, the first channel read),
// the width, the height and the scale as text separated by white space, one
// white-space byte, then 32-bit floats, rows from the bottom. A negative
// scale means little-endian floats, a positive one big-endian.
#include <charconv>
#include <cstring>

#include "grid_readers.h"

namespace {

// The next header field after white space, as text: [*start, *end).
bool next_field(const uint8_t* bytes, uint64_t size, uint64_t* pos, const char** start, const char** end) {
    while (*pos < size && is_space(bytes[*pos])) ++*pos;
    const uint64_t first = *pos;
    while (*pos < size && !is_space(bytes[*pos])) ++*pos;
    if (*pos == first || *pos >= size) return false;  // the header must end in white space
    *start = reinterpret_cast<const char*>(bytes + first);
    *end = reinterpret_cast<const char*>(bytes + *pos);
    return true;
}

bool read_number(const uint8_t* bytes, uint64_t size, uint64_t* pos, uint64_t* value) {
    const char *start = nullptr, *end = nullptr;
    if (!next_field(bytes, size, pos, &start, &end) || end - start > 12) return false;
    const auto result = std::from_chars(start, end, *value);
    return result.ec == std::errc{} && result.ptr == end;
}

bool is_pfm(const uint8_t* bytes, uint64_t size) {
    return size >= 3 && bytes[0] == 'P' && (bytes[1] == 'f' || bytes[1] == 'F') && is_space(bytes[2]);
}

GridError read_pfm(const GridInput& input, Grid* out) {
    const uint8_t* bytes = input.bytes;
    const uint64_t size = input.size;
    if (size < 3 || bytes[0] != 'P' || (bytes[1] != 'f' && bytes[1] != 'F')) return GridError::bad_pfm_header;
    const uint64_t channels = bytes[1] == 'F' ? 3 : 1;
    uint64_t pos = 2, width = 0, height = 0;
    const char *start = nullptr, *end = nullptr;
    double scale = 0;
    if (!read_number(bytes, size, &pos, &width) || !read_number(bytes, size, &pos, &height) ||
        !next_field(bytes, size, &pos, &start, &end) || end - start > 64)
        return GridError::bad_pfm_header;
    const auto parsed = std::from_chars(start, end, scale);
    if (parsed.ec != std::errc{} || parsed.ptr != end || !(scale < 0 || scale > 0) || width == 0 || height == 0)
        return GridError::bad_pfm_header;
    ++pos;  // the one white-space byte after the scale
    if (past_limits(input, width, height)) return GridError::too_large;
    const uint64_t row_bytes = 4 * channels * width;
    if ((size - pos) / row_bytes < height) return GridError::truncated;
    if (input.hints.samples_only) {
        out->type = SampleType::f32;
        return GridError::needs_mapping;
    }
    if (const GridError error = start_grid(input, out, width, height, GridValues::f32); error != GridError::none)
        return error;
    out->type = SampleType::f32;
    out->channels = static_cast<uint8_t>(channels);
    const bool little = scale < 0;
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* row = bytes + pos + (height - 1 - y) * row_bytes;
        float* to = out->f32 + y * width;
        for (uint64_t x = 0; x < width; ++x) {
            const uint8_t* p = row + 4 * channels * x;
            const uint32_t word = little ? read_le32(p) : read_be32(p);
            memcpy(&to[x], &word, 4);
        }
    }
    return GridError::none;
}

}  // namespace

extern const GridReader pfm_grid;
const GridReader pfm_grid = {"PFM", {".pfm"}, "values", is_pfm, read_pfm, nullptr};
