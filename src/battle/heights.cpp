// The heights a battle file's heightmaps hold, pixel by pixel (base + 128 x
// step), and how they fit in the 16-bit samples an export writes.
#include "battle_file.h"

LayerHeights battle_layer_heights(const BattleFile& file, int layer) {
    const uint32_t width = battle_width(file), height = battle_height(file);
    const uint64_t blocks_per_row = (uint64_t{width} + 7) / 8;
    const uint8_t* entries = battle_entries(file) + uint64_t(layer) * battle_block_count(file) * 8;
    const int64_t sea_level = file.sea_level;
    LayerHeights out{INT64_MAX, INT64_MIN, 0};
    for (uint32_t y0 = 0; y0 < height; y0 += 8) {
        const uint32_t rows = height - y0 < 8 ? height - y0 : 8;
        for (uint32_t x0 = 0; x0 < width; x0 += 8) {
            const uint32_t columns = width - x0 < 8 ? width - x0 : 8;
            const uint8_t* entry = entries + (y0 / 8 * blocks_per_row + x0 / 8) * 8;
            const int64_t base = static_cast<int32_t>(read_le32(entry));
            const uint8_t* pattern = entry_pattern(file, entry);
            // The block's range from its smallest and largest step; its
            // pixels one by one only when some of them wrap.
            uint8_t least = 255, most = 0;
            if (rows == 8 && columns == 8) {
                // A whole block: a fixed loop the compiler makes vector code of.
                for (uint32_t i = 0; i < 64; ++i) {
                    least = pattern[i] < least ? pattern[i] : least;
                    most = pattern[i] > most ? pattern[i] : most;
                }
            } else {
                for (uint32_t r = 0; r < rows; ++r) {
                    for (uint32_t c = 0; c < columns; ++c) {
                        const uint8_t step = pattern[r * 8 + c];
                        least = step < least ? step : least;
                        most = step > most ? step : most;
                    }
                }
            }
            const int64_t lowest = base + 128 * int64_t{least}, highest = base + 128 * int64_t{most};
            if (lowest < out.lowest) out.lowest = lowest;
            if (highest > out.highest) out.highest = highest;
            if (lowest + sea_level >= 0 && highest + sea_level <= 65535) continue;
            for (uint32_t r = 0; r < rows; ++r) {
                for (uint32_t c = 0; c < columns; ++c) {
                    const int64_t h = base + 128 * int64_t{pattern[r * 8 + c]};
                    if (h + sea_level < 0 || h + sea_level > 65535) ++out.wrapped;
                }
            }
        }
    }
    return out;
}

void battle_height_row(const BattleFile& file, int layer, uint32_t y, int64_t* out) {
    const uint32_t width = battle_width(file);
    const uint64_t blocks_per_row = (uint64_t{width} + 7) / 8;
    const uint8_t* entry =
        battle_entries(file) + (uint64_t(layer) * battle_block_count(file) + y / 8 * blocks_per_row) * 8;
    for (uint32_t x0 = 0; x0 < width; x0 += 8, entry += 8) {
        const int64_t base = static_cast<int32_t>(read_le32(entry));
        const uint8_t* steps = entry_pattern(file, entry) + (y % 8) * 8;
        if (width - x0 >= 8) {
            for (uint32_t c = 0; c < 8; ++c) out[x0 + c] = base + 128 * int64_t{steps[c]};
        } else {
            for (uint32_t c = 0; c < width - x0; ++c) out[x0 + c] = base + 128 * int64_t{steps[c]};
        }
    }
}

namespace {

// The big-endian samples pattern x 128 + base (mod 65536) of `count` pixels.
inline void put_samples(uint8_t* out, const uint8_t* pattern, uint16_t base, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(pattern[i] * 128 + base);
        out[2 * i] = static_cast<uint8_t>(v >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(v);
    }
}

}  // namespace

void battle_sample_row(const BattleFile& file, int layer, uint32_t y, uint8_t* out) {
    const uint32_t width = battle_width(file), row_in_block = y % 8;
    const uint64_t blocks_per_row = (uint64_t{width} + 7) / 8;
    const uint8_t* entries = battle_entries(file) + (uint64_t(layer) * battle_block_count(file) + (y / 8) * blocks_per_row) * 8;
    for (uint32_t x0 = 0; x0 < width; x0 += 8, entries += 8, out += 16) {
        const uint16_t base = static_cast<uint16_t>(read_le32(entries) + file.sea_level);
        const uint8_t* pattern = entry_pattern(file, entries) + row_in_block * 8;
        if (width - x0 >= 8) {
            put_samples(out, pattern, base, 8);  // a whole block: a fixed count the compiler unrolls
        } else {
            put_samples(out, pattern, base, width - x0);
        }
    }
}
