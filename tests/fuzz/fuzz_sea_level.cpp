// The chunk walker and the in-place sea-level edit on an arbitrary file in
// memory. find_png_chunk must agree with a plain walk, find_sea_level with
// the chunk it finds; edit_sea_level must change nothing outside the hmAP
// chunk's value and CRC (or, when it inserts, anything before IEND), store a
// CRC that checks, refuse exactly when the model says so (and then change
// nothing), and be idempotent.
#include <optional>

#include "fuzz_check.h"
#include "png_heightmap.h"

namespace {

std::optional<uint64_t> model_find(const std::vector<uint8_t>& b, const char* type) {
    uint64_t pos = 8;
    while (pos + 12 <= b.size()) {
        if (same_bytes(&b[pos + 4], type, 4)) return pos;
        pos += uint64_t{fuzz_be32(&b[pos])} + 12;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> original = exact_copy(data, size);
    for (const char* type : {"hmAP", "IEND", "IHDR", "IDAT"})
        FUZZ_CHECK(find_png_chunk(original.data(), original.size(), type) == model_find(original, type));

    const auto chunk = model_find(original, "hmAP");
    const auto iend = model_find(original, "IEND");
    const StoredSeaLevel stored = find_sea_level(original.data(), original.size());
    if (!chunk) {
        FUZZ_CHECK(stored.chunk == SeaLevelChunk::absent && stored.value == 0);
    } else if (fuzz_be32(&original[*chunk]) < 2) {
        FUZZ_CHECK(stored.chunk == SeaLevelChunk::too_short && stored.value == 0);
    } else {
        const uint8_t* v = &original[*chunk + 8];
        FUZZ_CHECK(stored.chunk == SeaLevelChunk::present && stored.value == (v[0] | (v[1] << 8)));
    }
    const bool signature = size >= 8 && same_bytes(data, png_signature, 8);

    // The value comes from the input's own CRC, so it varies with the input.
    const uint16_t value = static_cast<uint16_t>(crc32_bytes(data, size) ^ 0xA55A);
    std::vector<uint8_t> work(original);
    work.resize(size + sea_level_chunk_size, 0xEE);  // exactly the room the command allocates
    uint64_t new_size = size;
    const SeaLevelEdit result = edit_sea_level(work.data(), &new_size, value);

    if (!signature) {
        FUZZ_CHECK(result == SeaLevelEdit::not_png);
    } else if (chunk) {
        const uint64_t c = *chunk, length = fuzz_be32(&original[c]);
        if (length < 2 || c + 12 + length > size) {
            FUZZ_CHECK(result == SeaLevelEdit::bad_chunk);
        } else {
            FUZZ_CHECK(result == SeaLevelEdit::updated);
        }
        if (result == SeaLevelEdit::updated) {
            FUZZ_CHECK(new_size == size);
            // The value, then the CRC over the declared data.
            std::vector<uint8_t> expect(original);
            expect[c + 8] = static_cast<uint8_t>(value);
            expect[c + 9] = static_cast<uint8_t>(value >> 8);
            const uint32_t crc = crc32_bytes(&expect[c + 4], length + 4);
            for (int i = 0; i < 4; ++i) expect[c + 8 + length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
            FUZZ_CHECK(same_bytes(work.data(), expect.data(), size));
            FUZZ_CHECK(find_sea_level(work.data(), size).value == value);
        }
    } else if (!iend) {
        FUZZ_CHECK(result == SeaLevelEdit::no_iend);
    } else if (*iend != size - 12) {
        FUZZ_CHECK(result == SeaLevelEdit::data_after_iend);
    } else {
        FUZZ_CHECK(result == SeaLevelEdit::inserted);
        FUZZ_CHECK(new_size == size + 14);
        FUZZ_CHECK(same_bytes(work.data(), original.data(), *iend));
        uint8_t expect_chunk[14];
        write_sea_level_chunk(expect_chunk, value);
        FUZZ_CHECK(same_bytes(&work[*iend], expect_chunk, 14));
        FUZZ_CHECK(fuzz_be32(&work[*iend + 10]) == crc32_bytes(&work[*iend + 4], 6));
        FUZZ_CHECK(same_bytes(&work[*iend + 14], iend_chunk, 12));
        FUZZ_CHECK(find_sea_level(work.data(), new_size).value == value);
    }
    if (result != SeaLevelEdit::updated && result != SeaLevelEdit::inserted) {
        // Refused: the bytes are left exactly as they were.
        FUZZ_CHECK(new_size == size);
        FUZZ_CHECK(same_bytes(work.data(), original.data(), size));
        return 0;
    }
    // Storing the same value again finds the chunk and changes nothing.
    std::vector<uint8_t> again(work.begin(), work.begin() + static_cast<ptrdiff_t>(new_size));
    again.resize(new_size + sea_level_chunk_size, 0xEE);
    uint64_t again_size = new_size;
    FUZZ_CHECK(edit_sea_level(again.data(), &again_size, value) == SeaLevelEdit::updated);
    FUZZ_CHECK(again_size == new_size);
    FUZZ_CHECK(same_bytes(again.data(), work.data(), new_size));
    return 0;
}
