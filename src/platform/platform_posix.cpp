// POSIX implementation of the platform services: errno is the last error
// code, strerror its text, the C heap the memory.
#include "file_view.h"
#include "file_write.h"
#include "platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char message_buffer[4096];
// As on Windows: the whole buffer, so that a message naming three paths of
// 259 characters, 3 bytes each in UTF-8, is never cut.
constexpr size_t format_limit = sizeof message_buffer;
uint64_t live_hook_blocks = 0;

bool write_stdout(const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t n = write(1, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void close_keeping_error(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

bool console_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message_buffer, format_limit, format, args);
    va_end(args);
    if (n < 0) return false;
    size_t length = static_cast<size_t>(n) < format_limit ? static_cast<size_t>(n) : format_limit - 1;
    return write_stdout(message_buffer, length);
}

void report_system_error(uint32_t code) {
    const char* text = own_error_text(code);
    if (text == nullptr) text = strerror(static_cast<int>(code));
    size_t length = strnlen(text, sizeof message_buffer - 1);
    memcpy(message_buffer, text, length);
    write_stdout(message_buffer, length);
    write_stdout("\r\n", 2);
}

Status report_file_failure(const char* path) {
    uint32_t code = last_error_code();
    if (code == 0) code = EIO;  // a failure is never reported as success
    if (!report_partly_sent(path, code)) {
        console_printf("%s > Error: ", path);
        report_system_error(code);
    }
    report_left_behind();
    return own_error_text(code) != nullptr ? status_busy : code;
}

uint32_t last_error_code() { return static_cast<uint32_t>(errno); }

void set_last_error_code(uint32_t code) { errno = static_cast<int>(code); }

bool is_missing_file_error(uint32_t code) { return code == ENOENT; }

namespace {

// What tells one version of a file from the next: its length and the times
// it was last written and last changed (a write in place changes both, a
// truncation too).
bool same_version(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A shared lock for the time of the read, so that no hmap writes the file
// in place meanwhile (it locks the file for itself); refused while one does.
// Programs that take no lock are caught by the version check instead. A file
// system without such locks is read without.
bool lock_for_reading(int fd) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EAGAIN && errno != EACCES) return true;
    errno = static_cast<int>(error_file_busy);
    return false;
}

}  // namespace

namespace {

// Opens a file to read as one version: not a folder, not empty, a regular
// file under the shared lock. `before` is its version.
int open_for_reading(const char* path, struct stat* before) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, before) != 0) {
        close_keeping_error(fd);
        return -1;
    }
    if (S_ISDIR(before->st_mode) || before->st_size <= 0) {
        close(fd);
        errno = S_ISDIR(before->st_mode) ? EISDIR : ENODATA;  // an empty file has nothing to offer; say so
        return -1;
    }
    if (S_ISREG(before->st_mode) && !lock_for_reading(fd)) {
        close_keeping_error(fd);
        return -1;
    }
    return fd;
}

// Reads the `size` bytes of an open file into `data`; the count read.
bool read_all(int fd, uint8_t* data, uint64_t size, uint64_t* got) {
    *got = 0;
    while (*got < size) {
        size_t step = size - *got > (1u << 30) ? (1u << 30) : static_cast<size_t>(size - *got);
        ssize_t n = read(fd, data + *got, step);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        *got += static_cast<uint64_t>(n);
    }
    return true;
}

// Cut short, grown or written since `before`: the bytes may belong to no
// version of the file.
bool still_version(int fd, const struct stat& before) {
    struct stat now;
    if (!S_ISREG(before.st_mode)) return true;
    if (fstat(fd, &now) == 0 && same_version(before, now)) return true;
    errno = static_cast<int>(error_file_changed);
    return false;
}

}  // namespace

bool read_file_whole(const char* path, FileBytes* out, uint64_t room) {
    out->data = nullptr;
    out->size = 0;
    struct stat before;
    int fd = open_for_reading(path, &before);
    if (fd < 0) return false;
    uint64_t size = static_cast<uint64_t>(before.st_size);
    uint8_t* data = allocate_buffer(size + room);
    if (data == nullptr) {
        close_keeping_error(fd);
        return false;
    }
    uint64_t got = 0;
    if (!read_all(fd, data, size, &got)) {
        close_keeping_error(fd);
        release_buffer(data);
        return false;
    }
    const bool whole = (got == size || !S_ISREG(before.st_mode)) && still_version(fd, before);
    if (!whole && got != size) errno = static_cast<int>(error_file_changed);
    close_keeping_error(fd);
    if (!whole || got == 0) {
        release_buffer(data);
        if (whole) errno = ENODATA;
        return false;
    }
    out->data = data;
    out->size = got;
    return true;
}

// File views' steps (file_view.h): a regular file's pages mapped private,
// read-only or copied when written. When the file is cut short while
// mapped, touching a page past its new end raises SIGBUS, and so does a page
// the disk fails to read; the handler has the view mended (zero pages from
// that page on), and the touch is retried on them.
struct SystemView {
    int fd;  // held open, under the shared lock, until the view is closed
    struct stat before;
};

const uint32_t error_code_too_many_views = EMFILE;
const uint32_t error_code_too_large = EFBIG;
const uint32_t error_code_empty = ENODATA;

namespace {

struct sigaction earlier_bus_action;

void on_bus_error(int signal_number, siginfo_t* info, void* context) {
    // Only an address error of this process's own access can be a view's.
    // Any other SIGBUS (one another program sent with kill or sigqueue,
    // whatever address its fields hold; a memory fault) ends the process as
    // it would have, unless it was ignored before, the way the signals that
    // end it do.
    if (info->si_code != BUS_ADRERR && info->si_code != BUS_OBJERR) {
        const bool ignored = !(earlier_bus_action.sa_flags & SA_SIGINFO) && earlier_bus_action.sa_handler == SIG_IGN;
        if (!ignored) end_for_sent_signal(signal_number);
        return;
    }
    const int saved = errno;
    FileViewState* view = view_holding(info->si_addr);
    const bool mended = view != nullptr && mend_view(view, info->si_addr, 0);
    errno = saved;
    if (mended) return;
    // A fault that is no view's: whatever was to happen happens.
    if (earlier_bus_action.sa_flags & SA_SIGINFO) {
        earlier_bus_action.sa_sigaction(signal_number, info, context);
    } else if (earlier_bus_action.sa_handler != SIG_IGN && earlier_bus_action.sa_handler != SIG_DFL) {
        earlier_bus_action.sa_handler(signal_number);
    } else {
        signal(SIGBUS, SIG_DFL);  // the access is retried and ends the process as it would have
    }
}

int view_protection(bool writable) { return writable ? PROT_READ | PROT_WRITE : PROT_READ; }

}  // namespace

size_t memory_page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

bool install_fault_handler() {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &earlier_bus_action) == 0;
}

SystemView* open_for_view(const char* path, uint64_t* size, bool* mappable) {
    auto* system = static_cast<SystemView*>(malloc(sizeof(SystemView)));
    if (system == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    system->fd = open_for_reading(path, &system->before);
    if (system->fd < 0) {
        const int saved = errno;
        free(system);
        errno = saved;
        return nullptr;
    }
    *size = static_cast<uint64_t>(system->before.st_size);
    *mappable = S_ISREG(system->before.st_mode);
    return system;
}

uint8_t* map_view(SystemView* system, uint64_t size, bool writable, size_t* length) {
    void* start = mmap(nullptr, static_cast<size_t>(size), view_protection(writable), MAP_PRIVATE, system->fd, 0);
    if (start == MAP_FAILED) return nullptr;
    const size_t page = memory_page_size();
    *length = (static_cast<size_t>(size) + page - 1) / page * page;
    return static_cast<uint8_t*>(start);
}

void unmap_view(const FileViewState& view) { munmap(view.start, view.length); }

bool read_device_whole(SystemView* system, uint8_t* data, uint64_t size, uint64_t* got) {
    return read_all(system->fd, data, size, got);
}

VersionNow version_now(const SystemView* system) {
    struct stat now;
    if (fstat(system->fd, &now) == 0 && same_version(system->before, now)) return VersionNow::same;
    return VersionNow::changed;
}

bool put_zero_pages(const FileViewState& view, size_t offset) {
    return mmap(view.start + offset, view.length - offset, view_protection(view.writable),
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
}

uint32_t read_error_code(uint32_t) { return EIO; }  // as a read of that page would have failed

void free_system_view(SystemView* system) {
    const int saved = errno;
    close(system->fd);
    free(system);
    errno = saved;
}

bool same_file(const char* a, const char* b) {
    int saved = errno;
    struct stat sa, sb;
    bool same = stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    errno = saved;
    return same;
}

size_t name_start(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

bool same_name(const char* a, const char* b) { return strcmp(a, b) == 0; }

bool system_random(void* out, size_t size) {
    auto* bytes = static_cast<uint8_t*>(out);
    while (size > 0) {
        ssize_t n = getrandom(bytes, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

uint8_t* allocate_buffer(uint64_t size) {
    if (size == 0) size = 1;
    if (size > SIZE_MAX / 2) {
        errno = ENOMEM;
        return nullptr;
    }
    // Pages of the block that are never touched cost nothing.
    void* block = malloc(static_cast<size_t>(size));
    if (block == nullptr) errno = ENOMEM;
    return static_cast<uint8_t*>(block);
}

void release_buffer(void* buffer) { free(buffer); }

void take_pages_for_writing(void* block, uint64_t size) {
#ifdef __linux__
    constexpr int populate_write = 23;  // MADV_POPULATE_WRITE, Linux 5.14 and later
    constexpr uint64_t least = uint64_t{4} << 20;
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uint64_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
    // An older system refuses the advice, and a file view of a file cut
    // meanwhile fails it; the writes find either as they would have.
    if (size >= least && end > start) {
        const int saved = errno;
        madvise(reinterpret_cast<void*>(start), static_cast<size_t>(end - start), populate_write);
        errno = saved;
    }
#else
    (void)block;
    (void)size;
#endif
}

struct Worker {
    pthread_t thread;
    void (*work)(void*);
    void* context;
};

namespace {

void* run_worker(void* worker) {
    auto* w = static_cast<Worker*>(worker);
    w->work(w->context);
    return nullptr;
}

}  // namespace

Worker* start_worker(void (*work)(void*), void* context) {
    auto* worker = static_cast<Worker*>(malloc(sizeof(Worker)));
    if (worker == nullptr) return nullptr;
    worker->work = work;
    worker->context = context;
    // The ending signals stay with the main thread, which holds them while
    // a file is written in place.
    sigset_t all, before;
    sigfillset(&all);
    // A fault of its own is the thread's, as ever: a file view cut short
    // under it (SIGBUS) is mended by the handler.
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL}) sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    const int failed = pthread_create(&worker->thread, nullptr, run_worker, worker);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed != 0) {
        free(worker);
        return nullptr;
    }
    return worker;
}

void join_worker(Worker* worker) {
    if (worker == nullptr) return;
    pthread_join(worker->thread, nullptr);
    free(worker);
}

struct Gate {
    pthread_mutex_t lock;
    pthread_cond_t changed;
};

Gate* open_gate() {
    auto* gate = static_cast<Gate*>(malloc(sizeof(Gate)));
    if (gate == nullptr) return nullptr;
    if (pthread_mutex_init(&gate->lock, nullptr) != 0) {
        free(gate);
        return nullptr;
    }
    if (pthread_cond_init(&gate->changed, nullptr) != 0) {
        pthread_mutex_destroy(&gate->lock);
        free(gate);
        return nullptr;
    }
    return gate;
}

void close_gate(Gate* gate) {
    if (gate == nullptr) return;
    pthread_cond_destroy(&gate->changed);
    pthread_mutex_destroy(&gate->lock);
    free(gate);
}

// The value is looked at under the lock that wake_waiters takes after the
// change, so a change made between the look and the wait still wakes.
void wait_for_change(Gate* gate, const std::atomic<uint32_t>* value, uint32_t old) {
    pthread_mutex_lock(&gate->lock);
    while (value->load(std::memory_order_acquire) == old) pthread_cond_wait(&gate->changed, &gate->lock);
    pthread_mutex_unlock(&gate->lock);
}

void wake_waiters(Gate* gate) {
    pthread_mutex_lock(&gate->lock);
    pthread_mutex_unlock(&gate->lock);
    pthread_cond_broadcast(&gate->changed);
}

void* hook_alloc(size_t size) {
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

bool console_can_ask() { return isatty(0) == 1 && isatty(1) == 1; }

bool read_console_line(char* out, size_t capacity) {
    size_t length = 0;
    bool got = false;
    for (;;) {
        char c;
        ssize_t n = read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got = true;
        if (c == '\n') break;
        if (length + 1 < capacity) out[length++] = c;
    }
    if (length > 0 && out[length - 1] == '\r') --length;
    if (capacity > 0) out[length] = 0;
    return got;
}

const char* platform_command_line() { return nullptr; }

void start_process() {
    // A reader of our output that has gone (hmap -x map.prj /dev/stdout b.png
    // | head), or a file-size limit: the write fails with EPIPE or EFBIG and
    // is reported, and the command goes on to what it still can do.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void exit_process(Status status) {
    // POSIX keeps only the low 8 bits; never let a failure wrap to 0.
    int code = static_cast<int>(status & 0xFF);
    if (status != 0 && code == 0) code = 1;
    exit(code);  // exit, not _exit: the leak checker runs at exit
}
