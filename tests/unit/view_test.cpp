// What the list and picture commands build on: heights row by row from a
// battle file (bases over the whole 32-bit range, a pattern offset changed
// under a file view) and from an image, and the text of numbers.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "battle_builder.h"
#include "picture_ring.h"
#include "view_common.h"

using namespace battle_test;

TEST(HeightRows, BattleRowsAreBasePlus128TimesStep) {
    // 11 x 10: two blocks a row, the right-hand and bottom ones partial.
    BattleBuilder b = BattleBuilder::sized(11, 10);
    b.entries[0].base = INT32_MIN;
    b.entries[1].base = INT32_MAX;
    b.entries[4].base = -300;  // heightmap 2's first block
    Bytes bytes = b.bytes();
    BattleFile file;
    ASSERT_EQ(check(bytes, &file), "");
    std::vector<int64_t> row(11);
    for (int layer = 0; layer < 2; ++layer) {
        int64_t lowest = INT64_MAX, highest = INT64_MIN;
        for (uint32_t y = 0; y < 10; ++y) {
            battle_height_row(file, layer, y, row.data());
            for (uint32_t x = 0; x < 11; ++x) {
                const Entry& e = b.entries[layer * 4 + (y / 8) * 2 + x / 8];
                const int64_t want = int64_t{e.base} + 128 * int64_t{b.patterns[e.offset + (y % 8) * 8 + x % 8]};
                ASSERT_EQ(row[x], want) << layer << " " << x << "," << y;
                lowest = want < lowest ? want : lowest;
                highest = want > highest ? want : highest;
            }
        }
        // The same heights as the whole-heightmap range.
        const LayerHeights heights = battle_layer_heights(file, layer);
        EXPECT_EQ(heights.lowest, lowest);
        EXPECT_EQ(heights.highest, highest);
    }
}

TEST(HeightRows, ImageRowsAreSamplesLessTheSeaLevel) {
    uint8_t samples[2 * 3 * 2] = {0, 0, 0x01, 0x2C, 0xFF, 0xFF, 0x80, 0x00, 0, 1, 0x01, 0x2D};
    Grey16Image image{};
    image.samples = samples;
    image.width = 3;
    image.height = 2;
    image.sea_level = 300;
    const HeightSource source = image_source(image);
    int64_t row[3];
    source_row(source, 0, row);
    EXPECT_EQ(std::vector<int64_t>(row, row + 3), (std::vector<int64_t>{-300, 0, 65235}));
    source_row(source, 1, row);
    EXPECT_EQ(std::vector<int64_t>(row, row + 3), (std::vector<int64_t>{32468, -299, 1}));
}

TEST(NumberText, IntegersDifferencesMeansAndHex) {
    EXPECT_STREQ(signed_number(0).text, "0");
    EXPECT_STREQ(signed_number(-65535).text, "-65535");
    EXPECT_STREQ(signed_number(INT64_MAX).text, "9223372036854775807");
    EXPECT_STREQ(signed_number(INT64_MIN).text, "-9223372036854775808");
    EXPECT_STREQ(difference_number(64).text, "+64");
    EXPECT_STREQ(difference_number(0).text, "0");
    EXPECT_STREQ(difference_number(-1).text, "-1");
    EXPECT_STREQ(mean_number(412.46).text, "+412.5");
    EXPECT_STREQ(mean_number(-0.04).text, "0.0");
    EXPECT_STREQ(mean_number(-0.06).text, "-0.1");
    EXPECT_STREQ(mean_number(-2.0 / 3).text, "-0.7");
    EXPECT_STREQ(hex_number(0x012C).text, "012C");
    EXPECT_STREQ(hex_number(0xFFFF).text, "FFFF");
    Line line;
    line << "  a: " << int64_t{-5} << " and " << hex_number(10);
    EXPECT_EQ(std::string(line.text, line.length), "  a: -5 and 000A");
    Line full;
    for (int i = 0; i < 300; ++i) full << "0123456789";
    EXPECT_EQ(full.length, sizeof full.text - 1);  // dropped past the room, never past the buffer
}

// The picture's second thread finds no strip to draw, the ring being full,
// and the writer stops (a write failed part-way) before the thread looks
// whether to wait for room: it must end, not wait for a change nobody will
// make while the writer waits to join it. The hooks force that order; the
// wait hook counts the waits that nothing could end instead of hanging.
namespace {
int looks = 0, hopeless_waits = 0;
}

TEST(PictureRing, AStopBetweenFindingNoStripAndTheLookEndsTheSecondThread) {
    RowRing ring;
    ring.slots = 2;
    ring.strips = 8;
    ring.height = 8 * 16;
    ring.claimed = 2;  // both slots drawn, neither taken yet: full
    ring.gate = open_gate();
    ASSERT_NE(ring.gate, nullptr);
    ring.before_look = [](RowRing* r) {
        ++looks;
        stop_drawing(r);
    };
    ring.wait = [](RowRing* r, const std::atomic<uint32_t>* value, uint32_t old) {
        if (r->stopped.load() && value->load() == old) ++hopeless_waits;
    };
    draw_ahead(&ring);
    close_gate(ring.gate);
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(hopeless_waits, 0);
    EXPECT_EQ(ring.claimed.load(), 2u);  // nothing drawn after the stop
}
