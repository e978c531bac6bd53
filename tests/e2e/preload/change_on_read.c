/* Loaded into hmap by the end-to-end tests (LD_PRELOAD): the first read()
 * of the file whose name ends in $HMAP_CHANGE_ON_READ changes that file, as
 * another program writing it at that moment would. $HMAP_CHANGE_HOW says
 * how: "append" adds a byte, "overwrite" changes its first byte in place
 * (the length stays; the time it was last written moves on).
 * With $HMAP_KEEP_TEMPORARY set, removing a file whose name starts with
 * ".hmap-" fails with EACCES, as in a folder that turned read-only. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static int changed;

static int names_the_file(int fd, const char *suffix) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = 0;
    size_t length = strlen(suffix);
    return (size_t)n >= length && strcmp(path + n - length, suffix) == 0;
}

ssize_t read(int fd, void *buffer, size_t count) {
    static ssize_t (*real_read)(int, void *, size_t);
    if (real_read == NULL) real_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    const char *suffix = getenv("HMAP_CHANGE_ON_READ");
    if (!changed && suffix != NULL && names_the_file(fd, suffix)) {
        changed = 1;
        const char *how = getenv("HMAP_CHANGE_HOW");
        int append = how == NULL || strcmp(how, "append") == 0;
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        int other = open(link, O_WRONLY | (append ? O_APPEND : 0));
        if (other >= 0) {
            /* Straight to the system, past anything else that wraps write(). */
            if (syscall(SYS_write, other, "X", 1) != 1) abort();
            close(other);
        }
    }
    return real_read(fd, buffer, count);
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
