// The battle file checks, on files built in memory: each check tripped in
// turn, the size words that would wrap a 32-bit position, and the sea level.
#include <gtest/gtest.h>

#include "battle_builder.h"

using namespace battle_test;

namespace {

const std::string end_of_file = "Unexpected end of file.";

std::string check_built(const BattleBuilder& b) {
    Bytes bytes = b.bytes();
    return check(bytes);
}

}  // namespace

TEST(BattleLoader, SoundFileGivesItsPositions) {
    BattleBuilder b;
    Bytes bytes = b.bytes();
    BattleFile file;
    ASSERT_EQ(check(bytes, &file), "");
    const uint64_t t = b.chunk_pos();
    EXPECT_EQ(file.chunk_pos, t);
    EXPECT_EQ(file.layer1_pos, t + 24);
    EXPECT_EQ(file.layer2_pos, t + 28 + 16);
    EXPECT_EQ(file.chunk_span, 32u + 16 + 64);
    EXPECT_EQ(memcmp(bytes.data() + t + file.chunk_span, "ATTR", 4), 0);
    EXPECT_EQ(file.sea_level, 0);
    EXPECT_EQ(battle_width(file), 1u);
    EXPECT_EQ(battle_block_count(file), 1u);
    EXPECT_EQ(battle_pattern_count(file), 1u);

    // Width 9 needs two blocks a row; the chunk size word is never read.
    BattleBuilder wide = BattleBuilder::sized(9, 8);
    wide.chunk_word = 0xFFFFFFFF;
    bytes = wide.bytes();
    ASSERT_EQ(check(bytes, &file), "");
    EXPECT_EQ(battle_block_count(file), 2u);
    EXPECT_EQ(battle_entries(file), bytes.data() + wide.chunk_pos() + 28);
    EXPECT_EQ(battle_patterns(file), bytes.data() + wide.chunk_pos() + 32 + 2 * 16);
}

TEST(BattleLoader, EveryTruncationIsAnUnexpectedEnd) {
    // trailing = 1: the ATTR tag needs one byte after it, so cutting that
    // byte (a lone "ATTR" at the end) fails like any other cut.
    BattleBuilder b = BattleBuilder::sized(9, 17);
    b.trailing = 1;
    const Bytes whole = b.bytes();
    Bytes bytes = whole;
    ASSERT_EQ(check(bytes), "");
    for (size_t size = 1; size < whole.size(); ++size) {
        Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(check(cut), end_of_file) << size;
    }
    b.trailing = 0;
    EXPECT_EQ(check_built(b), end_of_file);
}

TEST(BattleLoader, SignatureIsComparedWhole) {
    Bytes bytes = BattleBuilder().bytes();
    Bytes exactly32(bytes.begin(), bytes.begin() + 32);
    EXPECT_EQ(check(exactly32), end_of_file);
    for (size_t i : {0u, 9u, 25u, 31u}) {
        Bytes bad = bytes;
        bad[i] ^= 0x20;
        EXPECT_EQ(check(bad), "Invalid file signature.") << i;
    }
    // A wrong signature in a file too short for anything else: the length
    // check comes first, the signature second.
    Bytes short_bad(bytes.begin(), bytes.begin() + 33);
    short_bad[0] = 'X';
    EXPECT_EQ(check(short_bad), "Invalid file signature.");
}

TEST(BattleLoader, SizeWordsThatWouldPassTwoToTheThirtyTwoEndTheFile) {
    const BattleBuilder b;
    const Bytes sound = b.bytes();
    const uint64_t p1 = 36 + b.s1 + 8, p2 = p1 + b.s2 + 8, p3 = p2 + b.s3 + 4 * b.n3 + 8;
    struct Case {
        uint64_t pos;
        uint32_t value;
    };
    // Each value brings a 32-bit position back round to the same place (or
    // just before it), where it would find the same words again.
    const Case cases[] = {
        {36, 0xFFFFFFF8},         // S1: P1 = 36 + 2^32
        {36, 0xFFFFFFFF},         //
        {p1, 0xFFFFFFF8},         // S2
        {p2, 0xFFFFFFF8},         // S3
        {p2 + 4, 1u << 30},       // N3: 4 x N3 = 2^32
        {p2 + 4, 0xFFFFFFFE},     //
        {p3, 0xFFFFFFF4},         // S4: T = P3 + 2^32
        {p3, 0xFFFFFFFF},         //
    };
    for (const Case& c : cases) {
        Bytes bytes = sound;
        poke_le32(bytes, c.pos, c.value);
        EXPECT_EQ(check(bytes), end_of_file) << c.pos << " " << c.value;
    }
    // S3 and N3 that together carry the position just past the end.
    Bytes bytes = sound;
    const uint64_t rest = sound.size() - p2;
    poke_le32(bytes, p2, static_cast<uint32_t>(rest % 4));
    poke_le32(bytes, p2 + 4, static_cast<uint32_t>(rest / 4));
    EXPECT_EQ(check(bytes), end_of_file);
}

TEST(BattleLoader, ChunkChecksInOrderWithTheirMessages) {
    BattleBuilder b;
    b.tag = "HMAp";
    EXPECT_EQ(check_built(b), "Bad HMAP - signature not found.");

    for (auto [w, h] : {std::pair{0u, 1u}, {1u, 0u}, {65536u, 1u}, {1u, 65536u}, {0x10001u, 0x10001u}}) {
        b = BattleBuilder();
        b.width = w;
        b.height = h;
        EXPECT_EQ(check_built(b), "Bad HMAP - dimensions.") << w << "x" << h;
    }

    b = BattleBuilder();
    b.nb = 2;
    EXPECT_EQ(check_built(b), "Bad HMAP - number of layer1 blocks.");
    b.nb = 0;
    EXPECT_EQ(check_built(b), "Bad HMAP - number of layer1 blocks.");
    // 65535 x 65535 needs 8192 x 8192 blocks: a claim of 0 is refused ...
    b.width = b.height = 65535;
    EXPECT_EQ(check_built(b), "Bad HMAP - number of layer1 blocks.");
    // ... and the right count passes that check, then the table it promises
    // (2^30 bytes) is not in the file.
    b.nb = 8192 * 8192;
    b.l1 = int64_t{8192} * 8192 * 16;
    EXPECT_EQ(check_built(b), end_of_file);

    b = BattleBuilder();
    b.np = 0;
    b.l2 = 0;
    EXPECT_EQ(check_built(b), "Bad HMAP - missing layer2 blocks.");

    b = BattleBuilder();
    b.l1 = 8;
    EXPECT_EQ(check_built(b), "Bad HMAP - layer1 size.");
    b.l1 = 0;
    EXPECT_EQ(check_built(b), "Bad HMAP - layer1 size.");

    b = BattleBuilder();
    b.l2 = 128;
    EXPECT_EQ(check_built(b), "Bad HMAP - layer2 size.");
    // 64 x (2^26 + 1) is 64 in 32-bit arithmetic.
    b.np = (int64_t{1} << 26) + 1;
    b.l2 = 64;
    EXPECT_EQ(check_built(b), "Bad HMAP - layer2 size.");

    b = BattleBuilder();
    b.after = "ATTr";
    EXPECT_EQ(check_built(b), "ATTR chunk not found.");
    // More patterns than NP counts: the tag is looked for right after NP of them.
    b = BattleBuilder();
    b.patterns.resize(128, 9);
    b.np = 1;
    b.l2 = 64;
    EXPECT_EQ(check_built(b), "ATTR chunk not found.");

    // Several faults: the first in order is the one reported.
    b = BattleBuilder();
    b.width = 0;
    b.np = 0;
    b.after = "XXXX";
    EXPECT_EQ(check_built(b), "Bad HMAP - dimensions.");
    b.width = 1;
    EXPECT_EQ(check_built(b), "Bad HMAP - missing layer2 blocks.");
}

TEST(BattleLoader, PatternOffsetsMustStartABlockOfThePool) {
    BattleBuilder b = BattleBuilder::sized(9, 9);  // 4 blocks, 8 entries, 8 patterns
    ASSERT_EQ(check_built(b), "");
    const uint32_t np = static_cast<uint32_t>(b.patterns.size() / 64);
    for (size_t i : {size_t{0}, size_t{3}, size_t{7}}) {  // heightmap 2's last entry is checked too
        BattleBuilder bad = b;
        bad.entries[i].offset = 64 * np;
        EXPECT_EQ(check_built(bad), "Bad HMAP - bad layer2 offset.") << i;
        bad.entries[i].offset = 64 * (np - 1);
        EXPECT_EQ(check_built(bad), "") << i;
        bad.entries[i].offset = 32;
        EXPECT_EQ(check_built(bad), "Bad HMAP - bad layer2 offset.") << i;
        bad.entries[i].offset = 0xFFFFFFC0;  // aligned, far past the pool
        EXPECT_EQ(check_built(bad), "Bad HMAP - bad layer2 offset.") << i;
    }
    // Patterns no entry points at are accepted.
    b.patterns.resize(b.patterns.size() + 640, 7);
    EXPECT_EQ(check_built(b), "");
}

TEST(BattleLoader, SeaLevelIsTheNegatedLowestBase) {
    auto sea = [](std::vector<int32_t> bases) {
        BattleBuilder b = BattleBuilder::sized(16, 8);  // 2 blocks a heightmap
        for (size_t i = 0; i < bases.size(); ++i) b.entries[i].base = bases[i];
        Bytes bytes = b.bytes();
        BattleFile file;
        EXPECT_EQ(check(bytes, &file), "");
        return file.sea_level;
    };
    EXPECT_EQ(sea({0, 5, 70000, 1}), 0);
    EXPECT_EQ(sea({0, 5, 7, -300}), 300);   // in heightmap 2
    EXPECT_EQ(sea({-300, 5, 7, -20}), 300);  // in heightmap 1
    EXPECT_EQ(sea({-65541, 0, 0, 0}), 5);    // kept to 16 bits
    EXPECT_EQ(sea({INT32_MIN, 0, 0, 0}), 0);  // 2^31, no overflow on the way
    EXPECT_EQ(sea({INT32_MIN + 1, 0, 0, 0}), 0xFFFF);
}

TEST(BattleLoader, LayerHeightsCountOnlyPixelsInsideTheImage) {
    // 9 x 9: four blocks a heightmap; the right and bottom ones hold one
    // column or row of real pixels, and their other cells must not count.
    BattleBuilder b = BattleBuilder::sized(9, 9);
    b.patterns.assign(2 * 4 * 64, 0);
    for (size_t i = 0; i < b.entries.size(); ++i) b.entries[i] = {0, static_cast<uint32_t>(64 * i)};
    b.entries[0].base = -300;                    // heightmap 1: the sea level becomes 300
    b.patterns[1 * 64 + 1] = 255;                // block (8,0), cell (1,0): outside the image
    b.patterns[1 * 64 + 8] = 200;                // block (8,0), cell (0,1): x 8, y 1, inside
    b.entries[4 + 3].base = 65535 - 300;         // heightmap 2, block (8,8): its one pixel...
    b.patterns[7 * 64 + 0] = 1;                  // ... 128 above: sample 65663 wraps
    b.entries[4 + 1].base = -301;                // heightmap 2, block (8,0): 8 pixels at -301
    Bytes bytes = b.bytes();
    BattleFile file;
    ASSERT_EQ(check(bytes, &file), "");
    ASSERT_EQ(file.sea_level, 301);

    LayerHeights one = battle_layer_heights(file, 0);
    EXPECT_EQ(one.lowest, -300);
    EXPECT_EQ(one.highest, 200 * 128);
    EXPECT_EQ(one.wrapped, 0u);

    LayerHeights two = battle_layer_heights(file, 1);
    EXPECT_EQ(two.lowest, -301);
    EXPECT_EQ(two.highest, 65535 - 300 + 128);
    EXPECT_EQ(two.wrapped, 1u);  // -301 + 301 = 0 fits; 65363 + 301 does not
}

TEST(BattleLoader, LayerHeightsOfWholeBlocksCountEachPixelThatWraps) {
    // 16 x 8: two whole blocks a heightmap, pattern k holding the steps k, k + 1, ..., k + 63.
    BattleBuilder b = BattleBuilder::sized(16, 8);
    b.entries[0].base = -65541;                  // the sea level becomes 5; every height + 5 is below 0
    b.entries[1].base = 65535 - 5 - 128 * 41;    // steps 1 ... 64: those above 41 wrap upwards
    b.entries[2].base = 65535 - 5 - 128 * 65;    // steps 2 ... 65: the highest just fits
    b.entries[3].base = -5 - 128 * 3;            // steps 3 ... 66: the lowest is just 0
    Bytes bytes = b.bytes();
    BattleFile file;
    ASSERT_EQ(check(bytes, &file), "");
    ASSERT_EQ(file.sea_level, 5);

    LayerHeights one = battle_layer_heights(file, 0);
    EXPECT_EQ(one.lowest, -65541);
    EXPECT_EQ(one.highest, 65535 - 5 - 128 * 41 + 128 * 64);
    EXPECT_EQ(one.wrapped, 64u + 23u);  // all of block 0, steps 42 ... 64 of block 1

    LayerHeights two = battle_layer_heights(file, 1);
    EXPECT_EQ(two.lowest, -5);
    EXPECT_EQ(two.highest, 65535 - 5);
    EXPECT_EQ(two.wrapped, 0u);
}
