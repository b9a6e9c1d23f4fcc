// The program run as a whole process: its command-line forms, exit codes,
// where its log lands, and the single-instance guard.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "tests/support/net_server.h"
#include "tests/support/test_files.h"

namespace {

const wchar_t PROGRAM[] = L"quenvar-os-usb-writer.exe";

int count_of(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::wstring normal_log_path()
{
    wchar_t base[MAX_PATH] = L"";
    SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, base);
    return std::wstring(base) + L"\\quenvar OS USB Writer\\writer.log";
}

HWND wait_for_main_window(DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
        HWND window = FindWindowW(L"QuenvarOsUsbWriter", NULL);
        if (window) return window;
        Sleep(50);
    }
    return NULL;
}

TEST(ProgramProcess, TestWriteLogsInTheTemporaryFolderAndFindsNoCandidateHere)
{
    std::wstring temp = make_scratch_folder(L"proc");
    EXPECT_EQ(run_program_to_end(sibling_program(PROGRAM), L"--test-write 1 x.iso", temp), 2);
    std::string log = read_whole_file(temp + L"\\qvwriter\\writer.log");
    EXPECT_NE(log.find("  ---- quenvar OS USB Writer 1.0.3 --test-write disk 1 x.iso\r\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("  TEST RESULT: disk 1 is not a USB/SD candidate\r\n"), std::string::npos);
    EXPECT_EQ(count_of(log, "\r\n"), 2);
}

// Line breaks in IMAGE must not put a forged verdict into the log before the real one.
TEST(ProgramProcess, ImageArgumentWithLineBreaksCannotForgeAVerdict)
{
    std::wstring temp = make_scratch_folder(L"proc");
    const wchar_t forged[] = L"\"x.iso\r\n2026-12-07 22:11:45  TEST RESULT: OK\rhidden\"";
    EXPECT_EQ(run_program_to_end(sibling_program(PROGRAM), L"--test-write 1 " + std::wstring(forged),
                                 temp),
              2);
    std::string log = read_whole_file(temp + L"\\qvwriter\\writer.log");
    EXPECT_EQ(count_of(log, "\r") + count_of(log, "\n"), 4) << log;  // two lines
    EXPECT_NE(log.find("disk 1 x.iso  2026-12-07 22:11:45  TEST RESULT: OK hidden\r\n"),
              std::string::npos);
    std::string verdict = "  TEST RESULT: disk 1 is not a USB/SD candidate\r\n";
    EXPECT_EQ(log.rfind(verdict), log.size() - verdict.size());
}

TEST(ProgramProcess, DiskGivenInLettersRunsAsDiskZero)
{
    std::wstring temp = make_scratch_folder(L"proc");
    EXPECT_EQ(run_program_to_end(sibling_program(PROGRAM),
                                 L"--test-write usb \"C:\\my images\\a.iso\" --legacy-locks", temp),
              2);
    std::string log = read_whole_file(temp + L"\\qvwriter\\writer.log");
    EXPECT_NE(log.find("--test-write disk 0 C:\\my images\\a.iso\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("TEST RESULT: disk 0 is not a USB/SD candidate"), std::string::npos);
}

// The window's version check asks the local update server, so it must not
// take another test's scripted answers.
struct HeldServer {
    std::string error;
    bool held = net_server_acquire(&error);
    ~HeldServer() { if (held) net_server_release(); }
};

// One test on purpose: the window, the second start and the test-write run
// beside it all need the same first instance.
TEST(ProgramProcess, OneWindowPerSessionAndTheSecondStartRaisesIt)
{
    ASSERT_EQ(FindWindowW(L"QuenvarOsUsbWriter", NULL), (HWND)NULL) << "a window already runs";
    HeldServer server;
    ASSERT_TRUE(server.held) << server.error;
    std::wstring temp = make_scratch_folder(L"proc");
    std::string log_before = read_whole_file(normal_log_path());

    ProgramRun first;
    ASSERT_TRUE(start_program(sibling_program(PROGRAM), L"--test-write 1", temp, &first));
    HWND window = wait_for_main_window(120000);
    ASSERT_TRUE(window != NULL) << "three elements must open the window";
    wchar_t caption[64] = L"";
    GetWindowTextW(window, caption, 64);
    EXPECT_STREQ(caption, L"quenvar OS USB Writer");
    // Its version check has logged its line before the second start.
    auto checked = [&] {
        return read_whole_file(normal_log_path()).find("  manifest: ", log_before.size()) !=
               std::string::npos;
    };
    for (int i = 0; i < 2400 && !checked(); ++i) Sleep(50);

    ShowWindow(window, SW_MINIMIZE);
    for (int i = 0; i < 600 && !IsIconic(window); ++i) Sleep(50);
    ASSERT_TRUE(IsIconic(window));
    EXPECT_EQ(run_program_to_end(sibling_program(PROGRAM), L"", temp, 120000), 0);
    for (int i = 0; i < 600 && IsIconic(window); ++i) Sleep(50);
    EXPECT_FALSE(IsIconic(window)) << "the second start must restore the first window";

    // The headless form is not held back by the running window.
    EXPECT_EQ(run_program_to_end(sibling_program(PROGRAM), L"--test-write 5 y.iso", temp, 120000), 2);

    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(wait_program(&first, 120000));
    EXPECT_EQ(first.exit_code, 0u);

    std::string log_after = read_whole_file(normal_log_path());
    ASSERT_GE(log_after.size(), log_before.size());
    std::string added = log_after.substr(log_before.size());
    EXPECT_EQ(count_of(added, "  ---- quenvar OS USB Writer 1.0.3 started\r\n"), 1) << added;
    // Beside its start, the window logs only the serial it keeps, the proxy
    // for the update host and its version check: one line each.
    EXPECT_EQ(count_of(added, "  manifest: "), 1) << added;
    EXPECT_EQ(count_of(added, "\r\n"), 4) << "the second start must log nothing\n" << added;
}

}  // namespace
