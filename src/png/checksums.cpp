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

constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* bytes, size_t count) {
    uint32_t c = ~crc;
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
        for (size_t i = 0; i < n; ++i) {
            a += bytes[i];
            b += a;
        }
        bytes += n;
        a %= modulus;
        b %= modulus;
    }
    return (b << 16) | a;
}

uint32_t adler32_bytes(const uint8_t* bytes, size_t count) { return adler32_update(1, bytes, count); }
