// What every fuzz target shares: a check that stops the run with the failed
// condition (libFuzzer keeps the input that made it fail), and input helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// The input in a block of exactly its own size, so that AddressSanitizer
// catches a read one byte past the end.
inline std::vector<uint8_t> exact_copy(const uint8_t* data, size_t size) { return {data, data + size}; }

// memcmp that takes empty ranges (whose pointers may be null).
inline bool same_bytes(const void* a, const void* b, size_t count) {
    return count == 0 || std::memcmp(a, b, count) == 0;
}

inline uint32_t fuzz_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline uint32_t fuzz_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
