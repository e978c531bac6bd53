// The convert command: reads a foreign heightmap through its format's
// reader, checks what it holds, fills its voids, and writes it out row by
// row, resampled and mapped on the way: as 16-bit samples (PNG, R16), as
// heights in floats (TIFF, OpenEXR), or into a battle file in one step; or
// one heightmap of a battle file out, its heights as they are. Everything
// that can be refused is refused before a byte is written.
#include "convert.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "convert_steps.h"
#include "view_common.h"

namespace {

enum class OutputKind { png, raw, floats, battle };

struct Output {
    OutputKind kind;
    const GridReader* format;  // floats: the format written
};

// The output's kind by its name's extension, any case.
bool output_kind(const char* path, Output* out) {
    *out = Output{};
    if (has_extension(path, ".png")) {
        out->kind = OutputKind::png;
    } else if (has_extension(path, ".r16") || has_extension(path, ".raw")) {
        out->kind = OutputKind::raw;
    } else if (has_extension(path, ".prj")) {
        out->kind = OutputKind::battle;
    } else if ((out->format = float_format_for(path)) != nullptr) {
        out->kind = OutputKind::floats;
    } else {
        return false;
    }
    return true;
}

// How IN's values become heights, as the command's form says.
enum class Form {
    samples,      // IN OUT: 16-bit samples as they are
    typed,        // IN OUT LOW HIGH, or IN OUT MAP.prj N LOW HIGH
    fitted,       // IN OUT MAP.prj N: heightmap N's lowest and highest
    sea,          // IN OUT MAP.prj N sea [SCALE]: height = value x SCALE
    heights_out,  // MAP.prj OUT N
};

struct Request {
    const char* in;
    const char* out;
    Output output;
    Form form;
    const char* map;  // null without a battle map
    int layer;
    int64_t low, high;  // typed
    bool has_scale;
    double scale;
};

bool is_word(const char* text, const char* word) {
    size_t i = 0;
    for (; text[i] != 0 && word[i] != 0; ++i)
        if (ascii_lower(text[i]) != word[i]) return false;
    return text[i] == 0 && word[i] == 0;
}

// A scale as typed: a decimal number above 0 ("10", "0.25").
bool parse_scale(const char* text, double* value) {
    const char* p = text;
    bool digits = false, point = false;
    double whole = 0, place = 1;
    for (; *p != 0; ++p) {
        if (*p == '.' && !point) {
            point = true;
        } else if (*p >= '0' && *p <= '9') {
            digits = true;
            if (point) {
                place /= 10;
                whole += (*p - '0') * place;
            } else {
                whole = whole * 10 + (*p - '0');
            }
        } else {
            return false;
        }
    }
    if (!digits || !(whole > 0) || whole > 1e9) return false;
    // The same value as the C library reads it, to the last bit.
    *value = strtod(text, nullptr);
    return true;
}

bool take_layer(const char* text, int* layer) {
    if ((text[0] != '1' && text[0] != '2') || text[1] != 0) {
        console_printf("Error: %s is no heightmap number: N is 1 or 2.\r\n", text);
        return false;
    }
    *layer = text[0] - '1';
    return true;
}

// The heights typed as LOW and HIGH; prints why when they are refused. The
// sea level their samples take is checked once it is known.
bool take_heights(const char* a, const char* b, Request* request) {
    int64_t low = 0, high = 0;
    for (const char* typed : {a, b}) {
        if (!parse_height(typed, typed == a ? &low : &high)) {
            console_printf("Error: %s is no height: LOW and HIGH are whole numbers, as in hmap -c in.tif out.png "
                           "-50 1200.\r\n",
                           typed);
            return false;
        }
    }
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
    request->form = Form::typed;
    request->low = low;
    request->high = high;
    return true;
}

// The command's arguments as its forms read them; prints why when they
// are refused.
bool take_request(const char* const* args, int count, Request* request) {
    *request = Request{};
    request->in = args[0];
    request->out = args[1];
    if (count == 3) {
        request->form = Form::heights_out;
        request->map = args[0];
        return take_layer(args[2], &request->layer);
    }
    if (count == 2) {
        request->form = Form::samples;
        return true;
    }
    if (count == 4 && looks_like_number(args[2])) return take_heights(args[2], args[3], request);
    request->map = args[2];
    if (!take_layer(args[3], &request->layer)) return false;
    request->form = Form::fitted;
    if (count == 4) return true;
    if (!is_word(args[4], "sea")) {
        if (count == 6 && looks_like_number(args[4])) return take_heights(args[4], args[5], request);
        console_printf("Error: %s: after MAP.prj N come LOW HIGH, sea, or sea and a SCALE.\r\n", args[4]);
        return false;
    }
    request->form = Form::sea;
    if (count == 5) return true;
    request->has_scale = true;
    if (!parse_scale(args[5], &request->scale)) {
        console_printf("Error: %s is no scale: SCALE is a decimal number above 0, as in hmap -c dem.tif new.prj "
                       "map.prj 1 sea 0.5.\r\n",
                       args[5]);
        return false;
    }
    return true;
}

// Loads the battle map; a file that is none is named as none.
Status load_map(const char* path, BattleFile* out) {
    *out = BattleFile{};
    InputFile input;
    if (!open_input(path, &input)) return report_file_failure(path);
    if (input.kind != FileKind::battle) {
        char what[64];
        // A file named .png is taken for a damaged PNG; only its signature makes it one.
        if (input.kind == FileKind::png && has_png_signature(input.view.data, input.view.size))
            snprintf(what, sizeof what, "it is a PNG image");
        else if (input.kind == FileKind::foreign) snprintf(what, sizeof what, "it is a %s heightmap", input.format->name);
        else snprintf(what, sizeof what, "it does not start as one does");
        console_printf("Error: %s is no battle file: %s.\r\n", path, what);
        close_input(&input);
        return status_refused;
    }
    const Status status = take_battle_view(path, &input.view, out);
    close_input(&input);
    return status;
}

// What a loaded grid needs before its rows are made: warns of 8-bit values,
// fills the voids, warns of a flat one.
Status ready_grid(const char* path, Grid& grid) {
    if (grid.type == SampleType::u8 || grid.type == SampleType::i8) {
        console_printf("Warning: %s holds 8-bit values: 256 heights at most, which show as terraces.\r\n", path);
    }
    if (!(grid.highest > grid.lowest)) {
        console_printf("Warning: %s holds one value, %s, wherever it has one: its terrain is flat.\r\n", path,
                       value_number(grid.lowest).text);
    }
    // A grid without a valid value never loads (no_valid_value).
    if (grid.voids == 0) return status_ok;
    const bool filled = grid.f32 != nullptr ? fill_voids(grid.f32, grid.width, grid.height)
                                            : fill_voids(grid.f64, grid.width, grid.height);
    if (!filled) return report_out_of_memory(path);
    // At most 65535 x 65535 pixels: the count fits 32 bits.
    console_printf("Warning: %s has %u %s (no data), each filled from the valid pixels around it.\r\n", path,
                   static_cast<unsigned>(grid.voids), grid.voids == 1 ? "void pixel" : "void pixels");
    return status_ok;
}

void report_resampling(const Request& request, const Grid& grid, const BattleFile& map) {
    const unsigned gw = grid.width, gh = grid.height, mw = battle_width(map), mh = battle_height(map);
    console_printf("%s is %u x %u px, %s heightmap %d %u x %u px: resampled (area average where it shrinks, "
                   "bilinear where it grows).\r\n",
                   request.in, gw, gh, request.map, request.layer + 1, mw, mh);
    // A square terrain on a map twice as wide, say: its hills come out long.
    const double stretch = (static_cast<double>(gw) * mh) / (static_cast<double>(gh) * mw);
    if (stretch > 1.01 || stretch < 1 / 1.01) {
        console_printf("Warning: %s is stretched %u:%u onto %u:%u, its hills %s.\r\n", request.in, gw, gh, mw, mh,
                       stretch > 1 ? "narrowed" : "widened");
    }
}

// The range of the values as resampled, for the mapping to fit. Each is a
// weighted mean of the grid's, but the weights, floats, sum to 1 only within
// a last bit: a flat grid, resampled, would otherwise show a range of
// rounding noise, which fitting spreads over the whole range asked for.
void measure_resampled(RowSource& source, const Grid& grid, double* scratch, double* lowest, double* highest) {
    measure_source(source, scratch, lowest, highest);
    *lowest = *lowest < grid.lowest ? grid.lowest : *lowest;
    *highest = *highest > grid.highest ? grid.highest : *highest;
}

// "Wrote ..." for 16-bit samples.
void report_samples_written(const char* out, OutputKind kind, uint32_t width, uint32_t height,
                            const SampleRange& range, bool has_sea_level, uint16_t sea_level) {
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

// ---- into a battle file in one step ----

// IN as the one-step write holds it: let go of as soon as its last row is
// made (the encoder makes each heightmap's rows once, in order), and
// checked then, when everything made from it is made.
struct HeldInput {
    const char* path;
    Grid* grid;
    bool let_go;
    bool changed;
};

// The rows of both heightmaps of the new battle file, eight at a time: the
// new one from IN, resampled and mapped, the other one's heights as the
// battle file holds them; each height plus `offset` a 16-bit sample.
struct BattleBands {
    RowSource* source;
    const SampleMapping* mapping;
    const BattleFile* map;
    int layer;         // the heightmap made from IN
    int32_t offset;    // the sample of height 0
    double* values;    // a row of the output's width
    int32_t* heights;  // the same
    int64_t* kept;     // the same, of the other heightmap
    int32_t lowest, highest;
    HeldInput* input;
};

// Heights plus `offset` as big-endian 16-bit samples. The offset is a value
// of its own, not a field the stores might change, so the loop keeps it in
// a register.
template <typename T>
void put_samples(const T* heights, uint32_t width, int32_t offset, uint8_t* out) {
    for (size_t x = 0; x < width; ++x) {
        const auto sample = static_cast<uint16_t>(heights[x] + offset);
        out[2 * x] = static_cast<uint8_t>(sample >> 8);
        out[2 * x + 1] = static_cast<uint8_t>(sample);
    }
}

void make_band(void* context, int layer, uint32_t y0, uint32_t count, uint8_t* out) {
    auto& bands = *static_cast<BattleBands*>(context);
    const uint32_t width = bands.source->width;
    for (uint32_t y = y0; y < y0 + count; ++y, out += 2 * uint64_t{width}) {
        if (layer == bands.layer) {
            source_values(*bands.source, y, bands.values);
            map_heights(*bands.mapping, bands.values, width, bands.heights);
            const int32_t* heights = bands.heights;
            int32_t lowest = bands.lowest, highest = bands.highest;
            for (uint32_t x = 0; x < width; ++x) {
                lowest = heights[x] < lowest ? heights[x] : lowest;
                highest = heights[x] > highest ? heights[x] : highest;
            }
            bands.lowest = lowest;
            bands.highest = highest;
            put_samples(heights, width, bands.offset, out);
            if (y + 1 == bands.source->height) {
                // Its pages (or buffer) are no longer needed while the other
                // heightmap and the file are made.
                HeldInput& input = *bands.input;
                input.changed = !grid_unchanged(*input.grid);
                release_grid(input.grid);
                input.let_go = true;
            }
        } else {
            // Within the offset's reach: the kept heights set it.
            battle_height_row(*bands.map, layer, y, bands.kept);
            put_samples(bands.kept, width, bands.offset, out);
        }
    }
}

const char* changed_grid(void* context) {
    const auto& input = *static_cast<const HeldInput*>(context);
    if (!input.let_go) return grid_unchanged(*input.grid) ? nullptr : input.path;
    if (!input.changed) return nullptr;
    set_last_error_code(error_file_changed);
    return input.path;
}

Status write_battle_file(const Request& request, BattleFile& map, Grid& grid, RowSource& source,
                         const SampleMapping& mapping, int64_t low, int64_t high) {
    // One offset takes both heightmaps' heights to 16-bit samples.
    const LayerHeights kept = battle_layer_heights(map, 1 - request.layer);
    const int64_t lowest = low < kept.lowest ? low : kept.lowest;
    const int64_t highest = high > kept.highest ? high : kept.highest;
    if (highest - lowest > 65535) {
        console_printf("Error: heights %s to %s (heightmap %d from %s, the other one %s's) span %s, more than the "
                       "65535 a battle file's heightmaps may span; nothing was written.\r\n",
                       signed_number(lowest).text, signed_number(highest).text, request.layer + 1, request.in,
                       request.map, signed_number(highest - lowest).text);
        return status_refused;
    }
    const uint32_t width = battle_width(map);
    auto* scratch = reinterpret_cast<uint8_t*>(allocate_buffer(36 * uint64_t{width}));
    if (scratch == nullptr) return report_out_of_memory(request.out);
    HeldInput input{request.in, &grid, false, false};
    BattleBands bands{&source,
                      &mapping,
                      &map,
                      request.layer,
                      static_cast<int32_t>(-lowest),
                      reinterpret_cast<double*>(scratch),
                      reinterpret_cast<int32_t*>(scratch + 8 * uint64_t{width}),
                      reinterpret_cast<int64_t*>(scratch + 12 * uint64_t{width}),
                      INT32_MAX,
                      INT32_MIN,
                      &input};
    // The band's rows after the three rows of working room.
    Rebuild rebuild{};
    rebuild.battle_in = request.map;
    rebuild.battle = &map;
    rebuild.battle_out = request.out;
    rebuild.pair.width = width;
    rebuild.pair.height = battle_height(map);
    rebuild.pair.sea_level = bands.offset;
    rebuild.pair.band = make_band;
    rebuild.pair.band_context = &bands;
    rebuild.pair.band_rows = scratch + 20 * uint64_t{width};
    rebuild.name1 = request.layer == 0 ? request.in : request.map;
    rebuild.name2 = request.layer == 0 ? request.map : request.in;
    rebuild.report = report_truncated_block;
    rebuild.changed = changed_grid;
    rebuild.changed_context = &input;
    const Status status = rebuild_battle_file(rebuild);
    if (status == status_ok) {
        console_printf("Wrote %s (%u x %u, %s with heightmap %d from %s, its heights %d to %d).\r\n", request.out,
                       static_cast<unsigned>(width), static_cast<unsigned>(battle_height(map)), request.map,
                       request.layer + 1, request.in, static_cast<int>(bands.lowest), static_cast<int>(bands.highest));
    }
    release_buffer(scratch);
    return status;
}

// Heights as floats in a TIFF or OpenEXR file, and the line that says so.
Status write_heights(const Request& request, RowSource& source, const SampleMapping& mapping) {
    HeightRange range{};
    const Status status = write_heightmap_floats(request.out, *request.output.format, source, mapping, &range);
    if (status == status_ok) {
        console_printf("Wrote %s (%u x %u, heights %d to %d as 32-bit floats, 0 the water line).\r\n", request.out,
                       static_cast<unsigned>(source.width), static_cast<unsigned>(source.height),
                       static_cast<int>(range.lowest), static_cast<int>(range.highest));
    }
    return status;
}

// ---- the forms ----

// What a heightmap of a battle file gives out: its heights, as they are.
Status write_heights_out(const Request& request) {
    BattleFile map;
    if (Status status = load_map(request.map, &map)) return status;
    const LayerHeights heights = battle_layer_heights(map, request.layer);
    SampleMapping mapping{};
    mapping.kind = MappingKind::fitted;
    mapping.low = heights.lowest;
    mapping.high = heights.highest;
    mapping.lowest = static_cast<double>(heights.lowest);
    mapping.highest = static_cast<double>(heights.highest);
    mapping.offset = map.sea_level;
    RowSource source{};
    Status status = status_ok;
    const bool samples = request.output.kind == OutputKind::png || request.output.kind == OutputKind::raw;
    if (samples && heights.wrapped != 0) {
        // Its own export wraps these heights: no sample could stand for them.
        console_printf("Error: %s heightmap %d: heights %d to %d with sea level %04X do not fit 16-bit samples; "
                       "nothing was written.\r\n",
                       request.map, request.layer + 1, static_cast<int>(heights.lowest),
                       static_cast<int>(heights.highest), static_cast<unsigned>(map.sea_level));
        status = status_refused;
    }
    if (status == status_ok && !open_battle_row_source(map, request.layer, &source))
        status = report_out_of_memory(request.out);
    source.input = request.map;
    const uint32_t width = battle_width(map), height = battle_height(map);
    if (status == status_ok && samples) {
        SampleRange range;
        status = request.output.kind == OutputKind::png
                     ? write_heightmap_png(request.out, source, mapping, true, &range)
                     : write_heightmap_raw(request.out, source, mapping, &range);
        if (status == status_ok)
            report_samples_written(request.out, request.output.kind, width, height, range, true, map.sea_level);
    } else if (status == status_ok) {
        status = write_heights(request, source, mapping);
    }
    close_row_source(&source);
    release_battle_file(&map);
    return status;
}

// The heights IN's values become: the mapping and the range of heights it
// makes. Prints why when there are none.
Status choose_mapping(const Request& request, const Grid& grid, const BattleFile& map, double lowest,
                      double highest, SampleMapping* mapping) {
    *mapping = SampleMapping{};
    mapping->lowest = lowest;
    mapping->highest = highest;
    switch (request.form) {
    case Form::samples:
        mapping->kind = MappingKind::samples;
        mapping->offset = grid.has_sea_level ? grid.sea_level : 0;
        mapping->low = static_cast<int64_t>(lowest) - mapping->offset;
        mapping->high = static_cast<int64_t>(highest) - mapping->offset;
        return status_ok;
    case Form::typed:
        mapping->kind = MappingKind::fitted;
        mapping->low = request.low;
        mapping->high = request.high;
        return status_ok;
    case Form::fitted: {
        const LayerHeights heights = battle_layer_heights(map, request.layer);
        // Read in the file's pages: the file's own only while it is the
        // version loaded, and nothing else of it is read for the output.
        if (!battle_unchanged(map)) return report_file_failure(request.map);
        mapping->kind = MappingKind::fitted;
        mapping->low = heights.lowest;
        mapping->high = heights.highest;
        return status_ok;
    }
    case Form::sea:
    case Form::heights_out:
        break;
    }
    double scale = request.scale;
    if (!request.has_scale) {
        // The scale at which IN's highest value is the heightmap's highest height.
        const LayerHeights heights = battle_layer_heights(map, request.layer);
        if (!battle_unchanged(map)) return report_file_failure(request.map);
        if (!(highest > 0) || heights.highest <= 0) {
            console_printf("Error: no scale takes %s's highest value, %s, to %s heightmap %d's highest height, %d: "
                           "give one, as in hmap -c IN OUT MAP.prj N sea 0.5.\r\n",
                           request.in, value_number(highest).text, request.map, request.layer + 1,
                           static_cast<int>(heights.highest));
            return status_refused;
        }
        scale = static_cast<double>(heights.highest) / highest;
    }
    // The heights' range as the mapping rounds them, checked in doubles
    // before any is made in 32 bits.
    auto rounded = [](double v) { return v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5); };
    const double low = rounded(lowest * scale), high = rounded(highest * scale);
    if (high - low > 65535) {
        console_printf("Error: %s's values %s to %s x %s make heights %s to %s, which span %s, more than 65535; "
                       "give a smaller SCALE.\r\n",
                       request.in, value_number(lowest).text, value_number(highest).text, value_number(scale).text,
                       value_number(low).text, value_number(high).text, value_number(high - low).text);
        return status_refused;
    }
    if (low < -2147483647.0 || high > 2147483647.0) {
        console_printf("Error: %s's values x %s make heights past 2147483647; give a smaller SCALE.\r\n", request.in,
                       value_number(scale).text);
        return status_refused;
    }
    mapping->kind = MappingKind::scaled;
    mapping->scale = scale;
    mapping->low = static_cast<int64_t>(low);
    mapping->high = static_cast<int64_t>(high);
    console_printf("%s's values x %s are the heights, its 0 the water line.\r\n", request.in,
                   value_number(scale).text);
    return status_ok;
}

// The sea level of 16-bit samples and whether the heights fit them; prints
// why when they do not.
Status choose_sea_level(const Request& request, const BattleFile& map, SampleMapping* mapping) {
    if (request.form == Form::samples) return status_ok;
    if (request.map == nullptr) {
        // Typed heights alone: the sea level is what takes LOW to sample 0.
        const int64_t sea_level = request.low < 0 ? -request.low : 0;
        if (request.high + sea_level > 65535) {
            console_printf("Error: heights %d to %d make samples up to %u (the height plus the sea level %04X), past "
                           "65535.\r\n",
                           static_cast<int>(request.low), static_cast<int>(request.high),
                           static_cast<unsigned>(request.high + sea_level), static_cast<unsigned>(sea_level));
            return status_refused;
        }
        mapping->offset = static_cast<int32_t>(sea_level);
        return status_ok;
    }
    // The battle map's: its PNGs and this one import together.
    mapping->offset = map.sea_level;
    if (mapping->low + map.sea_level < 0 || mapping->high + map.sea_level > 65535) {
        console_printf("Error: heights %d to %d with %s's sea level %04X do not fit 16-bit samples; nothing was "
                       "written. Write the battle file in one step instead: hmap -c %s NEW.prj %s %d ...\r\n",
                       static_cast<int>(mapping->low), static_cast<int>(mapping->high), request.map,
                       static_cast<unsigned>(map.sea_level), request.in, request.map, request.layer + 1);
        return status_refused;
    }
    return status_ok;
}

Status convert_grid(const Request& request, BattleFile& map, Grid& grid) {
    const bool has_map = request.map != nullptr;
    const uint32_t width = has_map ? battle_width(map) : grid.width;
    const uint32_t height = has_map ? battle_height(map) : grid.height;
    RowSource source{};
    Status status = status_ok;
    if (!open_row_source(grid, width, height, &source)) status = report_out_of_memory(request.in);
    source.input = request.in;
    if (status == status_ok && source.resampled) report_resampling(request, grid, map);
    // The values as resampled: the mapping fits their range, so that the
    // heights made span exactly what was asked.
    double lowest = grid.lowest, highest = grid.highest;
    if (status == status_ok && source.resampled) {
        auto* scratch = reinterpret_cast<double*>(allocate_buffer(8 * uint64_t{width}));
        if (scratch == nullptr) status = report_out_of_memory(request.in);
        else measure_resampled(source, grid, scratch, &lowest, &highest);
        release_buffer(scratch);
    }
    SampleMapping mapping{};
    if (status == status_ok) status = choose_mapping(request, grid, map, lowest, highest, &mapping);
    const OutputKind kind = request.output.kind;
    if (status == status_ok && (kind == OutputKind::png || kind == OutputKind::raw))
        status = choose_sea_level(request, map, &mapping);
    if (status != status_ok) {
        close_row_source(&source);
        return status;
    }
    if (kind == OutputKind::battle) {
        status = write_battle_file(request, map, grid, source, mapping, mapping.low, mapping.high);
    } else if (kind == OutputKind::floats) {
        status = write_heights(request, source, mapping);
    } else {
        const bool has_sea_level = request.form != Form::samples || grid.has_sea_level;
        SampleRange range;
        status = kind == OutputKind::png ? write_heightmap_png(request.out, source, mapping, has_sea_level, &range)
                                         : write_heightmap_raw(request.out, source, mapping, &range);
        if (status == status_ok) {
            report_samples_written(request.out, kind, width, height, range, has_sea_level,
                                   static_cast<uint16_t>(mapping.offset));
        }
    }
    close_row_source(&source);
    return status;
}

}  // namespace

Status run_convert(const char* const* args, int count) {
    Request request;
    const char* out = args[1];
    if (!output_kind(out, &request.output)) {
        console_printf("Error: %s: hmap -c writes .png, .r16, .raw, .tif, .exr or .prj files; nothing was read.\r\n",
                       out);
        return status_refused;
    }
    const Output output = request.output;
    if (!take_request(args, count, &request)) return status_refused;
    request.output = output;
    // Typed heights alone make their own sea level; whether they fit
    // samples is known before anything is read.
    const bool samples = output.kind == OutputKind::png || output.kind == OutputKind::raw;
    if (samples && request.form == Form::typed && request.map == nullptr) {
        SampleMapping mapping{};
        if (Status status = choose_sea_level(request, BattleFile{}, &mapping)) return status;
    }
    if (output.kind == OutputKind::battle && (request.map == nullptr || request.form == Form::heights_out)) {
        console_printf("Error: %s: a battle file is written from a map and a heightmap, as in hmap -c dem.tif "
                       "new.prj map.prj 1 sea; nothing was read.\r\n",
                       out);
        return status_refused;
    }
    if (report_output_is_input(out, request.in)) return status_refused;
    if (request.map != nullptr && request.map != request.in && report_output_is_input(out, request.map))
        return status_refused;
    if (request.form == Form::heights_out) return write_heights_out(request);

    BattleFile map{};
    GridHints hints;
    if (request.map != nullptr) {
        if (Status status = load_map(request.map, &map)) return status;
        hints.width = battle_width(map);
        hints.height = battle_height(map);
    }
    // Without a mapping only 16-bit samples will do, told by the header.
    hints.samples_only = request.form == Form::samples;
    Grid grid{};
    InputFile input;
    Status status = open_input(request.in, &input) ? take_grid_view(request.in, &input.view, hints, &grid)
                                                   : report_file_failure(request.in);
    close_input(&input);
    if (status == status_ok) status = ready_grid(request.in, grid);
    if (status == status_ok) status = convert_grid(request, map, grid);
    if (grid_held(grid)) release_grid(&grid);
    release_battle_file(&map);
    return status;
}

Status fit_to_heightmap(const char* path, InputFile* input, const char* battle_path, const BattleFile& battle,
                        int layer, Grey16Image* out) {
    *out = {};
    GridHints hints;
    hints.width = battle_width(battle);
    hints.height = battle_height(battle);
    Grid grid{};
    if (Status status = take_grid_view(path, &input->view, hints, &grid)) return status;
    Status status = ready_grid(path, grid);
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
    source.input = path;
    Request request{};
    request.in = path;
    request.map = battle_path;
    request.layer = layer;
    request.form = Form::fitted;
    double lowest = grid.lowest, highest = grid.highest;
    if (status == status_ok && source.resampled) {
        report_resampling(request, grid, battle);
        measure_resampled(source, grid, values, &lowest, &highest);
    }
    SampleMapping mapping{};
    if (status == status_ok) status = choose_mapping(request, grid, battle, lowest, highest, &mapping);
    if (status == status_ok) status = choose_sea_level(request, battle, &mapping);
    if (status == status_ok) {
        make_heightmap_samples(source, mapping, values, out->samples);
        // The samples are the file's only if it is still the version read.
        if (!grid_unchanged(grid)) status = report_file_failure(path);
    }
    if (status == status_ok) {
        out->width = width;
        out->height = height;
        out->sea_level = static_cast<uint16_t>(mapping.offset);
        out->has_sea_level = true;
    } else {
        release_grey16_image(out);
    }
    close_row_source(&source);
    release_buffer(values);
    if (grid_held(grid)) release_grid(&grid);
    return status;
}
