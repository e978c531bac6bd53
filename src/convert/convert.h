// The convert command: a heightmap of another tool's format (heightmap_formats.h)
// to a heightmap PNG or R16 file, a TIFF or OpenEXR file of heights, or into
// a battle file in one step, its samples as they are or its values fitted
// to a height range, to a heightmap of a battle file, or scaled with 0 the
// water line; or a battle file's heightmap out, its heights as they are.
#pragma once

#include "battle_file.h"
#include "input_file.h"
#include "png_heightmap.h"
#include "platform.h"

// hmap -c IN OUT [ LOW HIGH | MAP.prj N [ LOW HIGH | sea [ SCALE ] ] ], or
// hmap -c MAP.prj OUT N: `count` (2 to 6) arguments.
Status run_convert(const char* const* args, int count);

// A foreign heightmap fitted to heightmap `layer` (0 or 1) of a loaded
// battle file as hmap -c IN OUT MAP.prj N fits it, held as a decoded PNG
// (its sea level the battle file's), for the drop's import. Prints the
// lines the command prints before it writes, and its refusals.
// `input` is the file at `path`, opened; its view is taken.
Status fit_to_heightmap(const char* path, InputFile* input, const char* battle_path, const BattleFile& battle,
                        int layer, Grey16Image* out);
