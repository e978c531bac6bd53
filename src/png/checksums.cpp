// CRC-32 (PNG chunks) and Adler-32 (zlib stream).
#include <array>
#include <cstring>

#include "png_heightmap.h"

// On x86 processors with carry-less multiplication (PCLMULQDQ) long runs are
// folded 64 bytes at a time; everything else takes the tables.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define HMAP_CRC_FOLDING 1
#endif

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

namespace {

// The CRC register (not complemented) after `count` more bytes, by the tables.
uint32_t crc_by_tables(uint32_t c, const uint8_t* bytes, size_t count) {
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
    return c;
}

#if HMAP_CRC_FOLDING

// Folding. Bytes go in bit 0 first, so in a 16-byte block loaded as a
// 128-bit number, bit m is the coefficient of x^(127 - m) of the block's
// polynomial. Two blocks A, B in a row are worth A x^128 + B, and only the
// remainder modulo the CRC polynomial matters, so A can be folded into B:
// A's first eight bytes (its x^127 .. x^64 terms) times x^191 mod P, its
// last eight times x^127 mod P. A carry-less product of two 64-bit numbers
// puts bit i x bit j at bit i + j, so a remainder r (degree < 32) takes part
// as the 64-bit constant with bit 63 - d set for each x^d term of r. Four
// blocks are kept in flight and folded across 512 bits (x^575, x^511).

// x^n mod P, P = x^32 + 0x04C11DB7, bit d holding x^d.
constexpr uint32_t x_power_mod(uint32_t n) {
    uint64_t r = 1;
    for (uint32_t i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x100000000) r ^= 0x104C11DB7;
    }
    return static_cast<uint32_t>(r);
}

constexpr uint64_t fold_constant(uint32_t n) {
    const uint32_t r = x_power_mod(n);
    uint64_t k = 0;
    for (int d = 0; d < 32; ++d)
        if (r >> d & 1) k |= uint64_t{1} << (63 - d);
    return k;
}

constexpr uint64_t fold_128_first = fold_constant(191);
constexpr uint64_t fold_128_second = fold_constant(127);
constexpr uint64_t fold_512_first = fold_constant(575);
constexpr uint64_t fold_512_second = fold_constant(511);

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// The register after `blocks` (at least 4) 16-byte blocks.
__attribute__((target("pclmul,sse2"))) uint32_t crc_by_folding(uint32_t c, const uint8_t* bytes, size_t blocks) {
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i k512 = _mm_set_epi64x(static_cast<long long>(fold_512_second), static_cast<long long>(fold_512_first));
    const __m128i k128 = _mm_set_epi64x(static_cast<long long>(fold_128_second), static_cast<long long>(fold_128_first));
    // The register enters as the first four bytes' partner, as in the tables.
    __m128i x0 = _mm_xor_si128(load(bytes), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = load(bytes + 16), x2 = load(bytes + 32), x3 = load(bytes + 48);
    bytes += 64;
    blocks -= 4;
    for (; blocks >= 4; blocks -= 4, bytes += 64) {
        x0 = _mm_xor_si128(fold(x0, k512), load(bytes));
        x1 = _mm_xor_si128(fold(x1, k512), load(bytes + 16));
        x2 = _mm_xor_si128(fold(x2, k512), load(bytes + 32));
        x3 = _mm_xor_si128(fold(x3, k512), load(bytes + 48));
    }
    __m128i x = _mm_xor_si128(fold(x0, k128), x1);
    x = _mm_xor_si128(fold(x, k128), x2);
    x = _mm_xor_si128(fold(x, k128), x3);
    for (; blocks > 0; --blocks, bytes += 16) x = _mm_xor_si128(fold(x, k128), load(bytes));
    // What is left is one block with the same remainder as everything so far.
    uint8_t last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x);
    return crc_by_tables(0, last, 16);
}

bool can_fold() {
    static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return supported;
}

#endif

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* bytes, size_t count) {
    uint32_t c = ~crc;
#if HMAP_CRC_FOLDING
    if (count >= 64 && can_fold()) {
        const size_t blocks = count / 16;
        c = crc_by_folding(c, bytes, blocks);
        bytes += 16 * blocks;
        count -= 16 * blocks;
    }
#endif
    return ~crc_by_tables(c, bytes, count);
}

uint32_t crc32_bytes(const uint8_t* bytes, size_t count) { return crc32_update(0, bytes, count); }

namespace {

// The lanes of adler32_update over `steps` steps of 16 bytes. Kept apart,
// working through pointers, and not unrolled: otherwise GCC at -O3 makes 32
// scalars of the two arrays instead of eight vector registers.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void add_lanes(const uint8_t* bytes, size_t steps, uint32_t* __restrict sums, uint32_t* __restrict prefix) {
    for (int i = 0; i < 16; ++i) sums[i] = prefix[i] = 0;
    for (size_t j = 0; j < steps; ++j, bytes += 16) {
#if defined(__GNUC__)
#pragma GCC unroll 1
#endif
        for (int i = 0; i < 16; ++i) {
            sums[i] += bytes[i];
            prefix[i] += sums[i];
        }
    }
}

}  // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t* bytes, size_t count) {
    constexpr uint32_t modulus = 65521;
    // Sixteen lanes, one per byte position within a 16-byte step: `sums`
    // adds up each lane's bytes, `prefix` adds up `sums` after every step,
    // so a byte of step j of c counts (c - j) times in it. The byte at
    // position p of the run then adds (length - p) x byte to b, as the
    // byte-by-byte definition says, while the lanes run independently (and
    // the compiler keeps them in vector registers). 4096 steps keep every
    // prefix below 2^32: 255 x 4096 x 4097 / 2 < 2^31.
    constexpr size_t max_steps = 4096;
    uint64_t a = adler & 0xFFFF;
    uint64_t b = adler >> 16;
    while (count >= 16) {
        size_t steps = count / 16 < max_steps ? count / 16 : max_steps;
        uint32_t sums[16];
        uint32_t prefix[16];
        add_lanes(bytes, steps, sums, prefix);
        bytes += 16 * steps;
        count -= 16 * steps;
        uint64_t total = 0, weighted = 0;
        for (uint32_t i = 0; i < 16; ++i) {
            total += sums[i];
            weighted += 16 * uint64_t{prefix[i]} - i * uint64_t{sums[i]};
        }
        b = (b + 16 * steps * a + weighted) % modulus;
        a = (a + total) % modulus;
    }
    for (; count > 0; --count) {
        a += *bytes++;
        b += a;
    }
    return static_cast<uint32_t>(((b % modulus) << 16) | (a % modulus));
}

uint32_t adler32_bytes(const uint8_t* bytes, size_t count) { return adler32_update(1, bytes, count); }
