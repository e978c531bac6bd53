// PNG heightmaps of any grey depth of 8 or 16 bits, and RGB(A) ones whose
// three channels are equal. A plain 16-bit greyscale file (as hmap writes
// it) takes the heightmap reader's own path; every other one is decoded by
// LodePNG, through the project's memory hooks, as the file stores it.
#include <lodepng.h>

#include <cstring>

#include "grid_readers.h"
#include "png_heightmap.h"

namespace {

GridError from_grey16(const GridInput& input, const Grey16Image& image, Grid* out) {
    if (const GridError error = start_grid(input, out, image.width, image.height, GridValues::u16);
        error != GridError::none)
        return error;
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = grey16_row(image, y);
        uint16_t* to = out->u16 + uint64_t{y} * image.width;
        for (uint32_t x = 0; x < image.width; ++x) to[x] = read_be16(row + 2 * x);
    }
    out->type = SampleType::u16;
    out->channels = 1;
    out->has_sea_level = image.has_sea_level;
    out->sea_level = image.sea_level;
    return GridError::none;
}

// The first channel of every pixel of an image LodePNG decoded as stored;
// false when a colour pixel's channels differ.
bool take_samples(const uint8_t* pixels, uint64_t count, unsigned channels, bool wide, Grid* out) {
    const unsigned bytes = wide ? 2 : 1;
    const bool colour = channels >= 3;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* p = pixels + i * channels * bytes;
        const uint16_t v = wide ? read_be16(p) : p[0];
        if (colour && (v != (wide ? read_be16(p + 2) : p[1]) || v != (wide ? read_be16(p + 4) : p[2]))) return false;
        out->u16[i] = v;
    }
    return true;
}

bool is_png(const uint8_t* bytes, uint64_t size) { return has_png_signature(bytes, size); }

GridError read_png(const GridInput& input, Grid* out) {
    const uint8_t* bytes = input.bytes;
    const uint64_t size = input.size;
    Grey16Image image;
    const ReaderChoice choice = decode_plain_grey16_png(bytes, size, &image);
    if (choice == ReaderChoice::own_path) {
        const GridError error = from_grey16(input, image, out);
        release_grey16_image(&image);
        return error;
    }
    if (choice == ReaderChoice::out_of_memory) return GridError::out_of_memory;
    if (choice == ReaderChoice::sea_level_refused) return GridError::corrupt;

    LodePNGState state;
    lodepng_state_init(&state);
    state.decoder.color_convert = 0;
    unsigned width = 0, height = 0;
    unsigned code = lodepng_inspect(&width, &height, &state, bytes, static_cast<size_t>(size));
    const LodePNGColorMode colour = state.info_png.color;
    const unsigned channels = lodepng_get_channels(&colour);
    const bool wide = colour.bitdepth == 16;
    GridError error = GridError::none;
    if (code != 0) {
        error = GridError::corrupt;
    } else if (past_limits(input, width, height)) {
        error = GridError::too_large;
    } else if (!wide && input.hints.samples_only) {
        error = GridError::needs_mapping;  // told by the header, before a pixel is decoded
    } else {
        // The filtered rows the image data inflates to, and no more.
        const uint64_t row_bytes = 1 + uint64_t{width} * channels * (wide ? 2 : 1);
        uint64_t expected = row_bytes * height;
        if (state.info_png.interlace_method != 0) expected += expected / 2 + 7 * uint64_t{height} + 64;
        state.decoder.zlibsettings.max_output_size = static_cast<size_t>(expected);
        if (expected > deflate_max_ratio * size + 65536) error = GridError::truncated;
    }
    // Grey of 1, 2 or 4 bits (as ImageMagick writes a few levels) and
    // palettes come through LodePNG's conversion to 8-bit RGBA: grey levels
    // spread over 0..255, a palette's entries taken only where they are grey.
    const bool converted = colour.colortype == LCT_PALETTE || colour.bitdepth < 8;
    if (converted) {
        state.decoder.color_convert = 1;
        state.info_raw.colortype = LCT_RGBA;
        state.info_raw.bitdepth = 8;
    }
    unsigned char* pixels = nullptr;
    if (error == GridError::none) {
        // LodePNG reads chunk lengths where it finds them, more than once,
        // and the bytes may lie in a file view: it decodes a private copy.
        uint8_t* copy = allocate_buffer(size);
        if (copy == nullptr) {
            error = GridError::out_of_memory;
        } else {
            memcpy(copy, bytes, static_cast<size_t>(size));
            code = lodepng_decode(&pixels, &width, &height, &state, copy, static_cast<size_t>(size));
            release_buffer(copy);
            if (code == 83) error = GridError::out_of_memory;
            else if (code != 0) error = GridError::corrupt;
        }
    }
    if (error == GridError::corrupt && code != 0) set_detail(input, "%s", lodepng_error_text(code));
    const StoredSeaLevel sea_level = find_sea_level(bytes, size);
    if (error == GridError::none && sea_level.chunk == SeaLevelChunk::too_short) error = GridError::corrupt;
    if (error == GridError::none) error = start_grid(input, out, width, height, GridValues::u16);
    if (error == GridError::none &&
        !take_samples(pixels, uint64_t{width} * height, converted ? 4 : channels, wide, out)) {
        release_grid(out);
        error = GridError::colour_png;
    }
    hook_free(pixels);
    lodepng_state_cleanup(&state);
    if (error == GridError::needs_mapping) out->type = SampleType::u8;
    if (error != GridError::none) return error;
    out->type = wide ? SampleType::u16 : SampleType::u8;
    out->channels = static_cast<uint8_t>(channels);
    out->has_sea_level = sea_level.chunk == SeaLevelChunk::present;
    out->sea_level = sea_level.value;
    return GridError::none;
}

}  // namespace

extern const GridReader png_grid;
const GridReader png_grid = {"PNG", {".png"}, "values", is_png, read_png, nullptr};
