// The only door to the operating system. Everything above src/platform talks
// to the system through these procedures; platform_win32.cpp implements them
// with kernel32, platform_posix.cpp with POSIX.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Exit status of a command. 0 means the command did its job (warnings that
// let it go on included). A failed file operation exits with the system's
// error code for it; the fixed codes below cover everything else.
using Status = uint32_t;
constexpr Status status_ok = 0;
constexpr Status status_usage = 64;    // usage text printed, or wrong argument count
constexpr Status status_refused = 65;  // input refused: bad format, mismatched images, ...
constexpr Status status_busy = 75;     // another program changed or held a file meanwhile: run again

// Formats with %s, %d, %u and %04X into the one message buffer and writes the
// result to standard output in one write. Messages are cut at 4095 bytes,
// far more than the longest (three paths of 259 characters, up to 777 bytes
// each in UTF-8). True when every byte was written; false with the last error
// code saying why (a full disk, a closed pipe), for output that is the
// command's result rather than a message about it.
bool console_printf(const char* format, ...);

// Writes the system's text for an error code, then "\r\n".
void report_system_error(uint32_t code);

// "<path> > Error: <system text>\r\n" for the last error code. Returns the
// status to exit with: that code, never 0.
Status report_file_failure(const char* path);

// The calling thread's last system error code (errno on POSIX).
uint32_t last_error_code();
void set_last_error_code(uint32_t code);
// True when the code says that there is no file by that name (nor, on
// Windows, the folder it names): what a look for an optional file expects.
bool is_missing_file_error(uint32_t code);

// Whole-file read: on success `data` holds all `size` bytes (size > 0),
// followed by `room` more (not cleared) for the caller's use, and belongs to
// the caller, who frees it with release_buffer. On failure nothing is held
// and the last error code says why (an empty file is a failure too). The
// bytes are the file's as one version: a file that another program changes
// while it is read (its length, or the time it last changed, differs after
// the read from before it) fails with error_file_changed, and one that a
// write in place holds (see begin_file_write) with error_file_busy.
struct FileBytes {
    uint8_t* data;
    uint64_t size;
};
bool read_file_whole(const char* path, FileBytes* out, uint64_t room = 0);

// A file read where it lies. open_file_view maps a regular file read-only
// (anything else, a pipe or a device, is read whole into memory instead) and
// holds it as read_file_whole does for its read: a shared lock against
// writers in place (error_file_busy while one holds it), its version taken
// at the open. The view stays until close_file_view. Another program may
// still change the bytes under it, so a reader keeps to three rules:
//  - every value a check validates and a later step trusts (sizes,
//    offsets, lengths, tables) is copied out once with copy_from_view, and
//    only the copy is checked and used;
//  - bulk bytes (image data, patterns) are read in place, within bounds
//    that come from the copy; whatever they hold, no read leaves the view;
//  - view_unchanged is called before anything made from the view is kept
//    (an output finished, a result trusted), so that a changed file refuses
//    the run with error_file_changed.
// A file cut short while mapped reads as zeros past its new end from then
// on (no fault), and view_unchanged fails; so does a view with a page the
// disk failed to read, with the system's read error (EIO, or the page
// error's own code on Windows) instead of error_file_changed. Failures set
// the last error code; an empty file is a failure too. close_file_view
// takes an empty view.
struct FileView {
    const uint8_t* data;
    uint64_t size;
    struct FileViewState* state;
};
bool open_file_view(const char* path, FileView* out);
// The same view with pages of the process's own: its bytes may be written
// (through a cast of `data`), and a page written is copied first, so the
// file never changes; a page not yet written still shows the file's bytes.
// For a reader that turns the file's bytes into its result where they lie.
bool open_private_file_view(const char* path, FileView* out);
// Copies `count` bytes from `offset` (both within the view) to `out`, then
// checks that the file is still the version opened (view_unchanged).
bool copy_from_view(const FileView& view, uint64_t offset, uint64_t count, uint8_t* out);
bool view_unchanged(const FileView& view);
void close_file_view(FileView* view);

// Failures no system code describes. report_file_failure gives each its own
// text, and the run exits with status_busy: nothing is wrong with the files,
// and the same command may succeed once the other program is done.
constexpr uint32_t error_file_changed = 0x20000001;  // Windows keeps codes with this bit for programs
constexpr uint32_t error_file_busy = 0x20000002;
// The text of one of those codes, or null for a system code.
const char* own_error_text(uint32_t code);

// A file being written, part by part. begin_file_write is told the final
// size; the parts must add up to it. A regular file (or a new one) is
// replaced atomically: the bytes go to a temporary file in the same folder,
// which takes the old file's owner, group, permissions and attributes, are
// flushed to disk and put in the target's place by finish_file_write, whose
// folder is flushed too, so a failed, abandoned or interrupted (Ctrl+C, any
// signal that ends the process) write leaves the old file as it was and no
// temporary file behind. A symbolic link stays a link: the file at the end
// of its chain is replaced, or created when the link dangles. Where a
// replacement could not keep what makes the file that file (more than one
// hard link, an owner or attribute the process cannot give, a folder that
// refuses new files, a bind-mounted file), the file is written in place:
// begin_file_write locks it against other writers (error_file_busy, or the
// system's sharing violation, when another holds it) and reserves the new
// length, so a full disk fails before a byte changes, and whatever would end
// the process waits until the write is finished or abandoned. Its parts are
// kept aside and written over the old content only by finish_file_write,
// which the caller calls once every input they were made from is known
// unchanged: an abandoned write in place changes nothing either. Devices
// and pipes are written directly, part by part (an input that changes
// meanwhile is then reported as having sent them part of an output); an
// empty path names no file. Every procedure
// reports failure with the last error code saying why; finish_file_write and
// abandon_file_write release the FileWrite whatever happens (after a failed
// write_file_part the caller abandons it). A temporary file that cannot be
// removed is named by the next report_file_failure.
struct FileWrite;
FileWrite* begin_file_write(const char* path, uint64_t size);
bool write_file_part(FileWrite* file, const uint8_t* bytes, uint64_t count);
bool finish_file_write(FileWrite* file);
void abandon_file_write(FileWrite* file);  // keeps the last error code

// Whole-file write: one part, as above.
bool write_file_whole(const char* path, const uint8_t* bytes, uint64_t count);

// True when both paths name one existing file, however each is spelled
// (symbolic and hard links, "..", another case on Windows). False when
// either does not exist.
bool same_file(const char* a, const char* b);

// True when writing `a` and writing `b` would write one file: same_file, or
// the ends of their chains of symbolic links (see link_end), neither of
// which exists, are one name (compared as the system compares names) in one
// folder.
bool same_output(const char* a, const char* b);
// The name a write to `path` reaches: its chain of symbolic links followed
// to the end, which need not exist (a dangling link names the file a write
// creates), or `path` as it is when it is no link. A relative link is taken
// from the link's own folder. False, with the last error code set, when the
// chain cannot be followed (a loop, a name longer than `capacity`).
bool link_end(const char* path, char* out, size_t capacity);
// Where the last component of a path starts (after its last separator).
size_t name_start(const char* path);
// True when two names of one folder name one file.
bool same_name(const char* a, const char* b);
// True when the folders two paths lie in are one folder (however each is
// spelled), whether or not the files themselves exist.
bool same_folder(const char* a, const char* b);

// Fills `out` with `size` bytes from the system's random source, for keys
// no input can guess. False, with the last error code set, when it gives none.
bool system_random(void* out, size_t size);

// Large buffers for whole files and images. Not cleared. Empty on failure,
// with the last error code set.
uint8_t* allocate_buffer(uint64_t size);
void release_buffer(void* buffer);

// Takes the pages of a block about to be written whole (a fresh buffer, or
// a private file view's pages that will be changed) all at once rather than
// one fault at a time; where each fault is dear, as on a virtual machine,
// that halves what they cost. Blocks under a few MiB are left alone, and
// nothing changes where the system cannot: the writes then take the pages.
void take_pages_for_writing(void* block, uint64_t size);

// The PNG decoder's memory. hook_free accepts an empty block.
void* hook_alloc(size_t size);
void* hook_realloc(void* block, size_t size);
void hook_free(void* block);
// Blocks taken through the hooks and not yet freed.
uint64_t hook_live_blocks();

// A second thread, for work that goes on beside the caller's: runs
// work(context) and ends. Empty when the system gives none; the caller then
// does that work itself. join_worker waits for the thread to end and
// releases it.
struct Worker;
Worker* start_worker(void (*work)(void*), void* context);
void join_worker(Worker* worker);

// Where threads wait for each other: wait_for_change returns once `*value`
// is no longer `old`, provided whoever changes it calls wake_waiters on the
// same gate afterwards (which wakes every thread waiting there). Empty when
// the system gives none.
struct Gate;
Gate* open_gate();
void close_gate(Gate* gate);
void wait_for_change(Gate* gate, const std::atomic<uint32_t>* value, uint32_t old);
void wake_waiters(Gate* gate);

// True when standard input and standard output are both a console (a
// terminal on POSIX): someone is there to answer a question.
bool console_can_ask();
// One line typed at the console, as UTF-8 without its line end, cut to fit
// `capacity` bytes with the terminator (the rest of the line is read and
// dropped). False when input ended or could not be read.
bool read_console_line(char* out, size_t capacity);

// The whole command line as one string where the system keeps it (Windows);
// empty where the shell has already split it into arguments (POSIX).
const char* platform_command_line();

// Called first: a write into a pipe whose reader has gone, or past a
// file-size limit, fails as any write fails rather than ending the process.
void start_process();

[[noreturn]] void exit_process(Status status);

// "Error: Out of memory while processing <path>.\r\n"; returns the status to
// exit with, the allocation's error code.
Status report_out_of_memory(const char* path);

// "Error: <output> is also an input of this command; nothing was written.\r\n"
// when `output` names the same file as `input` (however each is spelled, see
// same_file). Returns whether it printed.
bool report_output_is_input(const char* output, const char* input);
// "Error: <a> is named as both outputs; nothing was written.\r\n" when `a`
// and `b` name one file to write (see same_output). Returns whether it printed.
bool report_both_outputs(const char* a, const char* b);

// The UTF-8 sequence at `text`: its length in bytes (1 to 4), with its code
// point; 0 when the bytes there are not one (a stray continuation byte, an
// overlong form, a code above U+10FFFF, a sequence cut short). The 3-byte
// forms of U+D800..U+DFFF count: a Windows name may hold a lone surrogate,
// and the Windows layer carries it in that form.
size_t utf8_sequence(const char* text, uint32_t* code_point);
