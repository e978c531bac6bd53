// Loads heightmap PNGs through LodePNG: only 16-bit greyscale images are
// taken, as they are (no colour conversion), with the sea level of their
// hmAP chunk; any other format is refused from the header. LodePNG takes all
// its memory through the platform's hooks, and its CRC-32 and the inflating
// of the image data from libdeflate.
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

// What the zlib hook shares with decode_grey16_png.
struct InflateContext {
    const LodePNGDecompressSettings* image;  // the settings the image data is inflated with
    bool image_fits;                         // the file is large enough to inflate to the expected size
    libdeflate_decompressor* decompressor;   // made on first use
    unsigned code;                           // LodePNG's own code for the last failure, 0 if none
};

// LodePNG's own zlib decoder with the same settings, for the verdict and the
// error code of a stream libdeflate did not take whole.
unsigned lodepng_inflate_zlib(unsigned char** out, size_t* outsize, const unsigned char* in, size_t insize,
                              const LodePNGDecompressSettings* settings) {
    LodePNGDecompressSettings plain = *settings;
    plain.custom_zlib = nullptr;
    plain.custom_context = nullptr;
    return lodepng_zlib_decompress(out, outsize, in, insize, &plain);
}

// LodePNG's zlib hook. The image data is inflated by libdeflate straight
// into a block of the size the header announces, which becomes the
// decoder's scanline buffer. A stream libdeflate refuses, or one with bytes
// after its end, goes through LodePNG's own decoder once more, so that a
// damaged file gets the verdict and the error code it always got; so do the
// small compressed text and ICC chunks.
unsigned inflate_zlib(unsigned char** out, size_t* outsize, const unsigned char* in, size_t insize,
                      const LodePNGDecompressSettings* settings) {
    // The context is ours and not const; LodePNG passes it on as it was set.
    auto* context = static_cast<InflateContext*>(const_cast<void*>(settings->custom_context));
    if (settings == context->image && context->image_fits && *outsize == 0) {
        const size_t expected = settings->max_output_size;
        if (context->decompressor == nullptr) context->decompressor = libdeflate_alloc_decompressor();
        auto* block = static_cast<unsigned char*>(lodepng_malloc(expected));
        if (context->decompressor != nullptr && block != nullptr) {
            size_t in_used = 0, out_used = 0;
            libdeflate_result result = libdeflate_zlib_decompress_ex(context->decompressor, in, insize, block,
                                                                     expected, &in_used, &out_used);
            if (result == LIBDEFLATE_SUCCESS && in_used == insize) {
                *out = block;
                *outsize = out_used;
                return 0;
            }
        }
        lodepng_free(block);
    }
    context->code = lodepng_inflate_zlib(out, outsize, in, insize, settings);
    return context->code;
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
    // for dimensions no heightmap can have, and a PNG of another format is
    // refused before any of its image data is inflated.
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
    const LodePNGColorMode& color = state.info_png.color;
    if (color.colortype != LCT_GREY || color.bitdepth != 16) {
        console_printf("%s > detected %d-bit colortype = %d\r\n", path, static_cast<int>(color.bitdepth),
                       static_cast<int>(color.colortype));
        console_printf("%s > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n", path);
        lodepng_state_cleanup(&state);
        return status_refused;
    }

    // Image data that inflates past what the header announces stops the
    // decoder there, instead of growing its buffer without bound.
    const uint64_t expected = filtered_size(width, height, 16, state.info_png.interlace_method != 0);
    state.decoder.zlibsettings.max_output_size = static_cast<size_t>(expected);
    // When the file is far too small to inflate to that much, no room is
    // reserved for it: LodePNG's own decoder goes on with what the data
    // really holds, its blocks capped, and fails as it would anyway, without
    // asking for gigabytes first.
    const uint64_t most = deflate_max_ratio * size + 65536;
    InflateContext context{&state.decoder.zlibsettings, expected <= most, nullptr, 0};
    state.decoder.zlibsettings.custom_zlib = inflate_zlib;
    state.decoder.zlibsettings.custom_context = &context;
    if (expected > most) decoder_block_limit = static_cast<size_t>(2 * most + (uint64_t{32} << 20));

    unsigned char* samples = nullptr;
    error = lodepng_decode(&samples, &width, &height, &state, bytes, static_cast<size_t>(size));
    decoder_block_limit = 0;
    libdeflate_free_decompressor(context.decompressor);
    lodepng_state_cleanup(&state);
    // LodePNG reports any failure of the hook as 110 (or 109 past the
    // announced size); the hook kept the code LodePNG's own decoder gave.
    if ((error == 110 || error == 109) && context.code != 0) error = context.code;
    if (error != 0) {
        hook_free(samples);
        return report_decode_error(path, error);
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
