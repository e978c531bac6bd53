// Win32 implementation of the platform services, on kernel32 and user32.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform.h"

#include <cstdarg>

namespace {

char message_buffer[4096];
uint64_t live_hook_blocks = 0;
constexpr DWORD io_step = 1u << 30;  // ReadFile and WriteFile take 32-bit counts

void write_stdout(const char* bytes, DWORD count) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, count, &written, nullptr);
}

bool write_all(HANDLE file, const uint8_t* bytes, uint64_t count) {
    while (count > 0) {
        DWORD step = count > io_step ? io_step : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(file, bytes, step, &written, nullptr)) return false;
        if (written != step) {
            if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_WRITE_FAULT);
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

// Tells whether an existing path is a disk file; devices (NUL, CON, COM1)
// and pipes are not.
bool is_disk_file(const char* path) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return true;
    DWORD type = GetFileType(file);
    CloseHandle(file);
    return type == FILE_TYPE_DISK;
}

}  // namespace

void console_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(message_buffer, format, args);
    va_end(args);
    if (n > 0) write_stdout(message_buffer, static_cast<DWORD>(n));
}

void report_system_error(uint32_t code) {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             message_buffer, sizeof message_buffer, nullptr);
    if (n > 0) write_stdout(message_buffer, n);
    write_stdout("\r\n", 2);
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
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        close_keeping_error(file);
        return false;
    }
    uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
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

struct FileWrite {
    HANDLE file;
    bool direct;       // a device or pipe, written straight into
    bool exists;       // the target existed: its attributes are kept
    DWORD attributes;
    uint64_t size;     // bytes announced
    uint64_t written;  // bytes written so far
    char target[MAX_PATH];
    // Room for the longest folder a path can have and the temporary name
    // with its terminator; the system says whether the result is too long.
    char temp[MAX_PATH + 18];
};

namespace {

FileWrite* new_file_write(uint64_t size) {
    FileWrite* w = static_cast<FileWrite*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FileWrite)));
    if (w == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    w->file = INVALID_HANDLE_VALUE;
    w->size = size;
    return w;
}

void free_file_write(FileWrite* w) {
    DWORD saved = GetLastError();
    HeapFree(GetProcessHeap(), 0, w);
    SetLastError(saved);
}

// Opens a device or pipe to be written straight into, as nothing can be
// renamed over it.
FileWrite* begin_direct_write(FileWrite* w, const char* path) {
    w->direct = true;
    w->file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (w->file == INVALID_HANDLE_VALUE) {
        free_file_write(w);
        return nullptr;
    }
    return w;
}

}  // namespace

FileWrite* begin_file_write(const char* path, uint64_t size) {
    FileWrite* w = new_file_write(size);
    if (w == nullptr) return nullptr;
    DWORD attributes = GetFileAttributesA(path);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) {
        // Devices such as NUL have no attributes on some systems; let the
        // type check decide.
        DWORD error = GetLastError();
        if (is_disk_file(path)) {
            SetLastError(error);
            free_file_write(w);
            return nullptr;
        }
        return begin_direct_write(w, path);
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        free_file_write(w);
        return nullptr;
    }
    if (exists && !is_disk_file(path)) return begin_direct_write(w, path);
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        free_file_write(w);
        return nullptr;
    }
    w->exists = exists;
    w->attributes = attributes;
    if (lstrlenA(path) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        free_file_write(w);
        return nullptr;
    }
    lstrcpyA(w->target, path);

    // The temporary file sits in the target's folder, so the move stays on
    // one volume.
    size_t dir_length = 0;
    for (size_t i = 0; path[i] != 0; ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':') dir_length = i + 1;
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100 && w->file == INVALID_HANDLE_VALUE; ++attempt) {
        CopyMemory(w->temp, path, dir_length);
        wsprintfA(w->temp + dir_length, "~hmap%08X.tmp", static_cast<unsigned>(seed + attempt * 7919u));
        w->file = CreateFileA(w->temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (w->file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (w->file == INVALID_HANDLE_VALUE) {
        w->temp[0] = 0;
        free_file_write(w);
        return nullptr;
    }
    return w;
}

bool write_file_part(FileWrite* w, const uint8_t* bytes, uint64_t count) {
    if (count > w->size - w->written) {
        SetLastError(ERROR_INVALID_PARAMETER);  // more than announced
        return false;
    }
    if (!write_all(w->file, bytes, count)) return false;
    w->written += count;
    return true;
}

bool finish_file_write(FileWrite* w) {
    bool ok = true;
    if (w->written != w->size) {
        SetLastError(ERROR_INVALID_PARAMETER);  // less than announced
        ok = false;
    } else if (w->direct) {
        ok = CloseHandle(w->file);
        w->file = INVALID_HANDLE_VALUE;
    } else {
        ok = FlushFileBuffers(w->file);
        if (ok) {
            ok = CloseHandle(w->file);
            w->file = INVALID_HANDLE_VALUE;
        }
        ok = ok && MoveFileExA(w->temp, w->target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (ok) {
            w->temp[0] = 0;
            if (w->exists) {
                // Keep the file's own attributes (hidden, archive, ...).
                SetFileAttributesA(w->target, w->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                               FILE_ATTRIBUTE_ARCHIVE |
                                                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
            }
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
    if (w->file != INVALID_HANDLE_VALUE) CloseHandle(w->file);
    if (!w->direct && w->temp[0] != 0) DeleteFileA(w->temp);
    SetLastError(saved);
    free_file_write(w);
}

namespace {

// The volume and file index that tell one file from every other.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

const char* platform_command_line() { return GetCommandLineA(); }

void exit_process(Status status) { ExitProcess(status); }
