// CRC-32 (PNG chunks) and Adler-32 (zlib stream).
#include <array>

#include "png_heightmap.h"

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// Slicing by sixteen: table k gives the CRC of a byte followed by k zero
// bytes, so sixteen bytes are folded in with sixteen independent look-ups.
// Table 0 is the classic byte-at-a-time table.
using CrcTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr CrcTables make_crc_tables() {
    CrcTables tables{};
    tables[0] = make_crc_table();
    for (size_t k = 1; k < 16; ++k) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = tables[k - 1][n];
            tables[k][n] = tables[0][c & 0xFF] ^ (c >> 8);
        }
    }
    return tables;
}

constexpr CrcTables crc_tables = make_crc_tables();
constexpr const std::array<uint32_t, 256>& crc_table = crc_tables[0];

uint32_t load_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* bytes, size_t count) {
    uint32_t c = ~crc;
    for (; count >= 16; count -= 16, bytes += 16) {
        const uint32_t w0 = c ^ load_le32(bytes);
        const uint32_t w1 = load_le32(bytes + 4);
        const uint32_t w2 = load_le32(bytes + 8);
        const uint32_t w3 = load_le32(bytes + 12);
        c = crc_tables[15][w0 & 0xFF] ^ crc_tables[14][(w0 >> 8) & 0xFF] ^ crc_tables[13][(w0 >> 16) & 0xFF] ^
            crc_tables[12][w0 >> 24] ^ crc_tables[11][w1 & 0xFF] ^ crc_tables[10][(w1 >> 8) & 0xFF] ^
            crc_tables[9][(w1 >> 16) & 0xFF] ^ crc_tables[8][w1 >> 24] ^ crc_tables[7][w2 & 0xFF] ^
            crc_tables[6][(w2 >> 8) & 0xFF] ^ crc_tables[5][(w2 >> 16) & 0xFF] ^ crc_tables[4][w2 >> 24] ^
            crc_tables[3][w3 & 0xFF] ^ crc_tables[2][(w3 >> 8) & 0xFF] ^ crc_tables[1][(w3 >> 16) & 0xFF] ^
            crc_tables[0][w3 >> 24];
    }
    for (size_t i = 0; i < count; ++i) c = crc_table[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t crc32_bytes(const uint8_t* bytes, size_t count) { return crc32_update(0, bytes, count); }

uint32_t adler32_update(uint32_t adler, const uint8_t* bytes, size_t count) {
    constexpr uint32_t modulus = 65521;
    constexpr size_t run = 5552;  // the most bytes before the sums can overflow 32 bits
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
    while (count > 0) {
        size_t n = count < run ? count : run;
        count -= n;
        // Sixteen bytes at a time: b gains 16 x a plus the bytes weighted by
        // how many of the sixteen steps each one takes part in. The weighted
        // sums have no chain from byte to byte, so they run in parallel.
        for (; n >= 16; n -= 16, bytes += 16) {
            uint32_t sum = 0, weighted = 0;
            for (uint32_t i = 0; i < 16; ++i) {
                sum += bytes[i];
                weighted += (16 - i) * bytes[i];
            }
            b += 16 * a + weighted;
            a += sum;
        }
        for (; n > 0; --n) {
            a += *bytes++;
            b += a;
        }
        a %= modulus;
        b %= modulus;
    }
    return (b << 16) | a;
}

uint32_t adler32_bytes(const uint8_t* bytes, size_t count) { return adler32_update(1, bytes, count); }
