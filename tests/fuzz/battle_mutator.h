// A libFuzzer mutator for battle-file inputs: after libFuzzer's own mutation
// it rebuilds the heightmap chunk around whatever the mutation left, so that
// it passes the loader: the block count and table sizes follow the (possibly
// mutated) dimensions and pattern count, each entry's offset is brought onto
// a pattern of the pool, the tables are cut or padded to size and the ATTR
// tag follows. Mutated dimensions, bases and patterns thus reach the writer.
// One input in eight keeps its damage.
#pragma once

#ifdef HMAP_LIBFUZZER

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace battle_mutator {

inline uint64_t le32(const std::vector<uint8_t>& b, uint64_t p) {
    return p + 4 <= b.size() ? uint64_t{b[p]} | (uint64_t{b[p + 1]} << 8) | (uint64_t{b[p + 2]} << 16) |
                                   (uint64_t{b[p + 3]} << 24)
                             : 0;
}

inline void put_le32(std::vector<uint8_t>& b, uint64_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The repaired file, or an empty one when the leading chunks do not lead
// into the file. Sides are kept to `side` pixels at most.
inline std::vector<uint8_t> repair(const std::vector<uint8_t>& in, uint64_t side) {
    if (in.size() < 48) return {};
    const uint64_t p1 = 36 + le32(in, 36) + 8;
    const uint64_t p2 = p1 + le32(in, p1) + 8;
    const uint64_t p3 = p2 + le32(in, p2) + 4 * le32(in, p2 + 4) + 8;
    const uint64_t t = p3 + le32(in, p3) + 12;
    if (t + 28 > in.size()) return {};
    const uint64_t w = (le32(in, t + 8) - 1) % side + 1, h = (le32(in, t + 12) - 1) % side + 1;
    const uint64_t np = (le32(in, t + 16) - 1) % 64 + 1;
    const uint64_t nb = ((w + 7) / 8) * ((h + 7) / 8);
    // Old table and pool as the old words place them, as far as they lie in the file.
    const uint64_t old_l1 = le32(in, t + 24);
    const uint64_t table = t + 28, old_pool = t + 32 + old_l1;
    std::vector<uint8_t> out(in.begin(), in.begin() + static_cast<ptrdiff_t>(t));
    out.insert(out.end(), {'H', 'M', 'A', 'P'});
    put_le32(out, le32(in, t + 4));
    put_le32(out, w);
    put_le32(out, h);
    put_le32(out, np);
    put_le32(out, nb);
    put_le32(out, 16 * nb);
    for (uint64_t i = 0; i < 2 * nb; ++i) {
        put_le32(out, le32(in, table + 8 * i));
        put_le32(out, le32(in, table + 8 * i + 4) / 64 % np * 64);
    }
    put_le32(out, 64 * np);
    for (uint64_t i = 0; i < 64 * np; ++i) out.push_back(old_pool + i < in.size() ? in[old_pool + i] : 0);
    out.insert(out.end(), {'A', 'T', 'T', 'R'});
    // Whatever followed the old ATTR tag, or one byte.
    const uint64_t old_attr = old_pool + le32(in, t + 28 + old_l1);
    if (old_attr + 4 < in.size()) {
        out.insert(out.end(), in.begin() + static_cast<ptrdiff_t>(old_attr + 4), in.end());
    } else {
        out.push_back(0);
    }
    return out;
}

}  // namespace battle_mutator

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, max_size);
    if (seed % 8 == 0) return size;
    // Mostly small images; now and then large enough for several stored blocks.
    const uint64_t side = seed % 8 == 1 ? 256 : 48;
    std::vector<uint8_t> repaired = battle_mutator::repair(std::vector<uint8_t>(data, data + size), side);
    if (repaired.empty() || repaired.size() > max_size) return size;
    std::memcpy(data, repaired.data(), repaired.size());
    return repaired.size();
}

#endif
