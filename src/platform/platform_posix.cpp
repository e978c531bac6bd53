// POSIX implementation of the platform services: errno is the last error
// code, strerror its text, the C heap the memory.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char message_buffer[4096];
constexpr size_t format_limit = 1024;  // as the Windows formatter: 1023 characters and the terminator
uint64_t live_hook_blocks = 0;

void write_stdout(const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t n = write(1, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a message that cannot be written is lost
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

bool write_all(int fd, const uint8_t* bytes, uint64_t count) {
    while (count > 0) {
        size_t step = count > (1u << 30) ? (1u << 30) : static_cast<size_t>(count);
        ssize_t n = write(fd, bytes, step);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        bytes += n;
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

// Closes fd without letting close() change errno.
void close_keeping_error(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// Writes straight into a device or pipe, as nothing can be renamed over it.
bool write_direct(const char* path, const uint8_t* bytes, uint64_t count) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (!write_all(fd, bytes, count)) {
        close_keeping_error(fd);
        return false;
    }
    return close(fd) == 0;
}

}  // namespace

void console_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message_buffer, format_limit, format, args);
    va_end(args);
    if (n < 0) return;
    size_t length = static_cast<size_t>(n) < format_limit ? static_cast<size_t>(n) : format_limit - 1;
    write_stdout(message_buffer, length);
}

void report_system_error(uint32_t code) {
    const char* text = strerror(static_cast<int>(code));
    size_t length = strnlen(text, sizeof message_buffer - 1);
    memcpy(message_buffer, text, length);
    write_stdout(message_buffer, length);
    write_stdout("\r\n", 2);
}

Status report_file_failure(const char* path) {
    uint32_t code = last_error_code();
    if (code == 0) code = EIO;  // a failure is never reported as success
    console_printf("%s > Error: ", path);
    report_system_error(code);
    return code;
}

uint32_t last_error_code() { return static_cast<uint32_t>(errno); }

void set_last_error_code(uint32_t code) { errno = static_cast<int>(code); }

bool read_file_whole(const char* path, FileBytes* out) {
    out->data = nullptr;
    out->size = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close_keeping_error(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return false;
    }
    if (st.st_size <= 0) {
        close(fd);
        errno = ENODATA;  // an empty file has nothing to offer; say so
        return false;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    uint8_t* data = allocate_buffer(size);
    if (data == nullptr) {
        close_keeping_error(fd);
        return false;
    }
    uint64_t got = 0;
    while (got < size) {
        size_t step = size - got > (1u << 30) ? (1u << 30) : static_cast<size_t>(size - got);
        ssize_t n = read(fd, data + got, step);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close_keeping_error(fd);
            release_buffer(data);
            return false;
        }
        if (n == 0) break;  // the file shrank while we read it: keep what came
        got += static_cast<uint64_t>(n);
    }
    close(fd);
    if (got == 0) {
        release_buffer(data);
        errno = ENODATA;
        return false;
    }
    out->data = data;
    out->size = got;
    return true;
}

bool write_file_whole(const char* path, const uint8_t* bytes, uint64_t count) {
    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) return write_direct(path, bytes, count);
    // A read-only file stays protected, as it would against an in-place write.
    if (exists && access(path, W_OK) != 0) return false;

    // Replace the file a symbolic link points at, not the link itself.
    char resolved[PATH_MAX];
    const char* target = path;
    struct stat lst;
    if (exists && lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (realpath(path, resolved) == nullptr) return false;
        target = resolved;
    }

    // The temporary file sits in the target's folder, so the rename stays on
    // one file system.
    const char* slash = strrchr(target, '/');
    size_t dir_length = slash ? static_cast<size_t>(slash - target) + 1 : 0;
    static const char temp_name[] = ".hmap-XXXXXX";
    char temp[PATH_MAX];
    if (dir_length + sizeof temp_name > sizeof temp) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(temp, target, dir_length);
    memcpy(temp + dir_length, temp_name, sizeof temp_name);
    int fd = mkstemp(temp);
    if (fd < 0) return false;

    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, bytes, count) && fsync(fd) == 0;
    if (!ok) {
        close_keeping_error(fd);
    } else {
        ok = close(fd) == 0 && rename(temp, target) == 0;
    }
    if (!ok) {
        int saved = errno;
        unlink(temp);
        errno = saved;
        return false;
    }
    errno = 0;
    return true;
}

// Whole files and images are tens of megabytes, taken and released a few
// times per run (an import reads two PNGs, each decoded through buffers of the
// same sizes). By default glibc maps each such block afresh and unmaps it on
// release, so every reuse pays one page fault per 4 KiB again; keeping them
// on the heap lets the second PNG reuse the first one's pages.
void keep_large_blocks_on_the_heap() {
    static bool done = false;
    if (done) return;
    done = true;
    mallopt(M_MMAP_MAX, 0);
}

uint8_t* allocate_buffer(uint64_t size) {
    keep_large_blocks_on_the_heap();
    if (size == 0) size = 1;
    if (size > SIZE_MAX / 2) {
        errno = ENOMEM;
        return nullptr;
    }
    // glibc serves blocks this large with mmap: untouched pages cost nothing.
    void* block = malloc(static_cast<size_t>(size));
    if (block == nullptr) errno = ENOMEM;
    return static_cast<uint8_t*>(block);
}

void release_buffer(void* buffer) { free(buffer); }

void* hook_alloc(size_t size) {
    keep_large_blocks_on_the_heap();
    void* block = malloc(size ? size : 1);
    if (block != nullptr) ++live_hook_blocks;
    return block;
}

void* hook_realloc(void* block, size_t size) {
    if (block == nullptr) return hook_alloc(size);
    return realloc(block, size ? size : 1);
}

void hook_free(void* block) {
    if (block == nullptr) return;
    --live_hook_blocks;
    free(block);
}

uint64_t hook_live_blocks() { return live_hook_blocks; }

const char* platform_command_line() { return nullptr; }

void exit_process(Status status) {
    // POSIX keeps only the low 8 bits; never let a failure wrap to 0.
    int code = static_cast<int>(status & 0xFF);
    if (status != 0 && code == 0) code = 1;
    exit(code);  // exit, not _exit: the leak checker runs at exit
}
