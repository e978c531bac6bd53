// Looking at maps: -l lists what a battle file or heightmap PNG holds and
// what an import would make of it, -p draws a heightmap as a shaded terrain
// picture. Both only read their inputs.
#pragma once

#include "platform.h"

// The list command: each file (an empty path is absent), and when a battle
// file is followed by two heightmap PNGs, how the images' heights compare
// with the battle file's.
Status list_files(const char* file1, const char* file2, const char* file3);

// The picture command: a battle file's two heightmaps to `out1` and `out2`,
// or a heightmap PNG's one to `out1` (`out2` then empty).
Status draw_pictures(const char* in, const char* out1, const char* out2);
