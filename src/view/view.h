// Looking at maps: -l lists what a battle file or heightmap PNG holds and
// what an import would make of it, -p draws a heightmap as a shaded terrain
// picture. Both only read their inputs.
#pragma once

#include "battle_file.h"
#include "input_file.h"
#include "png_heightmap.h"
#include "platform.h"

// The list command: each file (an empty path is absent), and when a battle
// file is followed by two heightmap PNGs, how the images' heights compare
// with the battle file's.
Status list_files(const char* file1, const char* file2, const char* file3);
// The same for three paths (an empty one absent), each opened already
// (`given[i]`, whose view it takes) or opened here when null.
Status list_inputs(const char* const* paths, InputFile* const* given);

// Lines of the listing for an import: how the image's heights differ from
// heightmap `layer` (0 or 1) of the battle file, pixel by pixel, and what
// the import's 8x8 blocks do to its samples (blocks cut, largest change).
void list_height_comparison(const BattleFile& battle, int layer, const char* image_path, const Grey16Image& image);
void list_import_changes(const Grey16Image& image);

// The picture command: a battle file's two heightmaps to `out1` and `out2`,
// or a heightmap PNG's one to `out1` (`out2` then empty).
Status draw_pictures(const char* in, const char* out1, const char* out2);

// The colours -p draws in, for other views of the same heights: the ramp
// (water from the shore, entry 0, down to the scale's depth, entry 1024;
// land from the shore, 1025, up to its top, 2049), the scale for heights
// `lowest` to `highest` (a height h >= 0 takes entry 1025 + (min(h, top) >>
// land_shift), one below 0 entry min(-h, depth) >> water_shift), and the
// hill shading's constants (see picture.cpp).
struct PictureColours {
    uint8_t rgb[2050][3];
    int64_t top, depth;
    int land_shift, water_shift;
    float pixel_span, ambient;
};
PictureColours picture_colours(int64_t lowest, int64_t highest);
// "Colours span heights -DEPTH to TOP: water below 0, land above."
void report_colour_span(int64_t depth, int64_t top);
