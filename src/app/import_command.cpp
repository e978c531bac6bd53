// The import command: two heightmap PNGs are compressed into the battle
// file's block form and spliced into a copy of it in place of its old HMAP
// chunk, every other byte as it was.
#include "battle_file.h"
#include "commands.h"
#include "png_heightmap.h"

namespace {

void print_truncation(void*, uint32_t x0, uint32_t y0) {
    console_printf("Warning: Truncating elevation change for block starting at %d,%d\r\n", static_cast<int>(x0),
                   static_cast<int>(y0));
}

// Writes the new battle file from its three parts. It is kept only when
// every input read in place is still the version read; else the write is
// abandoned and the changed input named.
Status write_parts(const uint8_t* head, uint64_t head_size, const uint8_t* chunk, uint64_t span, const uint8_t* tail,
                   uint64_t tail_size, const char* battle_in, const BattleFile& battle, const char* battle_out,
                   const char* png1, const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    // The input that changed, if one did (its check sets the error code).
    auto changed_input = [&]() -> const char* {
        return !battle_unchanged(battle) ? battle_in
               : !grey16_unchanged(image1) ? png1
               : !grey16_unchanged(image2) ? png2
                                           : nullptr;
    };
    FileWrite* out = begin_file_write(battle_out, head_size + span + tail_size);
    if (out == nullptr) return report_file_failure(battle_out);
    if (!write_file_part(out, head, head_size) || !write_file_part(out, chunk, span) ||
        !write_file_part(out, tail, tail_size)) {
        // A tail cut short under its view fails the write itself (EFAULT).
        abandon_file_write(out);
        const char* changed = changed_input();
        return report_file_failure(changed != nullptr ? changed : battle_out);
    }
    if (const char* changed = changed_input()) {
        abandon_file_write(out);
        return report_file_failure(changed);
    }
    if (!finish_file_write(out)) return report_file_failure(battle_out);
    return status_ok;
}


// Writes the new battle file: the old one's head (from its private copy),
// the new chunk, the old tail (read in place).
Status write_battle(const char* battle_in, BattleFile* battle, const uint8_t* chunk, uint64_t span,
                    const char* battle_out, const char* png1, const Grey16Image& image1, const char* png2,
                    const Grey16Image& image2) {
    const uint64_t head = battle->chunk_pos;
    const uint64_t tail_at = battle->chunk_pos + battle->chunk_span;
    const uint64_t tail_size = battle->size - tail_at;
    const uint8_t* tail = battle->data + tail_at;
    // Written over itself, the battle file is let go of first, its tail
    // copied: a write in place would change the bytes still to be read, and
    // Windows replaces no file that is mapped.
    uint8_t* own_tail = nullptr;
    if (same_file(battle_out, battle_in)) {
        own_tail = allocate_buffer(tail_size);
        if (own_tail == nullptr) return report_out_of_memory(battle_out);
        if (!copy_from_view(battle->view, tail_at, tail_size, own_tail)) {
            release_buffer(own_tail);
            return report_file_failure(battle_in);
        }
        close_file_view(&battle->view);
        tail = own_tail;
    }
    Status status = write_parts(battle_head(*battle), head, chunk, span, tail, tail_size, battle_in, *battle,
                                battle_out, png1, image1, png2, image2);
    release_buffer(own_tail);
    return status;
}

}  // namespace

Status import_heightmaps(const char* battle_in, const char* battle_out, const char* png1, const char* png2) {
    // The new battle file may replace the old one (everything is read before
    // it is written), but never one of the images.
    if (report_output_is_input(battle_out, png1) || report_output_is_input(battle_out, png2)) return status_refused;
    // Both images are loaded, so both report their faults.
    Grey16Image image1, image2;
    Status status1 = load_grey16_png(png1, &image1);
    Status status2 = load_grey16_png(png2, &image2);
    Status status = status1 != status_ok ? status1 : status2;
    if (status == status_ok && report_pair_refused(png1, image1, png2, image2)) status = status_refused;
    BattleFile battle{};
    if (status == status_ok) status = load_battle_file(battle_in, &battle);
    if (status == status_ok) status = import_images(battle_in, &battle, battle_out, png1, image1, png2, image2);
    release_battle_file(&battle);
    release_grey16_image(&image1);
    release_grey16_image(&image2);
    return status;
}

bool report_pair_refused(const char* png1, const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    if (image1.width != image2.width || image1.height != image2.height) {
        console_printf("Error: %s (%dx%d) must be the same dimensions as %s (%dx%d).\r\n", png1,
                       static_cast<int>(image1.width), static_cast<int>(image1.height), png2,
                       static_cast<int>(image2.width), static_cast<int>(image2.height));
        return true;
    }
    if (image1.sea_level != image2.sea_level) {
        // A warning by its wording, but the import stops here.
        console_printf("Warning: %s sea-level (%04X) differs from %s sea-level (%04X).\r\n", png1,
                       static_cast<unsigned>(image1.sea_level), png2, static_cast<unsigned>(image2.sea_level));
        return true;
    }
    return false;
}

Status import_images(const char* battle_in, BattleFile* battle, const char* battle_out, const char* png1,
                     const Grey16Image& image1, const char* png2, const Grey16Image& image2) {
    Status status = status_ok;
    uint8_t* index = nullptr;
    uint8_t* chunk = nullptr;
    // The new battle file is the old one's bytes before its HMAP chunk, the
    // new chunk (built in a buffer of its own, room for 2 x NB patterns:
    // 64-bit sizes cannot wrap, NB is below 2^26), and the old bytes after it.
    const uint64_t nb = heightmap_block_count(image1.width, image1.height);
    const uint32_t width = image1.width, height = image1.height;
    if (battle_width(*battle) != width || battle_height(*battle) != height) {
        console_printf("Warning: %s heightmap dimensions (%dx%d) differ from new (%dx%d).\r\n", battle_in,
                       static_cast<int>(battle_width(*battle)), static_cast<int>(battle_height(*battle)),
                       static_cast<int>(width), static_cast<int>(height));
    }
    // Image editors drop the private chunk; with both images stripped of
    // it every height would move by the battle file's own sea level. The
    // line says how to take that value back from the battle file.
    if (!image1.has_sea_level && !image2.has_sea_level && battle->sea_level != 0) {
        console_printf("Warning: %s and %s have no sea-level chunk; 0000 used, %s has %04X. If they came from "
                       "it, restore it with hmap -s %s %s and hmap -s %s %s.\r\n",
                       png1, png2, battle_in, static_cast<unsigned>(battle->sea_level), png1, battle_in, png2,
                       battle_in);
    }
    index = allocate_buffer(pattern_index_size(nb));
    chunk = index != nullptr ? allocate_buffer(chunk_capacity(nb)) : nullptr;
    if (chunk == nullptr) {
        status = report_out_of_memory(battle_out);
    } else {
        const HeightmapPair pair{image1.samples, image2.samples, width, height, image1.sea_level,
                                 image1.rows, image2.rows};
        uint64_t span = encode_heightmaps(pair, chunk, reinterpret_cast<uint32_t*>(index), max_patterns,
                                          print_truncation, nullptr);
        if (span == 0) {
            console_printf("Error: %s and %s hold 67108864 or more distinct 8x8 patterns; a battle file "
                           "stores at most 67108863.\r\n",
                           png1, png2);
            status = status_refused;
        } else {
            status = write_battle(battle_in, battle, chunk, span, battle_out, png1, image1, png2, image2);
        }
    }
    if (chunk != nullptr) release_buffer(chunk);
    if (index != nullptr) release_buffer(index);
    return status;
}
