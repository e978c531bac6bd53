// Writing files, inside the platform layer: file_write.cpp holds the sequence
// both systems share (which way a file is written, in which order the steps
// come, what is undone on failure); file_write_posix.cpp and
// file_write_win32.cpp take each step the system's own way, under the names
// below. Nothing above src/platform includes this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// How a file is written:
// - temporary: the bytes go to a new file beside the target, which takes the
//   old file's identity (owner, permissions, attributes) and then its place,
//   so that a failed or interrupted write leaves the old file whole;
// - in place: where no new file could keep what makes the file that file,
//   the file itself is written, locked against other writers, its new length
//   reserved first, with whatever would end the process held off until the
//   write is finished or abandoned. The parts are kept aside (in memory, or
//   in a scratch file when that would take too much of it) and go into the
//   file only at the finish, after the caller has checked every input they
//   were made from: an abandoned write leaves the old content as it was;
// - direct: devices and pipes, which nothing can take the place of: the
//   parts go out as they come.
enum class WriteWay : uint8_t { temporary, in_place, direct };

// The largest file written in place whose parts are kept in memory (a
// 4096x4096 export is 32 MiB); a larger one's go to a scratch file.
constexpr uint64_t in_place_memory_limit = uint64_t{64} << 20;

// What a path to write names, its links followed.
enum class TargetKind : uint8_t { missing, regular, device };

// The system's handles and names for one write.
struct SystemWrite;

struct FileWrite {
    WriteWay way;
    uint64_t size;      // bytes announced
    uint64_t written;   // bytes written so far
    uint64_t old_size;  // in place: the length before, restored while no byte of it has changed
    bool changed;       // in place: a write of the new content has begun
    bool holding;       // in place: the ending events are held
    uint8_t* parts;     // in place: the parts so far, when they are kept in memory
    char* name;         // direct: the path as given, to name an output that received part of a result
    SystemWrite* system;
};

// ---- Steps, one implementation per system ----

// Looks at what `path` names, links followed. Null, with the last error code
// set, for what cannot be written at all: an empty path, a folder, a name
// no file can have.
SystemWrite* look_at_target(const char* path, TargetKind* kind);
// Opens a device or pipe to write into.
bool open_direct(SystemWrite* s);
// Checks that the existing regular file may be written (a read-only one may
// not), takes its length, and tells whether a new file could stand in for
// it (not with more than one name, nor as a mount point of its own).
bool open_existing(SystemWrite* s, uint64_t* old_size, bool* replaceable);
// Creates the temporary file beside the target, removed by any ending
// event. In place of an existing file (`replacing`) it takes that file's
// identity; cannot_stand_in when the folder or the system does not allow
// that, and then nothing is left behind.
enum class TemporaryResult : uint8_t { made, cannot_stand_in, failed };
TemporaryResult create_temporary(SystemWrite* s, bool replacing);
// Opens the existing file to be written in place, exclusive of every other
// writer and of hmap's readers.
bool open_in_place(SystemWrite* s);
// Makes the file written in place `size` bytes long with the room taken on
// the disk, and puts its write position at the start; on failure the old
// length is back.
bool reserve_length(SystemWrite* s, uint64_t old_size, uint64_t size);
// Writes all `count` bytes at the write position; `start_to_disk` lets the
// system begin writing them out already (a hint only).
bool write_bytes(SystemWrite* s, const uint8_t* bytes, uint64_t count, bool start_to_disk);
// A scratch file in the system's folder for temporary files, for the parts
// of a file written in place: nameless (or its name removed at once), so
// that nothing of it outlives the process. Closed by free_system_write.
bool open_scratch(SystemWrite* s);
// Appends `count` bytes to the scratch file.
bool write_scratch(SystemWrite* s, const uint8_t* bytes, uint64_t count);
// Reads `count` bytes of the scratch file from `offset`.
bool read_scratch(SystemWrite* s, uint64_t offset, uint8_t* out, uint64_t count);
// Cuts or grows the file written in place to `size` bytes.
bool set_length(SystemWrite* s, uint64_t size);
// Flushes the file being written to the disk (unless `way` is direct) and
// closes it.
bool flush_and_close(SystemWrite* s, WriteWay way);
// Moves the flushed temporary file into the target's place and flushes the
// folder, so that the new name survives a power cut.
bool put_in_place(SystemWrite* s);
// After a write in place: what new content sets (the archive bit).
void mark_new_content(SystemWrite* s);
// Removes the temporary file, if there is one; when it cannot be removed,
// its name (UTF-8, as the user would type it) goes into `name`.
void remove_temporary(SystemWrite* s, char* name, size_t capacity);
// Puts the old length back on a file written in place (when nothing of it
// has changed yet).
void restore_length(SystemWrite* s, uint64_t old_size);
// Closes whatever is open and releases the record; keeps the last error code.
void free_system_write(SystemWrite* s);

// The events that end the process: signals on POSIX, console events on
// Windows. Watched, they remove every temporary file in progress first;
// held, they wait until the matching release. Holds nest.
void watch_ending_events();
void hold_ending_events();
void release_ending_events();

// The last error codes the sequence itself sets.
extern const uint32_t error_code_invalid_request;  // more or fewer bytes than announced
extern const uint32_t error_code_out_of_memory;

#ifndef _WIN32
// Closes fd without letting close() change errno (platform_posix.cpp; the
// Windows layer's, for handles, is in platform_win32.h).
void close_keeping_error(int fd);
// Called by a signal handler for a signal that ends the process but may not
// be held (SIGBUS, whose faults the file views mend at any moment) when
// another program sent it: the process ends as an ending event ends it, its
// temporary files removed first, and only after the write in place under
// way, if there is one.
void end_for_sent_signal(int signal_number);
#endif

// ---- Shared ----

// Prints the note about a temporary file left behind, if there is one, and
// forgets it. Called by report_file_failure after its line.
void report_left_behind();
// Called by report_file_failure before its line: when `code` says that an
// input changed while a direct write (a pipe, a device) had already sent
// part of its output, prints the line that says so, naming that output,
// and returns true; else prints nothing. Either way the output is forgotten.
bool report_partly_sent(const char* path, uint32_t code);
