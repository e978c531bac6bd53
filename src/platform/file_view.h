// Reading files where they lie, inside the platform layer: file_view.cpp
// holds what both systems share (the table of views, the sequence that opens
// one, with its fallback for devices and pipes, the checks of its version,
// and how a fault in a view's pages is judged and marked); platform_posix.cpp
// and platform_win32.cpp take each step the system's own way, under the names
// below. Nothing above src/platform includes this.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "platform.h"

// The system's part of a view: the file held open for reading, under the
// shared lock, and its version at the open.
struct SystemView;

// One open view. They live in a fixed table, so that a fault handler can
// look through them without taking a lock or allocating.
struct FileViewState {
    uint8_t* start;  // the mapping; null when the view is a copy of a device's bytes
    size_t length;   // what the mapping takes in memory (whole pages on POSIX); a copy's size
    uint64_t size;   // the file's length at the open
    bool writable;   // a private view: pages copied when written
    // Set by the fault handler: the mapping's pages (from a page on, or all
    // of them) were put back as zeros, and whether that was because the disk
    // could not read one, with the status the fault carried (an NTSTATUS on
    // Windows), rather than because the file was cut short.
    volatile sig_atomic_t cut;
    volatile sig_atomic_t unreadable;
    volatile uint32_t fault_status;
    SystemView* system;
    bool in_use;
};

// ---- Steps, one implementation per system ----

// Opens `path` to read as one version: not a folder, not empty, under the
// shared lock against writers in place (error_file_busy while one holds it),
// its version and length (`*size`) taken. `*mappable` tells a file whose
// pages can be mapped from a device or pipe, which is read whole instead.
// Null, with the last error code set, on failure.
SystemView* open_for_view(const char* path, uint64_t* size, bool* mappable);
// Maps the file's `size` bytes read-only, or private (pages copied when
// written) when `writable`; `*length` is what the mapping takes. Null, with
// the last error code set, on failure.
uint8_t* map_view(SystemView* system, uint64_t size, bool writable, size_t* length);
// Unmaps a view's mapping, or the zero pages put over it.
void unmap_view(const FileViewState& view);
// Reads a device or pipe into `data`, up to `size` bytes or its end;
// `*got` is what came. False when a read failed (POSIX; Windows keeps what
// came before the failure).
bool read_device_whole(SystemView* system, uint8_t* data, uint64_t size, uint64_t* got);
// Whether the file is still the version opened: same, changed (cut, grown,
// written), or unknown when the system can no longer say (a volume gone on
// Windows; POSIX takes a file fstat cannot describe as changed). Safe in a
// signal handler.
enum class VersionNow : uint8_t { same, changed, unknown };
VersionNow version_now(const SystemView* system);
// Puts zero pages over a view's mapping from the page at `offset` to its end
// (POSIX), or over the whole mapping (Windows, which unmaps a view only
// whole), writable when the view is. Safe in a signal handler.
bool put_zero_pages(const FileViewState& view, size_t offset);
// Installs the handler of faults in views' pages (SIGBUS on POSIX, a
// vectored handler for EXCEPTION_IN_PAGE_ERROR on Windows). Called once.
bool install_fault_handler();
// The size of the pages faults come in.
size_t memory_page_size();
// The last error code of a view the disk could not read, from the status its
// fault carried.
uint32_t read_error_code(uint32_t fault_status);
// Closes the file and releases the record; keeps the last error code.
void free_system_view(SystemView* system);

// The last error codes the sequence itself sets.
extern const uint32_t error_code_too_many_views;  // no free slot, or no fault handler
extern const uint32_t error_code_too_large;       // more than the address space can map
extern const uint32_t error_code_empty;           // a device or pipe that gave nothing

// ---- Shared, for the fault handlers ----

// The view whose mapping holds `at`, or null. Safe in a signal handler.
FileViewState* view_holding(const void* at);
// Mends a fault at `at` in `view`: judges whether the disk failed to read
// the page (the file still the version opened, or past asking, and long
// enough to reach the page) or the file was cut short, puts zero pages in
// place (put_zero_pages) and marks the view, so that the access can be
// retried and view_unchanged fails. False when no zero pages could be put
// there. Safe in a signal handler.
bool mend_view(FileViewState* view, const void* at, uint32_t fault_status);
