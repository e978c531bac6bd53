// Battle files built in memory, field by field, so each test can set the
// one word it is about.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "battle_file.h"

namespace battle_test {

using Bytes = std::vector<uint8_t>;

inline void put_le32(Bytes& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Appends by resize and copy (range inserts from char pointers draw false
// overflow warnings from MinGW GCC 12).
inline void append(Bytes& out, const void* bytes, size_t count) {
    const size_t at = out.size();
    out.resize(at + count);
    if (count != 0) memcpy(out.data() + at, bytes, count);
}

inline void poke_le32(Bytes& out, uint64_t pos, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[pos + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Entry {
    int32_t base;
    uint32_t offset;
};

// A sound battle file unless a test changes a field. Counts left at their
// defaults follow from the dimensions, entries and patterns.
struct BattleBuilder {
    uint32_t s1 = 5, s2 = 0, s3 = 6, n3 = 2, s4 = 3;
    uint32_t chunk_word = 0;
    uint32_t width = 1, height = 1;
    std::vector<Entry> entries = {{0, 0}, {0, 0}};  // heightmap 1's, then heightmap 2's
    Bytes patterns = Bytes(64, 0);
    // Overrides of the counted words.
    int64_t np = -1, nb = -1, l1 = -1, l2 = -1;
    std::string tag = "HMAP";
    std::string after = "ATTR";
    uint32_t trailing = 4;  // bytes after the ATTR tag

    // Every entry of both heightmaps with its own pattern (byte value i + k).
    static BattleBuilder sized(uint32_t w, uint32_t h) {
        BattleBuilder b;
        b.width = w;
        b.height = h;
        uint64_t nb = uint64_t{(w + 7) / 8} * ((h + 7) / 8);
        b.entries.clear();
        b.patterns.clear();
        for (uint64_t i = 0; i < 2 * nb; ++i) {
            b.entries.push_back({static_cast<int32_t>(i * 37), static_cast<uint32_t>(i * 64)});
            for (int k = 0; k < 64; ++k) b.patterns.push_back(static_cast<uint8_t>(i + k));
        }
        return b;
    }

    uint64_t chunk_pos() const { return 32 + 8 + s1 + 8 + s2 + 8 + s3 + 4ull * n3 + 8 + s4 + 8; }

    Bytes bytes() const {
        const char sig[] = "Kelvaroth Battle file 1.10      ";
        Bytes out(sig, sig + 32);
        auto chunk = [&out](const char* t, uint32_t size, uint64_t data) {
            append(out, t, 4);
            put_le32(out, size);
            out.insert(out.end(), data, 0xA5);
        };
        chunk("ONE ", s1, s1);
        chunk("TWO ", s2, s2);
        append(out, "THRE", 4);
        put_le32(out, s3);
        put_le32(out, n3);
        out.insert(out.end(), s3 + 4ull * n3 - 4, 0x5A);
        chunk("FOUR", s4, s4 + 8ull);
        append(out, tag.data(), tag.size());
        put_le32(out, chunk_word);
        put_le32(out, width);
        put_le32(out, height);
        put_le32(out, static_cast<uint32_t>(np >= 0 ? np : static_cast<int64_t>(patterns.size() / 64)));
        put_le32(out, static_cast<uint32_t>(nb >= 0 ? nb : static_cast<int64_t>(entries.size() / 2)));
        put_le32(out, static_cast<uint32_t>(l1 >= 0 ? l1 : static_cast<int64_t>(entries.size() / 2 * 16)));
        for (const Entry& e : entries) {
            put_le32(out, static_cast<uint32_t>(e.base));
            put_le32(out, e.offset);
        }
        put_le32(out, static_cast<uint32_t>(l2 >= 0 ? l2 : static_cast<int64_t>(patterns.size())));
        append(out, patterns.data(), patterns.size());
        append(out, after.data(), after.size());
        out.insert(out.end(), trailing, 0x3C);
        return out;
    }
};

// Runs the checks on `bytes`; the message of the first failed one, or "" for
// a sound file (then `out` holds the positions).
inline std::string check(Bytes& bytes, BattleFile* out = nullptr) {
    BattleFile file{};
    file.data = bytes.data();
    file.size = bytes.size();
    const char* fault = check_battle_bytes(&file);
    if (out != nullptr) *out = file;
    return fault ? fault : "";
}

}  // namespace battle_test
