// The project's own readers (RAW, PFM, .hgt) and the PNG one, on bytes in
// memory (see grid_check.h). The first byte chooses the name the file goes
// by, and so the reader when no signature tells, and the map size a RAW
// file is given: its low three bits the extension, the rest a side 0..31.
#include "grid_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const names[8] = {"in.r16", "in.raw", "in.r32", "in.hgt", "in.pfm", "in.png", "in", "in.R16"};
    const uint32_t side = data[0] >> 3;
    GridHints hints;
    hints.width = side;
    hints.height = side != 0 ? (side * 7) % 32 + 1 : 0;
    check_read_grid(names[data[0] & 7], data + 1, size - 1, hints);
    return 0;
}
