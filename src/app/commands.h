// The export and sea-level commands (-x, -s), and the steps of them the
// drop uses. The import command is the battle room's (import.h).
#pragma once

#include <cstdint>

#include "battle_file.h"
#include "png_heightmap.h"
#include "platform.h"

// ---- export ----

// Heightmap 1 and 2 of the battle file to two PNGs.
Status run_export(const char* battle_path, const char* png1_path, const char* png2_path);
// The refusal of outputs that are the battle file or one file (true when it
// printed one), and the export of a loaded battle file.
bool report_export_clash(const char* battle_path, const char* png1_path, const char* png2_path);
Status export_battle(const char* battle_path, const BattleFile& file, const char* png1_path, const char* png2_path);
// Makes the PNG of heightmap `layer` (0 or 1) of a loaded battle file, laid
// out as png_layout gives it for that heightmap's size, and hands it to
// `sink` in order, in parts of at most `part_bytes` (at least 1) bytes.
// `buffer` holds a part and one raw row: part_bytes + 2 x width + 1 bytes.
// Returns false as soon as the sink does.
bool stream_battle_png(const PngLayout& layout, const BattleFile& file, int layer, uint8_t* buffer,
                       uint64_t part_bytes, PngSink sink, void* context);

// ---- sea level ----

// A sea level as typed on the command line: decimal without leading zeros
// ("0" itself is one), or "0x"/"0X" and hex digits; at most 65535. A trailing
// carriage return or line feed is ignored, as the shell keeps hmap's own
// "\r\n" in $(hmap -s a.png). False for anything else: a sign, a blank, a
// letter, a leading zero, too large a value.
bool parse_sea_level(const char* text, uint16_t* value);
// -s path shows the stored value; -s path argument stores the argument's
// value, or, when it is not a number, the sea level taken from the file it
// names: a PNG's hmAP value, or a battle file's own (the one its export
// stores).
Status show_sea_level(const char* path);
Status set_sea_level(const char* path, uint16_t value);
Status set_sea_level_from(const char* path, const char* argument);
