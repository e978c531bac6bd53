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
// A pipe or device that received part of an output before the write was
// abandoned, named by the next file-failure report.
char partly_sent[4096];

// What one step of copying from the scratch file into place moves.
constexpr uint64_t copy_step = uint64_t{1} << 20;

void release_file_write(FileWrite* w) {
    if (w->system != nullptr) free_system_write(w->system);
    release_buffer(w->parts);
    free(w->name);
    free(w);
}

FileWrite* give_up(FileWrite* w) {
    const uint32_t saved = last_error_code();
    release_file_write(w);
    set_last_error_code(saved);
    return nullptr;
}

// Makes room for the parts of a write in place, where they wait for the
// finish.
bool keep_parts_aside(FileWrite* w) {
    if (w->size > in_place_memory_limit) return open_scratch(w->system);
    w->parts = allocate_buffer(w->size);
    if (w->parts == nullptr) return false;
    take_pages_for_writing(w->parts, w->size);
    return true;
}

// Writes the parts kept aside into the file written in place, from its
// start: from the first byte on (or its cut to the new length, when there
// is none), its old content is gone.
bool put_parts_in_place(FileWrite* w) {
    if (w->parts != nullptr) {
        w->changed = true;
        return write_bytes(w->system, w->parts, w->size, true);
    }
    uint8_t* step = allocate_buffer(copy_step);
    if (step == nullptr) return false;
    bool ok = true;
    for (uint64_t at = 0; ok && at < w->size;) {
        const uint64_t n = w->size - at < copy_step ? w->size - at : copy_step;
        ok = read_scratch(w->system, at, step, n);
        if (ok) {
            w->changed = true;
            ok = write_bytes(w->system, step, n, true);
        }
        at += n;
    }
    release_buffer(step);
    return ok;
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
        const size_t length = strlen(path);
        w->name = static_cast<char*>(malloc(length + 1));
        if (w->name == nullptr) {
            set_last_error_code(error_code_out_of_memory);
            return give_up(w);
        }
        memcpy(w->name, path, length + 1);
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
    if (!open_in_place(w->system) || !keep_parts_aside(w)) return give_up(w);
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
    if (w->way == WriteWay::in_place) {
        // Kept aside until the caller, its inputs checked, finishes the write.
        if (w->parts != nullptr) {
            if (count > 0) memcpy(w->parts + w->written, bytes, static_cast<size_t>(count));
        } else if (!write_scratch(w->system, bytes, count)) {
            return false;
        }
    } else if (!write_bytes(w->system, bytes, count, w->way != WriteWay::direct)) {
        return false;
    }
    w->written += count;
    return true;
}

bool finish_file_write(FileWrite* w) {
    bool ok = true;
    if (w->written != w->size) {
        set_last_error_code(error_code_invalid_request);  // less than announced
        ok = false;
    } else if (w->way == WriteWay::in_place) {
        ok = put_parts_in_place(w) && set_length(w->system, w->size) && flush_and_close(w->system, w->way);
        if (ok) mark_new_content(w->system);
    } else {
        ok = flush_and_close(w->system, w->way) && (w->way == WriteWay::direct || put_in_place(w->system));
    }
    if (!ok) {
        abandon_file_write(w);
        return false;
    }
    if (w->holding) release_ending_events();
    release_file_write(w);
    set_last_error_code(0);
    return true;
}

void abandon_file_write(FileWrite* w) {
    const uint32_t saved = last_error_code();
    if (w->way == WriteWay::temporary) remove_temporary(w->system, left_behind, sizeof left_behind);
    // Only the reserved room was added: take it back.
    if (w->way == WriteWay::in_place && !w->changed) restore_length(w->system, w->old_size);
    if (w->way == WriteWay::direct && w->written > 0) {
        const size_t length = strnlen(w->name, sizeof partly_sent - 1);
        memcpy(partly_sent, w->name, length);
        partly_sent[length] = 0;
    }
    const bool holding = w->holding;
    release_file_write(w);
    if (holding) release_ending_events();
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

bool report_partly_sent(const char* path, uint32_t code) {
    const bool told = code == error_file_changed && partly_sent[0] != 0;
    if (told) {
        console_printf("%s > Error: The file changed while it was being read; what %s received is incomplete.\r\n",
                       path, partly_sent);
    }
    partly_sent[0] = 0;
    return told;
}

void report_left_behind() {
    if (left_behind[0] == 0) return;
    console_printf("Warning: the temporary file %s could not be removed; delete it.\r\n", left_behind);
    left_behind[0] = 0;
}
