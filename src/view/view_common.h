// What the list and picture commands share: heights row by row from a
// battle file or a heightmap PNG, and text for numbers the console's
// formatter cannot print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "battle_file.h"
#include "input_file.h"
#include "png_heightmap.h"

// The heights of a heightmap, row by row: one layer of a loaded battle file,
// or a decoded PNG (sample less its sea level).
struct HeightSource {
    const BattleFile* battle;
    int layer;
    const Grey16Image* image;
    uint32_t width, height;
};
HeightSource battle_source(const BattleFile& file, int layer);
HeightSource image_source(const Grey16Image& image);
void source_row(const HeightSource& source, uint32_t y, int64_t* out);

// A loaded battle file or heightmap PNG.
struct HeightFile {
    bool is_png;
    BattleFile battle;
    Grey16Image image;
};
// Loads an opened file for reading its heights, from its view (which it
// takes over): a PNG as the import loads one, anything else as a battle
// file, whose loader's messages tell what is wrong with it.
Status load_height_file(const char* path, InputFile* file, HeightFile* out);
void release_height_file(HeightFile* file);
// True when the loaded file is still the version read (see view_unchanged).
bool height_file_unchanged(const HeightFile& file);

// Decimal text of a number: room for any 64-bit value and the terminator.
struct Number {
    char text[24];
};
Number signed_number(int64_t value);
// With a "+" before a positive value, as a difference is shown.
Number difference_number(int64_t value);
// Rounded to one decimal, signed as a difference.
Number mean_number(double mean);
// A value of another tool's heightmap: whole numbers whole, others to about
// 7 significant digits; very large and very small ones with a power of ten
// ("-3.4e+38").
Number value_number(double value);
// Four upper-case hexadecimal digits, as the sea level is shown everywhere.
Number hex_number(uint16_t value);

// One line of a listing, built up piece by piece and printed with "\r\n".
// Text past the room is dropped (a line names at most two paths).
struct Line {
    char text[2048];
    size_t length = 0;

    Line& operator<<(const char* piece);
    Line& operator<<(const Number& number) { return *this << number.text; }
    Line& operator<<(int64_t value) { return *this << signed_number(value); }
    void print();
};

// Where printed lines go instead of the console while it is set (a page
// shows the listing's lines): `take` gets each line without its "\r\n".
struct LineSink {
    void (*take)(void* context, const char* text, size_t length);
    void* context;
};
// Sends the lines to `sink` from now on; null sends them to the console again.
void capture_lines(const LineSink* sink);
