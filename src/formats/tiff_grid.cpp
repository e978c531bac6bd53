// TIFF and GeoTIFF heightmaps through libtiff, on the bytes in memory (libtiff
// never opens a file itself, and prints nothing: its first error becomes the
// refusal's detail). The first sample of each pixel is read, as 8/16/32-bit
// unsigned or signed integers or 32/64-bit floats, from strips or tiles,
// planes contiguous or separate, in any compression libtiff decodes; GDAL's
// no-data value, compared in the samples' own type, is a void. 32-bit
// integers and 64-bit floats are held as doubles, exactly. Strips whose
// samples are the grid's own type are decoded straight into its rows; any
// other strip or tile goes through one block of its own size.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <charconv>

#include "grid_readers.h"

namespace {

constexpr ttag_t gdal_nodata_tag = 42113;

// What libtiff reads from: the file's bytes.
struct TiffSource {
    const uint8_t* bytes;
    uint64_t size;
    uint64_t pos;
    GridDetail* detail;
    bool failed;  // an error was reported; its text is the detail
};

tmsize_t read_bytes(thandle_t handle, void* out, tmsize_t count) {
    auto* source = static_cast<TiffSource*>(handle);
    if (count < 0) return -1;
    const uint64_t left = source->pos < source->size ? source->size - source->pos : 0;
    const uint64_t n = static_cast<uint64_t>(count) < left ? static_cast<uint64_t>(count) : left;
    if (n > 0) memcpy(out, source->bytes + source->pos, static_cast<size_t>(n));
    source->pos += n;
    return static_cast<tmsize_t>(n);
}
tmsize_t write_bytes(thandle_t, void*, tmsize_t) { return -1; }
toff_t seek_to(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<TiffSource*>(handle);
    uint64_t base = whence == SEEK_CUR ? source->pos : whence == SEEK_END ? source->size : 0;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return static_cast<toff_t>(-1);
    // Offsets are unsigned; a step back comes as a wrapped-around value.
    source->pos = base + offset;
    return source->pos;
}
int close_source(thandle_t) { return 0; }
toff_t source_size(thandle_t handle) { return static_cast<TiffSource*>(handle)->size; }
int map_source(thandle_t handle, void** base, toff_t* size) {
    auto* source = static_cast<TiffSource*>(handle);
    *base = const_cast<uint8_t*>(source->bytes);  // libtiff only reads a mapping opened "r"
    *size = source->size;
    return 1;
}
void unmap_source(thandle_t, void*, toff_t) {}

int keep_error(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* source = static_cast<TiffSource*>(user);
    if (!source->failed) {
        source->failed = true;
        char* text = source->detail->text;
        const size_t room = sizeof source->detail->text;
        int n = module != nullptr ? snprintf(text, room, "%s: ", module) : 0;
        if (n < 0 || n >= static_cast<int>(room)) n = 0;
        vsnprintf(text + n, room - n, format, args);
    }
    return 1;  // handled: nothing printed
}
int drop_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// The pixel layout as the directory says.
struct Layout {
    uint32_t width, height;
    uint16_t samples;  // per pixel
    uint16_t bits;
    uint16_t format;   // SAMPLEFORMAT_*
    bool separate;     // one plane per sample
    bool tiled;
    uint32_t tile_width, tile_height;  // a strip is a tile as wide as the image
    SampleType type;
    GridValues values;  // the grid's buffer for this type
    bool has_nodata;
    double nodata;
    // An integer type's no-data value, when it is one of the type's values;
    // else no integer sample is a void.
    bool nodata_is_sample;
    int64_t nodata_sample;
};

// The range of an integer sample type.
void integer_range(SampleType type, int64_t* lo, int64_t* hi) {
    switch (type) {
    case SampleType::u8: *lo = 0, *hi = 255; break;
    case SampleType::u16: *lo = 0, *hi = 65535; break;
    case SampleType::u32: *lo = 0, *hi = 4294967295; break;
    case SampleType::i8: *lo = -128, *hi = 127; break;
    case SampleType::i16: *lo = -32768, *hi = 32767; break;
    case SampleType::i32: *lo = -2147483648LL, *hi = 2147483647; break;
    default: *lo = 1, *hi = 0; break;  // no integer type
    }
}

bool sample_type(uint16_t format, uint16_t bits, SampleType* type) {
    if (format == SAMPLEFORMAT_UINT && bits == 8) *type = SampleType::u8;
    else if (format == SAMPLEFORMAT_UINT && bits == 16) *type = SampleType::u16;
    else if (format == SAMPLEFORMAT_UINT && bits == 32) *type = SampleType::u32;
    else if (format == SAMPLEFORMAT_INT && bits == 8) *type = SampleType::i8;
    else if (format == SAMPLEFORMAT_INT && bits == 16) *type = SampleType::i16;
    else if (format == SAMPLEFORMAT_INT && bits == 32) *type = SampleType::i32;
    else if (format == SAMPLEFORMAT_IEEEFP && bits == 32) *type = SampleType::f32;
    else if (format == SAMPLEFORMAT_IEEEFP && bits == 64) *type = SampleType::f64;
    else return false;
    return true;
}

// GDAL's no-data value: ASCII text of a number ("-9999", "nan", "-3.4e+38").
bool read_nodata(TIFF* tiff, double* value) {
    const TIFFField* field = TIFFFieldWithTag(tiff, gdal_nodata_tag);
    if (field == nullptr) return false;
    const char* text = nullptr;
    uint64_t count = 0;
    int found = 0;
    if (!TIFFFieldPassCount(field)) {
        found = TIFFGetField(tiff, gdal_nodata_tag, &text);
        count = text != nullptr ? strnlen(text, 64) : 0;
    } else if (TIFFFieldReadCount(field) == TIFF_VARIABLE2) {
        uint32_t n = 0;
        found = TIFFGetField(tiff, gdal_nodata_tag, &n, &text);
        count = n;
    } else {
        uint16_t n = 0;
        found = TIFFGetField(tiff, gdal_nodata_tag, &n, &text);
        count = n;
    }
    if (!found || text == nullptr || TIFFFieldDataType(field) != TIFF_ASCII) return false;
    const char* end = text + strnlen(text, count < 64 ? count : 64);
    while (text < end && (*text == ' ' || *text == '+')) ++text;
    while (end > text && end[-1] == ' ') --end;
    const bool negative = text < end && *text == '-';
    if (negative && end - text >= 4 && (text[1] == 'n' || text[1] == 'N')) ++text;  // "-nan"
    const auto parsed = std::from_chars(text, end, *value);
    return parsed.ec == std::errc{} && parsed.ptr == end;
}

GridError read_layout(const GridInput& input, TIFF* tiff, Layout* layout) {
    *layout = Layout{};
    uint16_t planar = PLANARCONFIG_CONTIG;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout->width) ||
        !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout->height))
        return GridError::corrupt;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout->samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout->bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &layout->format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    layout->separate = planar == PLANARCONFIG_SEPARATE && layout->samples > 1;
    if (past_limits(input, layout->width, layout->height)) return GridError::too_large;
    if (layout->width == 0 || layout->height == 0 || layout->samples == 0) return GridError::corrupt;
    if (!sample_type(layout->format, layout->bits, &layout->type)) return GridError::unsupported_sample;
    layout->tiled = TIFFIsTiled(tiff) != 0;
    if (layout->tiled) {
        if (!TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &layout->tile_width) ||
            !TIFFGetField(tiff, TIFFTAG_TILELENGTH, &layout->tile_height) || layout->tile_width == 0 ||
            layout->tile_height == 0 || layout->tile_width > max_heightmap_side + 1 ||
            layout->tile_height > max_heightmap_side + 1)
            return GridError::corrupt;
    } else {
        uint32_t rows = 0;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows);
        layout->tile_width = layout->width;
        layout->tile_height = rows == 0 || rows > layout->height ? layout->height : rows;
    }
    layout->has_nodata = read_nodata(tiff, &layout->nodata);
    layout->values = values_for(layout->type, layout->has_nodata);
    int64_t lo = 0, hi = 0;
    integer_range(layout->type, &lo, &hi);
    const double nodata = layout->nodata;
    layout->nodata_is_sample = layout->has_nodata && nodata >= static_cast<double>(lo) &&
                               nodata <= static_cast<double>(hi) && nodata == std::floor(nodata);
    if (layout->nodata_is_sample) layout->nodata_sample = static_cast<int64_t>(nodata);
    return GridError::none;
}

// Sample `i` of a decoded block, by type; exact for every type.
double sample_at(const uint8_t* block, uint64_t i, SampleType type) {
    switch (type) {
    case SampleType::u8: return block[i];
    case SampleType::i8: return static_cast<int8_t>(block[i]);
    case SampleType::u16: { uint16_t v; memcpy(&v, block + 2 * i, 2); return v; }
    case SampleType::i16: { int16_t v; memcpy(&v, block + 2 * i, 2); return v; }
    case SampleType::u32: { uint32_t v; memcpy(&v, block + 4 * i, 4); return v; }
    case SampleType::i32: { int32_t v; memcpy(&v, block + 4 * i, 4); return v; }
    case SampleType::f32: { float v; memcpy(&v, block + 4 * i, 4); return v; }
    case SampleType::f64: { double v; memcpy(&v, block + 8 * i, 8); return v; }
    case SampleType::f16: break;
    }
    return NAN;
}

// The no-data value as the samples hold it, compared in their own type: a
// float's no-data value matches the float it was rounded to ("-9999.9"),
// an integer's only a sample of that very value.
bool is_nodata(double sample, const Layout& layout) {
    if (layout.type == SampleType::f64) return sample == layout.nodata;
    if (layout.type == SampleType::f32) return static_cast<float>(sample) == static_cast<float>(layout.nodata);
    return layout.nodata_is_sample && sample == static_cast<double>(layout.nodata_sample);
}

// Rows [y0, y0 + rows) and columns [x0, x0 + columns) of the grid from a
// decoded block `block_width` pixels wide, `step` samples apart.
void copy_block(const uint8_t* block, uint32_t block_width, uint32_t step, const Layout& layout, uint32_t x0,
                uint32_t y0, uint32_t columns, uint32_t rows, Grid* out) {
    for (uint32_t y = 0; y < rows; ++y) {
        const uint64_t first = uint64_t{y} * block_width * step;
        const uint64_t at = uint64_t{y0 + y} * layout.width + x0;
        for (uint32_t x = 0; x < columns; ++x) {
            const uint64_t i = first + uint64_t{x} * step;
            const double v = sample_at(block, i, layout.type);
            if (out->u16 != nullptr) {
                out->u16[at + x] = static_cast<uint16_t>(v);
            } else {
                const double value = layout.has_nodata && is_nodata(v, layout) ? NAN : v;
                if (out->f32 != nullptr) out->f32[at + x] = static_cast<float>(value);
                else out->f64[at + x] = value;
            }
        }
    }
}

// The no-data value of samples already in the grid's rows (floats or
// doubles, as the file holds them) made NaN.
void mark_nodata(Grid* grid, uint64_t first, uint64_t count, const Layout& layout) {
    if (grid->f32 != nullptr) {
        const auto nodata = static_cast<float>(layout.nodata);
        for (uint64_t i = first; i < first + count; ++i)
            if (grid->f32[i] == nodata) grid->f32[i] = NAN;
    } else if (grid->f64 != nullptr) {
        for (uint64_t i = first; i < first + count; ++i)
            if (grid->f64[i] == layout.nodata) grid->f64[i] = NAN;
    }
}

// What one byte of a compression decodes to at most. LZW turns a byte into
// at most about 2730 (its longest string of 4096 bytes from one 12-bit
// code); deflate's 1032 and PackBits' 64 are below. ZSTD's most is an RLE
// block, 4 bytes for 128 KiB: 32768; LZMA's range coder needs at least
// about a third of a bit for a match of 273 bytes, some 7500. LERC has no
// bound (0): a tile of one value is its header alone, whatever its size. A
// file whose blocks hold fewer bytes than that allows for its pixels cannot
// be whole.
uint64_t max_decode_ratio(TIFF* tiff) {
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_LERC) return 0;
    if (compression == COMPRESSION_ZSTD || compression == COMPRESSION_LZMA) return 32768;
    return 4096;
}

// libtiff decodes a LERC block whole into a buffer of its own, which it
// takes only within the single allocation it is allowed.
constexpr tmsize_t libtiff_largest_allocation = tmsize_t{1} << 30;

// Where a compression has no bound, the first block must decode before
// anything is allocated for the grid: LERC checks its size against the
// block's (all of the first plane's blocks are one size) and its checksum.
GridError check_first_block(TIFF* tiff, const Layout& layout) {
    const uint64_t step = layout.separate ? 1 : layout.samples;
    const uint64_t bytes = uint64_t{layout.tile_width} * layout.tile_height * step * (layout.bits / 8);
    if (bytes > static_cast<uint64_t>(libtiff_largest_allocation)) return GridError::corrupt;
    uint8_t* block = allocate_buffer(bytes);
    if (block == nullptr) return GridError::out_of_memory;
    const tmsize_t got = layout.tiled ? TIFFReadEncodedTile(tiff, 0, block, static_cast<tmsize_t>(bytes))
                                      : TIFFReadEncodedStrip(tiff, 0, block, static_cast<tmsize_t>(bytes));
    release_buffer(block);
    return got > 0 ? GridError::none : GridError::corrupt;
}

// Where a block's bytes lie in the file.
struct Extent {
    uint64_t offset, count;
};

// The bytes a file's blocks cover, each byte once however many blocks
// share it: the extents sorted and merged.
uint64_t distinct_bytes(Extent* extents, uint64_t count) {
    std::sort(extents, extents + count, [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
    uint64_t covered = 0, end = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t from = extents[i].offset > end ? extents[i].offset : end;
        const uint64_t to = extents[i].offset + extents[i].count;
        if (to > from) covered += to - from;
        end = to > end ? to : end;
    }
    return covered;
}

// Every block of the first plane must lie in the file, and the bytes the
// blocks store must be able to hold the pixels the file announces, before
// anything is allocated. Blocks that share their bytes count them once: a
// few kilobytes pointed at by every strip hold no more than once.
GridError check_blocks(TIFF* tiff, const Layout& layout, uint64_t size) {
    const uint32_t blocks = layout.tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    const uint64_t across = (uint64_t{layout.width} + layout.tile_width - 1) / layout.tile_width;
    const uint64_t down = (uint64_t{layout.height} + layout.tile_height - 1) / layout.tile_height;
    if (blocks == 0) return GridError::no_pixel_data;
    if (blocks < across * down) return GridError::corrupt;
    uint64_t stored = 0, end = 0;
    bool in_order = true;  // each block after the one before it, as writers lay them out
    for (uint32_t b = 0; b < across * down; ++b) {
        const uint64_t offset = TIFFGetStrileOffset(tiff, b), count = TIFFGetStrileByteCount(tiff, b);
        if (offset == 0 && count == 0) return GridError::no_pixel_data;
        if (offset > size || count > size - offset) return GridError::truncated;
        in_order = in_order && offset >= end;
        end = offset + count;
        stored += count;
    }
    bool shared = false;
    if (!in_order) {
        auto* extents = reinterpret_cast<Extent*>(allocate_buffer(sizeof(Extent) * across * down));
        if (extents == nullptr) return GridError::out_of_memory;
        for (uint32_t b = 0; b < across * down; ++b)
            extents[b] = {TIFFGetStrileOffset(tiff, b), TIFFGetStrileByteCount(tiff, b)};
        const uint64_t distinct = distinct_bytes(extents, across * down);
        release_buffer(extents);
        shared = distinct < stored;
        stored = distinct;
    }
    const uint64_t step = layout.separate ? 1 : layout.samples;
    const uint64_t pixels = across * layout.tile_width * down * layout.tile_height;
    const uint64_t ratio = max_decode_ratio(tiff);
    if (ratio == 0) return check_first_block(tiff, layout);
    if (pixels * step * (layout.bits / 8) > ratio * stored + 65536)
        return shared ? GridError::shared_blocks : GridError::truncated;
    return GridError::none;
}

GridError read_pixels(TIFF* tiff, const Layout& layout, Grid* out) {
    const uint64_t across = (uint64_t{layout.width} + layout.tile_width - 1) / layout.tile_width;
    const uint64_t down = (uint64_t{layout.height} + layout.tile_height - 1) / layout.tile_height;
    const uint32_t step = layout.separate ? 1 : layout.samples;
    const uint64_t sample_bytes = layout.bits / 8;
    // Straight into the grid: one sample per pixel, of the grid's own type,
    // and strips, which hold whole rows.
    const bool straight = !layout.tiled && step == 1 &&
                          ((out->u16 != nullptr && layout.type == SampleType::u16) ||
                           (out->f32 != nullptr && layout.type == SampleType::f32) ||
                           (out->f64 != nullptr && layout.type == SampleType::f64));
    const uint64_t block_bytes = uint64_t{layout.tile_width} * layout.tile_height * step * sample_bytes;
    uint8_t* block = straight ? nullptr : allocate_buffer(block_bytes);
    if (!straight && block == nullptr) return GridError::out_of_memory;
    GridError error = GridError::none;
    for (uint64_t by = 0; by < down && error == GridError::none; ++by) {
        for (uint64_t bx = 0; bx < across && error == GridError::none; ++bx) {
            const auto x0 = static_cast<uint32_t>(bx * layout.tile_width);
            const auto y0 = static_cast<uint32_t>(by * layout.tile_height);
            const uint32_t columns = layout.width - x0 < layout.tile_width ? layout.width - x0 : layout.tile_width;
            const uint32_t rows = layout.height - y0 < layout.tile_height ? layout.height - y0 : layout.tile_height;
            const auto index = static_cast<uint32_t>(by * across + bx);
            tmsize_t got = 0;
            if (straight) {
                const uint64_t first = uint64_t{y0} * layout.width;
                const uint64_t want = uint64_t{rows} * layout.width * sample_bytes;
                void* to = out->u16 != nullptr   ? static_cast<void*>(out->u16 + first)
                           : out->f32 != nullptr ? static_cast<void*>(out->f32 + first)
                                                 : static_cast<void*>(out->f64 + first);
                got = TIFFReadEncodedStrip(tiff, index, to, static_cast<tmsize_t>(want));
                if (got == static_cast<tmsize_t>(want) && layout.has_nodata)
                    mark_nodata(out, first, uint64_t{rows} * layout.width, layout);
                if (got != static_cast<tmsize_t>(want)) got = -1;
            } else if (layout.tiled) {
                got = TIFFReadEncodedTile(tiff, index, block, static_cast<tmsize_t>(block_bytes));
                if (got == static_cast<tmsize_t>(block_bytes))
                    copy_block(block, layout.tile_width, step, layout, x0, y0, columns, rows, out);
                else got = -1;
            } else {
                const uint64_t want = uint64_t{rows} * layout.width * step * sample_bytes;
                got = TIFFReadEncodedStrip(tiff, index, block, static_cast<tmsize_t>(want));
                if (got == static_cast<tmsize_t>(want)) copy_block(block, layout.width, step, layout, 0, y0, columns, rows, out);
                else got = -1;
            }
            if (got < 0) error = GridError::corrupt;
        }
    }
    release_buffer(block);
    return error;
}

// Whether the grid can be built in the file's own block: uncompressed
// strips holding one sample per pixel of the grid's own type, each lying at
// or after the place its rows take in the grid, so that moving the strips
// down in order never overwrites one still to move.
bool fits_in_place(TIFF* tiff, const Layout& layout) {
    uint16_t compression = COMPRESSION_NONE, fill_order = FILLORDER_MSB2LSB;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &fill_order);
    if (layout.tiled || compression != COMPRESSION_NONE || fill_order != FILLORDER_MSB2LSB ||
        (!layout.separate && layout.samples != 1))
        return false;
    const bool own_type = (layout.values == GridValues::u16 && layout.type == SampleType::u16) ||
                          (layout.values == GridValues::f32 && layout.type == SampleType::f32) ||
                          (layout.values == GridValues::f64 && layout.type == SampleType::f64);
    if (!own_type) return false;
    const uint64_t row_bytes = uint64_t{layout.width} * (layout.bits / 8);
    for (uint32_t y0 = 0, b = 0; y0 < layout.height; y0 += layout.tile_height, ++b) {
        const uint64_t rows = layout.height - y0 < layout.tile_height ? layout.height - y0 : layout.tile_height;
        if (TIFFGetStrileOffset(tiff, b) < y0 * row_bytes || TIFFGetStrileByteCount(tiff, b) < rows * row_bytes)
            return false;
    }
    return true;
}

// The strips moved down into the file's block `own`, which becomes the grid.
void move_in_place(TIFF* tiff, const Layout& layout, uint8_t* own) {
    const uint64_t row_bytes = uint64_t{layout.width} * (layout.bits / 8);
    take_pages_for_writing(own, row_bytes * layout.height);
    for (uint32_t y0 = 0, b = 0; y0 < layout.height; y0 += layout.tile_height, ++b) {
        const uint64_t rows = layout.height - y0 < layout.tile_height ? layout.height - y0 : layout.tile_height;
        memmove(own + y0 * row_bytes, own + TIFFGetStrileOffset(tiff, b), static_cast<size_t>(rows * row_bytes));
    }
    const uint64_t count = uint64_t{layout.width} * layout.height;
    if (TIFFIsByteSwapped(tiff) && layout.bits == 64) TIFFSwabArrayOfDouble(reinterpret_cast<double*>(own), count);
    if (TIFFIsByteSwapped(tiff) && layout.bits == 32) TIFFSwabArrayOfLong(reinterpret_cast<uint32_t*>(own), count);
    if (TIFFIsByteSwapped(tiff) && layout.bits == 16) TIFFSwabArrayOfShort(reinterpret_cast<uint16_t*>(own), count);
}

bool is_tiff(const uint8_t* bytes, uint64_t size) {
    static constexpr uint8_t signatures[4][4] = {{'I', 'I', 42, 0}, {'M', 'M', 0, 42}, {'I', 'I', 43, 0}, {'M', 'M', 0, 43}};
    for (const auto& signature : signatures)
        if (size >= 4 && memcmp(bytes, signature, 4) == 0) return true;
    return false;
}

// The names of compressions, for those libtiff here does not decode: JPEG,
// WebP, JBIG and the other codecs of imagery that hmap's libtiff is built
// without, and those libtiff has no codec for.
struct CompressionName {
    uint16_t scheme;
    const char* name;
};
constexpr CompressionName compression_names[] = {
    {COMPRESSION_CCITTRLE, "CCITT RLE"}, {COMPRESSION_CCITTFAX3, "CCITT Group 3"},
    {COMPRESSION_CCITTFAX4, "CCITT Group 4"}, {COMPRESSION_LZW, "LZW"}, {COMPRESSION_OJPEG, "old-style JPEG"},
    {COMPRESSION_JPEG, "JPEG"}, {COMPRESSION_T85, "JBIG (T.85)"}, {COMPRESSION_T43, "JBIG (T.43)"},
    {COMPRESSION_NEXT, "NeXT"}, {COMPRESSION_PACKBITS, "PackBits"}, {COMPRESSION_THUNDERSCAN, "ThunderScan"},
    {COMPRESSION_PIXARFILM, "Pixar film"}, {COMPRESSION_PIXARLOG, "PixarLog"}, {COMPRESSION_DEFLATE, "Deflate"},
    {COMPRESSION_ADOBE_DEFLATE, "Deflate"}, {COMPRESSION_DCS, "Kodak DCS"}, {COMPRESSION_JBIG, "JBIG"},
    {COMPRESSION_SGILOG, "SGI LogLuv"}, {COMPRESSION_SGILOG24, "SGI LogLuv"}, {COMPRESSION_JP2000, "JPEG 2000"},
    {COMPRESSION_LERC, "LERC"}, {COMPRESSION_LZMA, "LZMA"}, {COMPRESSION_ZSTD, "ZSTD"},
    {COMPRESSION_WEBP, "WebP"}, {COMPRESSION_JXL, "JPEG XL"},
};

// Whether the file's compression is one libtiff here decodes; if not, its
// name goes into the detail.
bool compression_configured(TIFF* tiff, GridDetail* detail) {
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (TIFFIsCODECConfigured(compression)) return true;
    snprintf(detail->text, sizeof detail->text, "an unknown compression (number %u)", unsigned{compression});
    for (const CompressionName& known : compression_names) {
        if (known.scheme == compression) snprintf(detail->text, sizeof detail->text, "%s compression", known.name);
    }
    return false;
}


GridError read_tiff(const GridInput& input, Grid* out) {
    const uint8_t* bytes = input.bytes;
    const uint64_t size = input.size;
    uint8_t* own = input.own;
    // Errors and warnings go to this handle's own handlers, never to the
    // process-wide ones (which would print them).
    TiffSource source{bytes, size, 0, input.detail, false};
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return GridError::out_of_memory;
    TIFFOpenOptionsSetErrorHandlerExtR(options, keep_error, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options, drop_warning, &source);
    // libtiff reads the mapped bytes in place; what it allocates for itself
    // (tables, a codec's state and rows) stays far below this.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, libtiff_largest_allocation);
    TIFF* tiff = TIFFClientOpenExt("tiff", "r", &source, read_bytes, write_bytes, seek_to, close_source,
                                   source_size, map_source, unmap_source, options);
    TIFFOpenOptionsFree(options);
    GridError error = GridError::none;
    if (tiff == nullptr) {
        // A file cut before its first directory, or one that has no offsets
        // of strips or tiles, else whatever libtiff said. BigTIFF is told by
        // its version word, 43 where a classic TIFF has 42.
        const bool little = bytes[0] == 'I';
        const bool big = size >= 4 && (little ? bytes[2] == 43 && bytes[3] == 0 : bytes[2] == 0 && bytes[3] == 43);
        const uint64_t first = size < (big ? 16u : 8u) ? size
                               : big ? (little ? read_le32(bytes + 8) | uint64_t{read_le32(bytes + 12)} << 32
                                               : uint64_t{read_be32(bytes + 8)} << 32 | read_be32(bytes + 12))
                               : little ? read_le32(bytes + 4) : read_be32(bytes + 4);
        error = first >= size                                       ? GridError::truncated
                : strstr(input.detail->text, "Offsets") != nullptr ? GridError::no_pixel_data
                                                                    : GridError::corrupt;
    } else {
        Layout layout{};
        error = compression_configured(tiff, input.detail) ? read_layout(input, tiff, &layout)
                                                           : GridError::unsupported_compression;
        if (error == GridError::none) error = check_blocks(tiff, layout, size);
        if (error == GridError::none && input.hints.samples_only && layout.type != SampleType::u16) {
            out->type = layout.type;
            error = GridError::needs_mapping;  // told by the directory, before a pixel is decoded
        }
        const bool in_place = error == GridError::none && own != nullptr && fits_in_place(tiff, layout);
        if (error == GridError::none)
            error = start_grid(input, out, layout.width, layout.height, layout.values, in_place ? own : nullptr);
        if (error == GridError::none && in_place) {
            move_in_place(tiff, layout, own);
            if (layout.has_nodata) mark_nodata(out, 0, uint64_t{layout.width} * layout.height, layout);
        } else if (error == GridError::none) {
            error = read_pixels(tiff, layout, out);
        }
        if (error == GridError::none) {
            out->type = layout.type;
            out->channels = static_cast<uint8_t>(layout.samples < 255 ? layout.samples : 255);
        } else if (error != GridError::needs_mapping) {
            release_grid(out);
        }
        TIFFClose(tiff);
    }
    const bool named = (error == GridError::corrupt && source.failed) || error == GridError::unsupported_compression;
    if (!named) input.detail->text[0] = '\0';
    return error;
}

// What libtiff writes to: a file in memory and where its next bytes go.
struct TiffSink {
    FileInMemory file;
    uint64_t pos;
};

tmsize_t sink_write(thandle_t handle, void* in, tmsize_t count) {
    auto* sink = static_cast<TiffSink*>(handle);
    if (count < 0 || !put_bytes(&sink->file, sink->pos, in, static_cast<uint64_t>(count))) return -1;
    sink->pos += static_cast<uint64_t>(count);
    return count;
}
tmsize_t sink_read(thandle_t handle, void* out, tmsize_t count) {
    auto* sink = static_cast<TiffSink*>(handle);
    const uint64_t left = sink->pos < sink->file.size ? sink->file.size - sink->pos : 0;
    const uint64_t n = count < 0 ? 0 : static_cast<uint64_t>(count) < left ? static_cast<uint64_t>(count) : left;
    memcpy(out, sink->file.bytes + sink->pos, static_cast<size_t>(n));
    sink->pos += n;
    return static_cast<tmsize_t>(n);
}
toff_t sink_seek(thandle_t handle, toff_t offset, int whence) {
    auto* sink = static_cast<TiffSink*>(handle);
    const uint64_t base = whence == SEEK_CUR ? sink->pos : whence == SEEK_END ? sink->file.size : 0;
    sink->pos = base + offset;
    return sink->pos;
}
toff_t sink_size(thandle_t handle) { return static_cast<TiffSink*>(handle)->file.size; }
int no_map(thandle_t, void**, toff_t*) { return 0; }

// An uncompressed TIFF of 32-bit float samples, one a pixel, in strips of
// about 256 KiB: what GDAL, QGIS and terrain tools all read. A BigTIFF
// where a classic one could not hold it.
GridError write_tiff(uint32_t width, uint32_t height, FloatRows rows, void* context, MadeFile* out) {
    *out = MadeFile{};
    const uint64_t row_bytes = 4 * uint64_t{width};
    const uint32_t strip_rows = row_bytes >= (256u << 10) ? 1 : static_cast<uint32_t>((256u << 10) / row_bytes);
    const uint64_t strips = (uint64_t{height} + strip_rows - 1) / strip_rows;
    const uint64_t data = row_bytes * height;
    TiffSink sink{{}, 0};
    if (start_file(data + 16 * strips + 65536, width, &sink.file) != GridError::none) return GridError::out_of_memory;
    float* row = sink.file.row;
    TiffSource quiet{nullptr, 0, 0, nullptr, false};
    GridDetail ignored;
    quiet.detail = &ignored;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    bool ok = options != nullptr;
    TIFF* tiff = nullptr;
    if (ok) {
        TIFFOpenOptionsSetErrorHandlerExtR(options, keep_error, &quiet);
        TIFFOpenOptionsSetWarningHandlerExtR(options, drop_warning, &quiet);
        tiff = TIFFClientOpenExt("tiff", data + 65536 > 0xFFFFFFFFu ? "w8" : "w", &sink, sink_read, sink_write,
                                 sink_seek, close_source, sink_size, no_map, unmap_source, options);
        TIFFOpenOptionsFree(options);
        ok = tiff != nullptr;
    }
    if (ok) {
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 32);
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, strip_rows);
        for (uint32_t y = 0; y < height && ok; ++y) {
            rows(context, y, row);
            ok = TIFFWriteScanline(tiff, row, y, 0) == 1;
        }
        ok = ok && TIFFWriteDirectory(tiff) != 0;
        TIFFClose(tiff);
        ok = ok && !quiet.failed;
    }
    return finish_file(&sink.file, ok, out);
}

}  // namespace

extern const GridReader tiff_grid;
const GridReader tiff_grid = {"TIFF", {".tif", ".tiff"}, "values", is_tiff, read_tiff, write_tiff};
