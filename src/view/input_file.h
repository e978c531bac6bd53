// What a file given to a command holds, decided once from its first bytes
// (and from its name, for a heightmap format without a signature), with
// the file open as a private view that the loader of that kind then takes
// over: -l, -p, -c and the drop all decide the same way, and open each
// input once.
#pragma once

#include <cstdint>
#include <optional>

#include "heightmap_formats.h"
#include "platform.h"

enum class FileKind {
    battle,   // the battle file signature
    png,      // the PNG signature, or no other signature and a name ending in .png
    foreign,  // another tool's heightmap: its signature, or its extension
    other,    // none of those (the battle file loader's messages tell what is wrong)
};

// What a PNG's bytes say before its image data is decoded.
struct PngFacts {
    bool header_sound;  // signature and IHDR as a decoder takes them; the fields below are read from it
    uint32_t width, height;
    uint8_t bit_depth, colour_type, interlace;
    uint64_t idat_chunks;
    std::optional<uint16_t> sea_level;  // the hmAP chunk's value
};

struct InputFile {
    FileKind kind;
    uint64_t size;
    // A PNG that is a heightmap as hmap writes one (the PNG signature, and
    // 16-bit greyscale, or too short to tell): the import's reader takes it;
    // any other PNG is another tool's, for the formats' reader.
    bool heightmap_png;
    PngFacts png;              // for a PNG: what its header says (only shown; the loader checks again)
    const GridReader* format;  // for another tool's heightmap
    FileView view;             // until a loader takes it
};

// Opens `path` and decides what it holds. On failure holds nothing, prints
// nothing and leaves the last error code saying why.
bool open_input(const char* path, InputFile* out);
// Closes what a loader did not take.
void close_input(InputFile* file);
