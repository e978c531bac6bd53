// Command-line splitting and dispatch of the three commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// Copies one token of `text` into `dest` (at most `capacity` bytes with the
// terminator) and returns its length + 1, so a missing token gives 1. Spaces
// and tabs separate tokens; double quotes group, "" inside quotes is one
// quote; backslashes are ordinary characters. A token too long for `dest`
// is dropped whole (dest made empty). With dest null and capacity 0 it only
// measures. `consumed`, when given, receives how many characters were used.
size_t next_token(char* dest, size_t capacity, const char* text, size_t* consumed);

// The UTF-16 units that UTF-8 `text` takes, as Windows counts the characters
// of a name: one for each character, two above U+FFFF, and one for each byte
// that is no UTF-8.
size_t utf16_units(const char* text);

constexpr size_t option_capacity = 3;  // "-x" and the terminator
// An argument holds at most 259 characters as Windows counts them (UTF-16
// units), each at most 3 bytes of UTF-8, and the terminator.
constexpr size_t argument_limit = 259;
constexpr size_t argument_capacity = 3 * argument_limit + 1;

struct CommandArguments {
    char option[option_capacity];
    char first[argument_capacity];   // the same token whole: a file's name when it is no option
    int count;                       // tokens after the program's path, counted up to 9
    char arg[6][argument_capacity];  // A1 ... A6; an argument too long arrives empty
    bool surplus;                    // a seventh token (after A4) is present
    bool beyond;                     // a token after A6 is present
};

// Splits a whole command line (token 0 is the program's own path).
void split_command_line(const char* line, CommandArguments* out);
// The same rules for arguments the shell has already split (argv[0] skipped).
void take_arguments(int argc, const char* const* argv, CommandArguments* out);

// Checks the option and the argument count, runs the command and returns its
// exit status.
Status dispatch_command(const CommandArguments& args);
