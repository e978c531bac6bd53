// OpenEXR heightmaps through OpenEXR's core library, on the bytes in memory:
// the first part's channel Y, else R, else its only channel, in half or
// float, from scan lines or from the tiles of the first level. Each chunk
// is decoded straight into the grid's rows; the library's own blocks come
// through the project's memory hooks, and its first error becomes the
// refusal's detail.
#include <openexr.h>

#include <bit>
#include <cstring>

#include "grid_readers.h"

namespace {

struct ExrSource {
    const uint8_t* bytes;
    uint64_t size;
    GridDetail* detail;
    bool failed;  // an error was reported; its text is the detail
};

int64_t read_at(exr_const_context_t, void* user, void* out, uint64_t count, uint64_t offset,
                exr_stream_error_func_ptr_t) {
    auto* source = static_cast<ExrSource*>(user);
    if (offset >= source->size) return 0;
    const uint64_t n = count < source->size - offset ? count : source->size - offset;
    memcpy(out, source->bytes + offset, static_cast<size_t>(n));
    return static_cast<int64_t>(n);
}
int64_t source_size(exr_const_context_t, void* user) { return static_cast<int64_t>(static_cast<ExrSource*>(user)->size); }

void keep_error(exr_const_context_t context, exr_result_t, const char* message) {
    void* user = nullptr;
    if (exr_get_user_data(context, &user) != EXR_ERR_SUCCESS || user == nullptr) return;
    auto* source = static_cast<ExrSource*>(user);
    if (source->failed) return;
    source->failed = true;
    snprintf(source->detail->text, sizeof source->detail->text, "%s", message != nullptr ? message : "");
}

// The most bytes a chunk may unpack to per byte stored, by compression:
// run lengths, deflate, and for the wavelet, block and DCT schemes a bound
// far above what they reach. A chunk claiming more is not whole.
uint64_t max_unpack_ratio(exr_compression_t compression) {
    switch (compression) {
    case EXR_COMPRESSION_NONE: return 1;
    case EXR_COMPRESSION_RLE: return 128;
    case EXR_COMPRESSION_ZIPS:
    case EXR_COMPRESSION_ZIP:
    case EXR_COMPRESSION_PXR24: return deflate_max_ratio;
    default: return 65536;
    }
}

// The channel read: Y, else R, else the only one; -1 when none of them.
int pick_channel(const exr_attr_chlist_t* channels) {
    for (const char* name : {"Y", "R"})
        for (int i = 0; i < channels->num_channels; ++i)
            if (strcmp(channels->entries[i].name.str, name) == 0) return i;
    return channels->num_channels == 1 ? 0 : -1;
}

// A half's value (sign, 5-bit exponent, 10-bit fraction) as a float.
float half_to_float(uint16_t half) {
    const uint32_t sign = uint32_t{half & 0x8000u} << 16;
    const uint32_t exponent = (half >> 10) & 0x1F, fraction = half & 0x3FFu;
    uint32_t word = 0;
    if (exponent == 0x1F) {
        word = sign | 0x7F800000u | (fraction << 13);  // infinity or NaN
    } else if (exponent != 0) {
        word = sign | ((exponent + 112) << 23) | (fraction << 13);
    } else {
        // Zero, or a subnormal: fraction x 2^-24, exact as a float.
        const float value = static_cast<float>(fraction) * 0x1p-24f;
        memcpy(&word, &value, 4);
        word |= sign;
    }
    float out;
    memcpy(&out, &word, 4);
    return out;
}

struct Frame {
    int part;
    bool half;
    exr_attr_box2i_t window;
    int64_t width, height;
    const char* channel;
    bool tiled;
    int32_t tile_width, tile_height;  // a chunk of scan lines is a tile as wide as the image
    exr_compression_t compression;
};

// The chunk of tile (tx, ty), or of the scan lines from row ty x tile_height.
exr_result_t chunk_info(exr_context_t context, const Frame& frame, int64_t tx, int64_t ty, exr_chunk_info_t* info) {
    if (frame.tiled)
        return exr_read_tile_chunk_info(context, frame.part, static_cast<int>(tx), static_cast<int>(ty), 0, 0, info);
    return exr_read_scanline_chunk_info(context, frame.part,
                                        static_cast<int>(frame.window.min.y + ty * frame.tile_height), info);
}

GridError read_frame(const GridInput& input, exr_context_t context, Frame* frame) {
    int parts = 0;
    exr_storage_t storage{};
    const exr_attr_chlist_t* channels = nullptr;
    if (exr_get_count(context, &parts) != EXR_ERR_SUCCESS || parts < 1 ||
        exr_get_storage(context, 0, &storage) != EXR_ERR_SUCCESS ||
        exr_get_data_window(context, 0, &frame->window) != EXR_ERR_SUCCESS ||
        exr_get_channels(context, 0, &channels) != EXR_ERR_SUCCESS ||
        exr_get_compression(context, 0, &frame->compression) != EXR_ERR_SUCCESS)
        return GridError::corrupt;
    frame->part = 0;
    if (storage != EXR_STORAGE_SCANLINE && storage != EXR_STORAGE_TILED) return GridError::unsupported_sample;
    frame->width = int64_t{frame->window.max.x} - frame->window.min.x + 1;
    frame->height = int64_t{frame->window.max.y} - frame->window.min.y + 1;
    if (frame->width < 1 || frame->height < 1) return GridError::corrupt;
    if (past_limits(input, frame->width, frame->height)) return GridError::too_large;
    const int index = pick_channel(channels);
    if (index < 0) return GridError::no_usable_channel;
    const exr_attr_chlist_entry_t& channel = channels->entries[index];
    if (channel.pixel_type != EXR_PIXEL_HALF && channel.pixel_type != EXR_PIXEL_FLOAT)
        return GridError::unsupported_sample;
    if (channel.x_sampling != 1 || channel.y_sampling != 1) return GridError::no_usable_channel;
    frame->channel = channel.name.str;
    frame->half = channel.pixel_type == EXR_PIXEL_HALF;
    frame->tiled = storage == EXR_STORAGE_TILED;
    if (frame->tiled) {
        uint32_t tw = 0, th = 0;
        exr_tile_level_mode_t levels{};
        exr_tile_round_mode_t round{};
        if (exr_get_tile_descriptor(context, 0, &tw, &th, &levels, &round) != EXR_ERR_SUCCESS || tw == 0 || th == 0 ||
            tw > max_heightmap_side + 1 || th > max_heightmap_side + 1)
            return GridError::corrupt;
        frame->tile_width = static_cast<int32_t>(tw);
        frame->tile_height = static_cast<int32_t>(th);
    } else {
        int32_t lines = 0;
        if (exr_get_scanlines_per_chunk(context, 0, &lines) != EXR_ERR_SUCCESS || lines < 1) return GridError::corrupt;
        frame->tile_width = static_cast<int32_t>(frame->width);
        frame->tile_height = lines;
    }
    return GridError::none;
}

// Every chunk must lie in the file and unpack to no more than its bytes
// allow, before the grid is allocated.
GridError check_chunks(exr_context_t context, const Frame& frame, uint64_t size) {
    const int64_t across = (frame.width + frame.tile_width - 1) / frame.tile_width;
    const int64_t down = (frame.height + frame.tile_height - 1) / frame.tile_height;
    const uint64_t ratio = max_unpack_ratio(frame.compression);
    for (int64_t ty = 0; ty < down; ++ty) {
        for (int64_t tx = 0; tx < across; ++tx) {
            exr_chunk_info_t info{};
            // Our reads fail only past the end of the bytes.
            const exr_result_t result = chunk_info(context, frame, tx, ty, &info);
            if (result == EXR_ERR_READ_IO) return GridError::truncated;
            if (result != EXR_ERR_SUCCESS) return GridError::corrupt;
            if (info.data_offset > size || info.packed_size > size - info.data_offset) return GridError::truncated;
            if (info.unpacked_size > ratio * info.packed_size + 4096) return GridError::truncated;
        }
    }
    return GridError::none;
}

GridError decode_chunks(exr_context_t context, const Frame& frame, Grid* out) {
    const int64_t across = (frame.width + frame.tile_width - 1) / frame.tile_width;
    const int64_t down = (frame.height + frame.tile_height - 1) / frame.tile_height;
    exr_decode_pipeline_t decoder = EXR_DECODE_PIPELINE_INITIALIZER;
    bool started = false;
    exr_result_t result = EXR_ERR_SUCCESS;
    for (int64_t ty = 0; ty < down && result == EXR_ERR_SUCCESS; ++ty) {
        for (int64_t tx = 0; tx < across && result == EXR_ERR_SUCCESS; ++tx) {
            exr_chunk_info_t info{};
            result = chunk_info(context, frame, tx, ty, &info);
            if (result != EXR_ERR_SUCCESS) break;
            result = started ? exr_decoding_update(context, frame.part, &info, &decoder)
                             : exr_decoding_initialize(context, frame.part, &info, &decoder);
            if (result != EXR_ERR_SUCCESS) break;
            // The chunk's top-left pixel in the grid.
            const int64_t x0 = frame.tiled ? tx * frame.tile_width : 0;
            const int64_t y0 = frame.tiled ? ty * frame.tile_height : int64_t{info.start_y} - frame.window.min.y;
            bool placed = false;
            int32_t rows = 0, columns = 0;
            for (int c = 0; c < decoder.channel_count; ++c) {
                exr_coding_channel_info_t& channel = decoder.channels[c];
                channel.decode_to_ptr = nullptr;
                if (strcmp(channel.channel_name, frame.channel) != 0) continue;
                if (x0 < 0 || y0 < 0 || x0 + channel.width > frame.width || y0 + channel.height > frame.height) break;
                // Halves land in the first two bytes of their float's place
                // and are widened there after the chunk: the library's own
                // widening of one channel among three or four assumes every
                // channel has a destination.
                channel.decode_to_ptr = reinterpret_cast<uint8_t*>(out->f32 + y0 * frame.width + x0);
                channel.user_pixel_stride = 4;
                channel.user_line_stride = static_cast<int32_t>(4 * frame.width);
                channel.user_bytes_per_element = frame.half ? 2 : 4;
                channel.user_data_type = frame.half ? EXR_PIXEL_HALF : EXR_PIXEL_FLOAT;
                placed = true;
                rows = channel.height;
                columns = channel.width;
            }
            if (!placed) {
                result = EXR_ERR_CORRUPT_CHUNK;
                break;
            }
            if (!started) {
                result = exr_decoding_choose_default_routines(context, frame.part, &decoder);
                started = true;
                if (result != EXR_ERR_SUCCESS) break;
            }
            result = exr_decoding_run(context, frame.part, &decoder);
            for (int32_t y = 0; frame.half && result == EXR_ERR_SUCCESS && y < rows; ++y) {
                float* row = out->f32 + (y0 + y) * frame.width + x0;
                for (int32_t x = 0; x < columns; ++x) {
                    uint16_t half;
                    memcpy(&half, &row[x], 2);
                    row[x] = half_to_float(half);
                }
            }
        }
    }
    exr_decoding_destroy(context, &decoder);
    if (result == EXR_ERR_OUT_OF_MEMORY) return GridError::out_of_memory;
    if (result == EXR_ERR_READ_IO) return GridError::truncated;
    return result == EXR_ERR_SUCCESS ? GridError::none : GridError::corrupt;
}

// The library's settings for a file of ours: its memory through our
// allocator, its errors to `errors` with `user` beside them.
exr_context_initializer_t exr_settings(void* user, exr_error_handler_cb_t errors) {
    exr_set_default_memory_routines(hook_alloc, hook_free);
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    init.error_handler_fn = errors;
    init.user_data = user;
    init.alloc_fn = hook_alloc;
    init.free_fn = hook_free;
    return init;
}

bool is_exr(const uint8_t* bytes, uint64_t size) {
    static constexpr uint8_t magic[4] = {0x76, 0x2F, 0x31, 0x01};
    return size >= 4 && memcmp(bytes, magic, 4) == 0;
}

GridError read_exr(const GridInput& input, Grid* out) {
    const uint64_t size = input.size;
    ExrSource source{input.bytes, size, input.detail, false};
    exr_context_initializer_t init = exr_settings(&source, keep_error);
    init.read_fn = read_at;
    init.size_fn = source_size;
    exr_context_t context = nullptr;
    const exr_result_t opened = exr_start_read(&context, "exr", &init);
    GridError error = GridError::none;
    if (opened == EXR_ERR_OUT_OF_MEMORY) {
        error = GridError::out_of_memory;
    } else if (opened != EXR_ERR_SUCCESS) {
        error = GridError::corrupt;
    } else {
        Frame frame{};
        error = read_frame(input, context, &frame);
        if (error == GridError::none && input.hints.samples_only) {
            out->type = frame.half ? SampleType::f16 : SampleType::f32;
            error = GridError::needs_mapping;  // told by the header, before a pixel is decoded
        }
        if (error == GridError::none) error = check_chunks(context, frame, size);
        if (error == GridError::none) error = start_grid(input, out, frame.width, frame.height, GridValues::f32);
        if (error == GridError::none) error = decode_chunks(context, frame, out);
        if (error == GridError::none) {
            const exr_attr_chlist_t* channels = nullptr;
            exr_get_channels(context, 0, &channels);
            out->type = channels->entries[pick_channel(channels)].pixel_type == EXR_PIXEL_HALF ? SampleType::f16
                                                                                                : SampleType::f32;
            out->channels = static_cast<uint8_t>(channels->num_channels < 255 ? channels->num_channels : 255);
            snprintf(out->channel, sizeof out->channel, "%s", frame.channel);
        } else if (error != GridError::needs_mapping) {
            release_grid(out);
        }
    }
    exr_finish(&context);
    if (error != GridError::corrupt || !source.failed) input.detail->text[0] = '\0';
    return error;
}

int64_t write_at(exr_const_context_t, void* user, const void* in, uint64_t count, uint64_t offset,
                 exr_stream_error_func_ptr_t) {
    return put_bytes(static_cast<FileInMemory*>(user), offset, in, count) ? static_cast<int64_t>(count) : -1;
}

void drop_error(exr_const_context_t, exr_result_t, const char*) {}

// A scan-line OpenEXR file of one 32-bit float channel, Y, uncompressed,
// one scan line a chunk: what Gaea, World Machine and every EXR reader
// take.
GridError write_exr(uint32_t width, uint32_t height, FloatRows rows, void* context, MadeFile* out) {
    *out = MadeFile{};
    const uint64_t row_bytes = 4 * uint64_t{width};
    // Each chunk: its scan line's number and size, then the floats; the
    // table of chunk offsets; the header.
    FileInMemory file;
    if (start_file(height * (row_bytes + 16) + 65536, width, &file) != GridError::none) return GridError::out_of_memory;
    float* row = file.row;
    exr_context_initializer_t init = exr_settings(&file, drop_error);
    init.write_fn = write_at;
    exr_context_t exr = nullptr;
    int part = 0;
    bool ok = exr_start_write(&exr, "exr", EXR_WRITE_FILE_DIRECTLY, &init) == EXR_ERR_SUCCESS &&
              exr_add_part(exr, "height", EXR_STORAGE_SCANLINE, &part) == EXR_ERR_SUCCESS &&
              exr_initialize_required_attr_simple(exr, part, static_cast<int32_t>(width), static_cast<int32_t>(height),
                                                  EXR_COMPRESSION_NONE) == EXR_ERR_SUCCESS &&
              exr_add_channel(exr, part, "Y", EXR_PIXEL_FLOAT, EXR_PERCEPTUALLY_LINEAR, 1, 1) == EXR_ERR_SUCCESS &&
              exr_write_header(exr) == EXR_ERR_SUCCESS;
    for (uint32_t y = 0; y < height && ok; ++y) {
        rows(context, y, row);
        if (std::endian::native != std::endian::little) {
            for (uint32_t x = 0; x < width; ++x) {
                uint32_t word;
                memcpy(&word, &row[x], 4);
                word = __builtin_bswap32(word);
                memcpy(&row[x], &word, 4);
            }
        }
        ok = exr_write_scanline_chunk(exr, part, static_cast<int>(y), row, row_bytes) == EXR_ERR_SUCCESS;
    }
    ok = exr_finish(&exr) == EXR_ERR_SUCCESS && ok;
    return finish_file(&file, ok, out);
}

}  // namespace

extern const GridReader exr_grid;
const GridReader exr_grid = {"OpenEXR", {".exr"}, "values", is_exr, read_exr, write_exr};
