// The Check button: the chosen pen drive read against every image the
// program knows of, on a thread of its own, with the verdict on the status
// line and in a message box. The button is Cancel while it reads; a check
// changes nothing, so it stops and closes without a question.
#include <windows.h>
#include <commctrl.h>

#include "app/app_info.h"
#include "app/log.h"
#include "source/check_job.h"
#include "source/job.h"
#include "ui/drive_list_worker.h"
#include "ui/status.h"
#include "ui/window.h"

static HANDLE check_thread_handle;

static void set_bar(int position, bool error)
{
    SendMessageW(control(ID_PROGRESS), PBM_SETSTATE, error ? PBST_ERROR : PBST_NORMAL, 0);
    if (position >= 0) SendMessageW(control(ID_PROGRESS), PBM_SETPOS, (WPARAM)position, 0);
    window_state.progress_in_error = error;
    InvalidateRect(control(ID_STATUS), NULL, TRUE);
}

static void start_check(void)
{
    int selection = (int)SendMessageW(control(ID_DRIVE_LIST), CB_GETCURSEL, 0, 0);
    // The same guard as Write's: a drive list still being made opens the stick too.
    if (selection < 0 || selection >= candidate_count || drive_list_running()) return;
    chosen_disk = candidate_disks[selection];
    set_cancel_flag(0);
    window_state.check_running = true;
    set_bar(0, false);
    report_status(0, L"Checking the pen drive\x2026");
    update_buttons();
    write_log(L"user checks disk %d: %ls", chosen_disk.disk_number, chosen_disk.display_text);
    check_thread_handle = CreateThread(NULL, 0, check_thread, NULL, 0, NULL);
    if (check_thread_handle) return;
    window_state.check_running = false;
    report_status(0, L"Could not start.");
    update_buttons();
}

void press_check_or_cancel(void)
{
    if (window_state.job_running) return;
    if (!window_state.check_running) {
        start_check();
        return;
    }
    set_cancel_flag(1);
    SetWindowTextW(control(ID_STATUS), L"Stopping\x2026");
}

void stop_check_and_close(void)
{
    window_state.close_when_done = true;
    set_cancel_flag(1);
}

void on_check_done(int verdict)
{
    if (!window_state.check_running) return;
    if (check_thread_handle) {
        WaitForSingleObject(check_thread_handle, JOB_END_WAIT_MS);
        CloseHandle(check_thread_handle);
        check_thread_handle = NULL;
    }
    window_state.check_running = false;
    wchar_t text[STATUS_TEXT_CHARS];
    read_status(text, STATUS_TEXT_CHARS, NULL);
    bool stopped = verdict == CHECK_FAILED && cancel_requested();
    set_bar(verdict == CHECK_INTACT ? PROGRESS_RANGE : -1, verdict != CHECK_INTACT);
    SetWindowTextW(control(ID_STATUS), text);
    write_log(L"check: %ls", text);
    // A stick pulled out during the check leaves the list now.
    refresh_drive_list();
    if (window_state.close_when_done) {
        DestroyWindow(main_window);
        return;
    }
    if (stopped) return;
    UINT icon = verdict == CHECK_INTACT    ? MB_ICONINFORMATION
                : verdict == CHECK_DIFFERS ? MB_ICONWARNING
                                           : MB_ICONERROR;
    MessageBoxW(main_window, text, QV_PROGRAM_TITLE, MB_OK | icon);
}
