// Stopping a write and closing the window during one, and the stop or close
// question still open when the job ends by itself.
#include "tests/window/window_scenario.h"

#include <commctrl.h>
#include <stdio.h>
#include <tlhelp32.h>

#include <set>

namespace {

const wchar_t STOP_QUESTION[] =
    L"Stop now? The pen drive will not start a PC until it is written again.";
const wchar_t CLOSE_QUESTION[] =
    L"Writing is still in progress. Stop and close?\n\n"
    L"The pen drive will not start a PC until it is written again.";
const wchar_t STOPPED_BY_ENGINE[] =
    L"Stopped. The pen drive will not start a PC until it is written again.";

std::set<DWORD> threads_of(HANDLE process)
{
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetProcessId(process)) ids.insert(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

struct StopScenario : WindowScenario {
    void answer(HWND box, int button)
    {
        ASSERT_TRUE(box);
        ASSERT_TRUE(answer_dialog(box, button));
        ASSERT_TRUE(wait_until([&] { return !IsWindow(box); }, LONG_WAIT_MS));
    }
};

TEST_F(StopScenario, CancelDuringAWriteStopsWithoutADialogAndTheNextWriteStartsClean)
{
    start_a_held_write();
    int progress = progress_position(window);
    ASSERT_TRUE(press(window, ID_WRITE));
    HWND question = wait_box(L"Stop now?");
    ASSERT_TRUE(question);
    EXPECT_EQ(dialog_message(question), STOP_QUESTION);
    answer(question, IDYES);
    ASSERT_TRUE(wait_text(ID_STATUS, L"Stopping\x2026"));
    PostMessageW(window, WM_APP + 1, 0, 0);  // WM_APP_STATUS: the job's next report
    settle();
    EXPECT_EQ(text(ID_STATUS), L"Stopping\x2026") << "until the job notices the stop";
    EXPECT_EQ(progress_position(window), progress);
    EXPECT_EQ(text(ID_WRITE), L"Cancel") << "the button stays Cancel until the job ends";
    hold_writes(false);

    ASSERT_TRUE(wait_text(ID_STATUS, STOPPED_BY_ENGINE)) << text(ID_STATUS);
    ASSERT_TRUE(wait_text(ID_WRITE, L"Write"));
    settle();
    EXPECT_EQ(find_owned_dialog(window), (HWND)NULL) << "a stop shows no dialog";
    EXPECT_EQ(progress_state(window), PBST_ERROR);
    EXPECT_EQ(progress_position(window), progress);
    const RECT status = control_rect(window, ID_STATUS);
    Screenshot stopped = shot(L"stopped");
    EXPECT_GT(stopped.count(status, RGB(185, 28, 28)), 20) << "the status line in the error colour";
    EXPECT_EQ(stopped.count(status, RGB(15, 23, 42)), 0);

    ASSERT_TRUE(write_and_confirm());
    EXPECT_EQ(progress_state(window), PBST_NORMAL);
    HWND ready = wait_box(L"The pen drive is ready.");
    answer(ready, IDOK);
    Screenshot again = shot(L"written-again");
    EXPECT_EQ(again.count(status, RGB(185, 28, 28)), 0);
    EXPECT_GT(again.count(status, RGB(15, 23, 42)), 20);
}

TEST_F(StopScenario, CloseDuringAWriteWaitsForTheJobThenClosesWithoutADialog)
{
    start_a_held_write();
    PostMessageW(window, WM_CLOSE, 0, 0);
    HWND question = wait_box(L"Writing is still in progress.");
    ASSERT_TRUE(question);
    EXPECT_EQ(dialog_message(question), CLOSE_QUESTION);
    answer(question, IDYES);
    ASSERT_TRUE(wait_text(ID_STATUS, L"Stopping\x2026"));
    settle();
    EXPECT_TRUE(IsWindow(window)) << "the window waits for the job";
    EXPECT_FALSE(program_ended(0));
    hold_writes(false);

    // Any dialog would keep the process alive.
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(log_added().find("finished OK"), std::string::npos);
    EXPECT_NE(journal().find("audit: clean"), std::string::npos) << "the job released the stick";
}

// Three volumes that other programs hold keep the takeover retrying for
// seconds. A Stop then, or a critical end of the session, is answered within
// about a second (room is left for a loaded machine) and nothing is written.
TEST_F(StopScenario, StopWhileThePenDriveIsPreparedIsAnsweredAtOnceAndWritesNothing)
{
    std::string held = " open-files=1\n";
    std::string sticks = stick(1, "Demo Stick    ", 'E');
    sticks.replace(sticks.size() - 1, 1, held);
    describe_machine(sticks + "volume - letter=F disk=1 partition=2 offset=300M length=100M" + held +
                     "volume - letter=G disk=1 partition=3 offset=500M length=100M" + held);
    start_program_window();
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
    for (bool session_ends : {false, true}) {
        ASSERT_TRUE(write_and_confirm());
        ASSERT_TRUE(wait_text(ID_STATUS, L"Preparing the pen drive\x2026")) << text(ID_STATUS);
        Sleep(700);  // into the lock attempts of the first volume
        DWORD_PTR answer = FALSE;
        if (session_ends) {
            SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CRITICAL, SMTO_NORMAL,
                                LONG_WAIT_MS, &answer);
        } else {
            ASSERT_TRUE(press(window, ID_WRITE));
            ASSERT_TRUE(answer_dialog(wait_box(L"Stop now?"), IDYES));
        }
        DWORD asked = GetTickCount();
        ASSERT_TRUE(wait_text(ID_STATUS, L"Stopped. Nothing was written.")) << text(ID_STATUS);
        DWORD answered_ms = GetTickCount() - asked;
        printf("stop %s answered in %lu ms\n", session_ends ? "by the session" : "pressed", answered_ms);
        EXPECT_LT(answered_ms, 2000u);
        EXPECT_EQ(answer, (DWORD_PTR)session_ends) << "a critical end is not refused";
        ASSERT_TRUE(wait_text(ID_WRITE, L"Write"));
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_NE(journal().find("audit: clean"), std::string::npos) << "every volume released";
    EXPECT_EQ(journal().find(" write #"), std::string::npos) << "nothing written";
}

// The question boxes keep the window's messages flowing, so a job can end
// while one is open. A Yes given then must not act on a job that is over.
TEST_F(StopScenario, StopOrCloseAnsweredAfterTheJobEndedStopsNothingOrClosesAtOnce)
{
    start_a_held_write();
    ASSERT_TRUE(press(window, ID_WRITE));
    HWND stop = wait_box(L"Stop now?");
    ASSERT_TRUE(stop);
    hold_writes(false);
    answer(wait_box(L"The pen drive is ready."), IDOK);
    answer(stop, IDYES);
    settle();
    EXPECT_EQ(text(ID_STATUS), DONE_STATUS) << "nothing to stop";
    EXPECT_EQ(progress_state(window), PBST_NORMAL);

    hold_writes(true);
    plug_in_again();
    ASSERT_TRUE(write_and_confirm());
    ASSERT_TRUE(wait_text(ID_STATUS, L"the pen drive\x2026")) << text(ID_STATUS);
    PostMessageW(window, WM_CLOSE, 0, 0);
    HWND close = wait_box(L"Writing is still in progress.");
    ASSERT_TRUE(close);
    hold_writes(false);
    answer(wait_box(L"The pen drive is ready."), IDOK);
    EXPECT_TRUE(IsWindow(window));
    ASSERT_TRUE(answer_dialog(close, IDYES));
    ASSERT_TRUE(program_ended(LONG_WAIT_MS)) << "the window closes at once";
    EXPECT_EQ(run.exit_code, 0u);
}

}  // namespace

// Yes to the stop question taken while the job's end already waits behind it
// (the window thread held still meanwhile): the end shows, not "Stopping…".
TEST_F(StopScenario, StopAnsweredAfterTheJobsEndWasPostedLeavesTheEndShown)
{
    start_a_held_write();
    hold_writes(false);
    answer(wait_box(L"The pen drive is ready."), IDOK);
    hold_writes(true);
    plug_in_again();
    std::set<DWORD> before = threads_of(run.process);
    ASSERT_TRUE(write_and_confirm());  // the image is cached now: no network threads
    ASSERT_TRUE(press(window, ID_WRITE));
    HWND stop = wait_box(L"Stop now?");
    std::vector<HANDLE> job;
    for (DWORD id : threads_of(run.process))
        if (!before.count(id)) job.push_back(OpenThread(SYNCHRONIZE, FALSE, id));
    HANDLE ui = OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetWindowThreadProcessId(window, NULL));
    ASSERT_TRUE(stop && !job.empty() && SuspendThread(ui) != (DWORD)-1);
    ASSERT_TRUE(answer_dialog(stop, IDYES));
    hold_writes(false);
    EXPECT_EQ(WaitForMultipleObjects((DWORD)job.size(), job.data(), TRUE, LONG_WAIT_MS),
              WAIT_OBJECT_0) << "the job posted its end and is gone";
    ResumeThread(ui);
    answer(wait_box(L"The pen drive is ready."), IDOK);
    settle();
    EXPECT_EQ(text(ID_STATUS), DONE_STATUS);
    for (HANDLE thread : job) CloseHandle(thread);
    CloseHandle(ui);
}
