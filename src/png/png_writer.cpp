// PNGs of stored deflate blocks: the layout is known in advance, so a file
// is made front to back through one small buffer: each row is made straight
// into the stored deflate blocks, with the Adler-32 and the IDAT CRC
// computed on the way, and each full buffer is handed to a sink. The
// heightmaps of the export and of -c are 16-bit greyscale, the pictures of -p
// 8-bit RGB.
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

PngLayout png_layout(uint32_t width, uint32_t height, uint64_t chunk_limit, bool with_sea_level) {
    return stored_png_layout(2 * uint64_t{width} + 1, height, with_sea_level ? sea_level_chunk_size : 0, chunk_limit);
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

bool stream_grey16_png(const PngLayout& layout, uint32_t width, uint32_t height, bool with_sea_level,
                       uint16_t sea_level, PngRowMaker rows, void* row_context, uint8_t* buffer, uint64_t part_bytes,
                       PngSink sink, void* context) {
    StoredPngFrame frame{};
    write_be32(frame.ihdr, width);
    write_be32(frame.ihdr + 4, height);
    frame.ihdr[8] = 16;  // bit depth; greyscale, compression, filter and interlace methods 0
    uint8_t hmap_chunk[sea_level_chunk_size];
    if (with_sea_level) {
        write_sea_level_chunk(hmap_chunk, sea_level);
        frame.extra_chunks = hmap_chunk;
        frame.extra_chunk_bytes = sizeof hmap_chunk;
    }
    return stream_stored_png(layout, frame, rows, row_context, buffer, part_bytes, sink, context);
}

bool write_png_part(void* file, const uint8_t* bytes, uint64_t count) {
    return write_file_part(static_cast<FileWrite*>(file), bytes, count);
}
