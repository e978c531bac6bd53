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
// On failure `out->data` is empty and nothing is held.
Status load_battle_file(const char* path, BattleFile* out);

// Validates the bytes already in `file->data` / `file->size` and fills in the
// positions and the sea level. Returns the text of the first failed check
// ("Bad HMAP - dimensions.", ...) or null when the file is sound. Prints
// nothing and never releases the buffer.
const char* check_battle_bytes(BattleFile* file);

// Little-endian words of the battle file.
inline uint32_t read_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Fields of a validated HMAP chunk.
inline uint32_t battle_width(const BattleFile& f) { return read_le32(f.data + f.chunk_pos + 8); }
inline uint32_t battle_height(const BattleFile& f) { return read_le32(f.data + f.chunk_pos + 12); }
inline uint32_t battle_pattern_count(const BattleFile& f) { return read_le32(f.data + f.chunk_pos + 16); }  // NP
inline uint32_t battle_block_count(const BattleFile& f) { return read_le32(f.data + f.chunk_pos + 20); }    // NB, one heightmap
// The layer-1 table: 2 x NB entries of 8 bytes (base height, pattern offset),
// heightmap 1's first. The patterns: NP blocks of 64 bytes.
inline const uint8_t* battle_entries(const BattleFile& f) { return f.data + f.layer1_pos + 4; }
inline const uint8_t* battle_patterns(const BattleFile& f) { return f.data + f.layer2_pos + 4; }

// The import command: replaces the heightmaps of `battle_in` with the two
// PNGs and writes the result to `battle_out`.
Status import_heightmaps(const char* battle_in, const char* battle_out, const char* png1, const char* png2);
