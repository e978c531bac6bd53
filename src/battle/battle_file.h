// The battle file (.prj) as far as hmap touches it: the HMAP heightmap chunk
// behind four leading chunks, validated on load and rebuilt on import.
#pragma once

#include <cstdint>

#include "platform.h"

// A loaded battle file. `data` is the whole file, read in place in a file
// view (or a buffer it was read into); `head` is a private copy of its first
// bytes, up to the L1 word: every word the checks validate and later steps
// trust (the chunk sizes, the HMAP header and its counts) is read from the
// copy, once. The layer-1 table, the patterns and the bytes after them are
// read in place, the table's pattern offsets always through entry_pattern,
// which holds them within the pool. The dimensions and counts are the ones validated. Both belong to
// the caller, who releases them with release_battle_file (it is empty after
// a failed load); battle_unchanged tells, before a result made from it is
// kept, whether the file is still the version loaded.
struct BattleFile {
    const uint8_t* data;
    uint64_t size;
    const uint8_t* head;     // the first head_size bytes of data (up to the L1 word), copied; null: data itself
    uint64_t head_size;
    uint64_t chunk_pos;      // T: the "HMAP" tag
    uint64_t layer1_pos;     // T + 24: the L1 word, the layer-1 table follows
    uint64_t layer2_pos;     // T + 28 + L1: the L2 word, the patterns follow
    uint64_t chunk_span;     // distance from T to the "ATTR" tag
    uint32_t width;
    uint32_t height;
    uint32_t pattern_count;  // NP
    uint32_t block_count;    // NB, one heightmap
    uint16_t sea_level;      // negated smallest base height, 0 if none is negative
    FileView view;           // where data lies, when loaded from a file
    uint8_t* owned;          // buffers release_battle_file frees: the copy of the head, or the bytes
};

// True when the bytes start with the 32-byte battle file signature.
bool has_battle_signature(const uint8_t* bytes, uint64_t size);

// Reads and validates a battle file; prints its own messages on failure
// (a file that another program changes meanwhile fails with
// error_file_changed). On failure nothing is held.
Status load_battle_file(const char* path, BattleFile* out);
// The same for a file opened as a view, which `out` takes over (the view is
// empty afterwards, whatever the outcome).
Status take_battle_view(const char* path, FileView* view, BattleFile* out);
// The same for a file already read whole (read_file_whole), whose bytes it
// takes over, held by `out` or released; `bytes` is empty afterwards.
Status take_battle_file(const char* path, FileBytes* bytes, BattleFile* out);
// True when the file loaded is still the version it was (see
// view_unchanged); else false with error_file_changed.
bool battle_unchanged(const BattleFile& file);
// Releases what the loader gave; an empty BattleFile is left alone.
void release_battle_file(BattleFile* file);

// Validates the bytes already in `file->data` / `file->size` and fills in the
// positions, dimensions, counts and the sea level, reading each word once:
// from `file->head` where it holds it (a word past the copy fails the file
// as cut short), else from `data`; only the ATTR tag is read from `data`.
// Returns the text of the first failed check ("Bad HMAP - dimensions.", ...)
// or null when the file is sound. Prints nothing and never releases the
// buffer.
const char* check_battle_bytes(BattleFile* file);

// Little-endian words of the battle file.
inline uint32_t read_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void write_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Fields of a validated HMAP chunk.
inline uint32_t battle_width(const BattleFile& f) { return f.width; }
inline uint32_t battle_height(const BattleFile& f) { return f.height; }
inline uint32_t battle_pattern_count(const BattleFile& f) { return f.pattern_count; }  // NP
inline uint32_t battle_block_count(const BattleFile& f) { return f.block_count; }      // NB, one heightmap
// The layer-1 table: 2 x NB entries of 8 bytes (base height, pattern offset),
// heightmap 1's first. The patterns: NP blocks of 64 bytes.
// The bytes up to the L1 word, from the private copy where there is one.
inline const uint8_t* battle_head(const BattleFile& f) { return f.head != nullptr ? f.head : f.data; }
// The entries and patterns lie where the file does: an entry's base height is
// taken as it is, its pattern through entry_pattern.
inline const uint8_t* battle_entries(const BattleFile& f) { return f.data + f.layer1_pos + 4; }
inline const uint8_t* battle_patterns(const BattleFile& f) { return f.data + f.layer2_pos + 4; }
// The 64 steps of the pattern an entry names. The loader checked every
// offset, but the entries are read in place, where another program may have
// written since: the offset is held within the pool whatever it is now (a
// file that changed is refused before anything made from it is kept).
inline const uint8_t* entry_pattern(const BattleFile& f, const uint8_t* entry) {
    const uint32_t offset = read_le32(entry + 4);
    const uint32_t last = 64 * (f.pattern_count - 1);
    return battle_patterns(f) + (offset < last ? offset : last);
}

// The heights of one heightmap (0 or 1) of a loaded battle file, each pixel's
// base + 128 x step, and the pixels whose sample (height + sea level) lies
// outside 0..65535, which an export writes modulo 65536.
struct LayerHeights {
    int64_t lowest;
    int64_t highest;
    uint64_t wrapped;
};
LayerHeights battle_layer_heights(const BattleFile& file, int layer);
// The heights of row `y` of heightmap `layer`: width values of base + 128 x step.
void battle_height_row(const BattleFile& file, int layer, uint32_t y, int64_t* out);

// The import command: replaces the heightmaps of `battle_in` with the two
// PNGs and writes the result to `battle_out`.
Status import_heightmaps(const char* battle_in, const char* battle_out, const char* png1, const char* png2);
// The import of two images already loaded (their sea levels as they are to
// be taken), from the refusal of differing sizes or sea levels on; the
// caller has checked that `battle_out` is neither image and releases them.
struct Grey16Image;
Status import_images(const char* battle_in, const char* battle_out, const char* png1, const Grey16Image& image1,
                     const char* png2, const Grey16Image& image2);

// The import's refusal of two images that differ in size or sea level,
// printed; true when it refused them.
bool report_unmatched_images(const char* png1, const Grey16Image& image1, const char* png2,
                             const Grey16Image& image2);
// The import's warnings for a matched pair: a size other than the battle
// file's, and a sea level the editor dropped from both.
void report_import_warnings(const char* battle_in, const BattleFile& battle, const char* png1,
                            const Grey16Image& image1, const char* png2, const Grey16Image& image2);

// Heightmaps are at most this wide and tall: the chunk's dimensions must stay
// below 65536.
constexpr uint32_t max_heightmap_side = 65535;
// The 32-bit L2 word counts 64 bytes per pattern, so a chunk holds fewer than
// 2^26 patterns.
constexpr uint64_t max_patterns = uint64_t{1} << 26;

// Two heightmaps of the same dimensions: 16-bit big-endian samples, row-major,
// each stored relative to `sea_level`.
struct HeightmapPair {
    const uint8_t* samples1;
    const uint8_t* samples2;
    uint32_t width;
    uint32_t height;
    uint16_t sea_level;
    // Where a heightmap's rows do not follow one another: the start of each
    // (its samples then unused).
    const uint8_t* const* rows1 = nullptr;
    const uint8_t* const* rows2 = nullptr;
};

// NB: the 8x8 blocks of one heightmap of these dimensions.
uint64_t heightmap_block_count(uint32_t width, uint32_t height);
// The most bytes a new HMAP chunk can take: the 28-byte header, the L2 word,
// 2 x NB layer-1 entries and room for 2 x NB patterns (32 + 144 x NB).
uint64_t chunk_capacity(uint64_t nb);
// Bytes of the hash index over the pattern pool for `nb` blocks a heightmap.
uint64_t pattern_index_size(uint64_t nb);

// The widest range a block keeps: its lowest sample and at most 255 steps of
// 128 above it. Wider blocks have their steps above 255 capped.
constexpr uint32_t max_block_range = 255 * 128;

// Told of each block whose range exceeds 32640 (its steps above 255 are capped).
using TruncationReport = void (*)(void* context, uint32_t x0, uint32_t y0);

// Builds a whole HMAP chunk (tag to last pattern) at `chunk`, which has room
// for chunk_capacity bytes. `index` (pattern_index_size bytes) speeds up the
// pool lookup; without one the pool is scanned from the start for every block,
// which gives the same bytes far more slowly. Returns the chunk's span
// (32 + 16 x NB + L2), or 0 when the pair needs `pattern_limit` or more
// distinct patterns (max_patterns for a real battle file).
uint64_t encode_heightmaps(const HeightmapPair& pair, uint8_t* chunk, uint32_t* index, uint64_t pattern_limit,
                           TruncationReport report, void* context);
