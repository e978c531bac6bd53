// The reader's inflater: decodes a zlib stream only where every inflater
// decodes it alike, and leaves the rest to LodePNG's own. Inflaters differ
// at the edges of the format: libdeflate, for one, decodes the unused length
// codes 286 and 287 and distance codes 30 and 31, takes an incomplete code
// of one symbol (as both of its codewords), an empty distance code whose
// symbol is then used, and code-length repeats that run past the end of the
// lengths, all of which LodePNG and zlib refuse. This one refuses every
// incomplete code (but an unused empty distance code), the unused codes and
// any count past what the format uses, so what it takes every inflater takes,
// with the same bytes.
//
// Why not libdeflate, with a check of the stream first: the check must
// decode every symbol to find where each block ends, and on a 4096x4096
// heightmap saved by ImageMagick it took 33 ms beside libdeflate's 27 ms;
// this inflater does both in one pass. The bits are taken a word at a time,
// and one table look finds a symbol with its extra bits.
#include <cstring>

#include "png_heightmap.h"

namespace {

constexpr unsigned max_code_length = 15;
constexpr unsigned table_bits = 11;  // codes this long or shorter are found in one look
constexpr uint32_t table_size = 1u << table_bits;
constexpr uint32_t litlen_symbols = 286;  // 0..285: literals, end of block, lengths
constexpr uint32_t distance_symbols = 30;

// Bits of the deflate data, least significant first. Past the end the
// buffer fills with zeros; `overrun` says whether any of those were used.
struct Bits {
    const uint8_t* p;
    const uint8_t* end;
    uint64_t buffer;
    unsigned count;   // bits in the buffer
    size_t padding;   // zero bytes put in past the end

    // At least 56 bits in the buffer.
    void refill() {
        if (end - p >= 8) {
            uint64_t word;
            memcpy(&word, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            word = __builtin_bswap64(word);
#endif
            buffer |= word << count;
            p += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count < 56) {
            if (p < end) {
                buffer |= uint64_t{*p++} << count;
            } else {
                ++padding;
            }
            count += 8;
        }
    }
    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(buffer & ((uint64_t{1} << n) - 1)); }
    void drop(unsigned n) {
        buffer >>= n;
        count -= n;
    }
    uint32_t take(unsigned n) {
        if (count < n) refill();
        const uint32_t v = peek(n);
        drop(n);
        return v;
    }
    bool overrun() const { return padding * 8 > count; }
    // The byte where the unread bits begin, after dropping those of a partly read byte.
    const uint8_t* align() {
        drop(count % 8);
        const uint8_t* at = p - (count / 8 - (padding < count / 8 ? padding : count / 8));
        buffer = 0;
        count = 0;
        padding = 0;
        return at;
    }
};

// A table entry: the symbol's value (a literal, or the base of a length or
// distance) in bits 16..31, bit 15 set for the end of block, bit 14 for a
// symbol the walk refuses, the count of extra bits in bits 8..12, the
// codeword's length in bits 0..3 (0: longer than table_bits, found by
// canonical decoding).
constexpr uint32_t end_of_block = 1u << 15;
constexpr uint32_t refused = 1u << 14;
constexpr uint32_t literal = 1u << 13;  // its byte in bits 16..23

// A complete canonical Huffman code.
struct Code {
    uint32_t table[table_size];
    uint16_t counts[max_code_length + 1];
    uint16_t symbols[288];  // in codeword order
    const uint32_t* results;  // entry without length, by symbol
};

uint32_t reverse_bits(uint32_t code, unsigned length) {
    uint32_t out = 0;
    for (unsigned i = 0; i < length; ++i, code >>= 1) out = out << 1 | (code & 1);
    return out;
}

// Builds the code of `lengths` (count of them); false unless it is complete.
bool build_code(Code& code, const uint8_t* lengths, uint32_t count, const uint32_t* results) {
    code.results = results;
    memset(code.counts, 0, sizeof code.counts);
    for (uint32_t s = 0; s < count; ++s) ++code.counts[lengths[s]];
    code.counts[0] = 0;
    int32_t left = 1;
    for (unsigned len = 1; len <= max_code_length; ++len) {
        left = 2 * left - code.counts[len];
        if (left < 0) return false;  // oversubscribed
    }
    if (left != 0) return false;  // incomplete: only a lenient inflater takes some of these
    uint16_t offsets[max_code_length + 2];
    offsets[1] = 0;
    for (unsigned len = 1; len <= max_code_length; ++len)
        offsets[len + 1] = static_cast<uint16_t>(offsets[len] + code.counts[len]);
    for (uint32_t s = 0; s < count; ++s)
        if (lengths[s] != 0) code.symbols[offsets[lengths[s]]++] = static_cast<uint16_t>(s);
    // The short codewords, each repeated over the bits that follow it.
    memset(code.table, 0, sizeof code.table);
    uint32_t next = 0;  // the next codeword, in canonical order
    uint32_t index = 0;
    for (unsigned len = 1; len <= table_bits; ++len, next <<= 1) {
        for (uint32_t k = 0; k < code.counts[len]; ++k, ++next, ++index) {
            const uint32_t entry = results[code.symbols[index]] | len;
            for (uint32_t fill = reverse_bits(next, len); fill < table_size; fill += 1u << len) code.table[fill] = entry;
        }
    }
    return true;
}


constexpr uint32_t entry(uint32_t value, uint32_t extra) { return value << 16 | extra << 8; }

// What each literal/length symbol stands for; 286 and 287 are refused.
struct LitlenResults {
    uint32_t at[288];
    constexpr LitlenResults() : at() {
        constexpr uint16_t base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        constexpr uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        for (uint32_t s = 0; s < 256; ++s) at[s] = entry(s, 0) | literal;
        at[256] = end_of_block;
        for (uint32_t s = 0; s < 29; ++s) at[257 + s] = entry(base[s], extra[s]);
        at[286] = at[287] = refused;
    }
};
// What each distance symbol stands for; 30 and 31 are refused.
struct DistanceResults {
    uint32_t at[32];
    constexpr DistanceResults() : at() {
        for (uint32_t s = 0; s < 30; ++s) {
            const uint32_t extra = s < 2 ? 0 : s / 2 - 1;
            at[s] = entry((s < 4 ? s : (2 + (s & 1)) << extra) + 1, extra);
        }
        at[30] = at[31] = refused;
    }
};
constexpr LitlenResults litlen_results;
constexpr DistanceResults distance_results;
// The code-length symbols: 0..18, with the extra bits of the repeats.
struct PrecodeResults {
    uint32_t at[19];
    constexpr PrecodeResults() : at() {
        for (uint32_t s = 0; s < 16; ++s) at[s] = entry(s, 0);
        at[16] = entry(16, 2);
        at[17] = entry(17, 3);
        at[18] = entry(18, 7);
    }
};
constexpr PrecodeResults precode_results;

struct Codes {
    Code litlen;
    Code distance;
    bool no_distances;  // a dynamic block without distance codes: its matches are refused
};

// The fixed codes, all 288 and 32 symbols; the walk refuses the unused ones.
void fixed_codes(Codes& codes) {
    uint8_t lengths[288 + 32];
    memset(lengths, 8, 144);
    memset(lengths + 144, 9, 112);
    memset(lengths + 256, 7, 24);
    memset(lengths + 280, 8, 8);
    memset(lengths + 288, 5, 32);
    build_code(codes.litlen, lengths, 288, litlen_results.at);
    build_code(codes.distance, lengths + 288, 32, distance_results.at);
    codes.no_distances = false;
}

// A dynamic block's header; false unless its codes are complete (an empty
// distance code aside) and every count within what the format uses.
bool dynamic_codes(Bits& bits, Codes& codes) {
    const uint32_t hlit = bits.take(5) + 257;
    const uint32_t hdist = bits.take(5) + 1;
    const uint32_t hclen = bits.take(4) + 4;
    if (hlit > litlen_symbols || hdist > distance_symbols) return false;
    static constexpr uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    uint8_t precode_lengths[19] = {};
    for (uint32_t i = 0; i < hclen; ++i) precode_lengths[order[i]] = static_cast<uint8_t>(bits.take(3));
    Code& precode = codes.distance;  // free until the lengths are read
    if (!build_code(precode, precode_lengths, 19, precode_results.at)) return false;
    uint8_t lengths[286 + 30];
    for (uint32_t i = 0; i < hlit + hdist;) {
        if (bits.count < 32) bits.refill();
        const uint32_t e = precode.table[bits.peek(table_bits)];  // code-length codes are at most 7 bits long
        bits.drop(e & 15);
        const uint32_t symbol = e >> 16;
        if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        const uint32_t repeat = (symbol == 16 ? 3 : symbol == 17 ? 3 : 11) + bits.take((e >> 8) & 31);
        if ((symbol == 16 && i == 0) || i + repeat > hlit + hdist) return false;
        memset(lengths + i, symbol == 16 ? lengths[i - 1] : 0, repeat);
        i += repeat;
    }
    if (bits.overrun() || lengths[256] == 0) return false;  // a block that cannot end
    if (!build_code(codes.litlen, lengths, hlit, litlen_results.at)) return false;
    codes.no_distances = true;
    for (uint32_t i = 0; i < hdist; ++i) codes.no_distances &= lengths[hlit + i] == 0;
    return codes.no_distances || build_code(codes.distance, lengths + hlit, hdist, distance_results.at);
}

// Where the inflated bytes go: `out`, `capacity` bytes, `produced` of them written.
struct Output {
    uint8_t* out;
    size_t capacity;
    size_t produced;
};

// Copies a match of `length` bytes from `distance` back (`end` being the
// end of the output), which may overlap what it writes; returns the end of
// the match.
inline uint8_t* copy_match(uint8_t* to, const uint8_t* end, size_t distance, size_t length) {
    const uint8_t* from = to - distance;
    uint8_t* const stop = to + length;
    if (distance >= 8 && end - stop >= 8) {
        // Whole words, the last one running past the match into room that
        // later bytes take; each word is read only after it was written.
        do {
            memcpy(to, from, 8);
            to += 8;
            from += 8;
        } while (to < stop);
        return stop;
    }
    // The bytes from `from` on repeat with the match's period, and the run
    // copied doubles each time.
    while (to < stop) {
        const size_t n = static_cast<size_t>(to - from) < static_cast<size_t>(stop - to) ? static_cast<size_t>(to - from)
                                                                                        : static_cast<size_t>(stop - to);
        memcpy(to, from, n);
        to += n;
    }
    return stop;
}

// The entry of the symbol whose codeword, longer than table_bits, starts
// `buffer`, with the codeword's length in its low bits: canonical decoding,
// one bit at a time. The codeword of each length is never below the first
// of that length.
uint32_t decode_long(uint64_t buffer, const Code& code) {
    uint32_t codeword = 0, first = 0, index = 0;
    for (unsigned len = 1; len <= max_code_length; ++len, buffer >>= 1) {
        codeword |= static_cast<uint32_t>(buffer & 1);
        const uint32_t count = code.counts[len];
        if (codeword < first + count) return code.results[code.symbols[index + codeword - first]] | len;
        index += count;
        first = (first + count) << 1;
        codeword <<= 1;
    }
    return refused | 1;  // cannot happen for a complete code
}

// The symbols of one Huffman block up to its end, their bytes written.
// False on anything not common, or more bytes than there is room for. The
// bit reader and the output position are worked on in locals: every byte
// stored could otherwise be taken to change them. Each symbol starts with
// at least 48 bits in the buffer, enough for the longest codeword with its
// extra bits and its distance's, so none of it refills; bits past the end
// of the data read as zeros and are caught at the end of the block.
bool inflate_block(Bits& bits, const Codes& codes, Output& o) {
    uint64_t buffer = bits.buffer;
    unsigned count = bits.count;
    uint8_t* const begin = o.out;
    uint8_t* const end = o.out + o.capacity;
    uint8_t* to = o.out + o.produced;
    constexpr uint32_t mask = table_size - 1;
    // The entry of the next symbol of `code`, its codeword taken.
    auto next = [&](const Code& code) {
        uint32_t e = code.table[buffer & mask];
        if ((e & 15) == 0) e = decode_long(buffer, code);
        buffer >>= e & 15;
        count -= e & 15;
        return e;
    };
    // The extra bits an entry's symbol takes.
    auto extra = [&](uint32_t e) {
        const uint32_t n = (e >> 8) & 31;
        const uint32_t v = static_cast<uint32_t>(buffer & ((uint64_t{1} << n) - 1));
        buffer >>= n;
        count -= n;
        return v;
    };
    bool ok = false;
    for (;;) {
        if (count < 48) {
            bits.buffer = buffer;
            bits.count = count;
            bits.refill();
            buffer = bits.buffer;
            count = bits.count;
        }
        const uint32_t e = next(codes.litlen);
        if (e & literal) {
            if (to == end) break;
            *to++ = static_cast<uint8_t>(e >> 16);
            continue;
        }
        if (e & (end_of_block | refused)) {
            ok = (e & end_of_block) != 0;
            break;
        }
        if (codes.no_distances) break;
        const uint32_t length = (e >> 16) + extra(e);
        const uint32_t d = next(codes.distance);
        if (d & refused) break;
        const uint32_t distance = (d >> 16) + extra(d);
        if (distance > static_cast<size_t>(to - begin) || length > static_cast<size_t>(end - to)) break;
        to = copy_match(to, end, distance, length);
    }
    bits.buffer = buffer;
    bits.count = count;
    o.produced = static_cast<size_t>(to - begin);
    return ok && !bits.overrun();
}

}  // namespace

bool common_zlib_header(const uint8_t* stream, uint64_t size) {
    return size >= 6 && (stream[0] & 0x0F) == 8 && (stream[0] >> 4) <= 7 && read_be16(stream) % 31 == 0 &&
           (stream[1] & 0x20) == 0;
}

InflateResult inflate_common_zlib(const uint8_t* stream, size_t size, uint8_t* out, size_t capacity,
                                  size_t* produced) {
    *produced = 0;
    if (!common_zlib_header(stream, size)) return InflateResult::uncommon;
    // The deflate data lies between the header and the Adler-32.
    Bits bits{stream + 2, stream + size - 4, 0, 0, 0};
    Codes codes;
    Output o{out, capacity, 0};
    for (bool final = false; !final;) {
        final = bits.take(1) != 0;
        const uint32_t type = bits.take(2);
        if (type == 0) {
            // Stored: from the next byte on, LEN and its complement, then LEN bytes.
            const uint8_t* at = bits.align();
            if (bits.end - at < 4) return InflateResult::uncommon;
            const uint32_t length = at[0] | (at[1] << 8);
            if ((length ^ (at[2] | (at[3] << 8))) != 0xFFFF || static_cast<size_t>(bits.end - at - 4) < length ||
                length > o.capacity - o.produced)
                return InflateResult::uncommon;
            memcpy(o.out + o.produced, at + 4, length);
            o.produced += length;
            bits.p = at + 4 + length;
            continue;
        }
        if (type == 1) {
            fixed_codes(codes);
        } else if (type != 2 || !dynamic_codes(bits, codes)) {
            return InflateResult::uncommon;
        }
        if (!inflate_block(bits, codes, o)) return InflateResult::uncommon;
    }
    *produced = o.produced;
    // The Adler-32 right after the last block's last byte, and nothing after it.
    if (bits.overrun() || bits.align() != bits.end) return InflateResult::trailing_bytes;
    if (adler32_bytes(out, o.produced) != read_be32(stream + size - 4)) return InflateResult::checksum;
    return InflateResult::inflated;
}
