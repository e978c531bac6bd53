// Loads heightmap PNGs through LodePNG: only 16-bit greyscale images are
// taken, as they are (no colour conversion), with the sea level of their
// hmAP chunk. LodePNG takes all its memory through the platform's hooks, and
// checks chunk CRCs with our CRC-32.
#include <lodepng.h>

#include "png_heightmap.h"

namespace {

// While a PNG whose image data cannot be all there is decoded, the largest
// block the decoder may take (0: no limit). See decode_grey16_png.
size_t decoder_block_limit = 0;

}  // namespace

void* lodepng_malloc(size_t size) {
    if (decoder_block_limit != 0 && size > decoder_block_limit) return nullptr;
    return hook_alloc(size);
}
void* lodepng_realloc(void* ptr, size_t new_size) {
    if (decoder_block_limit != 0 && new_size > decoder_block_limit) return nullptr;
    return hook_realloc(ptr, new_size);
}
void lodepng_free(void* ptr) { hook_free(ptr); }
unsigned lodepng_crc32(const unsigned char* data, size_t length) { return crc32_bytes(data, length); }

namespace {

// Deflate turns each byte into at most 1032 (a 258-byte match in two bits).
constexpr uint64_t deflate_max_ratio = 1032;

// Bytes of filtered scanlines (filter byte included) that the IDAT stream of
// a w x h image must inflate to, Adam7 passes summed when interlaced; the
// same sum the decoder expects.
uint64_t filtered_size(uint64_t w, uint64_t h, uint64_t bits_per_pixel, bool interlaced) {
    auto pass = [&](uint64_t pw, uint64_t ph) -> uint64_t {
        if (pw == 0 || ph == 0) return 0;
        return ph * (1 + (pw * bits_per_pixel + 7) / 8);
    };
    if (!interlaced) return pass(w, h);
    return pass((w + 7) / 8, (h + 7) / 8) + pass((w + 3) / 8, (h + 7) / 8) + pass((w + 3) / 4, (h + 3) / 8) +
           pass((w + 1) / 4, (h + 3) / 4) + pass((w + 1) / 2, (h + 1) / 4) + pass(w / 2, (h + 1) / 2) +
           pass(w, h / 2);
}

Status report_decode_error(const char* path, unsigned code) {
    // This one line ends in "\n" alone.
    console_printf("%s > decode error %u: %s\n", path, code, lodepng_error_text(code));
    return status_refused;
}

}  // namespace

Status decode_grey16_png(const char* path, const uint8_t* bytes, uint64_t size, Grey16Image* out) {
    out->samples = nullptr;
    out->width = out->height = 0;
    out->sea_level = 0;
    out->has_sea_level = false;

    LodePNGState state;
    lodepng_state_init(&state);
    state.info_raw.colortype = LCT_GREY;
    state.info_raw.bitdepth = 16;
    state.decoder.color_convert = 0;

    // The header first: a small file must not make the decoder reserve room
    // for dimensions no heightmap can have.
    unsigned width = 0, height = 0;
    unsigned error = lodepng_inspect(&width, &height, &state, bytes, static_cast<size_t>(size));
    if (error != 0) {
        lodepng_state_cleanup(&state);
        return report_decode_error(path, error);
    }
    if (width > max_heightmap_side || height > max_heightmap_side) {
        console_printf("Error: %s (%ux%u) is too large; heightmaps are at most 65535x65535.\r\n", path, width, height);
        lodepng_state_cleanup(&state);
        return status_refused;
    }
    // Image data that inflates past what the header announces stops the
    // decoder there, instead of growing its buffer without bound.
    const LodePNGColorMode& color = state.info_png.color;
    uint64_t expected = filtered_size(width, height, lodepng_get_bpp(&color), state.info_png.interlace_method != 0);
    state.decoder.zlibsettings.max_output_size = static_cast<size_t>(expected);
    // The decoder reserves room for all of it up front. When the file is far
    // too small to hold that much, the reservation is refused: the decoder
    // takes it as a hint only, goes on with what the data really holds and
    // fails as it would anyway, without asking for gigabytes first.
    const uint64_t most = deflate_max_ratio * size + 65536;
    if (expected > most) decoder_block_limit = static_cast<size_t>(2 * most + (uint64_t{32} << 20));

    unsigned char* samples = nullptr;
    error = lodepng_decode(&samples, &width, &height, &state, bytes, static_cast<size_t>(size));
    decoder_block_limit = 0;
    Status status = status_ok;
    if (error != 0) {
        status = report_decode_error(path, error);
    } else if (color.colortype != LCT_GREY || color.bitdepth != 16) {
        console_printf("%s > detected %d-bit colortype = %d\r\n", path, static_cast<int>(color.bitdepth),
                       static_cast<int>(color.colortype));
        console_printf("%s > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n", path);
        status = status_refused;
    }
    lodepng_state_cleanup(&state);
    if (status != status_ok) {
        hook_free(samples);
        return status;
    }
    out->samples = samples;
    out->width = width;
    out->height = height;
    std::optional<uint16_t> sea_level = find_sea_level(bytes, size);
    out->sea_level = sea_level.value_or(0);
    out->has_sea_level = sea_level.has_value();
    return status_ok;
}

Status load_grey16_png(const char* path, Grey16Image* out) {
    out->samples = nullptr;
    out->width = out->height = 0;
    out->sea_level = 0;
    out->has_sea_level = false;
    FileBytes file;
    if (!read_file_whole(path, &file)) return report_file_failure(path);
    Status status = decode_grey16_png(path, file.data, file.size, out);
    release_buffer(file.data);
    return status;
}
