// A libFuzzer mutator for PNG inputs: after libFuzzer's own mutation it
// repairs every chunk's CRC and, when the image data is a zlib stream of
// stored blocks (as hmap writes it), the blocks' NLEN words and the Adler-32,
// so that most mutations reach past the decoder's checksums into the header
// fields, the image data and the import. One input in eight keeps its damage.
#pragma once

#ifdef HMAP_LIBFUZZER

#include <cstddef>
#include <cstdint>
#include <vector>

#include "png_heightmap.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace png_mutator {

inline void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

inline void repair(uint8_t* data, size_t size) {
    struct Chunk {
        size_t pos, length;
    };
    std::vector<Chunk> chunks;
    std::vector<size_t> idat;  // file position of each byte of the zlib stream
    for (size_t pos = 8; pos + 12 <= size;) {
        const size_t length = (size_t{data[pos]} << 24) | (size_t{data[pos + 1]} << 16) |
                              (size_t{data[pos + 2]} << 8) | data[pos + 3];
        if (length > size - pos - 12) break;
        chunks.push_back({pos, length});
        if (data[pos + 4] == 'I' && data[pos + 5] == 'D' && data[pos + 6] == 'A' && data[pos + 7] == 'T')
            for (size_t i = 0; i < length; ++i) idat.push_back(pos + 8 + i);
        pos += length + 12;
    }
    // Stored blocks from the 2-byte zlib header on: NLEN = ~LEN, then the
    // Adler-32 of all their bytes after the final one.
    auto at = [&](size_t i) -> uint8_t& { return data[idat[i]]; };
    uint32_t adler = 1;
    for (size_t i = 2; i + 5 <= idat.size();) {
        const uint8_t header = at(i);
        if ((header >> 1) & 3) break;  // not a stored block
        const size_t length = at(i + 1) | (at(i + 2) << 8);
        at(i + 3) = static_cast<uint8_t>(~length);
        at(i + 4) = static_cast<uint8_t>(~length >> 8);
        if (i + 5 + length > idat.size()) break;
        for (size_t k = 0; k < length; ++k) {
            const uint8_t byte = at(i + 5 + k);
            adler = adler32_update(adler, &byte, 1);
        }
        i += 5 + length;
        if (header & 1) {
            if (i + 4 <= idat.size())
                for (int k = 0; k < 4; ++k) at(i + k) = static_cast<uint8_t>(adler >> (24 - 8 * k));
            break;
        }
    }
    for (const Chunk& c : chunks) put_be32(data + c.pos + 8 + c.length, crc32_bytes(data + c.pos + 4, c.length + 4));
}

}  // namespace png_mutator

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, max_size);
    if (seed % 8 != 0) png_mutator::repair(data, size);
    return size;
}

#endif
