// Byte order and ASCII text, shared by every room: battle files are
// little-endian, PNG files big-endian, other tools' heightmaps either; names
// and answers are compared with ASCII letters in either case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint16_t read_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint16_t read_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t read_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint32_t read_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void write_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void write_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// An ASCII letter in lower case; every other byte as it is.
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `path` ends in `extension` (".r16", lower case), its letters in
// either case, with something before it.
inline bool has_extension(const char* path, const char* extension) {
    const size_t length = strlen(path), want = strlen(extension);
    if (length <= want) return false;
    for (size_t i = 0; i < want; ++i)
        if (ascii_lower(path[length - want + i]) != extension[i]) return false;
    return true;
}
