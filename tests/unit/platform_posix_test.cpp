// The POSIX write in place, through the platform layer: a file with a second
// hard link is written in place, and what an abandoned write and the
// signals that end the process see of it.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"
#include "scratch_dir.h"

namespace {

class InPlaceWrite : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        file = path("f.bin");
        std::ofstream(file, std::ios::binary) << "old content";
        ASSERT_EQ(link(file.c_str(), path("link.bin").c_str()), 0);
        inode = inode_of(file);
    }

    static ino_t inode_of(const std::string& p) {
        struct stat st{};
        stat(p.c_str(), &st);
        return st.st_ino;
    }

    static std::string contents(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static bool interrupt_held() {
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        return sigismember(&mask, SIGINT) == 1;
    }

    std::string file;
    ino_t inode = 0;
};

}  // namespace

TEST_F(InPlaceWrite, AbandonedBeforeAByteKeepsTheOldLength) {
    // The reservation grew the file to 1000 bytes; abandoning cuts it back.
    FileWrite* w = begin_file_write(file.c_str(), 1000);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(interrupt_held());
    abandon_file_write(w);
    EXPECT_FALSE(interrupt_held());
    EXPECT_EQ(contents(file), "old content");
    EXPECT_EQ(contents(path("link.bin")), "old content");
}

TEST_F(InPlaceWrite, PartsReachBothNamesAtTheFinishAndSignalsWaitForIt) {
    const uint8_t bytes[] = {'n', 'e', 'w'};
    FileWrite* w = begin_file_write(file.c_str(), 6);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(write_file_part(w, bytes, 3));
    EXPECT_TRUE(interrupt_held());
    ASSERT_TRUE(write_file_part(w, bytes, 3));
    ASSERT_TRUE(finish_file_write(w));
    EXPECT_FALSE(interrupt_held());
    // Cut to the new length; both names see it.
    EXPECT_EQ(contents(path("link.bin")), "newnew");
    EXPECT_EQ(inode_of(file), inode);

    // A write to another file meanwhile does not release the first one's hold.
    w = begin_file_write(file.c_str(), 3);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(write_file_whole(path("other.bin").c_str(), bytes, 3));
    EXPECT_TRUE(interrupt_held());
    ASSERT_TRUE(write_file_part(w, bytes, 3));
    ASSERT_TRUE(finish_file_write(w));
    EXPECT_FALSE(interrupt_held());
    EXPECT_EQ(contents(path("link.bin")), "new");
}

TEST_F(InPlaceWrite, LocksKeepWritersInPlaceAndReadersApart) {
    // Another program's lock (a classic record lock: it conflicts with the
    // open-file-description locks hmap takes) on the file.
    auto hold = [this](short type) {
        int fd = open(file.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        EXPECT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
        return fd;
    };
    FileBytes bytes;
    int other = hold(F_WRLCK);
    EXPECT_EQ(begin_file_write(file.c_str(), 5), nullptr);
    EXPECT_EQ(last_error_code(), error_file_busy);
    EXPECT_FALSE(read_file_whole(file.c_str(), &bytes));
    EXPECT_EQ(last_error_code(), error_file_busy);
    close(other);
    // A reader's lock keeps a write in place out too, but not other readers.
    other = hold(F_RDLCK);
    EXPECT_EQ(begin_file_write(file.c_str(), 5), nullptr);
    EXPECT_EQ(last_error_code(), error_file_busy);
    ASSERT_TRUE(read_file_whole(file.c_str(), &bytes));
    release_buffer(bytes.data);
    close(other);
    EXPECT_EQ(contents(file), "old content");

    // hmap's own write in place keeps hmap's reader out until it is done.
    FileWrite* w = begin_file_write(file.c_str(), 3);
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(read_file_whole(path("link.bin").c_str(), &bytes));
    EXPECT_EQ(last_error_code(), error_file_busy);
    ASSERT_TRUE(write_file_part(w, reinterpret_cast<const uint8_t*>("new"), 3));
    ASSERT_TRUE(finish_file_write(w));
    ASSERT_TRUE(read_file_whole(path("link.bin").c_str(), &bytes));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.data), bytes.size), "new");
    release_buffer(bytes.data);

    // A view holds the reader's lock until it is closed.
    FileView view;
    ASSERT_TRUE(open_file_view(file.c_str(), &view));
    EXPECT_EQ(begin_file_write(file.c_str(), 5), nullptr);
    EXPECT_EQ(last_error_code(), error_file_busy);
    close_file_view(&view);
    w = begin_file_write(file.c_str(), 3);
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(open_file_view(file.c_str(), &view));
    EXPECT_EQ(last_error_code(), error_file_busy);
    abandon_file_write(w);
}

TEST_F(InPlaceWrite, AViewOfAFileAnotherProgramChangesIsNoLongerUnchanged) {
    // Grown, written over (its length kept) or cut short under the view;
    // the bytes cut off read as zeros instead of faulting.
    for (const char* how : {"append", "overwrite", "cut"}) {
        std::ofstream(file, std::ios::binary) << std::string(20000, 'x');
        const struct timespec past[2] = {{1, 0}, {1, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), past, 0), 0);
        FileView view;
        ASSERT_TRUE(open_file_view(file.c_str(), &view));
        EXPECT_EQ(view.data[19999], 'x');
        const std::string what = how;
        if (what == "cut") {
            ASSERT_EQ(truncate(file.c_str(), 100), 0);
            EXPECT_EQ(view.data[19999], 0) << how;
        } else {
            std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out |
                                     (what == "append" ? std::ios::app : std::ios::openmode{}));
            f << 'y';
        }
        EXPECT_FALSE(view_unchanged(view)) << how;
        EXPECT_EQ(last_error_code(), error_file_changed) << how;
        uint8_t first;
        EXPECT_FALSE(copy_from_view(view, 0, 1, &first)) << how;
        close_file_view(&view);
    }
}

TEST_F(InPlaceWrite, ABusErrorAnotherProgramSendsIsNoFaultOfAView) {
    // Sent with kill, or with sigqueue and an address inside the view in
    // its fields: either ends the process as it would have, and the view is
    // left alone.
    std::ofstream(file, std::ios::binary) << std::string(20000, 'x');
    FileView view;
    ASSERT_TRUE(open_file_view(file.c_str(), &view));
    const auto ended = testing::KilledBySignal(SIGBUS);
    EXPECT_EXIT(
        {
            kill(getpid(), SIGBUS);
            _exit(0);  // went on as if nothing had come
        },
        ended, "");
    EXPECT_EXIT(
        {
            siginfo_t info{};
            info.si_signo = SIGBUS;
            info.si_code = SI_QUEUE;
            info.si_addr = const_cast<uint8_t*>(view.data) + 8192;
            syscall(SYS_rt_sigqueueinfo, getpid(), SIGBUS, &info);
            _exit(0);  // went on as if nothing had come
        },
        ended, "");
    EXPECT_TRUE(view_unchanged(view));
    close_file_view(&view);
}

TEST_F(InPlaceWrite, PagesTakenForWritingInAPrivateViewStillShowTheFileAndNeverReachIt) {
    std::string bytes(8 << 20, '\0');  // above the least block whose pages are taken
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
    std::ofstream(file, std::ios::binary) << bytes;
    FileView view;
    ASSERT_TRUE(open_private_file_view(file.c_str(), &view));
    auto* own = const_cast<uint8_t*>(view.data);
    take_pages_for_writing(own + 1, view.size - 1);
    EXPECT_EQ(memcmp(own, bytes.data(), bytes.size()), 0);
    own[0] ^= 1;
    own[view.size - 1] ^= 1;
    EXPECT_TRUE(view_unchanged(view));
    close_file_view(&view);
    EXPECT_EQ(contents(file), bytes);

    // Cut short under the view: taking the pages fails quietly, and the
    // change is seen as before.
    ASSERT_TRUE(open_private_file_view(file.c_str(), &view));
    ASSERT_EQ(truncate(file.c_str(), 4096), 0);
    take_pages_for_writing(const_cast<uint8_t*>(view.data), view.size);
    EXPECT_FALSE(view_unchanged(view));
    close_file_view(&view);
}

// An answer line from standard input, here a pipe put in its place.
TEST(ConsoleLine, ReadsOneLineAtATimeAndCutsWhatDoesNotFit) {
    int saved = dup(0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(dup2(ends[0], 0), 0);
    close(ends[0]);
    const char typed[] = "y\r\nyes please\nlast";
    ASSERT_EQ(write(ends[1], typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
    close(ends[1]);
    EXPECT_FALSE(console_can_ask());  // a pipe is nobody to ask
    char answer[5];
    EXPECT_TRUE(read_console_line(answer, sizeof answer));
    EXPECT_STREQ(answer, "y");
    EXPECT_TRUE(read_console_line(answer, sizeof answer));
    EXPECT_STREQ(answer, "yes ");  // the rest of the line is read and dropped
    EXPECT_TRUE(read_console_line(answer, sizeof answer));
    EXPECT_STREQ(answer, "last");  // input that ends without a line end
    EXPECT_FALSE(read_console_line(answer, sizeof answer));
    dup2(saved, 0);
    close(saved);
}

#endif  // _WIN32
