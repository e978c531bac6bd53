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

// Writes straight into a device or pipe, as nothing can be renamed over it.
bool write_direct(const char* path, const uint8_t* bytes, uint64_t count) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (!write_all(file, bytes, count)) {
        close_keeping_error(file);
        return false;
    }
    CloseHandle(file);
    return true;
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

bool read_file_whole(const char* path, FileBytes* out) {
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
    uint8_t* data = allocate_buffer(size);
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

bool write_file_whole(const char* path, const uint8_t* bytes, uint64_t count) {
    DWORD attributes = GetFileAttributesA(path);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) {
        // Devices such as NUL have no attributes on some systems; let the
        // type check below decide.
        DWORD error = GetLastError();
        if (is_disk_file(path)) {
            SetLastError(error);
            return false;
        }
        return write_direct(path, bytes, count);
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (exists && !is_disk_file(path)) return write_direct(path, bytes, count);
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }

    // The temporary file sits in the target's folder, so the move stays on
    // one volume.
    size_t dir_length = 0;
    for (size_t i = 0; path[i] != 0; ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':') dir_length = i + 1;
    // Room for the longest folder a path can have and the temporary name
    // with its terminator; the system says whether the result is too long.
    static const char temp_pattern[] = "~hmap00000000.tmp";
    char temp[MAX_PATH + sizeof temp_pattern];
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        if (dir_length + sizeof temp_pattern > sizeof temp) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        CopyMemory(temp, path, dir_length);
        wsprintfA(temp + dir_length, "~hmap%08X.tmp", static_cast<unsigned>(seed + attempt * 7919u));
        file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (file == INVALID_HANDLE_VALUE) return false;

    bool ok = write_all(file, bytes, count) && FlushFileBuffers(file);
    if (!ok) {
        close_keeping_error(file);
    } else {
        ok = CloseHandle(file) &&
             MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (!ok) {
        DWORD saved = GetLastError();
        DeleteFileA(temp);
        SetLastError(saved);
        return false;
    }
    if (exists) {
        // Keep the file's own attributes (hidden, archive, ...).
        SetFileAttributesA(path, attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                               FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
    }
    SetLastError(ERROR_SUCCESS);
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
