// The import's encoder: two heightmaps are compressed into 8x8 blocks (a
// base height and 64 steps of 128 each, the patterns shared across both
// heightmaps) making a new HMAP chunk.
#include <cstring>

#include "battle_file.h"

namespace {

// Slots of the pattern index: a power of two at least twice the 2 x NB
// patterns the pool can ever hold, so probe runs stay short.
uint64_t index_capacity(uint64_t nb) {
    uint64_t capacity = 64;
    while (capacity < 4 * nb) capacity *= 2;
    return capacity;
}

// The pool's hash, keyed afresh for every run from the system's random
// source: SipHash-1-3 over the pattern's eight words. With a fixed hash an
// image could be made whose patterns all share one hash (the last word of
// each chosen to match the first seven), and every new pattern would then be
// compared with all the earlier ones; without the key nobody can aim at one
// slot. The key changes only the index, never the pool's order or the file.
struct PoolKey {
    uint64_t k0, k1;
};

inline uint64_t rotate(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1, v1 = rotate(v1, 13), v1 ^= v0, v0 = rotate(v0, 32);
        v2 += v3, v3 = rotate(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotate(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotate(v1, 17), v1 ^= v2, v2 = rotate(v2, 32);
    }
};

uint64_t hash_pattern(const uint8_t* pattern, const PoolKey& key) {
    SipState s{key.k0 ^ 0x736f6d6570736575u, key.k1 ^ 0x646f72616e646f6du, key.k0 ^ 0x6c7967656e657261u,
               key.k1 ^ 0x7465646279746573u};
    for (int i = 0; i < 8; ++i) {
        uint64_t word;
        memcpy(&word, pattern + 8 * i, 8);
        s.v3 ^= word;
        s.round();
        s.v0 ^= word;
    }
    const uint64_t last = uint64_t{64} << 56;  // the length, in the final word
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xFF;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// A fresh key. Should the random source fail, the addresses the system gave
// this run (moved about on every start) stand in: weaker, but no fixed key.
PoolKey fresh_pool_key(const void* index) {
    PoolKey key{};
    if (!system_random(&key, sizeof key)) {
        const uint32_t saved = last_error_code();
        key.k0 = reinterpret_cast<uintptr_t>(index) * 0x9E3779B97F4A7C15u;
        key.k1 = reinterpret_cast<uintptr_t>(&key) ^ (reinterpret_cast<uintptr_t>(&fresh_pool_key) << 17);
        set_last_error_code(saved);
    }
    return key;
}

// The pattern pool: `count` patterns of 64 bytes at `bytes`, never two alike.
// The index, when there is one, is an open-addressing table with linear
// probing, chosen by the hash's low bits. A slot is two words: the pattern's
// number + 1 (0 marks a free slot) and the high 32 bits of its hash, so that
// a probe reads the pool only when the hashes agree.
struct PatternPool {
    uint8_t* bytes;
    uint64_t count;
    uint32_t* index;
    uint64_t mask;
};

// The number of the pattern equal to `pattern`, appending it when the pool
// has none; `limit` when appending would bring the pool to `limit` patterns.
// The pool never holds two identical patterns, so the hashed lookup finds the
// same pattern as a scan from the start.
uint64_t find_or_add_pattern(PatternPool& pool, const uint8_t* pattern, uint64_t hash, uint64_t limit) {
    uint64_t slot = 0;
    const auto tag = static_cast<uint32_t>(hash >> 32);
    if (pool.index == nullptr) {
        for (uint64_t n = 0; n < pool.count; ++n) {
            if (memcmp(pool.bytes + 64 * n, pattern, 64) == 0) return n;
        }
    } else {
        for (slot = hash & pool.mask; uint32_t number = pool.index[2 * slot]; slot = (slot + 1) & pool.mask) {
            uint64_t n = number - 1;
            if (pool.index[2 * slot + 1] == tag && memcmp(pool.bytes + 64 * n, pattern, 64) == 0) return n;
        }
    }
    if (pool.count + 1 >= limit) return limit;
    uint64_t n = pool.count++;
    memcpy(pool.bytes + 64 * n, pattern, 64);
    if (pool.index != nullptr) {
        pool.index[2 * slot] = static_cast<uint32_t>(n + 1);
        pool.index[2 * slot + 1] = tag;
    }
    return n;
}

// The block's samples at their cells (row x 8 + column), and their range.
// Cells outside the image are left alone.
struct Block {
    uint32_t values[64];
    uint32_t lo, hi;
};

inline uint32_t sample_at(const uint8_t* row, uint32_t x) { return read_be16(row + 2 * x); }

// One heightmap's rows: one after another in `samples` (from row `first`
// on), or where `starts` says.
struct Rows {
    const uint8_t* samples;
    const uint8_t* const* starts;
    uint32_t width;
    uint32_t first = 0;
    const uint8_t* at(uint32_t y, uint32_t x) const {
        return (starts != nullptr ? starts[y] : samples + 2 * (uint64_t{y - first} * width)) + 2 * uint64_t{x};
    }
};

void read_block(const Rows& image, uint32_t x0, uint32_t y0, uint32_t columns, uint32_t rows, Block& block) {
    block.lo = 65535;
    block.hi = 0;
    if (columns == 8 && rows == 8) {
        // Whole blocks, fixed loops that the compiler can vectorise.
        for (uint32_t r = 0; r < 8; ++r) {
            const uint8_t* row = image.at(y0 + r, x0);
            for (uint32_t c = 0; c < 8; ++c) block.values[r * 8 + c] = sample_at(row, c);
        }
        uint32_t lo = 65535, hi = 0;
        for (uint32_t v : block.values) {
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
        block.lo = lo;
        block.hi = hi;
        return;
    }
    for (uint32_t r = 0; r < rows; ++r) {
        const uint8_t* row = image.at(y0 + r, x0);
        for (uint32_t c = 0; c < columns; ++c) {
            uint32_t v = sample_at(row, c);
            block.values[r * 8 + c] = v;
            if (v < block.lo) block.lo = v;
            if (v > block.hi) block.hi = v;
        }
    }
}

// Steps of 128 above the block minimum, rounded to nearest, capped at 255.
inline uint8_t step_of(uint32_t v, uint32_t lo) {
    uint32_t q = (v - lo + 64) >> 7;
    return static_cast<uint8_t>(q > 255 ? 255 : q);
}

void write_steps(const Block& block, uint32_t columns, uint32_t rows, uint8_t* scratch) {
    if (columns == 8 && rows == 8) {
        for (uint32_t i = 0; i < 64; ++i) scratch[i] = step_of(block.values[i], block.lo);
        return;
    }
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < columns; ++c) scratch[r * 8 + c] = step_of(block.values[r * 8 + c], block.lo);
}

}  // namespace

uint64_t heightmap_block_count(uint32_t width, uint32_t height) {
    return ((uint64_t{height} + 7) / 8) * ((uint64_t{width} + 7) / 8);
}

uint64_t chunk_capacity(uint64_t nb) { return 32 + 144 * nb; }

uint64_t pattern_index_size(uint64_t nb) { return index_capacity(nb) * 2 * sizeof(uint32_t); }

uint64_t encode_heightmaps(const HeightmapPair& pair, uint8_t* chunk, uint32_t* index, uint64_t pattern_limit,
                           TruncationReport report, void* context) {
    const uint32_t width = pair.width, height = pair.height;
    const uint64_t nb = heightmap_block_count(width, height);
    const uint64_t l1 = 16 * nb;
    memcpy(chunk, "HMAP", 4);
    write_le32(chunk + 8, width);
    write_le32(chunk + 12, height);
    write_le32(chunk + 20, static_cast<uint32_t>(nb));
    write_le32(chunk + 24, static_cast<uint32_t>(l1));

    PatternPool pool{chunk + 32 + l1, 0, index, 0};
    PoolKey key{};
    if (index != nullptr) {
        pool.mask = index_capacity(nb) - 1;
        take_pages_for_writing(index, pattern_index_size(nb));
        memset(index, 0, pattern_index_size(nb));
        key = fresh_pool_key(index);
    }

    // One scratch pattern for the whole run, never cleared between blocks:
    // in the right-most and bottom-most blocks of an image whose sides are not
    // multiples of 8, the cells outside the image keep what earlier blocks left
    // there, and those cells go into the pool comparison and the file. Before
    // any block has written them they hold 0.
    uint8_t scratch[64] = {};

    // Each block is looked up in the pool a few blocks late: its index slot
    // is fetched into the cache while the blocks after it are read. The
    // lookups still run in block order, so the pool grows exactly as it would
    // without the delay.
    constexpr uint64_t delay = 8;
    struct Pending {
        uint8_t pattern[64];
        uint64_t hash;
        uint8_t* entry;
    } pending[delay];
    auto resolve = [&](const Pending& p) {
        uint64_t n = find_or_add_pattern(pool, p.pattern, p.hash, pattern_limit);
        if (n == pattern_limit) return false;
        write_le32(p.entry + 4, static_cast<uint32_t>(64 * n));
        return true;
    };

    // The table is written whole; the pool's pages are taken a few MiB
    // ahead of it, as it grows (a row of blocks adds at most a pattern each).
    take_pages_for_writing(chunk + 32, l1);
    const uint64_t row_most = 64 * ((uint64_t{width} + 7) / 8);
    const uint64_t pages_ahead = uint64_t{8} << 20;
    uint64_t taken = 0;
    uint8_t* entry = chunk + 28;
    uint64_t k = 0;
    Block block;
    // Rows made eight at a time go to the band the caller gave.
    uint8_t* band = pair.band != nullptr ? pair.band_rows : nullptr;
    int layer = 0;
    for (Rows image : {Rows{pair.samples1, pair.rows1, width}, Rows{pair.samples2, pair.rows2, width}}) {
        for (uint32_t y0 = 0; y0 < height; y0 += 8) {
            const uint32_t rows = height - y0 < 8 ? height - y0 : 8;
            if (band != nullptr) {
                pair.band(pair.band_context, layer, y0, rows, band);
                image = Rows{band, nullptr, width, y0};
            }
            if (taken < 64 * 2 * nb && 64 * (pool.count + delay) + row_most > taken) {
                const uint64_t room = 64 * (2 * nb - pool.count);
                const uint64_t step = pages_ahead < room ? pages_ahead : room;
                take_pages_for_writing(pool.bytes + 64 * pool.count, step);
                taken = 64 * pool.count + step;
            }
            for (uint32_t x0 = 0; x0 < width; x0 += 8, ++k, entry += 8) {
                const uint32_t columns = width - x0 < 8 ? width - x0 : 8;
                read_block(image, x0, y0, columns, rows, block);
                if (block.hi - block.lo > max_block_range && report != nullptr) report(context, x0, y0);
                write_le32(entry, static_cast<uint32_t>(static_cast<int32_t>(block.lo) - pair.sea_level));
                write_steps(block, columns, rows, scratch);

                // The slot of block k - delay is the one this block takes over.
                Pending& slot = pending[k % delay];
                if (k >= delay && !resolve(slot)) return 0;
                memcpy(slot.pattern, scratch, 64);
                slot.entry = entry;
                slot.hash = 0;
                if (index != nullptr) {
                    slot.hash = hash_pattern(scratch, key);
                    __builtin_prefetch(&index[2 * (slot.hash & pool.mask)]);
                }
            }
        }
        ++layer;
    }
    for (uint64_t j = k > delay ? k - delay : 0; j < k; ++j) {
        if (!resolve(pending[j % delay])) return 0;
    }

    const uint64_t l2 = 64 * pool.count;
    write_le32(chunk + 16, static_cast<uint32_t>(pool.count));
    write_le32(chunk + 28 + l1, static_cast<uint32_t>(l2));
    // The size word counts half the layer-1 table; it is kept to 32 bits.
    write_le32(chunk + 4, static_cast<uint32_t>(l1 / 2 + l2 + 24));
    return 32 + l1 + l2;
}
