// The list command: what a battle file or heightmap PNG holds, what an
// import would make of a PNG, and how a pair of PNGs compares with a battle
// file's heightmaps, as lines of "key: value" under each file's name.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "heightmap_formats.h"
#include "view.h"
#include "view_common.h"

namespace {

const char* colour_type_name(uint8_t colour_type) {
    switch (colour_type) {
        case 0:
            return "greyscale";
        case 2:
            return "RGB";
        case 3:
            return "palette";
        case 4:
            return "greyscale with alpha";
        case 6:
            return "RGB with alpha";
        default:
            return "unknown";
    }
}

Number px_size(uint32_t width, uint32_t height) {
    Line line;
    line << int64_t{width} << "x" << int64_t{height};
    Number number{};
    memcpy(number.text, line.text, line.length < sizeof number.text ? line.length : sizeof number.text - 1);
    return number;
}

// ---- battle files ----

// How many blocks of both heightmaps use a pattern that another block uses too.
bool count_shared_blocks(const BattleFile& file, uint64_t* shared) {
    const uint64_t patterns = battle_pattern_count(file);
    auto* uses = reinterpret_cast<uint32_t*>(allocate_buffer(4 * patterns));
    if (uses == nullptr) return false;
    memset(uses, 0, 4 * patterns);
    const uint8_t* entry = battle_entries(file);
    for (uint64_t i = 0; i < 2 * uint64_t{battle_block_count(file)}; ++i, entry += 8) {
        const uint64_t n = read_le32(entry + 4) / 64;
        ++uses[n < patterns ? n : patterns - 1];  // the view's bytes may change since they were checked
    }
    *shared = 0;
    for (uint64_t n = 0; n < patterns; ++n) {
        if (uses[n] > 1) *shared += uses[n];
    }
    release_buffer(uses);
    return true;
}

Status list_battle(const char* path, const InputFile& input, const BattleFile& file) {
    (Line() << "  file size: " << static_cast<int64_t>(input.size) << " bytes").print();
    (Line() << "  heightmap size: " << px_size(battle_width(file), battle_height(file)) << " px").print();
    const int64_t blocks = battle_block_count(file);
    (Line() << "  blocks: " << blocks << " a heightmap, 8x8 px each").print();
    (Line() << "  patterns: " << int64_t{battle_pattern_count(file)} << " for " << 2 * blocks << " blocks").print();
    uint64_t shared = 0;
    if (!count_shared_blocks(file, &shared)) return report_out_of_memory(path);
    (Line() << "  blocks sharing a pattern: " << static_cast<int64_t>(shared)).print();
    (Line() << "  sea level: " << hex_number(file.sea_level) << ", as an export stores it").print();
    for (int layer = 0; layer < 2; ++layer) {
        const char* name = layer == 0 ? "  heightmap 1 " : "  heightmap 2 ";
        const LayerHeights heights = battle_layer_heights(file, layer);
        (Line() << name << "heights: " << heights.lowest << " to " << heights.highest).print();
        const int64_t low = heights.lowest + file.sea_level, high = heights.highest + file.sea_level;
        if (heights.wrapped == 0) {
            (Line() << name << "samples: " << low << " to " << high << " as exported").print();
        } else {
            (Line() << name << "samples: " << low << " to " << high
                    << " before wrapping; an export writes them modulo 65536")
                .print();
        }
        (Line() << name << "wrapping: " << static_cast<int64_t>(heights.wrapped) << " px").print();
    }
    return status_ok;
}

// ---- PNGs ----

// What a heightmap's samples are, and what the import's 8x8 blocks do to them.
struct SampleFacts {
    uint32_t lowest, highest;
    uint32_t distinct;
    bool multiples_of_257;  // every sample, as an 8-bit image stretched to 16 bits has
    bool even;              // every sample, as 15-bit data has
    uint64_t cut_blocks;    // blocks spanning more than 32640
    uint32_t first_cut_x, first_cut_y;
    uint32_t largest_change;      // |sample - what the import stores| outside cut blocks
    uint32_t largest_cut_change;  // the same in cut blocks
};

SampleFacts sample_facts(const Grey16Image& image) {
    SampleFacts facts{};
    facts.lowest = 65535;
    // One byte a value: plain stores, where bits would chain a read and a
    // write to the same word for neighbouring samples.
    uint8_t seen[65536] = {};
    const uint32_t width = image.width, height = image.height;
    for (uint32_t y0 = 0; y0 < height; y0 += 8) {
        const uint32_t rows = height - y0 < 8 ? height - y0 : 8;
        const uint8_t* row[8];
        for (uint32_t r = 0; r < rows; ++r) row[r] = grey16_row(image, y0 + r);
        for (uint32_t x0 = 0; x0 < width; x0 += 8) {
            const uint32_t columns = width - x0 < 8 ? width - x0 : 8;
            uint32_t values[64];
            uint32_t count = 0, lo = 65535, hi = 0;
            for (uint32_t r = 0; r < rows; ++r) {
                const uint8_t* p = row[r] + 2 * uint64_t{x0};
                for (uint32_t c = 0; c < columns; ++c) {
                    const uint32_t v = read_be16(p + 2 * c);
                    values[count++] = v;
                    seen[v] = 1;
                    lo = v < lo ? v : lo;
                    hi = v > hi ? v : hi;
                }
            }
            const bool cut = hi - lo > max_block_range;
            // The import stores lo + 128 x step, the step rounded to nearest:
            // outside cut blocks each sample moves to the nearest multiple of
            // 128 above lo, half-way rounding up.
            uint32_t largest = 0;
            if (!cut) {
                for (uint32_t i = 0; i < count; ++i) {
                    const uint32_t rest = (values[i] - lo) & 127;
                    const uint32_t change = rest < 64 ? rest : 128 - rest;
                    largest = change > largest ? change : largest;
                }
            } else {
                for (uint32_t i = 0; i < count; ++i) {
                    uint32_t step = (values[i] - lo + 64) >> 7;
                    step = step > 255 ? 255 : step;
                    const uint32_t stored = lo + 128 * step;
                    const uint32_t change = values[i] > stored ? values[i] - stored : stored - values[i];
                    largest = change > largest ? change : largest;
                }
            }
            if (cut) {
                if (facts.cut_blocks++ == 0) facts.first_cut_x = x0, facts.first_cut_y = y0;
                if (largest > facts.largest_cut_change) facts.largest_cut_change = largest;
            } else if (largest > facts.largest_change) {
                facts.largest_change = largest;
            }
            facts.lowest = lo < facts.lowest ? lo : facts.lowest;
            facts.highest = hi > facts.highest ? hi : facts.highest;
        }
    }
    facts.multiples_of_257 = facts.even = true;
    for (uint32_t v = 0; v < 65536; ++v) {
        if (seen[v] == 0) continue;
        ++facts.distinct;
        if (v % 257 != 0) facts.multiples_of_257 = false;
        if (v % 2 != 0) facts.even = false;
    }
    return facts;
}

// What the import's 8x8 blocks do to the samples.
void print_import_changes(const SampleFacts& facts) {
    if (facts.cut_blocks == 0) {
        (Line() << "  import cut blocks: 0 (none spans more than 32640)").print();
        (Line() << "  import largest change: " << int64_t{facts.largest_change} << " (64 at most)").print();
    } else {
        (Line() << "  import cut blocks: " << static_cast<int64_t>(facts.cut_blocks)
                << " spanning more than 32640, the first at " << int64_t{facts.first_cut_x} << ","
                << int64_t{facts.first_cut_y})
            .print();
        (Line() << "  import largest change: " << int64_t{facts.largest_change}
                << " outside cut blocks (64 at most), " << int64_t{facts.largest_cut_change} << " in them")
            .print();
    }
}

void list_samples(const Grey16Image& image) {
    const SampleFacts facts = sample_facts(image);
    (Line() << "  samples: " << int64_t{facts.lowest} << " to " << int64_t{facts.highest} << ", "
            << int64_t{facts.distinct} << " distinct values")
        .print();
    (Line() << "  heights: " << int64_t{facts.lowest} - image.sea_level << " to "
            << int64_t{facts.highest} - image.sea_level << " (samples less the sea level)")
        .print();
    // Coarse data in a 16-bit image: a few values by chance are no sign of it.
    const uint64_t pixels = uint64_t{image.width} * image.height;
    if (facts.distinct >= 2 && facts.multiples_of_257) {
        (Line() << "  precision: 8-bit data stretched to 16 bits, every sample a multiple of 257: "
                   "256 heights at most, 257 apart")
            .print();
    } else if (facts.distinct >= 2 && facts.distinct <= 256 && pixels > 4096) {
        (Line() << "  precision: only " << int64_t{facts.distinct}
                << " distinct samples, as few as an 8-bit image holds: expect terraces")
            .print();
    } else if (facts.distinct >= 16 && facts.even) {
        (Line() << "  precision: 15-bit data, the lowest bit of every sample is 0").print();
    }
    if (facts.lowest == 0 && facts.highest == 65535) {
        (Line() << "  levels: the samples fill all of 0 to 65535, as in an image stretched to fill it").print();
    }
    print_import_changes(facts);
}

void list_sea_level(bool present, uint16_t sea_level) {
    if (present) {
        (Line() << "  sea level: " << hex_number(sea_level) << ", from its hmAP chunk").print();
    } else {
        (Line() << "  sea level: none (an import takes 0000)").print();
    }
}

// What the formats' reader (as -c reads them) makes of a PNG the import
// does not take (8-bit, colour, a palette): its values and how -c takes
// them, after the import's answer. A damaged one gets the reader's message.
Status list_other_png(const char* path, InputFile& input);

// The header's facts; then the image is loaded as the import loads it, which
// prints the import's own lines when it would refuse the image. A PNG of
// another format is read as -c reads it instead, and a too large one is
// understood all the same: only a damaged one keeps the loader's status.
Status list_png(const char* path, InputFile& input, Grey16Image* image) {
    const PngFacts& png = input.png;
    (Line() << "  file size: " << static_cast<int64_t>(input.size) << " bytes").print();
    if (png.header_sound) {
        (Line() << "  image size: " << px_size(png.width, png.height) << " px").print();
        (Line() << "  format: " << int64_t{png.bit_depth} << "-bit " << colour_type_name(png.colour_type)
                << " (bit depth " << int64_t{png.bit_depth} << ", colour type " << int64_t{png.colour_type} << ")")
            .print();
        (Line() << "  interlacing: " << (png.interlace == 0 ? "none" : "Adam7")).print();
        (Line() << "  IDAT chunks: " << static_cast<int64_t>(png.idat_chunks)).print();
        if (png.bit_depth < 16 && png.colour_type != 3) {
            (Line() << "  precision: " << int64_t{png.bit_depth} << "-bit samples, " << (int64_t{1} << png.bit_depth)
                    << " heights at most")
                .print();
        }
        if (png.bit_depth != 16 || png.colour_type != 0) return list_other_png(path, input);
    }
    Status status = take_grey16_view(path, &input.view, image);
    const bool too_large = png.header_sound && (png.width > max_heightmap_side || png.height > max_heightmap_side);
    if (status != status_ok) {
        (Line() << "  imports: no, as the import's message above says").print();
        if (!png.header_sound) return status;
        list_sea_level(png.sea_level.has_value(), png.sea_level.value_or(0));
        return too_large ? status_ok : status;
    }
    (Line() << "  imports: yes").print();
    list_sea_level(image->has_sea_level, image->sea_level);
    list_samples(*image);
    return status_ok;
}

// ---- heightmaps of other tools ----

const char* sample_type_name(SampleType type) {
    constexpr const char* names[] = {"8-bit unsigned",  "16-bit unsigned", "32-bit unsigned",
                                     "8-bit signed",    "16-bit signed",   "32-bit signed",
                                     "16-bit float",    "32-bit float",    "64-bit float"};
    return names[static_cast<int>(type)];
}

// Where a RAW file's size came from; nothing for a format that stores it.
void list_sizing(const char* path, const Grid& grid) {
    switch (grid.sizing) {
    case GridSizing::stored: break;
    case GridSizing::envi_header: {
        char name[4096 + 8];
        if (!envi_header_name(path, grid.envi_name, name, sizeof name)) break;
        (Line() << "  sized by: " << name << ", the ENVI header beside it").print();
        break;
    }
    case GridSizing::square:
        (Line() << "  sized by: its length, a square of "
                << (grid.type == SampleType::f32 ? "32-bit floats" : "16-bit samples"))
            .print();
        break;
    case GridSizing::map: (Line() << "  sized by: its length, the battle map's size").print(); break;
    }
}

void list_range(const Grid& grid) {
    (Line() << "  range: " << value_number(grid.lowest) << " to " << value_number(grid.highest)
            << " " << grid.format->unit)
        .print();
}

void list_conversion(const Grid& grid) {
    if (grid.type == SampleType::u16) {
        (Line() << "  converts unmapped: yes, its samples as they are").print();
    } else {
        (Line() << "  converts unmapped: no; give it heights: hmap -c IN OUT LOW HIGH, or hmap -c IN OUT MAP.prj N")
            .print();
    }
}

// What a heightmap of another tool holds, and whether -c takes it as it is.
Status list_grid(const char* path, InputFile& input) {
    (Line() << "  file size: " << static_cast<int64_t>(input.size) << " bytes").print();
    Grid grid{};
    if (Status status = take_grid_view(path, &input.view, GridHints{}, &grid)) return status;
    if (!grid_unchanged(grid)) {  // its range was measured in the file's pages
        release_grid(&grid);
        return report_file_failure(path);
    }
    (Line() << "  image size: " << px_size(grid.width, grid.height) << " px").print();
    list_sizing(path, grid);
    Line samples;
    samples << "  samples: " << sample_type_name(grid.type);
    if (grid.channels > 1 && grid.channel[0] != '\0') {
        samples << ", channel " << grid.channel << " of " << int64_t{grid.channels};
    } else if (grid.channels > 1) {
        samples << ", the first of " << int64_t{grid.channels} << " channels";
    }
    samples.print();
    list_range(grid);
    (Line() << "  voids: " << static_cast<int64_t>(grid.voids) << " px").print();
    if (grid.type == SampleType::u8 || grid.type == SampleType::i8) {
        (Line() << "  precision: 8-bit samples, 256 heights at most").print();
    }
    list_conversion(grid);
    release_grid(&grid);
    return status_ok;
}

Status list_other_png(const char* path, InputFile& input) {
    Grid grid{};
    GridError refusal;
    GridDetail detail;
    const Status status = read_grid_view(path, &input.view, GridHints{}, &grid, &refusal, &detail);
    if (status == status_ok && !grid_unchanged(grid)) {  // its range was measured in the file's pages
        release_grid(&grid);
        return report_file_failure(path);
    }
    if (status != status_ok && refusal == GridError::none) return status;
    if (refusal != GridError::none && refusal != GridError::colour_png) report_grid_refusal(path, refusal, grid, detail);
    (Line() << "  imports: no, only 16-bit greyscale PNGs import").print();
    list_sea_level(input.png.sea_level.has_value(), input.png.sea_level.value_or(0));
    if (refusal == GridError::colour_png) {
        (Line() << "  converts: no, its red, green and blue differ; heightmaps are grey").print();
        return status_ok;
    }
    if (refusal != GridError::none) return status;
    list_range(grid);
    list_conversion(grid);
    release_grid(&grid);
    return status_ok;
}

// ---- pairs and comparisons ----

bool loaded_image(const HeightFile& file) {
    return file.is_png && (file.image.samples != nullptr || file.image.rows != nullptr);
}

void list_pair(const char* path1, const Grey16Image& image1, const char* path2, const Grey16Image& image2) {
    (Line() << path1 << " and " << path2 << ": a pair").print();
    if (image1.width != image2.width || image1.height != image2.height) {
        (Line() << "  imports: no, sizes differ (" << px_size(image1.width, image1.height) << " px and "
                << px_size(image2.width, image2.height) << " px)")
            .print();
    } else if (image1.sea_level != image2.sea_level) {
        (Line() << "  imports: no, sea levels differ (" << hex_number(image1.sea_level) << " and "
                << hex_number(image2.sea_level) << ")")
            .print();
    } else {
        (Line() << "  imports: yes").print();
    }
}

// Bases (plus the sea level) within this of 0 leave a whole block's
// differences and their sum in 32 bits.
constexpr int64_t near_base = int64_t{1} << 23;

// The largest difference so far, the first in row order among equals.
struct LargestDifference {
    uint64_t size = 0;
    int64_t difference = 0, new_height = 0;
    uint32_t x = 0, y = 0;

    void take(int64_t d, uint32_t at_x, uint32_t at_y, int64_t height) {
        const uint64_t s = d < 0 ? 0 - static_cast<uint64_t>(d) : static_cast<uint64_t>(d);
        if (s < size || s == 0 || (s == size && (at_y > y || (at_y == y && at_x > x)))) return;
        size = s, difference = d, x = at_x, y = at_y, new_height = height;
    }
};

}  // namespace

void list_height_comparison(const BattleFile& battle, int layer, const char* image_path, const Grey16Image& image) {
    const uint32_t width = battle_width(battle), height = battle_height(battle);
    if (image.width != width || image.height != height) {
        (Line() << "  differing: not compared, " << image_path << " is " << px_size(image.width, image.height)
                << " px, the heightmap " << px_size(width, height) << " px")
            .print();
        return;
    }
    // Block by block, as the battle file holds the heights: a block's base
    // and steps against the samples of its pixels.
    const uint64_t blocks_per_row = (uint64_t{width} + 7) / 8;
    const uint8_t* entries = battle_entries(battle) + uint64_t(layer) * battle_block_count(battle) * 8;
    const int64_t sea_level = image.sea_level;
    uint64_t differing = 0;
    double total = 0;
    LargestDifference largest;
    for (uint32_t y0 = 0; y0 < height; y0 += 8) {
        const uint32_t rows = height - y0 < 8 ? height - y0 : 8;
        const uint8_t* row[8];
        for (uint32_t r = 0; r < rows; ++r) row[r] = grey16_row(image, y0 + r);
        int64_t block_row_total = 0;
        for (uint32_t x0 = 0; x0 < width; x0 += 8) {
            const uint8_t* entry = entries + (y0 / 8 * blocks_per_row + x0 / 8) * 8;
            // The image's heights less the block's base: the steps' part of the difference.
            const int64_t base = static_cast<int32_t>(read_le32(entry)) + sea_level;
            const uint8_t* steps = entry_pattern(battle, entry);
            const uint32_t columns = width - x0 < 8 ? width - x0 : 8;
            if (rows == 8 && columns == 8 && base >= -near_base && base <= near_base) {
                // A whole block of ordinary heights: its differences in 32
                // bits, in fixed loops the compiler makes vector code of; the
                // largest is looked for only in a block that holds one as large.
                int32_t d[64];
                for (uint32_t r = 0; r < 8; ++r) {
                    const uint8_t* samples = row[r] + 2 * uint64_t{x0};
                    for (uint32_t c = 0; c < 8; ++c) {
                        const int32_t sample = read_be16(samples + 2 * c);
                        d[8 * r + c] = sample - static_cast<int32_t>(base) - 128 * steps[8 * r + c];
                    }
                }
                int32_t block_total = 0, block_largest = 0, block_differing = 0;
                for (uint32_t i = 0; i < 64; ++i) {
                    const int32_t size = d[i] < 0 ? -d[i] : d[i];
                    block_differing += d[i] != 0;
                    block_total += d[i];
                    block_largest = size > block_largest ? size : block_largest;
                }
                differing += static_cast<uint32_t>(block_differing);
                block_row_total += block_total;
                if (block_largest == 0 || static_cast<uint64_t>(block_largest) < largest.size) continue;
                for (uint32_t i = 0; i < 64; ++i) {
                    if (d[i] != block_largest && d[i] != -block_largest) continue;
                    const uint8_t* sample = row[i / 8] + 2 * uint64_t{x0 + i % 8};
                    largest.take(d[i], x0 + i % 8, y0 + i / 8, int64_t{read_be16(sample)} - sea_level);
                }
                continue;
            }
            for (uint32_t r = 0; r < rows; ++r) {
                const uint8_t* samples = row[r] + 2 * uint64_t{x0};
                for (uint32_t c = 0; c < columns; ++c) {
                    const int64_t sample = read_be16(samples + 2 * c);
                    const int64_t d = sample - base - 128 * int64_t{steps[8 * r + c]};
                    differing += d != 0;
                    block_row_total += d;
                    largest.take(d, x0 + c, y0 + r, sample - sea_level);
                }
            }
        }
        total += static_cast<double>(block_row_total);
    }
    (Line() << "  differing: " << static_cast<int64_t>(differing) << " of "
            << static_cast<int64_t>(uint64_t{width} * height) << " px")
        .print();
    if (differing == 0) {
        (Line() << "  largest difference: 0").print();
        (Line() << "  mean difference: 0.0").print();
        return;
    }
    (Line() << "  largest difference: " << difference_number(largest.difference) << " at " << int64_t{largest.x}
            << "," << int64_t{largest.y} << " (" << largest.new_height - largest.difference << " in the battle file, "
            << largest.new_height << " in the image)")
        .print();
    (Line() << "  mean difference: " << mean_number(total / static_cast<double>(differing))
            << " over the differing px")
        .print();
}

void list_import_changes(const Grey16Image& image) { print_import_changes(sample_facts(image)); }

Status list_files(const char* file1, const char* file2, const char* file3) {
    const char* paths[3] = {file1, file2, file3};
    InputFile* none[3] = {};
    return list_inputs(paths, none);
}

Status list_inputs(const char* const* paths, InputFile* const* given) {
    HeightFile files[3] = {};
    bool loaded[3] = {};
    bool opened[3] = {};
    Status status = status_ok;
    for (int i = 0; i < 3; ++i) {
        if (paths[i][0] == 0) continue;
        InputFile own;
        InputFile& input = given[i] != nullptr ? *given[i] : own;
        opened[i] = given[i] != nullptr || open_input(paths[i], &input);
        Status file_status = opened[i] ? status_ok : report_file_failure(paths[i]);
        if (opened[i]) {
            if (input.kind == FileKind::foreign) {
                (Line() << paths[i] << ": " << input.format->name << " heightmap").print();
                file_status = list_grid(paths[i], input);  // no battle file or image loaded to compare
            } else if (input.kind != FileKind::png) {
                (Line() << paths[i] << ": battle file").print();
                file_status = load_height_file(paths[i], &input, &files[i]);
                if (file_status == status_ok) file_status = list_battle(paths[i], input, files[i].battle);
                loaded[i] = file_status == status_ok;
            } else {
                (Line() << paths[i] << (input.png.header_sound ? ": PNG image" : ": not a PNG image")).print();
                files[i].is_png = true;
                file_status = list_png(paths[i], input, &files[i].image);
                loaded[i] = file_status == status_ok;
            }
        }
        if (opened[i]) close_input(&input);
        if (status == status_ok) status = file_status;
    }

    // The last two files as the import's pair of images, and against the
    // battle file before them.
    const int last = paths[2][0] != 0 ? 2 : paths[1][0] != 0 ? 1 : 0;
    const bool pair = last > 0 && loaded[last - 1] && loaded[last] && loaded_image(files[last - 1]) &&
                      loaded_image(files[last]);
    if (pair) list_pair(paths[last - 1], files[last - 1].image, paths[last], files[last].image);
    if (last == 2 && loaded[0] && !files[0].is_png && opened[1] && files[1].is_png && opened[2] && files[2].is_png) {
        for (int layer = 0; layer < 2; ++layer) {
            const char* image_path = paths[layer + 1];
            (Line() << paths[0] << " heightmap " << int64_t{layer + 1} << " against " << image_path).print();
            if (!loaded_image(files[layer + 1])) {
                (Line() << "  differing: not compared, " << image_path << " does not import").print();
                continue;
            }
            list_height_comparison(files[0].battle, layer, image_path, files[layer + 1].image);
        }
    }

    // The listing is of one version of each file.
    for (int i = 0; i < 3; ++i) {
        if (loaded[i] && !height_file_unchanged(files[i])) {
            Status changed = report_file_failure(paths[i]);
            if (status == status_ok) status = changed;
        }
    }
    for (HeightFile& file : files) release_height_file(&file);
    return status;
}
