// What the window asks of Windows around its jobs, read from the harness's
// record of it: the taskbar button's progress and flash, the end of the
// session during a write, and a window that cannot be created.
#include "tests/window/window_scenario.h"

#include <stdio.h>

#include <algorithm>
#include <thread>

namespace {

const char FLASH_UNTIL_IN_FRONT[] = "flash 15";  // FLASHW_ALL | FLASHW_TIMERNOFG

size_t find_line(const std::vector<std::string> &lines, const std::string &line, size_t from = 0)
{
    auto at = std::find(lines.begin() + std::min(from, lines.size()), lines.end(), line);
    return (size_t)(at - lines.begin());
}

std::string narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

struct ShellScenario : WindowScenario {
    void start_a_held_write()
    {
        describe_machine(stick(1, "Demo Stick    ", 'E'));
        hold_writes(true);
        start_program_window();
        ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
        ASSERT_TRUE(write_and_confirm());
        ASSERT_TRUE(wait_text(ID_STATUS, L"Writing to the pen drive\x2026")) << text(ID_STATUS);
    }
};

TEST_F(ShellScenario, TheTaskbarButtonFollowsTheBarAndFlashesWhenAJobEndsBehindAnotherWindow)
{
    start_a_held_write();
    // The technician works in another window meanwhile.
    HWND other = CreateWindowW(L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               0, 0, 300, 200, NULL, NULL, NULL, NULL);
    ASSERT_TRUE(other);
    SetForegroundWindow(other);
    ASSERT_TRUE(wait_until([&] { return GetForegroundWindow() == other; }, LONG_WAIT_MS));
    hold_writes(false);
    HWND ready = wait_box(L"The pen drive is ready.");
    ASSERT_TRUE(ready) << text(ID_STATUS);

    // Each position the bar took, and what the taskbar button was told next:
    // the same value, or the indeterminate state while none is known.
    std::vector<std::string> lines = shell_requests();
    size_t end = find_line(lines, "taskbar state none");
    ASSERT_LT(end, lines.size());
    int values = 0;
    for (size_t i = 0; i < end; ++i) {
        int position = -1;
        if (sscanf(lines[i].c_str(), "bar %d", &position) != 1) continue;
        size_t told = i + 1;
        while (told < end && lines[told].compare(0, 14, "taskbar value ") != 0 &&
               lines[told].compare(0, 14, "taskbar state ") != 0)
            ++told;
        std::string expected = position > 0 ? "taskbar value " + std::to_string(position) + "/1000"
                                            : "taskbar state indeterminate";
        EXPECT_EQ(told < end ? lines[told] : "", expected) << "after line " << i;
        values += position > 0;
    }
    EXPECT_GT(values, 0) << "the write's progress reached the taskbar";
    EXPECT_EQ(lines.at(end + 1), FLASH_UNTIL_IN_FRONT);
    ASSERT_TRUE(answer_dialog(ready, IDOK));
    DestroyWindow(other);

    // Stopped with the window in front: red where the bar stopped, no flash.
    SetForegroundWindow(window);
    ASSERT_TRUE(wait_until([&] { return GetForegroundWindow() == window; }, LONG_WAIT_MS));
    hold_writes(true);
    ASSERT_TRUE(write_and_confirm());
    ASSERT_TRUE(wait_text(ID_STATUS, L"the pen drive\x2026")) << text(ID_STATUS);
    ASSERT_TRUE(press(window, ID_WRITE));
    HWND stop = wait_box(L"Stop now?");
    ASSERT_TRUE(stop);
    ASSERT_TRUE(answer_dialog(stop, IDYES));
    hold_writes(false);
    ASSERT_TRUE(wait_text(ID_WRITE, L"Write"));
    settle();
    lines = shell_requests();
    size_t error = find_line(lines, "taskbar state error");
    ASSERT_LT(error, lines.size());
    EXPECT_EQ(lines[error - 1],
              "taskbar value " + std::to_string(progress_position(window)) + "/1000");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), FLASH_UNTIL_IN_FRONT), 1);
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
        << "the job released the stick before the window let the session go\n" << log_added();
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_NE(journal().find("audit: clean"), std::string::npos) << "volumes online again";
    lines = shell_requests();
    EXPECT_LT(find_line(lines, "block reason removed"), lines.size());
}

TEST_F(ShellScenario, AWindowThatCannotBeCreatedIsReportedInTheLogAndABox)
{
    describe_machine(stick(1, "Demo Stick    ", 'E'));
    start_program({L"QV_SIM_NO_WINDOW=1"});
    HWND box = NULL;
    ASSERT_TRUE(wait_until([&] {
        return (box = FindWindowW(L"#32770", L"quenvar OS USB Writer")) != NULL;
    }, LONG_WAIT_MS));
    std::string shown = "  " + narrow(dialog_message(box)) + "\r\n";
    ASSERT_TRUE(answer_dialog(box, IDOK));
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_TRUE(run.exit_code == 1 && shown.find("  the window could not be created: ") == 0 &&
                log_added().find(shown) != std::string::npos)
        << shown << log_added();
}

}  // namespace
