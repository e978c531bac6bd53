// The export of a loaded battle file: for any bytes the loader accepts, the
// PNG the writer builds must have exactly the planned size and chunk framing
// (CRCs that check, the IDAT chunks, hmAP holding the sea level, IEND), and
// LodePNG must decode it back to the samples the battle file gives, which the
// heightmap reader must return as well. The input's last byte picks the IDAT
// chunk size and the size of the parts the PNG is handed over in, so streams
// split over many chunks and parts ending anywhere are covered too. Mutated
// inputs get their heightmap chunk rebuilt to pass the loader
// (battle_mutator.h), so mutations reach the writer.
#include <lodepng.h>

#include <string>

#include "battle_file.h"
#include "battle_mutator.h"
#include "fuzz_check.h"
#include "commands.h"
#include "png_heightmap.h"

namespace {

// Samples of heightmap `layer` as the battle file gives them, big-endian.
std::vector<uint8_t> expected_samples(const BattleFile& f, int layer) {
    const uint32_t w = battle_width(f), h = battle_height(f);
    const uint64_t nb = battle_block_count(f), per_row = (w + 7) / 8;
    std::vector<uint8_t> out;
    out.reserve(2 * uint64_t{w} * h);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* e = battle_entries(f) + 8 * (layer * nb + (y / 8) * per_row + x / 8);
            uint8_t p = battle_patterns(f)[read_le32(e + 4) + (y % 8) * 8 + (x % 8)];
            uint16_t v = static_cast<uint16_t>(p * 128u + read_le32(e) + f.sea_level);
            out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v));
        }
    }
    return out;
}

// Walks the chunks: every CRC checks, and the sequence is IHDR, `idat` IDAT
// chunks, hmAP, IEND, ending exactly at the end of the file.
void check_framing(const std::vector<uint8_t>& png, uint64_t idat, uint16_t sea_level) {
    static const uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    FUZZ_CHECK(png.size() >= 8 && same_bytes(png.data(), png_signature, 8));
    std::vector<std::string> types;
    uint64_t pos = 8;
    while (pos < png.size()) {
        FUZZ_CHECK(pos + 12 <= png.size());
        uint64_t length = fuzz_be32(&png[pos]);
        FUZZ_CHECK(pos + 12 + length <= png.size());
        FUZZ_CHECK(fuzz_be32(&png[pos + 8 + length]) == crc32_bytes(&png[pos + 4], length + 4));
        types.emplace_back(reinterpret_cast<const char*>(&png[pos + 4]), 4);
        if (types.back() == "hmAP") {
            FUZZ_CHECK(length == 2);
            FUZZ_CHECK((png[pos + 8] | (png[pos + 9] << 8)) == sea_level);
        }
        pos += length + 12;
    }
    FUZZ_CHECK(pos == png.size());
    FUZZ_CHECK(types.size() == idat + 3);
    FUZZ_CHECK(types.front() == "IHDR");
    for (uint64_t i = 1; i <= idat; ++i) FUZZ_CHECK(types[i] == "IDAT");
    FUZZ_CHECK(types[idat + 1] == "hmAP");
    FUZZ_CHECK(types.back() == "IEND");
}

bool append(void* context, const uint8_t* bytes, uint64_t count) {
    FUZZ_CHECK(count > 0);
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), bytes, bytes + count);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes = exact_copy(data, size);
    BattleFile file{};
    file.data = bytes.data();
    file.size = size;
    if (check_battle_bytes(&file) != nullptr) return 0;
    const uint32_t w = battle_width(file), h = battle_height(file);
    if (uint64_t{w} * h > (1u << 16)) return 0;  // keep each run short

    static const uint64_t limits[] = {max_chunk_data, 1, 2, 5, 64, 1000, 65535, 65536, 65542};
    const uint64_t chunk_limit = limits[data[size - 1] % (sizeof limits / sizeof limits[0])];
    static const uint64_t parts[] = {4096, 1, 3, 17, 1000, 65536};
    const uint64_t part_bytes = parts[data[size - 1] / 16 % (sizeof parts / sizeof parts[0])];
    const uint64_t live = hook_live_blocks();
    for (int layer = 0; layer < 2; ++layer) {
        const PngLayout layout = png_layout(w, h, chunk_limit);
        FUZZ_CHECK(layout.raw_bytes == (2 * uint64_t{w} + 1) * h);
        std::vector<uint8_t> png;
        std::vector<uint8_t> buffer(part_bytes + 2 * uint64_t{w} + 1);
        FUZZ_CHECK(stream_battle_png(layout, file, layer, buffer.data(), part_bytes, append, &png));
        FUZZ_CHECK(png.size() == layout.file_bytes);
        check_framing(png, layout.idat_chunks, file.sea_level);
        if (chunk_limit == max_chunk_data) {
            // One IDAT chunk: D + 71 bytes in all.
            FUZZ_CHECK(layout.idat_chunks == 1);
            FUZZ_CHECK(png.size() == 5 * ((layout.raw_bytes + 65534) / 65535) + layout.raw_bytes + 6 + 71);
        }

        const std::vector<uint8_t> expected = expected_samples(file, layer);
        LodePNGState state;
        lodepng_state_init(&state);
        state.decoder.color_convert = 0;
        unsigned char* decoded = nullptr;
        unsigned dw = 0, dh = 0;
        unsigned error = lodepng_decode(&decoded, &dw, &dh, &state, png.data(), png.size());
        FUZZ_CHECK(error == 0);
        FUZZ_CHECK(state.info_png.color.colortype == LCT_GREY && state.info_png.color.bitdepth == 16);
        FUZZ_CHECK(dw == w && dh == h);
        FUZZ_CHECK(same_bytes(decoded, expected.data(), expected.size()));
        lodepng_state_cleanup(&state);
        hook_free(decoded);

        Grey16Image image;
        FUZZ_CHECK(decode_grey16_png("export.png", png.data(), png.size(), &image) == status_ok);
        FUZZ_CHECK(image.width == w && image.height == h && image.sea_level == file.sea_level);
        // hmap's own PNGs, their stream in one chunk, are read where their
        // rows lie, never inflated.
        FUZZ_CHECK((image.rows != nullptr) == (layout.idat_chunks == 1));
        for (uint32_t y = 0; y < h; ++y)
            FUZZ_CHECK(same_bytes(grey16_row(image, y), expected.data() + 2 * size_t{w} * y, 2 * size_t{w}));
        release_grey16_image(&image);
        FUZZ_CHECK(hook_live_blocks() == live);
    }
    return 0;
}
