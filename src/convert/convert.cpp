// The convert command: reads a foreign heightmap through its format's
// reader, checks what it holds, fills its voids, and writes it out row by
// row, resampled and mapped on the way. Everything that can be refused is
// refused before a byte is written.
#include <cstring>

#include "convert.h"

namespace {

enum class OutputKind { png, raw };

// The output's kind by its name's extension, any case.
bool output_kind(const char* path, OutputKind* kind) {
    const char* dot = strrchr(path + name_start(path), '.');
    if (dot == nullptr || strlen(dot) != 4) return false;
    char ext[5] = {};
    for (size_t i = 0; i < 4; ++i) {
        ext[i] = dot[i] >= 'A' && dot[i] <= 'Z' ? static_cast<char>(dot[i] + ('a' - 'A')) : dot[i];
    }
    if (strcmp(ext, ".png") == 0) {
        *kind = OutputKind::png;
    } else if (strcmp(ext, ".r16") == 0 || strcmp(ext, ".raw") == 0) {
        *kind = OutputKind::raw;
    } else {
        return false;
    }
    return true;
}

const char* sample_kind(SampleType type) {
    switch (type) {
        case SampleType::u8:
            return "8-bit";
        case SampleType::i8:
        case SampleType::i16:
        case SampleType::i32:
            return "Signed";
        case SampleType::u32:
            return "32-bit";
        default:
            return "Floating-point";
    }
}

// What a loaded grid needs before its rows are made: refuses what cannot be
// taken unmapped, warns of 8-bit values, fills the voids.
Status ready_grid(const char* path, Grid& grid, bool mapped) {
    if (!mapped && grid.type != SampleType::u16) {
        console_printf("%s > Error: %s values are no 16-bit samples: map them to heights with hmap -c IN OUT "
                       "LOW HIGH, or to a battle map's with hmap -c IN OUT MAP.prj N.\r\n",
                       path, sample_kind(grid.type));
        return status_refused;
    }
    if (grid.type == SampleType::u8 || grid.type == SampleType::i8) {
        console_printf("Warning: %s holds 8-bit values: 256 heights at most, which show as terraces.\r\n", path);
    }
    // A grid without a valid value never loads (no_valid_value).
    if (grid.voids == 0) return status_ok;
    if (!fill_voids(grid.f32, grid.width, grid.height)) return report_out_of_memory(path);
    // At most 65535 x 65535 pixels: the count fits 32 bits.
    console_printf("Warning: %s has %u %s (no data), each filled from the valid pixels around it.\r\n", path,
                   static_cast<unsigned>(grid.voids), grid.voids == 1 ? "void pixel" : "void pixels");
    return status_ok;
}

// The battle map a foreign heightmap is fitted to: its heights and sea level.
Status map_heights(const char* battle_path, const BattleFile& battle, int layer, SampleMapping* mapping) {
    const LayerHeights heights = battle_layer_heights(battle, layer);
    // Read in the file's pages: the file's own only while it is the version
    // loaded, and nothing else of it is read for the output.
    if (!battle_unchanged(battle)) return report_file_failure(battle_path);
    if (heights.wrapped != 0) {
        // Its own export wraps these heights: no sample could stand for them.
        console_printf("Error: %s heightmap %d: heights %d to %d with sea level %04X do not fit 16-bit samples; "
                       "nothing was written.\r\n",
                       battle_path, layer + 1, static_cast<int>(heights.lowest), static_cast<int>(heights.highest),
                       static_cast<unsigned>(battle.sea_level));
        return status_refused;
    }
    mapping->mapped = true;
    mapping->low = heights.lowest;
    mapping->high = heights.highest;
    mapping->sea_level = battle.sea_level;
    return status_ok;
}

void report_resampling(const char* path, const Grid& grid, const char* battle_path, int layer,
                       const BattleFile& battle) {
    console_printf("%s is %u x %u px, %s heightmap %d %u x %u px: resampled (area average where it shrinks, "
                   "bilinear where it grows).\r\n",
                   path, static_cast<unsigned>(grid.width), static_cast<unsigned>(grid.height), battle_path,
                   layer + 1, static_cast<unsigned>(battle_width(battle)),
                   static_cast<unsigned>(battle_height(battle)));
}

// The heights typed as LOW and HIGH; prints why when they are refused.
bool take_height_range(const char* a3, const char* a4, SampleMapping* mapping) {
    int64_t low = 0, high = 0;
    if (!parse_height(a4, &high)) {
        console_printf("Error: %s is no height: LOW and HIGH are whole numbers, as in hmap -c in.tif out.png -50 "
                       "1200.\r\n",
                       a4);
        return false;
    }
    parse_height(a3, &low);
    const int low_int = static_cast<int>(low), high_int = static_cast<int>(high);
    if (low > high) {
        console_printf("Error: LOW %d is above HIGH %d.\r\n", low_int, high_int);
        return false;
    }
    if (high - low > 65535) {
        console_printf("Error: heights %d to %d span more than 65535, the most 16-bit samples hold.\r\n", low_int,
                       high_int);
        return false;
    }
    const int64_t sea_level = low < 0 ? -low : 0;
    if (high + sea_level > 65535) {
        console_printf("Error: heights %d to %d make samples up to %u (the height plus the sea level %04X), past "
                       "65535.\r\n",
                       low_int, high_int, static_cast<unsigned>(high + sea_level), static_cast<unsigned>(sea_level));
        return false;
    }
    mapping->mapped = true;
    mapping->low = low;
    mapping->high = high;
    mapping->sea_level = static_cast<uint16_t>(sea_level);
    return true;
}

void report_written(const char* out, OutputKind kind, uint32_t width, uint32_t height, const SampleRange& range,
                    bool has_sea_level, uint16_t sea_level) {
    const unsigned w = width, h = height;
    if (!has_sea_level) {
        if (kind == OutputKind::png) {
            console_printf("Wrote %s (%u x %u, samples %u to %u, no sea level: hmap -s %s MAP.prj gives it the "
                           "battle map's).\r\n",
                           out, w, h, unsigned{range.lowest}, unsigned{range.highest}, out);
        } else {
            console_printf("Wrote %s (%u x %u, samples %u to %u, no sea level).\r\n", out, w, h,
                           unsigned{range.lowest}, unsigned{range.highest});
        }
        return;
    }
    const int low = range.lowest - sea_level, high = range.highest - sea_level;
    if (kind == OutputKind::png) {
        console_printf("Wrote %s (%u x %u, heights %d to %d, sea level %04X).\r\n", out, w, h, low, high,
                       unsigned{sea_level});
    } else {
        console_printf("Wrote %s (%u x %u, heights %d to %d, sea level %04X, which an R16 file does not carry: "
                       "once it is a PNG again, hmap -s X.png MAP.prj stores it).\r\n",
                       out, w, h, low, high, unsigned{sea_level});
    }
}

}  // namespace

Status run_convert(const char* in, const char* out, const char* a3, const char* a4) {
    OutputKind kind;
    if (!output_kind(out, &kind)) {
        console_printf("Error: %s: hmap -c writes .png, .r16 or .raw files; nothing was read.\r\n", out);
        return status_refused;
    }
    SampleMapping mapping{};
    const char* battle_path = nullptr;
    int layer = 0;
    int64_t first = 0;
    if (a3[0] != 0 && parse_height(a3, &first)) {
        if (!take_height_range(a3, a4, &mapping)) return status_refused;
    } else if (a3[0] != 0) {
        if ((a4[0] != '1' && a4[0] != '2') || a4[1] != 0) {
            console_printf("Error: %s is no heightmap number: N is 1 or 2.\r\n", a4);
            return status_refused;
        }
        battle_path = a3;
        layer = a4[0] - '1';
    }
    if (report_output_is_input(out, in)) return status_refused;
    if (battle_path != nullptr && report_output_is_input(out, battle_path)) return status_refused;

    BattleFile battle{};
    GridHints hints;
    if (battle_path != nullptr) {
        if (Status status = load_battle_file(battle_path, &battle)) return status;
        Status status = map_heights(battle_path, battle, layer, &mapping);
        if (status != status_ok) {
            release_battle_file(&battle);
            return status;
        }
        hints.width = battle_width(battle);
        hints.height = battle_height(battle);
    }
    Grid grid{};
    Status status = load_grid(in, hints, &grid);
    if (status == status_ok) status = ready_grid(in, grid, mapping.mapped);
    const bool has_sea_level = mapping.mapped || grid.has_sea_level;
    if (!mapping.mapped) mapping.sea_level = grid.has_sea_level ? grid.sea_level : 0;
    mapping.lowest = grid.lowest;
    mapping.highest = grid.highest;
    const uint32_t width = battle_path != nullptr ? battle_width(battle) : grid.width;
    const uint32_t height = battle_path != nullptr ? battle_height(battle) : grid.height;
    RowSource source{};
    if (status == status_ok && !open_row_source(grid, width, height, &source)) status = report_out_of_memory(in);
    source.input = in;
    if (status == status_ok) {
        if (source.resampled) report_resampling(in, grid, battle_path, layer, battle);
        SampleRange range;
        status = kind == OutputKind::png ? write_heightmap_png(out, source, mapping, has_sea_level, &range)
                                         : write_heightmap_raw(out, source, mapping, &range);
        if (status == status_ok) report_written(out, kind, width, height, range, has_sea_level, mapping.sea_level);
    }
    close_row_source(&source);
    if (grid.u16 != nullptr || grid.f32 != nullptr) release_grid(&grid);
    release_battle_file(&battle);
    return status;
}

Status fit_to_heightmap(const char* path, const char* battle_path, const BattleFile& battle, int layer,
                        Grey16Image* out) {
    *out = {};
    SampleMapping mapping{};
    if (Status status = map_heights(battle_path, battle, layer, &mapping)) return status;
    GridHints hints;
    hints.width = battle_width(battle);
    hints.height = battle_height(battle);
    Grid grid{};
    if (Status status = load_grid(path, hints, &grid)) return status;
    Status status = ready_grid(path, grid, true);
    mapping.lowest = grid.lowest;
    mapping.highest = grid.highest;
    RowSource source{};
    const uint32_t width = hints.width, height = hints.height;
    const uint64_t row_bytes = 2 * uint64_t{width};
    auto* values = reinterpret_cast<double*>(allocate_buffer(row_scratch_bytes(width)));
    if (status == status_ok) {
        out->samples = static_cast<uint8_t*>(hook_alloc(static_cast<size_t>(row_bytes * height)));
        if (values == nullptr || out->samples == nullptr || !open_row_source(grid, width, height, &source)) {
            status = report_out_of_memory(path);
        }
    }
    if (status == status_ok) {
        if (source.resampled) report_resampling(path, grid, battle_path, layer, battle);
        make_heightmap_samples(source, mapping, values, out->samples);
        // The samples are the file's only if it is still the version read.
        if (!grid_unchanged(grid)) status = report_file_failure(path);
    }
    if (status == status_ok) {
        out->width = width;
        out->height = height;
        out->sea_level = mapping.sea_level;
        out->has_sea_level = true;
    } else {
        release_grey16_image(out);
    }
    close_row_source(&source);
    release_buffer(values);
    if (grid.u16 != nullptr || grid.f32 != nullptr) release_grid(&grid);
    return status;
}
