// The battle-file check on arbitrary bytes. Its verdict must be the first
// failed check of a plain model that reads every word through a bounds-checked
// accessor, and an accepted file must describe only bytes inside itself: the
// chunk, both tables, every entry's pattern and the ATTR tag.
#include <string>

#include "battle_file.h"
#include "fuzz_check.h"

namespace {

constexpr char signature[] = "Kelvaroth Battle file 1.10      ";

struct Model {
    uint64_t t, np, nb, l1, l2, attr;
    uint16_t sea_level;
};

const char* model_check(const std::vector<uint8_t>& b, Model* m) {
    const unsigned __int128 size = b.size();
    // A word at p is in the file when at least one byte follows it.
    auto has = [&](unsigned __int128 p) { return p + 4 < size; };
    auto word = [&](unsigned __int128 p) -> uint64_t {
        FUZZ_CHECK(has(p));  // the model itself never reads outside
        return fuzz_le32(&b[static_cast<size_t>(p)]);
    };
    const char* eof = "Unexpected end of file.";
    if (size <= 32) return eof;
    if (std::memcmp(b.data(), signature, 32) != 0) return "Invalid file signature.";
    if (!has(36)) return eof;
    unsigned __int128 p1 = 36 + (unsigned __int128)word(36) + 8;
    if (!has(p1)) return eof;
    unsigned __int128 p2 = p1 + word(p1) + 8;
    if (!has(p2 + 4)) return eof;
    unsigned __int128 p3 = p2 + word(p2) + (unsigned __int128)4 * word(p2 + 4) + 8;
    if (!has(p3)) return eof;
    unsigned __int128 t = p3 + word(p3) + 12;
    if (!(t + 24 < size)) return eof;
    if (std::memcmp(&b[static_cast<size_t>(t)], "HMAP", 4) != 0) return "Bad HMAP - signature not found.";
    uint64_t w = word(t + 8), h = word(t + 12);
    if (w == 0 || h == 0 || w > 65535 || h > 65535) return "Bad HMAP - dimensions.";
    m->np = word(t + 16);
    m->nb = word(t + 20);
    if (((h + 7) & ~uint64_t{7}) * ((w + 7) & ~uint64_t{7}) / 64 != m->nb) return "Bad HMAP - number of layer1 blocks.";
    if (m->np == 0) return "Bad HMAP - missing layer2 blocks.";
    if (!has(t + 24)) return eof;
    m->l1 = word(t + 24);
    if (m->l1 != 16 * m->nb) return "Bad HMAP - layer1 size.";
    if (!has(t + 28 + m->l1)) return eof;
    m->l2 = word(t + 28 + m->l1);
    if (m->l2 != 64 * m->np) return "Bad HMAP - layer2 size.";
    unsigned __int128 attr = t + 32 + m->l1 + m->l2;
    if (!has(attr)) return eof;
    if (std::memcmp(&b[static_cast<size_t>(attr)], "ATTR", 4) != 0) return "ATTR chunk not found.";
    int64_t lowest = 0;
    for (uint64_t i = 0; i < 2 * m->nb; ++i) {
        unsigned __int128 e = t + 28 + 8 * i;
        int32_t base = static_cast<int32_t>(word(e));
        uint64_t offset = word(e + 4);
        if (offset % 64 != 0 || offset / 64 >= m->np) return "Bad HMAP - bad layer2 offset.";
        if (base < lowest) lowest = base;
    }
    m->t = static_cast<uint64_t>(t);
    m->attr = static_cast<uint64_t>(attr);
    m->sea_level = static_cast<uint16_t>(-lowest);
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes = exact_copy(data, size);
    const std::vector<uint8_t> original = bytes;
    BattleFile file{};
    file.data = bytes.data();
    file.size = size;
    const char* verdict = check_battle_bytes(&file);
    Model m{};
    const char* expected = model_check(original, &m);
    FUZZ_CHECK((verdict == nullptr) == (expected == nullptr));
    if (verdict != nullptr) FUZZ_CHECK(std::string(verdict) == expected);
    FUZZ_CHECK(bytes == original);  // the check never writes
    if (verdict != nullptr) return 0;

    FUZZ_CHECK(file.chunk_pos == m.t);
    FUZZ_CHECK(file.layer1_pos == m.t + 24);
    FUZZ_CHECK(file.layer2_pos == m.t + 28 + m.l1);
    FUZZ_CHECK(file.chunk_span == m.attr - m.t);
    FUZZ_CHECK(file.sea_level == m.sea_level);
    FUZZ_CHECK(file.chunk_pos + file.chunk_span + 4 < size);
    FUZZ_CHECK(battle_block_count(file) == m.nb);
    FUZZ_CHECK(battle_pattern_count(file) == m.np);
    // Every entry's whole pattern lies inside the pool, and the pool inside the file.
    const uint8_t* entries = battle_entries(file);
    const uint8_t* pool = battle_patterns(file);
    FUZZ_CHECK(entries == bytes.data() + m.t + 28);
    FUZZ_CHECK(pool + 64 * m.np == bytes.data() + m.attr);
    for (uint64_t i = 0; i < 2 * m.nb; ++i) {
        uint64_t offset = read_le32(entries + 8 * i + 4);
        FUZZ_CHECK(offset + 64 <= 64 * m.np);
    }
    return 0;
}
