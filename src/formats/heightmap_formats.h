// Heightmaps from other tools: 16-bit RAW (.r16/.raw), 32-bit float RAW
// (.r32), TIFF and GeoTIFF, OpenEXR, PFM, SRTM .hgt and PNG of any depth.
// One reader per format, all returning the same grid of values, listed in
// one table (grid_formats.cpp) that detection, dispatch, the listing's names
// and the refusals' texts read; none of them knows a battle file. The
// readers print nothing: every refusal is a named case, with a detail the
// caller keeps, printed by the caller beside the file's name.
#pragma once

#include <cstdint>

#include "heightmap_limits.h"
#include "platform.h"

// What the file stores per pixel.
enum class SampleType : uint8_t { u8, u16, u32, i8, i16, i32, f16, f32, f64 };

struct GridReader;

// Where a grid's size came from: the file's own header (every format but
// RAW), or for a RAW file the ENVI header beside it, the square its length
// gives, or the battle map's heightmaps.
enum class GridSizing : uint8_t { stored, envi_header, square, map };

// The values of a heightmap, row by row from the top. Integer samples of at
// most 16 bits without voids are held as they are in `u16`; 32-bit integers
// and 64-bit floats, which a float cannot hold exactly, as doubles in `f64`;
// everything else (signed 8 or 16 bits, halves and floats, or 16 bits with
// voids) as floats in `f32`. A void is NaN. Exactly one of the three buffers
// is set; it comes from allocate_buffer and is released with release_grid.
struct Grid {
    uint32_t width;
    uint32_t height;
    uint16_t* u16;
    float* f32;
    double* f64;
    const GridReader* format;
    SampleType type;
    uint8_t channels;      // in the file
    char channel[16];      // the one read, when the file names its channels (an EXR's "R"), cut to fit
    GridSizing sizing;
    uint8_t envi_name;     // with an ENVI header: which of its names (envi_header_name)
    bool has_sea_level;    // a PNG with an hmAP chunk
    uint16_t sea_level;
    uint64_t voids;        // NaN, the no-data value, SRTM's -32768
    double lowest;         // over the valid values; 0 when there are none
    double highest;
    FileView view;         // the file's private view, when the grid lies in its pages
};
void release_grid(Grid* grid);
// Value `i` (row by row) of whichever buffer the grid holds.
inline double grid_value(const Grid& grid, uint64_t i) {
    return grid.u16 != nullptr ? grid.u16[i] : grid.f32 != nullptr ? grid.f32[i] : grid.f64[i];
}
// Whether a grid holds any values at all.
inline bool grid_held(const Grid& grid) { return grid.u16 != nullptr || grid.f32 != nullptr || grid.f64 != nullptr; }
// False, with error_file_changed as the last error, when the grid lies in
// its file's pages and the file is no longer the version read: whatever was
// made from the grid is then not to be kept. True for a grid of its own.
bool grid_unchanged(const Grid& grid);

// Every way a foreign heightmap can be refused. grid_error_text gives the
// line printed after "<path> > Error: ", followed by " (<detail>)" when the
// reader left a detail.
enum class GridError : uint8_t {
    none,
    out_of_memory,
    unknown_format,       // no signature known, and no extension that says (the detail lists the formats)
    truncated,            // the file ends before its pixels do
    shared_blocks,        // strips or tiles that share their bytes, too few for the pixels claimed
    corrupt,              // the format's library refused the data
    raw_size_unknown,     // a RAW without an ENVI header whose length gives no square, and no map to size it
    raw_size_mismatch,    // the same, and its length is not the map's size either
    bad_envi_header,      // an ENVI header beside a RAW file that is no header, or lacks a size or type
    envi_bands,           // an ENVI header of more than one band
    envi_data_type,       // an ENVI header of a data type hmap does not read (complex, 64-bit integers)
    too_large,            // more than the limits' pixels a side
    no_pixel_data,        // a TIFF without strips or tiles
    unsupported_sample,   // a sample type no reader takes (1-bit, complex, ...)
    no_usable_channel,    // an EXR without Y, R or a single channel
    bad_pfm_header,
    hgt_not_square,
    colour_png,           // an RGB(A) PNG whose channels differ
    no_valid_value,       // every value is a void
    needs_mapping,        // not 16-bit samples, where only those were asked for (the grid's type says what)
    unsupported_compression,  // a TIFF compression hmap does not decode; the detail names it
};
const char* grid_error_text(GridError error);

// A RAW file's layout as the ENVI header beside it gives it (GDAL's ENVI
// driver writes one): `samples` x `lines` of one band after `header offset`
// bytes, of its `data type` in its `byte order`, any `interleave`; its `data
// ignore value` a void. 0 x 0 when there is none.
struct RawLayout {
    uint64_t width, height;
    uint64_t offset;
    SampleType type;
    bool big_endian;
    bool has_nodata;
    double nodata;
};

// What a reader may know beforehand: the size a RAW file has when it
// belongs to a battle map (0 x 0 when there is none), the layout an ENVI
// header beside it gives, and whether only 16-bit samples, taken as they
// are, will do: anything else is then refused (needs_mapping) as soon as the
// header tells, before a pixel is read.
struct GridHints {
    uint32_t width = 0;
    uint32_t height = 0;
    bool samples_only = false;
    RawLayout raw{};
    uint8_t envi_name = 0;  // which name the header was found by
};

// What the caller takes at most, as a reader is told before it reads.
struct GridLimits {
    uint32_t max_width = max_heightmap_side;
    uint32_t max_height = max_heightmap_side;
};

// Where a reader leaves a text for the caller (a size, a library's
// message), owned by the caller; empty when there is none.
struct GridDetail {
    char text[256] = {};
};

// What a reader is given.
struct GridInput {
    const uint8_t* bytes;
    uint64_t size;
    // The block `bytes` lie in when the reader may write it (a private file
    // view): a reader that can put the values in place there builds the grid
    // in it, its buffer then `own` itself. Null otherwise.
    uint8_t* own;
    GridHints hints;
    GridLimits limits;
    GridDetail* detail;
};

// Makes row `y` of heights to be written, as floats (width of them).
using FloatRows = void (*)(void* context, uint32_t y, float* out);

// A file made in memory: bytes from allocate_buffer, released with
// release_buffer by its holder.
struct MadeFile {
    uint8_t* bytes;
    uint64_t size;
};

// One heightmap format: its names, how it is known, how it is read.
struct GridReader {
    const char* name;           // as the listing names it ("TIFF")
    const char* extensions[3];  // lower case, with the dot; the unused ones null
    const char* unit;           // of its values, as the listing gives their range ("metres")
    // True when the first bytes are this format's signature; null for a
    // format that has none, known by its extension alone.
    bool (*identify)(const uint8_t* bytes, uint64_t size);
    // Reads the grid's size, values, type and channels (and a PNG's sea
    // level); on failure holds nothing. The voids are counted and the range
    // found afterwards, once for every format.
    GridError (*read)(const GridInput& input, Grid* out);
    // For the formats hmap writes heights to (null for the others): a file
    // of `width` x `height` 32-bit floats, one channel, rows from `rows`,
    // made whole in memory. out_of_memory when its memory is not to be had
    // (the last error code set), corrupt when the library refuses.
    GridError (*write_floats)(uint32_t width, uint32_t height, FloatRows rows, void* context, MadeFile* out);
};

// Reads an ENVI header (the text of a .hdr file) into `out`. Refuses, with
// what is wrong as the detail, a text that is no ENVI header or lacks the
// size or data type (bad_envi_header), more than one band (envi_bands), a
// data type hmap does not read (envi_data_type).
GridError parse_envi_header(const uint8_t* text, uint64_t size, RawLayout* out, GridDetail* detail);
// The names an ENVI header beside a RAW file goes by, as GDAL looks for it:
// `which` 0 the file's name with its extension replaced by .hdr, 1 with .hdr
// appended. False when the name does not fit `capacity`.
constexpr uint8_t envi_header_names = 2;
bool envi_header_name(const char* path, uint8_t which, char* out, size_t capacity);

// The format hmap writes heights to for a file of that name (".tif",
// ".exr"), or null.
const GridReader* float_format_for(const char* path);

// The format of a file by its first bytes, else by its name's extension;
// null when neither tells.
const GridReader* grid_format_of(const char* path, const uint8_t* bytes, uint64_t size);

// Reads the heightmap of a file opened as a private view, which it takes
// over (the view is empty afterwards): where the values can be put in place
// (RAW files, uncompressed TIFF strips of the grid's own type) the grid is
// built in the view's pages and holds the view (see grid_unchanged); else it
// is decoded into a grid of its own, and the file must still be the version
// read when that is done. Prints "<path> > Error: ..." and returns the
// refused-input status (or the file failure's) when it cannot.
// A RAW file's size comes from the ENVI header beside it, when there is
// one (an unreadable one is reported as a file failure).
Status take_grid_view(const char* path, FileView* view, const GridHints& hints, Grid* out);
// The same, but a refusal of what the file holds is not printed: it returns
// status_refused with `*refusal` and `detail` saying why, for the caller to
// print with report_grid_refusal or to tell otherwise. A file that changed,
// memory that ran out and an ENVI header that cannot be read are reported
// as take_grid_view reports them (`*refusal` none).
Status read_grid_view(const char* path, FileView* view, const GridHints& hints, Grid* out, GridError* refusal,
                      GridDetail* detail);
// "<path> > Error: ..." for a refusal of read_grid_view; `refused` is the
// grid it left (its type tells the kind of values refused as needing a
// mapping).
void report_grid_refusal(const char* path, GridError refusal, const Grid& refused, const GridDetail& detail);
