/* Loaded into hmap by the end-to-end tests (LD_PRELOAD): the first read()
 * or mmap() of the file whose name ends in $HMAP_CHANGE_ON_READ changes that
 * file, as another program writing it at that moment would (after a mapping
 * is made, before a read). $HMAP_CHANGE_HOW says
 * how: "append" adds a byte, "overwrite" changes its first byte in place
 * (the length stays; the time it was last written moves on), "cut" cuts it
 * to 40 bytes (a mapping's pages past them fault when touched).
 * With $HMAP_CHANGE_WHEN set, the change waits until hmap opens a file of
 * that name (an output about to be written, in any folder): the input has
 * been read and checked by then, and is read again while the output is made.
 * Two more hows touch no file: "unreadable" makes the first mapping fault
 * wherever it is touched, as a disk that fails to read those pages would
 * (the file stays as it was), and "signal" sends hmap a SIGBUS, as
 * `kill -BUS` from another program would, when it first writes to a
 * regular file (an output, the file mapped meanwhile).
 * With $HMAP_KEEP_TEMPORARY set, removing a file whose name starts with
 * ".hmap-" fails with EACCES, as in a folder that turned read-only. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static int changed;
static int waiting_fd = -1; /* the file to change once the output is opened */

static int ends_with(const char *path, const char *suffix) {
    size_t n = strlen(path), length = strlen(suffix);
    return n >= length && strcmp(path + n - length, suffix) == 0;
}

static int names_the_file(int fd, const char *suffix) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = 0;
    return ends_with(path, suffix);
}

static int is_how(const char *name) {
    const char *how = getenv("HMAP_CHANGE_HOW");
    return how != NULL && strcmp(how, name) == 0;
}

static void change_now(int fd) {
    changed = 1;
    const char *how = getenv("HMAP_CHANGE_HOW");
    int append = how == NULL || strcmp(how, "append") == 0;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (is_how("cut")) {
        if (truncate(link, 40) != 0) abort();
        return;
    }
    int other = open(link, O_WRONLY | (append ? O_APPEND : 0));
    if (other >= 0) {
        /* Straight to the system, past anything else that wraps write(). */
        if (syscall(SYS_write, other, "X", 1) != 1) abort();
        close(other);
    }
}

/* The first read or mapping of the file, when it is the one to change. */
static int first_use(int fd) {
    const char *suffix = getenv("HMAP_CHANGE_ON_READ");
    if (changed || waiting_fd >= 0 || suffix == NULL || !names_the_file(fd, suffix)) return 0;
    if (getenv("HMAP_CHANGE_WHEN") != NULL) {
        waiting_fd = fd;
        return 0;
    }
    return 1;
}

ssize_t write(int fd, const void *buffer, size_t count) {
    static ssize_t (*real_write)(int, const void *, size_t);
    if (real_write == NULL) real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    struct stat st;
    if (!changed && waiting_fd >= 0 && is_how("signal") && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        changed = 1;
        kill(getpid(), SIGBUS);
    }
    return real_write(fd, buffer, count);
}

ssize_t read(int fd, void *buffer, size_t count) {
    static ssize_t (*real_read)(int, void *, size_t);
    if (real_read == NULL) real_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    if (!is_how("unreadable") && !is_how("signal") && first_use(fd)) change_now(fd);
    return real_read(fd, buffer, count);
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    static void *(*real_mmap)(void *, size_t, int, int, int, off_t);
    if (real_mmap == NULL) real_mmap = (void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
    void *mapped = real_mmap(address, length, protection, flags, fd, offset);
    if (mapped == MAP_FAILED || fd < 0 || !first_use(fd)) return mapped;
    if (is_how("unreadable")) {
        /* An empty file's pages in place of the file's: each touch faults
         * with the bus error a failed read gives. */
        changed = 1;
        int empty = (int)syscall(SYS_memfd_create, "unreadable", 0);
        if (empty < 0 || real_mmap(mapped, length, protection, MAP_PRIVATE | MAP_FIXED, empty, 0) != mapped) abort();
        close(empty);
    } else if (is_how("signal")) {
        waiting_fd = fd; /* the signal comes at the first write */
    } else {
        change_now(fd);
    }
    return mapped;
}

static void opening(const char *path) {
    const char *when = getenv("HMAP_CHANGE_WHEN");
    const char *slash = strrchr(path, '/');
    if (!changed && waiting_fd >= 0 && when != NULL && strcmp(slash ? slash + 1 : path, when) == 0) {
        change_now(waiting_fd);
    }
}

/* open() and open64(), one and the same on 64-bit systems, either of which
 * a build may call. */
static int open_as(const char *name, const char *path, int flags, va_list args) {
    int (*real_open)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, name);
    mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
    opening(path);
    return real_open(path, flags, mode);
}

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = open_as("open", path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = open_as("open64", path, flags, args);
    va_end(args);
    return fd;
}

int unlink(const char *path) {
    static int (*real_unlink)(const char *);
    if (real_unlink == NULL) real_unlink = (int (*)(const char *))dlsym(RTLD_NEXT, "unlink");
    const char *slash = strrchr(path, '/');
    if (getenv("HMAP_KEEP_TEMPORARY") != NULL && strncmp(slash ? slash + 1 : path, ".hmap-", 6) == 0) {
        errno = EACCES;
        return -1;
    }
    return real_unlink(path);
}
