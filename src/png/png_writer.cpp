// The export command: writes each heightmap of a battle file as an
// uncompressed 16-bit greyscale PNG. Samples are expanded from the 8x8 blocks
// straight into the stored deflate blocks of the file image, with Adler-32
// and the IDAT CRC computed on the way while the bytes are still in cache.
#include <bit>
#include <cstring>

#include "png_heightmap.h"

namespace {

constexpr uint64_t stored_block_limit = 65535;

// Lays the zlib stream into the file image: stored-block headers every 65535
// raw bytes and, for a stream too long for one chunk, IDAT chunk boundaries.
struct StreamWriter {
    uint8_t* p;               // next byte of the file image
    uint64_t chunk_limit;
    uint64_t stream_left;     // stream bytes not yet written
    uint64_t chunk_left;      // stream bytes the open IDAT chunk still takes
    uint64_t raw_left;        // raw bytes not yet given a stored block
    uint64_t block_left;      // raw bytes the open stored block still takes
    uint32_t crc;             // CRC of the open chunk up to crc_from
    const uint8_t* crc_from;  // first byte not yet in crc
    uint32_t adler;

    void open_chunk() {
        uint64_t length = stream_left < chunk_limit ? stream_left : chunk_limit;
        write_be32(p, static_cast<uint32_t>(length));
        memcpy(p + 4, "IDAT", 4);
        crc = crc32_bytes(p + 4, 4);
        p += 8;
        crc_from = p;
        chunk_left = length;
    }

    void flush_crc() {
        crc = crc32_update(crc, crc_from, static_cast<size_t>(p - crc_from));
        crc_from = p;
    }

    void close_chunk() {
        flush_crc();
        write_be32(p, crc);
        p += 4;
    }

    // Moves past `n` stream bytes just written at p (never more than the
    // open chunk takes), opening the next chunk when this one is full.
    void advance(uint64_t n) {
        p += n;
        chunk_left -= n;
        stream_left -= n;
        if (chunk_left == 0 && stream_left != 0) {
            close_chunk();
            open_chunk();
        }
    }

    void put_stream(const uint8_t* bytes, uint64_t n) {
        while (n > 0) {
            uint64_t m = n < chunk_left ? n : chunk_left;
            memcpy(p, bytes, static_cast<size_t>(m));
            bytes += m;
            n -= m;
            advance(m);
        }
    }

    void open_block() {
        uint64_t length = raw_left < stored_block_limit ? raw_left : stored_block_limit;
        raw_left -= length;
        uint16_t len = static_cast<uint16_t>(length);
        uint16_t nlen = static_cast<uint16_t>(~len);
        const uint8_t header[5] = {static_cast<uint8_t>(raw_left == 0 ? 1 : 0),  // final flag, type "stored"
                                   static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                                   static_cast<uint8_t>(nlen), static_cast<uint8_t>(nlen >> 8)};
        put_stream(header, sizeof header);
        block_left = length;
    }

    // Where `n` raw bytes can be written in place, or null when they would
    // cross a block header or a chunk boundary.
    uint8_t* room_for(uint64_t n) {
        if (block_left == 0) open_block();
        return n <= block_left && n <= chunk_left ? p : nullptr;
    }

    // Takes the `n` raw bytes written at the place room_for gave.
    void commit(uint64_t n) {
        adler = adler32_update(adler, p, static_cast<size_t>(n));
        block_left -= n;
        advance(n);
    }

    void put_raw(const uint8_t* bytes, uint64_t n) {
        adler = adler32_update(adler, bytes, static_cast<size_t>(n));
        while (n > 0) {
            if (block_left == 0) open_block();
            uint64_t m = n < block_left ? n : block_left;
            put_stream(bytes, m);
            block_left -= m;
            bytes += m;
            n -= m;
        }
    }
};

constexpr bool little_endian = std::endian::native == std::endian::little;

// Four pattern bytes (the first one lowest) as 16-bit lanes of a 64-bit word.
inline uint64_t spread_lanes(const uint8_t* p) {
    uint32_t w;
    if constexpr (little_endian) {
        memcpy(&w, p, 4);
    } else {
        w = read_le32(p);
    }
    uint64_t x = w;
    x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
    x = (x | (x << 8)) & 0x00FF00FF00FF00FFull;
    return x;
}

inline void store_le64(uint8_t* out, uint64_t v) {
    if constexpr (little_endian) {
        memcpy(out, &v, 8);
    } else {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Patterns are met in the order of the table, scattered over the pool; asking
// for one a few blocks ahead hides most of the wait for memory.
inline void prefetch(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}
constexpr uint32_t prefetch_distance = 16;  // blocks

// Four samples pattern x 128 + base (mod 65536 in each lane), big-endian.
// Pattern x 128 is at most 32640, so the lanes' top bits are added apart and
// no carry crosses into the next lane.
inline void put_four(uint8_t* out, const uint8_t* pattern, uint64_t base_lanes) {
    constexpr uint64_t top = 0x8000800080008000ull;
    constexpr uint64_t low_bytes = 0x00FF00FF00FF00FFull;
    uint64_t v = (spread_lanes(pattern) << 7) + (base_lanes & ~top);
    v ^= base_lanes & top;
    v = ((v & low_bytes) << 8) | ((v >> 8) & low_bytes);
    store_le64(out, v);
}

// One raw row: filter byte 0, then big-endian samples pattern x 128 + base +
// sea level (mod 65536). `entries` are the layer-1 entries of the row's block
// row, `row_in_block` the row's place inside its blocks.
void fill_row(uint8_t* out, const uint8_t* entries, const uint8_t* patterns, uint32_t width,
              uint32_t row_in_block, uint16_t sea_level) {
    *out++ = 0;
    const uint32_t full_blocks = width / 8;
    for (uint32_t bx = 0; bx < full_blocks; ++bx, entries += 8, out += 16) {
        if (bx + prefetch_distance < full_blocks) {
            prefetch(patterns + read_le32(entries + 8 * prefetch_distance + 4) + row_in_block * 8);
        }
        const uint16_t base = static_cast<uint16_t>(read_le32(entries) + sea_level);
        const uint8_t* pattern = patterns + read_le32(entries + 4) + row_in_block * 8;
        const uint64_t base_lanes = base * 0x0001000100010001ull;
        put_four(out, pattern, base_lanes);
        put_four(out + 8, pattern + 4, base_lanes);
    }
    if (const uint32_t rest = width % 8) {
        const uint16_t base = static_cast<uint16_t>(read_le32(entries) + sea_level);
        const uint8_t* pattern = patterns + read_le32(entries + 4) + row_in_block * 8;
        for (uint32_t i = 0; i < rest; ++i) {
            const uint16_t v = static_cast<uint16_t>(pattern[i] * 128 + base);
            out[2 * i] = static_cast<uint8_t>(v >> 8);
            out[2 * i + 1] = static_cast<uint8_t>(v);
        }
    }
}

}  // namespace

PngLayout png_layout(uint32_t width, uint32_t height, uint64_t chunk_limit) {
    PngLayout layout;
    layout.raw_bytes = (2 * uint64_t{width} + 1) * height;
    layout.blocks = (layout.raw_bytes + stored_block_limit - 1) / stored_block_limit;
    layout.stream_bytes = 2 + 5 * layout.blocks + layout.raw_bytes + 4;
    layout.chunk_limit = chunk_limit;
    layout.idat_chunks = (layout.stream_bytes + chunk_limit - 1) / chunk_limit;
    // Signature 8, IHDR 25, the IDAT chunks' framing 12 each, hmAP 14, IEND 12.
    layout.file_bytes = 8 + 25 + layout.stream_bytes + 12 * layout.idat_chunks + sea_level_chunk_size + 12;
    return layout;
}

void build_png_image(uint8_t* out, const PngLayout& layout, const BattleFile& file, int layer, uint8_t* row_scratch) {
    const uint32_t width = battle_width(file);
    const uint32_t height = battle_height(file);
    static constexpr uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    memcpy(out, png_signature, 8);
    write_be32(out + 8, 13);
    memcpy(out + 12, "IHDR", 4);
    write_be32(out + 16, width);
    write_be32(out + 20, height);
    out[24] = 16;  // bit depth
    out[25] = 0;   // greyscale
    out[26] = 0;   // compression, filter and interlace methods
    out[27] = 0;
    out[28] = 0;
    write_be32(out + 29, crc32_bytes(out + 12, 17));

    StreamWriter s{};
    s.p = out + 33;
    s.chunk_limit = layout.chunk_limit;
    s.stream_left = layout.stream_bytes;
    s.raw_left = layout.raw_bytes;
    s.adler = 1;
    s.open_chunk();
    static constexpr uint8_t zlib_header[2] = {0x78, 0x01};
    s.put_stream(zlib_header, 2);

    const uint64_t blocks_per_row = (width + 7) / 8;
    const uint8_t* entries = battle_entries(file) + uint64_t(layer) * battle_block_count(file) * 8;
    const uint8_t* patterns = battle_patterns(file);
    const uint64_t row_bytes = 2 * uint64_t{width} + 1;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row_entries = entries + (y / 8) * blocks_per_row * 8;
        if (uint8_t* place = s.room_for(row_bytes)) {
            fill_row(place, row_entries, patterns, width, y % 8, file.sea_level);
            s.commit(row_bytes);
        } else {
            fill_row(row_scratch, row_entries, patterns, width, y % 8, file.sea_level);
            s.put_raw(row_scratch, row_bytes);
        }
        s.flush_crc();
    }

    uint8_t adler[4];
    write_be32(adler, s.adler);
    s.put_stream(adler, 4);
    s.close_chunk();
    write_sea_level_chunk(s.p, file.sea_level);
    static constexpr uint8_t iend_chunk[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    memcpy(s.p + sea_level_chunk_size, iend_chunk, sizeof iend_chunk);
}

namespace {

// Builds and writes one heightmap's PNG in `image` (file image and scratch row).
Status write_png_layer(const char* path, const BattleFile& file, int layer, const PngLayout& layout, uint8_t* image) {
    build_png_image(image, layout, file, layer, image + layout.file_bytes);
    if (!write_file_whole(path, image, layout.file_bytes)) return report_file_failure(path);
    return status_ok;
}

uint64_t image_buffer_size(const PngLayout& layout, const BattleFile& file) {
    return layout.file_bytes + 2 * uint64_t{battle_width(file)} + 1;  // the file image, then the scratch row
}

}  // namespace

Status export_png_layer(const char* path, const BattleFile& file, int layer) {
    const PngLayout layout = png_layout(battle_width(file), battle_height(file));
    uint8_t* image = allocate_buffer(image_buffer_size(layout, file));
    if (image == nullptr) return report_out_of_memory(path);
    Status status = write_png_layer(path, file, layer, layout, image);
    release_buffer(image);
    return status;
}

Status run_export(const char* battle_path, const char* png1_path, const char* png2_path) {
    // An image written over the battle file would destroy the map it comes
    // from; checked before anything is read.
    bool clash1 = report_output_is_input(png1_path, battle_path);
    bool clash2 = report_output_is_input(png2_path, battle_path);
    if (clash1 || clash2) return status_refused;
    BattleFile file;
    if (Status status = load_battle_file(battle_path, &file)) return status;
    // Both heightmaps have the same size, so one image buffer serves both
    // (its pages are touched once). Without it, each heightmap reports its
    // own allocation failure.
    const PngLayout layout = png_layout(battle_width(file), battle_height(file));
    uint8_t* image = allocate_buffer(image_buffer_size(layout, file));
    Status first, second;
    // The second heightmap is written whatever became of the first.
    if (image != nullptr) {
        first = write_png_layer(png1_path, file, 0, layout, image);
        second = write_png_layer(png2_path, file, 1, layout, image);
        release_buffer(image);
    } else {
        first = export_png_layer(png1_path, file, 0);
        second = export_png_layer(png2_path, file, 1);
    }
    release_buffer(file.data);
    return first != status_ok ? first : second;
}
