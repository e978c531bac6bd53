// The page: hmap -p IN OUT.html writes one self-contained HTML page that
// shows the heightmaps of IN as terrain in 3D in any browser with WebGL2,
// opened from the disk: its code inline, its heights compressed inside it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// True when `path` names a page: it ends in ".html", in any case.
bool names_a_page(const char* path);

// The page of a battle file's two heightmaps or a heightmap PNG's one; with
// two PNGs (`png1`, `png2` not empty) the battle file before and after an
// import of them, with the pixels it changes marked and the listing's
// comparison lines. The output may be none of the inputs.
Status write_page(const char* in, const char* out, const char* png1, const char* png2);

// The page's template (src/view/page/, made one file at build time): the
// bytes before the place of the data, and those after it.
extern const uint8_t page_head[];
extern const size_t page_head_size;
extern const uint8_t page_tail[];
extern const size_t page_tail_size;
