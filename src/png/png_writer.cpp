// The export command: writes each heightmap of a battle file as an
// uncompressed 16-bit greyscale PNG. The file's layout is known in advance,
// so it is made front to back through one small buffer: samples are expanded
// from the 8x8 blocks straight into the stored deflate blocks, with the
// Adler-32 and the IDAT CRC computed on the way, and each full buffer is
// handed to the file. The picture command makes its RGB pictures the same way.
#include <cstring>

#include "png_heightmap.h"

namespace {

constexpr uint64_t stored_block_limit = 65535;

// Lays the PNG into the part buffer: chunk framing with running CRCs, and the
// zlib stream with its stored-block headers every 65535 raw bytes and, for a
// stream too long for one chunk, IDAT chunk boundaries.
struct PngStream {
    uint8_t* begin;           // the part buffer
    uint8_t* p;               // next byte of it
    uint8_t* end;
    PngSink sink;
    void* context;
    bool ok;                  // the sink took every part so far
    bool in_chunk;            // crc runs over the bytes from crc_from on
    uint32_t crc;
    const uint8_t* crc_from;
    uint64_t chunk_limit;
    uint64_t stream_left;     // stream bytes not yet written
    uint64_t chunk_left;      // stream bytes the open IDAT chunk still takes
    uint64_t raw_left;        // raw bytes not yet given a stored block
    uint64_t block_left;      // raw bytes the open stored block still takes
    uint32_t adler;

    void take_crc() {
        if (in_chunk) crc = crc32_update(crc, crc_from, static_cast<size_t>(p - crc_from));
        crc_from = p;
    }

    void flush() {
        take_crc();
        if (ok && p != begin) ok = sink(context, begin, static_cast<uint64_t>(p - begin));
        p = begin;
        crc_from = begin;
    }

    void emit(const uint8_t* bytes, uint64_t n) {
        while (n > 0) {
            if (p == end) flush();
            uint64_t m = static_cast<uint64_t>(end - p);
            if (n < m) m = n;
            memcpy(p, bytes, static_cast<size_t>(m));
            p += m;
            bytes += m;
            n -= m;
        }
    }

    void open_chunk(uint32_t length, const char type[4]) {
        uint8_t word[4];
        write_be32(word, length);
        emit(word, 4);
        take_crc();
        in_chunk = true;
        crc = 0;
        emit(reinterpret_cast<const uint8_t*>(type), 4);
    }

    void close_chunk() {
        take_crc();
        in_chunk = false;
        uint8_t word[4];
        write_be32(word, crc);
        emit(word, 4);
    }

    void open_idat() {
        chunk_left = stream_left < chunk_limit ? stream_left : chunk_limit;
        open_chunk(static_cast<uint32_t>(chunk_left), "IDAT");
    }

    // Stream bytes, over as many IDAT chunks as they reach.
    void put_stream(const uint8_t* bytes, uint64_t n) {
        while (n > 0) {
            if (chunk_left == 0) {
                close_chunk();
                open_idat();
            }
            uint64_t m = n < chunk_left ? n : chunk_left;
            emit(bytes, m);
            chunk_left -= m;
            stream_left -= m;
            bytes += m;
            n -= m;
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
        if (n > block_left || n > chunk_left) return nullptr;
        if (n > static_cast<uint64_t>(end - p)) flush();
        return n <= static_cast<uint64_t>(end - p) ? p : nullptr;
    }

    // Takes the `n` raw bytes written at the place room_for gave.
    void commit(uint64_t n) {
        adler = adler32_update(adler, p, static_cast<size_t>(n));
        p += n;
        block_left -= n;
        chunk_left -= n;
        stream_left -= n;
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

// The big-endian samples pattern x 128 + base (mod 65536) of `count` pixels.
inline void put_samples(uint8_t* out, const uint8_t* pattern, uint16_t base, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(pattern[i] * 128 + base);
        out[2 * i] = static_cast<uint8_t>(v >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(v);
    }
}

// One raw row: filter byte 0, then big-endian samples pattern x 128 + base +
// sea level (mod 65536). `entries` are the layer-1 entries of the row's block
// row, `row_in_block` the row's place inside its blocks.
void fill_row(uint8_t* out, const BattleFile& file, const uint8_t* entries, uint32_t width, uint32_t row_in_block,
              uint16_t sea_level) {
    *out++ = 0;
    for (uint32_t x0 = 0; x0 < width; x0 += 8, entries += 8, out += 16) {
        const uint16_t base = static_cast<uint16_t>(read_le32(entries) + sea_level);
        const uint8_t* pattern = entry_pattern(file, entries) + row_in_block * 8;
        if (width - x0 >= 8) {
            put_samples(out, pattern, base, 8);  // a whole block: a fixed count the compiler unrolls
        } else {
            put_samples(out, pattern, base, width - x0);
        }
    }
}

// The rows of one heightmap of a loaded battle file.
struct LayerRows {
    const BattleFile* file;
    const uint8_t* entries;  // the layer's first entry
    uint64_t blocks_per_row;
};

void make_layer_row(void* context, uint32_t y, uint8_t* out) {
    const auto& rows = *static_cast<const LayerRows*>(context);
    fill_row(out, *rows.file, rows.entries + (y / 8) * rows.blocks_per_row * 8, battle_width(*rows.file), y % 8,
             rows.file->sea_level);
}

}  // namespace

PngLayout stored_png_layout(uint64_t row_bytes, uint32_t height, uint64_t extra_chunk_bytes, uint64_t chunk_limit) {
    PngLayout layout;
    layout.row_bytes = row_bytes;
    layout.raw_bytes = row_bytes * height;
    layout.blocks = (layout.raw_bytes + stored_block_limit - 1) / stored_block_limit;
    layout.stream_bytes = 2 + 5 * layout.blocks + layout.raw_bytes + 4;
    layout.chunk_limit = chunk_limit;
    layout.idat_chunks = (layout.stream_bytes + chunk_limit - 1) / chunk_limit;
    // Signature 8, IHDR 25, the IDAT chunks' framing 12 each, IEND 12.
    layout.file_bytes = 8 + 25 + layout.stream_bytes + 12 * layout.idat_chunks + extra_chunk_bytes + 12;
    return layout;
}

PngLayout png_layout(uint32_t width, uint32_t height, uint64_t chunk_limit) {
    return stored_png_layout(2 * uint64_t{width} + 1, height, sea_level_chunk_size, chunk_limit);
}

bool stream_stored_png(const PngLayout& layout, const StoredPngFrame& frame, PngRowMaker rows, void* row_context,
                       uint8_t* buffer, uint64_t part_bytes, PngSink sink, void* context) {
    const uint32_t height = read_be32(frame.ihdr + 4);
    const uint64_t row_bytes = layout.row_bytes;
    uint8_t* row_scratch = buffer + part_bytes;

    PngStream s{};
    s.begin = s.p = buffer;
    s.end = buffer + part_bytes;
    s.crc_from = buffer;
    s.sink = sink;
    s.context = context;
    s.ok = true;
    s.chunk_limit = layout.chunk_limit;
    s.stream_left = layout.stream_bytes;
    s.raw_left = layout.raw_bytes;
    s.adler = 1;

    s.emit(png_signature, 8);
    s.open_chunk(sizeof frame.ihdr, "IHDR");
    s.emit(frame.ihdr, sizeof frame.ihdr);
    s.close_chunk();

    s.open_idat();
    static constexpr uint8_t zlib_header[2] = {0x78, 0x01};
    s.put_stream(zlib_header, 2);
    for (uint32_t y = 0; y < height && s.ok; ++y) {
        if (uint8_t* place = s.room_for(row_bytes)) {
            rows(row_context, y, place);
            s.commit(row_bytes);
        } else {
            rows(row_context, y, row_scratch);
            s.put_raw(row_scratch, row_bytes);
        }
    }
    uint8_t adler[4];
    write_be32(adler, s.adler);
    s.put_stream(adler, 4);
    s.close_chunk();

    s.emit(frame.extra_chunks, frame.extra_chunk_bytes);
    s.emit(iend_chunk, sizeof iend_chunk);
    s.flush();
    return s.ok;
}

bool stream_png_image(const PngLayout& layout, const BattleFile& file, int layer, uint8_t* buffer,
                      uint64_t part_bytes, PngSink sink, void* context) {
    StoredPngFrame frame{};
    write_be32(frame.ihdr, battle_width(file));
    write_be32(frame.ihdr + 4, battle_height(file));
    frame.ihdr[8] = 16;  // bit depth; greyscale, compression, filter and interlace methods 0
    uint8_t hmap_chunk[sea_level_chunk_size];
    write_sea_level_chunk(hmap_chunk, file.sea_level);
    frame.extra_chunks = hmap_chunk;
    frame.extra_chunk_bytes = sizeof hmap_chunk;
    LayerRows rows{&file, battle_entries(file) + uint64_t(layer) * battle_block_count(file) * 8,
                   (uint64_t{battle_width(file)} + 7) / 8};
    return stream_stored_png(layout, frame, make_layer_row, &rows, buffer, part_bytes, sink, context);
}

bool write_png_part(void* file, const uint8_t* bytes, uint64_t count) {
    return write_file_part(static_cast<FileWrite*>(file), bytes, count);
}

namespace {

uint64_t export_buffer_size(const BattleFile& file) {
    return png_part_bytes + 2 * uint64_t{battle_width(file)} + 1;  // a part, then the scratch row
}

// A height that a 16-bit sample cannot hold (height + sea level below 0 or
// above 65535) is written modulo 65536, as every sample is; an import of
// the PNG gives it back another height, so the modder hears of it.
void warn_of_wrapped_heights(const char* path, const char* battle_path, const BattleFile& file, int layer) {
    const LayerHeights heights = battle_layer_heights(file, layer);
    if (heights.wrapped == 0) return;
    // At most 65535 x 65535 pixels: the count fits 32 bits.
    console_printf("Warning: %s heightmap %d: %u %s too high or too low for a 16-bit sample, wrapped in %s "
                   "(modulo 65536).\r\n",
                   battle_path, layer + 1, static_cast<unsigned>(heights.wrapped),
                   heights.wrapped == 1 ? "pixel" : "pixels", path);
}

// Makes and writes one heightmap's PNG through `buffer` (export_buffer_size
// bytes).
Status export_png_layer(const char* path, const char* battle_path, const BattleFile& file, int layer,
                        uint8_t* buffer) {
    const PngLayout layout = png_layout(battle_width(file), battle_height(file));
    FileWrite* out = begin_file_write(path, layout.file_bytes);
    if (out == nullptr) return report_file_failure(path);
    if (!stream_png_image(layout, file, layer, buffer, png_part_bytes, write_png_part, out)) {
        abandon_file_write(out);
        return report_file_failure(path);
    }
    // The image is kept only when the battle file is still the version read.
    if (!battle_unchanged(file)) {
        abandon_file_write(out);
        return report_file_failure(battle_path);
    }
    if (!finish_file_write(out)) return report_file_failure(path);
    warn_of_wrapped_heights(path, battle_path, file, layer);
    return status_ok;
}

}  // namespace

bool report_export_clash(const char* battle_path, const char* png1_path, const char* png2_path) {
    // An image written over the battle file would destroy the map it comes
    // from, and two images written to one file would leave only the second.
    bool clash1 = report_output_is_input(png1_path, battle_path);
    bool clash2 = report_output_is_input(png2_path, battle_path);
    return clash1 || clash2 || report_both_outputs(png1_path, png2_path);
}

Status export_battle(const char* battle_path, const BattleFile& file, const char* png1_path, const char* png2_path) {
    uint8_t* buffer = allocate_buffer(export_buffer_size(file));
    if (buffer == nullptr) {
        Status first = report_out_of_memory(png1_path);
        Status second = report_out_of_memory(png2_path);
        return first != status_ok ? first : second;
    }
    // The second heightmap is written whatever became of the first, unless
    // the battle file changed meanwhile.
    Status first = export_png_layer(png1_path, battle_path, file, 0, buffer);
    Status second = status_ok;
    if (first == status_ok || battle_unchanged(file)) second = export_png_layer(png2_path, battle_path, file, 1, buffer);
    release_buffer(buffer);
    return first != status_ok ? first : second;
}

Status run_export(const char* battle_path, const char* png1_path, const char* png2_path) {
    // Both outputs are checked before anything is read.
    if (report_export_clash(battle_path, png1_path, png2_path)) return status_refused;
    // Read in place; an image is kept only when made from one version of
    // the file, whatever another program does to it meanwhile.
    BattleFile file;
    if (Status status = load_battle_file(battle_path, &file)) return status;
    Status status = export_battle(battle_path, file, png1_path, png2_path);
    release_battle_file(&file);
    return status;
}
