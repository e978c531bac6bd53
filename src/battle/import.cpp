// The import command: two heightmap PNGs are compressed into 8x8 blocks (a
// base height and 64 steps of 128 each, the patterns shared across both
// heightmaps) and spliced into a copy of the battle file in place of its old
// HMAP chunk.
#include <cstring>

#include "battle_file.h"
#include "png_heightmap.h"

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

inline uint32_t sample_at(const uint8_t* row, uint32_t x) { return (uint32_t{row[2 * x]} << 8) | row[2 * x + 1]; }

// One heightmap's rows: one after another in `samples`, or where `starts` says.
struct Rows {
    const uint8_t* samples;
    const uint8_t* const* starts;
    uint32_t width;
    const uint8_t* at(uint32_t y, uint32_t x) const {
        return (starts != nullptr ? starts[y] : samples + 2 * (uint64_t{y} * width)) + 2 * uint64_t{x};
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

void print_truncation(void*, uint32_t x0, uint32_t y0) {
    console_printf("Warning: Truncating elevation change for block starting at %d,%d\r\n", static_cast<int>(x0),
                   static_cast<int>(y0));
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
    for (const Rows& image : {Rows{pair.samples1, pair.rows1, width}, Rows{pair.samples2, pair.rows2, width}}) {
        for (uint32_t y0 = 0; y0 < height; y0 += 8) {
            const uint32_t rows = height - y0 < 8 ? height - y0 : 8;
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

namespace {

// Writes the new battle file from its three parts. It is kept only when
// every input read in place is still the version read; else the write is
// abandoned and the changed input named.
Status write_parts(const uint8_t* head, uint64_t head_size, const uint8_t* chunk, uint64_t span, const uint8_t* tail,
                   uint64_t tail_size, const char* battle_in, const BattleFile& battle, const char* battle_out,
                   const char* png1, const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    // The input that changed, if one did (its check sets the error code).
    auto changed_input = [&]() -> const char* {
        return !battle_unchanged(battle) ? battle_in
               : !grey16_unchanged(image1) ? png1
               : !grey16_unchanged(image2) ? png2
                                           : nullptr;
    };
    FileWrite* out = begin_file_write(battle_out, head_size + span + tail_size);
    if (out == nullptr) return report_file_failure(battle_out);
    if (!write_file_part(out, head, head_size) || !write_file_part(out, chunk, span) ||
        !write_file_part(out, tail, tail_size)) {
        // A tail cut short under its view fails the write itself (EFAULT).
        abandon_file_write(out);
        const char* changed = changed_input();
        return report_file_failure(changed != nullptr ? changed : battle_out);
    }
    if (const char* changed = changed_input()) {
        abandon_file_write(out);
        return report_file_failure(changed);
    }
    if (!finish_file_write(out)) return report_file_failure(battle_out);
    return status_ok;
}


// Writes the new battle file: the old one's head (from its private copy),
// the new chunk, the old tail (read in place).
Status write_battle(const char* battle_in, BattleFile* battle, const uint8_t* chunk, uint64_t span,
                    const char* battle_out, const char* png1, const Grey16Image& image1, const char* png2,
                    const Grey16Image& image2) {
    const uint64_t head = battle->chunk_pos;
    const uint64_t tail_at = battle->chunk_pos + battle->chunk_span;
    const uint64_t tail_size = battle->size - tail_at;
    const uint8_t* tail = battle->data + tail_at;
    // Written over itself, the battle file is let go of first, its tail
    // copied: a write in place would change the bytes still to be read, and
    // Windows replaces no file that is mapped.
    uint8_t* own_tail = nullptr;
    if (same_file(battle_out, battle_in)) {
        own_tail = allocate_buffer(tail_size);
        if (own_tail == nullptr) return report_out_of_memory(battle_out);
        if (!copy_from_view(battle->view, tail_at, tail_size, own_tail)) {
            release_buffer(own_tail);
            return report_file_failure(battle_in);
        }
        close_file_view(&battle->view);
        tail = own_tail;
    }
    Status status = write_parts(battle_head(*battle), head, chunk, span, tail, tail_size, battle_in, *battle,
                                battle_out, png1, image1, png2, image2);
    release_buffer(own_tail);
    return status;
}

}  // namespace

Status import_heightmaps(const char* battle_in, const char* battle_out, const char* png1, const char* png2) {
    // The new battle file may replace the old one (everything is read before
    // it is written), but never one of the images.
    if (report_output_is_input(battle_out, png1) || report_output_is_input(battle_out, png2)) return status_refused;
    // Both images are loaded, so both report their faults.
    Grey16Image image1, image2;
    Status status1 = load_grey16_png(png1, &image1);
    Status status2 = load_grey16_png(png2, &image2);
    Status status = status1 != status_ok ? status1 : status2;
    if (status == status_ok) status = import_images(battle_in, battle_out, png1, image1, png2, image2);
    release_grey16_image(&image1);
    release_grey16_image(&image2);
    return status;
}

bool report_unmatched_images(const char* png1, const Grey16Image& image1, const char* png2,
                             const Grey16Image& image2) {
    if (image1.width != image2.width || image1.height != image2.height) {
        console_printf("Error: %s (%dx%d) must be the same dimensions as %s (%dx%d).\r\n", png1,
                       static_cast<int>(image1.width), static_cast<int>(image1.height), png2,
                       static_cast<int>(image2.width), static_cast<int>(image2.height));
        return true;
    }
    if (image1.sea_level != image2.sea_level) {
        // A warning by its wording, but the import stops here.
        console_printf("Warning: %s sea-level (%04X) differs from %s sea-level (%04X).\r\n", png1,
                       static_cast<unsigned>(image1.sea_level), png2, static_cast<unsigned>(image2.sea_level));
        return true;
    }
    return false;
}

void report_import_warnings(const char* battle_in, const BattleFile& battle, const char* png1,
                            const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    if (battle_width(battle) != image1.width || battle_height(battle) != image1.height) {
        console_printf("Warning: %s heightmap dimensions (%dx%d) differ from new (%dx%d).\r\n", battle_in,
                       static_cast<int>(battle_width(battle)), static_cast<int>(battle_height(battle)),
                       static_cast<int>(image1.width), static_cast<int>(image1.height));
    }
    // Image editors drop the private chunk; with both images stripped of
    // it every height would move by the battle file's own sea level. The
    // line says how to take that value back from the battle file.
    if (!image1.has_sea_level && !image2.has_sea_level && battle.sea_level != 0) {
        console_printf("Warning: %s and %s have no sea-level chunk; 0000 used, %s has %04X. If they came from "
                       "it, restore it with hmap -s %s %s and hmap -s %s %s.\r\n",
                       png1, png2, battle_in, static_cast<unsigned>(battle.sea_level), png1, battle_in, png2,
                       battle_in);
    }
}

Status import_images(const char* battle_in, const char* battle_out, const char* png1, const Grey16Image& image1,
                     const char* png2, const Grey16Image& image2) {
    Status status = status_ok;
    BattleFile battle{};
    uint8_t* index = nullptr;
    uint8_t* chunk = nullptr;
    if (report_unmatched_images(png1, image1, png2, image2)) status = status_refused;
    // The new battle file is the old one's bytes before its HMAP chunk, the
    // new chunk (built in a buffer of its own, room for 2 x NB patterns:
    // 64-bit sizes cannot wrap, NB is below 2^26), and the old bytes after it.
    const uint64_t nb = heightmap_block_count(image1.width, image1.height);
    if (status == status_ok) status = load_battle_file(battle_in, &battle);

    if (status == status_ok) {
        const uint32_t width = image1.width, height = image1.height;
        report_import_warnings(battle_in, battle, png1, image1, png2, image2);
        index = allocate_buffer(pattern_index_size(nb));
        chunk = index != nullptr ? allocate_buffer(chunk_capacity(nb)) : nullptr;
        if (chunk == nullptr) {
            status = report_out_of_memory(battle_out);
        } else {
            const HeightmapPair pair{image1.samples, image2.samples, width, height, image1.sea_level,
                                     image1.rows, image2.rows};
            uint64_t span = encode_heightmaps(pair, chunk, reinterpret_cast<uint32_t*>(index), max_patterns,
                                              print_truncation, nullptr);
            if (span == 0) {
                console_printf("Error: %s and %s hold 67108864 or more distinct 8x8 patterns; a battle file "
                               "stores at most 67108863.\r\n",
                               png1, png2);
                status = status_refused;
            } else {
                status = write_battle(battle_in, &battle, chunk, span, battle_out, png1, image1, png2, image2);
            }
        }
    }

    if (chunk != nullptr) release_buffer(chunk);
    if (index != nullptr) release_buffer(index);
    release_battle_file(&battle);
    return status;
}
