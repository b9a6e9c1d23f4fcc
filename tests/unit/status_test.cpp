#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ui/status.h"

namespace {

// A hidden window on the test thread stands in for the main window, so the
// posted notifications can be counted.
struct StatusTest : ::testing::Test {
    HWND window = NULL;
    void SetUp() override
    {
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
        ASSERT_TRUE(window != NULL);
        main_window = window;
        set_cancel_flag(0);
    }
    void TearDown() override
    {
        main_window = NULL;
        DestroyWindow(window);
    }
    int drain_status_messages()
    {
        int count = 0;
        MSG message;
        while (PeekMessageW(&message, window, WM_APP_STATUS, WM_APP_STATUS, PM_REMOVE)) ++count;
        return count;
    }
};

TEST_F(StatusTest, ReportStoresTextAndProgressAndNotifiesTheWindow)
{
    report_status(250, L"%ls %d%%", L"Checking the download\x2026", 25);
    wchar_t text[STATUS_TEXT_CHARS];
    int progress = -1;
    read_status(text, STATUS_TEXT_CHARS, &progress);
    EXPECT_STREQ(text, L"Checking the download\x2026 25%");
    EXPECT_EQ(progress, 250);
    EXPECT_EQ(drain_status_messages(), 1);
}

TEST_F(StatusTest, LongTextIsCutTo767Characters)
{
    std::wstring long_text(1000, L'a');
    report_status(0, L"%ls", long_text.c_str());
    wchar_t text[STATUS_TEXT_CHARS];
    read_status(text, STATUS_TEXT_CHARS, NULL);
    EXPECT_EQ(wcslen(text), 767u);
    drain_status_messages();
}

TEST_F(StatusTest, FinalTextKeepsProgressAndPostsNothing)
{
    report_status(640, L"Writing");
    drain_status_messages();
    set_final_status(L"Stopped.");
    wchar_t text[STATUS_TEXT_CHARS];
    int progress = 0;
    read_status(text, STATUS_TEXT_CHARS, &progress);
    EXPECT_STREQ(text, L"Stopped.");
    EXPECT_EQ(progress, 640);
    EXPECT_EQ(drain_status_messages(), 0);
    set_final_status(NULL);
    read_status(text, STATUS_TEXT_CHARS, NULL);
    EXPECT_STREQ(text, L"");
}

TEST_F(StatusTest, WithoutAWindowReportsStillUpdateTheText)
{
    main_window = NULL;
    report_status(5, L"headless");
    wchar_t text[STATUS_TEXT_CHARS];
    read_status(text, STATUS_TEXT_CHARS, NULL);
    EXPECT_STREQ(text, L"headless");
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, NULL, WM_APP_STATUS, WM_APP_STATUS, PM_REMOVE));
}

TEST_F(StatusTest, CancelFlagSetByOneThreadIsSeenByAnother)
{
    EXPECT_FALSE(cancel_requested());
    volatile bool seen = false;
    std::thread worker([&] {
        while (!cancel_requested()) SwitchToThread();
        seen = true;
    });
    Sleep(20);
    EXPECT_FALSE(seen);
    set_cancel_flag(1);
    worker.join();
    EXPECT_TRUE(seen);
    set_cancel_flag(0);
    EXPECT_FALSE(cancel_requested());
}

TEST_F(StatusTest, ReportsFromManyThreadsNeverTearTheText)
{
    main_window = NULL;  // the lock is under test here, not the posting
    set_final_status(L"");  // an earlier test's text is no torn one
    std::thread writers[2];
    for (int t = 0; t < 2; ++t) {
        writers[t] = std::thread([t] {
            std::wstring text(700, (wchar_t)(L'a' + t));
            for (int i = 0; i < 200; ++i) report_status(t, L"%ls", text.c_str());
        });
    }
    bool torn = false;
    for (int i = 0; i < 200 && !torn; ++i) {
        wchar_t text[STATUS_TEXT_CHARS];
        read_status(text, STATUS_TEXT_CHARS, NULL);
        if (text[0] && std::wstring(text) != std::wstring(700, text[0])) torn = true;
    }
    for (std::thread &writer : writers) writer.join();
    EXPECT_FALSE(torn);
}

}  // namespace
