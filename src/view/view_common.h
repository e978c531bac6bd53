// What the list and picture commands share: telling a battle file from a
// PNG, the facts a PNG's header gives, heights row by row from either kind of
// file, and text for numbers the console's formatter cannot print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "battle_file.h"
#include "png_heightmap.h"

enum class FileKind { battle, png };

// What a PNG's bytes say before its image data is decoded.
struct PngFacts {
    bool header_sound;  // signature and IHDR as a decoder takes them; the fields below are read from it
    uint32_t width, height;
    uint8_t bit_depth, colour_type, interlace;
    uint64_t idat_chunks;
    std::optional<uint16_t> sea_level;  // the hmAP chunk's value
};

// A file opened as a view and looked at once, before it is loaded the way
// its kind is loaded from the same view.
struct FilePeek {
    FileKind kind;
    uint64_t size;
    PngFacts png;   // for a PNG
    FileView view;  // held until load_height_file (or release_peek) takes it
};

// Reads the file and tells its kind: a PNG by its signature, or by its name
// ending in ".png" (any case), so that a damaged image gets the PNG reader's
// messages; anything else is taken for a battle file and gets the battle
// file's. On failure prints the file failure report.
Status peek_file(const char* path, FilePeek* out);
void release_peek(FilePeek* peek);

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

// A loaded battle file or heightmap PNG, as its kind says.
struct HeightFile {
    FileKind kind;
    BattleFile battle;
    Grey16Image image;
};
// Loads a peeked file for reading its heights, from the view the peek
// opened (which it takes over); prints the loader's messages on failure.
Status load_height_file(const char* path, FilePeek* peek, HeightFile* out);
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
