#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "battle_file.h"

namespace {

// One heightmap as 16-bit samples, row-major.
struct Image {
    uint32_t width, height;
    std::vector<uint16_t> samples;
    uint16_t& at(uint32_t x, uint32_t y) { return samples[size_t{y} * width + x]; }
    std::vector<uint8_t> big_endian() const {
        std::vector<uint8_t> out;
        for (uint16_t v : samples) {
            out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v));
        }
        return out;
    }
};

Image flat(uint32_t width, uint32_t height, uint16_t value) {
    return Image{width, height, std::vector<uint16_t>(size_t{width} * height, value)};
}

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

// An encoded chunk and the blocks reported as truncated.
struct Chunk {
    std::vector<uint8_t> bytes;  // span bytes, empty when refused
    std::vector<std::pair<uint32_t, uint32_t>> truncated;

    uint32_t nb() const { return le32(&bytes[20]); }
    uint32_t np() const { return le32(&bytes[16]); }
    int32_t base(size_t entry) const { return static_cast<int32_t>(le32(&bytes[28 + 8 * entry])); }
    uint32_t offset(size_t entry) const { return le32(&bytes[32 + 8 * entry]); }
    const uint8_t* pattern(size_t entry) const { return &bytes[32 + 16 * nb() + offset(entry)]; }
    uint8_t step(size_t entry, int x, int y) const { return pattern(entry)[y * 8 + x]; }
};

void record_truncation(void* context, uint32_t x0, uint32_t y0) {
    static_cast<Chunk*>(context)->truncated.emplace_back(x0, y0);
}

Chunk encode(const Image& a, const Image& b, uint16_t sea_level, bool hashed = true,
             uint64_t pattern_limit = max_patterns) {
    std::vector<uint8_t> s1 = a.big_endian(), s2 = b.big_endian();
    HeightmapPair pair{s1.data(), s2.data(), a.width, a.height, sea_level};
    uint64_t nb = heightmap_block_count(a.width, a.height);
    Chunk chunk;
    chunk.bytes.assign(chunk_capacity(nb), 0xEE);
    std::vector<uint32_t> index(pattern_index_size(nb) / 4, 0xDEADBEEF);  // the encoder clears it
    uint64_t span = encode_heightmaps(pair, chunk.bytes.data(), hashed ? index.data() : nullptr, pattern_limit,
                                      record_truncation, &chunk);
    chunk.bytes.resize(span);
    return chunk;
}

TEST(EncodeHeightmaps, FlatImagesGiveOneZeroPatternAndBaseZero) {
    Chunk c = encode(flat(16, 24, 1000), flat(16, 24, 1000), 1000);
    ASSERT_EQ(c.bytes.size(), 32u + 16 * 6 + 64);
    EXPECT_EQ(std::memcmp(c.bytes.data(), "HMAP", 4), 0);
    EXPECT_EQ(le32(&c.bytes[8]), 16u);
    EXPECT_EQ(le32(&c.bytes[12]), 24u);
    EXPECT_EQ(c.np(), 1u);
    EXPECT_EQ(c.nb(), 6u);
    EXPECT_EQ(le32(&c.bytes[24]), 96u);                // L1
    EXPECT_EQ(le32(&c.bytes[28 + 96]), 64u);           // L2
    EXPECT_EQ(le32(&c.bytes[4]), 8 * 6 + 64 + 24u);    // half the layer-1 table + L2 + 24
    for (size_t e = 0; e < 12; ++e) {
        EXPECT_EQ(c.base(e), 0);
        EXPECT_EQ(c.offset(e), 0u);
    }
    EXPECT_EQ(std::vector<uint8_t>(c.pattern(0), c.pattern(0) + 64), std::vector<uint8_t>(64, 0));
    EXPECT_TRUE(c.truncated.empty());

    // Smaller than one block: the cells outside the image keep the scratch's
    // starting content, 0.
    c = encode(flat(3, 5, 40000), flat(3, 5, 40000), 40000);
    EXPECT_EQ(c.np(), 1u);
    EXPECT_EQ(c.base(0), 0);
    EXPECT_EQ(std::vector<uint8_t>(c.pattern(0), c.pattern(0) + 64), std::vector<uint8_t>(64, 0));
}

TEST(EncodeHeightmaps, StepsRoundToTheNearest128AboveTheBlockMinimum) {
    Image a = flat(8, 8, 5000);
    a.at(1, 0) = 5000 + 63;
    a.at(2, 0) = 5000 + 64;
    a.at(3, 0) = 5000 + 191;
    a.at(4, 0) = 5000 + 192;
    a.at(5, 0) = 5000 + 32640;
    Chunk c = encode(a, flat(8, 8, 0), 300);
    EXPECT_EQ(c.base(0), 4700);
    EXPECT_EQ(c.step(0, 0, 0), 0);
    EXPECT_EQ(c.step(0, 1, 0), 0);
    EXPECT_EQ(c.step(0, 2, 0), 1);
    EXPECT_EQ(c.step(0, 3, 0), 1);
    EXPECT_EQ(c.step(0, 4, 0), 2);
    EXPECT_EQ(c.step(0, 5, 0), 255);
    EXPECT_TRUE(c.truncated.empty());  // a range of exactly 32640
    // Below the sea level the base is negative.
    EXPECT_EQ(c.base(1), -300);
}

TEST(EncodeHeightmaps, RangesAbove32640AreReportedAndCapped) {
    // Second block row, second column: range 32641, the largest step not
    // yet capped (32641 + 64 = 255 x 128 + 65).
    Image a = flat(16, 16, 100);
    a.at(9, 10) = 100 + 32641;
    // Heightmap 2, first block: the full 16-bit range.
    Image b = flat(16, 16, 100);
    b.at(0, 0) = 0;
    b.at(7, 7) = 65535;
    b.at(6, 7) = 32640 + 64;  // would be step 256
    Chunk c = encode(a, b, 2000);
    EXPECT_EQ(c.truncated, (std::vector<std::pair<uint32_t, uint32_t>>{{8, 8}, {0, 0}}));
    EXPECT_EQ(c.step(3, 1, 2), 255);
    EXPECT_EQ(c.base(4), -2000);
    EXPECT_EQ(c.step(4, 7, 7), 255);
    EXPECT_EQ(c.step(4, 6, 7), 255);
    EXPECT_EQ(c.step(4, 1, 1), 1);  // 100 above the minimum
}

TEST(EncodeHeightmaps, NineByNineKeepsScratchCellsBetweenBlocks) {
    // Block (0,0) steps x + 8y; column 8 steps y + 1; row 8 steps 47 - x;
    // pixel (8,8) at the sea level.
    const uint16_t sea = 10000;
    Image a = flat(9, 9, sea);
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 8; ++x) a.at(x, y) = static_cast<uint16_t>(sea + 128 * (x + 8 * y));
    for (uint32_t y = 0; y < 8; ++y) a.at(8, y) = static_cast<uint16_t>(sea + 128 * (y + 1));
    for (uint32_t x = 0; x < 8; ++x) a.at(x, 8) = static_cast<uint16_t>(sea + 128 * (47 - x));
    Chunk c = encode(a, a, sea);
    ASSERT_EQ(c.nb(), 4u);
    EXPECT_EQ(le32(&c.bytes[24]), 64u);
    // Block (8,0) has one real column, min at y = 0: steps y; its other
    // columns still hold block (0,0)'s steps.
    EXPECT_EQ(c.base(1), 128);
    for (int y = 0; y < 8; ++y) {
        EXPECT_EQ(c.step(1, 0, y), y);
        for (int x = 1; x < 8; ++x) EXPECT_EQ(c.step(1, x, y), x + 8 * y);
    }
    // Block (0,8) has one real row, min 40 steps up: steps 7 - x; rows below
    // keep what blocks (0,0) and (8,0) left.
    EXPECT_EQ(c.base(2), 40 * 128);
    for (int x = 0; x < 8; ++x) EXPECT_EQ(c.step(2, x, 0), 7 - x);
    EXPECT_EQ(c.step(2, 0, 5), 5);
    EXPECT_EQ(c.step(2, 3, 5), 43);
    // Block (8,8): one pixel.
    EXPECT_EQ(c.base(3), 0);
    EXPECT_EQ(c.step(3, 0, 0), 0);
    EXPECT_EQ(c.step(3, 1, 0), 6);
    // Heightmap 2 is the same image, but its first block starts from what the
    // last block of heightmap 1 left: its full blocks match, the partial ones
    // match too because the scratch went through the same blocks in the same order.
    for (size_t e = 0; e < 4; ++e) EXPECT_EQ(c.offset(4 + e), c.offset(e));
    EXPECT_EQ(c.np(), 4u);
}

TEST(EncodeHeightmaps, PatternsAreSharedAcrossBothHeightmaps) {
    // Heightmap 2 is heightmap 1 raised by 1000: same patterns, other bases.
    Image a{24, 16, {}};
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 24; ++x) a.samples.push_back(static_cast<uint16_t>(500 + 128 * ((x * 7 + y * 3) % 5)));
    Image b = a;
    for (uint16_t& v : b.samples) v = static_cast<uint16_t>(v + 1000);
    Chunk one = encode(a, a, 0);
    Chunk c = encode(a, b, 0);
    EXPECT_EQ(c.np(), one.np());
    EXPECT_GT(c.np(), 1u);
    for (size_t e = 0; e < 6; ++e) {
        EXPECT_EQ(c.offset(6 + e), c.offset(e));
        EXPECT_EQ(c.base(6 + e), c.base(e) + 1000);
    }
}

// Smooth rolling terrain with noise, terraces and flat stretches, so that the
// pool holds many distinct patterns and many repeats.
Image terrain(uint32_t width, uint32_t height, uint32_t seed) {
    Image img{width, height, {}};
    uint32_t state = seed;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            int32_t v = 20000 + static_cast<int32_t>((x * x + 3 * y * y) % 9000) + static_cast<int32_t>(state >> 28) * 40;
            if ((x / 24 + y / 16) % 3 == 0) v = 20000 + 128 * static_cast<int32_t>((x + y) / 8 % 4);  // terraces
            img.samples.push_back(static_cast<uint16_t>(v));
        }
    }
    return img;
}

TEST(EncodeHeightmaps, HashedLookupMatchesLinearScan) {
    for (auto [w, h] : {std::pair{200u, 136u}, std::pair{63u, 97u}, std::pair{1u, 1u}, std::pair{512u, 9u}}) {
        Image a = terrain(w, h, 1), b = terrain(w, h, 2);
        Chunk hashed = encode(a, b, 20000, true);
        Chunk linear = encode(a, b, 20000, false);
        EXPECT_EQ(hashed.bytes, linear.bytes) << w << "x" << h;
        // Each encoding keys its index afresh: another key, the same bytes.
        EXPECT_EQ(encode(a, b, 20000, true).bytes, hashed.bytes) << w << "x" << h;
        if (w == 200) {
            // Both repeats and distinct patterns, or the comparison proves little.
            EXPECT_GT(hashed.np(), 100u);
            EXPECT_LT(hashed.np(), 2 * hashed.nb() - 100);
        }
    }
}

TEST(EncodeHeightmaps, RefusesPairsThatNeedTooManyPatterns) {
    Image a = terrain(64, 64, 5), b = terrain(64, 64, 6);
    uint32_t needed = encode(a, b, 0).np();
    ASSERT_GT(needed, 10u);
    // The pool must stay below the limit, as a real chunk must stay below 2^26.
    EXPECT_TRUE(encode(a, b, 0, true, needed).bytes.empty());
    EXPECT_TRUE(encode(a, b, 0, false, needed).bytes.empty());
    EXPECT_EQ(encode(a, b, 0, true, needed + 1).np(), needed);
}

TEST(EncodeHeightmaps, SizesForTheLargestImages) {
    uint64_t nb = heightmap_block_count(65535, 65535);
    EXPECT_EQ(nb, uint64_t{8192} * 8192);
    EXPECT_EQ(chunk_capacity(nb), 32 + 144 * nb);  // no 32-bit wrap
    EXPECT_GE(pattern_index_size(nb), 2 * 2 * nb * 8);
    EXPECT_EQ(heightmap_block_count(9, 9), 4u);
    EXPECT_EQ(heightmap_block_count(8, 1), 1u);
}

}  // namespace
