// The one decision of what a file holds.
#include "input_file.h"

#include <cstring>

#include "battle_file.h"
#include "bytes.h"
#include "png_heightmap.h"

namespace {

// The bit depths PNG allows for each colour type.
bool valid_format(uint8_t colour_type, uint8_t bit_depth) {
    switch (colour_type) {
        case 0:
            return bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8 || bit_depth == 16;
        case 3:
            return bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8;
        case 2:
        case 4:
        case 6:
            return bit_depth == 8 || bit_depth == 16;
        default:
            return false;
    }
}

// The header as a decoder checks it: signature, an IHDR of 13 bytes first,
// sizes not 0, a valid format, methods 0 (interlace 0 or 1) and its CRC.
PngFacts read_png_facts(const uint8_t* bytes, uint64_t size) {
    PngFacts facts{};
    // A chunk too short to hold a value holds none; the import refuses such
    // an image, and the listing says so.
    const StoredSeaLevel stored = find_sea_level(bytes, size);
    if (stored.chunk == SeaLevelChunk::present) facts.sea_level = stored.value;
    if (size < 33 || !has_png_signature(bytes, size) || read_be32(bytes + 8) != 13 ||
        memcmp(bytes + 12, "IHDR", 4) != 0)
        return facts;
    facts.width = read_be32(bytes + 16);
    facts.height = read_be32(bytes + 20);
    facts.bit_depth = bytes[24];
    facts.colour_type = bytes[25];
    facts.interlace = bytes[28];
    facts.header_sound = facts.width != 0 && facts.height != 0 && valid_format(facts.colour_type, facts.bit_depth) &&
                         bytes[26] == 0 && bytes[27] == 0 && facts.interlace <= 1 &&
                         crc32_bytes(bytes + 12, 17) == read_be32(bytes + 29);
    // The chunks up to IEND, each whole inside the file.
    for (uint64_t pos = 8; pos + 12 <= size;) {
        const uint64_t length = read_be32(bytes + pos);
        if (pos + 12 + length > size) break;
        if (memcmp(bytes + pos + 4, "IDAT", 4) == 0) ++facts.idat_chunks;
        if (memcmp(bytes + pos + 4, "IEND", 4) == 0) break;
        pos += 12 + length;
    }
    return facts;
}

}  // namespace

bool open_input(const char* path, InputFile* out) {
    *out = InputFile{};
    // Private: another tool's heightmap may be turned into its grid where it lies.
    if (!open_private_file_view(path, &out->view)) return false;
    const uint8_t* bytes = out->view.data;
    const uint64_t size = out->view.size;
    out->size = size;
    // Signatures first; a name tells only where the bytes do not.
    const bool png_signature = has_png_signature(bytes, size);
    const GridReader* format = grid_format_of(path, bytes, size);
    const bool by_signature = format != nullptr && format->identify != nullptr && format->identify(bytes, size);
    if (has_battle_signature(bytes, size)) {
        out->kind = FileKind::battle;
    } else if (png_signature || (!by_signature && has_extension(path, ".png"))) {
        out->kind = FileKind::png;  // a damaged one gets the PNG reader's messages
    } else if (format != nullptr) {
        out->kind = FileKind::foreign;
    } else {
        out->kind = FileKind::other;
    }
    if (out->kind == FileKind::png) {
        // The facts are only shown; the loader checks again what it uses.
        out->png = read_png_facts(bytes, size);
        out->heightmap_png = png_signature && (size < 26 || (bytes[24] == 16 && bytes[25] == 0));
    }
    out->format = format;
    return true;
}

void close_input(InputFile* file) { close_file_view(&file->view); }
