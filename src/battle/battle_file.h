// The battle file (.prj) as far as hmap touches it: the HMAP heightmap chunk
// behind four leading chunks, validated on load and rebuilt on import.
#pragma once

#include <cstdint>

#include "platform.h"

// A loaded battle file. `data` holds the whole file and belongs to the
// caller, who releases it with release_buffer (it is empty after a failed load).
struct BattleFile {
    uint8_t* data;
    uint64_t size;
    uint64_t chunk_pos;   // T: the "HMAP" tag
    uint64_t layer1_pos;  // T + 24: the L1 word, the layer-1 table follows
    uint64_t layer2_pos;  // T + 28 + L1: the L2 word, the patterns follow
    uint64_t chunk_span;  // distance from T to the "ATTR" tag
    uint16_t sea_level;   // negated smallest base height, 0 if none is negative
};

// Reads and validates a battle file; prints its own messages on failure.
Status load_battle_file(const char* path, BattleFile* out);

// The import command: replaces the heightmaps of `battle_in` with the two
// PNGs and writes the result to `battle_out`.
Status import_heightmaps(const char* battle_in, const char* battle_out, const char* png1, const char* png2);
