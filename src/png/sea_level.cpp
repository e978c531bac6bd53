// The PNG chunk walker and the private sea-level chunk "hmAP".
#include <cstring>

#include "png_heightmap.h"

bool has_png_signature(const uint8_t* bytes, uint64_t size) {
    return size >= sizeof png_signature && memcmp(bytes, png_signature, sizeof png_signature) == 0;
}

std::optional<uint64_t> find_png_chunk(const uint8_t* bytes, uint64_t size, const char type[4]) {
    if (size < 12) return std::nullopt;
    // Positions are 64-bit and lengths at most 2^32 - 1, so stepping never wraps.
    for (uint64_t pos = 8; pos <= size - 12; pos += uint64_t{read_be32(bytes + pos)} + 12) {
        if (memcmp(bytes + pos + 4, type, 4) == 0) return pos;
    }
    return std::nullopt;
}

void write_sea_level_chunk(uint8_t* out, uint16_t sea_level) {
    write_be32(out, 2);
    memcpy(out + 4, "hmAP", 4);
    out[8] = static_cast<uint8_t>(sea_level);
    out[9] = static_cast<uint8_t>(sea_level >> 8);
    write_be32(out + 10, crc32_bytes(out + 4, 6));
}

StoredSeaLevel find_sea_level(const uint8_t* bytes, uint64_t size) {
    std::optional<uint64_t> chunk = find_png_chunk(bytes, size, "hmAP");
    if (!chunk) return {SeaLevelChunk::absent, 0};
    // A found chunk has 12 bytes inside the data, but with a declared length
    // of 0 or 1 the bytes after its type are its CRC, not a sea level.
    if (read_be32(bytes + *chunk) < 2) return {SeaLevelChunk::too_short, 0};
    const uint8_t* value = bytes + *chunk + 8;
    return {SeaLevelChunk::present, static_cast<uint16_t>(value[0] | (value[1] << 8))};
}

Status report_bad_png(const char* path) {
    console_printf("%s > Error: Bad PNG image file\r\n", path);
    return status_refused;
}

SeaLevelEdit edit_sea_level(uint8_t* bytes, uint64_t* size, uint16_t sea_level) {
    uint64_t s = *size;
    if (!has_png_signature(bytes, s)) return SeaLevelEdit::not_png;
    if (std::optional<uint64_t> chunk = find_png_chunk(bytes, s, "hmAP")) {
        uint64_t c = *chunk;
        uint64_t length = read_be32(bytes + c);
        // The value needs two data bytes, and the CRC over the declared
        // length must end inside the file.
        if (length < 2 || c + 12 + length > s) return SeaLevelEdit::bad_chunk;
        bytes[c + 8] = static_cast<uint8_t>(sea_level);
        bytes[c + 9] = static_cast<uint8_t>(sea_level >> 8);
        write_be32(bytes + c + 8 + length, crc32_bytes(bytes + c + 4, static_cast<size_t>(length + 4)));
        return SeaLevelEdit::updated;
    }
    std::optional<uint64_t> iend = find_png_chunk(bytes, s, "IEND");
    if (!iend) return SeaLevelEdit::no_iend;
    if (*iend != s - 12) return SeaLevelEdit::data_after_iend;
    write_sea_level_chunk(bytes + *iend, sea_level);
    memcpy(bytes + *iend + sea_level_chunk_size, iend_chunk, sizeof iend_chunk);
    *size = s + sea_level_chunk_size;
    return SeaLevelEdit::inserted;
}
