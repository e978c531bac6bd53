// CRC-32 and Adler-32 (libdeflate's, which take the bytes in wide steps
// with the processor's vector instructions) against the plain
// one-byte-at-a-time definitions, at every length and alignment around those
// steps, and continued from running values.
#include <gtest/gtest.h>

#include <vector>

#include "png_heightmap.h"

namespace {

uint32_t crc_bit_by_bit(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

uint32_t adler_byte_by_byte(const uint8_t* p, size_t n) {
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

}  // namespace

TEST(Checksums, EveryLengthAndAlignmentAroundTheSixteenByteSteps) {
    std::vector<uint8_t> data(340);
    uint32_t x = 12345;
    for (uint8_t& byte : data) {
        x = x * 1103515245 + 12345;
        byte = static_cast<uint8_t>(x >> 16);
    }
    for (size_t start = 0; start < 16; ++start) {
        for (size_t n = 0; start + n <= 320; ++n) {
            const uint8_t* p = data.data() + start;
            ASSERT_EQ(crc32_bytes(p, n), crc_bit_by_bit(p, n)) << start << " " << n;
            ASSERT_EQ(adler32_bytes(p, n), adler_byte_by_byte(p, n)) << start << " " << n;
            // Continuing from a running value: the register enters the first block.
            ASSERT_EQ(crc32_update(crc32_bytes(data.data(), start), p, n), crc_bit_by_bit(data.data(), start + n));
        }
    }
}

TEST(Checksums, AdlerOfAllOnesAroundTheModuloRuns) {
    // 0xFF bytes make the largest sums; runs of 5552 bytes are where they
    // must be reduced.
    std::vector<uint8_t> ones(3 * 5552 + 40, 0xFF);
    for (size_t n : {size_t{5551}, size_t{5552}, size_t{5553}, size_t{5552 + 15}, size_t{2 * 5552 + 16}, ones.size()}) {
        EXPECT_EQ(adler32_bytes(ones.data(), n), adler_byte_by_byte(ones.data(), n)) << n;
        // Continuing from the largest sums a running Adler-32 can hold.
        uint32_t a = 0xFFF0, b = 0xFFF0;
        for (size_t i = 0; i < n; ++i) {
            a = (a + 0xFF) % 65521;
            b = (b + a) % 65521;
        }
        EXPECT_EQ(adler32_update(0xFFF0FFF0, ones.data(), n), (b << 16) | a) << n;
    }
}
