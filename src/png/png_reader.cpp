// Loads heightmap PNGs: only 16-bit greyscale images are taken, as they are
// (no colour conversion), with the sea level of their hmAP chunk; any other
// format is refused from the header. The file is read in place (a file
// view): the header is checked in a private copy, every chunk length and
// stored block length is checked again where it is used, so bytes that
// change meanwhile can never lead a read outside the file, and the view's
// version is compared before the image counts.
//
// A plain image is read by the reader's own path: its rows where they lie
// in the file's bytes when they are stored as they are (as hmap writes
// them), else its image data inflated into the samples' block (inflate.cpp)
// and unfiltered there. Every other image goes to LodePNG, which takes all
// its memory through the platform's hooks, and whose verdict and samples then
// stand. The choice is one decision, ReaderChoice, and an image leaves the
// own path for exactly one of these reasons:
//   not_a_heightmap  the header is not that of a 16-bit greyscale image of
//                    at most 65535x65535 (the header's own refusal follows)
//   interlaced       Adam7, which LodePNG de-interlaces
//   too_small        the file cannot inflate to what its header announces
//                    (LodePNG fails it, its blocks capped)
//   chunk_outside    a chunk runs past the end of the file, or no IEND comes
//   no_image_data    no IDAT chunk
//   image_data_crc   an IDAT chunk's CRC fails
//   other_chunks     LodePNG refuses one of the other chunks
//   uncommon_stream  the zlib stream is damaged, or uses what not every
//                    inflater decodes alike (see inflate.cpp)
//   stream_refused   the stream inflates to another size than announced,
//                    its Adler-32 differs, or bytes follow its last block
//   filter_type      a row's filter type is none of the five
// Running out of memory on the own path is no reason to leave it: the
// image is refused as out of memory, as it would be anywhere in the reader;
// nor is an hmAP chunk too short to hold a sea level (sea_level_refused):
// the image is refused as LodePNG's would be.
#include <lodepng.h>

#include <cstdlib>
#include <cstring>

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
    unsigned code;                           // LodePNG's own code for the last failure, 0 if none
};

// LodePNG's own zlib decoder with the same settings, for the verdict and the
// error code of a stream the reader's inflater did not take whole.
unsigned lodepng_inflate_zlib(unsigned char** out, size_t* outsize, const unsigned char* in, size_t insize,
                              const LodePNGDecompressSettings* settings) {
    LodePNGDecompressSettings plain = *settings;
    plain.custom_zlib = nullptr;
    plain.custom_context = nullptr;
    return lodepng_zlib_decompress(out, outsize, in, insize, &plain);
}

// LodePNG's zlib hook. The image data is inflated by the reader's inflater
// straight into a block of the size the header announces, which becomes the
// decoder's scanline buffer. A stream it does not take whole goes through
// LodePNG's own decoder, so that a damaged file gets the verdict and the
// error code it always got; so do the small compressed text and ICC chunks.
unsigned inflate_zlib(unsigned char** out, size_t* outsize, const unsigned char* in, size_t insize,
                      const LodePNGDecompressSettings* settings) {
    // The context is ours and not const; LodePNG passes it on as it was set.
    auto* context = static_cast<InflateContext*>(const_cast<void*>(settings->custom_context));
    if (settings == context->image && context->image_fits && *outsize == 0) {
        const size_t expected = settings->max_output_size;
        auto* block = static_cast<unsigned char*>(lodepng_malloc(expected));
        size_t produced = 0;
        if (block != nullptr && inflate_common_zlib(in, insize, block, expected, &produced) == InflateResult::inflated) {
            *out = block;
            *outsize = produced;
            return 0;
        }
        lodepng_free(block);
    }
    context->code = lodepng_inflate_zlib(out, outsize, in, insize, settings);
    return context->code;
}

// The decoder settings of every heightmap: samples as they are, no colour
// conversion; image data (and compressed text) past `expected` bytes stops
// the inflater.
void init_decoder_state(LodePNGState* state, uint64_t expected) {
    lodepng_state_init(state);
    state->info_raw.colortype = LCT_GREY;
    state->info_raw.bitdepth = 16;
    state->decoder.color_convert = 0;
    state->decoder.zlibsettings.max_output_size = static_cast<size_t>(expected);
}

// Undoes the filter `type` of one scanline of 2-byte pixels: `row` (without
// its filter byte) becomes `out`, `prior` being the unfiltered row above (a
// row of zeros above the first). False for an unknown type.
bool unfilter_row(uint8_t* __restrict out, const uint8_t* __restrict row, const uint8_t* __restrict prior,
                  size_t length, uint8_t type) {
    constexpr size_t left = 2;  // bytes per pixel; the first pixel has zeros to its left
    switch (type) {
    case 0:
        memcpy(out, row, length);
        return true;
    case 1:
        for (size_t i = 0; i < left; ++i) out[i] = row[i];
        for (size_t i = left; i < length; ++i) out[i] = static_cast<uint8_t>(row[i] + out[i - left]);
        return true;
    case 2:
        for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(row[i] + prior[i]);
        return true;
    case 3:
        for (size_t i = 0; i < left; ++i) out[i] = static_cast<uint8_t>(row[i] + (prior[i] >> 1));
        for (size_t i = left; i < length; ++i)
            out[i] = static_cast<uint8_t>(row[i] + ((out[i - left] + prior[i]) >> 1));
        return true;
    case 4: {
        // The chain from one byte to the one two places on is kept short:
        // what depends on the row above alone (b - c and its size) is worked
        // out beside it, and the pixel to the left stays in registers. A
        // 4096x4096 image of Paeth rows: 74 ms, against 192 ms written plainly.
        int a0 = 0, a1 = 0, c0 = 0, c1 = 0;
        auto paeth = [](int a, int b, int c) {
            const int e = b - c, d = a - c;
            const int pa = abs(e), pb = abs(d), pc = abs(d + e);
            const int nearer = pb < pa ? b : a, least = pb < pa ? pb : pa;
            return pc < least ? c : nearer;
        };
        for (size_t i = 0; i + 1 < length; i += 2) {
            const int b0 = prior[i], b1 = prior[i + 1];
            a0 = static_cast<uint8_t>(row[i] + paeth(a0, b0, c0));
            a1 = static_cast<uint8_t>(row[i + 1] + paeth(a1, b1, c1));
            out[i] = static_cast<uint8_t>(a0);
            out[i + 1] = static_cast<uint8_t>(a1);
            c0 = b0;
            c1 = b1;
        }
        return true;
    }
    default:
        return false;
    }
}

bool is_chunk(const uint8_t* chunk, const char type[4]) { return memcmp(chunk + 4, type, 4) == 0; }

// The data length of the chunk at `pos` when the chunk lies whole inside
// the data.
bool chunk_at(const uint8_t* bytes, uint64_t size, uint64_t pos, uint64_t* length) {
    if (pos + 12 > size) return false;
    *length = read_be32(bytes + pos);
    return *length <= max_chunk_data && pos + *length + 12 <= size;
}

// The own path's result: the samples in one block, or a block holding the
// start of each row (the rows lie in the file's stored blocks, each one
// split over two blocks copied after the table). Both come from the hooks;
// neither, and `choice` saying why, when the own path does not take the file.
struct Plain {
    uint8_t* samples;
    const uint8_t** rows;
    ReaderChoice choice;
};

Plain leave(ReaderChoice why) { return {nullptr, nullptr, why}; }

// The rows of an image whose zlib stream, `stream` of `count` bytes, is all
// stored blocks (as hmap writes it) and whose every row has filter type 0:
// the samples need neither inflating nor unfiltering. The stream is taken
// only when every inflater would take it whole, to exactly `expected` bytes, and
// its Adler-32 holds; else no rows, and `choice` is own_path still (the
// stream may yet be inflated) or out_of_memory.
Plain find_stored_rows(const uint8_t* stream, uint64_t count, uint32_t height, uint64_t expected) {
    if (!common_zlib_header(stream, count)) return leave(ReaderChoice::own_path);
    // Each stored block: a header byte (final bit, type 00, padding), LEN
    // and its complement NLEN, then LEN bytes; the Adler-32 after the final one.
    const uint64_t end = count - 4;
    uint64_t pos = 2, raw = 0, blocks = 0;
    uint32_t adler = 1;
    for (bool final = false; !final; ++blocks) {
        if (pos + 5 > end || (stream[pos] & 0x06) != 0) return leave(ReaderChoice::own_path);
        final = (stream[pos] & 1) != 0;
        const uint32_t length = stream[pos + 1] | (stream[pos + 2] << 8);
        const uint32_t complement = stream[pos + 3] | (stream[pos + 4] << 8);
        if ((length ^ complement) != 0xFFFF || pos + 5 + length > end || raw + length > expected)
            return leave(ReaderChoice::own_path);
        adler = adler32_update(adler, stream + pos + 5, length);
        raw += length;
        pos += 5 + length;
    }
    if (pos != end || raw != expected || adler != read_be32(stream + end)) return leave(ReaderChoice::own_path);

    // Rows, filter byte first, from raw offset 0 on. A row split over blocks
    // is copied; a block border lies inside one row at most, so at most
    // blocks - 1 rows are.
    const uint64_t length = expected / height - 1;
    const uint64_t spill_rows = blocks - 1 < height ? blocks - 1 : height;
    const uint64_t table_bytes = sizeof(const uint8_t*) * uint64_t{height};
    auto* table = static_cast<uint8_t*>(lodepng_malloc(static_cast<size_t>(table_bytes + spill_rows * length)));
    if (table == nullptr) return leave(ReaderChoice::out_of_memory);
    auto** rows = reinterpret_cast<const uint8_t**>(table);
    uint8_t* spill = table + table_bytes;
    // The block holding raw offset r: its data at `data`, raw offsets from
    // `first` to `first + size`; the blocks were checked above, their bounds
    // are checked again on the way.
    const uint8_t* data = nullptr;
    uint64_t first = 0, size = 0, next = 2, spilled = 0;
    auto block_at = [&](uint64_t r) {
        while (r >= first + size) {
            if (next + 5 > end) return false;
            first += size;
            size = stream[next + 1] | (stream[next + 2] << 8);
            data = stream + next + 5;
            next += 5 + size;
            if (next > end) return false;
        }
        return true;
    };
    bool ok = true;
    for (uint64_t y = 0, r = 0; ok && y < height; ++y, r += length + 1) {
        ok = block_at(r) && data[r - first] == 0 && block_at(r + 1);
        if (!ok) break;
        if (r + 1 + length <= first + size) {
            rows[y] = data + (r + 1 - first);
            continue;
        }
        ok = spilled++ < spill_rows;
        rows[y] = spill;
        for (uint64_t done = 0; ok && done < length;) {
            ok = block_at(r + 1 + done);
            const uint64_t from = r + 1 + done - first;
            const uint64_t part = size - from < length - done ? size - from : length - done;
            if (ok) memcpy(spill + done, data + from, static_cast<size_t>(part));
            done += part;
        }
        spill += length;
    }
    if (!ok) {
        lodepng_free(table);
        return leave(ReaderChoice::own_path);
    }
    return {nullptr, rows, ReaderChoice::own_path};
}

// A non-interlaced 16-bit greyscale image decoded without LodePNG's copies:
// the image data is inflated straight into the block that becomes the
// samples, and unfiltered there row by row. What the chunks other than IDAT
// hold goes through LodePNG's own checks, in a stand-in file whose header is
// `header` (the checked signature and IHDR) saying 1x1 and whose image data
// is one pixel, so this succeeds only where LodePNG would, with the same
// samples. Anything else it leaves (no memory held) to LodePNG's full
// decoder, which gives the verdict.
Plain decode_plain_image(const uint8_t* header, const uint8_t* bytes, uint64_t size, uint32_t height,
                         uint64_t expected) {
    // The chunks as LodePNG walks them, from the one after IHDR to IEND.
    uint64_t idat_bytes = 0, idat_chunks = 0, other_bytes = 0, first_idat = 0;
    for (uint64_t pos = 33, length = 0;; pos += length + 12) {
        if (!chunk_at(bytes, size, pos, &length)) return leave(ReaderChoice::chunk_outside);
        const uint8_t* chunk = bytes + pos;
        if (is_chunk(chunk, "IDAT")) {
            if (crc32_bytes(chunk + 4, length + 4) != read_be32(chunk + 8 + length))
                return leave(ReaderChoice::image_data_crc);
            if (idat_chunks++ == 0) first_idat = pos;
            idat_bytes += length;
        } else {
            other_bytes += length + 12;
            if (is_chunk(chunk, "IEND")) break;
        }
    }
    if (idat_chunks == 0) return leave(ReaderChoice::no_image_data);

    // The stand-in: signature, the 1x1 header, the other chunks as they are,
    // and one IDAT holding a blank pixel where the first IDAT was.
    static constexpr uint8_t pixel_idat[] = {
        0,    0,    0,    14,   'I',  'D', 'A', 'T',  // length and type
        0x78, 0x01,                                 // zlib header
        0x01, 0x03, 0x00, 0xFC, 0xFF, 0,   0,   0,  // one stored block: a filter byte and a sample
        0,    0x03, 0,    0x01,                     // its Adler-32
        0,    0,    0,    0,                        // the CRC, written below
    };
    const uint64_t stand_in_size = 33 + other_bytes + sizeof pixel_idat;
    uint8_t* stand_in = allocate_buffer(stand_in_size);
    if (stand_in == nullptr) return leave(ReaderChoice::out_of_memory);
    memcpy(stand_in, header, 33);
    write_be32(stand_in + 16, 1);
    write_be32(stand_in + 20, 1);
    write_be32(stand_in + 29, crc32_bytes(stand_in + 12, 17));
    uint8_t* at = stand_in + 33;
    const uint8_t* const end = stand_in + stand_in_size;
    bool whole = true;
    for (uint64_t pos = 33, length = 0; whole; pos += length + 12) {
        whole = chunk_at(bytes, size, pos, &length);
        if (whole && pos == first_idat) {
            memcpy(at, pixel_idat, sizeof pixel_idat);
            write_be32(at + sizeof pixel_idat - 4, crc32_bytes(at + 4, sizeof pixel_idat - 8));
            at += sizeof pixel_idat;
        }
        if (!whole || is_chunk(bytes + pos, "IDAT")) continue;
        whole = static_cast<uint64_t>(end - at) >= length + 12;
        if (!whole) break;
        memcpy(at, bytes + pos, length + 12);
        at += length + 12;
        if (is_chunk(at - length - 12, "IEND")) break;
    }
    unsigned error = 1;
    if (whole && at == end) {
        LodePNGState state;
        init_decoder_state(&state, expected);
        unsigned char* pixel = nullptr;
        unsigned w = 0, h = 0;
        error = lodepng_decode(&pixel, &w, &h, &state, stand_in, static_cast<size_t>(stand_in_size));
        lodepng_free(pixel);
        lodepng_state_cleanup(&state);
    }
    release_buffer(stand_in);
    if (error == 83) return leave(ReaderChoice::out_of_memory);
    if (error != 0) return leave(ReaderChoice::other_chunks);

    // Image data in one chunk, stored, every row unfiltered: the samples are
    // read where they lie.
    if (idat_chunks == 1) {
        Plain plain = find_stored_rows(bytes + first_idat + 8, idat_bytes, height, expected);
        if (plain.rows != nullptr || plain.choice != ReaderChoice::own_path) return plain;
    }

    // The zlib stream, gathered when it is split over several chunks.
    const uint8_t* stream = bytes + first_idat + 8;
    uint8_t* gathered = nullptr;
    if (idat_chunks > 1) {
        gathered = allocate_buffer(idat_bytes);
        if (gathered == nullptr) return leave(ReaderChoice::out_of_memory);
        take_pages_for_writing(gathered, idat_bytes);
        uint64_t taken = 0;
        for (uint64_t pos = first_idat, length = 0; taken < idat_bytes; pos += length + 12) {
            const bool whole = chunk_at(bytes, size, pos, &length);
            if (whole && !is_chunk(bytes + pos, "IDAT")) continue;
            if (!whole || length > idat_bytes - taken) {
                release_buffer(gathered);
                return leave(ReaderChoice::chunk_outside);
            }
            memcpy(gathered + taken, bytes + pos + 8, length);
            taken += length;
        }
        stream = gathered;
    }
    auto* samples = static_cast<uint8_t*>(lodepng_malloc(static_cast<size_t>(expected)));
    ReaderChoice choice = ReaderChoice::out_of_memory;
    if (samples != nullptr) {
        // Its pages are taken in one go only where the image data is not
        // far smaller than what it claims to inflate to: a small stream that
        // claims a huge image and fails early then never costs the block.
        if (expected / 64 <= idat_bytes) take_pages_for_writing(samples, expected);
        size_t produced = 0;
        const InflateResult inflated = inflate_common_zlib(stream, static_cast<size_t>(idat_bytes), samples,
                                                           static_cast<size_t>(expected), &produced);
        choice = inflated == InflateResult::uncommon                               ? ReaderChoice::uncommon_stream
                 : inflated != InflateResult::inflated || produced != expected ? ReaderChoice::stream_refused
                                                                               : ReaderChoice::own_path;
    }
    release_buffer(gathered);

    // Row y, filter byte first, lies at y x (1 + length); unfiltered it moves
    // down to y x length, over bytes already read. Each row is unfiltered
    // into a separate one first, so that no filter reads a byte it wrote.
    const size_t length = static_cast<size_t>(expected / height - 1);
    uint8_t* row = choice == ReaderChoice::own_path ? allocate_buffer(2 * length) : nullptr;
    if (choice == ReaderChoice::own_path && row == nullptr) choice = ReaderChoice::out_of_memory;
    if (row != nullptr) memset(row + length, 0, length);  // above the first row
    for (uint64_t y = 0; row != nullptr && y < height; ++y) {
        const uint8_t* filtered = samples + y * (length + 1);
        const uint8_t* prior = y > 0 ? samples + (y - 1) * length : row + length;
        if (!unfilter_row(row, filtered + 1, prior, length, filtered[0])) {
            choice = ReaderChoice::filter_type;
            break;
        }
        memcpy(samples + y * length, row, length);
    }
    release_buffer(row);
    if (choice != ReaderChoice::own_path) {
        lodepng_free(samples);
        return leave(choice);
    }
    return {samples, nullptr, ReaderChoice::own_path};
}

Status report_decode_error(const char* path, unsigned code) {
    // This one line ends in "\n" alone.
    console_printf("%s > decode error %u: %s\n", path, code, lodepng_error_text(code));
    return status_refused;
}

// What the header says, as LodePNG reads it from a copy of the first 33
// bytes (all it reads): `copy` is the signature and IHDR checked.
struct Header {
    uint8_t copy[33];
    unsigned error;  // LodePNG's code, 0 when the header is sound
    unsigned width, height;
    unsigned bit_depth;
    LodePNGColorType colour_type;
    bool interlaced;
    uint64_t expected;  // bytes of filtered scanlines the image data inflates to
    uint64_t most;      // what the file can inflate to at deflate's densest
};

Header read_header(const uint8_t* bytes, uint64_t size) {
    Header header{};
    const size_t used = size < 33 ? static_cast<size_t>(size) : 33;
    if (used > 0) memcpy(header.copy, bytes, used);  // an empty file may come without bytes
    LodePNGState state;
    init_decoder_state(&state, 0);
    header.error = lodepng_inspect(&header.width, &header.height, &state, header.copy, used);
    header.bit_depth = state.info_png.color.bitdepth;
    header.colour_type = state.info_png.color.colortype;
    header.interlaced = state.info_png.interlace_method != 0;
    lodepng_state_cleanup(&state);
    header.expected = filtered_size(header.width, header.height, 16, header.interlaced);
    header.most = deflate_max_ratio * size + 65536;
    return header;
}

bool is_heightmap(const Header& header) {
    return header.error == 0 && header.width <= max_heightmap_side && header.height <= max_heightmap_side &&
           header.colour_type == LCT_GREY && header.bit_depth == 16;
}

// The own path, where it applies to the image the header announces. A
// file far too small for the size announced is left to LodePNG, whose
// blocks are capped for it (see decode_with_lodepng).
Plain decode_plain(const Header& header, const uint8_t* bytes, uint64_t size) {
    if (!is_heightmap(header)) return leave(ReaderChoice::not_a_heightmap);
    if (header.interlaced) return leave(ReaderChoice::interlaced);
    if (header.expected > header.most) return leave(ReaderChoice::too_small);
    return decode_plain_image(header.copy, bytes, size, header.height, header.expected);
}

// The header's verdict, its message printed on refusal: a heightmap is
// 16-bit greyscale, no side above 65535.
Status check_header(const char* path, const Header& header) {
    if (header.error != 0) return report_decode_error(path, header.error);
    if (header.width > max_heightmap_side || header.height > max_heightmap_side) {
        console_printf("Error: %s (%ux%u) is too large; heightmaps are at most 65535x65535.\r\n", path,
                       header.width, header.height);
        return status_refused;
    }
    if (!is_heightmap(header)) {
        console_printf("%s > detected %d-bit colortype = %d\r\n", path, static_cast<int>(header.bit_depth),
                       static_cast<int>(header.colour_type));
        console_printf("%s > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n", path);
        return status_refused;
    }
    return status_ok;
}

// The decoded image with its sea level. An hmAP chunk too short to hold one
// refuses the image, its samples released, with "Bad PNG image file" when
// `path` is given.
Status take_image(const char* path, Grey16Image* out, Plain plain, unsigned width, unsigned height,
                  const uint8_t* bytes, uint64_t size) {
    const StoredSeaLevel sea_level = find_sea_level(bytes, size);
    if (sea_level.chunk == SeaLevelChunk::too_short) {
        hook_free(plain.samples);
        hook_free(plain.rows);
        return path != nullptr ? report_bad_png(path) : status_refused;
    }
    out->samples = plain.samples;
    out->rows = plain.rows;
    out->width = width;
    out->height = height;
    out->sea_level = sea_level.value;
    out->has_sea_level = sea_level.chunk == SeaLevelChunk::present;
    return status_ok;
}

void clear_image(Grey16Image* out) { *out = Grey16Image{}; }

// LodePNG's full decoder, for a file whose header passed and that the own
// path left.
Status decode_with_lodepng(const char* path, const uint8_t* bytes, uint64_t size, const Header& header,
                           Grey16Image* out) {
    // Image data that inflates past what the header announces stops the
    // decoder there, instead of growing its buffer without bound.
    LodePNGState state;
    init_decoder_state(&state, header.expected);
    InflateContext context{&state.decoder.zlibsettings, header.expected <= header.most, 0};
    state.decoder.zlibsettings.custom_zlib = inflate_zlib;
    state.decoder.zlibsettings.custom_context = &context;
    // When the file is far too small to inflate to what the header
    // announces, no room is reserved for it: LodePNG's own decoder goes on
    // with what the data really holds, its blocks capped, and fails as it
    // would anyway, without asking for gigabytes first.
    if (!context.image_fits) decoder_block_limit = static_cast<size_t>(2 * header.most + (uint64_t{32} << 20));
    unsigned width = header.width, height = header.height;
    Plain plain{};
    unsigned error = lodepng_decode(&plain.samples, &width, &height, &state, bytes, static_cast<size_t>(size));
    const bool capped = decoder_block_limit != 0;
    decoder_block_limit = 0;
    lodepng_state_cleanup(&state);
    // LodePNG reports any failure of the hook as 110 (or 109 past the
    // announced size); the hook kept the code LodePNG's own decoder gave.
    if ((error == 110 || error == 109) && context.code != 0) error = context.code;
    if (error != 0) {
        hook_free(plain.samples);
        // Memory that ran out is no fault of the file's, unless the cap for a
        // file too small for its size refused it.
        if (error == 83 && !capped) return report_out_of_memory(path);
        return report_decode_error(path, error);
    }
    return take_image(path, out, plain, width, height, bytes, size);
}

}  // namespace

void release_grey16_image(Grey16Image* image) {
    hook_free(image->samples);
    hook_free(image->rows);
    close_file_view(&image->file);
    clear_image(image);
}

bool grey16_unchanged(const Grey16Image& image) { return view_unchanged(image.file); }

ReaderChoice decode_plain_grey16_png(const uint8_t* bytes, uint64_t size, Grey16Image* out) {
    clear_image(out);
    const Header header = read_header(bytes, size);
    const Plain plain = decode_plain(header, bytes, size);
    if (plain.choice == ReaderChoice::own_path &&
        take_image(nullptr, out, plain, header.width, header.height, bytes, size) != status_ok)
        return ReaderChoice::sea_level_refused;
    return plain.choice;
}

Status decode_grey16_png(const char* path, const uint8_t* bytes, uint64_t size, Grey16Image* out) {
    clear_image(out);
    // The header first: a small file must not make the decoder reserve room
    // for dimensions no heightmap can have, and a PNG of another format is
    // refused before any of its image data is inflated.
    const Header header = read_header(bytes, size);
    if (Status status = check_header(path, header)) return status;
    const Plain plain = decode_plain(header, bytes, size);
    if (plain.choice == ReaderChoice::out_of_memory) return report_out_of_memory(path);
    if (plain.choice != ReaderChoice::own_path) return decode_with_lodepng(path, bytes, size, header, out);
    return take_image(path, out, plain, header.width, header.height, bytes, size);
}

Status take_grey16_view(const char* path, FileView* view, Grey16Image* out) {
    clear_image(out);
    FileView file = *view;
    *view = FileView{};
    // The header from its copy, as one version of the file.
    const Header header = read_header(file.data, file.size);
    if (!view_unchanged(file)) {
        close_file_view(&file);
        return report_file_failure(path);
    }
    Status status = check_header(path, header);
    Plain plain = status == status_ok ? decode_plain(header, file.data, file.size) : Plain{};
    if (status == status_ok && plain.choice == ReaderChoice::out_of_memory) status = report_out_of_memory(path);
    if (status == status_ok && plain.choice != ReaderChoice::own_path) {
        // LodePNG reads lengths where it finds them, more than once: it
        // decodes a private copy.
        uint8_t* copy = allocate_buffer(file.size);
        if (copy == nullptr) {
            status = report_out_of_memory(path);
        } else if (!copy_from_view(file, 0, file.size, copy)) {
            status = report_file_failure(path);
        } else {
            status = decode_with_lodepng(path, copy, file.size, header, out);
        }
        release_buffer(copy);
    } else if (status == status_ok) {
        status = take_image(path, out, plain, header.width, header.height, file.data, file.size);
    }
    // Rows read in place keep the view, which the image's user checks
    // before its result counts; anything else was read by now.
    if (status == status_ok && out->rows != nullptr) {
        out->file = file;
        return status_ok;
    }
    if (status == status_ok && !view_unchanged(file)) {
        release_grey16_image(out);
        status = report_file_failure(path);
    }
    close_file_view(&file);
    return status;
}

Status load_grey16_png(const char* path, Grey16Image* out) {
    clear_image(out);
    FileView view;
    if (!open_file_view(path, &view)) return report_file_failure(path);
    return take_grey16_view(path, &view, out);
}

void grey16_sample_range(const Grey16Image& image, uint32_t* lowest, uint32_t* highest) {
    uint32_t lo = 65535, hi = 0;
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = grey16_row(image, y);
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint32_t v = read_be16(row + 2 * x);
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    }
    *lowest = lo;
    *highest = hi;
}
