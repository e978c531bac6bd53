// The heights a battle file's heightmaps hold, pixel by pixel (base + 128 x
// step), and how they fit in the 16-bit samples an export writes.
#include "battle_file.h"

namespace {

struct Range {
    int64_t lowest;
    int64_t highest;
};

// The pixels of a block whose sample (height + sea level) lies outside
// 0..65535, counted cell by cell; `range` takes in each height.
uint64_t count_wrapped(const uint8_t* pattern, int64_t base, int64_t sea_level, uint32_t columns, uint32_t rows,
                       Range& range) {
    uint64_t wrapped = 0;
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t c = 0; c < columns; ++c) {
            const int64_t h = base + 128 * int64_t{pattern[r * 8 + c]};
            if (h < range.lowest) range.lowest = h;
            if (h > range.highest) range.highest = h;
            if (h + sea_level < 0 || h + sea_level > 65535) ++wrapped;
        }
    }
    return wrapped;
}

}  // namespace

LayerHeights battle_layer_heights(const BattleFile& file, int layer) {
    const uint32_t width = battle_width(file), height = battle_height(file);
    const uint64_t blocks_per_row = (uint64_t{width} + 7) / 8;
    const uint8_t* entries = battle_entries(file) + uint64_t(layer) * battle_block_count(file) * 8;
    const uint8_t* patterns = battle_patterns(file);
    const int64_t sea_level = file.sea_level;
    Range range{INT64_MAX, INT64_MIN};
    uint64_t wrapped = 0;
    for (uint32_t y0 = 0; y0 < height; y0 += 8) {
        const uint32_t rows = height - y0 < 8 ? height - y0 : 8;
        for (uint32_t x0 = 0; x0 < width; x0 += 8) {
            const uint32_t columns = width - x0 < 8 ? width - x0 : 8;
            const uint8_t* entry = entries + (y0 / 8 * blocks_per_row + x0 / 8) * 8;
            const int64_t base = static_cast<int32_t>(read_le32(entry));
            const uint8_t* pattern = patterns + read_le32(entry + 4);
            if (columns < 8 || rows < 8) {
                // Cells outside the image are not heights: only the block's own.
                wrapped += count_wrapped(pattern, base, sea_level, columns, rows, range);
                continue;
            }
            // A whole block's heights lie between its lowest and highest step
            // (a fixed loop the compiler vectorises); its cells are looked at
            // one by one only when some of them wrap. This keeps the walk
            // over a 4096x4096 map to a few milliseconds, the export's warning
            // cheap beside the export.
            uint8_t lo = 255, hi = 0;
            for (uint32_t i = 0; i < 64; ++i) {
                lo = pattern[i] < lo ? pattern[i] : lo;
                hi = pattern[i] > hi ? pattern[i] : hi;
            }
            const int64_t low = base + 128 * int64_t{lo}, high = base + 128 * int64_t{hi};
            if (low < range.lowest) range.lowest = low;
            if (high > range.highest) range.highest = high;
            if (low + sea_level < 0 || high + sea_level > 65535) {
                wrapped += count_wrapped(pattern, base, sea_level, 8, 8, range);
            }
        }
    }
    return {range.lowest, range.highest, wrapped};
}
