// Whole-file reading and writing through the platform layer, on real files in
// a scratch folder (runs the same natively and under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "file_view.h"
#include "file_write.h"
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

TEST_F(PlatformFiles, AWriteInPartsReplacesTheFileOnlyWhenFinished) {
    std::string p = path("parts.bin");
    const uint8_t old[] = {9, 9};
    ASSERT_TRUE(write_file_whole(p.c_str(), old, 2));
    const uint8_t bytes[] = {1, 2, 3, 4, 5};

    // Abandoned, or finished short of the announced size: the old file stays.
    FileWrite* w = begin_file_write(p.c_str(), 5);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(write_file_part(w, bytes, 2));
    abandon_file_write(w);
    EXPECT_EQ(contents(p), std::string("\x09\x09"));
    w = begin_file_write(p.c_str(), 5);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(write_file_part(w, bytes, 4));
    EXPECT_FALSE(write_file_part(w, bytes, 2));  // past the announced size
    set_last_error_code(0);
    EXPECT_FALSE(finish_file_write(w));
    EXPECT_NE(last_error_code(), 0u);
    EXPECT_EQ(contents(p), std::string("\x09\x09"));
    EXPECT_EQ(listing(), std::vector<std::string>{"parts.bin"});

    w = begin_file_write(p.c_str(), 5);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(write_file_part(w, bytes, 3));
    ASSERT_TRUE(write_file_part(w, bytes + 3, 0));
    EXPECT_EQ(contents(p), std::string("\x09\x09"));  // not yet
    ASSERT_TRUE(write_file_part(w, bytes + 3, 2));
    ASSERT_TRUE(finish_file_write(w));
    EXPECT_EQ(contents(p), std::string("\x01\x02\x03\x04\x05"));
    EXPECT_EQ(listing(), std::vector<std::string>{"parts.bin"});
}

TEST_F(PlatformFiles, AWriteInPlaceChangesNothingBeforeItIsFinished) {
    // A file with a second name is written in place. Its parts wait aside
    // (in memory, or in a scratch file past what memory keeps) for the
    // finish: until then both names show the old content, and an abandoned
    // write leaves it whole.
    const std::string p = path("real.bin"), link = path("link.bin");
    const std::string old = "old content";
    ASSERT_TRUE(write_file_whole(p.c_str(), reinterpret_cast<const uint8_t*>(old.data()), old.size()));
    fs::create_hard_link(p, link);
    std::vector<uint8_t> part(1 << 20);
    for (size_t i = 0; i < part.size(); ++i) part[i] = static_cast<uint8_t>(i * 7 + i / 4093);
    for (uint64_t size : {uint64_t{5000}, in_place_memory_limit + 5000}) {
        for (bool finish : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (finish ? " finished" : " abandoned"));
            FileWrite* w = begin_file_write(p.c_str(), size);
            ASSERT_NE(w, nullptr);
            for (uint64_t at = 0; at < size; at += part.size()) {
                ASSERT_TRUE(write_file_part(w, part.data(), std::min<uint64_t>(part.size(), size - at)));
            }
            std::ifstream in(link, std::ios::binary);
            std::string start(old.size(), '\0');
            in.read(start.data(), static_cast<std::streamsize>(start.size()));
            in.close();
            EXPECT_EQ(start, old);  // grown to the new length, which is reserved; not a byte changed
            if (!finish) {
                abandon_file_write(w);
                EXPECT_EQ(contents(link), old);
                continue;
            }
            ASSERT_TRUE(finish_file_write(w));
            ASSERT_EQ(fs::file_size(link), size);
            std::string now(size, '\0');
            std::ifstream(link, std::ios::binary).read(now.data(), static_cast<std::streamsize>(size));
            for (uint64_t at = 0; at < size; at += part.size()) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(part.size(), size - at));
                ASSERT_EQ(memcmp(now.data() + at, part.data(), n), 0) << at;
            }
            ASSERT_TRUE(write_file_whole(p.c_str(), reinterpret_cast<const uint8_t*>(old.data()), old.size()));
        }
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"link.bin", "real.bin"}));
}

TEST_F(PlatformFiles, WritingNothingCreatesAnEmptyFile) {
    std::string p = path("empty.bin");
    ASSERT_TRUE(write_file_whole(p.c_str(), nullptr, 0));
    EXPECT_TRUE(fs::exists(p));
    EXPECT_EQ(fs::file_size(p), 0u);
}

TEST_F(PlatformFiles, ReadFailuresLeaveAMeaningfulCode) {
    std::ofstream(path("empty")).close();
    // A missing file, an empty one (never "success"), a folder: whole or viewed.
    for (const std::string& p : {path("missing"), path("empty"), dir.string()}) {
        FileBytes got{reinterpret_cast<uint8_t*>(1), 5};
        set_last_error_code(0);
        EXPECT_FALSE(read_file_whole(p.c_str(), &got)) << p;
        EXPECT_EQ(got.data, nullptr);
        EXPECT_NE(last_error_code(), 0u);
        FileView view{reinterpret_cast<uint8_t*>(1), 5, nullptr};
        set_last_error_code(0);
        EXPECT_FALSE(open_file_view(p.c_str(), &view)) << p;
        EXPECT_EQ(view.data, nullptr);
        EXPECT_NE(last_error_code(), 0u);
    }
}

TEST_F(PlatformFiles, AViewShowsTheFileAndCopiesOutOfItWhileUnchanged) {
    std::string p = path("v.bin");
    std::vector<uint8_t> bytes(300000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13);
    ASSERT_TRUE(write_file_whole(p.c_str(), bytes.data(), bytes.size()));
    FileView view;
    ASSERT_TRUE(open_file_view(p.c_str(), &view));
    ASSERT_EQ(view.size, bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(view.data, view.data + view.size), bytes);
    uint8_t copy[16];
    EXPECT_TRUE(copy_from_view(view, 299984, 16, copy));
    EXPECT_EQ(std::vector<uint8_t>(copy, copy + 16), std::vector<uint8_t>(bytes.end() - 16, bytes.end()));
    EXPECT_TRUE(view_unchanged(view));
    close_file_view(&view);
    EXPECT_EQ(view.data, nullptr);
    close_file_view(&view);  // an empty view is left alone
    EXPECT_TRUE(view_unchanged(view));
}

TEST_F(PlatformFiles, AFaultInAViewIsJudgedByTheFileItShows) {
    // What each system's fault handler leaves to the shared mending: the
    // view an address lies in, and whether the page that could not be had
    // is a read error (the file as it was) or the file cut short.
    const std::string p = path("v.bin");
    const size_t page = memory_page_size();
    const std::vector<uint8_t> bytes(3 * page + 100, 'x');
    ASSERT_TRUE(write_file_whole(p.c_str(), bytes.data(), bytes.size()));
    FileView view;
    ASSERT_TRUE(open_file_view(p.c_str(), &view));
    EXPECT_EQ(view_holding(view.data), view.state);
    EXPECT_EQ(view_holding(view.data + view.size - 1), view.state);
    EXPECT_EQ(view_holding(bytes.data()), nullptr);
    ASSERT_TRUE(mend_view(view.state, view.data + 2 * page + 7, 0xC000009C /* STATUS_DEVICE_DATA_ERROR */));
    EXPECT_EQ(view.data[2 * page], 0);
    EXPECT_EQ(view.data[view.size - 1], 0);
    EXPECT_FALSE(view_unchanged(view));
#ifdef _WIN32
    EXPECT_EQ(last_error_code(), 23u);  // ERROR_CRC, the status as a Win32 code
#else
    EXPECT_EQ(view.data[2 * page - 1], 'x');  // the pages before it are still the file's
    EXPECT_EQ(last_error_code(), static_cast<uint32_t>(EIO));
#endif
    close_file_view(&view);
#ifndef _WIN32
    // Windows lets no one cut a mapped file short.
    ASSERT_TRUE(open_file_view(p.c_str(), &view));
    fs::resize_file(p, 100);
    ASSERT_TRUE(mend_view(view.state, view.data + page, 0));
    EXPECT_EQ(view.data[page], 0);
    EXPECT_FALSE(view_unchanged(view));
    EXPECT_EQ(last_error_code(), error_file_changed);
    close_file_view(&view);
#endif
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

TEST_F(PlatformFiles, SameFileSeesThroughSpellings) {
    const uint8_t bytes[] = {1};
    ASSERT_TRUE(write_file_whole(path("a.bin").c_str(), bytes, 1));
    ASSERT_TRUE(write_file_whole(path("b.bin").c_str(), bytes, 1));
    fs::create_directories(dir / "sub");
    const std::string a = path("a.bin");
    EXPECT_TRUE(same_file(a.c_str(), a.c_str()));
    EXPECT_TRUE(same_file(a.c_str(), (dir / "sub" / ".." / "a.bin").string().c_str()));
    EXPECT_FALSE(same_file(a.c_str(), path("b.bin").c_str()));  // same bytes, another file
    EXPECT_FALSE(same_file(a.c_str(), path("missing.bin").c_str()));
    EXPECT_FALSE(same_file(path("missing.bin").c_str(), path("missing.bin").c_str()));
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

TEST_F(PlatformFiles, NamesBeyondAsciiAreTheFilesNamed) {
    // Paths are UTF-8 on every system: Latin, Polish, Cyrillic, Japanese, an
    // emoji (above U+FFFF) and a fullwidth quotation mark.
    const char* names[] = {"caf\xC3\xA9", "\xC5\x81\xC3\xB3\x64\xC5\xBA", "\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0",
                           "\xE5\x9C\xB0\xE5\x9B\xB3", "\xF0\x9F\x97\xBA", "x\xEF\xBC\x82 0x0101"};
    // The folder as UTF-8 (narrow paths of the library may take another code).
    auto folder = dir.u8string();
    auto path = [&](const char* name) { return std::string(folder.begin(), folder.end()) + "/" + name; };
    std::vector<std::string> expected;
    uint8_t tag = 0;
    for (const char* name : names) {
        ++tag;
        ASSERT_TRUE(write_file_whole(path(name).c_str(), &tag, 1)) << name;
        ASSERT_TRUE(write_file_whole(path(name).c_str(), &tag, 1)) << name;  // replaced, too
        expected.push_back(name);
    }
    tag = 0;
    for (const char* name : names) {
        ++tag;
        FileBytes got;
        ASSERT_TRUE(read_file_whole(path(name).c_str(), &got)) << name;
        EXPECT_EQ(got.size, 1u);
        EXPECT_EQ(got.data[0], tag) << name;
        release_buffer(got.data);
        EXPECT_TRUE(same_file(path(name).c_str(), path(name).c_str())) << name;
    }
    EXPECT_FALSE(same_file(path(names[0]).c_str(), path(names[1]).c_str()));
    std::vector<std::string> listed;
    for (const auto& e : fs::directory_iterator(dir)) {
        auto name = e.path().filename().u8string();
        listed.emplace_back(name.begin(), name.end());
    }
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}


// Two threads passing a count back and forth through one gate, each waiting
// for the other's change: a wake lost between a look and a wait hangs here.
struct PingPong {
    Gate* gate;
    std::atomic<uint32_t> turn{0};  // even: the main thread's, odd: the worker's
    uint32_t rounds;
};

void play_worker_side(void* context) {
    auto* game = static_cast<PingPong*>(context);
    for (uint32_t i = 0; i < game->rounds; ++i) {
        const uint32_t mine = 2 * i + 1;
        uint32_t now;
        while ((now = game->turn.load()) != mine) wait_for_change(game->gate, &game->turn, now);
        game->turn.store(mine + 1);
        wake_waiters(game->gate);
    }
}

TEST(PlatformThreads, AWorkerAndTheMainThreadTakeTurnsThroughAGate) {
    PingPong game;
    game.gate = open_gate();
    ASSERT_NE(game.gate, nullptr);
    game.rounds = 2000;
    Worker* worker = start_worker(play_worker_side, &game);
    ASSERT_NE(worker, nullptr);
    for (uint32_t i = 0; i < game.rounds; ++i) {
        game.turn.store(2 * i + 1);
        wake_waiters(game.gate);
        uint32_t now;
        while ((now = game.turn.load()) != 2 * i + 2) wait_for_change(game.gate, &game.turn, now);
    }
    join_worker(worker);
    EXPECT_EQ(game.turn.load(), 2 * game.rounds);
    close_gate(game.gate);
}
