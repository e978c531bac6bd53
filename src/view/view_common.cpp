// Heights row by row and number text for the list and picture commands.
#include "view_common.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "bytes.h"

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
    for (uint32_t x = 0; x < source.width; ++x) out[x] = int64_t{read_be16(row + 2 * x)} - sea_level;
}

Status load_height_file(const char* path, InputFile* file, HeightFile* out) {
    *out = HeightFile{};
    out->is_png = file->kind == FileKind::png;
    if (!out->is_png) return take_battle_view(path, &file->view, &out->battle);
    return take_grey16_view(path, &file->view, &out->image);
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

// A value as text: whole numbers whole, others to about 7 significant
// digits; very large and very small ones with a power of ten ("-3.4e+38"),
// its exponent written here, since C libraries write it differently.
Number value_number(double value) {
    const double size = std::fabs(value);
    if (value == std::floor(value) && size < 1e15) return signed_number(static_cast<int64_t>(value));
    Number number;
    if (size >= 1e15 || size < 1e-5) {
        int exponent = static_cast<int>(std::floor(std::log10(size)));
        double mantissa = value / std::pow(10.0, exponent);
        if (std::fabs(mantissa) >= 9.9999995) {  // rounds up to 10
            mantissa /= 10;
            ++exponent;
        }
        snprintf(number.text, sizeof number.text, "%.6f", mantissa);
        size_t length = strlen(number.text);
        while (number.text[length - 1] == '0') number.text[--length] = 0;
        if (number.text[length - 1] == '.') number.text[--length] = 0;
        const int shown = exponent < 0 ? -exponent : exponent;
        snprintf(number.text + length, sizeof number.text - length, "e%c%02d", exponent < 0 ? '-' : '+', shown);
        return number;
    }
    int decimals = 6 - static_cast<int>(std::floor(std::log10(size)));
    decimals = decimals < 1 ? 1 : decimals > 12 ? 12 : decimals;
    snprintf(number.text, sizeof number.text, "%.*f", decimals, value);
    size_t length = strlen(number.text);
    while (length > 0 && number.text[length - 1] == '0') number.text[--length] = 0;
    if (length > 0 && number.text[length - 1] == '.') number.text[--length] = 0;
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
