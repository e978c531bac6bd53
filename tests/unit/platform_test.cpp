// Whole-file reading and writing through the platform layer, on real files in
// a scratch folder (runs the same natively and under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class PlatformFiles : public ScratchDirTest {
protected:
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string contents(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

}  // namespace

TEST_F(PlatformFiles, WriteThenReadRoundTripsAndReplacesWithoutLeftovers) {
    std::string p = path("a.bin");
    std::vector<uint8_t> bytes(300000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(write_file_whole(p.c_str(), bytes.data(), bytes.size()));
    FileBytes got;
    ASSERT_TRUE(read_file_whole(p.c_str(), &got));
    ASSERT_EQ(got.size, bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(got.data, got.data + got.size), bytes);
    release_buffer(got.data);

    const uint8_t shorter[] = {1, 2, 3};
    ASSERT_TRUE(write_file_whole(p.c_str(), shorter, 3));
    EXPECT_EQ(contents(p), std::string("\x01\x02\x03"));
    EXPECT_EQ(listing(), std::vector<std::string>{"a.bin"});
}

TEST_F(PlatformFiles, WritingNothingCreatesAnEmptyFile) {
    std::string p = path("empty.bin");
    ASSERT_TRUE(write_file_whole(p.c_str(), nullptr, 0));
    EXPECT_TRUE(fs::exists(p));
    EXPECT_EQ(fs::file_size(p), 0u);
}

TEST_F(PlatformFiles, ReadFailuresLeaveAMeaningfulCode) {
    FileBytes got{reinterpret_cast<uint8_t*>(1), 5};
    set_last_error_code(0);
    EXPECT_FALSE(read_file_whole(path("missing").c_str(), &got));
    EXPECT_EQ(got.data, nullptr);
    EXPECT_NE(last_error_code(), 0u);

    std::ofstream(path("empty")).close();
    set_last_error_code(0);
    EXPECT_FALSE(read_file_whole(path("empty").c_str(), &got));
    EXPECT_NE(last_error_code(), 0u);  // never "success" for an empty file

    set_last_error_code(0);
    EXPECT_FALSE(read_file_whole(dir.string().c_str(), &got));
    EXPECT_NE(last_error_code(), 0u);
}

TEST_F(PlatformFiles, WriteFailuresLeaveNoTemporaryFile) {
    const uint8_t bytes[] = {1, 2, 3};
    fs::create_directories(dir / "sub");
    set_last_error_code(0);
    EXPECT_FALSE(write_file_whole(path("sub").c_str(), bytes, 3));  // a folder is no file
    EXPECT_NE(last_error_code(), 0u);
    set_last_error_code(0);
    EXPECT_FALSE(write_file_whole((dir / "nowhere" / "x.bin").string().c_str(), bytes, 3));
    EXPECT_NE(last_error_code(), 0u);
    EXPECT_EQ(listing(), std::vector<std::string>{"sub"});
    EXPECT_TRUE(fs::is_empty(dir / "sub"));
}

TEST(PlatformMemory, HooksCountLiveBlocks) {
    uint64_t start = hook_live_blocks();
    void* a = hook_alloc(10);
    void* b = hook_realloc(nullptr, 20);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(hook_live_blocks(), start + 2);
    b = hook_realloc(b, 1 << 20);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(hook_live_blocks(), start + 2);
    hook_free(a);
    hook_free(b);
    hook_free(nullptr);
    EXPECT_EQ(hook_live_blocks(), start);
}
