// The sequence of writing a file, the same on every system: which way the
// file is written, the order of the steps, and what is undone when one
// fails. The steps themselves are the system's (file_write.h).
#include "file_write.h"

#include <cstdlib>
#include <cstring>

namespace {

// A temporary file that could not be removed, named by the next file-failure
// report so that the user can delete it.
char left_behind[4096];

FileWrite* give_up(FileWrite* w) {
    if (w->system != nullptr) free_system_write(w->system);
    free(w);
    return nullptr;
}

}  // namespace

FileWrite* begin_file_write(const char* path, uint64_t size) {
    auto* w = static_cast<FileWrite*>(calloc(1, sizeof(FileWrite)));
    if (w == nullptr) {
        set_last_error_code(error_code_out_of_memory);
        return nullptr;
    }
    w->size = size;
    TargetKind kind;
    w->system = look_at_target(path, &kind);
    if (w->system == nullptr) return give_up(w);
    if (kind == TargetKind::device) {
        w->way = WriteWay::direct;
        return open_direct(w->system) ? w : give_up(w);
    }
    watch_ending_events();
    w->way = WriteWay::temporary;
    if (kind == TargetKind::missing) return create_temporary(w->system, false) == TemporaryResult::made ? w : give_up(w);

    bool replaceable = false;
    if (!open_existing(w->system, &w->old_size, &replaceable)) return give_up(w);
    if (replaceable) {
        TemporaryResult made = create_temporary(w->system, true);
        if (made == TemporaryResult::made) return w;
        remove_temporary(w->system, left_behind, sizeof left_behind);  // one that could not be removed
        if (made == TemporaryResult::failed) return give_up(w);
    }
    // In place the old content cannot be kept once a byte is written, so
    // nothing may end the process until the write is finished or abandoned.
    w->way = WriteWay::in_place;
    if (!open_in_place(w->system)) return give_up(w);
    hold_ending_events();
    w->holding = true;
    if (!reserve_length(w->system, w->old_size, size)) {
        abandon_file_write(w);
        return nullptr;
    }
    return w;
}

bool write_file_part(FileWrite* w, const uint8_t* bytes, uint64_t count) {
    if (count > w->size - w->written) {
        set_last_error_code(error_code_invalid_request);  // more than announced
        return false;
    }
    // Even a write that fails part-way may have changed the old bytes.
    if (count > 0) w->changed = true;
    if (!write_bytes(w->system, bytes, count, w->way != WriteWay::direct)) return false;
    w->written += count;
    return true;
}

bool finish_file_write(FileWrite* w) {
    bool ok = true;
    if (w->written != w->size) {
        set_last_error_code(error_code_invalid_request);  // less than announced
        ok = false;
    } else if (w->way == WriteWay::in_place) {
        w->changed = true;  // cutting it to its new length changes it too
        ok = set_length(w->system, w->size) && flush_and_close(w->system, w->way);
        if (ok) mark_new_content(w->system);
    } else {
        ok = flush_and_close(w->system, w->way) && (w->way == WriteWay::direct || put_in_place(w->system));
    }
    if (!ok) {
        abandon_file_write(w);
        return false;
    }
    if (w->holding) release_ending_events();
    free_system_write(w->system);
    free(w);
    set_last_error_code(0);
    return true;
}

void abandon_file_write(FileWrite* w) {
    const uint32_t saved = last_error_code();
    if (w->way == WriteWay::temporary) remove_temporary(w->system, left_behind, sizeof left_behind);
    // Only the reserved room was added: take it back.
    if (w->way == WriteWay::in_place && !w->changed) restore_length(w->system, w->old_size);
    free_system_write(w->system);
    if (w->holding) release_ending_events();
    free(w);
    set_last_error_code(saved);
}

bool write_file_whole(const char* path, const uint8_t* bytes, uint64_t count) {
    FileWrite* file = begin_file_write(path, count);
    if (file == nullptr) return false;
    if (!write_file_part(file, bytes, count)) {
        abandon_file_write(file);
        return false;
    }
    return finish_file_write(file);
}

void report_left_behind() {
    if (left_behind[0] == 0) return;
    console_printf("Warning: the temporary file %s could not be removed; delete it.\r\n", left_behind);
    left_behind[0] = 0;
}
