// Heightmaps from other tools: 16-bit RAW (.r16/.raw), 32-bit float RAW
// (.r32), TIFF and GeoTIFF, OpenEXR, PFM, SRTM .hgt and PNG of any depth.
// One reader per format, each returning the same grid of values; none of
// them knows a battle file. The readers print nothing: every failure is a
// named case with its text, which the caller prints beside the file's name.
#pragma once

#include <cstdint>

#include "platform.h"

enum class GridFormat : uint8_t { png, raw16, raw32, tiff, exr, pfm, hgt };
// What the file stores per pixel.
enum class SampleType : uint8_t { u8, u16, u32, i8, i16, i32, f16, f32, f64 };

// The values of a heightmap, row by row from the top. Integer samples of at
// most 16 bits without voids are held as they are in `u16`; everything else
// (signed, 32-bit, floating point, or with voids) as floats in `f32`, where
// a void is NaN. Exactly one of the two buffers is set; it comes from
// allocate_buffer and is released with release_grid.
struct Grid {
    uint32_t width;
    uint32_t height;
    uint16_t* u16;
    float* f32;
    GridFormat format;
    SampleType type;
    uint8_t channels;      // in the file; only the first (or Y) is read
    bool has_sea_level;    // a PNG with an hmAP chunk
    uint16_t sea_level;
    uint64_t voids;        // NaN, the no-data value, SRTM's -32768
    double lowest;         // over the valid values; 0 when there are none
    double highest;
    FileView view;         // the file's private view, when the grid lies in its pages
};
void release_grid(Grid* grid);
// False, with error_file_changed as the last error, when the grid lies in
// its file's pages and the file is no longer the version read: whatever was
// made from the grid is then not to be kept. True for a grid of its own.
bool grid_unchanged(const Grid& grid);

// Every way a foreign heightmap can be refused. grid_error_text gives the
// line printed after "<path> > Error: " (but for unsupported_compression,
// whose line is "Error: <path> uses <detail>, which hmap does not read.").
enum class GridError : uint8_t {
    none,
    out_of_memory,
    unknown_format,       // no signature known, and no extension that says
    truncated,            // the file ends before its pixels do
    corrupt,              // the format's library refused the data
    raw_size_unknown,     // a RAW whose length gives no square, and no map to size it
    raw_size_mismatch,    // a RAW whose length is not the map's size
    too_large,            // more than 65535 px a side
    no_pixel_data,        // a TIFF without strips or tiles
    unsupported_sample,   // a sample type no reader takes (1-bit, complex, ...)
    no_usable_channel,    // an EXR without Y, R or a single channel
    bad_pfm_header,
    hgt_not_square,
    colour_png,           // an RGB(A) PNG whose channels differ
    no_valid_value,       // every value is a void
    unsupported_compression,  // a TIFF compression hmap does not decode; the detail names it
};
const char* grid_error_text(GridError error);

// What the reader may know beforehand: the size a RAW file has when it
// belongs to a battle map (0 x 0 when there is none).
struct GridHints {
    uint32_t width = 0;
    uint32_t height = 0;
};

// The format of a file by its first bytes (PNG, TIFF, EXR, PFM), else by the
// extension of its name (.r16, .raw, .r32, .hgt); false when neither tells.
bool detect_grid_format(const char* path, const uint8_t* bytes, uint64_t size, GridFormat* format);

// Reads a heightmap held in memory. On success `out` holds the grid and its
// value range; on failure nothing is held, `detail` (when given) may point
// at a library's own text.
GridError read_grid(const char* path, const uint8_t* bytes, uint64_t size, const GridHints& hints, Grid* out,
                    const char** detail = nullptr);

// The same for a file read whole (read_file_whole), whose bytes it takes
// over: where the samples can be put in place (RAW files, uncompressed TIFF
// strips of the grid's own type) the grid is built in the file's buffer and
// holds it; else the buffer is released. `file` is empty afterwards.
GridError take_grid(const char* path, FileBytes* file, const GridHints& hints, Grid* out,
                    const char** detail = nullptr);

// Reads a file and its grid; prints "<path> > Error: ..." and returns the
// refused-input status (or the file failure's) when it cannot. The file is
// read where it lies, in a private view: where take_grid would build the
// grid in the file's buffer, it is built in the view's pages and holds the
// view (see grid_unchanged); else it is decoded into a grid of its own, and
// the file must still be the version read when that is done.
Status load_grid(const char* path, const GridHints& hints, Grid* out);
