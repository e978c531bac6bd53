// Heightmaps as 16-bit greyscale PNG files, a codec knowing nothing of
// battle files or commands: checksums, the chunk walker and the private
// sea-level chunk "hmAP", the writer of stored PNGs and the reader.
#pragma once

#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "bytes.h"
#include "heightmap_limits.h"
#include "platform.h"

// CRC-32 as PNG uses it; crc32_update continues a running CRC (start with 0).
inline uint32_t crc32_update(uint32_t crc, const uint8_t* bytes, size_t count) {
    return libdeflate_crc32(crc, bytes, count);
}
inline uint32_t crc32_bytes(const uint8_t* bytes, size_t count) { return crc32_update(0, bytes, count); }
// Adler-32 as zlib uses it; adler32_update continues a running sum (start with 1).
inline uint32_t adler32_update(uint32_t adler, const uint8_t* bytes, size_t count) {
    return libdeflate_adler32(adler, bytes, count);
}
inline uint32_t adler32_bytes(const uint8_t* bytes, size_t count) { return adler32_update(1, bytes, count); }

// The 8 bytes every PNG starts with, and the 12-byte IEND chunk that ends it.
constexpr uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint8_t iend_chunk[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
bool has_png_signature(const uint8_t* bytes, uint64_t size);

// Position (of the length field) of the first chunk whose type is `type`.
// The signature is not checked; a length that would carry the search past the
// end of the data ends it.
std::optional<uint64_t> find_png_chunk(const uint8_t* bytes, uint64_t size, const char type[4]);

constexpr size_t sea_level_chunk_size = 14;
// Writes the 14-byte hmAP chunk holding `sea_level` at `out`.
void write_sea_level_chunk(uint8_t* out, uint16_t sea_level);
// The sea level stored in a PNG's bytes. The first hmAP chunk counts; one
// whose declared length is below 2 holds no value ("Bad PNG image file"
// wherever it is read). Neither the chunk's CRC nor the signature is checked.
enum class SeaLevelChunk { absent, present, too_short };
struct StoredSeaLevel {
    SeaLevelChunk chunk;
    uint16_t value;  // 0 unless present
};
StoredSeaLevel find_sea_level(const uint8_t* bytes, uint64_t size);

// "<path> > Error: Bad PNG image file\r\n"; returns status_refused.
Status report_bad_png(const char* path);

enum class SeaLevelEdit {
    updated,          // an hmAP chunk was rewritten in place
    inserted,         // an hmAP chunk was inserted before IEND (size grew by 14)
    not_png,          // no PNG signature: "Bad PNG image file"
    no_iend,          // no hmAP and no IEND: "Bad PNG image file"
    data_after_iend,  // no hmAP and IEND is not the last chunk
    bad_chunk,        // the hmAP chunk holds no value, or its CRC would lie past the end of the data
};
// Stores `sea_level` in the PNG held in `bytes` (`*size` bytes used, room for
// `*size` + 14). On `inserted`, *size grows by 14. Touches nothing outside
// the buffer, and nothing at all unless it returns updated or inserted.
SeaLevelEdit edit_sea_level(uint8_t* bytes, uint64_t* size, uint16_t sea_level);

// A PNG of stored deflate blocks: signature, IHDR, the zlib stream in IDAT
// chunks, the chunks after them (an exported heightmap's hmAP), IEND. The
// stream sits in one IDAT chunk whenever it fits; a longer one is split over
// consecutive IDAT chunks of `chunk_limit` bytes, the last one taking the rest.
constexpr uint64_t max_chunk_data = 0x7FFFFFFF;  // the largest length a PNG chunk may have
struct PngLayout {
    uint64_t row_bytes;     // a filter byte and the row's sample bytes
    uint64_t raw_bytes;     // row_bytes x height
    uint64_t blocks;        // stored blocks of at most 65535 raw bytes
    uint64_t stream_bytes;  // zlib header, blocks with their 5-byte headers, Adler-32
    uint64_t chunk_limit;   // most stream bytes in one IDAT chunk
    uint64_t idat_chunks;
    uint64_t file_bytes;
};
// The layout of a 16-bit greyscale heightmap PNG (an export's), with an
// hmAP chunk after the image data unless `with_sea_level` is false.
PngLayout png_layout(uint32_t width, uint32_t height, uint64_t chunk_limit = max_chunk_data, bool with_sea_level = true);
// The layout of `height` rows of `row_bytes` each (filter byte included)
// with `extra_chunk_bytes` of chunks between the IDAT chunks and IEND.
PngLayout stored_png_layout(uint64_t row_bytes, uint32_t height, uint64_t extra_chunk_bytes,
                            uint64_t chunk_limit = max_chunk_data);
// Takes the next `count` bytes of a PNG being made; false stops the making.
using PngSink = bool (*)(void* context, const uint8_t* bytes, uint64_t count);
// Writes raw row `y` of a PNG being made, filter byte first, at `out`
// (row_bytes bytes); rows are asked for in order, each once.
using PngRowMaker = void (*)(void* context, uint32_t y, uint8_t* out);
// A sink that hands the parts to a file being written (a FileWrite).
bool write_png_part(void* file, const uint8_t* bytes, uint64_t count);
// Parts of a PNG are made in a buffer of this size and written from it.
constexpr uint64_t png_part_bytes = uint64_t{2} << 20;
// What a stored PNG holds besides its rows: the IHDR chunk's 13 data bytes
// (width and height first) and the chunks between the image data and IEND.
struct StoredPngFrame {
    uint8_t ihdr[13];
    const uint8_t* extra_chunks;  // layout's file_bytes counts them
    uint64_t extra_chunk_bytes;
};
// Makes a PNG laid out as `layout` says, its rows from `rows`, and hands it
// to `sink` in order in parts of at most `part_bytes` (at least 1) bytes.
// `buffer` holds a part and one raw row: part_bytes + row_bytes bytes.
// Returns false as soon as the sink does.
bool stream_stored_png(const PngLayout& layout, const StoredPngFrame& frame, PngRowMaker rows, void* row_context,
                       uint8_t* buffer, uint64_t part_bytes, PngSink sink, void* context);
// Makes a 16-bit greyscale heightmap PNG laid out as png_layout gives it
// for `width` x `height` (and `with_sea_level`): the frame that every
// heightmap hmap writes has, IHDR and the hmAP chunk holding `sea_level`,
// around the rows `rows` makes (a filter byte, then big-endian samples).
bool stream_grey16_png(const PngLayout& layout, uint32_t width, uint32_t height, bool with_sea_level,
                       uint16_t sea_level, PngRowMaker rows, void* row_context, uint8_t* buffer, uint64_t part_bytes,
                       PngSink sink, void* context);

// A decoded 16-bit greyscale PNG: 2 x width x height sample bytes,
// big-endian, row by row. The rows follow one another in `samples`; or, when
// the file's image data is stored as it is (as hmap writes it), they stay
// where they lie in the file's bytes, `rows` giving the start of each and
// `samples` empty. Both blocks come from the decoder's hooks;
// release_grey16_image frees them, and the file's bytes the image holds.
struct Grey16Image {
    uint8_t* samples;
    const uint8_t** rows;
    uint32_t width;
    uint32_t height;
    uint16_t sea_level;
    bool has_sea_level;  // the file has an hmAP chunk (sea_level 0 otherwise)
    FileView file;       // the file `rows` points into, from load_grey16_png; else empty
};
inline const uint8_t* grey16_row(const Grey16Image& image, uint32_t y) {
    return image.rows != nullptr ? image.rows[y] : image.samples + 2 * (uint64_t{y} * image.width);
}
void release_grey16_image(Grey16Image* image);
// The lowest and highest sample of a decoded image.
void grey16_sample_range(const Grey16Image& image, uint32_t* lowest, uint32_t* highest);
// Loads a heightmap PNG; prints its own messages on failure. Images wider or
// taller than max_heightmap_side are refused from their header, before decoding.
Status load_grey16_png(const char* path, Grey16Image* out);
// The same for a file opened as a view, which it takes over: the image holds
// it when its rows lie in it, else it is closed. `view` is empty afterwards.
// A file that changes while it is decoded fails with error_file_changed.
Status take_grey16_view(const char* path, FileView* view, Grey16Image* out);
// True when the file whose bytes the image's rows lie in is still the
// version decoded (always, when they lie elsewhere); else false with
// error_file_changed. Called before a result made from the image is kept.
bool grey16_unchanged(const Grey16Image& image);
// The same for PNG bytes already in memory; `path` names them in messages.
// The image's rows may lie in `bytes`, which must outlive it.
Status decode_grey16_png(const char* path, const uint8_t* bytes, uint64_t size, Grey16Image* out);

// The reader's one decision: whether its own path takes an image, or why the
// image goes to LodePNG's full decoder instead (each reason is explained in
// png_reader.cpp). out_of_memory and sea_level_refused are no reasons to
// leave: the image is refused.
enum class ReaderChoice : uint8_t {
    own_path,
    out_of_memory,
    not_a_heightmap,
    interlaced,
    too_small,
    chunk_outside,
    no_image_data,
    image_data_crc,
    other_chunks,
    uncommon_stream,
    stream_refused,
    filter_type,
    sea_level_refused,
};
// The own path alone, on PNG bytes in memory: `out` holds the image, as
// decode_grey16_png gives it, when the choice is own_path; else nothing is
// held (sea_level_refused: the image decoded, but its hmAP chunk holds no
// value). Prints nothing.
ReaderChoice decode_plain_grey16_png(const uint8_t* bytes, uint64_t size, Grey16Image* out);

// Whether a zlib stream of `size` bytes starts as every inflater takes one:
// deflate, a window of at most 32 KiB, the check bits, no preset
// dictionary, and room for the smallest block and the Adler-32.
bool common_zlib_header(const uint8_t* stream, uint64_t size);

// Inflates a zlib stream (`size` bytes, header first) into `out` (room for
// `capacity` bytes) where it uses only what LodePNG, zlib and libdeflate all
// decode alike: no length code 286 or 287, no distance code 30 or 31, no
// incomplete code but an unused empty distance code, no code-length repeat
// past the lengths. `produced` is the count of bytes written.
enum class InflateResult : uint8_t {
    inflated,        // whole, its Adler-32 right
    uncommon,        // damaged, larger than `capacity`, or using what not every inflater takes
    trailing_bytes,  // bytes between the last block and the Adler-32 (which LodePNG skips)
    checksum,        // the Adler-32 differs
};
InflateResult inflate_common_zlib(const uint8_t* stream, size_t size, uint8_t* out, size_t capacity,
                                  size_t* produced);
