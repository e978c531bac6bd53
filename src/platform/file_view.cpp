// File views, the same on every system: the table the views live in, the
// order in which one is opened (a file mapped, a device or pipe read whole
// instead), what view_unchanged tells, and how a fault in a view's pages is
// judged: a page the disk could not read, or a file cut short. The steps
// themselves are the system's (file_view.h).
#include "file_view.h"

#include <cstring>

namespace {

FileViewState view_slots[16];
// The size of the pages faults come in, known before the handler is.
size_t fault_page_size;

bool watch_view_faults() {
    static bool installed = false;
    if (!installed) {
        fault_page_size = memory_page_size();
        installed = install_fault_handler();
    }
    return installed;
}

// Gives up an open that has its file but no view: the file is closed, the
// last error code kept, or set to `code` when that is not 0.
bool give_up_view(SystemView* system, uint32_t code) {
    free_system_view(system);
    if (code != 0) set_last_error_code(code);
    return false;
}

bool open_view(const char* path, FileView* out, bool writable) {
    *out = FileView{};
    FileViewState* view = nullptr;
    for (FileViewState& slot : view_slots) {
        if (!slot.in_use) {
            view = &slot;
            break;
        }
    }
    if (view == nullptr || !watch_view_faults()) {
        set_last_error_code(error_code_too_many_views);
        return false;
    }
    uint64_t size = 0;
    bool mappable = false;
    SystemView* system = open_for_view(path, &size, &mappable);
    if (system == nullptr) return false;
    if (size == 0 || size > SIZE_MAX / 2) return give_up_view(system, size == 0 ? error_code_empty : error_code_too_large);
    uint8_t* data = nullptr;
    if (mappable) {
        data = map_view(system, size, writable, &view->length);
        if (data == nullptr) return give_up_view(system, 0);
        view->start = data;
    } else {
        // A device or a pipe: its bytes, read once.
        uint64_t got = 0;
        data = allocate_buffer(size);
        if (data == nullptr || !read_device_whole(system, data, size, &got) || got == 0) {
            if (data != nullptr && got == 0) set_last_error_code(error_code_empty);
            give_up_view(system, 0);
            release_buffer(data);
            return false;
        }
        view->start = nullptr;
        view->length = static_cast<size_t>(got);
        size = got;
    }
    view->size = size;
    view->writable = writable;
    view->cut = 0;
    view->unreadable = 0;
    view->fault_status = 0;
    view->system = system;
    view->in_use = true;
    out->data = data;
    out->size = size;
    out->state = view;
    return true;
}

}  // namespace

bool open_file_view(const char* path, FileView* out) { return open_view(path, out, false); }
bool open_private_file_view(const char* path, FileView* out) { return open_view(path, out, true); }

bool view_unchanged(const FileView& view) {
    const FileViewState* state = view.state;
    // A copy of a device's bytes is the one version there is.
    if (state == nullptr || state->start == nullptr) return true;
    if (state->unreadable) {
        set_last_error_code(read_error_code(state->fault_status));  // as a read of that page would have failed
        return false;
    }
    if (!state->cut && version_now(state->system) == VersionNow::same) return true;
    set_last_error_code(error_file_changed);
    return false;
}

bool copy_from_view(const FileView& view, uint64_t offset, uint64_t count, uint8_t* out) {
    if (count > 0) memcpy(out, view.data + offset, static_cast<size_t>(count));
    return view_unchanged(view);
}

void close_file_view(FileView* view) {
    if (FileViewState* state = view->state) {
        const uint32_t saved = last_error_code();
        if (state->start != nullptr) {
            unmap_view(*state);
        } else {
            release_buffer(const_cast<uint8_t*>(view->data));
        }
        free_system_view(state->system);
        set_last_error_code(saved);
        state->start = nullptr;
        state->system = nullptr;
        state->in_use = false;
    }
    *view = FileView{};
}

FileViewState* view_holding(const void* at) {
    const auto* byte = static_cast<const uint8_t*>(at);
    for (FileViewState& view : view_slots) {
        if (view.in_use && view.start != nullptr && byte >= view.start && byte < view.start + view.length) return &view;
    }
    return nullptr;
}

bool mend_view(FileViewState* view, const void* at, uint32_t fault_status) {
    const size_t offset =
        static_cast<size_t>(static_cast<const uint8_t*>(at) - view->start) / fault_page_size * fault_page_size;
    // The file still the version opened (or past asking: a volume gone), and
    // long enough for the page: the page could not be read. Else the file
    // was cut short.
    const VersionNow now = version_now(view->system);
    const bool unreadable = (now == VersionNow::same && view->size > offset) || now == VersionNow::unknown;
    if (!put_zero_pages(*view, offset)) return false;
    if (unreadable) {
        view->fault_status = fault_status;
        view->unreadable = 1;
    }
    view->cut = 1;
    return true;
}
