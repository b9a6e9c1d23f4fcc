// What the window asks of Windows around a long write, from the harness's
// record of it: the taskbar button's progress and flash, and the end of the
// session during a write.
#include "tests/window/window_scenario.h"

#include <stdio.h>

#include <algorithm>
#include <thread>

namespace {

size_t find_line(const std::vector<std::string> &lines, const std::string &line)
{
    return (size_t)(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

using ShellScenario = WindowScenario;

TEST_F(ShellScenario, TheTaskbarButtonFollowsTheBarAndFlashesWhenAJobEndsBehindAnotherWindow)
{
    start_a_held_write();
    // Nothing is asked of the button until Explorer says that it exists; then,
    // and when a restarted Explorer says so again, it is told the job's state.
    auto told = [&] {
        std::vector<std::string> lines = shell_requests();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string &line) { return line.compare(0, 8, "taskbar ") == 0; });
    };
    EXPECT_EQ(told(), 0);
    for (int times = 1; times <= 2; ++times) {
        PostMessageW(window, RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
        ASSERT_TRUE(wait_until([&] { return told() == times; }, LONG_WAIT_MS));
    }
    size_t start = shell_requests().size();
    HWND other = CreateWindowW(L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               0, 0, 300, 200, NULL, NULL, NULL, NULL);
    SetForegroundWindow(other);
    ASSERT_TRUE(wait_until([&] { return GetForegroundWindow() == other; }, LONG_WAIT_MS));
    hold_writes(false);
    ASSERT_TRUE(wait_box(L"The pen drive is ready.")) << text(ID_STATUS);
    DestroyWindow(other);

    // Each position of the bar, then the taskbar button told the same value,
    // or (TBPF_INDETERMINATE) that none is known yet; at the end no progress
    // (TBPF_NOPROGRESS) and one flash until the window comes forward.
    std::vector<std::string> lines = shell_requests();
    size_t end = find_line(lines, "taskbar state 0");
    ASSERT_LT(end, lines.size());
    int values = 0;
    for (size_t i = start; i < end; ++i) {
        int position = -1;
        if (sscanf(lines[i].c_str(), "bar %d", &position) != 1) continue;
        size_t told = i + 1;
        while (told < end && lines[told].compare(0, 8, "taskbar ") != 0) ++told;
        EXPECT_EQ(lines[told], position > 0 ? "taskbar value " + std::to_string(position) + "/1000"
                                            : std::string("taskbar state 1"))
            << "after line " << i;
        values += position > 0;
    }
    EXPECT_GT(values, 0);
    EXPECT_EQ(lines.at(end + 1), "flash 15");  // FLASHW_ALL | FLASHW_TIMERNOFG
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "flash 15"), 1);
}

TEST_F(ShellScenario, TheSessionEndsDuringAWriteOnlyOnceTheStickIsReleased)
{
    start_a_held_write();
    DWORD_PTR answer = TRUE;
    ASSERT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                    LONG_WAIT_MS, &answer));
    EXPECT_EQ(answer, (DWORD_PTR)FALSE) << "Windows is asked to wait";
    std::vector<std::string> lines = shell_requests();
    EXPECT_LT(find_line(lines, "block reason Writing the pen drive \xE2\x80\x94 stopping now "
                               "would leave it unusable."),
              lines.size());

    // Signed out anyway: the window stops the job and waits for it.
    std::thread ending([&] {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL,
                            LONG_WAIT_MS, &ignored);
    });
    DWORD_PTR ignored = 0;
    bool waiting = wait_until([&] {
        return !SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 200, &ignored);
    }, 10000);
    hold_writes(false);
    ending.join();
    ASSERT_TRUE(waiting) << "the window waits for the job";
    EXPECT_NE(log_added().find("  write failed: Stopped."), std::string::npos)
        << "the stick was released before the session was let go";
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_NE(journal().find("audit: clean"), std::string::npos) << "volumes online again";
    EXPECT_LT(find_line(shell_requests(), "block reason removed"), shell_requests().size());
}

}  // namespace
