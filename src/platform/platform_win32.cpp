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

#include "file_view.h"
#include "file_write.h"
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

}  // namespace

wchar_t* new_wide(size_t units) {
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, units * sizeof(wchar_t));
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return static_cast<wchar_t*>(block);
}

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

// True when the console is hmap's own and someone can see it: started from
// Explorer, Windows made a console for hmap alone, which closes as hmap
// ends. From a console, a script or with its output or input redirected,
// some other program reads what hmap printed; a console without a window
// (CREATE_NO_WINDOW), one started hidden, or one on a window station nobody
// sees (a scheduled task running without its user) has nobody to press a key.
bool console_is_ours() {
    if (!console_can_ask()) return false;
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1 || GetConsoleWindow() == nullptr) return false;
    STARTUPINFOW start;
    GetStartupInfoW(&start);
    if ((start.dwFlags & STARTF_USESHOWWINDOW) && start.wShowWindow == SW_HIDE) return false;
    // user32 only for this question, and only when it is asked.
    using ObjectInformation = BOOL(WINAPI*)(HANDLE, int, void*, DWORD, DWORD*);
    using WindowStation = HWINSTA(WINAPI*)();
    if (HMODULE user32 = LoadLibraryW(L"user32.dll")) {
        auto information = reinterpret_cast<ObjectInformation>(
            reinterpret_cast<void*>(GetProcAddress(user32, "GetUserObjectInformationW")));
        auto station = reinterpret_cast<WindowStation>(
            reinterpret_cast<void*>(GetProcAddress(user32, "GetProcessWindowStation")));
        USEROBJECTFLAGS flags{};
        DWORD need = 0;
        if (information != nullptr && station != nullptr &&
            information(station(), UOI_FLAGS, &flags, sizeof flags, &need) && !(flags.dwFlags & WSF_VISIBLE))
            return false;
    }
    return true;
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

}  // namespace

// ---- Files ----

void close_keeping_error(HANDLE file) {
    DWORD saved = GetLastError();
    CloseHandle(file);
    SetLastError(saved);
}

HANDLE open_for_query(const wchar_t* path, DWORD flags) {
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

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
    if (const char* own = own_error_text(code)) {
        write_stdout(own);
    } else {
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                 wide_message, message_capacity, nullptr);
        size_t length = utf8_from_utf16(wide_message, n, message_buffer, message_capacity - 1);
        message_buffer[length] = 0;
        write_stdout(message_buffer);
    }
    write_stdout("\r\n");
}

Status report_file_failure(const char* path) {
    uint32_t code = GetLastError();
    if (code == ERROR_SUCCESS) code = ERROR_GEN_FAILURE;  // a failure is never reported as success
    if (!report_partly_sent(path, code)) {
        console_printf("%s > Error: ", path);
        report_system_error(code);
    }
    report_left_behind();
    return own_error_text(code) != nullptr ? status_busy : code;
}

uint32_t last_error_code() { return GetLastError(); }

void set_last_error_code(uint32_t code) { SetLastError(code); }

bool is_missing_file_error(uint32_t code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

namespace {

// What tells one version of a file from the next: its length and the time
// it was last written.
bool same_version(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
           a.ftLastWriteTime.dwLowDateTime == b.ftLastWriteTime.dwLowDateTime &&
           a.ftLastWriteTime.dwHighDateTime == b.ftLastWriteTime.dwHighDateTime;
}

}  // namespace

bool read_file_whole(const char* path, FileBytes* out, uint64_t room) {
    out->data = nullptr;
    out->size = 0;
    WidePath name(path);
    if (name.text == nullptr) return false;
    // Shared with readers only: no other program may write the file while it
    // is read (a writer already at it refuses this open with a sharing
    // violation); the version is compared all the same.
    HANDLE file = CreateFileW(name.text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION before;
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    LARGE_INTEGER file_size;
    if ((disk && !GetFileInformationByHandle(file, &before)) || !GetFileSizeEx(file, &file_size)) {
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
        if (n == 0) break;
        got += n;
    }
    BY_HANDLE_FILE_INFORMATION after;
    const bool whole = !disk || (got == size && GetFileInformationByHandle(file, &after) && same_version(before, after));
    CloseHandle(file);
    if (!whole || got == 0) {
        release_buffer(data);
        SetLastError(whole ? ERROR_HANDLE_EOF : error_file_changed);
        return false;
    }
    out->data = data;
    out->size = got;
    return true;
}

// File views' steps (file_view.h): a disk file's bytes in a view of a file
// mapping, read-only or copied when written, the file held open shared with
// readers only, so no other program writes it meanwhile, and Windows refuses
// to cut a mapped file short. A view's page that cannot be read in (the
// volume is gone, a network file failed) raises EXCEPTION_IN_PAGE_ERROR; the
// handler has the view mended (zero pages where it was), and the access is
// retried on them. Anything but a disk file is read whole into memory
// instead.
struct SystemView {
    HANDLE file;
    BY_HANDLE_FILE_INFORMATION before;  // a disk file's
};

const uint32_t error_code_too_many_views = ERROR_TOO_MANY_OPEN_FILES;
const uint32_t error_code_too_large = ERROR_FILE_TOO_LARGE;
const uint32_t error_code_empty = ERROR_HANDLE_EOF;

namespace {

// Held while a view is mended. Its pages are gone between the unmapping and
// the zero pages taking their place: a thread that touches the view then
// (the picture's second thread) faults there and waits here for the zero
// pages, and so does one that met a page error of the view too.
SRWLOCK mending = SRWLOCK_INIT;

// True when the page at `at` now lets the access (a write or a read) through.
bool page_lets(const uint8_t* at, bool write) {
    MEMORY_BASIC_INFORMATION page;
    if (VirtualQuery(at, &page, sizeof page) == 0 || page.State != MEM_COMMIT || (page.Protect & PAGE_GUARD)) {
        return false;
    }
    const DWORD kind = page.Protect & 0xFF;
    return write ? kind == PAGE_READWRITE || kind == PAGE_WRITECOPY : kind != PAGE_NOACCESS;
}

LONG CALLBACK on_page_error(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    const DWORD code = record->ExceptionCode;
    if ((code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION) || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const bool write = record->ExceptionInformation[0] == 1;
    auto* at = reinterpret_cast<uint8_t*>(record->ExceptionInformation[1]);
    FileViewState* view = view_holding(at);
    if (view == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    const DWORD saved = GetLastError();
    AcquireSRWLockExclusive(&mending);
    // Mended already (by another thread, maybe while this one waited):
    // the access goes on on the zero pages, if they let it.
    bool retry = view->cut != 0;
    if (!retry && code == EXCEPTION_IN_PAGE_ERROR) {
        const LONG status = record->NumberParameters >= 3 ? static_cast<LONG>(record->ExceptionInformation[2]) : 0;
        retry = mend_view(view, at, static_cast<uint32_t>(status));
    }
    if (retry && code == EXCEPTION_ACCESS_VIOLATION) retry = page_lets(at, write);
    ReleaseSRWLockExclusive(&mending);
    SetLastError(saved);
    return retry ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

size_t memory_page_size() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwPageSize;
}

bool install_fault_handler() { return AddVectoredExceptionHandler(1, on_page_error) != nullptr; }

SystemView* open_for_view(const char* path, uint64_t* size, bool* mappable) {
    WidePath name(path);
    if (name.text == nullptr) return nullptr;
    auto* system = static_cast<SystemView*>(HeapAlloc(GetProcessHeap(), 0, sizeof(SystemView)));
    if (system == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    system->file = CreateFileW(name.text, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (system->file == INVALID_HANDLE_VALUE) {
        const DWORD saved = GetLastError();
        HeapFree(GetProcessHeap(), 0, system);
        SetLastError(saved);
        return nullptr;
    }
    *mappable = GetFileType(system->file) == FILE_TYPE_DISK;
    LARGE_INTEGER file_size;
    if ((*mappable && !GetFileInformationByHandle(system->file, &system->before)) ||
        !GetFileSizeEx(system->file, &file_size)) {
        free_system_view(system);
        return nullptr;
    }
    *size = static_cast<uint64_t>(file_size.QuadPart);
    return system;
}

uint8_t* map_view(SystemView* system, uint64_t size, bool writable, size_t* length) {
    uint8_t* data = nullptr;
    HANDLE mapping = CreateFileMappingW(system->file, nullptr, writable ? PAGE_WRITECOPY : PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
        data = static_cast<uint8_t*>(MapViewOfFile(mapping, writable ? FILE_MAP_COPY : FILE_MAP_READ, 0, 0, 0));
        close_keeping_error(mapping);  // the view keeps the mapping
    }
    *length = static_cast<size_t>(size);
    return data;
}

void unmap_view(const FileViewState& view) {
    if (view.cut) {
        VirtualFree(view.start, 0, MEM_RELEASE);
    } else {
        UnmapViewOfFile(view.start);
    }
}

bool read_device_whole(SystemView* system, uint8_t* data, uint64_t size, uint64_t* got) {
    *got = 0;
    while (*got < size) {
        DWORD step = size - *got > io_step ? io_step : static_cast<DWORD>(size - *got);
        DWORD n = 0;
        if (!ReadFile(system->file, data + *got, step, &n, nullptr) || n == 0) break;
        *got += n;
    }
    return true;
}

VersionNow version_now(const SystemView* system) {
    BY_HANDLE_FILE_INFORMATION now;
    if (!GetFileInformationByHandle(system->file, &now)) return VersionNow::unknown;
    return same_version(system->before, now) ? VersionNow::same : VersionNow::changed;
}

bool put_zero_pages(const FileViewState& view, size_t) {
    // A view is unmapped only whole: zeros take the place of all of it.
    UnmapViewOfFile(view.start);
    return VirtualAlloc(view.start, view.length, MEM_RESERVE | MEM_COMMIT,
                        view.writable ? PAGE_READWRITE : PAGE_READONLY) != nullptr;
}

// The system's error code for the page error that cut a view: the NTSTATUS
// it carried, as a Win32 code.
uint32_t read_error_code(uint32_t fault_status) {
    const auto status = static_cast<LONG>(fault_status);
    using StatusToCode = ULONG(WINAPI*)(LONG);
    static const auto to_code = reinterpret_cast<StatusToCode>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    const DWORD code = to_code != nullptr && status != 0 ? to_code(status) : ERROR_MR_MID_NOT_FOUND;
    return code == ERROR_MR_MID_NOT_FOUND || code == ERROR_SUCCESS ? ERROR_READ_FAULT : code;
}

void free_system_view(SystemView* system) {
    const DWORD saved = GetLastError();
    CloseHandle(system->file);
    HeapFree(GetProcessHeap(), 0, system);
    SetLastError(saved);
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

size_t name_start(const char* path) {
    size_t start = 0;
    for (size_t i = 0; path[i] != 0; ++i)
        if (path[i] == '\\' || path[i] == '/' || (i == 1 && path[i] == ':')) start = i + 1;
    return start;
}

bool same_name(const char* a, const char* b) {
    // Names are compared as the file system compares them: without regard
    // to case, by UTF-16 unit.
    WidePath wide_a(a[0] != 0 ? a : "."), wide_b(b[0] != 0 ? b : ".");
    if (wide_a.text == nullptr || wide_b.text == nullptr) return strcmp(a, b) == 0;
    const wchar_t* name_a = wide_a.text + wcslen(wide_a.text);
    const wchar_t* name_b = wide_b.text + wcslen(wide_b.text);
    while (name_a > wide_a.text && name_a[-1] != L'\\') --name_a;
    while (name_b > wide_b.text && name_b[-1] != L'\\') --name_b;
    return CompareStringOrdinal(name_a, -1, name_b, -1, TRUE) == CSTR_EQUAL;
}

// The system's random source, by the name advapi32 exports it under.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

bool system_random(void* out, size_t size) {
    auto* bytes = static_cast<uint8_t*>(out);
    while (size > 0) {
        const ULONG step = size > (1u << 30) ? (1u << 30) : static_cast<ULONG>(size);
        if (!SystemFunction036(bytes, step)) {
            if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        bytes += step;
        size -= step;
    }
    return true;
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

// Windows has no call that takes written pages in one go; the writes take them.
void take_pages_for_writing(void*, uint64_t) {}

struct Worker {
    HANDLE thread;
    void (*work)(void*);
    void* context;
};

namespace {

DWORD WINAPI run_worker(void* worker) {
    auto* w = static_cast<Worker*>(worker);
    w->work(w->context);
    return 0;
}

}  // namespace

Worker* start_worker(void (*work)(void*), void* context) {
    auto* worker = static_cast<Worker*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Worker)));
    if (worker == nullptr) return nullptr;
    worker->work = work;
    worker->context = context;
    worker->thread = CreateThread(nullptr, 0, run_worker, worker, 0, nullptr);
    if (worker->thread == nullptr) {
        HeapFree(GetProcessHeap(), 0, worker);
        return nullptr;
    }
    return worker;
}

void join_worker(Worker* worker) {
    if (worker == nullptr) return;
    WaitForSingleObject(worker->thread, INFINITE);
    CloseHandle(worker->thread);
    HeapFree(GetProcessHeap(), 0, worker);
}

struct Gate {
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
};

Gate* open_gate() {
    auto* gate = static_cast<Gate*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Gate)));
    if (gate == nullptr) return nullptr;
    InitializeSRWLock(&gate->lock);
    InitializeConditionVariable(&gate->changed);
    return gate;
}

void close_gate(Gate* gate) {
    if (gate != nullptr) HeapFree(GetProcessHeap(), 0, gate);
}

// The value is looked at under the lock that wake_waiters takes after the
// change, so a change made between the look and the wait still wakes.
void wait_for_change(Gate* gate, const std::atomic<uint32_t>* value, uint32_t old) {
    AcquireSRWLockExclusive(&gate->lock);
    while (value->load(std::memory_order_acquire) == old) {
        SleepConditionVariableSRW(&gate->changed, &gate->lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&gate->lock);
}

void wake_waiters(Gate* gate) {
    AcquireSRWLockExclusive(&gate->lock);
    ReleaseSRWLockExclusive(&gate->lock);
    WakeAllConditionVariable(&gate->changed);
}

void* hook_alloc(size_t size) {
    void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    if (block != nullptr) {
        ++live_hook_blocks;
    } else {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // the heap says nothing of its own
    }
    return block;
}

void* hook_realloc(void* block, size_t size) {
    if (block == nullptr) return hook_alloc(size);
    void* grown = HeapReAlloc(GetProcessHeap(), 0, block, size ? size : 1);
    if (grown == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return grown;
}

void hook_free(void* block) {
    if (block == nullptr) return;
    --live_hook_blocks;
    HeapFree(GetProcessHeap(), 0, block);
}

uint64_t hook_live_blocks() { return live_hook_blocks; }

bool console_can_ask() {
    return is_console(GetStdHandle(STD_INPUT_HANDLE)) && is_console(GetStdHandle(STD_OUTPUT_HANDLE));
}

bool read_console_line(char* out, size_t capacity) {
    // The console's line editing gives the line whole, "\r\n" included; a
    // line longer than the buffer comes in several reads.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    wchar_t wide[256];
    size_t length = 0;
    bool got = false;
    for (;;) {
        DWORD count = 0;
        if (!ReadConsoleW(in, wide, sizeof wide / sizeof wide[0], &count, nullptr) || count == 0) break;
        got = true;
        DWORD used = count;
        bool line_end = false;
        for (DWORD i = 0; i < count; ++i) {
            if (wide[i] == L'\r' || wide[i] == L'\n') {
                used = i;
                line_end = true;
                break;
            }
        }
        if (capacity > 0) length += utf8_from_utf16(wide, used, out + length, capacity - 1 - length);
        if (line_end) break;
    }
    if (capacity > 0) out[length] = 0;
    return got;
}

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

void start_process() {}

void exit_process(Status status) {
    // Started from Explorer, the window would close before anyone could
    // read what hmap printed.
    if (console_is_ours()) {
        console_printf("Press any key to close this window.\r\n");
        wait_for_key();
    }
    ExitProcess(status);
}
