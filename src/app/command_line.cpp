#include "command_line.h"

#include <cstring>

#include "commands.h"
#include "import.h"
#include "convert.h"
#include "drop.h"
#include "page.h"
#include "png_heightmap.h"
#include "view.h"

size_t next_token(char* dest, size_t capacity, const char* text, size_t* consumed) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    size_t count = 0;
    auto store = [&](char c) {
        if (count < capacity) dest[count] = c;
        ++count;
    };
    bool quoted = false;
    while (*p != 0) {
        char c = *p;
        if (!quoted) {
            if (c == ' ' || c == '\t') break;
            if (c == '"') {
                quoted = true;
            } else {
                store(c);
            }
            ++p;
        } else if (c == '"') {
            if (p[1] == '"') {
                store('"');
                p += 2;
            } else {
                quoted = false;
                ++p;
            }
        } else {
            store(c);
            ++p;
        }
    }
    if (count < capacity) {
        dest[count] = 0;
    } else if (capacity != 0) {
        dest[0] = 0;  // a token that does not fit is dropped whole, never cut short
    }
    if (consumed != nullptr) *consumed = static_cast<size_t>(p - text);
    return count + 1;
}

size_t utf16_units(const char* text) {
    size_t units = 0;
    while (*text != 0) {
        uint32_t code;
        size_t length = utf8_sequence(text, &code);
        if (length == 0) {
            ++units;
            ++text;
        } else {
            units += code >= 0x10000 ? 2 : 1;
            text += length;
        }
    }
    return units;
}

namespace {

// An argument longer than Windows lets a name be arrives empty.
void drop_if_too_long(char* arg) {
    if (utf16_units(arg) > argument_limit) arg[0] = 0;
}

}  // namespace

void split_command_line(const char* line, CommandArguments* out) {
    size_t used = 0;
    const char* p = line;
    next_token(nullptr, 0, p, &used);  // the program's own path
    p += used;
    // Every token present, empty ones ("") included, up to the ninth.
    out->count = 0;
    for (const char* rest = p; out->count < 9; ++out->count) {
        while (*rest == ' ' || *rest == '\t') ++rest;
        if (*rest == 0) break;
        next_token(nullptr, 0, rest, &used);
        rest += used;
    }
    next_token(out->first, argument_capacity, p, nullptr);
    drop_if_too_long(out->first);
    next_token(out->option, option_capacity, p, &used);
    p += used;
    for (int i = 0; i < 6; ++i) {
        // The import's seventh token is measured without a length limit.
        if (i == 4) out->surplus = next_token(nullptr, 0, p, nullptr) > 1;
        next_token(out->arg[i], argument_capacity, p, &used);
        drop_if_too_long(out->arg[i]);
        p += used;
    }
    out->beyond = next_token(nullptr, 0, p, nullptr) > 1;
}

namespace {

// An argv entry under the same rule as a split token: too long arrives empty.
void take_one(char* dest, size_t capacity, const char* arg) {
    dest[0] = 0;
    if (arg == nullptr) return;
    size_t length = strlen(arg);
    if (length < capacity) memcpy(dest, arg, length + 1);
    drop_if_too_long(dest);
}

}  // namespace

void take_arguments(int argc, const char* const* argv, CommandArguments* out) {
    out->count = argc < 1 ? 0 : argc - 1 < 9 ? argc - 1 : 9;
    take_one(out->first, argument_capacity, argc > 1 ? argv[1] : nullptr);
    take_one(out->option, option_capacity, argc > 1 ? argv[1] : nullptr);
    for (int i = 0; i < 6; ++i) take_one(out->arg[i], argument_capacity, argc > i + 2 ? argv[i + 2] : nullptr);
    out->surplus = argc > 6 && argv[6][0] != 0;
    out->beyond = argc > 8 && argv[8][0] != 0;
}

namespace {

// The argument-count checks of a command, a surplus argument first; prints
// the message of the first that fails.
bool argument_count_wrong(bool too_many, bool too_few) {
    if (too_many) {
        console_printf("Error: Too many args \r\n");
    } else if (too_few) {
        console_printf("Error: Too few args.\r\n");
    }
    return too_many || too_few;
}

}  // namespace

Status dispatch_command(const CommandArguments& args) {
    const char* option = args.option;
    bool recognised = (option[0] == '-' || option[0] == '/') && option[1] != 0 && option[2] == 0 &&
                      strchr("xXiIsSlLpPcC", option[1]) != nullptr;
    if (!recognised) {
        // An option mistyped gets the usage text alone, as it always has
        // (scripts match it). No option: files dropped on hmap, or opened
        // with it, when they are ones it knows what to do with.
        const char* first = args.first;
        const bool like_option = first[0] == '-' || (first[0] == '/' && first[1] != 0 && first[2] == 0);
        const char* files[3] = {first, args.arg[0], args.arg[1]};
        Status status;
        if (!like_option && args.count <= 3 && open_files(files, args.count, &status)) return status;
        console_printf(
            "HMAP v0.01\r\n"
            "  Import/eXport Kelvaroth heightmaps to/from 16-bit grayscale PNG image files.\r\n"
            "  hmap -x in.prj out1.png out2.png\r\n"
            "  hmap -i in.prj out.prj in1.png in2.png\r\n"
            "  hmap -s in_out.png [ sea_level ]\r\n"
            "  hmap -l file [ in1.png in2.png ]\r\n"
            "  hmap -p in out1.png [ out2.png ] | out.html [ in1.png in2.png ]\r\n"
            "  hmap -c in out [ n | low high | map.prj n [ low high | sea [ scale ] ] ]\r\n"
            "\r\n");
        if (like_option) return status_usage;
        // One line that fits a console 80 columns wide.
        console_printf("Or drop on hmap a battle file (export), it and its two PNGs (import), or a PNG.\r\n");
        return status_usage;
    }
    const char* a1 = args.arg[0];
    const char* a2 = args.arg[1];
    const char* a3 = args.arg[2];
    const char* a4 = args.arg[3];
    switch (option[1]) {
        case 'x':
        case 'X':
            if (argument_count_wrong(a4[0] != 0, a3[0] == 0)) return status_usage;
            return run_export(a1, a2, a3);
        case 'i':
        case 'I':
            if (argument_count_wrong(args.surplus, a4[0] == 0)) return status_usage;
            return import_heightmaps(a1, a2, a3, a4);
        case 'l':
        case 'L':
            if (argument_count_wrong(a4[0] != 0, a1[0] == 0)) return status_usage;
            return list_files(a1, a2, a3);
        case 'p':
        case 'P':
            // A page: IN OUT.html, or a battle file, the page and the two
            // images of an import.
            if (names_a_page(a2)) {
                if (argument_count_wrong(args.surplus, a3[0] != 0 && a4[0] == 0)) return status_usage;
                return write_page(a1, a2, a3, a4);
            }
            // Whether a third file is wanted depends on what the first holds.
            if (argument_count_wrong(a4[0] != 0, a2[0] == 0)) return status_usage;
            return draw_pictures(a1, a2, a3);
        case 'c':
        case 'C': {
            // Two to six arguments, none of them left empty before the last.
            int given = 0;
            bool gap = false;
            for (int i = 0; i < 6; ++i) {
                if (args.arg[i][0] != 0) given = i + 1;
            }
            for (int i = 0; i < given; ++i) gap = gap || args.arg[i][0] == 0;
            if (argument_count_wrong(args.beyond, given < 2 || gap)) return status_usage;
            const char* convert_args[6];
            for (int i = 0; i < 6; ++i) convert_args[i] = args.arg[i];
            return run_convert(convert_args, given);
        }
        default:
            if (a2[0] == 0) return show_sea_level(a1);
            return set_sea_level_from(a1, a2);
    }
}
