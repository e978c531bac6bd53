// Entry points for the tests and the fuzz targets alone: a heightmap read
// from bytes in memory, without a file.
#pragma once

#include "heightmap_formats.h"

// Reads a heightmap held in memory, named `path` (which names the format of
// one without a signature). On success `out` holds the grid and its value
// range; on failure nothing (but for needs_mapping, its format and type),
// and `detail`, when given, may hold the reader's text.
GridError read_grid(const char* path, const uint8_t* bytes, uint64_t size, const GridHints& hints, Grid* out,
                    GridDetail* detail = nullptr);

// The same for a file read whole (read_file_whole), whose bytes it takes
// over: where the values can be put in place the grid is built in the
// file's buffer and holds it; else the buffer is released. `file` is empty
// afterwards.
GridError take_grid(const char* path, FileBytes* file, const GridHints& hints, Grid* out,
                    GridDetail* detail = nullptr);
