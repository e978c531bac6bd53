// Platform procedures shared by both systems, built on each one's own.
#include "platform.h"

#include <cstring>

const char* own_error_text(uint32_t code) {
    switch (code) {
        case error_file_changed:
            return "The file changed while it was being read; nothing was written.";
        case error_file_busy:
            return "Another program is writing this file.";
        default:
            return nullptr;
    }
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

bool same_output(const char* a, const char* b) {
    if (same_file(a, b)) return true;
    const uint32_t saved = last_error_code();
    // Neither exists, or not both: then the names the writes would reach,
    // links followed (a link that leads nowhere yet leads to the file its
    // write makes), must be one name in one folder.
    char end_a[4096], end_b[4096];
    auto reached = [](const char* path, char* out) {
        if (link_end(path, out, 4096)) return;
        const size_t length = strlen(path);
        if (length < 4096) {
            memcpy(out, path, length + 1);
        } else {
            out[0] = 0;
        }
    };
    reached(a, end_a);
    reached(b, end_b);
    const size_t at_a = name_start(end_a), at_b = name_start(end_b);
    bool same = end_a[at_a] != 0 && same_name(end_a + at_a, end_b + at_b);
    if (same) same = same_folder(end_a, end_b);
    set_last_error_code(saved);
    return same;
}

bool same_folder(const char* a, const char* b) {
    char folder_a[4096], folder_b[4096];
    auto folder = [](const char* path, char* out) {
        const size_t length = name_start(path);
        if (length == 0) {
            memcpy(out, ".", 2);
        } else {
            memcpy(out, path, length);
            out[length] = 0;
        }
    };
    folder(a, folder_a);
    folder(b, folder_b);
    return same_file(folder_a, folder_b);
}

bool report_both_outputs(const char* a, const char* b) {
    if (!same_output(a, b)) return false;
    console_printf("Error: %s is named as both outputs; nothing was written.\r\n", a);
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
