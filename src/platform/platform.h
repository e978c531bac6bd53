// The only door to the operating system. Everything above src/platform talks
// to the system through these procedures; platform_win32.cpp implements them
// with kernel32, platform_posix.cpp with POSIX.
#pragma once

#include <cstddef>
#include <cstdint>

// Exit status of a command. 0 means the command did its job (warnings that
// let it go on included). A failed file operation exits with the system's
// error code for it; the two fixed codes below cover everything else.
using Status = uint32_t;
constexpr Status status_ok = 0;
constexpr Status status_usage = 64;    // usage text printed, or wrong argument count
constexpr Status status_refused = 65;  // input refused: bad format, mismatched images, ...

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

// Whole-file read: on success `data` holds all `size` bytes (size > 0),
// followed by `room` more (not cleared) for the caller's use, and belongs to
// the caller, who frees it with release_buffer. On failure nothing is held
// and the last error code says why (an empty file is a failure too).
struct FileBytes {
    uint8_t* data;
    uint64_t size;
};
bool read_file_whole(const char* path, FileBytes* out, uint64_t room = 0);

// A whole file to read only, as read_file_whole gives it, but where the
// system allows, the file's own pages are mapped rather than copied: the
// bytes may change while the view is held if another program writes the
// file, so a reader checks each value where it uses it. Should the file be
// cut short meanwhile, the bytes it lost read as zeros from then on, and
// file_view_cut returns true with the last error code saying the read
// failed; nothing faults. release_file_view takes an empty view too.
bool view_file_whole(const char* path, FileBytes* out);
bool file_view_cut(const FileBytes& view);
void release_file_view(const FileBytes& view);

// A file being written, part by part. begin_file_write is told the final
// size; the parts must add up to it. A regular file (or a new one) is
// replaced atomically: the bytes go to a temporary file in the same folder,
// which takes the old file's owner, group, permissions and attributes, are
// flushed to disk and put in the target's place by finish_file_write, so a
// failed, abandoned or interrupted (Ctrl+C) write leaves the old file as it
// was and no temporary file behind. A symbolic link stays a link: the file at
// the end of its chain is replaced, or created when the link dangles. Where a
// replacement could not keep what makes the file that file (more than one
// hard link, an owner or attribute the process cannot give, a folder that
// refuses new files, a bind-mounted file), the file is written in place:
// begin_file_write reserves the new length, so a full disk fails before a
// byte changes, and signals that end the process wait until the write is
// finished or abandoned. Devices and pipes are written directly. Every
// procedure reports failure with the last error code saying why;
// finish_file_write and abandon_file_write release the FileWrite whatever
// happens (after a failed write_file_part the caller abandons it).
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

// Large buffers for whole files and images. Not cleared. Empty on failure,
// with the last error code set.
uint8_t* allocate_buffer(uint64_t size);
void release_buffer(void* buffer);

// The PNG decoder's memory. hook_free accepts an empty block.
void* hook_alloc(size_t size);
void* hook_realloc(void* block, size_t size);
void hook_free(void* block);
// Blocks taken through the hooks and not yet freed.
uint64_t hook_live_blocks();

// The whole command line as one string where the system keeps it (Windows);
// empty where the shell has already split it into arguments (POSIX).
const char* platform_command_line();

[[noreturn]] void exit_process(Status status);

// "Error: Out of memory while processing <path>.\r\n"; returns the status to
// exit with, the allocation's error code.
Status report_out_of_memory(const char* path);

// "Error: <output> is also an input of this command; nothing was written.\r\n"
// when `output` names the same file as `input` (however each is spelled, see
// same_file). Returns whether it printed.
bool report_output_is_input(const char* output, const char* input);

// The UTF-8 sequence at `text`: its length in bytes (1 to 4), with its code
// point; 0 when the bytes there are not one (a stray continuation byte, an
// overlong form, a code above U+10FFFF, a sequence cut short). The 3-byte
// forms of U+D800..U+DFFF count: a Windows name may hold a lone surrogate,
// and the Windows layer carries it in that form.
size_t utf8_sequence(const char* text, uint32_t* code_point);
