// The heightmap reader on PNGs built in memory: samples and sea level, other
// formats refused from the header, and every failure with LodePNG's own
// code and text, damaged image data included.
#include <gtest/gtest.h>
#include <lodepng.h>

#include <algorithm>
#include <string>
#include <vector>

#include "png_heightmap.h"
#include "png_test_files.h"
#include "scratch_dir.h"

namespace {

// The reader's lines as captured: GoogleTest reads the captured output back
// in text mode, which on Windows turns "\r\n" into "\n" (the end-to-end
// tests see the exact bytes there).
std::string lines(std::string text) {
#ifdef _WIN32
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
#endif
    return text;
}

struct Decoded {
    Status status;
    Grey16Image image;
    std::string output;
    std::vector<uint8_t> samples;  // row after row, wherever the rows lie
};

// Decodes `bytes` named "h.png", capturing what the reader prints, and checks
// that the decoder holds no memory afterwards beyond the samples it returned.
Decoded decode(const std::vector<uint8_t>& bytes) {
    uint64_t live = hook_live_blocks();
    Decoded d{};
    testing::internal::CaptureStdout();
    d.status = decode_grey16_png("h.png", bytes.data(), bytes.size(), &d.image);
    d.output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(hook_live_blocks(), live + (d.status == status_ok ? 1 : 0));
    if (d.status != status_ok) EXPECT_TRUE(d.image.samples == nullptr && d.image.rows == nullptr);
    if (d.status == status_ok) d.samples = test_png::samples_of(d.image);
    return d;
}

void release(Decoded& d) { release_grey16_image(&d.image); }

TEST(Grey16Reader, DecodesSamplesAndSeaLevel) {
    std::vector<uint16_t> samples = {0, 1, 0x1234, 0xFFFF, 0x8000, 7};
    Decoded d = decode(test_png::grey16(3, 2, samples, 0x0102));
    ASSERT_EQ(d.status, status_ok) << d.output;
    EXPECT_EQ(d.output, "");
    EXPECT_EQ(d.image.width, 3u);
    EXPECT_EQ(d.image.height, 2u);
    EXPECT_EQ(d.image.sea_level, 0x0102);
    EXPECT_EQ(d.samples, (std::vector<uint8_t>{0, 0, 0, 1, 0x12, 0x34, 0xFF, 0xFF, 0x80, 0, 0, 7}));
    release(d);

    // No hmAP chunk: sea level 0.
    d = decode(test_png::grey16(3, 2, samples));
    ASSERT_EQ(d.status, status_ok);
    EXPECT_EQ(d.image.sea_level, 0);
    release(d);

    // An hmAP chunk with a wrong CRC is still read: nobody checks it.
    std::vector<uint8_t> bad_crc;
    test_png::put_chunk(bad_crc, "hmAP", {0x34, 0x12}, false);
    std::vector<uint8_t> filtered = {0, 0xAB, 0xCD};
    d = decode(test_png::png(1, 1, 16, 0, filtered, bad_crc));
    ASSERT_EQ(d.status, status_ok) << d.output;
    EXPECT_EQ(d.image.sea_level, 0x1234);
    EXPECT_EQ(d.samples[0], 0xAB);
    release(d);
}

TEST(Grey16Reader, RefusesOtherColourTypesAndDepths) {
    Decoded d = decode(test_png::png(2, 1, 8, 0, {0, 1, 2}));
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output, lines("h.png > detected 8-bit colortype = 0\r\n"
                              "h.png > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n"));

    d = decode(test_png::png(1, 1, 16, 2, {0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output, lines("h.png > detected 16-bit colortype = 2\r\n"
                              "h.png > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n"));
}

TEST(Grey16Reader, DecodeErrorsEndInBareNewline) {
    std::string text = "This is a text file, not a picture at all.\n";
    Decoded d = decode(std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output, "h.png > decode error 28: incorrect PNG signature, it's no PNG or corrupted\n");

    // Cut inside the image data.
    std::vector<uint8_t> file = test_png::grey16(4, 4, std::vector<uint16_t>(16, 9));
    file.resize(50);
    d = decode(file);
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output.rfind("h.png > decode error ", 0), 0u) << d.output;
    EXPECT_EQ(d.output.back(), '\n');
    EXPECT_NE(d.output[d.output.size() - 2], '\r');

    // A failure after the samples were decoded (bad CRC of IEND) frees them too.
    file = test_png::grey16(4, 4, std::vector<uint16_t>(16, 9));
    file.back() ^= 1;
    d = decode(file);
    EXPECT_EQ(d.output, "h.png > decode error 57: invalid CRC encountered (checking CRC can be disabled)\n");
}

TEST(Grey16Reader, RefusesOversizedImagesFromTheHeader) {
    // Headers alone: the image data is never looked at.
    Decoded d = decode(test_png::png(70000, 10, 16, 0, {0}));
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output, lines("Error: h.png (70000x10) is too large; heightmaps are at most 65535x65535.\r\n"));
    d = decode(test_png::png(1, 65536, 8, 3, {0}));
    EXPECT_EQ(d.output, lines("Error: h.png (1x65536) is too large; heightmaps are at most 65535x65535.\r\n"));

    // The largest side allowed.
    d = decode(test_png::grey16(65535, 1, std::vector<uint16_t>(65535, 0x4242)));
    ASSERT_EQ(d.status, status_ok) << d.output;
    EXPECT_EQ(d.image.width, 65535u);
    EXPECT_EQ(d.samples[2 * 65534], 0x42);
    release(d);
}

TEST(Grey16Reader, ImageDataBeyondTheHeaderStopsTheDecoder) {
    // 2x2 16-bit grey needs 2 x (1 + 4) bytes; a stream of 100000 more is cut
    // off where the header says it must end.
    std::vector<uint8_t> filtered(100010, 0);
    Decoded d = decode(test_png::png(2, 2, 16, 0, filtered));
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output,
              "h.png > decode error 109: tried to decompress zlib or deflate data larger than desired "
              "max_output_size\n");
    // Exactly the announced size, interlaced: the Adam7 passes add up.
    // 3x3 interlaced 16-bit grey: passes 1 (1x1), 4 (1x1), 5 (2x1), 6 (1x2)
    // and 7 (3x1) -> 3 + 3 + 5 + 6 + 7 = 24 bytes; passes 2 and 3 are empty.
    // Header byte 28 of the file is the interlace method.
    std::vector<uint8_t> file = test_png::png(3, 3, 16, 0, std::vector<uint8_t>(24, 0));
    file[28] = 1;
    std::vector<uint8_t> ihdr(file.begin() + 12, file.begin() + 29);
    uint32_t crc = crc32_bytes(ihdr.data(), ihdr.size());
    for (int i = 0; i < 4; ++i) file[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    d = decode(file);
    ASSERT_EQ(d.status, status_ok) << d.output;
    release(d);
}

TEST(Grey16Reader, SmallFilesClaimingHugeImagesFailWithoutReservingRoom) {
    // A few bytes of image data cannot inflate to gigabytes; the decoder finds
    // the data short without first asking for the room (under the sanitizer
    // such a request would abort the test).
    Decoded d = decode(test_png::png(65535, 65535, 16, 0, std::vector<uint8_t>(1000, 0)));
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output, "h.png > decode error 91: invalid decompressed idat size\n");
}

TEST(Grey16Reader, OtherFormatsAreRefusedFromTheHeader) {
    // 65535 x 65535 RGBA, 16 bits: 34 GB of samples behind a header. Its
    // image data, damaged or not, is never inflated.
    const std::string lines_rgba = lines("h.png > detected 16-bit colortype = 6\r\n"
                                         "h.png > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n");
    Decoded d = decode(test_png::png(65535, 65535, 16, 6, std::vector<uint8_t>(1000, 0)));
    EXPECT_EQ(d.status, status_refused);
    EXPECT_EQ(d.output, lines_rgba);
    d = decode(test_png::png_of_stream(65535, 65535, 16, 6, {0x78, 0x01, 0xFF, 0xFF}));
    EXPECT_EQ(d.output, lines_rgba);
    // A damaged file behind such a header gets the same lines; a damaged
    // header does not.
    std::vector<uint8_t> file = test_png::png(2, 1, 8, 0, {0, 1, 2});
    file.resize(file.size() - 20);
    d = decode(file);
    EXPECT_EQ(d.output, lines("h.png > detected 8-bit colortype = 0\r\n"
                              "h.png > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n"));
    file = test_png::png(2, 1, 8, 0, {0, 1, 2});
    file[30] ^= 1;
    d = decode(file);
    EXPECT_EQ(d.output, "h.png > decode error 57: invalid CRC encountered (checking CRC can be disabled)\n");
}

namespace {

// A 16 x 5 image in one fixed-Huffman block (zlib level 9): rows with filter
// types 0 to 4, matches reaching back across rows.
const std::vector<uint8_t> compressed_stream = {
    0x78, 0xDA, 0x63, 0x60, 0x60, 0xE3, 0x11, 0x62, 0xE6, 0xE4, 0xC7, 0x49, 0x31, 0xE2, 0x97, 0x66, 0xE6, 0x64, 0xC2,
    0x2F, 0xCD, 0xCF, 0xC0, 0xCC, 0x4F, 0xC0, 0x0E, 0x16, 0x02, 0x4E, 0x60, 0x06, 0x00, 0xD2, 0x8C, 0x05, 0xA8};

// LodePNG alone (its own inflate) on the 16-bit greyscale `file`: the error
// code, and the samples on success.
unsigned lodepng_alone(const std::vector<uint8_t>& file, std::vector<uint8_t>* samples) {
    LodePNGState state;
    lodepng_state_init(&state);
    state.decoder.color_convert = 0;
    unsigned w = 0, h = 0;
    unsigned char* out = nullptr;
    unsigned error = lodepng_inspect(&w, &h, &state, file.data(), file.size());
    if (error == 0) {
        state.decoder.zlibsettings.max_output_size = size_t{h} * (1 + 2 * size_t{w});  // as the reader sets it
        error = lodepng_decode(&out, &w, &h, &state, file.data(), file.size());
    }
    if (error == 0) samples->assign(out, out + 2 * size_t{w} * h);
    hook_free(out);
    lodepng_state_cleanup(&state);
    return error;
}

// The compressed stream with its Adler-32 damaged.
std::vector<uint8_t> bad_adler_stream() {
    std::vector<uint8_t> stream(compressed_stream.begin(), compressed_stream.end() - 1);
    stream.push_back(static_cast<uint8_t>(compressed_stream.back() ^ 1));
    return stream;
}

}  // namespace

TEST(Grey16Reader, CompressedDataDecodesAsLodePngAloneDecodesIt) {
    std::vector<uint8_t> expected;
    const std::vector<uint8_t> file = test_png::png_of_stream(16, 5, 16, 0, compressed_stream);
    ASSERT_EQ(lodepng_alone(file, &expected), 0u);
    Decoded d = decode(file);
    ASSERT_EQ(d.status, status_ok) << d.output;
    EXPECT_EQ(d.samples, expected);
    release(d);
}

TEST(Grey16Reader, AnHmapChunkTooShortForASeaLevelRefusesTheImage) {
    // Declared lengths 0 and 1: what follows the type is the chunk's CRC, not
    // a value. Refused on the plain path (stored blocks) and after LodePNG
    // (compressed), with nothing held either way.
    for (size_t length : {0, 1}) {
        std::vector<uint8_t> chunk;
        test_png::put_chunk(chunk, "hmAP", std::vector<uint8_t>(length, 0x77));
        for (bool compressed : {false, true}) {
            const std::vector<uint8_t> file =
                compressed ? test_png::png_of_stream(16, 5, 16, 0, compressed_stream, chunk)
                           : test_png::png(1, 1, 16, 0, {0, 0xAB, 0xCD}, chunk);
            Decoded d = decode(file);
            EXPECT_EQ(d.status, status_refused) << length << compressed;
            EXPECT_EQ(d.output, lines("h.png > Error: Bad PNG image file\r\n"));
            Grey16Image plain;
            EXPECT_EQ(decode_plain_grey16_png(file.data(), file.size(), &plain), ReaderChoice::sea_level_refused);
        }
    }
}

TEST(Grey16Reader, DamagedImageDataGetsLodePngsOwnCodes) {
    // Streams the reader's inflater refuses are inflated once more by LodePNG's own
    // decoder, so each damage gets the code and text it always got.
    struct Case {
        std::vector<uint8_t> stream;
        unsigned code;
    };
    const std::vector<uint8_t> bad_adler = bad_adler_stream();
    std::vector<uint8_t> trailing = compressed_stream;
    trailing.push_back(0);
    std::vector<uint8_t> stored = test_png::stored_zlib(std::vector<uint8_t>(5 * 65, 0));
    std::vector<uint8_t> bad_nlen = stored;
    bad_nlen[5] ^= 1;
    const Case cases[] = {
        {bad_adler, 58},
        {trailing, 58},  // LodePNG reads the Adler-32 from the last four bytes
        {bad_nlen, 21},
        {{0x78, 0x01, 0x07, 0, 0, 0, 0}, 20},  // block type 3
        {{0x78, 0x02, 0x01, 0, 0, 0xFF, 0xFF, 0, 0, 0, 1}, 24},  // header check bits
        {{0x78}, 53},
        {{0x78, 0x01, 0x01, 0x05, 0x00}, 52},  // a stored block cut in its header
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> file = test_png::png_of_stream(16, 5, 16, 0, c.stream);
        std::vector<uint8_t> ignored;
        EXPECT_EQ(lodepng_alone(file, &ignored), c.code);
        Decoded d = decode(file);
        EXPECT_EQ(d.status, status_refused);
        EXPECT_EQ(d.output, "h.png > decode error " + std::to_string(c.code) + ": " + lodepng_error_text(c.code) + "\n");
    }

    // Every single-byte change of the compressed stream (the IDAT CRC
    // repaired): the reader's verdict and code are LodePNG's own.
    for (size_t at = 0; at < compressed_stream.size(); ++at) {
        for (uint8_t flip : {0x01, 0x10, 0x80, 0xFF}) {
            std::vector<uint8_t> stream = compressed_stream;
            stream[at] ^= flip;
            const std::vector<uint8_t> file = test_png::png_of_stream(16, 5, 16, 0, stream);
            std::vector<uint8_t> expected;
            const unsigned code = lodepng_alone(file, &expected);
            Decoded d = decode(file);
            if (code == 0) {
                ASSERT_EQ(d.status, status_ok) << at << " " << int{flip} << d.output;
                EXPECT_EQ(d.samples, expected);
                release(d);
            } else {
                EXPECT_EQ(d.output, "h.png > decode error " + std::to_string(code) + ": " + lodepng_error_text(code) +
                                        "\n")
                    << at << " " << int{flip};
            }
        }
    }
}

TEST(Grey16Reader, DamagedCompressedTextGetsLodePngsOwnCode) {
    // zTXt goes through the same zlib hook; its failure keeps its code too.
    std::vector<uint8_t> text = {'k', 'e', 'y', 0, 0};
    const std::vector<uint8_t> stream = bad_adler_stream();
    text.insert(text.end(), stream.begin(), stream.end());
    std::vector<uint8_t> extra;
    test_png::put_chunk(extra, "zTXt", text);
    const std::vector<uint8_t> file = test_png::png(1, 1, 16, 0, {0, 1, 2}, extra);
    std::vector<uint8_t> ignored;
    EXPECT_EQ(lodepng_alone(file, &ignored), 58u);
    Decoded d = decode(file);
    EXPECT_EQ(d.output, std::string("h.png > decode error 58: ") + lodepng_error_text(58) + "\n");
}

// Reader tests with files, in a folder of their own.
using Grey16ReaderFiles = ScratchDirTest;

TEST_F(Grey16ReaderFiles, LoadsFromFileAndReportsFileFailures) {
    std::string path = this->path("reader_test.png");
    std::vector<uint8_t> file = test_png::grey16(2, 2, {1, 2, 3, 4}, 77);
    ASSERT_TRUE(write_file_whole(path.c_str(), file.data(), file.size()));
    uint64_t live = hook_live_blocks();
    Grey16Image image;
    ASSERT_EQ(load_grey16_png(path.c_str(), &image), status_ok);
    EXPECT_EQ(image.sea_level, 77);
    EXPECT_EQ(test_png::samples_of(image)[7], 4);
    release_grey16_image(&image);
    EXPECT_EQ(hook_live_blocks(), live);

    std::string missing = this->path("no_such_file.png");
    testing::internal::CaptureStdout();
    Status status = load_grey16_png(missing.c_str(), &image);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(status, status_ok);
    EXPECT_TRUE(image.samples == nullptr && image.rows == nullptr);
    EXPECT_EQ(output.rfind(missing + " > Error: ", 0), 0u) << output;
    EXPECT_EQ(hook_live_blocks(), live);
}

}  // namespace

namespace {

// A 16-bit greyscale PNG: signature, a w x h header, then `chunks` as given.
std::vector<uint8_t> png_of_chunks(uint32_t width, uint32_t height, const std::vector<uint8_t>& chunks) {
    std::vector<uint8_t> file = test_png::png(width, height, 16, 0, {});
    file.resize(33);
    file.insert(file.end(), chunks.begin(), chunks.end());
    return file;
}

// 7 x 6 samples filtered by each of the five filter types in turn, pseudo-random
// bytes after each filter byte: 6 rows of 1 + 14 bytes.
std::vector<uint8_t> every_filter() {
    std::vector<uint8_t> filtered;
    uint32_t state = 12345;
    for (uint8_t row = 0; row < 6; ++row) {
        filtered.push_back(row % 5);
        for (int i = 0; i < 14; ++i) {
            state = state * 1103515245 + 12345;
            filtered.push_back(static_cast<uint8_t>(state >> 16));
        }
    }
    return filtered;
}

// The IDAT chunks of `stream` cut in three, with other chunks among them.
std::vector<uint8_t> split_among_others(const std::vector<uint8_t>& stream, bool good_gama_crc = true) {
    std::vector<uint8_t> chunks;
    const size_t third = stream.size() / 3;
    test_png::put_chunk(chunks, "gAMA", {0, 0, 0xB1, 0x8F}, good_gama_crc);
    test_png::put_chunk(chunks, "bKGD", {0, 7});
    test_png::put_chunk(chunks, "IDAT", {stream.begin(), stream.begin() + static_cast<long>(third)});
    test_png::put_chunk(chunks, "tEXt", {'k', 'e', 'y', 0, 'v'});
    test_png::put_chunk(chunks, "IDAT", {stream.begin() + static_cast<long>(third), stream.end() - 1});
    test_png::put_chunk(chunks, "abCd", {1, 2, 3}, false);  // unknown and ancillary: its CRC is not checked
    test_png::put_chunk(chunks, "IDAT", {stream.end() - 1, stream.end()});
    test_png::put_chunk(chunks, "IEND", {});
    chunks.push_back(0);  // bytes after IEND are ignored
    return chunks;
}

// A zlib stream of stored blocks of `block` bytes (an empty one first),
// each header byte's unused bits set: the inflaters skip them.
std::vector<uint8_t> stored_in_blocks(const std::vector<uint8_t>& data, size_t block) {
    std::vector<uint8_t> z = {0x78, 0x01, 0xF8, 0, 0, 0xFF, 0xFF};
    for (size_t pos = 0; pos < data.size(); pos += block) {
        const size_t n = std::min(block, data.size() - pos);
        z.insert(z.end(), {static_cast<uint8_t>(pos + n == data.size() ? 0xF9 : 0xF8), static_cast<uint8_t>(n), 0,
                           static_cast<uint8_t>(~n), 0xFF});
        z.insert(z.end(), data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n));
    }
    test_png::put_be32(z, adler32_bytes(data.data(), data.size()));
    return z;
}

// Every filter byte of `filtered` (rows of 1 + 14 bytes) set to 0.
std::vector<uint8_t> unfiltered(std::vector<uint8_t> filtered) {
    for (size_t at = 0; at < filtered.size(); at += 15) filtered[at] = 0;
    return filtered;
}

}  // namespace

TEST_F(Grey16ReaderFiles, PlainImagesDecodeAsLodePngAloneDecodesThem) {
    // The reader's own path takes these whole, and its samples are LodePNG's:
    // where the image data is stored and unfiltered the rows stay where they
    // lie (rows split over blocks copied), otherwise it is inflated and
    // unfiltered. The compressed stream is the 16 x 5 image above.
    const std::vector<uint8_t> filtered = every_filter();
    struct Case {
        std::vector<uint8_t> file;
        bool rows_in_place;
    };
    const Case cases[] = {
        {test_png::png(7, 6, 16, 0, unfiltered(filtered)), true},
        {test_png::png_of_stream(7, 6, 16, 0, stored_in_blocks(unfiltered(filtered), 4)), true},
        {test_png::png_of_stream(7, 6, 16, 0, stored_in_blocks(unfiltered(filtered), 15)), true},
        {test_png::grey16(65535, 1, std::vector<uint16_t>(65535, 0x4242)), true},
        {test_png::png(7, 6, 16, 0, filtered), false},
        {png_of_chunks(7, 6, split_among_others(test_png::stored_zlib(unfiltered(filtered)))), false},
        {test_png::png_of_stream(16, 5, 16, 0, compressed_stream), false},
        {png_of_chunks(16, 5, split_among_others(compressed_stream)), false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> expected;
        ASSERT_EQ(lodepng_alone(c.file, &expected), 0u);
        const uint64_t live = hook_live_blocks();
        Grey16Image image;
        ASSERT_EQ(decode_plain_grey16_png(c.file.data(), c.file.size(), &image), ReaderChoice::own_path) << c.file.size();
        EXPECT_EQ(image.rows != nullptr, c.rows_in_place) << c.file.size();
        EXPECT_EQ(test_png::samples_of(image), expected);
        release_grey16_image(&image);
        EXPECT_EQ(hook_live_blocks(), live);

        // The same from a file, whose pages the loader maps where it can.
        const std::string file = path("plain.png");
        ASSERT_TRUE(write_file_whole(file.c_str(), c.file.data(), c.file.size()));
        ASSERT_EQ(load_grey16_png(file.c_str(), &image), status_ok);
        EXPECT_EQ(image.rows != nullptr, c.rows_in_place);
        EXPECT_EQ(test_png::samples_of(image), expected);
        release_grey16_image(&image);
        EXPECT_EQ(hook_live_blocks(), live);
    }
}

namespace {

// Deflate data bit by bit, least significant first; Huffman codewords go
// most significant bit first.
struct BitWriter {
    std::vector<uint8_t> bytes{0x78, 0x01};  // the zlib header
    uint32_t bits = 0;
    int count = 0;
    void put(uint32_t value, int n) {
        for (int i = 0; i < n; ++i) {
            bits |= ((value >> i) & 1u) << count;
            if (++count == 8) {
                bytes.push_back(static_cast<uint8_t>(bits));
                bits = 0;
                count = 0;
            }
        }
    }
    void code(uint32_t codeword, int length) {
        for (int i = length - 1; i >= 0; --i) put(codeword >> i, 1);
    }
    // The fixed code's codeword of a literal/length symbol.
    void fixed(uint32_t symbol) {
        if (symbol < 144) code(0x30 + symbol, 8);
        else if (symbol < 256) code(0x190 + symbol - 144, 9);
        else if (symbol < 280) code(symbol - 256, 7);
        else code(0xC0 + symbol - 280, 8);
    }
    // The stream, ended with the Adler-32 of the `zeros` zero bytes it stands for.
    std::vector<uint8_t> finish(size_t zeros) {
        if (count > 0) bytes.push_back(static_cast<uint8_t>(bits));
        const std::vector<uint8_t> data(zeros, 0);
        test_png::put_be32(bytes, adler32_bytes(data.data(), data.size()));
        return bytes;
    }
};

// Zero bytes in a fixed block: `literals` literals, then a match of length
// code `length_symbol` (its extra bits 0) at distance code `distance_symbol`.
std::vector<uint8_t> fixed_block_of_zeros(size_t literals, uint32_t length_symbol, uint32_t distance_symbol,
                                          size_t produced) {
    BitWriter w;
    w.put(1, 1);  // final
    w.put(1, 2);  // fixed codes
    for (size_t i = 0; i < literals; ++i) w.fixed(0);
    w.fixed(length_symbol);
    w.code(distance_symbol, 5);  // the fixed distance codewords: 5 bits each; extra bits 0 follow
    const int extra[32] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 13, 13};
    w.put(0, extra[distance_symbol]);
    w.fixed(256);
    return w.finish(produced);
}

// 4 literal zeros and a match of length 3 in a dynamic block whose distance
// code has one symbol (distance 1) of length 1, used by the codeword that
// code leaves unassigned ('1'): 7 zero bytes as libdeflate reads it.
std::vector<uint8_t> single_distance_code_block() {
    BitWriter w;
    w.put(1, 1);   // final
    w.put(2, 2);   // dynamic codes
    w.put(1, 5);   // 258 literal/length lengths (0 to 257)
    w.put(0, 5);   // 1 distance length
    w.put(15, 4);  // all 19 code-length lengths, in the format's order
    const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int s : order) w.put(s < 16 ? 4 : 0, 3);  // lengths 0..15: a complete code of 4 bits each
    // Literal 0: '0'; end of block 256: '10'; length 257 (3): '11'.
    for (uint32_t s = 0; s < 258; ++s) w.code(s == 0 ? 1 : s >= 256 ? 2 : 0, 4);
    w.code(1, 4);  // distance symbol 0: length 1, codeword '0'
    for (int i = 0; i < 4; ++i) w.code(0, 1);
    w.code(3, 2);  // length 3
    w.code(1, 1);  // the unassigned distance codeword
    w.code(2, 2);  // end of block
    return w.finish(7);
}

}  // namespace

TEST(Grey16Reader, EachFileThePlainPathLeavesHasItsReasonAndGetsLodePngsVerdict) {
    const std::vector<uint8_t> filtered = every_filter();
    const std::vector<uint8_t>& stream = compressed_stream;  // 16 x 5
    std::vector<uint8_t> bad_filter = filtered;
    bad_filter[15] = 5;
    std::vector<uint8_t> bad_idat_crc = test_png::png_of_stream(16, 5, 16, 0, stream);
    bad_idat_crc[33 + 8 + stream.size()] ^= 1;
    std::vector<uint8_t> unknown_critical, short_bkgd, no_iend;
    test_png::put_chunk(unknown_critical, "ABCD", {});
    test_png::put_chunk(short_bkgd, "bKGD", {7});
    test_png::put_chunk(no_iend, "IDAT", stream);
    auto interlace = [](std::vector<uint8_t> file) {
        file[28] = 1;
        write_be32(file.data() + 29, crc32_bytes(file.data() + 12, 17));
        return file;
    };
    // Stored blocks damaged: NLEN, the Adler-32, a byte too many or too few,
    // a preset dictionary.
    const std::vector<uint8_t> stored = stored_in_blocks(unfiltered(filtered), 8);
    std::vector<std::vector<uint8_t>> streams(5, stored);
    streams[0][10] ^= 1;  // the first full block's header is at 7
    streams[1].back() ^= 1;
    streams[2].push_back(0);
    streams[3].erase(streams[3].end() - 5);
    streams[4][1] = 0x20;  // 0x7820 is a multiple of 31
    using C = ReaderChoice;
    struct Case {
        std::vector<uint8_t> file;
        ReaderChoice choice;
    };
    // What libdeflate alone would take although LodePNG and zlib refuse it,
    // as whole images of zeros: length code 286 (130 x 1; 264 bytes when
    // interlaced), distance code 30 (12301 x 1: libdeflate reads it as 24577) and an incomplete distance
    // code of one symbol whose other codeword is used (3 x 1).
    const std::vector<uint8_t> code_286 = fixed_block_of_zeros(3, 286, 0, 261);
    const Case cases[] = {
        {test_png::png(7, 6, 16, 0, bad_filter), C::filter_type},
        {bad_idat_crc, C::image_data_crc},
        {png_of_chunks(16, 5, split_among_others(stream, false)), C::other_chunks},
        {test_png::png_of_stream(16, 5, 16, 0, stream, unknown_critical), C::other_chunks},
        {test_png::png_of_stream(16, 5, 16, 0, stream, short_bkgd), C::other_chunks},
        {png_of_chunks(16, 5, no_iend), C::chunk_outside},
        {test_png::png_of_stream(16, 5, 16, 0, {stream.begin(), stream.end() - 1}), C::uncommon_stream},
        {interlace(test_png::png(1, 1, 16, 0, {0, 1, 2})), C::interlaced},
        {test_png::png(5000, 5000, 16, 0, {0, 1, 2}), C::too_small},
        {test_png::png(1, 1, 8, 0, {0, 1}), C::not_a_heightmap},
        {test_png::png_of_stream(7, 6, 16, 0, streams[0]), C::uncommon_stream},
        {test_png::png_of_stream(7, 6, 16, 0, streams[1]), C::stream_refused},
        {test_png::png_of_stream(7, 6, 16, 0, streams[2]), C::stream_refused},
        {test_png::png_of_stream(7, 6, 16, 0, streams[3]), C::uncommon_stream},
        {test_png::png_of_stream(7, 6, 16, 0, streams[4]), C::uncommon_stream},
        {test_png::png_of_stream(130, 1, 16, 0, code_286), C::uncommon_stream},
        {test_png::png_of_stream(12301, 1, 16, 0, fixed_block_of_zeros(24600, 257, 30, 24603)), C::uncommon_stream},
        {test_png::png_of_stream(3, 1, 16, 0, single_distance_code_block()), C::uncommon_stream},
        {interlace(test_png::png_of_stream(130, 1, 16, 0, fixed_block_of_zeros(6, 286, 0, 264))), C::interlaced},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        const uint64_t live = hook_live_blocks();
        Grey16Image image;
        EXPECT_EQ(decode_plain_grey16_png(c.file.data(), c.file.size(), &image), c.choice);
        EXPECT_EQ(hook_live_blocks(), live);
        if (c.choice == C::not_a_heightmap) continue;  // refused from the header, as the header tests show
        std::vector<uint8_t> expected;
        const unsigned code = lodepng_alone(c.file, &expected);
        Decoded d = decode(c.file);
        if (code == 0) {
            ASSERT_EQ(d.status, status_ok) << d.output;
            EXPECT_EQ(d.samples, expected);
            release(d);
        } else {
            EXPECT_EQ(d.output, "h.png > decode error " + std::to_string(code) + ": " + lodepng_error_text(code) + "\n");
        }
    }
}

TEST(Grey16Reader, TheLenientStreamsAreOnesLibdeflateAloneWouldTake) {
    // The streams above decode under libdeflate to the zeros they stand
    // for; LodePNG refuses them, and so does the reader's inflater.
    struct Stream {
        std::vector<uint8_t> bytes;
        size_t zeros;
    };
    const Stream streams[] = {{fixed_block_of_zeros(3, 286, 0, 261), 261},
                              {fixed_block_of_zeros(24600, 257, 30, 24603), 24603},
                              {single_distance_code_block(), 7}};
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (const Stream& s : streams) {
        SCOPED_TRACE(testing::Message() << "stream " << (&s - streams));
        std::vector<uint8_t> out(s.zeros + 1);
        size_t got = 0;
        EXPECT_EQ(libdeflate_zlib_decompress(d, s.bytes.data(), s.bytes.size(), out.data(), out.size(), &got),
                  LIBDEFLATE_SUCCESS);
        EXPECT_EQ(got, s.zeros);
        size_t produced = 0;
        EXPECT_EQ(inflate_common_zlib(s.bytes.data(), s.bytes.size(), out.data(), out.size(), &produced),
                  InflateResult::uncommon);
        unsigned char* inflated = nullptr;
        size_t inflated_size = 0;
        LodePNGDecompressSettings settings;
        lodepng_decompress_settings_init(&settings);
        EXPECT_NE(lodepng_zlib_decompress(&inflated, &inflated_size, s.bytes.data(), s.bytes.size(), &settings), 0u);
        hook_free(inflated);  // LodePNG's memory comes through the hooks
    }
    libdeflate_free_decompressor(d);
    // A stream every inflater takes is inflated: the compressed image above.
    std::vector<uint8_t> out(5 * 33), expected;
    size_t produced = 0;
    EXPECT_EQ(inflate_common_zlib(compressed_stream.data(), compressed_stream.size(), out.data(), out.size(), &produced),
              InflateResult::inflated);
    EXPECT_EQ(produced, out.size());
}

TEST_F(Grey16ReaderFiles, RowsReadWhereTheyLieSurviveTheFileCutShort) {
    // 1000 x 20 samples stored as they are: the rows stay in the file, read
    // in place. Cut short under the image, the lost bytes read as zeros
    // instead of faulting, and the image no longer counts as unchanged;
    // Windows refuses to cut a file that is mapped.
    std::vector<uint16_t> samples(1000 * 20);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(i * 7919 | 1);
    const std::string file = path("cut.png");
    const std::vector<uint8_t> png = test_png::grey16(1000, 20, samples);
    ASSERT_TRUE(write_file_whole(file.c_str(), png.data(), png.size()));
    Grey16Image image;
    ASSERT_EQ(load_grey16_png(file.c_str(), &image), status_ok);
    ASSERT_NE(image.rows, nullptr);
    EXPECT_TRUE(grey16_unchanged(image));
    std::error_code cut;
    std::filesystem::resize_file(file, 100, cut);
#ifdef _WIN32
    EXPECT_TRUE(cut);
    EXPECT_TRUE(grey16_unchanged(image));
    release_grey16_image(&image);
    return;
#endif
    ASSERT_FALSE(cut);
    const std::vector<uint8_t> got = test_png::samples_of(image);
    ASSERT_EQ(got.size(), 2 * samples.size());
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 2000, got.end()), std::vector<uint8_t>(2000, 0));
    EXPECT_FALSE(grey16_unchanged(image));
    EXPECT_EQ(last_error_code(), error_file_changed);
    release_grey16_image(&image);
}
