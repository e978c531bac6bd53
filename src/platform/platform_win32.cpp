// Win32 implementation of the platform services, on kernel32.
//
// Above this file paths and messages are UTF-8. Here every name becomes
// UTF-16 for the wide functions, and the full path's long form (\\?\C:\...),
// so neither the ANSI code page nor the old 260-character limit of the file
// functions ever decides which file is used. A name holding a lone surrogate,
// which Windows allows and UTF-8 cannot carry, travels in the 3-byte form of
// its code (WTF-8) and comes back unchanged.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>

#include "platform.h"
#include "platform_win32.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t message_capacity = 4096;
char message_buffer[message_capacity];
wchar_t wide_message[message_capacity];
uint64_t live_hook_blocks = 0;
constexpr DWORD io_step = 1u << 30;  // ReadFile and WriteFile take 32-bit counts
constexpr DWORD status_control_c_exit = 0xC000013A;  // how Windows ends a process on Ctrl+C

// ---- Text ----

void put_utf8(char* out, size_t* at, uint32_t code, size_t length) {
    if (length == 1) {
        out[(*at)++] = static_cast<char>(code);
    } else if (length == 2) {
        out[(*at)++] = static_cast<char>(0xC0 | code >> 6);
        out[(*at)++] = static_cast<char>(0x80 | (code & 0x3F));
    } else if (length == 3) {
        out[(*at)++] = static_cast<char>(0xE0 | code >> 12);
        out[(*at)++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out[(*at)++] = static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out[(*at)++] = static_cast<char>(0xF0 | code >> 18);
        out[(*at)++] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out[(*at)++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out[(*at)++] = static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool is_high_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Room for `units` UTF-16 units, zeroed, so any text written short of the
// end is terminated.
wchar_t* new_wide(size_t units) {
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, units * sizeof(wchar_t));
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return static_cast<wchar_t*>(block);
}

// The full path of `path` in its long form: \\?\C:\dir\name or
// \\?\UNC\server\share\name; paths in the device namespace (\\.\NUL) and
// long forms stay as they are. Null when the system cannot make the path
// full ("", say) or memory ran out.
wchar_t* full_long_form(const wchar_t* path) {
    DWORD need = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (need == 0) return nullptr;
    wchar_t* full = new_wide(need);
    if (full == nullptr) return nullptr;
    DWORD got = GetFullPathNameW(path, need, full, nullptr);
    if (got == 0 || got >= need) {
        HeapFree(GetProcessHeap(), 0, full);
        return nullptr;
    }
    const wchar_t* prefix = L"\\\\?\\";
    const wchar_t* rest = full;
    if (wcsncmp(full, L"\\\\?\\", 4) == 0 || wcsncmp(full, L"\\\\.\\", 4) == 0) {
        prefix = L"";
    } else if (wcsncmp(full, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = full + 2;
    }
    wchar_t* out = new_wide(wcslen(prefix) + wcslen(rest) + 1);
    if (out != nullptr) {
        wcscpy(out, prefix);
        wcscat(out, rest);
    }
    HeapFree(GetProcessHeap(), 0, full);
    return out;
}

}  // namespace

size_t utf8_from_utf16(const wchar_t* text, size_t length, char* out, size_t capacity) {
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        uint32_t code = static_cast<uint16_t>(text[i]);
        if (is_high_surrogate(code) && i + 1 < length && is_low_surrogate(static_cast<uint16_t>(text[i + 1]))) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00u);
            ++i;
        }
        size_t size = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (at + size > capacity) break;  // cut at a whole character
        put_utf8(out, &at, code, size);
    }
    return at;
}

size_t utf16_from_utf8(const char* text, wchar_t* out, size_t capacity, bool lenient) {
    size_t at = 0;
    while (*text != 0) {
        uint32_t code;
        size_t length = utf8_sequence(text, &code);
        if (length == 0) {
            if (!lenient) return utf16_failed;
            code = 0xFFFD;  // shown as the replacement character
            length = 1;
        }
        size_t units = code >= 0x10000 ? 2 : 1;
        if (at + units > capacity) return utf16_failed;
        if (units == 2) {
            out[at++] = static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            out[at++] = static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            out[at++] = static_cast<wchar_t>(code);
        }
        text += length;
    }
    return at;
}

wchar_t* wide_path(const char* path) {
    size_t capacity = strlen(path) + 1;  // a UTF-8 byte is at most one UTF-16 unit
    wchar_t* plain = new_wide(capacity);
    if (plain == nullptr) return nullptr;
    if (utf16_from_utf8(path, plain, capacity, false) == utf16_failed) {
        // Bytes that no Windows name gives: no file has this name.
        free_wide(plain);
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    wchar_t* full = full_long_form(plain);
    if (full == nullptr) return plain;  // "" and the like: the system judges the name as given
    free_wide(plain);
    return full;
}

namespace {

// A wide path, freed when it goes out of scope.
struct WidePath {
    explicit WidePath(const char* path) : text(wide_path(path)) {}
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;
    ~WidePath() { free_wide(text); }
    wchar_t* text;
};

// ---- Console ----

bool is_console(HANDLE handle) {
    DWORD mode;
    return GetConsoleMode(handle, &mode) != 0;
}

bool write_to_console(HANDLE out, const char* text) {
    size_t units = utf16_from_utf8(text, wide_message, message_capacity, true);
    if (units == utf16_failed) return true;  // cannot happen: a message is shorter than the buffer
    const wchar_t* p = wide_message;
    while (units > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(out, p, static_cast<DWORD>(units), &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        p += written;
        units -= written;
    }
    return true;
}

bool write_to_file(HANDLE out, const char* text) {
    static char bytes[message_capacity];
    size_t count = strnlen(text, message_capacity - 1);
    memcpy(bytes, text, count);
    for (size_t i = 0; i + 2 < count; ++i) {
        if (static_cast<unsigned char>(bytes[i]) == 0xED && (static_cast<unsigned char>(bytes[i + 1]) & 0xE0) == 0xA0) {
            memcpy(bytes + i, "\xEF\xBF\xBD", 3);  // U+FFFD for a lone surrogate: the same length
            i += 2;
        }
    }
    const char* p = bytes;
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(out, p, static_cast<DWORD>(count), &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        p += written;
        count -= written;
    }
    return true;
}

// A message goes to a console as UTF-16, so it reads right whatever the
// console's code page; to a file or pipe as UTF-8, a lone surrogate of a
// name shown as U+FFFD so that the bytes stay UTF-8. True when it was all
// written, and then the last error code stays as it was; false with the
// write's error code.
bool write_stdout(const char* text) {
    DWORD saved = GetLastError();
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    bool written = is_console(out) ? write_to_console(out, text) : write_to_file(out, text);
    if (written) SetLastError(saved);
    return written;
}

// True when the console is hmap's own: started from Explorer, Windows made
// a console for hmap alone, which closes as hmap ends. From a console, a
// script or with its output redirected, some other program reads what
// hmap printed.
bool console_is_ours() {
    if (!is_console(GetStdHandle(STD_OUTPUT_HANDLE)) || !is_console(GetStdHandle(STD_INPUT_HANDLE))) return false;
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void wait_for_key() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!ReadConsoleInputW(in, &record, 1, &count) || count == 0) return;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
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

void close_keeping_error(HANDLE file) {
    DWORD saved = GetLastError();
    CloseHandle(file);
    SetLastError(saved);
}

wchar_t* copy_wide(const wchar_t* text) {
    size_t length = wcslen(text);
    wchar_t* copy = new_wide(length + 1);
    if (copy != nullptr) memcpy(copy, text, length * sizeof(wchar_t));
    return copy;
}

// Opens what a path names, links followed, only to look at it.
HANDLE open_for_query(const wchar_t* path, DWORD flags = 0) {
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
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

// Attributes that a replaced file keeps; the archive bit is set besides, as
// for any new content, so that backups take it.
constexpr DWORD kept_attributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

}  // namespace

void free_wide(wchar_t* text) {
    if (text != nullptr) HeapFree(GetProcessHeap(), 0, text);
}

bool console_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message_buffer, message_capacity, format, args);
    va_end(args);
    if (n < 0) return false;
    return n == 0 || write_stdout(message_buffer);
}

void report_system_error(uint32_t code) {
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             wide_message, message_capacity, nullptr);
    size_t length = utf8_from_utf16(wide_message, n, message_buffer, message_capacity - 1);
    message_buffer[length] = 0;
    write_stdout(message_buffer);
    write_stdout("\r\n");
}

Status report_file_failure(const char* path) {
    uint32_t code = GetLastError();
    if (code == ERROR_SUCCESS) code = ERROR_GEN_FAILURE;  // a failure is never reported as success
    console_printf("%s > Error: ", path);
    report_system_error(code);
    return code;
}

uint32_t last_error_code() { return GetLastError(); }

void set_last_error_code(uint32_t code) { SetLastError(code); }

bool read_file_whole(const char* path, FileBytes* out, uint64_t room) {
    out->data = nullptr;
    out->size = 0;
    WidePath name(path);
    if (name.text == nullptr) return false;
    HANDLE file = CreateFileW(name.text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER file_size;
    if (!GetFileSizeEx(file, &file_size)) {
        close_keeping_error(file);
        return false;
    }
    uint64_t size = static_cast<uint64_t>(file_size.QuadPart);
    if (size == 0) {
        CloseHandle(file);
        SetLastError(ERROR_HANDLE_EOF);  // an empty file has nothing to offer; say so
        return false;
    }
    uint8_t* data = allocate_buffer(size + room);
    if (data == nullptr) {
        close_keeping_error(file);
        return false;
    }
    uint64_t got = 0;
    while (got < size) {
        DWORD step = size - got > io_step ? io_step : static_cast<DWORD>(size - got);
        DWORD n = 0;
        if (!ReadFile(file, data + got, step, &n, nullptr)) {
            close_keeping_error(file);
            release_buffer(data);
            return false;
        }
        if (n == 0) break;  // the file shrank while we read it: keep what came
        got += n;
    }
    CloseHandle(file);
    if (got == 0) {
        release_buffer(data);
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    out->data = data;
    out->size = got;
    return true;
}

// Files are read, not mapped: a view is a copy, never cut short.
bool view_file_whole(const char* path, FileBytes* out) { return read_file_whole(path, out); }
bool file_view_cut(const FileBytes&) { return false; }
void release_file_view(const FileBytes& view) { release_buffer(view.data); }

// A file is written one of three ways:
//  - replaced: the bytes go to a temporary file beside it, which takes its
//    place (ReplaceFileW keeps the old file's attributes, security, streams
//    and creation time; a new file is moved into place);
//  - in place: a file with more than one name (hard links) is written over,
//    so that every name keeps seeing it; its new length is reserved first,
//    so a full disk fails before a byte changes;
//  - directly: devices and pipes, which nothing can take the place of.
enum class WriteKind { replace, in_place, direct };

struct FileWrite {
    HANDLE file;
    WriteKind kind;
    bool exists;           // the target existed
    DWORD attributes;      // the target's, when it existed
    uint64_t old_size;     // in place: the length before, restored when nothing was written
    uint64_t size;         // bytes announced
    uint64_t written;      // bytes written so far
    bool changed;          // in place: the file's bytes are no longer the old ones
    wchar_t* target;       // the file written: the end of a chain of links, in long form
    wchar_t* temp;         // the temporary file, until it takes the target's place
    FileWrite* next;       // writes under way, for the console-event handler
};

namespace {

// Writes under way: on Ctrl+C or the console window closing, their
// temporary files are removed before the process ends. The lock keeps the
// handler from deleting a temporary file while it is being made or moved
// into place.
CRITICAL_SECTION write_lock;
FileWrite* writes_under_way = nullptr;

BOOL WINAPI on_console_event(DWORD) {
    EnterCriticalSection(&write_lock);
    for (FileWrite* w = writes_under_way; w != nullptr; w = w->next)
        if (w->temp != nullptr) DeleteFileW(w->temp);  // open with delete sharing: gone when the process ends
    ExitProcess(status_control_c_exit);
}

void watch_console_events() {
    static bool watching = false;
    if (watching) return;
    watching = true;
    InitializeCriticalSection(&write_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void forget_write(FileWrite* w) {
    for (FileWrite** p = &writes_under_way; *p != nullptr; p = &(*p)->next) {
        if (*p == w) {
            *p = w->next;
            break;
        }
    }
}

FileWrite* new_file_write(uint64_t size) {
    auto* w = static_cast<FileWrite*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FileWrite)));
    if (w == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    w->file = INVALID_HANDLE_VALUE;
    w->size = size;
    return w;
}

// Releases a write; keeps the last error code.
void free_file_write(FileWrite* w) {
    DWORD saved = GetLastError();
    if (w->file != INVALID_HANDLE_VALUE) CloseHandle(w->file);
    free_wide(w->target);
    free_wide(w->temp);
    HeapFree(GetProcessHeap(), 0, w);
    SetLastError(saved);
}

FileWrite* fail_file_write(FileWrite* w, DWORD code) {
    SetLastError(code);
    free_file_write(w);
    return nullptr;
}

FileWrite* begin_direct_write(FileWrite* w, const wchar_t* path) {
    w->kind = WriteKind::direct;
    w->file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (w->file == INVALID_HANDLE_VALUE) return fail_file_write(w, GetLastError());
    return w;
}

FileWrite* begin_in_place_write(FileWrite* w) {
    w->kind = WriteKind::in_place;
    w->file = CreateFileW(w->target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (w->file == INVALID_HANDLE_VALUE) return fail_file_write(w, GetLastError());
    LARGE_INTEGER old_size;
    if (!GetFileSizeEx(w->file, &old_size)) return fail_file_write(w, GetLastError());
    w->old_size = static_cast<uint64_t>(old_size.QuadPart);
    if (w->size > w->old_size) {
        if (!reserve_room(w->file, w->old_size, w->size)) {
            DWORD code = GetLastError();
            set_file_end(w->file, w->old_size);
            return fail_file_write(w, code);
        }
    }
    if (!rewind_file(w->file)) return fail_file_write(w, GetLastError());
    return w;
}

FileWrite* begin_replacing_write(FileWrite* w) {
    w->kind = WriteKind::replace;
    // The temporary file sits in the target's folder, so the move stays on
    // one volume; in long form, its name never makes a legal path too long.
    size_t folder = 0;
    for (size_t i = 0; w->target[i] != 0; ++i)
        if (w->target[i] == L'\\') folder = i + 1;
    static const wchar_t temp_name[] = L"~hmap00000000.tmp";
    w->temp = new_wide(folder + sizeof temp_name / sizeof(wchar_t));
    if (w->temp == nullptr) return fail_file_write(w, GetLastError());
    memcpy(w->temp, w->target, folder * sizeof(wchar_t));
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    watch_console_events();
    EnterCriticalSection(&write_lock);
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
    LeaveCriticalSection(&write_lock);
    if (w->file == INVALID_HANDLE_VALUE) {
        free_wide(w->temp);
        w->temp = nullptr;
        return fail_file_write(w, error);
    }
    return w;
}

// Moves the finished temporary file into the target's place.
bool replace_target(FileWrite* w) {
    if (!w->exists) return MoveFileExW(w->temp, w->target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!file_is_free(w->target)) return false;
    if (!ReplaceFileW(w->target, w->temp, nullptr, 0, nullptr, nullptr)) {
        // Without a backup name this error means the old file is gone
        // already: put the new one in its place rather than lose both.
        if (GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
            GetFileAttributesW(w->target) != INVALID_FILE_ATTRIBUTES ||
            !MoveFileExW(w->temp, w->target, MOVEFILE_WRITE_THROUGH))
            return false;
    }
    // ReplaceFileW keeps the attributes; some systems' do not, so they are
    // set once more, with the archive bit.
    SetFileAttributesW(w->target, (w->attributes & kept_attributes) | FILE_ATTRIBUTE_ARCHIVE);
    return true;
}

}  // namespace

FileWrite* begin_file_write(const char* path, uint64_t size) {
    FileWrite* w = new_file_write(size);
    if (w == nullptr) return nullptr;
    WidePath name(path);
    if (name.text == nullptr) return fail_file_write(w, GetLastError());

    HANDLE existing = open_for_query(name.text);
    if (existing == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return fail_file_write(w, error);
        w->target = end_of_dangling_links(copy_wide(name.text));
        if (w->target == nullptr) return fail_file_write(w, ERROR_NOT_ENOUGH_MEMORY);
        return begin_replacing_write(w);
    }
    if (GetFileType(existing) != FILE_TYPE_DISK) {
        CloseHandle(existing);
        return begin_direct_write(w, name.text);
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(existing, &info);
    DWORD error = GetLastError();
    if (known) w->target = final_path(existing);
    CloseHandle(existing);
    if (!known) return fail_file_write(w, error);
    // A folder is no file, and a read-only file stays protected.
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
        return fail_file_write(w, ERROR_ACCESS_DENIED);
    if (w->target == nullptr && (w->target = copy_wide(name.text)) == nullptr)
        return fail_file_write(w, ERROR_NOT_ENOUGH_MEMORY);
    w->exists = true;
    w->attributes = info.dwFileAttributes;
    if (info.nNumberOfLinks > 1) return begin_in_place_write(w);
    // Held by another program: refused now, before anything is written.
    if (!file_is_free(w->target)) return fail_file_write(w, GetLastError());
    return begin_replacing_write(w);
}

bool write_file_part(FileWrite* w, const uint8_t* bytes, uint64_t count) {
    if (count > w->size - w->written) {
        SetLastError(ERROR_INVALID_PARAMETER);  // more than announced
        return false;
    }
    if (count > 0) w->changed = true;
    if (!write_all(w->file, bytes, count)) return false;
    w->written += count;
    return true;
}

bool finish_file_write(FileWrite* w) {
    bool ok = true;
    if (w->written != w->size) {
        SetLastError(ERROR_INVALID_PARAMETER);  // less than announced
        ok = false;
    } else if (w->kind == WriteKind::direct) {
        ok = CloseHandle(w->file);
        w->file = INVALID_HANDLE_VALUE;
    } else if (w->kind == WriteKind::in_place) {
        w->changed = true;
        ok = set_file_end(w->file, w->size) && FlushFileBuffers(w->file);
        if (ok) {
            ok = CloseHandle(w->file);
            w->file = INVALID_HANDLE_VALUE;
        }
        if (ok) SetFileAttributesW(w->target, (w->attributes & kept_attributes) | FILE_ATTRIBUTE_ARCHIVE);
    } else {
        ok = FlushFileBuffers(w->file);
        if (ok) {
            ok = CloseHandle(w->file);
            w->file = INVALID_HANDLE_VALUE;
        }
        if (ok) {
            EnterCriticalSection(&write_lock);
            ok = replace_target(w);
            if (ok) {
                forget_write(w);
                free_wide(w->temp);
                w->temp = nullptr;
            }
            LeaveCriticalSection(&write_lock);
        }
    }
    if (!ok) {
        abandon_file_write(w);
        return false;
    }
    free_file_write(w);
    SetLastError(ERROR_SUCCESS);
    return true;
}

void abandon_file_write(FileWrite* w) {
    DWORD saved = GetLastError();
    if (w->kind == WriteKind::in_place && !w->changed && w->file != INVALID_HANDLE_VALUE)
        set_file_end(w->file, w->old_size);  // only the reserved room was added: take it back
    if (w->file != INVALID_HANDLE_VALUE) {
        CloseHandle(w->file);
        w->file = INVALID_HANDLE_VALUE;
    }
    if (w->temp != nullptr) {
        EnterCriticalSection(&write_lock);
        DeleteFileW(w->temp);
        forget_write(w);
        LeaveCriticalSection(&write_lock);
    }
    SetLastError(saved);
    free_file_write(w);
}

namespace {

// The volume and file index that tell one file from every other.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    WidePath name(path);
    if (name.text == nullptr) return false;
    HANDLE file = open_for_query(name.text);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(file, info);
    CloseHandle(file);
    return ok;
}

}  // namespace

bool same_file(const char* a, const char* b) {
    DWORD saved = GetLastError();
    BY_HANDLE_FILE_INFORMATION ia, ib;
    bool same = file_identity(a, &ia) && file_identity(b, &ib) &&
                ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
                ia.nFileIndexLow == ib.nFileIndexLow;
    SetLastError(saved);
    return same;
}

uint8_t* allocate_buffer(uint64_t size) {
    if (size == 0) size = 1;
    void* block = VirtualAlloc(nullptr, static_cast<SIZE_T>(size), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr && GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return static_cast<uint8_t*>(block);
}

void release_buffer(void* buffer) {
    if (buffer != nullptr) VirtualFree(buffer, 0, MEM_RELEASE);
}

void* hook_alloc(size_t size) {
    void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    if (block != nullptr) ++live_hook_blocks;
    return block;
}

void* hook_realloc(void* block, size_t size) {
    if (block == nullptr) return hook_alloc(size);
    return HeapReAlloc(GetProcessHeap(), 0, block, size ? size : 1);
}

void hook_free(void* block) {
    if (block == nullptr) return;
    --live_hook_blocks;
    HeapFree(GetProcessHeap(), 0, block);
}

uint64_t hook_live_blocks() { return live_hook_blocks; }

const char* platform_command_line() {
    static char* line = nullptr;
    if (line == nullptr) {
        const wchar_t* wide = GetCommandLineW();
        size_t length = wcslen(wide);
        // Three UTF-8 bytes at most for each UTF-16 unit.
        line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 3 * length + 1));
        if (line == nullptr) return "";
        line[utf8_from_utf16(wide, length, line, 3 * length)] = 0;
    }
    return line;
}

void exit_process(Status status) {
    // Started from Explorer, the window would close before anyone could
    // read what hmap printed.
    if (console_is_ours()) {
        console_printf("Press any key to close this window.\r\n");
        wait_for_key();
    }
    ExitProcess(status);
}
