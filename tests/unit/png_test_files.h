// Small PNG files built in memory for the reader's and the import's tests:
// stored deflate blocks, filter type 0, any header the test wants; or any
// zlib stream the test gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "png_heightmap.h"

namespace test_png {

inline void put_be32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

inline void put_chunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data,
                      bool good_crc = true) {
    put_be32(out, static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put_be32(out, crc32_bytes(body.data(), body.size()) ^ (good_crc ? 0u : 1u));
}

// A zlib stream of stored blocks holding `data`.
inline std::vector<uint8_t> stored_zlib(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = data.size() - pos < 65535 ? data.size() - pos : 65535;
        z.push_back(pos + n == data.size() ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n));
        z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n));
        z.push_back(static_cast<uint8_t>(~n >> 8));
        z.insert(z.end(), data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n));
        pos += n;
    } while (pos < data.size());
    put_be32(z, adler32_bytes(data.data(), data.size()));
    return z;
}

// A PNG with the given header and `stream` as its IDAT data, plus `extra`
// chunk bytes before IEND.
inline std::vector<uint8_t> png_of_stream(uint32_t width, uint32_t height, uint8_t bit_depth, uint8_t colour_type,
                                          const std::vector<uint8_t>& stream, const std::vector<uint8_t>& extra = {}) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr.insert(ihdr.end(), {bit_depth, colour_type, 0, 0, 0});
    put_chunk(out, "IHDR", ihdr);
    put_chunk(out, "IDAT", stream);
    out.insert(out.end(), extra.begin(), extra.end());
    put_chunk(out, "IEND", {});
    return out;
}

// The same with `filtered` as its decompressed image data (each scanline led
// by its filter byte), in stored blocks.
inline std::vector<uint8_t> png(uint32_t width, uint32_t height, uint8_t bit_depth, uint8_t colour_type,
                                const std::vector<uint8_t>& filtered, const std::vector<uint8_t>& extra = {}) {
    return png_of_stream(width, height, bit_depth, colour_type, stored_zlib(filtered), extra);
}

// A 16-bit greyscale PNG of `samples` (row-major), with an hmAP chunk when
// `sea_level` is not negative.
inline std::vector<uint8_t> grey16(uint32_t width, uint32_t height, const std::vector<uint16_t>& samples,
                                   int sea_level = -1) {
    std::vector<uint8_t> filtered;
    for (uint32_t y = 0; y < height; ++y) {
        filtered.push_back(0);
        for (uint32_t x = 0; x < width; ++x) {
            uint16_t v = samples[size_t{y} * width + x];
            filtered.push_back(static_cast<uint8_t>(v >> 8));
            filtered.push_back(static_cast<uint8_t>(v));
        }
    }
    std::vector<uint8_t> extra;
    if (sea_level >= 0) {
        extra.resize(sea_level_chunk_size);
        write_sea_level_chunk(extra.data(), static_cast<uint16_t>(sea_level));
    }
    return png(width, height, 16, 0, filtered, extra);
}

// A decoded image's samples, row after row, wherever its rows lie.
inline std::vector<uint8_t> samples_of(const Grey16Image& image) {
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = grey16_row(image, y);
        out.insert(out.end(), row, row + 2 * size_t{image.width});
    }
    return out;
}

}  // namespace test_png
