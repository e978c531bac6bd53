// Platform procedures shared by both systems, built on each one's own.
#include "platform.h"

bool write_file_whole(const char* path, const uint8_t* bytes, uint64_t count) {
    FileWrite* file = begin_file_write(path, count);
    if (file == nullptr) return false;
    if (!write_file_part(file, bytes, count)) {
        abandon_file_write(file);
        return false;
    }
    return finish_file_write(file);
}

Status report_out_of_memory(const char* path) {
    Status status = last_error_code();
    console_printf("Error: Out of memory while processing %s.\r\n", path);
    return status != status_ok ? status : status_refused;
}

bool report_output_is_input(const char* output, const char* input) {
    if (!same_file(output, input)) return false;
    console_printf("Error: %s is also an input of this command; nothing was written.\r\n", output);
    return true;
}

size_t utf8_sequence(const char* text, uint32_t* code_point) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t length;
    uint32_t code;
    uint32_t least;  // the smallest code of this length: below it the form is overlong
    if (p[0] < 0x80) {
        *code_point = p[0];
        return 1;
    } else if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        length = 2, code = p[0] & 0x1Fu, least = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        length = 3, code = p[0] & 0x0Fu, least = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        length = 4, code = p[0] & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;  // the terminator stops here too
        code = code << 6 | (p[i] & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF) return 0;
    *code_point = code;
    return length;
}
