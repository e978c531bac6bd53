// The sea-level commands: -s shows the value a PNG's hmAP chunk holds, or
// stores one, typed or taken from a battle file or another PNG.
#include <charconv>
#include <cstring>

#include "battle_file.h"
#include "commands.h"
#include "png_heightmap.h"

namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The length of `text` without the carriage returns and line feeds it ends in.
size_t trimmed_length(const char* text) {
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    return length;
}

}  // namespace

bool parse_sea_level(const char* text, uint16_t* value) {
    size_t length = trimmed_length(text);
    uint32_t base = 10;
    if (length >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        length -= 2;
    } else if (length > 1 && text[0] == '0') {
        return false;  // 0300 is what -s shows for 0x0300, not three hundred
    }
    if (length == 0) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        int digit = digit_value(text[i]);
        if (digit < 0 || static_cast<uint32_t>(digit) >= base) return false;
        v = v * base + static_cast<uint32_t>(digit);
        if (v > 65535) return false;
    }
    *value = static_cast<uint16_t>(v);
    return true;
}

namespace {

// A text that was meant as a number, however mistyped: made of digits, hex
// letters and what numbers are written with elsewhere (signs, blanks, points,
// exponents). Any other character makes it a file name.
bool typed_as_number(const char* text) {
    for (; *text != 0; ++text) {
        if (digit_value(*text) < 0 && strchr("xX+-.,eE \t\r\n", *text) == nullptr) return false;
    }
    return true;
}

// One line naming the text and saying how to write a sea level; four hex
// digits, as -s shows a value, get their own value in both forms.
Status report_not_a_sea_level(const char* text) {
    char shown[3 * 259 + 1] = {};  // an argument: at most 259 characters of up to 3 bytes
    size_t length = trimmed_length(text);
    if (length >= sizeof shown) length = sizeof shown - 1;
    memcpy(shown, text, length);
    const char* decimal_hint = "0 to 65535";
    const char* hex_hint = "0x0 to 0xFFFF";
    char decimal[8] = {};
    char hex[8] = {};
    bool four_hex_digits = length == 4;
    uint32_t v = 0;
    for (size_t i = 0; four_hex_digits && i < length; ++i) {
        int digit = digit_value(shown[i]);
        four_hex_digits = digit >= 0;
        if (four_hex_digits) v = v * 16 + static_cast<uint32_t>(digit);
    }
    if (four_hex_digits) {
        std::to_chars(decimal, decimal + sizeof decimal - 1, v);
        memcpy(hex, "0x", 2);
        memcpy(hex + 2, shown, 4);
        decimal_hint = decimal;
        hex_hint = hex;
    }
    console_printf("Error: %s is not a sea level; write it in decimal (%s) or in hex with 0x (%s).\r\n", shown,
                   decimal_hint, hex_hint);
    return status_refused;
}

// The sea level the file `source` holds: a PNG's hmAP value, or the one a
// battle file's export stores. Prints its own messages on failure.
Status sea_level_of_file(const char* source, uint16_t* value) {
    FileBytes bytes;
    if (!read_file_whole(source, &bytes)) {
        if (typed_as_number(source)) return report_not_a_sea_level(source);
        return report_file_failure(source);
    }
    if (has_png_signature(bytes.data, bytes.size)) {
        const StoredSeaLevel stored = find_sea_level(bytes.data, bytes.size);
        release_buffer(bytes.data);
        switch (stored.chunk) {
            case SeaLevelChunk::present:
                *value = stored.value;
                return status_ok;
            case SeaLevelChunk::absent:
                console_printf("Error: %s has no sea-level chunk; nothing was stored.\r\n", source);
                return status_refused;
            case SeaLevelChunk::too_short:
                break;
        }
        return report_bad_png(source);
    }
    // Anything but a PNG is read as a battle file, with the export's checks.
    BattleFile battle;
    if (Status status = take_battle_file(source, &bytes, &battle)) return status;
    *value = battle.sea_level;
    release_battle_file(&battle);
    return status_ok;
}

}  // namespace

Status show_sea_level(const char* path) {
    FileBytes file;
    if (!read_file_whole(path, &file)) return report_file_failure(path);
    const bool png = has_png_signature(file.data, file.size);
    const StoredSeaLevel stored = find_sea_level(file.data, file.size);
    release_buffer(file.data);
    if (!png || stored.chunk == SeaLevelChunk::too_short) return report_bad_png(path);
    // The value is the command's result: when it cannot be written (a full
    // disk, a closed pipe) the run fails with the write's code, and no
    // message could say so either.
    if (!console_printf("%04X\r\n", static_cast<unsigned>(stored.value))) {
        Status status = last_error_code();
        return status != status_ok ? status : status_refused;
    }
    return status_ok;
}

Status set_sea_level(const char* path, uint16_t value) {
    // Read whole, with room for the chunk an edit may insert: the buffer is
    // the file written.
    FileBytes file;
    if (!read_file_whole(path, &file, sea_level_chunk_size)) return report_file_failure(path);
    uint8_t* work = file.data;
    uint64_t size = file.size;

    Status status = status_ok;
    switch (edit_sea_level(work, &size, value)) {
        case SeaLevelEdit::updated:
        case SeaLevelEdit::inserted:
            if (!write_file_whole(path, work, size)) status = report_file_failure(path);
            break;
        case SeaLevelEdit::data_after_iend:
            console_printf("%s > Error: Data after IEND chunk?\r\n", path);
            status = status_refused;
            break;
        case SeaLevelEdit::not_png:
        case SeaLevelEdit::no_iend:
        case SeaLevelEdit::bad_chunk:
            status = report_bad_png(path);
            break;
    }
    release_buffer(work);
    return status;
}

Status set_sea_level_from(const char* path, const char* argument) {
    uint16_t value;
    if (parse_sea_level(argument, &value)) return set_sea_level(path, value);
    // Not a number: the value of the file it names, read before the PNG is
    // touched.
    if (Status status = sea_level_of_file(argument, &value)) return status;
    return set_sea_level(path, value);
}
