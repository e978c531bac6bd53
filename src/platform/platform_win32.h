// Text and path conversions of the Windows platform layer, for its own use
// and its tests. Windows only.
#pragma once

#include <cstddef>

// UTF-16 to UTF-8 into `out` (room for `capacity` bytes, at most 3 needed
// for each unit), cut at a whole character when it does not fit; a lone
// surrogate takes the 3-byte form of its code, so that utf16_from_utf8 gives
// every unit back. Returns the bytes written; adds no terminator.
size_t utf8_from_utf16(const wchar_t* text, size_t length, char* out, size_t capacity);

// UTF-8 (lone surrogates in their 3-byte form included) up to its terminator
// to UTF-16 into `out` (room for `capacity` units; one for each byte always
// suffices). Returns the units written, no terminator added, or
// utf16_failed when `out` is too small or, unless `lenient`, on bytes that
// are no UTF-8; `lenient` shows each such byte as U+FFFD (for text shown,
// never for names).
constexpr size_t utf16_failed = static_cast<size_t>(-1);
size_t utf16_from_utf8(const char* text, wchar_t* out, size_t capacity, bool lenient);

// The path as the wide file functions take it: the full path in its long
// form (\\?\C:\dir\name), so that no length limit of the old functions
// applies; device paths (\\.\NUL) and names the system cannot make full
// ("") stay as given. Null when the bytes are no UTF-8 (ERROR_INVALID_NAME)
// or memory ran out. Freed with free_wide.
wchar_t* wide_path(const char* path);
void free_wide(wchar_t* text);

// Helpers of the Windows layer shared by its files.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Room for `units` UTF-16 units, zeroed, so any text written short of the
// end is terminated; freed with free_wide.
wchar_t* new_wide(size_t units);
// The full path of `path` in its long form: \\?\C:\dir\name or
// \\?\UNC\server\share\name; paths in the device namespace (\\.\NUL) and
// long forms stay as they are. Null when the system cannot make the path
// full ("", say) or memory ran out.
wchar_t* full_long_form(const wchar_t* path);
// Opens what a path names, links followed, only to look at it.
HANDLE open_for_query(const wchar_t* path, DWORD flags = 0);
// The most bytes one ReadFile or WriteFile is given: they take 32-bit counts.
constexpr DWORD io_step = 1u << 30;
// Closes a handle without letting the close change the last error code.
void close_keeping_error(HANDLE file);
