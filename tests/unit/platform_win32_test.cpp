// The Windows platform layer's own ways: UTF-8 and UTF-16 (lone surrogates
// included), paths in long form, and what replacing a file keeps: its
// attributes, its hard links, and a file another program holds. Windows
// only (runs under Wine).
#ifdef _WIN32

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "platform.h"
#include "platform_win32.h"
#include "scratch_dir.h"

namespace {

std::string utf8(const std::wstring& text) {
    std::string out(3 * text.size(), '\0');
    out.resize(utf8_from_utf16(text.data(), text.size(), out.data(), out.size()));
    return out;
}

std::wstring utf16(const std::string& text, bool lenient = false) {
    std::wstring out(text.size() + 1, L'\0');
    size_t n = utf16_from_utf8(text.c_str(), out.data(), out.size(), lenient);
    if (n == utf16_failed) return L"<failed>";
    out.resize(n);
    return out;
}

}  // namespace

TEST(WindowsText, EveryUtf16StringComesBackWhole) {
    const std::wstring samples[] = {
        L"",
        L"map.prj",
        L"caf\u00E9 \u0141\u00F3d\u017A \u041A\u0430\u0440\u0442\u0430 \u5730\u56F3",
        L"\xD83D\xDDFA",                // the map emoji, a surrogate pair
        L"a\xD800" L"b",                 // a lone high surrogate
        L"a\xDC00",                      // a lone low surrogate at the end
        L"\xDC00\xD800",                 // a pair the wrong way round: two lone ones
        L"\xD800",                       // alone
    };
    for (const auto& text : samples) EXPECT_EQ(utf16(utf8(text)), text);
    EXPECT_EQ(utf8(L"\xD83D\xDDFA"), "\xF0\x9F\x97\xBA");
    EXPECT_EQ(utf8(L"\xD800"), "\xED\xA0\x80");
}

TEST(WindowsText, BytesNoWindowsNameGivesAreRefusedUnlessShown) {
    EXPECT_EQ(utf16("a\xFF" "b"), L"<failed>");
    EXPECT_EQ(utf16("\xC0\xAF"), L"<failed>");  // an overlong "/" never turns into a separator
    EXPECT_EQ(utf16("a\xFF" "b", true), L"a\xFFFD" L"b");
    // Too small a buffer fails rather than cutting a name.
    wchar_t two[2];
    EXPECT_EQ(utf16_from_utf8("abc", two, 2, false), utf16_failed);
}

TEST(WindowsText, Utf8IsCutAtAWholeCharacter) {
    char out[8];
    EXPECT_EQ(utf8_from_utf16(L"ab\u5730", 3, out, 4), 2u);  // 地 takes three bytes: it does not fit
    EXPECT_EQ(utf8_from_utf16(L"ab\u5730", 3, out, 5), 5u);
}

TEST(WindowsPaths, LongFormOfTheFullPath) {
    wchar_t* p = wide_path("sub/x.png");
    ASSERT_NE(p, nullptr);
    std::wstring text = p;
    free_wide(p);
    EXPECT_EQ(text.rfind(L"\\\\?\\", 0), 0u) << utf8(text);
    EXPECT_EQ(text.substr(text.size() - 10), L"\\sub\\x.png") << utf8(text);

    p = wide_path("");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, L"");  // left to the system, which names the fault
    free_wide(p);

    p = wide_path("NUL");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(_wcsicmp(p, L"\\\\.\\NUL"), 0) << utf8(p);
    free_wide(p);

    SetLastError(0);
    EXPECT_EQ(wide_path("a\xFF.png"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

namespace {

class WindowsFiles : public ScratchDirTest {
protected:
    std::wstring wide(const char* name) const { return (dir / name).wstring(); }

    std::string contents(const char* name) const {
        FileBytes got;
        if (!read_file_whole(path(name).c_str(), &got)) return "<unreadable>";
        std::string text(reinterpret_cast<char*>(got.data), got.size);
        release_buffer(got.data);
        return text;
    }

    bool write(const char* name, const char* text) {
        return write_file_whole(path(name).c_str(), reinterpret_cast<const uint8_t*>(text), strlen(text));
    }

    size_t entries() const {
        size_t n = 0;
        for (auto it = std::filesystem::directory_iterator(dir); it != std::filesystem::directory_iterator(); ++it) ++n;
        return n;
    }
};

}  // namespace

TEST_F(WindowsFiles, AFileAnotherProgramHoldsIsRefusedWithASharingViolation) {
    ASSERT_TRUE(write("held.png", "old"));
    for (bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "with a hard link: written in place" : "replaced");
        if (linked) ASSERT_TRUE(CreateHardLinkW(wide("link.png").c_str(), wide("held.png").c_str(), nullptr));
        // As an image viewer holds it: reading, and letting others only read.
        HANDLE held = CreateFileW(wide("held.png").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        SetLastError(0);
        EXPECT_FALSE(write("held.png", "new"));
        EXPECT_EQ(last_error_code(), static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
        CloseHandle(held);
        EXPECT_EQ(contents("held.png"), "old");
        EXPECT_EQ(entries(), linked ? 2u : 1u);  // no temporary file left
    }
    EXPECT_TRUE(write("held.png", "new"));
    EXPECT_EQ(contents("link.png"), "new");
}

TEST_F(WindowsFiles, ReplacingKeepsAttributesAndSetsTheArchiveBit) {
    ASSERT_TRUE(write("hidden.png", "old"));
    ASSERT_TRUE(SetFileAttributesW(wide("hidden.png").c_str(), FILE_ATTRIBUTE_HIDDEN));  // archive bit cleared, as after a backup
    ASSERT_TRUE(write("hidden.png", "new"));
    EXPECT_EQ(contents("hidden.png"), "new");
    DWORD attributes = GetFileAttributesW(wide("hidden.png").c_str());
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(WindowsFiles, AFileWithHardLinksIsWrittenInPlaceSoEveryNameSeesIt) {
    ASSERT_TRUE(write("real.png", "old content"));
    ASSERT_TRUE(CreateHardLinkW(wide("hard.png").c_str(), wide("real.png").c_str(), nullptr));
    ASSERT_TRUE(write("real.png", "new, and longer content"));
    EXPECT_EQ(contents("hard.png"), "new, and longer content");
    ASSERT_TRUE(write("hard.png", "short"));
    EXPECT_EQ(contents("real.png"), "short");
    EXPECT_TRUE(same_file(path("real.png").c_str(), path("hard.png").c_str()));

    // Abandoned before a byte is written: the room reserved is given back.
    FileWrite* w = begin_file_write(path("real.png").c_str(), 1000);
    ASSERT_NE(w, nullptr);
    abandon_file_write(w);
    EXPECT_EQ(contents("hard.png"), "short");
    EXPECT_EQ(entries(), 2u);
}

TEST_F(WindowsFiles, PathsPastTheOldLimitAreReadAndWritten) {
    // A folder whose full path alone passes 260 characters.
    std::string folder = path(std::string(250, 'd').c_str());
    std::wstring long_folder = L"\\\\?\\" + (dir / std::string(250, 'd')).wstring();
    ASSERT_TRUE(CreateDirectoryW(long_folder.c_str(), nullptr));
    std::string file = folder + "\\" + std::string(40, 'f') + ".png";
    const uint8_t bytes[] = {7, 8};
    EXPECT_TRUE(write_file_whole(file.c_str(), bytes, 2));
    EXPECT_TRUE(write_file_whole(file.c_str(), bytes, 1));
    FileBytes got;
    ASSERT_TRUE(read_file_whole(file.c_str(), &got));
    EXPECT_EQ(got.size, 1u);
    release_buffer(got.data);
    // The library's own removal knows no long paths.
    EXPECT_TRUE(DeleteFileW((long_folder + L"\\" + std::wstring(40, L'f') + L".png").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(long_folder.c_str()));
}

namespace {

// What Windows raises when a view's page cannot be read in (a volume gone,
// a network file failed): the access, the address and why.
void raise_page_error(const uint8_t* at, DWORD code = EXCEPTION_IN_PAGE_ERROR, ULONG_PTR access = 0) {
    const ULONG_PTR information[3] = {access, reinterpret_cast<ULONG_PTR>(at), 0xC000009C /* STATUS_DEVICE_DATA_ERROR */};
    RaiseException(code, 0, 3, information);
}

// A fault that no view takes: passed on to the next handler, this one.
volatile LONG passed_on = 0;
LONG CALLBACK note_passed_on(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
    passed_on = 1;
    return EXCEPTION_CONTINUE_EXECUTION;  // raised, not met: nothing to retry
}

}  // namespace

TEST_F(WindowsFiles, APageErrorInAViewIsMendedOnceWhicheverThreadsMeetIt) {
    std::string bytes(100000, 'x');
    ASSERT_TRUE(write("v.bin", bytes.c_str()));
    FileView view;
    ASSERT_TRUE(open_file_view(path("v.bin").c_str(), &view));
    raise_page_error(view.data + 70000);
    EXPECT_EQ(view.data[70000], 0);  // the view's pages are zeros from then on
    // The picture's second thread meets the same page error, or touches the
    // view while it is being mended, where its pages are gone for a moment
    // (an access violation): either goes on, on the zero pages.
    HANDLE other = CreateThread(
        nullptr, 0,
        [](void* data) -> DWORD {
            const auto* at = static_cast<const uint8_t*>(data);
            raise_page_error(at + 100);
            raise_page_error(at + 9000, EXCEPTION_ACCESS_VIOLATION);
            return at[9000] == 0 ? 7 : 1;
        },
        const_cast<uint8_t*>(view.data), 0, nullptr);
    ASSERT_NE(other, nullptr);
    WaitForSingleObject(other, INFINITE);
    DWORD ended = 0;
    GetExitCodeThread(other, &ended);
    CloseHandle(other);
    EXPECT_EQ(ended, 7u);
    // A write where the mended view lets none is a fault of the program's.
    PVOID next = AddVectoredExceptionHandler(0, note_passed_on);
    raise_page_error(view.data + 10, EXCEPTION_ACCESS_VIOLATION, 1);
    RemoveVectoredExceptionHandler(next);
    EXPECT_EQ(passed_on, 1);
    // The file is as it was: the run fails with the read error, not as if
    // the file had changed.
    EXPECT_FALSE(view_unchanged(view));
    EXPECT_EQ(last_error_code(), static_cast<uint32_t>(ERROR_CRC));
    close_file_view(&view);
}

#endif  // _WIN32
