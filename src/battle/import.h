// The import command: two heightmap PNGs into a battle file, and its steps
// for the drop and the page, which import images loaded already.
#pragma once

#include "battle_file.h"
#include "png_heightmap.h"
#include "platform.h"

// Replaces the heightmaps of `battle_in` with the two PNGs and writes the
// result to `battle_out`.
Status import_heightmaps(const char* battle_in, const char* battle_out, const char* png1, const char* png2);
// What the import refuses of a pair: sizes, then sea levels that differ.
// True when it printed the refusal.
bool report_pair_refused(const char* png1, const Grey16Image& image1, const char* png2, const Grey16Image& image2);
// The import's warnings for a pair it takes: a size other than the battle
// file's, and a sea level an editor dropped from both images.
void report_import_warnings(const char* battle_in, const BattleFile& battle, const char* png1,
                            const Grey16Image& image1, const char* png2, const Grey16Image& image2);
// The import of two images already loaded and not refused (their sea
// levels as they are to be taken) into a loaded battle file, which the
// caller releases; the caller has checked that `battle_out` is neither image.
Status import_images(const char* battle_in, BattleFile* battle, const char* battle_out, const char* png1,
                     const Grey16Image& image1, const char* png2, const Grey16Image& image2);
// Whether the heights of two images, each its samples less its own sea
// level, span more than a battle file's heightmaps may; prints the refusal.
bool report_heights_refused(const char* png1, const Grey16Image& image1, const char* png2,
                            const Grey16Image& image2);
// The same import where each image keeps its own sea level: each height is its
// sample less its image's sea level, the battle file storing the heights (a
// block's lowest and its steps), so the images need not share one; refused
// when all their heights span more than 65535. `sea_level` is the new
// battle file's, as its export stores it.
Status import_heights(const char* battle_in, BattleFile* battle, const char* battle_out, const char* png1,
                      const Grey16Image& image1, const char* png2, const Grey16Image& image2, uint16_t* sea_level);
