// Loads a battle file: steps over the four leading chunks by their size
// words, validates the HMAP chunk and the ATTR tag behind it, and derives the
// sea level from the smallest base height.
#include <cstring>

#include "battle_file.h"

namespace {

constexpr char signature[] = "Kelvaroth Battle file 1.10      ";
static_assert(sizeof signature - 1 == 32);

constexpr const char* unexpected_end = "Unexpected end of file.";

}  // namespace

bool has_battle_signature(const uint8_t* bytes, uint64_t size) {
    return size >= 32 && memcmp(bytes, signature, 32) == 0;
}

const char* check_battle_bytes(BattleFile* file) {
    const uint8_t* data = file->data;
    // Positions are 64-bit: each is a sum of a few 32-bit words (4 x N3 at
    // most 2^34), so no size word can wrap a position back into the file.
    const uint64_t size = file->size;
    // A word at p is inside the file only with at least one byte after it.
    auto fits = [size](uint64_t p) { return p + 4 < size; };
    auto word = [data](uint64_t p) { return uint64_t{read_le32(data + p)}; };

    if (size <= 32) return unexpected_end;
    if (!has_battle_signature(data, size)) return "Invalid file signature.";

    // Chunks 1 to 4; their tags are never looked at.
    if (!fits(36)) return unexpected_end;
    const uint64_t p1 = 36 + word(36) + 8;
    if (!fits(p1)) return unexpected_end;
    const uint64_t p2 = p1 + word(p1) + 8;
    if (p2 + 8 >= size) return unexpected_end;  // S3 and the count word N3
    const uint64_t p3 = p2 + word(p2) + 4 * word(p2 + 4) + 8;
    if (!fits(p3)) return unexpected_end;
    const uint64_t t = p3 + word(p3) + 12;
    if (t + 24 >= size) return unexpected_end;

    if (memcmp(data + t, "HMAP", 4) != 0) return "Bad HMAP - signature not found.";
    const uint64_t width = word(t + 8);
    const uint64_t height = word(t + 12);
    if (width == 0 || height == 0 || width > 0xFFFF || height > 0xFFFF) return "Bad HMAP - dimensions.";
    const uint64_t np = word(t + 16);
    const uint64_t nb = word(t + 20);
    if ((width + 7) / 8 * ((height + 7) / 8) != nb) return "Bad HMAP - number of layer1 blocks.";
    if (np == 0) return "Bad HMAP - missing layer2 blocks.";

    const uint64_t layer1_pos = t + 24;
    if (!fits(layer1_pos)) return unexpected_end;
    const uint64_t l1 = word(layer1_pos);
    if (l1 != nb * 16) return "Bad HMAP - layer1 size.";
    const uint64_t layer2_pos = t + 28 + l1;
    if (!fits(layer2_pos)) return unexpected_end;
    if (word(layer2_pos) != np * 64) return "Bad HMAP - layer2 size.";
    const uint64_t attr = layer2_pos + 4 + np * 64;
    if (!fits(attr)) return unexpected_end;
    if (memcmp(data + attr, "ATTR", 4) != 0) return "ATTR chunk not found.";

    // Every entry of both heightmaps: its pattern must start on a block of
    // the pool, and the smallest base height gives the sea level.
    int64_t lowest = 0;
    const uint8_t* entry = data + layer1_pos + 4;
    for (uint64_t i = 0; i < 2 * nb; ++i, entry += 8) {
        const int32_t base = static_cast<int32_t>(read_le32(entry));
        const uint32_t offset = read_le32(entry + 4);
        if (offset % 64 != 0 || offset / 64 >= np) return "Bad HMAP - bad layer2 offset.";
        if (base < lowest) lowest = base;
    }

    file->chunk_pos = t;
    file->layer1_pos = layer1_pos;
    file->layer2_pos = layer2_pos;
    file->chunk_span = attr - t;
    file->width = static_cast<uint32_t>(width);
    file->height = static_cast<uint32_t>(height);
    file->pattern_count = static_cast<uint32_t>(np);
    file->block_count = static_cast<uint32_t>(nb);
    file->sea_level = static_cast<uint16_t>(static_cast<uint64_t>(-lowest));
    return nullptr;
}

Status load_battle_file(const char* path, BattleFile* out, uint64_t room, const char* room_for) {
    *out = BattleFile{};
    FileBytes bytes;
    if (!read_file_whole(path, &bytes, room)) {
        // A file that can be read, only not with the room asked for, is no
        // fault of the file's: memory ran out for what the room is for.
        const uint32_t code = last_error_code();
        if (room != 0 && room_for != nullptr && own_error_text(code) == nullptr && read_file_whole(path, &bytes)) {
            release_buffer(bytes.data);
            set_last_error_code(code);
            return report_out_of_memory(room_for);
        }
        return report_file_failure(path);
    }
    return take_battle_file(path, &bytes, out);
}

Status take_battle_file(const char* path, FileBytes* bytes, BattleFile* out) {
    *out = BattleFile{};
    out->data = bytes->data;
    out->size = bytes->size;
    *bytes = FileBytes{};
    if (const char* fault = check_battle_bytes(out)) {
        console_printf("%s > %s\r\n", path, fault);
        release_battle_file(out);
        return status_refused;
    }
    return status_ok;
}

void release_battle_file(BattleFile* file) {
    release_buffer(file->data);
    *file = BattleFile{};
}
