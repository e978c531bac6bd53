// A battle file rebuilt with a new HMAP chunk: the old file's bytes before
// its chunk, the chunk encoded from two heightmaps, the old bytes after it.
#include "battle_file.h"

namespace {

// Writes the new battle file from its three parts. It is kept only when
// every input read in place is still the version read; else the write is
// abandoned and the changed input named.
Status write_parts(const Rebuild& rebuild, const uint8_t* head, uint64_t head_size, const uint8_t* chunk,
                   uint64_t span, const uint8_t* tail, uint64_t tail_size) {
    // The input that changed, if one did (its check sets the error code).
    auto changed_input = [&]() -> const char* {
        if (!battle_unchanged(*rebuild.battle)) return rebuild.battle_in;
        return rebuild.changed != nullptr ? rebuild.changed(rebuild.changed_context) : nullptr;
    };
    const char* battle_out = rebuild.battle_out;
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
Status write_battle(const Rebuild& rebuild, const uint8_t* chunk, uint64_t span) {
    BattleFile* battle = rebuild.battle;
    const uint64_t head = battle->chunk_pos;
    const uint64_t tail_at = battle->chunk_pos + battle->chunk_span;
    const uint64_t tail_size = battle->size - tail_at;
    const uint8_t* tail = battle->data + tail_at;
    // Written over itself, the battle file is let go of first, its tail
    // copied: a write in place would change the bytes still to be read, and
    // Windows replaces no file that is mapped.
    uint8_t* own_tail = nullptr;
    if (same_file(rebuild.battle_out, rebuild.battle_in)) {
        own_tail = allocate_buffer(tail_size);
        if (own_tail == nullptr) return report_out_of_memory(rebuild.battle_out);
        if (!copy_from_view(battle->view, tail_at, tail_size, own_tail)) {
            release_buffer(own_tail);
            return report_file_failure(rebuild.battle_in);
        }
        close_file_view(&battle->view);
        tail = own_tail;
    }
    Status status = write_parts(rebuild, battle_head(*battle), head, chunk, span, tail, tail_size);
    release_buffer(own_tail);
    return status;
}

}  // namespace

void report_truncated_block(void*, uint32_t x0, uint32_t y0) {
    console_printf("Warning: Truncating elevation change for block starting at %d,%d\r\n", static_cast<int>(x0),
                   static_cast<int>(y0));
}

Status rebuild_battle_file(const Rebuild& rebuild) {
    // The new chunk is built in a buffer of its own, with room for 2 x NB
    // patterns (64-bit sizes cannot wrap, NB is below 2^26).
    const uint64_t nb = heightmap_block_count(rebuild.pair.width, rebuild.pair.height);
    uint8_t* index = allocate_buffer(pattern_index_size(nb));
    uint8_t* chunk = index != nullptr ? allocate_buffer(chunk_capacity(nb)) : nullptr;
    Status status = status_ok;
    if (chunk == nullptr) {
        status = report_out_of_memory(rebuild.battle_out);
    } else {
        const uint64_t span = encode_heightmaps(rebuild.pair, chunk, reinterpret_cast<uint32_t*>(index), max_patterns,
                                                rebuild.report, rebuild.report_context);
        if (span == 0) {
            console_printf("Error: %s and %s hold 67108864 or more distinct 8x8 patterns; a battle file "
                           "stores at most 67108863.\r\n",
                           rebuild.name1, rebuild.name2);
            status = status_refused;
        } else {
            status = write_battle(rebuild, chunk, span);
        }
    }
    release_buffer(chunk);
    release_buffer(index);
    return status;
}
