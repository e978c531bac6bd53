// Dropped files. A battle file alone is exported beside itself, to NAME-1.png
// and NAME-2.png; with two PNGs it takes them back into NAME-edited.prj
// (another tool's heightmap among them fitted to its heightmap first, as
// hmap -c IN OUT MAP.prj N fits it); a PNG alone is listed. Each file is
// known by its first bytes (only a RAW or .hgt file, which has none, by its
// name), and no file that exists is replaced unless the person at the
// console says so.
#include "drop.h"

#include <cstring>

#include "battle_file.h"
#include "bytes.h"
#include "command_line.h"
#include "commands.h"
#include "import.h"
#include "convert.h"
#include "heightmap_formats.h"
#include "input_file.h"
#include "png_heightmap.h"
#include "view.h"

namespace {

// A path beside another: its folder as given, its name without the last
// extension (a name without one, or starting with its only dot, whole), and
// `suffix`.
struct Beside {
    char text[argument_capacity + 16];
};

Beside beside(const char* path, const char* suffix) {
    Beside out{};
    const size_t start = name_start(path);
    size_t end = strlen(path);
    const char* dot = strrchr(path + start, '.');
    if (dot != nullptr && dot > path + start) end = static_cast<size_t>(dot - path);
    memcpy(out.text, path, end);
    memcpy(out.text + end, suffix, strlen(suffix) + 1);
    return out;
}

const char* name_of(const char* path) { return path + name_start(path); }

bool exists(const char* path) { return same_file(path, path); }

// Name order, letters of either case alike, then by bytes, then by the
// whole path: map-1.png before map-2.png.
bool in_name_order(const char* a, const char* b) {
    const char* name_a = name_of(a);
    const char* name_b = name_of(b);
    for (size_t i = 0;; ++i) {
        const int ca = static_cast<unsigned char>(ascii_lower(name_a[i]));
        const int cb = static_cast<unsigned char>(ascii_lower(name_b[i]));
        if (ca != cb) return ca < cb;
        if (ca == 0) break;
    }
    const int bytes = strcmp(name_a, name_b);
    return bytes != 0 ? bytes < 0 : strcmp(a, b) <= 0;
}

bool is_yes(const char* answer) {
    while (*answer == ' ' || *answer == '\t') ++answer;
    size_t length = strlen(answer);
    while (length > 0 && (answer[length - 1] == ' ' || answer[length - 1] == '\t')) --length;
    auto is = [&](const char* word) {
        if (strlen(word) != length) return false;
        for (size_t i = 0; i < length; ++i)
            if (ascii_lower(answer[i]) != word[i]) return false;
        return true;
    };
    return is("y") || is("yes");
}

// The question for an output that exists. A link names the file at the end
// of its chain, which is what the write replaces: by its name when it lies
// in the link's folder, by its path when elsewhere.
void ask_to_replace(const char* output) {
    char end[4096];
    if (link_end(output, end, sizeof end)) {
        const size_t at = name_start(end);
        const bool here = same_folder(end, output);
        if (!here || !same_name(end + at, output + name_start(output))) {
            console_printf("%s (a link to %s) exists. Replace it? [y/N]\r\n", name_of(output), here ? end + at : end);
            return;
        }
    }
    console_printf("%s exists. Replace it? [y/N]\r\n", name_of(output));
}

// Whether the outputs may be written: none exists, or each one that does
// may be replaced, the person at the console having answered y for it.
// Without a console nobody can be asked: each file in the way is named and
// nothing is written.
Status may_write(const char* const* outputs, int count) {
    if (!console_can_ask()) {
        bool in_the_way = false;
        for (int i = 0; i < count; ++i) {
            if (!exists(outputs[i])) continue;
            console_printf("Error: %s is in the way; nothing was written. Move it away, or run hmap from a "
                           "console, where it asks before replacing a file.\r\n",
                           outputs[i]);
            in_the_way = true;
        }
        return in_the_way ? status_refused : status_ok;
    }
    for (int i = 0; i < count; ++i) {
        if (!exists(outputs[i])) continue;
        ask_to_replace(outputs[i]);
        char answer[64];
        if (!read_console_line(answer, sizeof answer) || !is_yes(answer)) {
            console_printf("%s is kept; nothing was written.\r\n", name_of(outputs[i]));
            return status_refused;
        }
    }
    return status_ok;
}

Status export_beside(const char* battle_path, InputFile* input) {
    const Beside png1 = beside(battle_path, "-1.png");
    const Beside png2 = beside(battle_path, "-2.png");
    if (report_export_clash(battle_path, png1.text, png2.text)) return status_refused;
    BattleFile file;
    if (Status status = take_battle_view(battle_path, &input->view, &file)) return status;
    const char* outputs[2] = {png1.text, png2.text};
    Status status = may_write(outputs, 2);
    if (status == status_ok) status = export_battle(battle_path, file, png1.text, png2.text);
    if (status == status_ok) {
        console_printf("Wrote %s and %s (%u x %u, sea level %04X).\r\n", name_of(png1.text), name_of(png2.text),
                       static_cast<unsigned>(battle_width(file)), static_cast<unsigned>(battle_height(file)),
                       static_cast<unsigned>(file.sea_level));
    }
    release_battle_file(&file);
    return status;
}

// A heightmap the drop takes: as the import reads it, or another tool's,
// fitted to its heightmap of the battle file first.
bool taken_as_it_is(const InputFile& input) { return input.kind == FileKind::png && input.heightmap_png; }

// The heightmap a file's name asks for: "-1" or "-2" at the end of the
// name before its extension (map-2.png, terrain-1.tif); -1 for none.
int heightmap_asked(const char* path) {
    const Beside name = beside(path, "");
    const size_t length = strlen(name.text);
    if (length < 2 || name.text[length - 2] != '-') return -1;
    const char last = name.text[length - 1];
    return last == '1' ? 0 : last == '2' ? 1 : -1;
}

Status import_beside(const char* battle_path, InputFile* battle, const char* png_a, InputFile* a, const char* png_b,
                     InputFile* b) {
    // A file whose name asks for a heightmap goes to it; the other takes
    // what is left. Neither asking, or both the same one: name order.
    const int asked_a = heightmap_asked(png_a), asked_b = heightmap_asked(png_b);
    bool a_first = in_name_order(png_a, png_b);
    if (asked_a != asked_b) a_first = asked_a == 0 || asked_b == 1;
    const char* png1 = a_first ? png_a : png_b;
    const char* png2 = a_first ? png_b : png_a;
    InputFile* inputs[2] = {a_first ? a : b, a_first ? b : a};
    const bool foreign[2] = {!taken_as_it_is(*inputs[0]), !taken_as_it_is(*inputs[1])};
    const Beside edited = beside(battle_path, "-edited.prj");
    // The battle file too stays as it was, whichever link makes it the output.
    if (report_output_is_input(edited.text, battle_path) || report_output_is_input(edited.text, png1) ||
        report_output_is_input(edited.text, png2))
        return status_refused;
    console_printf("Heightmap 1 from %s, heightmap 2 from %s.\r\n", name_of(png1), name_of(png2));
    Grey16Image images[2];
    const char* paths[2] = {png1, png2};
    Status status1 = foreign[0] ? status_ok : take_grey16_view(png1, &inputs[0]->view, &images[0]);
    Status status2 = foreign[1] ? status_ok : take_grey16_view(png2, &inputs[1]->view, &images[1]);
    Status status = status1 != status_ok ? status1 : status2;
    BattleFile old{};
    if (status == status_ok) status = take_battle_view(battle_path, &battle->view, &old);
    for (int i = 0; i < 2 && status == status_ok; ++i) {
        if (foreign[i]) status = fit_to_heightmap(paths[i], inputs[i], battle_path, old, i, &images[i]);
    }
    uint16_t sea_level = 0;
    if (status == status_ok) {
        // These images come from the battle file's export: an editor that
        // dropped the chunk dropped its value, the battle file's own.
        for (int i = 0; i < 2; ++i) {
            if (images[i].has_sea_level) continue;
            images[i].sea_level = old.sea_level;
            images[i].has_sea_level = true;
            console_printf("%s has no sea-level chunk; it takes %s's own sea level, %04X, as its export stores "
                           "it.\r\n",
                           name_of(paths[i]), name_of(battle_path), static_cast<unsigned>(old.sea_level));
        }
        // What the import refuses is refused before anyone is asked. The
        // battle file takes heights: each image keeps its own sea level.
        const char* outputs[1] = {edited.text};
        Grey16Image same_sea = images[1];
        same_sea.sea_level = images[0].sea_level;
        const bool refused = report_pair_refused(png1, images[0], png2, same_sea) ||
                             report_heights_refused(png1, images[0], png2, images[1]);
        status = refused ? status_refused : may_write(outputs, 1);
        if (status == status_ok)
            status = import_heights(battle_path, &old, edited.text, png1, images[0], png2, images[1], &sea_level);
    }
    if (status == status_ok) {
        console_printf("Wrote %s (%u x %u, sea level %04X).\r\n", name_of(edited.text),
                       static_cast<unsigned>(images[0].width), static_cast<unsigned>(images[0].height),
                       static_cast<unsigned>(sea_level));
        for (int layer = 0; layer < 2; ++layer) {
            console_printf("%s heightmap %d against %s\r\n", name_of(battle_path), layer + 1, name_of(paths[layer]));
            list_height_comparison(old, layer, name_of(paths[layer]), images[layer]);
            list_import_changes(images[layer]);
        }
    }
    release_battle_file(&old);
    release_grey16_image(&images[0]);
    release_grey16_image(&images[1]);
    return status;
}

}  // namespace

bool open_files(const char* const* paths, int count, Status* status) {
    if (count < 1 || count > 3) return false;
    // Each file opened once, known by what it holds, its view handed on.
    InputFile inputs[3] = {};
    int opened = 0, battles = 0, heightmaps = 0;
    int battle = 0, heightmap[2] = {0, 0};
    const uint32_t saved = last_error_code();
    bool known = true;
    for (; opened < count && known; ++opened) {
        const int i = opened;
        if (paths[i][0] == 0 || !open_input(paths[i], &inputs[i])) {
            set_last_error_code(saved);  // not a drop: nothing to report of the file
            known = false;
            break;
        }
        if (inputs[i].kind == FileKind::battle) {
            battle = i;
            ++battles;
        } else if (inputs[i].kind == FileKind::png || inputs[i].kind == FileKind::foreign) {
            if (heightmaps < 2) heightmap[heightmaps] = i;
            ++heightmaps;
        } else {
            known = false;
        }
    }
    bool dropped = known;
    if (known && battles == 1 && heightmaps == 0) {
        *status = export_beside(paths[battle], &inputs[battle]);
    } else if (known && battles == 1 && heightmaps == 2) {
        *status = import_beside(paths[battle], &inputs[battle], paths[heightmap[0]], &inputs[heightmap[0]],
                                paths[heightmap[1]], &inputs[heightmap[1]]);
    } else if (known && battles == 0 && heightmaps == 1) {
        const char* listed[3] = {paths[heightmap[0]], "", ""};
        InputFile* given[3] = {&inputs[heightmap[0]], nullptr, nullptr};
        *status = list_inputs(listed, given);
    } else {
        dropped = false;
    }
    for (int i = 0; i < opened; ++i) close_input(&inputs[i]);
    return dropped;
}
