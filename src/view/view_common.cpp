// Telling battle files from PNGs, a PNG's header facts, heights row by row,
// and number text for the list and picture commands.
#include "view_common.h"

#include <cstring>

namespace {

bool ends_in_png(const char* path) {
    const size_t length = strlen(path);
    if (length < 4) return false;
    const char* tail = path + length - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'p' && (tail[2] | 0x20) == 'n' && (tail[3] | 0x20) == 'g';
}

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

Status peek_file(const char* path, FilePeek* out) {
    *out = FilePeek{};
    FileView& view = out->view;
    if (!open_file_view(path, &view)) return report_file_failure(path);
    const bool png = has_png_signature(view.data, view.size) || ends_in_png(path);
    out->kind = png ? FileKind::png : FileKind::battle;
    out->size = view.size;
    // The facts are only shown; the loader checks again what it uses.
    if (png) out->png = read_png_facts(view.data, view.size);
    return status_ok;
}

void release_peek(FilePeek* peek) { close_file_view(&peek->view); }

HeightSource battle_source(const BattleFile& file, int layer) {
    return HeightSource{&file, layer, nullptr, battle_width(file), battle_height(file)};
}

HeightSource image_source(const Grey16Image& image) {
    return HeightSource{nullptr, 0, &image, image.width, image.height};
}

void source_row(const HeightSource& source, uint32_t y, int64_t* out) {
    if (source.battle != nullptr) {
        battle_height_row(*source.battle, source.layer, y, out);
        return;
    }
    const uint8_t* row = grey16_row(*source.image, y);
    const int64_t sea_level = source.image->sea_level;
    for (uint32_t x = 0; x < source.width; ++x) out[x] = ((int64_t{row[2 * x]} << 8) | row[2 * x + 1]) - sea_level;
}

Status load_height_file(const char* path, FilePeek* peek, HeightFile* out) {
    *out = HeightFile{};
    out->kind = peek->kind;
    if (peek->kind == FileKind::battle) return take_battle_view(path, &peek->view, &out->battle);
    return take_grey16_view(path, &peek->view, &out->image);
}

bool height_file_unchanged(const HeightFile& file) {
    return battle_unchanged(file.battle) && grey16_unchanged(file.image);
}

void release_height_file(HeightFile* file) {
    release_battle_file(&file->battle);
    release_grey16_image(&file->image);
}

Number signed_number(int64_t value) {
    Number number;
    char digits[24];
    size_t count = 0;
    // Negated digit by digit, so that the most negative value needs no special case.
    int64_t rest = value;
    do {
        const int64_t digit = rest % 10;
        digits[count++] = static_cast<char>('0' + (digit < 0 ? -digit : digit));
        rest /= 10;
    } while (rest != 0);
    size_t length = 0;
    if (value < 0) number.text[length++] = '-';
    while (count > 0) number.text[length++] = digits[--count];
    number.text[length] = 0;
    return number;
}

Number difference_number(int64_t value) {
    if (value <= 0) return signed_number(value);
    Number number;
    number.text[0] = '+';
    memcpy(number.text + 1, signed_number(value).text, sizeof number.text - 1);
    return number;
}

Number mean_number(double mean) {
    // Tenths, rounded half away from zero.
    const bool negative = mean < 0;
    const auto tenths = static_cast<uint64_t>((negative ? -mean : mean) * 10 + 0.5);
    const Number whole = signed_number(static_cast<int64_t>(tenths / 10));
    Number number;
    size_t length = 0;
    if (tenths != 0) number.text[length++] = negative ? '-' : '+';
    for (const char* p = whole.text; *p != 0; ++p) number.text[length++] = *p;
    number.text[length++] = '.';
    number.text[length++] = static_cast<char>('0' + tenths % 10);
    number.text[length] = 0;
    return number;
}

Number hex_number(uint16_t value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    Number number;
    for (int i = 0; i < 4; ++i) number.text[i] = digits[(value >> (12 - 4 * i)) & 0xF];
    number.text[4] = 0;
    return number;
}

Line& Line::operator<<(const char* piece) {
    const size_t room = sizeof text - 1 - length;
    size_t n = strlen(piece);
    if (n > room) n = room;
    memcpy(text + length, piece, n);
    length += n;
    return *this;
}

namespace {
const LineSink* line_sink = nullptr;
}  // namespace

void capture_lines(const LineSink* sink) { line_sink = sink; }

void Line::print() {
    text[length] = 0;
    if (line_sink != nullptr) {
        line_sink->take(line_sink->context, text, length);
        return;
    }
    console_printf("%s\r\n", text);
}
