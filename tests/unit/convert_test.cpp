// The convert command's steps on grids made in memory: heights typed,
// values mapped to samples, voids filled, axes resampled. The writers'
// files are checked end to end, against inputs other programs made.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <vector>

#include "battle_builder.h"
#include "convert.h"
#include "convert_steps.h"
#include "scratch_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

Grid float_grid(uint32_t width, uint32_t height, std::vector<float>& values) {
    Grid grid{};
    grid.width = width;
    grid.height = height;
    grid.f32 = values.data();
    grid.type = SampleType::f32;
    return grid;
}

std::vector<double> row_of(RowSource& source, uint32_t y) {
    std::vector<double> row(source.width);
    source_values(source, y, row.data());
    return row;
}

}  // namespace

TEST(ConvertHeights, TypedHeights) {
    int64_t v = 0;
    EXPECT_TRUE(parse_height("-50", &v));
    EXPECT_EQ(v, -50);
    EXPECT_TRUE(parse_height("+999999", &v));
    EXPECT_EQ(v, 999999);
    // Any length: the range checks say what is wrong with a height too far out.
    EXPECT_TRUE(parse_height("-2147483647", &v));
    EXPECT_EQ(v, -2147483647);
    for (const char* bad : {"", "-", "1.5", "1e3", "0x10", "2147483648", " 5", "5 "}) EXPECT_FALSE(parse_height(bad, &v)) << bad;
    // In LOW's place, anything written as a number is a height, never a map's name.
    for (const char* number : {"1234567", "-50.5", "+3", ".5", "1e3", "-0"}) EXPECT_TRUE(looks_like_number(number)) << number;
    for (const char* name : {"map.prj", "", "-", "1map.prj", "x1"}) EXPECT_FALSE(looks_like_number(name)) << name;
}

// A mapping of values to heights fitted between `low` and `high`.
SampleMapping fitted(int64_t low, int64_t high, double lowest, double highest, int32_t sea_level) {
    return SampleMapping{MappingKind::fitted, low, high, lowest, highest, 0, sea_level};
}

TEST(ConvertHeights, MappingRoundsHalvesAwayFromZeroAndAddsTheSeaLevel) {
    // Heights -3 to 0 over values 0 to 6: v = 1 gives -2.5, rounded to -3;
    // v = 3 gives -1.5, rounded to -2; v = 5 gives -0.5, rounded to -1.
    SampleMapping m = fitted(-3, 0, 0.0, 6.0, 3);
    EXPECT_EQ(map_value(m, 0), 0);
    EXPECT_EQ(map_value(m, 1), 0);
    EXPECT_EQ(map_value(m, 3), 1);
    EXPECT_EQ(map_value(m, 5), 2);
    EXPECT_EQ(map_value(m, 6), 3);
    // Positive halves go up; the extremes land exactly on LOW and HIGH.
    SampleMapping up = fitted(100, 65535, -1.0, 1.0, 0);
    EXPECT_EQ(map_value(up, -1.0), 100);
    EXPECT_EQ(map_value(up, 1.0), 65535);
    SampleMapping half = fitted(0, 1, 0.0, 4.0, 0);
    EXPECT_EQ(map_value(half, 2.0), 1);
    // A flat input: LOW everywhere.
    SampleMapping flat = fitted(7, 900, 3.0, 3.0, 10);
    EXPECT_EQ(map_value(flat, 3.0), 17);
    // Unmapped: samples as they are, a filled void rounded; their heights
    // the samples less the sea level.
    SampleMapping none{MappingKind::samples, 0, 0, 0, 0, 0, 500};
    EXPECT_EQ(map_value(none, 65535.0), 65535);
    EXPECT_EQ(map_value(none, 41.5), 42);
    int32_t heights[2];
    const double samples[2] = {500, 41.5};
    map_heights(none, samples, 2, heights);
    EXPECT_EQ(heights[0], 0);
    EXPECT_EQ(heights[1], 42 - 500);
    // Scaled: 0 stays 0, halves away from zero both ways, held within the
    // range the values make (a value changed under a view stays inside it).
    SampleMapping sea{MappingKind::scaled, -50, 100, 0, 0, 0.5, 0};
    const double values[6] = {0, 3, -3, 200, -101, NAN};
    int32_t scaled[6];
    map_heights(sea, values, 6, scaled);
    EXPECT_EQ(std::vector<int32_t>(scaled, scaled + 6), (std::vector<int32_t>{0, 2, -2, 100, -50, -50}));
    // A battle file's heightmap out as it is: its heights may span more
    // than 32 bits hold, and each stays itself.
    SampleMapping wide = fitted(-2000000000, 2000000000, -2000000000.0, 2000000000.0, 0);
    const double kept[3] = {-2000000000.0, 7.0, 2000000000.0};
    int32_t same[3];
    map_heights(wide, kept, 3, same);
    EXPECT_EQ(std::vector<int32_t>(same, same + 3), (std::vector<int32_t>{-2000000000, 7, 2000000000}));
}

TEST(ConvertVoids, FilledFromTheValidPixelsAroundThem) {
    // A ramp 0..99 across, with a hole in the middle and a whole void row.
    const uint32_t w = 100, h = 60;
    std::vector<float> v(w * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) v[y * w + x] = static_cast<float>(x);
    std::vector<float> original = v;
    for (uint32_t y = 20; y < 40; ++y)
        for (uint32_t x = 30; x < 70; ++x) v[y * w + x] = NAN;
    for (uint32_t x = 0; x < w; ++x) v[5 * w + x] = NAN;
    ASSERT_TRUE(fill_voids(v.data(), w, h));
    for (uint32_t i = 0; i < w * h; ++i) {
        ASSERT_FALSE(std::isnan(v[i])) << i;
        const uint32_t x = i % w, y = i / w;
        const bool was_void = y == 5 || (y >= 20 && y < 40 && x >= 30 && x < 70);
        if (!was_void) {
            EXPECT_EQ(v[i], original[i]);
        } else {
            // Between the values around it, and following the ramp.
            EXPECT_GE(v[i], 0.0f);
            EXPECT_LE(v[i], 99.0f);
            EXPECT_NEAR(v[i], original[i], 25.0f) << x << "," << y;
        }
    }
    // The middle of the hole lies between its two sides.
    EXPECT_GT(v[30 * w + 35], v[30 * w + 30]);
    EXPECT_LT(v[30 * w + 35], v[30 * w + 69]);
}

TEST(ConvertVoids, OneValidValueFillsEverythingAndNoneFillsNothing) {
    std::vector<float> v(7 * 5, NAN);
    v[3 * 7 + 6] = 12.5f;
    ASSERT_TRUE(fill_voids(v.data(), 7, 5));
    for (float f : v) EXPECT_EQ(f, 12.5f);
    std::vector<float> none(9, NAN);
    EXPECT_FALSE(fill_voids(none.data(), 3, 3));
    float one = NAN;
    EXPECT_FALSE(fill_voids(&one, 1, 1));
}

TEST(ConvertResampling, AreaAverageShrinksBilinearGrows) {
    AxisTaps taps{};
    // 6 to 4: each output pixel covers 1.5 input pixels.
    ASSERT_TRUE(make_axis_taps(6, 4, &taps));
    for (uint32_t o = 0; o < 4; ++o) {
        double total = 0;
        for (uint32_t t = taps.first[o]; t < taps.first[o + 1]; ++t) total += taps.weight[t];
        EXPECT_NEAR(total, 1.0, 1e-6);
    }
    EXPECT_EQ(taps.first[1] - taps.first[0], 2u);  // pixels 0 and half of 1
    EXPECT_NEAR(taps.weight[0], 2.0 / 3, 1e-6);
    release_axis_taps(&taps);

    // 2x2 to 4x1: across grows (centres aligned, edges held), down shrinks.
    std::vector<float> v = {0, 8, 4, 12};
    Grid grid = float_grid(2, 2, v);
    RowSource source{};
    ASSERT_TRUE(open_row_source(grid, 4, 1, &source));
    EXPECT_TRUE(source.resampled);
    const std::vector<double> row = row_of(source, 0);
    EXPECT_EQ(row, (std::vector<double>{2, 4, 8, 10}));
    close_row_source(&source);

    // 4x4 of u16 to 2x2: the mean of each quarter.
    std::vector<uint16_t> s = {0, 2, 10, 10, 4, 6, 10, 10, 1, 1, 0, 0, 1, 1, 0, 400};
    Grid g16{};
    g16.width = g16.height = 4;
    g16.u16 = s.data();
    g16.type = SampleType::u16;
    ASSERT_TRUE(open_row_source(g16, 2, 2, &source));
    EXPECT_EQ(row_of(source, 0), (std::vector<double>{3, 10}));
    EXPECT_EQ(row_of(source, 1), (std::vector<double>{1, 100}));
    close_row_source(&source);
}

#ifndef _WIN32
// Changed by another program once it is loaded (Windows lets no other
// program write a file hmap reads): the heights a foreign heightmap would be
// fitted to are read from the battle file's pages, and refused.
class ConvertFiles : public ScratchDirTest {};

TEST_F(ConvertFiles, TheHeightsOfABattleFileChangedOnceLoadedAreRefused) {
    const battle_test::Bytes map = battle_test::BattleBuilder::sized(16, 16).bytes();
    std::ofstream(path("map.prj"), std::ios::binary).write(reinterpret_cast<const char*>(map.data()), map.size());
    std::ofstream(path("in.r16"), std::ios::binary) << std::string(512, '\x10');
    const struct timespec past[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path("map.prj").c_str(), past, 0), 0);
    BattleFile battle{};
    ASSERT_EQ(load_battle_file(path("map.prj").c_str(), &battle), status_ok);
    std::fstream(path("map.prj"), std::ios::binary | std::ios::in | std::ios::out).put('X');
    Grey16Image image;
    InputFile input;
    ASSERT_TRUE(open_input(path("in.r16").c_str(), &input));
    EXPECT_EQ(fit_to_heightmap(path("in.r16").c_str(), &input, path("map.prj").c_str(), battle, 0, &image),
              status_busy);
    close_input(&input);
    EXPECT_EQ(image.samples, nullptr);
    release_battle_file(&battle);
}
#endif
