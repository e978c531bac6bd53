// The export command: each heightmap of a battle file written as an
// uncompressed 16-bit greyscale PNG with the battle file's sea level, its
// samples expanded from the 8x8 blocks row by row straight into the PNG.
#include "battle_file.h"
#include "commands.h"
#include "png_heightmap.h"

namespace {

// The rows of one heightmap of a loaded battle file, as a PNG holds them.
struct LayerRows {
    const BattleFile* file;
    int layer;
};

void make_layer_row(void* context, uint32_t y, uint8_t* out) {
    const auto& rows = *static_cast<const LayerRows*>(context);
    out[0] = 0;  // filter type None
    battle_sample_row(*rows.file, rows.layer, y, out + 1);
}

}  // namespace

bool stream_battle_png(const PngLayout& layout, const BattleFile& file, int layer, uint8_t* buffer,
                       uint64_t part_bytes, PngSink sink, void* context) {
    LayerRows rows{&file, layer};
    return stream_grey16_png(layout, battle_width(file), battle_height(file), true, file.sea_level, make_layer_row,
                             &rows, buffer, part_bytes, sink, context);
}

namespace {

uint64_t export_buffer_size(const BattleFile& file) {
    return png_part_bytes + 2 * uint64_t{battle_width(file)} + 1;  // a part, then the scratch row
}

// A height that a 16-bit sample cannot hold (height + sea level below 0 or
// above 65535) is written modulo 65536, as every sample is; an import of
// the PNG gives it back another height, so the modder hears of it.
void warn_of_wrapped_heights(const char* path, const char* battle_path, const BattleFile& file, int layer) {
    const LayerHeights heights = battle_layer_heights(file, layer);
    if (heights.wrapped == 0) return;
    // At most 65535 x 65535 pixels: the count fits 32 bits.
    console_printf("Warning: %s heightmap %d: %u %s too high or too low for a 16-bit sample, wrapped in %s "
                   "(modulo 65536).\r\n",
                   battle_path, layer + 1, static_cast<unsigned>(heights.wrapped),
                   heights.wrapped == 1 ? "pixel" : "pixels", path);
}

// Makes one heightmap's PNG through `buffer` (export_buffer_size bytes)
// into a write not yet put in place (`*out`); on failure prints it and
// leaves `*out` empty.
Status make_png_layer(const char* path, const BattleFile& file, int layer, uint8_t* buffer, FileWrite** out) {
    const PngLayout layout = png_layout(battle_width(file), battle_height(file));
    *out = begin_file_write(path, layout.file_bytes);
    if (*out == nullptr) return report_file_failure(path);
    if (!stream_battle_png(layout, file, layer, buffer, png_part_bytes, write_png_part, *out)) {
        abandon_file_write(*out);
        *out = nullptr;
        return report_file_failure(path);
    }
    return status_ok;
}

}  // namespace

bool report_export_clash(const char* battle_path, const char* png1_path, const char* png2_path) {
    // An image written over the battle file would destroy the map it comes
    // from, and two images written to one file would leave only the second.
    bool clash1 = report_output_is_input(png1_path, battle_path);
    bool clash2 = report_output_is_input(png2_path, battle_path);
    return clash1 || clash2 || report_both_outputs(png1_path, png2_path);
}

Status export_battle(const char* battle_path, const BattleFile& file, const char* png1_path, const char* png2_path) {
    uint8_t* buffer = allocate_buffer(export_buffer_size(file));
    if (buffer == nullptr) {
        Status first = report_out_of_memory(png1_path);
        Status second = report_out_of_memory(png2_path);
        return first != status_ok ? first : second;
    }
    // Both images are made before either is put in place: the second is made
    // whatever became of the first, and neither is kept unless the battle
    // file is still the version read once both are made, so that when it
    // changed, nothing was written.
    const char* paths[2] = {png1_path, png2_path};
    FileWrite* outs[2] = {};
    Status status[2];
    for (int layer = 0; layer < 2; ++layer) status[layer] = make_png_layer(paths[layer], file, layer, buffer, &outs[layer]);
    release_buffer(buffer);
    if (!battle_unchanged(file)) {
        for (FileWrite* out : outs)
            if (out != nullptr) abandon_file_write(out);
        return report_file_failure(battle_path);
    }
    for (int layer = 0; layer < 2; ++layer) {
        if (outs[layer] == nullptr) continue;
        if (!finish_file_write(outs[layer])) {
            status[layer] = report_file_failure(paths[layer]);
            continue;
        }
        warn_of_wrapped_heights(paths[layer], battle_path, file, layer);
    }
    return status[0] != status_ok ? status[0] : status[1];
}

Status run_export(const char* battle_path, const char* png1_path, const char* png2_path) {
    // Both outputs are checked before anything is read.
    if (report_export_clash(battle_path, png1_path, png2_path)) return status_refused;
    // Read in place; an image is kept only when made from one version of
    // the file, whatever another program does to it meanwhile.
    BattleFile file;
    if (Status status = load_battle_file(battle_path, &file)) return status;
    Status status = export_battle(battle_path, file, png1_path, png2_path);
    release_battle_file(&file);
    return status;
}
