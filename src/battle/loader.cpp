// Loads a battle file: steps over the four leading chunks by their size
// words, validates the HMAP chunk and the ATTR tag behind it, and derives the
// sea level from the smallest base height. The file is read in place; the
// words that give positions and counts come from a private copy of the file's
// head, up to the L1 word.
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
    const uint8_t* data = file->head != nullptr ? file->head : file->data;
    // Positions are 64-bit: each is a sum of a few 32-bit words (4 x N3 at
    // most 2^34), so no size word can wrap a position back into the file.
    const uint64_t size = file->size;
    // A word at p is inside the file only with at least one byte after it,
    // and read only from the copy of the head (which a file that changed
    // meanwhile may leave it outside of).
    const uint64_t held = file->head != nullptr ? file->head_size : size;
    auto fits = [size, held](uint64_t p) { return p + 4 < size && p + 4 <= held; };
    auto word = [data](uint64_t p) { return uint64_t{read_le32(data + p)}; };

    if (size <= 32) return unexpected_end;
    if (!has_battle_signature(data, size)) return "Invalid file signature.";

    // Chunks 1 to 4; their tags are never looked at.
    if (!fits(36)) return unexpected_end;
    const uint64_t p1 = 36 + word(36) + 8;
    if (!fits(p1)) return unexpected_end;
    const uint64_t p2 = p1 + word(p1) + 8;
    if (!fits(p2 + 4)) return unexpected_end;  // S3 and the count word N3
    const uint64_t p3 = p2 + word(p2) + 4 * word(p2 + 4) + 8;
    if (!fits(p3)) return unexpected_end;
    const uint64_t t = p3 + word(p3) + 12;
    if (!fits(t + 20)) return unexpected_end;

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
    // From here on the bytes are read where they lie: the table, the L2
    // word and the ATTR tag are looked at, and the positions and counts that
    // later steps use all come from the words above. Whoever uses an entry's
    // offset holds it within the pool (entry_pattern).
    const uint64_t layer2_pos = t + 28 + l1;
    if (layer2_pos + 4 >= size) return unexpected_end;
    if (read_le32(file->data + layer2_pos) != np * 64) return "Bad HMAP - layer2 size.";
    const uint64_t attr = layer2_pos + 4 + np * 64;
    if (attr + 4 >= size) return unexpected_end;
    if (memcmp(file->data + attr, "ATTR", 4) != 0) return "ATTR chunk not found.";

    // Every entry of both heightmaps: its pattern must start on a block of
    // the pool, and the smallest base height gives the sea level.
    int64_t lowest = 0;
    const uint8_t* entry = file->data + layer1_pos + 4;
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

Status load_battle_file(const char* path, BattleFile* out) {
    *out = BattleFile{};
    FileView view;
    if (!open_file_view(path, &view)) return report_file_failure(path);
    return take_battle_view(path, &view, out);
}

namespace {

// The loader's verdict: its message, or the failure of a file that changed
// under it.
Status refuse(const char* path, const char* fault, BattleFile* file) {
    const bool unchanged = battle_unchanged(*file);
    release_battle_file(file);
    if (!unchanged) return report_file_failure(path);
    console_printf("%s > %s\r\n", path, fault);
    return status_refused;
}

}  // namespace

Status take_battle_view(const char* path, FileView* view, BattleFile* out) {
    *out = BattleFile{};
    out->view = *view;
    out->data = view->data;
    out->size = view->size;
    *view = FileView{};
    // Where the layer-1 table starts, from the bytes in place: the checks run
    // once over them to find it, then again over the private copy of what
    // lies before it, whose words are the ones that count.
    if (const char* fault = check_battle_bytes(out)) return refuse(path, fault, out);
    const uint64_t head_size = out->layer1_pos + 4;
    uint8_t* head = allocate_buffer(head_size);
    if (head == nullptr) {
        release_battle_file(out);
        return report_out_of_memory(path);
    }
    out->owned = head;
    out->head = head;
    out->head_size = head_size;
    if (!copy_from_view(out->view, 0, head_size, head)) {
        release_battle_file(out);
        return report_file_failure(path);
    }
    if (const char* fault = check_battle_bytes(out)) return refuse(path, fault, out);
    return status_ok;
}

Status take_battle_file(const char* path, FileBytes* bytes, BattleFile* out) {
    *out = BattleFile{};
    out->data = bytes->data;
    out->size = bytes->size;
    out->owned = bytes->data;
    *bytes = FileBytes{};
    if (const char* fault = check_battle_bytes(out)) return refuse(path, fault, out);
    return status_ok;
}

bool battle_unchanged(const BattleFile& file) { return view_unchanged(file.view); }

void release_battle_file(BattleFile* file) {
    release_buffer(file->owned);
    close_file_view(&file->view);
    *file = BattleFile{};
}
