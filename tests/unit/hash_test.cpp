#include <gtest/gtest.h>

#include <string>

#include "disk/seam.h"
#include "hash/sha256.h"
#include "tests/support/test_files.h"
#include "ui/status.h"

namespace {

// A scripted clock: every query moves time on by `clock_step` ms, and after
// `cancel_after_queries` queries the cancel flag is raised, as a Stop would.
DWORD clock_now;
DWORD clock_step;
int clock_queries;
int cancel_after_queries;

DWORD WINAPI scripted_tick_count(void)
{
    ++clock_queries;
    if (cancel_after_queries && clock_queries == cancel_after_queries) set_cancel_flag(1);
    return clock_now += clock_step;
}

struct HashFileTest : ::testing::Test {
    std::wstring folder = make_scratch_folder(L"hash");
    HWND window = NULL;
    char digest[DIGEST_TEXT_BYTES] = "";
    wchar_t message[HASH_MESSAGE_CHARS] = L"untouched";

    void SetUp() override
    {
        clock_now = 5000000;
        clock_step = 0;
        clock_queries = 0;
        cancel_after_queries = 0;
        seam.GetTickCount = scripted_tick_count;
        set_cancel_flag(0);
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
        main_window = window;
    }
    void TearDown() override
    {
        seam = win32_seam;
        set_cancel_flag(0);
        main_window = NULL;
        DestroyWindow(window);
    }
    std::wstring make_file(const wchar_t *name, const std::string &bytes)
    {
        std::wstring path = folder + L"\\" + name;
        EXPECT_TRUE(write_whole_file(path, bytes));
        return path;
    }
    int count_progress_reports()
    {
        int count = 0;
        MSG msg;
        while (PeekMessageW(&msg, window, WM_APP_STATUS, WM_APP_STATUS, PM_REMOVE)) ++count;
        return count;
    }
    // True when nothing else holds the file open any more.
    bool file_released(const std::wstring &path)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) return false;
        CloseHandle(file);
        return true;
    }
};

TEST(Sha256, KnownDigestsInLowerCaseHex)
{
    Sha256Context context;
    char text[DIGEST_TEXT_BYTES];
    ASSERT_TRUE(sha256_begin(&context));
    ASSERT_TRUE(sha256_finish_hex(&context, text));
    EXPECT_STREQ(text, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    ASSERT_TRUE(sha256_begin(&context));
    sha256_update(&context, "a", 1);
    sha256_update(&context, "bc", 2);
    ASSERT_TRUE(sha256_finish_hex(&context, text));
    EXPECT_STREQ(text, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(context.hash, 0u);
    EXPECT_EQ(context.provider, 0u);
}

TEST_F(HashFileTest, EmptyFileHashesWithoutProgress)
{
    std::wstring path = make_file(L"empty.iso", "");
    ASSERT_TRUE(hash_file(path.c_str(), L"Checking the ISO file\x2026", digest, message));
    EXPECT_STREQ(digest, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_STREQ(message, L"untouched");
    EXPECT_EQ(count_progress_reports(), 0);
}

TEST_F(HashFileTest, SmallAndChunkSizedFiles)
{
    std::wstring abc = make_file(L"abc.iso", "abc");
    ASSERT_TRUE(hash_file(abc.c_str(), L"x", digest, message));
    EXPECT_STREQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    std::wstring mib = make_file(L"mib.iso", std::string(1048576, '\0'));
    ASSERT_TRUE(hash_file(mib.c_str(), L"x", digest, message));
    EXPECT_STREQ(digest, "30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58");
    EXPECT_TRUE(file_released(mib));
}

TEST_F(HashFileTest, FirstChunkReportsThenReportsAreSpacedBeyond250Ms)
{
    std::wstring path = make_file(L"five.iso", std::string(5000000, 'q'));
    clock_step = 100;  // two queries per reported chunk, one otherwise
    ASSERT_TRUE(hash_file(path.c_str(), L"Checking the download\x2026", digest, message));
    EXPECT_STREQ(digest, "1673241aa1eacf9a651919587509cb8c49ce5c2b39809a597b586fc44ee23507");
    // Chunk 1 reports (tick far past 0); then 100 ms per chunk means chunks
    // 2 and 3 stay within 250 ms, chunk 4 reports, chunk 5 does not.
    EXPECT_EQ(count_progress_reports(), 2);
    wchar_t text[STATUS_TEXT_CHARS];
    int progress = 0;
    read_status(text, STATUS_TEXT_CHARS, &progress);
    EXPECT_STREQ(text, L"Checking the download\x2026 83%");
    EXPECT_EQ(progress, 838);
}

TEST_F(HashFileTest, StopMidFileEndsWithStoppedAndReleasesTheFile)
{
    std::wstring path = make_file(L"stop.iso", std::string(4 * 1048576, 'z'));
    cancel_after_queries = 2;  // raised while the second chunk is being counted
    EXPECT_FALSE(hash_file(path.c_str(), L"x", digest, message));
    EXPECT_STREQ(message, L"Stopped.");
    EXPECT_EQ(clock_queries, 2);
    EXPECT_TRUE(file_released(path));
}

TEST_F(HashFileTest, MissingFileCannotBeOpened)
{
    std::wstring path = folder + L"\\missing.iso";
    EXPECT_FALSE(hash_file(path.c_str(), L"x", digest, message));
    std::wstring expected = L"Could not open " + path + L": ";
    EXPECT_EQ(std::wstring(message).substr(0, expected.size()), expected);
    EXPECT_GT(wcslen(message), expected.size());
}

TEST_F(HashFileTest, FileHeldOpenForWritingIsASharingConflict)
{
    std::wstring path = make_file(L"busy.iso", "data");
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(hash_file(path.c_str(), L"x", digest, message));
    CloseHandle(writer);
    wchar_t reason[256];
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                   ERROR_SHARING_VIOLATION, 0, reason, 256, NULL);
    std::wstring sharing = reason;
    while (!sharing.empty() && wcschr(L".\r\n", sharing.back())) sharing.pop_back();
    EXPECT_EQ(std::wstring(message), L"Could not open " + path + L": " + sharing);
}

TEST_F(HashFileTest, FolderInsteadOfFileIsNamedWithItsCause)
{
    // A folder opens for reading with backup semantics only, so the open fails;
    // the sentence names the path and a cause, never a bare number.
    EXPECT_FALSE(hash_file(folder.c_str(), L"x", digest, message));
    EXPECT_EQ(std::wstring(message).rfind(L"Could not open " + folder + L": ", 0), 0u);
    EXPECT_EQ(std::wstring(message).find(L"error "), std::wstring::npos);
}

}  // namespace
