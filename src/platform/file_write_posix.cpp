// Writing files on POSIX: the steps of file_write.h with file descriptors,
// rename, extended attributes, open-file-description locks and signals.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "file_write.h"

const uint32_t error_code_invalid_request = EINVAL;
const uint32_t error_code_out_of_memory = ENOMEM;

struct SystemWrite {
    int fd;
    int scratch;              // the parts of a write in place, when they are kept in a file; -1 when not
    SystemWrite* next_armed;  // the next temporary file to remove on a signal
    struct stat old;        // the existing file, from open_existing
    char target[PATH_MAX];  // the file written (at the end of its links)
    char temp[PATH_MAX];    // the temporary file beside it, "" when there is none
};

namespace {

// ---- Signals ----

// Every signal whose default action ends the process, but for those that
// report a fault of the program itself (SIGSEGV, SIGBUS, ...), and SIGPIPE
// and SIGXFSZ, which are ignored so that the write fails with EPIPE or EFBIG
// and is reported. A watched signal removes every temporary file in progress
// ("armed") and then ends the process as it would have. The list of armed
// writes changes only while the signals are held, so the handler never sees
// it half changed; the paths it removes were written before the files
// existed.
constexpr int ending_signals[] = {SIGHUP,  SIGINT, SIGQUIT,   SIGTERM, SIGALRM, SIGUSR1, SIGUSR2,
                                  SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL,
#ifdef SIGPWR
                                  SIGPWR,
#endif
#ifdef SIGSTKFLT
                                  SIGSTKFLT,
#endif
};
SystemWrite* armed_writes = nullptr;
volatile sig_atomic_t hold_depth = 0;
// A signal that no mask may hold (see end_for_sent_signal) that came while
// the others were held: it ends the process at their release.
volatile sig_atomic_t held_signal = 0;
sigset_t mask_before_hold;

// The ending signals, the real-time ones (whose default ends the process
// too) included.
void fill_ending_set(sigset_t* set) {
    sigemptyset(set);
    for (int s : ending_signals) sigaddset(set, s);
#ifdef SIGRTMIN
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(set, s);
#endif
}

extern "C" void remove_temporaries_and_end(int signal_number) {
    for (SystemWrite* w = armed_writes; w != nullptr; w = w->next_armed) unlink(w->temp);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    // Held until this handler returns; then it ends the process with the
    // status the shell expects (130 for Ctrl+C).
    raise(signal_number);
}

void arm(SystemWrite* w) {
    w->next_armed = armed_writes;
    armed_writes = w;
}

// Called with the ending signals held.
void disarm(SystemWrite* w) {
    for (SystemWrite** p = &armed_writes; *p != nullptr; p = &(*p)->next_armed) {
        if (*p == w) {
            *p = w->next_armed;
            return;
        }
    }
}

// ---- Files ----

// Follows the chain of symbolic links at `path` to the file at its end,
// which need not exist: a dangling link names the file to create, as shell
// redirection has it. A relative link is taken from the link's own folder.
bool follow_links(const char* path, char* out) {
    size_t length = strlen(path);
    if (length >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(out, path, length + 1);
    for (int hops = 0;; ++hops) {
        char link[PATH_MAX];
        ssize_t n = readlink(out, link, sizeof link - 1);
        if (n < 0) return errno == EINVAL || errno == ENOENT;  // not a link, or nothing there
        if (hops == 40) {
            errno = ELOOP;
            return false;
        }
        link[n] = 0;
        const char* slash = strrchr(out, '/');
        size_t folder = link[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - out) + 1;
        if (folder + static_cast<size_t>(n) >= PATH_MAX) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(out + folder, link, static_cast<size_t>(n) + 1);
    }
}

// True when `path` is a mount point of its own (a bind-mounted file), which
// no rename may replace.
bool is_mount_root(const char* path) {
#ifdef STATX_ATTR_MOUNT_ROOT
    struct statx sx;
    return statx(AT_FDCWD, path, 0, 0, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#else
    (void)path;
    return false;
#endif
}

constexpr size_t attribute_limit = 65536;  // the kernel's limit on a name list and on one value

// The NUL-separated names of fd's extended attributes; a file system without
// them has none. -1 on failure.
ssize_t list_attributes(int fd, char* names) {
    ssize_t n = flistxattr(fd, names, attribute_limit);
    return n < 0 && errno == ENOTSUP ? 0 : n;
}

bool has_name(const char* names, ssize_t length, const char* name) {
    for (const char* p = names; p < names + length; p += strlen(p) + 1) {
        if (strcmp(p, name) == 0) return true;
    }
    return false;
}

// Gives `to` exactly the extended attributes of `from` (ACLs and security
// labels are attributes too): copies each, and removes what `to` has and
// `from` lacks (an ACL inherited from the folder's default ACL). False when
// one cannot be read, given or removed.
bool copy_attributes(int from, int to) {
    char* block = static_cast<char*>(malloc(3 * attribute_limit));
    if (block == nullptr) return false;
    char* from_names = block;
    char* to_names = block + attribute_limit;
    char* value = block + 2 * attribute_limit;
    ssize_t from_length = list_attributes(from, from_names);
    ssize_t to_length = from_length < 0 ? -1 : list_attributes(to, to_names);
    bool ok = from_length >= 0 && to_length >= 0;
    for (const char* name = from_names; ok && name < from_names + from_length; name += strlen(name) + 1) {
        ssize_t n = fgetxattr(from, name, value, attribute_limit);
        ok = n >= 0 && fsetxattr(to, name, value, static_cast<size_t>(n), 0) == 0;
    }
    for (const char* name = to_names; ok && name < to_names + to_length; name += strlen(name) + 1) {
        if (!has_name(from_names, from_length, name)) ok = fremovexattr(to, name) == 0 || errno == ENODATA;
    }
    free(block);
    return ok;
}

// Gives the temporary file the old file's owner, group, permission bits and
// extended attributes. False when any of them cannot be given.
bool take_identity(int temp_fd, int old_fd, const struct stat& old) {
    struct stat now;
    if (fstat(temp_fd, &now) != 0) return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(temp_fd, old.st_uid, old.st_gid) != 0) {
        return false;
    }
    // After fchown, which may clear set-user-ID and set-group-ID bits.
    if (fchmod(temp_fd, old.st_mode & 07777) != 0 || !copy_attributes(old_fd, temp_fd)) return false;
    // The system may drop what it does not let this process give (a
    // set-group-ID bit for a group it is not in).
    return fstat(temp_fd, &now) == 0 && now.st_uid == old.st_uid && now.st_gid == old.st_gid &&
           (now.st_mode & 07777) == (old.st_mode & 07777);
}

// Closes and removes the temporary file; keeps errno. False when it stays.
bool discard_temporary(SystemWrite* w) {
    int saved = errno;
    if (w->fd >= 0) close(w->fd);
    w->fd = -1;
    hold_ending_events();
    const bool removed = unlink(w->temp) == 0 || errno == ENOENT;
    disarm(w);
    release_ending_events();
    errno = saved;
    return removed;
}

bool write_all(int fd, const uint8_t* bytes, uint64_t count) {
    for (uint64_t left = count; left > 0;) {
        size_t step = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
        ssize_t n = write(fd, bytes, step);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        bytes += n;
        left -= static_cast<uint64_t>(n);
    }
    return true;
}

// The folder a path lies in, for flushing: "." for a bare name.
void folder_of(const char* path, char* out) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        strcpy(out, ".");
    } else if (slash == path) {
        strcpy(out, "/");
    } else {
        memcpy(out, path, static_cast<size_t>(slash - path));
        out[slash - path] = 0;
    }
}

}  // namespace

void watch_ending_events() {
    static bool done = false;
    if (done) return;
    done = true;
    sigset_t set;
    fill_ending_set(&set);
    for (int s = 1; s < NSIG; ++s) {
        if (sigismember(&set, s) != 1) continue;
        struct sigaction old;
        // A signal ignored on purpose (nohup, a background job) stays ignored.
        if (sigaction(s, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = remove_temporaries_and_end;
        action.sa_mask = set;
        sigaction(s, &action, nullptr);
    }
}

void hold_ending_events() {
    if (hold_depth > 0) {
        hold_depth = hold_depth + 1;
        return;
    }
    sigset_t set;
    fill_ending_set(&set);
    sigprocmask(SIG_BLOCK, &set, &mask_before_hold);
    hold_depth = 1;
}

void release_ending_events() {
    hold_depth = hold_depth - 1;
    if (hold_depth > 0) return;
    int saved = errno;
    sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr);
    if (held_signal != 0) remove_temporaries_and_end(held_signal);
    errno = saved;
}

void end_for_sent_signal(int signal_number) {
    if (hold_depth > 0) {
        held_signal = signal_number;
        return;
    }
    remove_temporaries_and_end(signal_number);
}

bool link_end(const char* path, char* out, size_t capacity) {
    char end[PATH_MAX];
    if (!follow_links(path, end)) return false;
    const size_t length = strlen(end);
    if (length >= capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(out, end, length + 1);
    return true;
}

SystemWrite* look_at_target(const char* path, TargetKind* kind) {
    if (path[0] == 0) {
        errno = ENOENT;  // an empty path names no file: nothing is made
        return nullptr;
    }
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    if (!exists && errno != ENOENT) return nullptr;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    auto* w = static_cast<SystemWrite*>(calloc(1, sizeof(SystemWrite)));
    if (w == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    w->fd = -1;
    w->scratch = -1;
    *kind = !exists ? TargetKind::missing : S_ISREG(st.st_mode) ? TargetKind::regular : TargetKind::device;
    // A symbolic link stays a link: the file at the end of its chain is
    // replaced, or created when the link dangles. A device is opened as named.
    bool named = true;
    if (*kind != TargetKind::device) {
        named = follow_links(path, w->target);
    } else if (strlen(path) < sizeof w->target) {
        strcpy(w->target, path);
    } else {
        errno = ENAMETOOLONG;
        named = false;
    }
    if (!named) {
        free_system_write(w);
        return nullptr;
    }
    return w;
}

bool open_direct(SystemWrite* w) {
    w->fd = open(w->target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return w->fd >= 0;
}

bool open_existing(SystemWrite* w, uint64_t* old_size, bool* replaceable) {
    // Opening the file for writing is the test of whether it may be written
    // (a read-only file stays as it is), whichever way it is then written.
    w->fd = open(w->target, O_WRONLY | O_CLOEXEC);
    if (w->fd < 0) return false;
    if (fstat(w->fd, &w->old) != 0) return false;
    *old_size = static_cast<uint64_t>(w->old.st_size);
    *replaceable = w->old.st_nlink == 1 && !is_mount_root(w->target);
    return true;
}

TemporaryResult create_temporary(SystemWrite* w, bool replacing) {
    static const char prefix[] = ".hmap-";
    constexpr size_t random_length = 6;
    const char* slash = strrchr(w->target, '/');
    size_t folder = slash ? static_cast<size_t>(slash - w->target) + 1 : 0;
    if (folder + sizeof prefix + random_length > sizeof w->temp) {
        errno = ENAMETOOLONG;
        return TemporaryResult::failed;
    }
    memcpy(w->temp, w->target, folder);
    memcpy(w->temp + folder, prefix, sizeof prefix - 1);
    char* name = w->temp + folder + sizeof prefix - 1;
    static uint64_t counter = 0;
    // A new file is made as any program would make it (umask, the folder's
    // default ACL); a replacement stays private until it has the old file's
    // permissions.
    const mode_t mode = replacing ? 0600 : 0666;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                     (static_cast<uint64_t>(getpid()) << 44) ^ (++counter * 0x9E3779B97F4A7C15ull);
        x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull;
        x ^= x >> 29;
        static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        for (size_t i = 0; i < random_length; ++i, x /= 62) name[i] = letters[x % 62];
        name[random_length] = 0;
        hold_ending_events();
        fd = open(w->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) arm(w);
        release_ending_events();
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        w->temp[0] = 0;
        // A folder where this process may not create files still lets it
        // write a file there itself.
        return replacing && (errno == EACCES || errno == EPERM) ? TemporaryResult::cannot_stand_in
                                                                 : TemporaryResult::failed;
    }
    if (!replacing) {
        w->fd = fd;
        return TemporaryResult::made;
    }
    const int old_fd = w->fd;
    w->fd = fd;
    if (!take_identity(fd, old_fd, w->old)) {
        // Written in place instead; a temporary file that stays is named.
        if (discard_temporary(w)) w->temp[0] = 0;
        w->fd = old_fd;
        return TemporaryResult::cannot_stand_in;
    }
    close(old_fd);
    return TemporaryResult::made;
}

bool open_in_place(SystemWrite* w) {
    // The descriptor open_existing made, locked for this write: another
    // hmap writing or reading the file holds a lock of its own. A file
    // system without such locks is written without.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(w->fd, F_OFD_SETLK, &lock) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) {
        errno = static_cast<int>(error_file_busy);
        return false;
    }
    return true;
}

bool reserve_length(SystemWrite* w, uint64_t old_size, uint64_t size) {
    // So a full disk or a file-size limit fails while the old content is
    // whole. A file system that cannot reserve space is written without.
    if (size == 0) return true;
    if (size > static_cast<uint64_t>(INT64_MAX)) {
        errno = EFBIG;
        return false;
    }
    if (fallocate(w->fd, 0, 0, static_cast<off_t>(size)) == 0 || errno == EOPNOTSUPP || errno == ENOSYS) return true;
    restore_length(w, old_size);
    return false;
}

bool write_bytes(SystemWrite* w, const uint8_t* bytes, uint64_t count, bool start_to_disk) {
    off_t at = start_to_disk ? lseek(w->fd, 0, SEEK_CUR) : 0;
    if (!write_all(w->fd, bytes, count)) return false;
#ifdef SYNC_FILE_RANGE_WRITE
    // Start writing this part to disk now, while the caller prepares the
    // next, so that the flush at the end waits for little more than the last
    // part (a 4096x4096 export: 0.083 s down to 0.060 s). Only a hint: the
    // flush reports what goes wrong.
    if (start_to_disk && at >= 0) sync_file_range(w->fd, at, static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
#else
    (void)at;
#endif
    return true;
}

bool open_scratch(SystemWrite* w) {
    // In $TMPDIR, else (or when that fails) in /tmp: nameless where the file
    // system allows it, else named and the name removed at once (held
    // against the ending signals meanwhile).
    const char* folders[] = {getenv("TMPDIR"), "/tmp"};
    for (const char* folder : folders) {
        if (folder == nullptr || folder[0] == 0) continue;
        w->scratch = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (w->scratch >= 0) return true;
        char name[PATH_MAX];
        if ((errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) ||
            snprintf(name, sizeof name, "%s/.hmap-XXXXXX", folder) >= static_cast<int>(sizeof name)) {
            continue;
        }
        hold_ending_events();
        w->scratch = mkostemp(name, O_CLOEXEC);
        if (w->scratch >= 0) unlink(name);
        release_ending_events();
        if (w->scratch >= 0) return true;
    }
    return false;
}

bool write_scratch(SystemWrite* w, const uint8_t* bytes, uint64_t count) { return write_all(w->scratch, bytes, count); }

bool read_scratch(SystemWrite* w, uint64_t offset, uint8_t* out, uint64_t count) {
    while (count > 0) {
        ssize_t n = pread(w->scratch, out, static_cast<size_t>(count), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // shorter than what was written to it
            return false;
        }
        out += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

bool set_length(SystemWrite* w, uint64_t size) {
    struct stat now;
    if (fstat(w->fd, &now) != 0) return false;
    return static_cast<uint64_t>(now.st_size) <= size || ftruncate(w->fd, static_cast<off_t>(size)) == 0;
}

bool flush_and_close(SystemWrite* w, WriteWay way) {
    if (way != WriteWay::direct && fsync(w->fd) != 0) return false;
    const int fd = w->fd;
    w->fd = -1;
    return close(fd) == 0;
}

bool put_in_place(SystemWrite* w) {
    hold_ending_events();
    const bool moved = rename(w->temp, w->target) == 0;
    if (moved) {
        disarm(w);
        w->temp[0] = 0;
    }
    release_ending_events();
    if (!moved) return false;
    // The new name is in the folder, which is flushed for it to last. A
    // system that cannot flush a folder (EINVAL) has nothing more to give.
    char folder[PATH_MAX];
    folder_of(w->target, folder);
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    const bool flushed = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    close_keeping_error(fd);
    return flushed;
}

void mark_new_content(SystemWrite*) {}

void remove_temporary(SystemWrite* w, char* name, size_t capacity) {
    if (w->temp[0] == 0) return;
    if (!discard_temporary(w)) {
        const size_t length = strnlen(w->temp, capacity - 1);
        memcpy(name, w->temp, length);
        name[length] = 0;
    }
    w->temp[0] = 0;
}

void restore_length(SystemWrite* w, uint64_t old_size) {
    int saved = errno;
    struct stat now;
    if (w->fd >= 0 && fstat(w->fd, &now) == 0 && static_cast<uint64_t>(now.st_size) != old_size) {
        int cut = ftruncate(w->fd, static_cast<off_t>(old_size));
        (void)cut;  // nothing more can be done for it
    }
    errno = saved;
}

void free_system_write(SystemWrite* w) {
    if (w->fd >= 0) close_keeping_error(w->fd);
    if (w->scratch >= 0) close_keeping_error(w->scratch);
    int saved = errno;
    free(w);
    errno = saved;
}
