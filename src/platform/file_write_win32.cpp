// Writing files on Windows: the steps of file_write.h with wide file
// functions on long-form paths, ReplaceFileW, share modes and the console's
// control events.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>

#include "file_write.h"
#include "platform_win32.h"

const uint32_t error_code_invalid_request = ERROR_INVALID_PARAMETER;
const uint32_t error_code_out_of_memory = ERROR_NOT_ENOUGH_MEMORY;

struct SystemWrite {
    HANDLE file;
    HANDLE scratch;      // the parts of a write in place, when they are kept in a file
    bool exists;         // the target existed
    DWORD attributes;    // the target's, when it existed
    DWORD links;         // the target's names, when it existed
    wchar_t* target;     // the file written: the end of a chain of links, in long form
    wchar_t* temp;       // the temporary file, until it takes the target's place
    SystemWrite* next;   // writes under way, for the console-event handler
};

namespace {

constexpr DWORD status_control_c_exit = 0xC000013A;  // how Windows ends a process on Ctrl+C

// Attributes that a replaced file keeps; the archive bit is set besides, as
// for any new content, so that backups take it.
constexpr DWORD kept_attributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

// ---- Console events ----

// Writes under way: on Ctrl+C, Ctrl+Break or the console window closing,
// their temporary files are removed before the process ends. The lock keeps
// the handler, which runs on a thread of its own, from acting while a
// temporary file is being made or moved into place, and for the whole of a
// write in place, whose file would be left half new: the handler waits.
CRITICAL_SECTION write_lock;
SystemWrite* writes_under_way = nullptr;

BOOL WINAPI on_console_event(DWORD) {
    EnterCriticalSection(&write_lock);
    for (SystemWrite* w = writes_under_way; w != nullptr; w = w->next)
        if (w->temp != nullptr) DeleteFileW(w->temp);  // open with delete sharing: gone when the process ends
    ExitProcess(status_control_c_exit);
}

void forget_write(SystemWrite* w) {
    for (SystemWrite** p = &writes_under_way; *p != nullptr; p = &(*p)->next) {
        if (*p == w) {
            *p = w->next;
            break;
        }
    }
}

// ---- Files ----

bool write_all(HANDLE file, const uint8_t* bytes, uint64_t count) {
    // A write may take fewer bytes than given: go on from there until every
    // byte is written or the system reports an error, whose code stays.
    while (count > 0) {
        DWORD step = count > io_step ? io_step : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(file, bytes, step, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);  // took nothing and said nothing: no better code to give
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

// The path of an open file after every link: the file a write replaces.
wchar_t* final_path(HANDLE file) {
    DWORD need = GetFinalPathNameByHandleW(file, nullptr, 0, VOLUME_NAME_DOS);
    if (need == 0) return nullptr;
    wchar_t* path = new_wide(need + 1);
    if (path == nullptr) return nullptr;
    DWORD got = GetFinalPathNameByHandleW(file, path, need + 1, VOLUME_NAME_DOS);
    if (got == 0 || got > need) {
        free_wide(path);
        return nullptr;
    }
    return path;
}

// The layout of a symbolic link's reparse data.
struct SymlinkData {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD substitute_offset;
    WORD substitute_length;
    WORD print_offset;
    WORD print_length;
    ULONG flags;
    WCHAR names[1];
};
constexpr ULONG symlink_relative = 1;

// Where a link that leads nowhere leads: the path at the end of its chain,
// where a write makes the file, as shell redirection does. Any other path
// comes back as it is. Takes `path` over.
wchar_t* end_of_dangling_links(wchar_t* path) {
    alignas(8) static BYTE data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    for (int hop = 0; hop < 63; ++hop) {
        HANDLE link = open_for_query(path, FILE_FLAG_OPEN_REPARSE_POINT);
        if (link == INVALID_HANDLE_VALUE) return path;
        DWORD got = 0;
        bool read = DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &got, nullptr);
        CloseHandle(link);
        const auto* symlink = reinterpret_cast<const SymlinkData*>(data);
        if (!read || symlink->tag != IO_REPARSE_TAG_SYMLINK) return path;
        const WCHAR* name = symlink->names + symlink->substitute_offset / sizeof(WCHAR);
        size_t name_length = symlink->substitute_length / sizeof(WCHAR);
        // Relative to the link's folder, or an NT path (\??\C:\..., \??\UNC\...).
        // Joined as a plain path, so that the system resolves "..".
        const wchar_t* start = path;
        const wchar_t* lead = L"";
        size_t folder = 0;
        if (symlink->flags & symlink_relative) {
            if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
                start = path + 8;
                lead = L"\\\\";
            } else if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
                start = path + 4;
            }
            for (size_t i = 0; start[i] != 0; ++i)
                if (start[i] == L'\\') folder = i + 1;
        } else if (name_length >= 8 && wcsncmp(name, L"\\??\\UNC\\", 8) == 0) {
            name += 8;
            name_length -= 8;
            lead = L"\\\\";
        } else if (name_length >= 4 && wcsncmp(name, L"\\??\\", 4) == 0) {
            name += 4;
            name_length -= 4;
        }
        size_t lead_length = wcslen(lead);
        wchar_t* joined = new_wide(lead_length + folder + name_length + 1);
        if (joined == nullptr) return path;
        memcpy(joined, lead, lead_length * sizeof(wchar_t));
        memcpy(joined + lead_length, start, folder * sizeof(wchar_t));
        memcpy(joined + lead_length + folder, name, name_length * sizeof(wchar_t));
        wchar_t* next = full_long_form(joined);
        free_wide(joined);
        if (next == nullptr) return path;
        free_wide(path);
        path = next;
    }
    return path;
}

// Asks for what replacing a file takes (deleting its name) while allowing
// everything to others: refused with a sharing violation when another
// program holds the file without letting it go.
bool file_is_free(const wchar_t* path) {
    HANDLE file = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

bool set_file_end(HANDLE file, uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Makes a file `size` bytes long, growing it from `old_size` with room
// really taken on the disk, so that a full disk fails here, before a byte
// of the old content changes. Where the system cannot say how much room a
// file takes, zeros are written after the old content.
bool reserve_room(HANDLE file, uint64_t old_size, uint64_t size) {
    FILE_ALLOCATION_INFO room;
    room.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(file, FileAllocationInfo, &room, sizeof room)) return set_file_end(file, size);
    DWORD error = GetLastError();
    if (error != ERROR_CALL_NOT_IMPLEMENTED && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION &&
        error != ERROR_INVALID_PARAMETER)
        return false;
    static const uint8_t zeros[64 * 1024] = {};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(old_size);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    for (uint64_t left = size - old_size; left > 0;) {
        uint64_t step = left < sizeof zeros ? left : sizeof zeros;
        if (!write_all(file, zeros, step)) return false;
        left -= step;
    }
    return true;
}

bool rewind_file(HANDLE file) {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
}

SystemWrite* fail(SystemWrite* w, DWORD code) {
    free_system_write(w);
    SetLastError(code);
    return nullptr;
}

// Flushes a file that was just given its place, so that its new name lasts
// too: ReplaceFileW has no way to ask for that itself.
bool flush_replaced(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return true;  // written and in place; nothing more to be had
    const bool flushed = FlushFileBuffers(file);
    close_keeping_error(file);
    return flushed;
}

// A long-form path as the user would type it, without the prefix, in UTF-8
// at `out` (cut to fit `capacity` bytes with the terminator). Returns the
// bytes written.
size_t shown_path(const wchar_t* path, char* out, size_t capacity) {
    size_t at = 0;
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        path += 8;
        out[at++] = '\\';
        out[at++] = '\\';
    } else if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        path += 4;
    }
    at += utf8_from_utf16(path, wcslen(path), out + at, capacity - 1 - at);
    out[at] = 0;
    return at;
}

}  // namespace

bool link_end(const char* path, char* out, size_t capacity) {
    wchar_t* name = wide_path(path);
    if (name == nullptr) return false;
    wchar_t* end = nullptr;
    const DWORD attributes = GetFileAttributesW(name);  // of the link itself, not followed
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        HANDLE existing = open_for_query(name);
        if (existing != INVALID_HANDLE_VALUE) {
            end = final_path(existing);
            CloseHandle(existing);
        } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            end = end_of_dangling_links(name);
            name = nullptr;
        }
    }
    free_wide(name);
    if (end == nullptr) {
        // No link, or one that cannot be followed: the path as given.
        const size_t length = strlen(path);
        if (length >= capacity) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        memcpy(out, path, length + 1);
        return true;
    }
    // Room for 3 bytes a unit and the terminator, so nothing is cut.
    const bool fits = 3 * wcslen(end) + 3 < capacity;
    if (fits) shown_path(end, out, capacity);
    free_wide(end);
    if (!fits) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return fits;
}

void watch_ending_events() {
    static bool watching = false;
    if (watching) return;
    watching = true;
    InitializeCriticalSection(&write_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_ending_events() { EnterCriticalSection(&write_lock); }

void release_ending_events() {
    DWORD saved = GetLastError();
    LeaveCriticalSection(&write_lock);
    SetLastError(saved);
}

SystemWrite* look_at_target(const char* path, TargetKind* kind) {
    auto* w = static_cast<SystemWrite*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SystemWrite)));
    if (w == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    w->file = INVALID_HANDLE_VALUE;
    w->scratch = INVALID_HANDLE_VALUE;
    wchar_t* name = wide_path(path);
    if (name == nullptr) return fail(w, GetLastError());
    HANDLE existing = open_for_query(name);
    if (existing == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            free_wide(name);
            return fail(w, error);
        }
        w->target = end_of_dangling_links(name);
        *kind = TargetKind::missing;
        return w;
    }
    if (GetFileType(existing) != FILE_TYPE_DISK) {
        CloseHandle(existing);
        w->target = name;
        *kind = TargetKind::device;
        return w;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(existing, &info);
    DWORD error = GetLastError();
    if (known) w->target = final_path(existing);
    CloseHandle(existing);
    if (!known) {
        free_wide(name);
        return fail(w, error);
    }
    if (w->target == nullptr) {
        w->target = name;
    } else {
        free_wide(name);
    }
    // A folder is no file.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return fail(w, ERROR_ACCESS_DENIED);
    w->exists = true;
    w->attributes = info.dwFileAttributes;
    w->links = info.nNumberOfLinks;
    *kind = TargetKind::regular;
    return w;
}

bool open_direct(SystemWrite* w) {
    w->file = CreateFileW(w->target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return w->file != INVALID_HANDLE_VALUE;
}

bool open_existing(SystemWrite* w, uint64_t* old_size, bool* replaceable) {
    // A read-only file stays protected.
    if (w->attributes & FILE_ATTRIBUTE_READONLY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(w->target, GetFileExInfoStandard, &data)) return false;
    *old_size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    // A file with more than one name is written over, so every name keeps seeing it.
    *replaceable = w->links <= 1;
    return true;
}

TemporaryResult create_temporary(SystemWrite* w, bool replacing) {
    // Held by another program: refused now, before anything is written.
    if (replacing && !file_is_free(w->target)) return TemporaryResult::failed;
    // The temporary file sits in the target's folder, so the move stays on
    // one volume; in long form, its name never makes a legal path too long.
    size_t folder = 0;
    for (size_t i = 0; w->target[i] != 0; ++i)
        if (w->target[i] == L'\\') folder = i + 1;
    static const wchar_t temp_name[] = L"~hmap00000000.tmp";
    w->temp = new_wide(folder + sizeof temp_name / sizeof(wchar_t));
    if (w->temp == nullptr) return TemporaryResult::failed;
    memcpy(w->temp, w->target, folder * sizeof(wchar_t));
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    hold_ending_events();
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        swprintf(w->temp + folder, sizeof temp_name / sizeof(wchar_t), L"~hmap%08X.tmp",
                 static_cast<unsigned>(seed + attempt * 7919u));
        // Delete sharing lets the console-event handler remove it while open.
        w->file = CreateFileW(w->temp, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
        error = GetLastError();
        if (w->file != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS) break;
    }
    if (w->file != INVALID_HANDLE_VALUE) {
        w->next = writes_under_way;
        writes_under_way = w;
    }
    release_ending_events();
    if (w->file == INVALID_HANDLE_VALUE) {
        free_wide(w->temp);
        w->temp = nullptr;
        SetLastError(error);
        return TemporaryResult::failed;
    }
    return TemporaryResult::made;
}

bool open_in_place(SystemWrite* w) {
    // Shared with readers only: another program's writer is refused with a
    // sharing violation, and so is this one while another writes.
    w->file = CreateFileW(w->target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return w->file != INVALID_HANDLE_VALUE;
}

bool reserve_length(SystemWrite* w, uint64_t old_size, uint64_t size) {
    if (size > old_size && !reserve_room(w->file, old_size, size)) {
        DWORD code = GetLastError();
        set_file_end(w->file, old_size);
        SetLastError(code);
        return false;
    }
    return rewind_file(w->file);
}

bool write_bytes(SystemWrite* w, const uint8_t* bytes, uint64_t count, bool) { return write_all(w->file, bytes, count); }

bool open_scratch(SystemWrite* w) {
    // In the user's folder for temporary files, deleted by the system when
    // closed, however the process ends; marked temporary, so that it stays
    // in the cache where memory allows.
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return false;
    static const wchar_t scratch_name[] = L"~hmap00000000.tmp";
    wchar_t name[MAX_PATH + sizeof scratch_name / sizeof(wchar_t)];
    memcpy(name, folder, length * sizeof(wchar_t));
    const DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ 0x5CA7;
    for (int attempt = 0; attempt < 100; ++attempt) {
        swprintf(name + length, sizeof scratch_name / sizeof(wchar_t), L"~hmap%08X.tmp",
                 static_cast<unsigned>(seed + attempt * 7919u));
        w->scratch = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (w->scratch != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) break;
    }
    return w->scratch != INVALID_HANDLE_VALUE;
}

bool write_scratch(SystemWrite* w, const uint8_t* bytes, uint64_t count) { return write_all(w->scratch, bytes, count); }

bool read_scratch(SystemWrite* w, uint64_t offset, uint8_t* out, uint64_t count) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(w->scratch, at, nullptr, FILE_BEGIN)) return false;
    while (count > 0) {
        const DWORD step = count > io_step ? io_step : static_cast<DWORD>(count);
        DWORD n = 0;
        if (!ReadFile(w->scratch, out, step, &n, nullptr)) return false;
        if (n == 0) {
            SetLastError(ERROR_HANDLE_EOF);  // shorter than what was written to it
            return false;
        }
        out += n;
        count -= n;
    }
    return true;
}

bool set_length(SystemWrite* w, uint64_t size) { return set_file_end(w->file, size); }

bool flush_and_close(SystemWrite* w, WriteWay way) {
    if (way != WriteWay::direct && !FlushFileBuffers(w->file)) return false;
    HANDLE file = w->file;
    w->file = INVALID_HANDLE_VALUE;
    return CloseHandle(file);
}

bool put_in_place(SystemWrite* w) {
    hold_ending_events();
    bool ok;
    if (!w->exists) {
        ok = MoveFileExW(w->temp, w->target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    } else {
        ok = file_is_free(w->target);
        if (ok && !ReplaceFileW(w->target, w->temp, nullptr, 0, nullptr, nullptr)) {
            // Without a backup name this error means the old file is gone
            // already: put the new one in its place rather than lose both.
            ok = GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
                 GetFileAttributesW(w->target) == INVALID_FILE_ATTRIBUTES &&
                 MoveFileExW(w->temp, w->target, MOVEFILE_WRITE_THROUGH);
        }
        // ReplaceFileW keeps the attributes; some systems' do not, so they
        // are set once more, with the archive bit.
        if (ok) SetFileAttributesW(w->target, (w->attributes & kept_attributes) | FILE_ATTRIBUTE_ARCHIVE);
    }
    if (ok) {
        forget_write(w);
        free_wide(w->temp);
        w->temp = nullptr;
    }
    release_ending_events();
    return ok && (!w->exists || flush_replaced(w->target));
}

void mark_new_content(SystemWrite* w) {
    SetFileAttributesW(w->target, (w->attributes & kept_attributes) | FILE_ATTRIBUTE_ARCHIVE);
}

void remove_temporary(SystemWrite* w, char* name, size_t capacity) {
    if (w->temp == nullptr) return;
    DWORD saved = GetLastError();
    if (w->file != INVALID_HANDLE_VALUE) {
        CloseHandle(w->file);
        w->file = INVALID_HANDLE_VALUE;
    }
    hold_ending_events();
    const bool removed = DeleteFileW(w->temp) || GetLastError() == ERROR_FILE_NOT_FOUND;
    forget_write(w);
    release_ending_events();
    if (!removed) shown_path(w->temp, name, capacity);
    free_wide(w->temp);
    w->temp = nullptr;
    SetLastError(saved);
}

void restore_length(SystemWrite* w, uint64_t old_size) {
    if (w->file == INVALID_HANDLE_VALUE) return;
    DWORD saved = GetLastError();
    set_file_end(w->file, old_size);
    SetLastError(saved);
}

void free_system_write(SystemWrite* w) {
    DWORD saved = GetLastError();
    if (w->file != INVALID_HANDLE_VALUE) CloseHandle(w->file);
    if (w->scratch != INVALID_HANDLE_VALUE) CloseHandle(w->scratch);
    free_wide(w->target);
    free_wide(w->temp);
    HeapFree(GetProcessHeap(), 0, w);
    SetLastError(saved);
}
