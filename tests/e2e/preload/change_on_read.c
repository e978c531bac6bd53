/* Loaded into hmap by the end-to-end tests (LD_PRELOAD): the first read()
 * or mmap() of the file whose name ends in $HMAP_CHANGE_ON_READ changes that
 * file, as another program writing it at that moment would (after a mapping
 * is made, before a read). $HMAP_CHANGE_HOW says
 * how: "append" adds a byte, "overwrite" changes its first byte in place
 * (the length stays; the time it was last written moves on), "cut" cuts it
 * to 40 bytes (a mapping's pages past them fault when touched).
 * With $HMAP_CHANGE_AT set, the change comes instead at the first read or
 * mapping of the file whose name ends in that: after the changed file was
 * read, while hmap works on what it read.
 * With $HMAP_KEEP_TEMPORARY set, removing a file whose name starts with
 * ".hmap-" fails with EACCES, as in a folder that turned read-only. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
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

static void change_once(int fd) {
    const char *suffix = getenv("HMAP_CHANGE_ON_READ");
    const char *at = getenv("HMAP_CHANGE_AT");
    if (!changed && suffix != NULL && names_the_file(fd, at != NULL ? at : suffix)) {
        changed = 1;
        const char *how = getenv("HMAP_CHANGE_HOW");
        int append = how == NULL || strcmp(how, "append") == 0;
        /* The changed file by its name, from the folder hmap runs in. */
        char link[4096];
        if (at != NULL) snprintf(link, sizeof link, "%s", suffix + (suffix[0] == '/'));
        else snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (how != NULL && strcmp(how, "cut") == 0) {
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
}

ssize_t read(int fd, void *buffer, size_t count) {
    static ssize_t (*real_read)(int, void *, size_t);
    if (real_read == NULL) real_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    change_once(fd);
    return real_read(fd, buffer, count);
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    static void *(*real_mmap)(void *, size_t, int, int, int, off_t);
    if (real_mmap == NULL) real_mmap = (void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
    void *mapped = real_mmap(address, length, protection, flags, fd, offset);
    if (mapped != MAP_FAILED && fd >= 0) change_once(fd);
    return mapped;
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
