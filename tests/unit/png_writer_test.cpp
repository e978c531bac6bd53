// The exported PNG, built in memory from battle files built in memory: the
// 1x1 file byte for byte, stored-block boundaries, sample arithmetic, the
// zlib stream split over several IDAT chunks and handed over in parts of
// any size; and from a viewed battle file that changes or is cut short
// while the PNG is made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "battle_builder.h"
#include "commands.h"
#include "png_heightmap.h"

using namespace battle_test;

namespace {

uint32_t be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }

struct StoredBlock {
    uint32_t length;
    bool final;
};

// A PNG taken apart by a reader of its own: every chunk's CRC checked, the
// IDAT data joined, the stored blocks walked and the Adler-32 checked.
struct WrittenPng {
    std::vector<std::string> types;
    std::vector<uint32_t> idat_lengths;
    Bytes stream;  // the joined IDAT data
    std::vector<StoredBlock> blocks;
    Bytes raw;
    uint32_t width = 0, height = 0;
    uint16_t sea_level = 0;
};

WrittenPng decode_written(const Bytes& png) {
    WrittenPng d;
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_EQ(memcmp(png.data(), signature, 8), 0);
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const uint32_t length = be32(&png[pos]);
        EXPECT_LE(pos + 12 + length, png.size());
        if (pos + 12 + length > png.size()) return d;
        const std::string type(reinterpret_cast<const char*>(&png[pos + 4]), 4);
        EXPECT_EQ(be32(&png[pos + 8 + length]), crc32_bytes(&png[pos + 4], length + 4)) << type;
        d.types.push_back(type);
        const uint8_t* data = &png[pos + 8];
        if (type == "IHDR") {
            d.width = be32(data);
            d.height = be32(data + 4);
            EXPECT_EQ(Bytes(data + 8, data + 13), (Bytes{16, 0, 0, 0, 0}));
        } else if (type == "IDAT") {
            d.idat_lengths.push_back(length);
            d.stream.insert(d.stream.end(), data, data + length);
        } else if (type == "hmAP") {
            EXPECT_EQ(length, 2u);
            d.sea_level = static_cast<uint16_t>(data[0] | (data[1] << 8));
        }
        pos += 12 + size_t{length};
    }
    EXPECT_EQ(pos, png.size());

    const Bytes& s = d.stream;
    EXPECT_GE(s.size(), 2u + 5 + 4);
    if (s.size() < 11) return d;
    EXPECT_EQ(s[0], 0x78);
    EXPECT_EQ(s[1], 0x01);
    size_t at = 2;
    for (;;) {
        EXPECT_LE(at + 5, s.size() - 4);
        if (at + 5 > s.size() - 4) return d;
        const uint32_t len = s[at + 1] | (s[at + 2] << 8);
        const uint32_t nlen = s[at + 3] | (s[at + 4] << 8);
        EXPECT_EQ(len ^ nlen, 0xFFFFu);
        EXPECT_LE(s[at], 1) << "stored blocks only";
        d.blocks.push_back({len, s[at] == 1});
        at += 5;
        EXPECT_LE(at + len, s.size() - 4);
        if (at + len > s.size() - 4) return d;
        d.raw.insert(d.raw.end(), s.begin() + static_cast<std::ptrdiff_t>(at), s.begin() + static_cast<std::ptrdiff_t>(at + len));
        at += len;
        if (d.blocks.back().final) break;
    }
    EXPECT_EQ(at + 4, s.size()) << "the Adler-32 ends the stream";
    EXPECT_EQ(be32(&s[at]), adler32_bytes(d.raw.data(), d.raw.size()));
    return d;
}

// The raw rows an export must give: a 0 filter byte, then per pixel
// pattern x 128 + base + sea level modulo 65536, high byte first.
Bytes expected_raw(const BattleBuilder& b, int layer, uint16_t sea_level) {
    Bytes raw;
    const uint32_t columns = (b.width + 7) / 8;
    const size_t nb = b.entries.size() / 2;
    for (uint32_t y = 0; y < b.height; ++y) {
        raw.push_back(0);
        for (uint32_t x = 0; x < b.width; ++x) {
            const Entry& e = b.entries[layer * nb + (y / 8) * columns + x / 8];
            const uint32_t p = b.patterns[e.offset + (y % 8) * 8 + x % 8];
            const uint16_t v = static_cast<uint16_t>(p * 128 + static_cast<uint32_t>(e.base) + sea_level);
            raw.push_back(static_cast<uint8_t>(v >> 8));
            raw.push_back(static_cast<uint8_t>(v));
        }
    }
    return raw;
}

bool append(void* context, const uint8_t* bytes, uint64_t count) {
    auto* out = static_cast<Bytes*>(context);
    EXPECT_GT(count, 0u);
    out->insert(out->end(), bytes, bytes + count);
    return true;
}

// Makes the PNG of one heightmap as the export does, in parts of at most
// `part_bytes` bytes.
Bytes export_layer(const BattleBuilder& b, int layer, uint64_t chunk_limit = max_chunk_data,
                   uint64_t part_bytes = 4096) {
    Bytes battle = b.bytes();
    BattleFile file;
    EXPECT_EQ(check(battle, &file), "");
    const PngLayout layout = png_layout(b.width, b.height, chunk_limit);
    Bytes buffer(part_bytes + 2 * b.width + 1, 0xEE);
    Bytes png;
    EXPECT_TRUE(stream_battle_png(layout, file, layer, buffer.data(), part_bytes, append, &png));
    EXPECT_EQ(png.size(), layout.file_bytes);
    return png;
}

}  // namespace

TEST(PngWriter, OnePixelFileByteForByte) {
    BattleBuilder b;
    b.entries = {{-300, 64}, {0, 0}};  // heightmap 1: pattern byte 0, base -300
    b.patterns = Bytes(64, 0xFF);
    b.patterns.resize(128, 0);
    const Bytes png = export_layer(b, 0);
    // Sea level 300 lifts base -300 with pattern byte 0 to sample 0.
    Bytes expected = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A,
                      0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1, 16, 0, 0, 0, 0};
    const uint32_t ihdr_crc = crc32_bytes(&expected[12], 17);
    for (int s = 24; s >= 0; s -= 8) expected.push_back(static_cast<uint8_t>(ihdr_crc >> s));
    const size_t idat = expected.size();
    // 1 + 0 + 0 + 0 = 1 and 1 + 1 + 1 = 3: Adler-32 of three zero bytes is 0x00030001.
    const Bytes idat_chunk = {0, 0, 0, 14, 'I', 'D', 'A', 'T', 0x78, 0x01, 0x01, 0x03, 0x00, 0xFC, 0xFF,
                              0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01};
    expected.insert(expected.end(), idat_chunk.begin(), idat_chunk.end());
    const uint32_t idat_crc = crc32_bytes(&expected[idat + 4], 18);
    for (int s = 24; s >= 0; s -= 8) expected.push_back(static_cast<uint8_t>(idat_crc >> s));
    const Bytes tail = {0, 0, 0, 2, 'h', 'm', 'A', 'P', 0x2C, 0x01};
    expected.insert(expected.end(), tail.begin(), tail.end());
    const uint32_t hmap_crc = crc32_bytes(&expected[expected.size() - 6], 6);
    for (int s = 24; s >= 0; s -= 8) expected.push_back(static_cast<uint8_t>(hmap_crc >> s));
    const Bytes iend = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    expected.insert(expected.end(), iend.begin(), iend.end());
    ASSERT_EQ(expected.size(), 85u);
    EXPECT_EQ(png, expected);

    // Heightmap 2 of the same file: pattern byte 255, base 0, sea level 300.
    const WrittenPng d = decode_written(export_layer(b, 1));
    EXPECT_EQ(d.raw, (Bytes{0, (32640 + 300) >> 8, (32640 + 300) & 0xFF}));
    EXPECT_EQ(d.sea_level, 300);
}

TEST(PngWriter, SamplesOfBothHeightmapsWrapModulo65536) {
    // 13 x 11: partial blocks on the right and at the bottom.
    BattleBuilder b = BattleBuilder::sized(13, 11);
    b.entries[0].base = 40000;  // with pattern 255: (32640 + 40000) mod 65536
    for (int k = 0; k < 64; ++k) b.patterns[k] = 255;
    b.entries[5].base = -1234;   // heightmap 2: sea level 1234
    b.entries[3].base = 70000;   // only the low 16 bits count
    for (int layer = 0; layer < 2; ++layer) {
        const WrittenPng d = decode_written(export_layer(b, layer));
        EXPECT_EQ(d.types, (std::vector<std::string>{"IHDR", "IDAT", "hmAP", "IEND"}));
        EXPECT_EQ(d.width, 13u);
        EXPECT_EQ(d.height, 11u);
        EXPECT_EQ(d.sea_level, 1234);
        EXPECT_EQ(d.raw, expected_raw(b, layer, 1234)) << layer;
    }
    const WrittenPng d = decode_written(export_layer(b, 0));
    const uint16_t first = static_cast<uint16_t>(d.raw[1] << 8 | d.raw[2]);
    EXPECT_EQ(first, (32640 + 40000 + 1234) % 65536);
}

TEST(PngWriter, StoredBlocksOf65535BytesTheLastOneFinal) {
    struct Case {
        uint32_t width, height;
        std::vector<uint32_t> blocks;
    };
    const Case cases[] = {
        {32767, 1, {65535}},         // R = 65535: one final block
        {32768, 1, {65535, 2}},      // R = 65537
        {32767, 2, {65535, 65535}},  // R = 2 x 65535: the second full block is the final one
        {40000, 3, {65535, 65535, 65535, 43398}},
    };
    for (const Case& c : cases) {
        BattleBuilder b = BattleBuilder::sized(c.width, c.height);
        const Bytes png = export_layer(b, 1);
        const PngLayout layout = png_layout(c.width, c.height);
        EXPECT_EQ(png.size(), layout.stream_bytes + 71);
        const WrittenPng d = decode_written(png);
        ASSERT_EQ(d.blocks.size(), c.blocks.size()) << c.width;
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            EXPECT_EQ(d.blocks[i].length, c.blocks[i]) << c.width << " block " << i;
            EXPECT_EQ(d.blocks[i].final, i + 1 == c.blocks.size());
        }
        EXPECT_EQ(d.idat_lengths, std::vector<uint32_t>{static_cast<uint32_t>(layout.stream_bytes)});
        EXPECT_EQ(d.raw, expected_raw(b, 1, 0));
    }
}

TEST(PngWriter, LayoutSplitsStreamsLongerThanAChunkMayBe) {
    struct Case {
        uint32_t width, height;
        uint64_t raw, blocks, stream, chunks, file;
    };
    const Case cases[] = {
        {1, 1, 3, 1, 14, 1, 85},
        {32768, 1, 65537, 2, 65553, 1, 65624},
        {32766, 32766, 2147254278, 32766, 2147418114, 1, 2147418185},  // the largest square in one IDAT
        {32767, 32767, 2147385345, 32767, 2147549186, 2, 2147549269},
        {32768, 32768, 2147516416, 32770, 2147680272, 2, 2147680355},
        {65535, 65535, 8589737985, 131071, 8590393346, 5, 8590393465},
    };
    for (const Case& c : cases) {
        const PngLayout l = png_layout(c.width, c.height);
        EXPECT_EQ(l.raw_bytes, c.raw) << c.width;
        EXPECT_EQ(l.blocks, c.blocks) << c.width;
        EXPECT_EQ(l.stream_bytes, c.stream) << c.width;
        EXPECT_EQ(l.idat_chunks, c.chunks) << c.width;
        EXPECT_EQ(l.file_bytes, c.file) << c.width;
    }
}

TEST(PngWriter, SplitStreamIsTheSameStreamInFullChunks) {
    // 200 x 200: R = 80200, two stored blocks. Small limits put chunk
    // boundaries inside block headers, rows and the Adler-32.
    BattleBuilder b = BattleBuilder::sized(200, 200);
    b.entries[7].base = -5;
    const WrittenPng whole = decode_written(export_layer(b, 0));
    ASSERT_EQ(whole.idat_lengths.size(), 1u);
    const uint64_t d = whole.stream.size();
    for (uint64_t limit : {uint64_t{1}, uint64_t{3}, uint64_t{7}, uint64_t{4096}, uint64_t{65538}, d - 1, d}) {
        const Bytes png = export_layer(b, 0, limit);
        const PngLayout layout = png_layout(200, 200, limit);
        EXPECT_EQ(png.size(), layout.file_bytes);
        const WrittenPng split = decode_written(png);
        EXPECT_EQ(split.stream, whole.stream) << limit;
        EXPECT_EQ(split.raw, expected_raw(b, 0, 5)) << limit;
        ASSERT_EQ(split.idat_lengths.size(), layout.idat_chunks) << limit;
        for (size_t i = 0; i + 1 < split.idat_lengths.size(); ++i) EXPECT_EQ(split.idat_lengths[i], limit);
        EXPECT_EQ(split.idat_lengths.back(), d - (layout.idat_chunks - 1) * limit);
        // The IDAT chunks stand together between IHDR and hmAP.
        EXPECT_EQ(split.types.front(), "IHDR");
        EXPECT_EQ(split.types.size(), layout.idat_chunks + 3);
        EXPECT_EQ(split.types[split.types.size() - 2], "hmAP");
    }
}

TEST(PngWriter, PartsOfAnySizeMakeTheSameFile) {
    // 13 x 11 (rows of 27 bytes) with a zlib stream split into chunks of 40
    // bytes: part boundaries fall inside rows, block headers, chunk framing
    // and the CRCs.
    BattleBuilder b = BattleBuilder::sized(13, 11);
    b.entries[2].base = -77;
    for (uint64_t chunk_limit : {max_chunk_data, uint64_t{40}}) {
        const Bytes whole = export_layer(b, 1, chunk_limit, 1 << 20);
        EXPECT_EQ(decode_written(whole).raw, expected_raw(b, 1, 77));
        for (uint64_t part : {1, 2, 3, 26, 27, 28, 64, 333}) {
            EXPECT_EQ(export_layer(b, 1, chunk_limit, part), whole) << chunk_limit << " " << part;
        }
    }
}

TEST(PngWriter, StopsWhenTheSinkRefuses) {
    BattleBuilder b = BattleBuilder::sized(64, 64);
    Bytes battle = b.bytes();
    BattleFile file;
    ASSERT_EQ(check(battle, &file), "");
    const PngLayout layout = png_layout(64, 64);
    Bytes buffer(100 + 129);
    struct Refuser {
        int parts = 0;
        static bool take(void* context, const uint8_t*, uint64_t) { return ++static_cast<Refuser*>(context)->parts < 3; }
    } refuser;
    EXPECT_FALSE(stream_battle_png(layout, file, 0, buffer.data(), 100, Refuser::take, &refuser));
    EXPECT_EQ(refuser.parts, 3);  // nothing more is offered after the refusal
}

