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
// As on Windows: the whole buffer, so that a message naming three paths of
// 259 characters, 3 bytes each in UTF-8, is never cut.
constexpr size_t format_limit = sizeof message_buffer;
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

struct FileWrite {
    int fd;
    bool direct;        // a device or pipe, written straight into
    uint64_t size;      // bytes announced
    uint64_t written;   // bytes written so far
    char target[PATH_MAX];  // the file replaced (a symbolic link resolved)
    char temp[PATH_MAX];    // the temporary file beside it
};

FileWrite* begin_file_write(const char* path, uint64_t size) {
    FileWrite* w = static_cast<FileWrite*>(calloc(1, sizeof(FileWrite)));
    if (w == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    w->fd = -1;
    w->size = size;
    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (!exists && errno != ENOENT) {
        free(w);
        return nullptr;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        free(w);
        errno = EISDIR;
        return nullptr;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // Nothing can be renamed over a device or pipe: write into it.
        w->direct = true;
        w->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (w->fd < 0) {
            free(w);
            return nullptr;
        }
        return w;
    }
    // A read-only file stays protected, as it would against an in-place write.
    if (exists && access(path, W_OK) != 0) {
        free(w);
        return nullptr;
    }

    // Replace the file a symbolic link points at, not the link itself.
    size_t path_length = strlen(path);
    if (path_length >= sizeof w->target) {
        free(w);
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(w->target, path, path_length + 1);
    struct stat lst;
    if (exists && lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode) && realpath(path, w->target) == nullptr) {
        int saved = errno;
        free(w);
        errno = saved;
        return nullptr;
    }

    // The temporary file sits in the target's folder, so the rename stays on
    // one file system.
    const char* slash = strrchr(w->target, '/');
    size_t dir_length = slash ? static_cast<size_t>(slash - w->target) + 1 : 0;
    static const char temp_name[] = ".hmap-XXXXXX";
    if (dir_length + sizeof temp_name > sizeof w->temp) {
        free(w);
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(w->temp, w->target, dir_length);
    memcpy(w->temp + dir_length, temp_name, sizeof temp_name);
    w->fd = mkstemp(w->temp);
    if (w->fd < 0) {
        int saved = errno;
        free(w);
        errno = saved;
        return nullptr;
    }
    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(w->fd, mode) != 0) {
        abandon_file_write(w);
        return nullptr;
    }
    return w;
}

bool write_file_part(FileWrite* w, const uint8_t* bytes, uint64_t count) {
    if (count > w->size - w->written) {
        errno = EINVAL;  // more than announced
        return false;
    }
    if (!write_all(w->fd, bytes, count)) return false;
    w->written += count;
    return true;
}

bool finish_file_write(FileWrite* w) {
    bool ok = true;
    if (w->written != w->size) {
        errno = EINVAL;  // less than announced
        ok = false;
    } else if (w->direct) {
        ok = close(w->fd) == 0;
        w->fd = -1;
    } else {
        ok = fsync(w->fd) == 0;
        if (ok) {
            ok = close(w->fd) == 0;
            w->fd = -1;
        }
        ok = ok && rename(w->temp, w->target) == 0;
        if (ok) w->temp[0] = 0;
    }
    if (!ok) {
        abandon_file_write(w);
        return false;
    }
    free(w);
    errno = 0;
    return true;
}

void abandon_file_write(FileWrite* w) {
    int saved = errno;
    if (w->fd >= 0) close(w->fd);
    if (!w->direct && w->temp[0] != 0) unlink(w->temp);
    free(w);
    errno = saved;
}

bool same_file(const char* a, const char* b) {
    int saved = errno;
    struct stat sa, sb;
    bool same = stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    errno = saved;
    return same;
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
