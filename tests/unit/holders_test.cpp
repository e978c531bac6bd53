// Every holder releases what it holds: the import, stopped at each of its
// failures and run to success, leaves no block of the decoder's memory behind
// (the hooks count the blocks taken and not yet freed).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "battle_file.h"
#include "import.h"
#include "png_heightmap.h"
#include "png_test_files.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

// A battle file around the chunk that encoding `samples` (9 x 9, both
// heightmaps) gives: signature, four empty leading chunks but for chunk 3's
// count word, 8 bytes, the chunk, "ATTR" and a byte.
std::vector<uint8_t> battle_file(const std::vector<uint16_t>& samples) {
    std::vector<uint8_t> be;
    for (uint16_t v : samples) be.insert(be.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    const uint64_t nb = heightmap_block_count(9, 9);
    std::vector<uint8_t> chunk(chunk_capacity(nb));
    std::vector<uint32_t> index(pattern_index_size(nb) / 4);
    const HeightmapPair pair{be.data(), be.data(), 9, 9, 100};
    chunk.resize(encode_heightmaps(pair, chunk.data(), index.data(), max_patterns, nullptr, nullptr));
    const char* signature = "Kelvaroth Battle file 1.10      ";
    std::vector<uint8_t> file(signature, signature + 32);
    for (int c = 0; c < 4; ++c) {
        file.insert(file.end(), {'L', 'E', 'A', 'D', static_cast<uint8_t>(c == 2 ? 4 : 0), 0, 0, 0});
        if (c == 2) file.insert(file.end(), 4, 0);
    }
    file.insert(file.end(), 8, 0);
    file.insert(file.end(), chunk.begin(), chunk.end());
    file.insert(file.end(), {'A', 'T', 'T', 'R', 0});
    return file;
}

class Holders : public ScratchDirTest {
protected:
    void put(const char* name, const std::vector<uint8_t>& bytes) const {
        ASSERT_TRUE(write_file_whole(path(name).c_str(), bytes.data(), bytes.size()));
    }

    // Runs the import; returns its status and checks that no decoder block is left.
    Status import(const char* battle_in, const char* battle_out, const char* png1, const char* png2) {
        const uint64_t live = hook_live_blocks();
        testing::internal::CaptureStdout();
        Status status = import_heightmaps(path(battle_in).c_str(), path(battle_out).c_str(), path(png1).c_str(),
                                          path(png2).c_str());
        output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(hook_live_blocks(), live) << png1 << " " << png2 << ": " << output;
        return status;
    }

    std::string output;
};

TEST_F(Holders, ImportFreesTheDecodedImagesOnEveryPath) {
    std::vector<uint16_t> samples(81);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(100 + 300 * i);
    put("in.prj", battle_file(samples));
    put("a.png", test_png::grey16(9, 9, samples, 100));
    put("b.png", test_png::grey16(9, 9, samples, 100));
    put("other-size.png", test_png::grey16(3, 2, std::vector<uint16_t>(6, 100), 100));
    put("other-sea.png", test_png::grey16(9, 9, samples, 200));
    put("eight-bit.png", test_png::png(1, 1, 8, 0, {0, 7}));
    put("text.png", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'});
    put("refused.prj", {'K', 'e', 'l', 'v'});
    fs::create_directories(dir / "folder");

    EXPECT_EQ(import("in.prj", "out.prj", "a.png", "b.png"), status_ok) << output;
    EXPECT_TRUE(fs::exists(dir / "out.prj"));
    // Each failure, from the first image's load to the final write.
    const char* const failing[][4] = {
        {"in.prj", "x.prj", "missing.png", "b.png"},   {"in.prj", "x.prj", "a.png", "missing.png"},
        {"in.prj", "x.prj", "text.png", "b.png"},      {"in.prj", "x.prj", "a.png", "text.png"},
        {"in.prj", "x.prj", "eight-bit.png", "b.png"}, {"in.prj", "x.prj", "a.png", "eight-bit.png"},
        {"in.prj", "x.prj", "a.png", "other-size.png"}, {"in.prj", "x.prj", "a.png", "other-sea.png"},
        {"missing.prj", "x.prj", "a.png", "b.png"},    {"refused.prj", "x.prj", "a.png", "b.png"},
        {"in.prj", "folder", "a.png", "b.png"},
    };
    for (const auto& args : failing) {
        EXPECT_NE(import(args[0], args[1], args[2], args[3]), status_ok) << args[2] << " " << args[3];
        EXPECT_FALSE(output.empty());
        EXPECT_FALSE(fs::exists(dir / "x.prj"));
    }
}

}  // namespace
