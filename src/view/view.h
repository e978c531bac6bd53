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
