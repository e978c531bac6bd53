// The project's own readers (RAW, PFM, .hgt) and the PNG one, on bytes in
// memory (see grid_check.h). The first byte chooses the name the file goes
// by, and so the reader when no signature tells, and the map size a RAW
// file is given: its low three bits the extension, the rest a side 0..31.
// Bytes after it that start with "ENVI" are an ENVI header up to a zero
// byte, parsed and given to the RAW reader as the header beside the file;
// the file is what follows.
#include <cstring>

#include "grid_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const names[8] = {"in.r16", "in.raw", "in.r32", "in.hgt", "in.pfm", "in.png", "in", "in.R16"};
    const uint32_t side = data[0] >> 3;
    GridHints hints;
    hints.width = side;
    hints.height = side != 0 ? (side * 7) % 32 + 1 : 0;
    const uint8_t* file = data + 1;
    size_t length = size - 1;
    if (length >= 4 && memcmp(file, "ENVI", 4) == 0) {
        const auto* end = static_cast<const uint8_t*>(memchr(file, 0, length));
        if (end == nullptr) return 0;
        const std::vector<uint8_t> text = exact_copy(file, static_cast<size_t>(end - file));
        GridDetail detail;
        const GridError error = parse_envi_header(text.data(), text.size(), &hints.raw, &detail);
        FUZZ_CHECK(error == GridError::none || error == GridError::bad_envi_header ||
                   error == GridError::envi_bands || error == GridError::envi_data_type);
        FUZZ_CHECK(strnlen(detail.text, sizeof detail.text) < sizeof detail.text);
        FUZZ_CHECK(error != GridError::none || (hints.raw.width != 0 && hints.raw.height != 0));
        if (error != GridError::none) return 0;
        length -= text.size() + 1;
        file = end + 1;
    }
    check_read_grid(names[data[0] & 7], file, length, hints);
    return 0;
}
