// The chunk walker, the sea level stored in a PNG and its in-place edit, on
// PNG bytes in memory, and the sea level as typed on the command line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "png_heightmap.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_be32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void add_chunk(Bytes& out, const char* type, const Bytes& data, bool good_crc = true) {
    put_be32(out, static_cast<uint32_t>(data.size()));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uint32_t crc = crc32_bytes(out.data() + start, data.size() + 4);
    put_be32(out, good_crc ? crc : ~crc);
}

Bytes png_start() {
    Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    add_chunk(out, "IHDR", Bytes(13, 1));
    add_chunk(out, "IDAT", Bytes(7, 2));
    return out;
}

// Runs the edit on a copy with room for the inserted chunk.
SeaLevelEdit edit(Bytes& png, uint16_t value) {
    uint64_t size = png.size();
    png.resize(png.size() + sea_level_chunk_size, 0xEE);
    SeaLevelEdit result = edit_sea_level(png.data(), &size, value);
    png.resize(size);
    return result;
}

}  // namespace

TEST(Checksums, KnownValues) {
    const char* text = "123456789";
    auto bytes = reinterpret_cast<const uint8_t*>(text);
    EXPECT_EQ(crc32_bytes(bytes, 9), 0xCBF43926u);
    EXPECT_EQ(adler32_bytes(bytes, 9), 0x091E01DEu);
    EXPECT_EQ(crc32_bytes(bytes, 0), 0u);
    EXPECT_EQ(adler32_bytes(bytes, 0), 1u);
    const uint8_t iend[] = {'I', 'E', 'N', 'D'};
    EXPECT_EQ(crc32_bytes(iend, 4), 0xAE426082u);
}

TEST(Checksums, RunningSumsMatchOneShotOverLongInput) {
    // Long runs of 0xFF are where a late modulo would overflow.
    Bytes data(1 << 20, 0xFF);
    for (size_t i = 0; i < data.size(); i += 7) data[i] = static_cast<uint8_t>(i * 31);
    uint32_t adler = 1, crc = 0;
    for (size_t pos = 0; pos < data.size(); pos += 65535) {
        size_t n = std::min<size_t>(65535, data.size() - pos);
        adler = adler32_update(adler, data.data() + pos, n);
        crc = crc32_update(crc, data.data() + pos, n);
    }
    EXPECT_EQ(adler, adler32_bytes(data.data(), data.size()));
    EXPECT_EQ(crc, crc32_bytes(data.data(), data.size()));
    // Reference values computed bit by bit.
    uint32_t a = 1, b = 0, c = 0xFFFFFFFF;
    for (uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
        c ^= byte;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    EXPECT_EQ(adler, (b << 16) | a);
    EXPECT_EQ(crc, ~c);
}

TEST(SeaLevelChunk, LayoutIsLengthTypeLittleEndianValueAndCrc) {
    uint8_t chunk[sea_level_chunk_size];
    write_sea_level_chunk(chunk, 0x1234);
    const uint8_t head[] = {0, 0, 0, 2, 'h', 'm', 'A', 'P', 0x34, 0x12};
    EXPECT_EQ(memcmp(chunk, head, sizeof head), 0);
    uint32_t crc = crc32_bytes(chunk + 4, 6);
    EXPECT_EQ(chunk[10], crc >> 24);
    EXPECT_EQ(chunk[13], crc & 0xFF);
}

TEST(FindPngChunk, WalksByLengthsAndStopsAtImpossibleOnes) {
    Bytes png = png_start();
    add_chunk(png, "IEND", {});
    EXPECT_EQ(find_png_chunk(png.data(), png.size(), "IHDR"), 8u);
    EXPECT_EQ(find_png_chunk(png.data(), png.size(), "IEND"), png.size() - 12);
    EXPECT_FALSE(find_png_chunk(png.data(), png.size(), "hmAP"));
    // A length near 2^32 ends the walk; nothing after it is found.
    Bytes bad = png_start();
    bad[33] = 0xFF, bad[34] = 0xFF, bad[35] = 0xFF, bad[36] = 0xF4;
    add_chunk(bad, "IEND", {});
    EXPECT_FALSE(find_png_chunk(bad.data(), bad.size(), "IEND"));
    // Too small to hold a chunk: nothing, and no read out of bounds.
    for (uint64_t n = 0; n < 20; ++n) {
        Bytes tiny(n, 'A');
        EXPECT_FALSE(find_png_chunk(tiny.data(), n, "AAAA"));
    }
}

TEST(EditSeaLevel, RewritesAnExistingChunkInPlace) {
    Bytes png = png_start();
    Bytes chunk(sea_level_chunk_size);
    write_sea_level_chunk(chunk.data(), 7);
    png.insert(png.end(), chunk.begin(), chunk.end());
    add_chunk(png, "IEND", {});
    Bytes expected = png_start();
    write_sea_level_chunk(chunk.data(), 0x1234);
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    add_chunk(expected, "IEND", {});
    EXPECT_EQ(edit(png, 0x1234), SeaLevelEdit::updated);
    EXPECT_EQ(png, expected);
    StoredSeaLevel stored = find_sea_level(png.data(), png.size());
    EXPECT_EQ(stored.chunk, SeaLevelChunk::present);
    EXPECT_EQ(stored.value, 0x1234);
}

TEST(EditSeaLevel, HonoursALongerDeclaredLengthForTheCrc) {
    // Length 4: value at the start of the data, CRC over all four data bytes.
    Bytes four = png_start();
    add_chunk(four, "hmAP", {9, 9, 9, 9});
    add_chunk(four, "IEND", {});
    size_t at = png_start().size();
    EXPECT_EQ(edit(four, 0x0102), SeaLevelEdit::updated);
    EXPECT_EQ(four[at + 8], 0x02);
    EXPECT_EQ(four[at + 9], 0x01);
    EXPECT_EQ(four[at + 10], 9);
    uint32_t crc4 = crc32_bytes(four.data() + at + 4, 8);
    EXPECT_EQ(four[at + 12], crc4 >> 24);
    EXPECT_EQ(find_sea_level(four.data(), four.size()).value, 0x0102);
}

TEST(EditSeaLevel, RefusesAChunkThatCannotHoldTheValueAndLeavesTheBytes) {
    // Declared lengths 0 and 1: the bytes after the type are the CRC, no
    // value; read, they would give D01D-like garbage.
    for (size_t length : {0, 1}) {
        Bytes png = png_start();
        add_chunk(png, "hmAP", Bytes(length, 0x77));
        add_chunk(png, "IEND", {});
        EXPECT_EQ(find_sea_level(png.data(), png.size()).chunk, SeaLevelChunk::too_short) << length;
        Bytes before = png;
        EXPECT_EQ(edit(png, 0x77), SeaLevelEdit::bad_chunk) << length;
        EXPECT_EQ(png, before);
    }
    // Declared length 40, only 2 data bytes + CRC present.
    Bytes png = png_start();
    add_chunk(png, "hmAP", {1, 2});
    png[png_start().size() + 3] = 40;
    Bytes before = png;
    EXPECT_EQ(edit(png, 5), SeaLevelEdit::bad_chunk);
    EXPECT_EQ(png, before);
}

TEST(EditSeaLevel, RefusesAFileWithoutThePngSignature) {
    // Chunks like a PNG's, and IEND at the end, but no signature: a battle
    // file or text that happens to end so is never edited.
    Bytes png = png_start();
    add_chunk(png, "IEND", {});
    png[1] = 'Q';
    Bytes before = png;
    EXPECT_EQ(edit(png, 5), SeaLevelEdit::not_png);
    EXPECT_EQ(png, before);
    add_chunk(png, "hmAP", {1, 2});
    before = png;
    EXPECT_EQ(edit(png, 5), SeaLevelEdit::not_png);
    EXPECT_EQ(png, before);
}

TEST(EditSeaLevel, InsertsBeforeAFinalIend) {
    Bytes png = png_start();
    add_chunk(png, "IEND", {});
    Bytes expected = png_start();
    Bytes chunk(sea_level_chunk_size);
    write_sea_level_chunk(chunk.data(), 5);
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    add_chunk(expected, "IEND", {});
    EXPECT_EQ(edit(png, 5), SeaLevelEdit::inserted);
    EXPECT_EQ(png, expected);
}

TEST(EditSeaLevel, CannotInsertWithoutAFinalIend) {
    Bytes trailing = png_start();
    add_chunk(trailing, "IEND", {});
    trailing.push_back(0);
    Bytes before = trailing;
    EXPECT_EQ(edit(trailing, 5), SeaLevelEdit::data_after_iend);
    EXPECT_EQ(trailing, before);

    Bytes no_iend = png_start();
    EXPECT_EQ(edit(no_iend, 5), SeaLevelEdit::no_iend);
    for (size_t n = 1; n < 20; ++n) {
        Bytes tiny(png_signature, png_signature + 8);
        tiny.resize(n, 0);
        EXPECT_EQ(edit(tiny, 5), n < 8 ? SeaLevelEdit::not_png : SeaLevelEdit::no_iend) << n;
    }
}

TEST(ParseSeaLevel, TakesDecimalAndHexWholeUpTo65535) {
    const std::pair<const char*, uint16_t> good[] = {
        {"0", 0},          {"300", 300},       {"65535", 65535},      {"0x12C", 0x12C},   {"0X12c", 0x12C},
        {"0x032C", 0x32C}, {"0xFFFF", 0xFFFF}, {"0x0000FFFF", 0xFFFF}, {"0x0", 0},        {"0x032C\r", 0x32C},
        {"812\n", 812},    {"0x032C\r\n", 0x32C}};
    for (auto [text, expected] : good) {
        uint16_t value = 1;
        EXPECT_TRUE(parse_sea_level(text, &value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
}

TEST(ParseSeaLevel, RefusesAnythingElseAndLeavesTheValue) {
    for (const char* text : {"", "032C", "0300", "00", "12ab", "abc", "-1", "+5", " 12", "12 ", "0x", "0x10000",
                             "65536", "70000", "99999999999", "1e3", "0x1g", "\r", "0x\r", "12\r3", "\t1"}) {
        uint16_t value = 0x5A5A;
        EXPECT_FALSE(parse_sea_level(text, &value)) << text;
        EXPECT_EQ(value, 0x5A5A) << text;
    }
}
