// A PNG in memory through the heightmap reader and then the import encoder.
// The reader must hold no decoder memory after any failure and only the
// samples after success, take the sea level from the first hmAP chunk, and
// take a file exactly when LodePNG alone (its own inflate, no shortcuts)
// takes it, with the same samples.
// The encoder, given the image as heightmap 1 and its mirror image as
// heightmap 2, must produce a chunk that the battle-file loader accepts, whose
// every block keeps its samples within 64 of the original (or is reported as
// truncated), with no pattern stored twice; the hashed pool lookup must give
// the same bytes as the plain scan, and the pattern limit must refuse exactly
// at the number of patterns needed. Mutated inputs get their checksums
// repaired (png_mutator.h), so the damage reaches past them.
// The reader's inflater, given the image data and the input itself as zlib
// streams, must inflate only what zlib's own inflate and LodePNG's take
// alike, to the same bytes.
#include <lodepng.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "battle_file.h"
#include "fuzz_check.h"
#include "png_heightmap.h"
#include "png_mutator.h"

namespace {

uint16_t model_sea_level(const uint8_t* b, uint64_t size) {
    for (uint64_t pos = 8; pos + 12 <= size; pos += uint64_t{fuzz_be32(b + pos)} + 12)
        if (same_bytes(b + pos + 4, "hmAP", 4)) return static_cast<uint16_t>(b[pos + 8] | (b[pos + 9] << 8));
    return 0;
}

// LodePNG alone, with its own inflate, on an image of at most 2^20 samples
// that the reader's header check lets through: whether it takes the file,
// and its samples. Nothing for other files.
std::optional<bool> lodepng_alone(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* samples) {
    LodePNGState state;
    lodepng_state_init(&state);
    state.decoder.color_convert = 0;
    unsigned w = 0, h = 0;
    std::optional<bool> taken;
    if (lodepng_inspect(&w, &h, &state, bytes.data(), bytes.size()) == 0 && state.info_png.color.colortype == LCT_GREY &&
        state.info_png.color.bitdepth == 16 && w <= max_heightmap_side && h <= max_heightmap_side &&
        uint64_t{w} * h <= (1u << 20)) {
        state.decoder.zlibsettings.max_output_size = 2 * size_t{h} * (1 + 2 * size_t{w}) + 64;
        unsigned char* out = nullptr;
        taken = lodepng_decode(&out, &w, &h, &state, bytes.data(), bytes.size()) == 0;
        if (*taken) samples->assign(out, out + 2 * size_t{w} * h);
        hook_free(out);
    }
    lodepng_state_cleanup(&state);
    return taken;
}

using Reports = std::vector<std::pair<uint32_t, uint32_t>>;

void note_truncation(void* context, uint32_t x0, uint32_t y0) {
    static_cast<Reports*>(context)->emplace_back(x0, y0);
}

// Checks one heightmap (entries from `first`) of an encoded chunk against its samples.
void check_heightmap(const uint8_t* chunk, uint64_t first, const uint8_t* samples, uint32_t w, uint32_t h,
                     uint16_t sea_level, uint64_t np, Reports& expected_reports) {
    const uint64_t l1 = fuzz_le32(chunk + 24);
    const uint8_t* pool = chunk + 32 + l1;
    uint64_t e = first;
    for (uint32_t y0 = 0; y0 < h; y0 += 8) {
        for (uint32_t x0 = 0; x0 < w; x0 += 8, ++e) {
            const uint32_t x1 = std::min(w, x0 + 8), y1 = std::min(h, y0 + 8);
            auto sample = [&](uint32_t x, uint32_t y) {
                return uint32_t(samples[2 * (uint64_t{y} * w + x)] << 8) | samples[2 * (uint64_t{y} * w + x) + 1];
            };
            uint32_t lo = 65535, hi = 0;
            for (uint32_t y = y0; y < y1; ++y)
                for (uint32_t x = x0; x < x1; ++x) lo = std::min(lo, sample(x, y)), hi = std::max(hi, sample(x, y));
            if (hi - lo > 32640) expected_reports.emplace_back(x0, y0);
            const int32_t base = static_cast<int32_t>(fuzz_le32(chunk + 28 + 8 * e));
            const uint32_t offset = fuzz_le32(chunk + 28 + 8 * e + 4);
            FUZZ_CHECK(base == int32_t(lo) - int32_t(sea_level));
            FUZZ_CHECK(offset % 64 == 0 && offset / 64 < np);
            for (uint32_t y = y0; y < y1; ++y) {
                for (uint32_t x = x0; x < x1; ++x) {
                    const uint32_t q = pool[offset + (y - y0) * 8 + (x - x0)];
                    FUZZ_CHECK(q == std::min(255u, (sample(x, y) - lo + 64) >> 7));
                    const int64_t height = int64_t{base} + 128 * int64_t{q};
                    const int64_t wanted = int64_t{sample(x, y)} - sea_level;
                    if (hi - lo <= 32640) FUZZ_CHECK(height - wanted <= 64 && wanted - height <= 64);
                }
            }
        }
    }
}

// zlib's inflate of a whole stream into at most `capacity` bytes: the bytes,
// or nothing when it refuses the stream, needs more room or leaves input
// unread. `window_refused` tells a refusal of a distance past the window the
// header declares (zlib keeps to it; LodePNG and the reader's inflater allow
// any distance back to the start).
std::optional<std::vector<uint8_t>> zlib_alone(const std::vector<uint8_t>& stream, size_t capacity,
                                               bool* window_refused) {
    *window_refused = false;
    std::vector<uint8_t> out(capacity + 1);
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = const_cast<uint8_t*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    *window_refused = result == Z_DATA_ERROR && z.msg != nullptr && strcmp(z.msg, "invalid distance too far back") == 0;
    const bool whole = result == Z_STREAM_END && z.avail_in == 0 && z.total_out <= capacity;
    out.resize(z.total_out);
    inflateEnd(&z);
    if (!whole) return std::nullopt;
    return out;
}

// The reader's inflater against zlib and LodePNG on one stream.
void check_inflater(const std::vector<uint8_t>& stream) {
    const size_t capacity = std::min<size_t>(1u << 20, 1032 * stream.size() + 64);
    std::vector<uint8_t> out(capacity);
    size_t produced = 0;
    const InflateResult result = inflate_common_zlib(stream.data(), stream.size(), out.data(), capacity, &produced);
    FUZZ_CHECK(produced <= capacity);
    if (result != InflateResult::inflated) return;
    out.resize(produced);
    LodePNGDecompressSettings settings;
    lodepng_decompress_settings_init(&settings);
    settings.max_output_size = capacity;
    unsigned char* lode = nullptr;
    size_t lode_size = 0;
    FUZZ_CHECK(lodepng_zlib_decompress(&lode, &lode_size, stream.data(), stream.size(), &settings) == 0);
    FUZZ_CHECK(lode_size == produced && same_bytes(lode, out.data(), produced));
    hook_free(lode);
    bool window_refused = false;
    const std::optional<std::vector<uint8_t>> z = zlib_alone(stream, capacity, &window_refused);
    FUZZ_CHECK(z ? *z == out : window_refused && (stream[0] >> 4) < 7);
}

// The IDAT data of a PNG's chunks, in order.
std::vector<uint8_t> image_data(const std::vector<uint8_t>& b) {
    std::vector<uint8_t> stream;
    for (uint64_t pos = 8; pos + 12 <= b.size(); pos += uint64_t{fuzz_be32(b.data() + pos)} + 12) {
        const uint64_t length = fuzz_be32(b.data() + pos);
        if (pos + 12 + length > b.size()) break;
        if (same_bytes(b.data() + pos + 4, "IDAT", 4))
            stream.insert(stream.end(), b.begin() + static_cast<ptrdiff_t>(pos + 8),
                          b.begin() + static_cast<ptrdiff_t>(pos + 8 + length));
    }
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes = exact_copy(data, size);
    check_inflater(bytes);
    check_inflater(image_data(bytes));
    const uint64_t live = hook_live_blocks();
    Grey16Image image;
    const Status status = decode_grey16_png("fuzz.png", bytes.data(), size, &image);
    // The reader's own path and its hook take a file exactly when LodePNG
    // alone does, with the same samples.
    std::vector<uint8_t> expected;
    const std::optional<bool> taken = lodepng_alone(bytes, &expected);
    if (taken) FUZZ_CHECK(*taken == (status == status_ok));
    if (status != status_ok) {
        FUZZ_CHECK(image.samples == nullptr && image.rows == nullptr);
        FUZZ_CHECK(hook_live_blocks() == live);
        return 0;
    }
    FUZZ_CHECK(hook_live_blocks() == live + 1);
    FUZZ_CHECK(image.width >= 1 && image.height >= 1);
    FUZZ_CHECK(image.width <= max_heightmap_side && image.height <= max_heightmap_side);
    FUZZ_CHECK(image.sea_level == model_sea_level(bytes.data(), size));
    const uint32_t w = image.width, h = image.height;
    const uint16_t sea_level = image.sea_level;
    const uint64_t count = uint64_t{w} * h;
    // Every sample is readable (AddressSanitizer watches the decoder's blocks).
    std::vector<uint8_t> samples1;
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* row = grey16_row(image, y);
        samples1.insert(samples1.end(), row, row + 2 * size_t{w});
    }
    if (taken) FUZZ_CHECK(samples1 == expected);
    release_grey16_image(&image);
    FUZZ_CHECK(hook_live_blocks() == live);
    if (count > (1u << 18)) return 0;  // keep each run short

    // Heightmap 2: the same image mirrored left to right.
    std::vector<uint8_t> samples2(2 * count);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int k = 0; k < 2; ++k)
                samples2[2 * (uint64_t{y} * w + x) + k] = samples1[2 * (uint64_t{y} * w + (w - 1 - x)) + k];
    // Heightmap 1 reaches the encoder as a table of row starts, its rows
    // apart; heightmap 2 as one block.
    const size_t stride = 2 * size_t{w} + 3;
    std::vector<uint8_t> apart(stride * h);
    std::vector<const uint8_t*> starts(h);
    for (uint32_t y = 0; y < h; ++y) {
        memcpy(apart.data() + stride * y, samples1.data() + 2 * size_t{w} * y, 2 * size_t{w});
        starts[y] = apart.data() + stride * y;
    }
    const HeightmapPair pair{nullptr, samples2.data(), w, h, sea_level, starts.data(), nullptr};

    const uint64_t nb = heightmap_block_count(w, h);
    FUZZ_CHECK(nb == uint64_t{(w + 7) / 8} * ((h + 7) / 8));
    std::vector<uint8_t> chunk(chunk_capacity(nb));
    std::vector<uint32_t> index(pattern_index_size(nb) / sizeof(uint32_t));
    Reports reports;
    const uint64_t span = encode_heightmaps(pair, chunk.data(), index.data(), max_patterns, note_truncation, &reports);
    const uint64_t np = fuzz_le32(chunk.data() + 16);
    const uint64_t l2 = fuzz_le32(chunk.data() + 28 + 16 * nb);
    FUZZ_CHECK(span == 32 + 16 * nb + l2);
    FUZZ_CHECK(l2 == 64 * np && np >= 1 && np <= 2 * nb);
    FUZZ_CHECK(same_bytes(chunk.data(), "HMAP", 4));
    FUZZ_CHECK(fuzz_le32(chunk.data() + 4) == uint32_t(8 * nb + l2 + 24));
    FUZZ_CHECK(fuzz_le32(chunk.data() + 8) == w && fuzz_le32(chunk.data() + 12) == h);
    FUZZ_CHECK(fuzz_le32(chunk.data() + 20) == nb && fuzz_le32(chunk.data() + 24) == 16 * nb);
    Reports expected_reports;
    check_heightmap(chunk.data(), 0, samples1.data(), w, h, sea_level, np, expected_reports);
    check_heightmap(chunk.data(), nb, samples2.data(), w, h, sea_level, np, expected_reports);
    FUZZ_CHECK(reports == expected_reports);
    std::set<std::string> distinct;
    for (uint64_t i = 0; i < np; ++i)
        distinct.emplace(reinterpret_cast<const char*>(chunk.data() + 32 + 16 * nb + 64 * i), 64);
    FUZZ_CHECK(distinct.size() == np);

    // The plain scan gives the same bytes, and the limit refuses at np patterns.
    std::vector<uint8_t> again(chunk.size());
    if (nb * np <= (1u << 20)) {
        FUZZ_CHECK(encode_heightmaps(pair, again.data(), nullptr, max_patterns, nullptr, nullptr) == span);
        FUZZ_CHECK(same_bytes(again.data(), chunk.data(), span));
    }
    FUZZ_CHECK(encode_heightmaps(pair, again.data(), index.data(), np + 1, nullptr, nullptr) == span);
    FUZZ_CHECK(encode_heightmaps(pair, again.data(), index.data(), np, nullptr, nullptr) == 0);

    // Inside a battle file the new chunk loads, with the patterns it references.
    std::vector<uint8_t> battle(reinterpret_cast<const uint8_t*>("Kelvaroth Battle file 1.10      "),
                                reinterpret_cast<const uint8_t*>("Kelvaroth Battle file 1.10      ") + 32);
    // Chunks 1 to 4 without data but for chunk 3's count word (S3 = 4, N3 = 0),
    // then the 8 bytes before the heightmap chunk.
    for (int c = 0; c < 4; ++c) {
        battle.insert(battle.end(), {'L', 'E', 'A', 'D', uint8_t(c == 2 ? 4 : 0), 0, 0, 0});
        if (c == 2) battle.insert(battle.end(), {0, 0, 0, 0});
    }
    battle.insert(battle.end(), 8, 0);
    const uint64_t t = battle.size();
    battle.insert(battle.end(), chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(span));
    battle.insert(battle.end(), {'A', 'T', 'T', 'R', 0});
    BattleFile file{};
    file.data = battle.data();
    file.size = battle.size();
    const char* verdict = check_battle_bytes(&file);
    FUZZ_CHECK(verdict == nullptr);
    FUZZ_CHECK(file.chunk_pos == t && file.chunk_span == span);
    return 0;
}
