// The foreign heightmap readers on small files made in memory: each
// format's samples, orders and sizes, and every way each refuses a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <zlib.h>

#include "grid_testing.h"
#include "heightmap_formats.h"
#include "png_test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Read {
    GridError error;
    Grid grid;
    std::string detail;
};

Read read(const char* path, const Bytes& bytes, GridHints hints = {}) {
    Read r{};
    GridDetail detail;
    const uint64_t live = hook_live_blocks();
    r.error = read_grid(path, bytes.data(), bytes.size(), hints, &r.grid, &detail);
    r.detail = detail.text;
    if (r.error != GridError::none) EXPECT_FALSE(grid_held(r.grid));
    EXPECT_EQ(hook_live_blocks(), live) << path;
    return r;
}

std::vector<float> floats_of(const Grid& grid) {
    return {grid.f32, grid.f32 + uint64_t{grid.width} * grid.height};
}
std::vector<uint16_t> u16_of(const Grid& grid) { return {grid.u16, grid.u16 + uint64_t{grid.width} * grid.height}; }

void put_le16(Bytes& out, uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void put_f32(Bytes& out, float f, bool little) {
    uint32_t w;
    memcpy(&w, &f, 4);
    if (little) out.insert(out.end(), {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)});
    else out.insert(out.end(), {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)});
}
Bytes text(const std::string& s) { return {s.begin(), s.end()}; }

// The format's name, as the listing gives it; "" for none.
std::string format_name(const GridReader* format) { return format != nullptr ? format->name : ""; }

TEST(GridFormats, DetectedBySignatureBeforeExtension) {
    const struct {
        const char* path;
        Bytes bytes;
        const char* format;
    } cases[] = {
        {"a.r16", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, "PNG"},
        {"a.png", {'I', 'I', '*', 0}, "TIFF"},
        {"a", {'M', 'M', 0, '*'}, "TIFF"},
        {"a", {'I', 'I', '+', 0}, "TIFF"},
        {"a.hgt", {0x76, 0x2F, 0x31, 0x01}, "OpenEXR"},
        {"a.raw", text("Pf\n1 1\n-1\n"), "PFM"},
        {"a.raw", text("PF 1 1 -1 "), "PFM"},
        {"a.RAW", text("Pfx"), "16-bit RAW"},
        {"dir.r16/a.R32", {1, 2}, "32-bit float RAW"},
        {"N45E006.HGT", {1, 2}, "SRTM HGT"},
        {"a.TIFF", {1, 2}, "TIFF"},
        {"a.Png", {1, 2}, "PNG"},
        {"a.txt", {1, 2, 3, 4}, ""},
        {".r16", {1, 2}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_name(grid_format_of(c.path, c.bytes.data(), c.bytes.size())), c.format) << c.path;
    // Refused with the formats listed from the table: by name where they
    // have a signature, else by their extensions.
    Read unknown = read("a.txt", {1, 2, 3, 4});
    EXPECT_EQ(unknown.error, GridError::unknown_format);
    EXPECT_EQ(unknown.detail, "PNG, TIFF, OpenEXR, PFM, .r16, .raw, .r32 or .hgt");
}

TEST(GridFormats, Raw16IsLittleEndianRowsFromTheTop) {
    Bytes bytes;
    for (uint16_t v : {0x0102, 0xFFFF, 0, 7, 300, 65534}) put_le16(bytes, v);
    Read r = read("m.raw", bytes, {3, 2});
    ASSERT_EQ(r.error, GridError::none);
    EXPECT_EQ(r.grid.width, 3u);
    EXPECT_EQ(r.grid.height, 2u);
    EXPECT_EQ(r.grid.type, SampleType::u16);
    EXPECT_EQ(format_name(r.grid.format), "16-bit RAW");
    EXPECT_EQ(u16_of(r.grid), (std::vector<uint16_t>{0x0102, 0xFFFF, 0, 7, 300, 65534}));
    EXPECT_EQ(r.grid.lowest, 0);
    EXPECT_EQ(r.grid.highest, 65535);
    EXPECT_EQ(r.grid.voids, 0u);
    release_grid(&r.grid);
}

TEST(GridFormats, RawSizeComesFromItsHeaderTheMapOrASquare) {
    // The map's size where the length is exactly that: a 8 x 2 map is no square.
    Read r = read("a.r16", Bytes(2 * 16), {8, 2});
    ASSERT_EQ(r.error, GridError::none);
    EXPECT_EQ(std::make_tuple(r.grid.width, r.grid.height, r.grid.sizing), std::make_tuple(8u, 2u, GridSizing::map));
    release_grid(&r.grid);
    // Else the square the length gives, whatever its side (World Machine's
    // 1025 against a 1024 map): resampled afterwards.
    for (GridHints hints : {GridHints{}, GridHints{4, 4}}) {
        Read square = read("a.r16", Bytes(2 * 25), hints);
        ASSERT_EQ(square.error, GridError::none);
        EXPECT_EQ(std::make_tuple(square.grid.width, square.grid.height, square.grid.sizing),
                  std::make_tuple(5u, 5u, GridSizing::square));
        release_grid(&square.grid);
    }
    // Else refused, naming the lengths tried.
    for (size_t length : {2 * 8, 2 * 9 + 1, 3}) {
        Read bad = read("a.r16", Bytes(length));
        EXPECT_EQ(bad.error, GridError::raw_size_unknown) << length;
        EXPECT_EQ(bad.detail, std::to_string(length) + " bytes: no square of 16-bit samples, no .hdr beside it");
    }
    EXPECT_NE(std::string(grid_error_text(GridError::raw_size_unknown)).find("MAP.prj N"), std::string::npos);
    Read mismatch = read("a.r32", Bytes(4 * 7), {4, 2});
    EXPECT_EQ(mismatch.error, GridError::raw_size_mismatch);
    EXPECT_EQ(mismatch.detail, "28 bytes: no square of 32-bit floats, no .hdr beside it, and the map's 4 x 2 needs 32");
    // A map's size past 65535 a side, whose length matches.
    EXPECT_EQ(read("a.r16", Bytes(2 * 65536), {65536, 1}).error, GridError::too_large);

    // An ENVI header beats both: 3 x 2 big-endian signed samples after 4
    // bytes, -5 a void, in a file whose length is also a square and the map's.
    Bytes envi = {0xEE, 0xEE, 0xEE, 0xEE, 0x80, 0x00, 0xFF, 0xFB, 0x00, 0x07, 0x7F, 0xFF, 0xFF, 0xFF, 0x01, 0x00};
    GridHints hints{2, 4};
    hints.raw = {3, 2, 4, SampleType::i16, true, true, -5.0};
    hints.envi_name = 1;
    Read header = read("a.r32", envi, hints);
    ASSERT_EQ(header.error, GridError::none);
    EXPECT_EQ(std::make_tuple(header.grid.width, header.grid.height, header.grid.sizing, header.grid.envi_name),
              std::make_tuple(3u, 2u, GridSizing::envi_header, uint8_t{1}));
    EXPECT_EQ(header.grid.type, SampleType::i16);
    ASSERT_NE(header.grid.f32, nullptr);
    const std::vector<float> values = floats_of(header.grid);
    EXPECT_EQ(values[0], -32768.0f);
    EXPECT_TRUE(std::isnan(values[1]));
    EXPECT_EQ(std::vector<float>(values.begin() + 2, values.end()), (std::vector<float>{7, 32767, -1, 256}));
    EXPECT_EQ(header.grid.voids, 1u);
    release_grid(&header.grid);
    // Too short for what the header says; asked for 16-bit samples alone.
    hints.raw.height = 3;
    Read short_file = read("a.r16", envi, hints);
    EXPECT_EQ(short_file.error, GridError::truncated);
    EXPECT_EQ(short_file.detail, "16 bytes; the .hdr's 3 x 3 samples of 2 bytes from offset 4 need 22");
    hints.raw.height = 2;
    hints.samples_only = true;
    EXPECT_EQ(read("a.r16", envi, hints).error, GridError::needs_mapping);
}

std::string parse_header(const std::string& text, RawLayout* layout, GridError* error) {
    GridDetail detail;
    *error = parse_envi_header(reinterpret_cast<const uint8_t*>(text.data()), text.size(), layout, &detail);
    return detail.text;
}

// Each data type an ENVI header names, read as the TIFF reader holds its
// type: 32-bit integers and doubles exactly, as doubles; unsigned 8 and 16
// bits as they are, as floats only when a value stands for a void.
TEST(GridFormats, RawTypesAnEnviHeaderNames) {
    const struct {
        int number;
        Bytes bytes;  // little-endian
        std::vector<double> values;
        char held;  // the buffer: u16, f32 or f64 (u, f or d)
    } cases[] = {
        {1, {0, 255, 1}, {0, 255, 1}, 'u'},
        {12, {0, 0, 0xFF, 0xFF, 1, 0}, {0, 65535, 1}, 'u'},
        {2, {0, 0, 0xFF, 0x7F, 0, 0x80}, {0, 32767, -32768}, 'f'},
        {13, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}, {0, 4294967295.0, 1}, 'd'},
        {3, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0, 0, 0}, {0, 2147483647, 1}, 'd'},
        {4, {0, 0, 0, 0, 0xFF, 0xFF, 0x7F, 0x7F, 0, 0, 0xC0, 0x3F}, {0, FLT_MAX, 1.5}, 'f'},
        {5, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0x7F, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F},
         {0, DBL_MAX, 1.5}, 'd'},
    };
    for (const auto& c : cases) {
        GridHints hints;
        GridError error;
        parse_header("ENVI\nsamples = 3\nlines = 1\ndata type = " + std::to_string(c.number) + "\n", &hints.raw,
                     &error);
        ASSERT_EQ(error, GridError::none) << c.number;
        Read r = read("a.raw", c.bytes, hints);
        ASSERT_EQ(r.error, GridError::none) << c.number;
        EXPECT_EQ(r.grid.u16 != nullptr, c.held == 'u');
        EXPECT_EQ(r.grid.f64 != nullptr, c.held == 'd');
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(grid_value(r.grid, i), c.values[i]) << c.number << " " << i;
        release_grid(&r.grid);
    }
    // A void among unsigned 16-bit samples: floats; a void value no sample
    // of the type can hold makes none.
    for (double nodata : {65535.0, 70000.0, 1.5}) {
        GridHints hints;
        hints.raw = {3, 1, 0, SampleType::u16, false, true, nodata};
        Read r = read("a.raw", cases[1].bytes, hints);
        ASSERT_NE(r.grid.f32, nullptr);
        EXPECT_EQ(r.grid.voids, nodata == 65535 ? 1u : 0u) << nodata;
        release_grid(&r.grid);
    }
}

TEST(GridFormats, EnviHeaderAsGdalWritesIt) {
    // GDAL's ENVI driver: lists in braces over several lines (a "samples"
    // inside one is no field), Windows line ends too.
    const std::string gdal =
        "ENVI\r\ndescription = {\r\nsamples = 5 lines = 5}\r\nsamples = 2048\r\nlines   = 512\r\nbands   = 1\r\n"
        "header offset = 0\r\nfile type = ENVI Standard\r\ndata type = 12\r\ninterleave = bsq\r\nbyte order = 0\r\n"
        "band names = {\r\nBand 1}\r\ndata ignore value = -9999\r\n";
    RawLayout layout;
    GridError error;
    EXPECT_EQ(parse_header(gdal, &layout, &error), "");
    ASSERT_EQ(error, GridError::none);
    EXPECT_EQ(std::make_tuple(layout.width, layout.height, layout.offset, layout.type, layout.big_endian),
              std::make_tuple(uint64_t{2048}, uint64_t{512}, uint64_t{0}, SampleType::u16, false));
    EXPECT_TRUE(layout.has_nodata);
    EXPECT_EQ(layout.nodata, -9999);
    // Written by hand: keys in any case, comments, no byte order (little),
    // a header offset, interleaving of one band whatever it is.
    ASSERT_EQ(parse_header("ENVI\n; made by hand\nSamples=3\nLINES = 4\nData Type = 5\nheader offset = 512\n"
                           "interleave = bip\nbyte order = 1\n", &layout, &error), "");
    EXPECT_EQ(std::make_tuple(layout.width, layout.height, layout.offset, layout.type, layout.big_endian,
                              layout.has_nodata),
              std::make_tuple(uint64_t{3}, uint64_t{4}, uint64_t{512}, SampleType::f64, true, false));
    const struct {
        const char* text;
        GridError error;
        const char* detail;
    } refused[] = {
        {"", GridError::bad_envi_header, "it does not start with ENVI"},
        {"samples = 2\nlines = 2\ndata type = 12\n", GridError::bad_envi_header, "it does not start with ENVI"},
        {"ENVI\nlines = 2\ndata type = 12\n", GridError::bad_envi_header, "no samples"},
        {"ENVI\nsamples = 2\ndata type = 12\n", GridError::bad_envi_header, "no lines"},
        {"ENVI\nsamples = 2\nlines = 2\n", GridError::bad_envi_header, "no data type"},
        {"ENVI\nsamples = 2\nlines = 2\ndescription = {never closed\ndata type = 12\n", GridError::bad_envi_header,
         "no data type"},
        {"ENVI\nsamples = 2.5\nlines = 2\ndata type = 12\n", GridError::bad_envi_header, "samples = 2.5"},
        {"ENVI\nsamples = -2\nlines = 2\ndata type = 12\n", GridError::bad_envi_header, "samples = -2"},
        {"ENVI\nsamples = 2\nlines = 0\ndata type = 12\n", GridError::bad_envi_header, "lines = 0"},
        {"ENVI\nsamples = 2\nlines = 2\ndata type = 12\nbyte order = 2\n", GridError::bad_envi_header,
         "byte order = 2"},
        {"ENVI\nsamples = 2\nlines = 2\ndata type = 12\nheader offset = x\n", GridError::bad_envi_header,
         "header offset = x"},
        {"ENVI\nsamples = 2\nlines = 2\ndata type = 4\ndata ignore value = none\n", GridError::bad_envi_header,
         "data ignore value = none"},
        {"ENVI\nsamples = 2\nlines = 2\ndata type = 12\nbands = 3\n", GridError::envi_bands, "bands = 3"},
        {"ENVI\nsamples = 2\nlines = 2\ndata type = 12\nbands = 0\n", GridError::bad_envi_header, "bands = 0"},
        {"ENVI\nsamples = 2\nlines = 2\ndata type = 6\n", GridError::envi_data_type, "data type = 6"},
        {"ENVI\nsamples = 2\nlines = 2\ndata type = 14\n", GridError::envi_data_type, "data type = 14"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(parse_header(c.text, &layout, &error), c.detail) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(GridFormats, Raw32FloatsWithVoids) {
    Bytes bytes;
    for (float f : {-1.5f, NAN, 1e6f, INFINITY}) put_f32(bytes, f, true);
    Read r = read("a.r32", bytes);
    ASSERT_EQ(r.error, GridError::none);
    EXPECT_EQ(r.grid.type, SampleType::f32);
    ASSERT_NE(r.grid.f32, nullptr);
    EXPECT_EQ(r.grid.f32[0], -1.5f);
    EXPECT_TRUE(std::isnan(r.grid.f32[1]));
    EXPECT_EQ(r.grid.f32[2], 1e6f);
    EXPECT_TRUE(std::isnan(r.grid.f32[3]));  // infinities are voids too
    EXPECT_EQ(r.grid.voids, 2u);
    EXPECT_EQ(r.grid.lowest, -1.5);
    EXPECT_EQ(r.grid.highest, 1e6);
    release_grid(&r.grid);

    Bytes voids;
    for (int i = 0; i < 4; ++i) put_f32(voids, NAN, true);
    EXPECT_EQ(read("a.r32", voids).error, GridError::no_valid_value);
    EXPECT_EQ(read("a.r32", Bytes(4 * 4 + 2)).error, GridError::raw_size_unknown);
}

Bytes pfm(const std::string& header, const std::vector<float>& values, bool little) {
    Bytes out = text(header);
    for (float f : values) put_f32(out, f, little);
    return out;
}

TEST(GridFormats, PfmRowsFromTheBottomInTheScalesByteOrder) {
    // Stored bottom row first: 4 5 6, then 1 2 3.
    const std::vector<float> stored = {4, 5, 6, 1, 2, 3};
    for (bool little : {true, false}) {
        Read r = read("a.pfm", pfm(little ? "Pf\n3 2\n-1.0\n" : "Pf 3\t2\r\n0.5\n", stored, little));
        ASSERT_EQ(r.error, GridError::none) << little;
        EXPECT_EQ(format_name(r.grid.format), "PFM");
        EXPECT_EQ(r.grid.channels, 1);
        EXPECT_EQ(floats_of(r.grid), (std::vector<float>{1, 2, 3, 4, 5, 6})) << little;
        release_grid(&r.grid);
    }
    // Colour: the first of three channels.
    Read colour = read("a.pfm", pfm("PF\n2 1\n-1\n", {7, 0, 0, 8, 9, 9}, true));
    ASSERT_EQ(colour.error, GridError::none);
    EXPECT_EQ(colour.grid.channels, 3);
    EXPECT_EQ(floats_of(colour.grid), (std::vector<float>{7, 8}));
    release_grid(&colour.grid);
}

TEST(GridFormats, PfmRefusals) {
    for (const char* header : {"Pf\n3 2\n0\n", "Pf\nx 2\n-1\n", "Pf\n3 2\n-1", "Pf\n0 2\n-1\n", "Pf\n3 -2\n-1\n",
                               "Pf\n3 2\nnan\n", "Pf\n3\n", "Pf\n3 2 -1e\n", "Pf\n99999999999999 2\n-1\n"})
        EXPECT_EQ(read("a.pfm", text(header)).error, GridError::bad_pfm_header) << header;
    EXPECT_EQ(read("a.pfm", pfm("Pf\n3 2\n-1\n", {1, 2, 3, 4, 5}, true)).error, GridError::truncated);
    EXPECT_EQ(read("a.pfm", text("Pf\n65536 1\n-1\n")).error, GridError::too_large);
}

TEST(GridFormats, HgtIsBigEndianSignedWithVoids) {
    const Bytes bytes = {0x80, 0x00, 0xFF, 0xFE, 0x12, 0x34, 0x7F, 0xFF};  // -32768 -2 4660 32767
    Read r = read("N00E000.hgt", bytes);
    ASSERT_EQ(r.error, GridError::none);
    EXPECT_EQ(r.grid.type, SampleType::i16);
    EXPECT_EQ(r.grid.width, 2u);
    EXPECT_TRUE(std::isnan(r.grid.f32[0]));
    EXPECT_EQ(std::vector<float>(r.grid.f32 + 1, r.grid.f32 + 4), (std::vector<float>{-2, 4660, 32767}));
    EXPECT_EQ(r.grid.voids, 1u);
    EXPECT_EQ(r.grid.lowest, -2);
    EXPECT_EQ(r.grid.highest, 32767);
    release_grid(&r.grid);
    EXPECT_EQ(read("a.hgt", Bytes(2 * 5)).error, GridError::hgt_not_square);
    EXPECT_EQ(read("a.hgt", Bytes(2 * 4 + 1)).error, GridError::hgt_not_square);
    EXPECT_EQ(read("a.hgt", Bytes{0x80, 0}).error, GridError::no_valid_value);
}

// A PNG of `channels` samples per pixel, 8 or 16 bits each, stored.
Bytes png_of(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type, unsigned channels,
             const std::vector<uint16_t>& samples, int sea_level = -1) {
    Bytes filtered;
    for (uint32_t y = 0; y < h; ++y) {
        filtered.push_back(0);
        for (size_t i = 0; i < size_t{w} * channels; ++i) {
            const uint16_t v = samples[y * w * channels + i];
            if (depth == 16) filtered.push_back(uint8_t(v >> 8));
            filtered.push_back(uint8_t(v));
        }
    }
    Bytes extra;
    if (sea_level >= 0) {
        extra.resize(sea_level_chunk_size);
        write_sea_level_chunk(extra.data(), uint16_t(sea_level));
    }
    return test_png::png(w, h, depth, colour_type, filtered, extra);
}

TEST(GridFormats, PngGreyAndEqualColourChannels) {
    Read grey16 = read("a.png", test_png::grey16(2, 1, {0x1234, 0xFFFF}, 0x0400));
    ASSERT_EQ(grey16.error, GridError::none);
    EXPECT_EQ(grey16.grid.type, SampleType::u16);
    EXPECT_EQ(u16_of(grey16.grid), (std::vector<uint16_t>{0x1234, 0xFFFF}));
    EXPECT_TRUE(grey16.grid.has_sea_level);
    EXPECT_EQ(grey16.grid.sea_level, 0x0400);
    release_grid(&grey16.grid);

    const struct {
        uint8_t depth, colour_type;
        unsigned channels;
        std::vector<uint16_t> samples;
        SampleType type;
        std::vector<uint16_t> expected;
    } cases[] = {
        {8, 0, 1, {0, 255, 17}, SampleType::u8, {0, 255, 17}},
        {8, 4, 2, {3, 0, 200, 255, 9, 1}, SampleType::u8, {3, 200, 9}},
        {8, 2, 3, {5, 5, 5, 250, 250, 250, 0, 0, 0}, SampleType::u8, {5, 250, 0}},
        {16, 2, 3, {500, 500, 500, 65535, 65535, 65535, 1, 1, 1}, SampleType::u16, {500, 65535, 1}},
        {16, 6, 4, {9, 9, 9, 0, 70, 70, 70, 65535, 2, 2, 2, 5}, SampleType::u16, {9, 70, 2}},
        {8, 6, 4, {1, 1, 1, 0, 2, 2, 2, 0, 3, 3, 3, 0}, SampleType::u8, {1, 2, 3}},
    };
    // Grey of 2 bits (as ImageMagick writes few levels), spread over 0..255,
    // and a grey palette.
    Read low = read("a.png", test_png::png(3, 1, 2, 0, {0, 0b00011100}));
    ASSERT_EQ(low.error, GridError::none);
    EXPECT_EQ(low.grid.type, SampleType::u8);
    EXPECT_EQ(u16_of(low.grid), (std::vector<uint16_t>{0, 85, 255}));
    release_grid(&low.grid);
    Bytes palette_chunk;
    test_png::put_chunk(palette_chunk, "PLTE", {7, 7, 7, 200, 200, 200});
    Bytes grey_palette = test_png::png(3, 1, 8, 3, {0, 1, 0, 1});
    grey_palette.insert(grey_palette.begin() + 33, palette_chunk.begin(), palette_chunk.end());
    Read indexed = read("a.png", grey_palette);
    ASSERT_EQ(indexed.error, GridError::none);
    EXPECT_EQ(u16_of(indexed.grid), (std::vector<uint16_t>{200, 7, 200}));
    release_grid(&indexed.grid);

    for (const auto& c : cases) {
        Read r = read("a.png", png_of(3, 1, c.depth, c.colour_type, c.channels, c.samples, 0x10));
        ASSERT_EQ(r.error, GridError::none) << int(c.colour_type) << " " << int(c.depth);
        EXPECT_EQ(r.grid.type, c.type);
        EXPECT_EQ(r.grid.channels, c.channels);
        EXPECT_EQ(u16_of(r.grid), c.expected);
        EXPECT_EQ(r.grid.sea_level, 0x10);
        release_grid(&r.grid);
    }
}

TEST(GridFormats, PngRefusals) {
    // Channels that differ in one pixel, in either the green or the blue.
    EXPECT_EQ(read("a.png", png_of(2, 1, 8, 2, 3, {5, 5, 5, 6, 6, 7})).error, GridError::colour_png);
    EXPECT_EQ(read("a.png", png_of(1, 1, 16, 6, 4, {5, 6, 5, 0})).error, GridError::colour_png);
    // A palette entry in colour.
    Bytes palette_chunk;
    test_png::put_chunk(palette_chunk, "PLTE", {7, 7, 7, 1, 2, 3});
    Bytes colour_palette = test_png::png(2, 1, 8, 3, {0, 0, 1});
    colour_palette.insert(colour_palette.begin() + 33, palette_chunk.begin(), palette_chunk.end());
    EXPECT_EQ(read("a.png", colour_palette).error, GridError::colour_png);
    EXPECT_EQ(read("a.png", png_of(65536, 1, 8, 0, 1, std::vector<uint16_t>(65536))).error, GridError::too_large);
    // A header announcing far more than the data can inflate to.
    EXPECT_EQ(read("a.png", test_png::png(60000, 60000, 8, 0, {0, 0})).error, GridError::truncated);
    Bytes cut = png_of(4, 4, 8, 0, 1, std::vector<uint16_t>(16, 3));
    cut.resize(cut.size() - 30);
    Read damaged = read("a.png", cut);
    EXPECT_EQ(damaged.error, GridError::corrupt);
    EXPECT_FALSE(damaged.detail.empty());
    // An hmAP chunk too short to hold a sea level, on either path.
    Bytes short_chunk;
    test_png::put_chunk(short_chunk, "hmAP", {1});
    EXPECT_EQ(read("a.png", test_png::png(1, 1, 16, 0, {0, 0, 1}, short_chunk)).error, GridError::corrupt);
    EXPECT_EQ(read("a.png", test_png::png(1, 1, 8, 0, {0, 1}, short_chunk)).error, GridError::corrupt);
}

TEST(GridFormats, EmptyAndUnknownFiles) {
    EXPECT_EQ(read("a.r16", {}).error, GridError::truncated);
    EXPECT_EQ(read("a.hgt", {}).error, GridError::truncated);
    EXPECT_EQ(read("a", {}).error, GridError::unknown_format);
    for (int e = int(GridError::none); e <= int(GridError::no_valid_value); ++e)
        EXPECT_STRNE(grid_error_text(GridError(e)), "Unknown error") << e;
}

}  // namespace

// TIFFs written by libtiff into memory, as the test describes them.
#include <tiffio.h>

namespace {

struct MemoryFile {
    Bytes bytes;
    uint64_t pos = 0;
};
tmsize_t mem_read(thandle_t h, void* out, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    const uint64_t left = f->pos < f->bytes.size() ? f->bytes.size() - f->pos : 0;
    const uint64_t count = std::min<uint64_t>(left, static_cast<uint64_t>(n));
    memcpy(out, f->bytes.data() + f->pos, count);
    f->pos += count;
    return static_cast<tmsize_t>(count);
}
tmsize_t mem_write(thandle_t h, void* in, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    if (f->pos + n > f->bytes.size()) f->bytes.resize(f->pos + n);
    memcpy(f->bytes.data() + f->pos, in, static_cast<size_t>(n));
    f->pos += n;
    return n;
}
toff_t mem_seek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    f->pos = (whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->bytes.size() : 0) + off;
    return f->pos;
}
int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes.size(); }
int mem_map(thandle_t, void**, toff_t*) { return 0; }
void mem_unmap(thandle_t, void*, toff_t) {}

// A 16-bit TIFF `side` x `side`, in strips of `rows` rows that all point at
// one deflate blob of zeros.
Bytes shared_strips_tiff(uint32_t side, uint32_t rows) {
    const uint32_t strips = side / rows;
    std::vector<uint8_t> zeros(size_t{side} * rows * 2);
    uLongf blob_size = compressBound(static_cast<uLong>(zeros.size()));
    Bytes blob(blob_size);
    EXPECT_EQ(compress2(blob.data(), &blob_size, zeros.data(), static_cast<uLong>(zeros.size()), 9), Z_OK);
    blob.resize(blob_size);
    const uint32_t offsets = 8 + uint32_t(blob.size()), counts = offsets + 4 * strips, ifd = counts + 4 * strips;
    Bytes out = {'I', 'I', 42, 0};
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i))); };
    auto put16 = [&](uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    put32(ifd);
    out.insert(out.end(), blob.begin(), blob.end());
    for (uint32_t i = 0; i < strips; ++i) put32(8);
    for (uint32_t i = 0; i < strips; ++i) put32(uint32_t(blob.size()));
    const uint32_t entries[][4] = {{256, 4, 1, side}, {257, 4, 1, side}, {258, 3, 1, 16}, {259, 3, 1, 8},
                                   {262, 3, 1, 1},    {273, 4, strips, offsets},         {277, 3, 1, 1},
                                   {278, 4, 1, rows}, {279, 4, strips, counts},          {339, 3, 1, 1}};
    put16(uint16_t(std::size(entries)));
    for (const auto& e : entries) {
        put16(uint16_t(e[0]));
        put16(uint16_t(e[1]));
        put32(e[2]);
        if (e[1] == 3 && e[2] == 1) {
            put16(uint16_t(e[3]));
            put16(0);
        } else {
            put32(e[3]);
        }
    }
    put32(0);
    return out;
}

struct TiffShape {
    uint32_t width = 3, height = 2;
    uint16_t samples = 1, bits = 32, format = SAMPLEFORMAT_IEEEFP;
    uint16_t compression = COMPRESSION_NONE, predictor = 1;
    bool separate = false;
    uint32_t tile = 0;           // tile side (multiple of 16), else strips
    uint32_t rows_per_strip = 1;
    const char* nodata = nullptr;
    bool big_endian = false;
    uint32_t lerc_inside = LERC_ADD_COMPRESSION_NONE;  // LERC's blobs deflated or ZSTD'd
};

// Sample s of pixel i holds values[i] + 100 x s (so that only the first
// sample gives the expected values), written as the shape's type.
Bytes make_tiff(const TiffShape& shape, const std::vector<double>& values) {
    MemoryFile file;
    TIFF* t = TIFFClientOpen("mem", shape.big_endian ? "wb" : "wl", &file, mem_read, mem_write, mem_seek, mem_close,
                             mem_size, mem_map, mem_unmap);
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return {};
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, shape.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, shape.height);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, shape.samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, shape.bits);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, shape.format);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, shape.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, shape.compression);
    if (shape.predictor != 1) TIFFSetField(t, TIFFTAG_PREDICTOR, shape.predictor);
    if (shape.compression == COMPRESSION_LERC) TIFFSetField(t, TIFFTAG_LERC_ADD_COMPRESSION, shape.lerc_inside);
    if (shape.compression == COMPRESSION_LZMA) TIFFSetField(t, TIFFTAG_LZMAPRESET, 0);  // a small dictionary: quick
    if (shape.nodata != nullptr) {
        static const TIFFFieldInfo info = {42113, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
                                           const_cast<char*>("GDALNoDataValue")};
        TIFFMergeFieldInfo(t, &info, 1);
        TIFFSetField(t, 42113, shape.nodata);
    }
    const uint64_t bytes_per = shape.bits / 8;
    auto put = [&](uint8_t* at, double v) {
        switch (shape.format * 100 + shape.bits) {
        case 108: { uint8_t x = uint8_t(v); memcpy(at, &x, 1); break; }
        case 116: { uint16_t x = uint16_t(v); memcpy(at, &x, 2); break; }
        case 132: { uint32_t x = uint32_t(v); memcpy(at, &x, 4); break; }
        case 208: { int8_t x = int8_t(v); memcpy(at, &x, 1); break; }
        case 216: { int16_t x = int16_t(v); memcpy(at, &x, 2); break; }
        case 232: { int32_t x = int32_t(v); memcpy(at, &x, 4); break; }
        case 332: { float x = float(v); memcpy(at, &x, 4); break; }
        case 364: memcpy(at, &v, 8); break;
        }
    };
    const uint16_t planes = shape.separate ? shape.samples : 1;
    const uint16_t step = shape.separate ? 1 : shape.samples;
    if (shape.tile != 0) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, shape.tile);
        TIFFSetField(t, TIFFTAG_TILELENGTH, shape.tile);
        for (uint16_t p = 0; p < planes; ++p)
            for (uint32_t ty = 0; ty < shape.height; ty += shape.tile)
                for (uint32_t tx = 0; tx < shape.width; tx += shape.tile) {
                    Bytes tile(shape.tile * shape.tile * step * bytes_per, 0);
                    for (uint32_t y = 0; y < shape.tile && ty + y < shape.height; ++y)
                        for (uint32_t x = 0; x < shape.tile && tx + x < shape.width; ++x)
                            for (uint16_t s = 0; s < step; ++s)
                                put(&tile[((y * shape.tile + x) * step + s) * bytes_per],
                                    values[(ty + y) * shape.width + tx + x] + 100.0 * (p + s));
                    EXPECT_GE(TIFFWriteTile(t, tile.data(), tx, ty, 0, p), 0);
                }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, shape.rows_per_strip);
        for (uint16_t p = 0; p < planes; ++p)
            for (uint32_t y = 0; y < shape.height; ++y) {
                Bytes row((shape.width * step * shape.bits + 7) / 8);
                for (uint32_t x = 0; x < shape.width; ++x)
                    for (uint16_t s = 0; s < step; ++s)
                        put(&row[(x * step + s) * bytes_per], values[y * shape.width + x] + 100.0 * (p + s));
                EXPECT_EQ(TIFFWriteScanline(t, row.data(), y, p), 1);
            }
    }
    TIFFClose(t);
    return file.bytes;
}

TEST(GridFormats, TiffSampleTypesLayoutsAndCompressions) {
    const std::vector<double> values = {1, 2, 3, 4, 5, 6};
    const struct {
        uint16_t format, bits;
        SampleType type;
    } types[] = {
        {SAMPLEFORMAT_UINT, 8, SampleType::u8},     {SAMPLEFORMAT_UINT, 16, SampleType::u16},
        {SAMPLEFORMAT_UINT, 32, SampleType::u32},   {SAMPLEFORMAT_INT, 8, SampleType::i8},
        {SAMPLEFORMAT_INT, 16, SampleType::i16},    {SAMPLEFORMAT_INT, 32, SampleType::i32},
        {SAMPLEFORMAT_IEEEFP, 32, SampleType::f32}, {SAMPLEFORMAT_IEEEFP, 64, SampleType::f64},
    };
    for (const auto& type : types) {
        for (int layout = 0; layout < 6; ++layout) {
            TiffShape shape;
            shape.format = type.format;
            shape.bits = type.bits;
            shape.samples = layout >= 2 ? 2 : 1;
            shape.separate = layout == 3 || layout == 5;
            shape.tile = layout >= 4 ? 16 : 0;
            shape.rows_per_strip = layout == 1 ? 2 : 1;
            shape.compression = layout % 2 == 0 ? COMPRESSION_ADOBE_DEFLATE : layout == 1 ? COMPRESSION_LZW
                                                                                          : COMPRESSION_NONE;
            shape.big_endian = layout == 2;
            const std::string what = std::to_string(type.bits) + "-bit format " + std::to_string(type.format) +
                                     ", layout " + std::to_string(layout);
            Read r = read("a.tif", make_tiff(shape, values));
            ASSERT_EQ(r.error, GridError::none) << what << ": " << r.detail;
            EXPECT_EQ(format_name(r.grid.format), "TIFF");
            EXPECT_EQ(r.grid.type, type.type) << what;
            EXPECT_EQ(r.grid.channels, shape.samples) << what;
            EXPECT_EQ(r.grid.width, 3u);
            EXPECT_EQ(r.grid.height, 2u);
            // 16 bits at most as they are; 32-bit integers and doubles exact.
            const bool narrow = type.type == SampleType::u8 || type.type == SampleType::u16;
            const bool wide = type.bits == 64 || (type.bits == 32 && type.format != SAMPLEFORMAT_IEEEFP);
            ASSERT_EQ(r.grid.u16 != nullptr, narrow) << what;
            ASSERT_EQ(r.grid.f64 != nullptr, wide) << what;
            std::vector<double> got;
            for (size_t i = 0; i < 6; ++i) got.push_back(grid_value(r.grid, i));
            EXPECT_EQ(got, values) << what;
            release_grid(&r.grid);
        }
    }
}

TEST(GridFormats, TiffFloatsWithPredictorAndNoData) {
    TiffShape shape;
    shape.compression = COMPRESSION_ADOBE_DEFLATE;
    shape.predictor = PREDICTOR_FLOATINGPOINT;
    shape.nodata = "-3.4028234663852886e+38";
    shape.rows_per_strip = 2;
    Read r = read("dem.tif", make_tiff(shape, {0.25, -3.4028234663852886e+38, 1e-3, 7.5, NAN, 1200}));
    ASSERT_EQ(r.error, GridError::none) << r.detail;
    EXPECT_EQ(r.grid.voids, 2u);
    EXPECT_TRUE(std::isnan(r.grid.f32[1]));
    EXPECT_EQ(r.grid.f32[2], 1e-3f);
    EXPECT_EQ(r.grid.lowest, 1e-3f);
    EXPECT_EQ(r.grid.highest, 1200);
    release_grid(&r.grid);

    // On 16-bit integers the no-data value makes the grid floats with voids.
    shape = TiffShape{};
    shape.format = SAMPLEFORMAT_UINT;
    shape.bits = 16;
    shape.nodata = " 65535 ";
    Read u = read("dem.tif", make_tiff(shape, {65535, 0, 9, 9, 65535, 65534}));
    ASSERT_EQ(u.error, GridError::none) << u.detail;
    ASSERT_NE(u.grid.f32, nullptr);
    EXPECT_EQ(u.grid.voids, 2u);
    EXPECT_EQ(u.grid.highest, 65534);
    release_grid(&u.grid);

    shape.nodata = "nan";  // a no-data value that is no number of the file's
    Read n = read("dem.tif", make_tiff(shape, {65535, 0, 9, 9, 65535, 65534}));
    ASSERT_EQ(n.error, GridError::none) << n.detail;
    EXPECT_EQ(n.grid.voids, 0u);
    release_grid(&n.grid);

    // GDAL's -9999.9 is no float: a float sample is a void when it is the
    // float the value rounds to, whatever strip or tile it comes from.
    for (uint32_t tile : {0u, 16u}) {
        shape = TiffShape{};
        shape.nodata = "-9999.9";
        shape.tile = tile;
        Read f = read("dem.tif", make_tiff(shape, {-9999.9, 10, 20, -9999.9, 30, -9999.8}));
        ASSERT_EQ(f.error, GridError::none) << f.detail;
        EXPECT_EQ(f.grid.voids, 2u) << tile;
        EXPECT_EQ(f.grid.lowest, -9999.8f) << tile;
        EXPECT_EQ(f.grid.highest, 30) << tile;
        release_grid(&f.grid);
    }
}

TEST(GridFormats, Tiff32BitIntegersAndDoublesStayExact) {
    // GDAL's no-data values of 32-bit integers, compared as integers: no
    // float holds 4294967295 or -2147483647, and a float near them is no void.
    TiffShape shape;
    shape.format = SAMPLEFORMAT_UINT;
    shape.nodata = "4294967295";
    Read u = read("u.tif", make_tiff(shape, {4294967295.0, 500, 4294967294.0, 700, 4294967295.0, 600}));
    ASSERT_EQ(u.error, GridError::none) << u.detail;
    EXPECT_EQ(u.grid.voids, 2u);
    EXPECT_EQ(u.grid.lowest, 500);
    EXPECT_EQ(u.grid.highest, 4294967294.0);
    release_grid(&u.grid);
    shape.format = SAMPLEFORMAT_INT;
    shape.nodata = "-2147483647";
    Read i = read("i.tif", make_tiff(shape, {-2147483647.0, 500, -2147483648.0, 700, 1, 2}));
    ASSERT_EQ(i.error, GridError::none) << i.detail;
    EXPECT_EQ(i.grid.voids, 1u);
    EXPECT_EQ(i.grid.lowest, -2147483648.0);
    release_grid(&i.grid);
    // A no-data value that is none of the type's values makes no void.
    shape.format = SAMPLEFORMAT_UINT;
    shape.nodata = "-1";
    Read none = read("n.tif", make_tiff(shape, {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(none.grid.voids, 0u);
    release_grid(&none.grid);

    // Values 6 apart above 10^8 keep their distances (floats are 8 apart there).
    shape = TiffShape{};
    shape.format = SAMPLEFORMAT_UINT;
    std::vector<double> steps;
    for (int k = 0; k < 6; ++k) steps.push_back(100000000.0 + 6 * k);
    Read s = read("s.tif", make_tiff(shape, steps));
    ASSERT_EQ(s.error, GridError::none);
    EXPECT_EQ(std::vector<double>(s.grid.f64, s.grid.f64 + 6), steps);
    EXPECT_EQ(s.grid.highest, 100000030.0);
    release_grid(&s.grid);
    shape.format = SAMPLEFORMAT_IEEEFP;
    shape.bits = 64;
    shape.nodata = "1e300";
    Read d = read("d.tif", make_tiff(shape, {1e300, 1e-300, 0.1, 1e200, 5, 6}));
    ASSERT_EQ(d.error, GridError::none);
    EXPECT_EQ(d.grid.voids, 1u);
    EXPECT_EQ(d.grid.f64[2], 0.1);
    EXPECT_EQ(d.grid.highest, 1e200);  // no float holds it; no void either
    release_grid(&d.grid);
}

TEST(GridFormats, TiffRefusals) {
    TiffShape shape;
    shape.rows_per_strip = 2;
    const Bytes good = make_tiff(shape, {1, 2, 3, 4, 5, 6});
    // Cut inside the pixels (the directory follows them, so cut that off
    // too and keep only the header: a cut before the directory).
    Bytes cut(good.begin(), good.begin() + 12);
    EXPECT_EQ(read("a.tif", cut).error, GridError::truncated);
    // The strip's offset moved past the end of the file.
    Bytes moved = good;
    {
        MemoryFile file{moved};
        TIFF* tiff = TIFFClientOpen("mem", "r+", &file, mem_read, mem_write, mem_seek, mem_close, mem_size,
                                    mem_map, mem_unmap);
        ASSERT_NE(tiff, nullptr);
        const uint64_t offset = TIFFGetStrileOffset(tiff, 0);
        TIFFClose(tiff);
        // Rewrite the strip offset where it is stored: a 32-bit word equal to it.
        for (size_t i = 8; i + 4 <= moved.size(); i += 2) {
            uint32_t w;
            memcpy(&w, &moved[i], 4);
            if (w == offset && i != 4) {
                const uint32_t far = uint32_t(moved.size());
                memcpy(&moved[i], &far, 4);
                break;
            }
        }
    }
    EXPECT_EQ(read("a.tif", moved).error, GridError::truncated);

    // Every strip pointing at one small deflate blob: counted once, its
    // bytes cannot hold 16384 x 16384 pixels, refused before any is decoded.
    EXPECT_EQ(read("bomb.tif", shared_strips_tiff(16384, 64)).error, GridError::shared_blocks);
    // Shared strips whose bytes can hold what they claim are read.
    Read shared = read("shared.tif", shared_strips_tiff(16, 8));
    ASSERT_EQ(shared.error, GridError::none) << shared.detail;
    EXPECT_EQ(shared.grid.highest, 0);
    release_grid(&shared.grid);

    shape.bits = 16;
    shape.format = SAMPLEFORMAT_IEEEFP;  // half floats
    EXPECT_EQ(read("a.tif", make_tiff(shape, {1, 2, 3, 4, 5, 6})).error, GridError::unsupported_sample);
    shape.bits = 1;
    shape.format = SAMPLEFORMAT_UINT;
    shape.width = 8;
    shape.height = 1;
    EXPECT_EQ(read("a.tif", make_tiff(shape, {1, 0, 1, 0, 1, 0, 1, 0})).error, GridError::unsupported_sample);

    shape = TiffShape{};
    shape.width = 65536;
    shape.height = 1;
    shape.bits = 8;
    shape.format = SAMPLEFORMAT_UINT;
    shape.compression = COMPRESSION_ADOBE_DEFLATE;
    EXPECT_EQ(read("a.tif", make_tiff(shape, std::vector<double>(65536, 1))).error, GridError::too_large);

    // A directory without strip offsets: libtiff's own refusal, named.
    const Bytes header = {'I', 'I', 42, 0, 8, 0, 0, 0,  2, 0,
                          0, 1, 4, 0, 1, 0, 0, 0, 3, 0, 0, 0,   // ImageWidth 3
                          1, 1, 4, 0, 1, 0, 0, 0, 2, 0, 0, 0,   // ImageLength 2
                          0, 0, 0, 0};
    Read none = read("a.tif", header);
    EXPECT_EQ(none.error, GridError::no_pixel_data) << none.detail;
    // Garbage after a TIFF signature: libtiff's text comes as the detail,
    // in either byte order (a classic big-endian TIFF is no BigTIFF).
    for (const Bytes& bytes : {Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3},
                               Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0xFF, 0xFF, 1, 2, 3}}) {
        Read garbage = read("a.tif", bytes);
        EXPECT_EQ(garbage.error, GridError::corrupt) << bytes[0];
        EXPECT_FALSE(garbage.detail.empty());
    }
    // A BigTIFF cut before its first directory, in either byte order.
    EXPECT_EQ(read("a.tif", {'M', 'M', 0, 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16}).error, GridError::truncated);
    EXPECT_EQ(read("a.tif", {'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0}).error, GridError::truncated);
}

// The compressions of elevation data (GDAL's, cloud-optimized GeoTIFFs'),
// with the predictor each takes, on heights with a sea: every value back
// exactly, from strips, tiles and separate planes.
TEST(GridFormats, TiffCompressionsOfElevationData) {
    const struct {
        uint16_t compression;
        uint32_t lerc_inside;
        const char* name;
    } compressions[] = {
        {COMPRESSION_ZSTD, 0, "ZSTD"},
        {COMPRESSION_LZMA, 0, "LZMA"},
        {COMPRESSION_LERC, LERC_ADD_COMPRESSION_NONE, "LERC"},
        {COMPRESSION_LERC, LERC_ADD_COMPRESSION_DEFLATE, "LERC with Deflate"},
        {COMPRESSION_LERC, LERC_ADD_COMPRESSION_ZSTD, "LERC with ZSTD"},
    };
    const struct {
        uint16_t format, bits;
    } types[] = {{SAMPLEFORMAT_UINT, 16}, {SAMPLEFORMAT_INT, 16}, {SAMPLEFORMAT_INT, 32},
                 {SAMPLEFORMAT_IEEEFP, 32}, {SAMPLEFORMAT_IEEEFP, 64}};
    for (const auto& c : compressions) {
        for (const auto& type : types) {
            const bool floats = type.format == SAMPLEFORMAT_IEEEFP;
            std::vector<double> values;
            for (int i = 0; i < 37 * 21; ++i) {
                const double v = (i * 37 % 3300) - (type.format == SAMPLEFORMAT_UINT ? 0 : 476);
                values.push_back(floats ? v + (i % 4) * 0.25 : v);
            }
            for (int layout = 0; layout < 3; ++layout) {
                TiffShape shape;
                shape.width = 37;
                shape.height = 21;
                shape.format = type.format;
                shape.bits = type.bits;
                shape.compression = c.compression;
                shape.lerc_inside = c.lerc_inside;
                // LERC takes no predictor; the others horizontal differences
                // of integers and floating point's byte planes.
                if (layout == 0 && c.compression != COMPRESSION_LERC) shape.predictor = floats ? 3 : 2;
                shape.rows_per_strip = 4;             // the last strip short
                shape.tile = layout == 1 ? 16 : 0;    // the edge tiles partly outside
                shape.samples = layout == 2 ? 2 : 1;  // the second plane never read
                shape.separate = layout == 2;
                const std::string what = std::string(c.name) + ", " + std::to_string(type.bits) + "-bit format " +
                                         std::to_string(type.format) + ", layout " + std::to_string(layout);
                Read r = read("dem.tif", make_tiff(shape, values));
                ASSERT_EQ(r.error, GridError::none) << what << ": " << r.detail;
                std::vector<double> got;
                for (size_t i = 0; i < values.size(); ++i) got.push_back(grid_value(r.grid, i));
                EXPECT_EQ(got, values) << what;
                release_grid(&r.grid);
            }
        }
    }
    // A sea: one value over a whole 512 px tile, which these store in a few
    // dozen bytes (LERC in its header alone), is read, not taken for a file
    // cut short.
    for (const auto& c : compressions) {
        TiffShape shape;
        shape.width = shape.height = shape.tile = 512;
        shape.compression = c.compression;
        shape.lerc_inside = c.lerc_inside;
        const Bytes file = make_tiff(shape, std::vector<double>(512 * 512, -2.5));
        EXPECT_LT(file.size(), 1024u) << c.name;
        Read r = read("sea.tif", file);
        ASSERT_EQ(r.error, GridError::none) << c.name << ": " << r.detail;
        EXPECT_EQ(r.grid.lowest, -2.5);
        EXPECT_EQ(r.grid.highest, -2.5);
        release_grid(&r.grid);
    }
    // LERC keeps voids in a mask of its own: they come back as voids.
    TiffShape shape;
    shape.compression = COMPRESSION_LERC;
    shape.tile = 16;
    Read r = read("dem.tif", make_tiff(shape, {-3.5, NAN, 0, 8, NAN, 2779}));
    ASSERT_EQ(r.error, GridError::none) << r.detail;
    EXPECT_EQ(r.grid.voids, 2u);
    EXPECT_TRUE(std::isnan(r.grid.f32[4]));
    EXPECT_EQ(r.grid.lowest, -3.5);
    EXPECT_EQ(r.grid.highest, 2779);
    release_grid(&r.grid);
}

// A compression hmap does not read (lossy, or for pictures) is named, and
// one without a name given its number; never "Damaged file".
TEST(GridFormats, TiffCompressionsNotReadAreNamed) {
    TiffShape shape;
    shape.tile = 16;
    const Bytes plain = make_tiff(shape, {1, 2, 3, 4, 5, 6});
    // The Compression entry of the directory (tag 259, a SHORT in place).
    const uint32_t directory = plain[4] | plain[5] << 8 | plain[6] << 16 | uint32_t(plain[7]) << 24;
    size_t at = 0;
    for (uint32_t e = 0, count = plain[directory] | plain[directory + 1] << 8; e < count; ++e) {
        const size_t entry = directory + 2 + 12 * e;
        if ((plain[entry] | plain[entry + 1] << 8) == TIFFTAG_COMPRESSION) at = entry + 8;
    }
    ASSERT_NE(at, 0u);
    const struct {
        uint16_t compression;
        const char* detail;
    } cases[] = {
        {COMPRESSION_JPEG, "JPEG compression"},
        {COMPRESSION_OJPEG, "old-style JPEG compression"},
        {COMPRESSION_WEBP, "WebP compression"},
        {COMPRESSION_JBIG, "JBIG compression"},
        {COMPRESSION_JXL, "JPEG XL compression"},
        {60000, "an unknown compression (number 60000)"},
    };
    for (const auto& c : cases) {
        Bytes file = plain;
        file[at] = uint8_t(c.compression);
        file[at + 1] = uint8_t(c.compression >> 8);
        Read r = read("a.tif", file);
        EXPECT_EQ(r.error, GridError::unsupported_compression) << c.detail;
        EXPECT_EQ(r.detail, c.detail);
    }
}

}  // namespace

namespace {

// An uncompressed OpenEXR file made by hand: the header's attributes, the
// offset table and the chunks, one scan line each or tiles of `tile` pixels.
struct ExrChannel {
    std::string name;
    int type;  // 1 half, 2 float, 0 uint
    int sampling = 1;
};

void put_i32(Bytes& out, int32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(uint32_t(v) >> (8 * i)));
}
void put_attr(Bytes& out, const char* name, const char* type, const Bytes& value) {
    out.insert(out.end(), name, name + strlen(name) + 1);
    out.insert(out.end(), type, type + strlen(type) + 1);
    put_i32(out, int32_t(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}
uint16_t half_of(float f) {  // exact for the small values the tests use
    uint32_t w;
    memcpy(&w, &f, 4);
    if ((w & 0x7FFFFFFF) == 0) return uint16_t(w >> 16);
    const int exponent = int((w >> 23) & 0xFF) - 127 + 15;
    return uint16_t(((w >> 16) & 0x8000) | (exponent << 10) | ((w >> 13) & 0x3FF));
}

// Channel c of pixel (x, y) holds value(x, y) + 10 x c; channels must come
// sorted by name, as the format keeps them.
Bytes make_exr(uint32_t w, uint32_t h, const std::vector<ExrChannel>& channels, uint32_t tile,
               float (*value)(uint32_t, uint32_t), int32_t x_origin = -3, int32_t y_origin = 5) {
    Bytes out = {0x76, 0x2F, 0x31, 0x01, 2, uint8_t(tile != 0 ? 2 : 0), 0, 0};
    Bytes list;
    for (const auto& c : channels) {
        list.insert(list.end(), c.name.begin(), c.name.end());
        list.push_back(0);
        put_i32(list, c.type);
        list.insert(list.end(), {0, 0, 0, 0});
        put_i32(list, c.sampling);
        put_i32(list, c.sampling);
    }
    list.push_back(0);
    put_attr(out, "channels", "chlist", list);
    put_attr(out, "compression", "compression", {0});
    Bytes box;
    for (int32_t v : {x_origin, y_origin, x_origin + int32_t(w) - 1, y_origin + int32_t(h) - 1}) put_i32(box, v);
    put_attr(out, "dataWindow", "box2i", box);
    put_attr(out, "displayWindow", "box2i", box);
    put_attr(out, "lineOrder", "lineOrder", {0});
    put_attr(out, "pixelAspectRatio", "float", {0, 0, 0x80, 0x3F});
    put_attr(out, "screenWindowCenter", "v2f", Bytes(8, 0));
    put_attr(out, "screenWindowWidth", "float", {0, 0, 0x80, 0x3F});
    if (tile != 0) {
        Bytes desc;
        put_i32(desc, int32_t(tile));
        put_i32(desc, int32_t(tile));
        desc.push_back(0);
        put_attr(out, "tiles", "tiledesc", desc);
    }
    out.push_back(0);
    // Chunks: (x0, y0, width, height) in pixels of the data window.
    std::vector<std::array<uint32_t, 4>> chunks;
    if (tile == 0) {
        for (uint32_t y = 0; y < h; ++y) chunks.push_back({0, y, w, 1});
    } else {
        for (uint32_t ty = 0; ty < h; ty += tile)
            for (uint32_t tx = 0; tx < w; tx += tile) chunks.push_back({tx, ty, std::min(tile, w - tx), std::min(tile, h - ty)});
    }
    const size_t table = out.size();
    out.resize(table + 8 * chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
        const uint64_t at = out.size();
        memcpy(&out[table + 8 * i], &at, 8);
        const auto [x0, y0, cw, ch] = chunks[i];
        if (tile != 0) {
            put_i32(out, int32_t(x0 / tile));
            put_i32(out, int32_t(y0 / tile));
            put_i32(out, 0);
            put_i32(out, 0);
        } else {
            put_i32(out, y_origin + int32_t(y0));
        }
        Bytes data;
        for (uint32_t y = y0; y < y0 + ch; ++y)
            for (size_t c = 0; c < channels.size(); ++c)
                for (uint32_t x = x0; x < x0 + cw; ++x) {
                    const float v = value(x, y) + 10.0f * float(c);
                    if (channels[c].type == 1) {
                        const uint16_t half = half_of(v);
                        data.insert(data.end(), {uint8_t(half), uint8_t(half >> 8)});
                    } else {
                        put_f32(data, v, true);
                    }
                }
        put_i32(out, int32_t(data.size()));
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

float ramp(uint32_t x, uint32_t y) { return float(x) * 0.5f - float(y) * 0.25f; }

TEST(GridFormats, ExrChannelChoiceTypesAndLayouts) {
    const struct {
        std::vector<ExrChannel> channels;
        float offset;  // the chosen channel's, 10 x its index
        uint32_t tile;
        SampleType type;
    } cases[] = {
        {{{"Y", 1}}, 0, 0, SampleType::f16},
        {{{"B", 2}, {"G", 2}, {"R", 2}}, 20, 0, SampleType::f32},
        {{{"A", 1}, {"R", 2}, {"Y", 1}}, 20, 0, SampleType::f16},
        {{{"height", 2}}, 0, 4, SampleType::f32},
        {{{"B", 1}, {"G", 1}, {"R", 1}}, 20, 4, SampleType::f16},
    };
    for (const auto& c : cases) {
        Read r = read("a.exr", make_exr(7, 6, c.channels, c.tile, ramp));
        ASSERT_EQ(r.error, GridError::none) << c.channels.size() << " " << c.tile << ": " << r.detail;
        EXPECT_EQ(format_name(r.grid.format), "OpenEXR");
        EXPECT_EQ(r.grid.type, c.type);
        EXPECT_EQ(r.grid.channels, c.channels.size());
        ASSERT_EQ(r.grid.width, 7u);
        ASSERT_EQ(r.grid.height, 6u);
        for (uint32_t y = 0; y < 6; ++y)
            for (uint32_t x = 0; x < 7; ++x) EXPECT_EQ(r.grid.f32[y * 7 + x], ramp(x, y) + c.offset) << x << "," << y;
        release_grid(&r.grid);
    }
}

TEST(GridFormats, ExrRefusals) {
    EXPECT_EQ(read("a.exr", make_exr(4, 4, {{"G", 1}, {"B", 1}}, 0, ramp)).error, GridError::no_usable_channel);
    { Read s = read("a.exr", make_exr(4, 4, {{"Y", 1, 2}}, 0, ramp, 0, 0)); EXPECT_EQ(s.error, GridError::no_usable_channel) << s.detail; }
    EXPECT_EQ(read("a.exr", make_exr(4, 4, {{"Y", 0}}, 0, ramp)).error, GridError::unsupported_sample);
    Bytes cut = make_exr(4, 4, {{"Y", 2}}, 0, ramp);
    cut.resize(cut.size() - 20);
    { Read s = read("a.exr", cut); EXPECT_EQ(s.error, GridError::truncated) << s.detail; }
    Read damaged = read("a.exr", {0x76, 0x2F, 0x31, 0x01, 2, 0, 0, 0, 'x', 0});
    EXPECT_EQ(damaged.error, GridError::corrupt);
    EXPECT_FALSE(damaged.detail.empty());
    // A data window wider than any heightmap, refused before its pixels.
    Bytes wide = make_exr(1, 1, {{"Y", 2}}, 0, ramp);
    const uint8_t window[] = {'d', 'a', 't', 'a', 'W', 'i', 'n', 'd', 'o', 'w', 0};
    auto at = std::search(wide.begin(), wide.end(), std::begin(window), std::end(window));
    ASSERT_NE(at, wide.end());
    const size_t max_x = size_t(at - wide.begin()) + sizeof window + 6 + 4 + 8;  // "box2i\0", size, min x and y
    const int32_t far = -3 + 65536;
    memcpy(&wide[max_x], &far, 4);
    EXPECT_EQ(read("a.exr", wide).error, GridError::too_large);
}

}  // namespace

// Asked for 16-bit samples only, a file of any other kind is refused from
// its header: image data that would not even decode is never touched.
TEST(GridFormats, SamplesOnlyRefusedFromTheHeaderBeforeAnyPixel) {
    GridHints only;
    only.samples_only = true;
    TiffShape shape;
    shape.format = SAMPLEFORMAT_UINT;
    shape.bits = 8;
    shape.compression = COMPRESSION_ADOBE_DEFLATE;
    Bytes tiff = make_tiff(shape, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(read("a.tif", tiff, only).error, GridError::needs_mapping);
    const struct {
        const char* path;
        Bytes bytes;
        SampleType type;
    } cases[] = {
        // Its deflate data garbage, past the header.
        {"u8.png", test_png::png_of_stream(4, 2, 8, 0, {0x78, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}), SampleType::u8},
        {"f.pfm", pfm("Pf\n2 1\n-1.0\n", {1, 2}, true), SampleType::f32},
        {"m.hgt", Bytes(2 * 9, 0xFF), SampleType::i16},
        {"f.r32", Bytes(4 * 4), SampleType::f32},
        {"e.exr", make_exr(2, 2, {{"Y", 2}}, 0, ramp), SampleType::f32},
    };
    for (const auto& c : cases) {
        Read r = read(c.path, c.bytes, only);
        EXPECT_EQ(r.error, GridError::needs_mapping) << c.path;
        EXPECT_EQ(r.grid.type, c.type) << c.path;
    }
    // A damaged first strip (libtiff writes it right after the header) is
    // refused when read, and never decoded when the header decides.
    for (size_t i = 8; i < 12; ++i) tiff[i] ^= 0x5A;
    EXPECT_EQ(read("a.tif", tiff).error, GridError::corrupt);
    EXPECT_EQ(read("a.tif", tiff, only).error, GridError::needs_mapping);
    // 16-bit samples are read as ever.
    Read r16 = read("a.png", test_png::grey16(2, 1, {7, 9}, -1), only);
    ASSERT_EQ(r16.error, GridError::none);
    EXPECT_EQ(u16_of(r16.grid), (std::vector<uint16_t>{7, 9}));
    release_grid(&r16.grid);
}

namespace {

// take_grid on a copy of `bytes` in a buffer of its own: the grid, and
// whether it was built in that buffer.
Read take(const char* path, const Bytes& bytes, bool* in_place) {
    FileBytes file{allocate_buffer(bytes.size()), bytes.size()};
    memcpy(file.data, bytes.data(), bytes.size());
    const uint8_t* block = file.data;
    Read r{};
    r.error = take_grid(path, &file, GridHints{}, &r.grid);
    EXPECT_EQ(file.data, nullptr);
    *in_place = r.grid.f32 == reinterpret_cast<const float*>(block) ||
                r.grid.u16 == reinterpret_cast<const uint16_t*>(block) ||
                r.grid.f64 == reinterpret_cast<const double*>(block);
    return r;
}

TEST(GridFormats, TakenFilesBuildTheGridInPlaceWhereTheyCan) {
    const std::vector<double> values = {1.5, -2, 3, 4e4, 5, -6.25, 7, 8, 9};
    const struct {
        uint16_t compression;
        bool big_endian;
        uint32_t rows_per_strip;
        const char* nodata;
        bool in_place;
    } cases[] = {
        {COMPRESSION_NONE, false, 1, nullptr, true},
        {COMPRESSION_NONE, true, 2, nullptr, true},
        {COMPRESSION_NONE, false, 3, "-6.25", true},
        {COMPRESSION_ADOBE_DEFLATE, false, 1, nullptr, false},
    };
    for (const auto& c : cases) {
        TiffShape shape;
        shape.width = shape.height = 3;
        shape.compression = c.compression;
        shape.big_endian = c.big_endian;
        shape.rows_per_strip = c.rows_per_strip;
        shape.nodata = c.nodata;
        bool in_place = false;
        Read r = take("a.tif", make_tiff(shape, values), &in_place);
        ASSERT_EQ(r.error, GridError::none);
        EXPECT_EQ(in_place, c.in_place) << c.compression << " " << c.big_endian;
        for (size_t i = 0; i < values.size(); ++i) {
            if (c.nodata != nullptr && values[i] == -6.25) EXPECT_TRUE(std::isnan(r.grid.f32[i]));
            else EXPECT_EQ(r.grid.f32[i], float(values[i])) << i;
        }
        release_grid(&r.grid);
    }
    // Doubles too, swapped in place from either byte order.
    for (bool big_endian : {false, true}) {
        TiffShape shape;
        shape.width = shape.height = 3;
        shape.bits = 64;
        shape.big_endian = big_endian;
        bool in_place = false;
        Read r = take("a.tif", make_tiff(shape, values), &in_place);
        ASSERT_EQ(r.error, GridError::none);
        EXPECT_TRUE(in_place);
        EXPECT_EQ(std::vector<double>(r.grid.f64, r.grid.f64 + 9), values) << big_endian;
        release_grid(&r.grid);
    }
    Bytes raw;
    for (uint16_t v : {9, 8, 7, 6}) put_le16(raw, v);
    bool in_place = false;
    Read r = take("a.r16", raw, &in_place);
    ASSERT_EQ(r.error, GridError::none);
    EXPECT_TRUE(in_place);
    EXPECT_EQ(u16_of(r.grid), (std::vector<uint16_t>{9, 8, 7, 6}));
    release_grid(&r.grid);
    // Swapped where they lie from an ENVI header's other byte order; after
    // a header offset, into a grid of their own.
    for (uint64_t offset : {0, 2}) {
        Bytes big(offset, 0xEE);
        for (uint16_t v : {9, 8, 7, 6}) big.insert(big.end(), {uint8_t(v >> 8), uint8_t(v)});
        FileBytes file{allocate_buffer(big.size()), big.size()};
        memcpy(file.data, big.data(), big.size());
        const uint8_t* block = file.data;
        GridHints hints;
        hints.raw = {2, 2, offset, SampleType::u16, true, false, 0};
        Grid grid;
        ASSERT_EQ(take_grid("a.r16", &file, hints, &grid), GridError::none);
        EXPECT_EQ(grid.u16 == reinterpret_cast<const uint16_t*>(block), offset == 0);
        EXPECT_EQ(u16_of(grid), (std::vector<uint16_t>{9, 8, 7, 6}));
        release_grid(&grid);
    }
    // Refused after being built in place: the block is released once.
    Bytes voids;
    for (int i = 0; i < 4; ++i) put_f32(voids, NAN, true);
    EXPECT_EQ(take("a.r32", voids, &in_place).error, GridError::no_valid_value);
}

}  // namespace
