// The job as the window sees it: the Write question, starting the job
// thread, asking to stop or to close, the reports on the way, and the end
// with its texts, bar states and dialogs.
#include <windows.h>
#include <commctrl.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "source/job.h"
#include "ui/drive_list_worker.h"
#include "ui/status.h"
#include "ui/window.h"

enum { WRITE_QUESTION_CHARS = 640 };

static const wchar_t STOP_QUESTION[] =
    L"Stop now? The pen drive will not start a PC until it is written again.";
static const wchar_t CLOSE_QUESTION[] =
    L"Writing is still in progress. Stop and close?\n\n"
    L"The pen drive will not start a PC until it is written again.";
static const wchar_t READY_TEXT[] =
    L"The pen drive is ready.\n\n"
    L"1. Plug it into the POS PC.\n"
    L"2. Start the PC and open its boot menu (often F7, F11, F12 or Esc).\n"
    L"3. Choose the USB drive, then choose Install.\n\n"
    L"If Windows now asks to format the pen drive, press Cancel.";
// The stick has left as after "Safely Remove": Windows can no longer ask to format it.
static const wchar_t EJECTED_READY_TEXT[] =
    L"The pen drive is ready. You may pull it out now.\n\n"
    L"1. Plug it into the POS PC.\n"
    L"2. Start the PC and open its boot menu (often F7, F11, F12 or Esc).\n"
    L"3. Choose the USB drive, then choose Install.";
static const wchar_t DONE_STATUS[] =
    L"Done \x2014 the pen drive is ready and checked.\r\n"
    L"Plug it into the POS PC, start the PC from USB, and choose Install.";

static int ask(const wchar_t *text, UINT icon)
{
    return MessageBoxW(main_window, text, QV_PROGRAM_TITLE, MB_YESNO | icon | MB_DEFBUTTON2);
}

static void set_bar_error(bool error)
{
    if (window_state.progress_in_error == error) return;
    SendMessageW(control(ID_PROGRESS), PBM_SETSTATE, error ? PBST_ERROR : PBST_NORMAL, 0);
    window_state.progress_in_error = error;
    // The status line takes its colour from the flag.
    InvalidateRect(control(ID_STATUS), NULL, TRUE);
}

void launch_job_thread(void)
{
    window_state.job_waits_for_list = false;
    // Stopped while it waited: it ends as a job stopped before it began.
    if (cancel_requested()) {
        set_final_status(L"Stopped. Nothing was written.");
        PostMessageW(main_window, WM_APP_JOB_DONE, JOB_STOPPED, 0);
        return;
    }
    HANDLE thread = CreateThread(NULL, 0, job_thread, NULL, 0, NULL);
    if (!thread) {
        window_state.job_running = false;
        report_status(0, L"Could not start.");
        update_buttons();
        return;
    }
    window_state.job_thread_handle = thread;
    hold_session_end(true);
}

// A drive list still being made (one may begin while the Write question is
// open) would open the stick's volumes beside the job's takeover: the job
// thread starts once the list has arrived.
static void start_job(void)
{
    set_cancel_flag(0);
    window_state.job_running = true;
    window_state.job_serial++;
    set_bar_error(false);
    SendMessageW(control(ID_PROGRESS), PBM_SETPOS, 0, 0);
    report_status(0, L"Starting\x2026");
    update_buttons();
    if (drive_list_running()) window_state.job_waits_for_list = true;
    else launch_job_thread();
}

static void press_write(void)
{
    // A click queued before the button was disabled must not start a job whose
    // manifest check would overlap the one still running.
    if (!IsWindowEnabled(control(ID_WRITE))) return;
    int selection = (int)SendMessageW(control(ID_DRIVE_LIST), CB_GETCURSEL, 0, 0);
    if (selection < 0 || selection >= candidate_count) return;
    chosen_disk = candidate_disks[selection];
    wchar_t question[WRITE_QUESTION_CHARS];
    format_cut(question, WRITE_QUESTION_CHARS - 1,
               L"Everything on this pen drive will be erased:\n\n    %ls\n\nContinue?",
               chosen_disk.display_text);
    if (ask(question, MB_ICONWARNING) != IDYES) return;
    start_job();
}

// Put on the status line directly, not through the status channel: the job
// may already have left its final text there and posted its end, and a
// status message queued behind that end would overwrite the final text.
void request_stop(void)
{
    set_cancel_flag(1);
    SetWindowTextW(control(ID_STATUS), L"Stopping\x2026");
}

// The question keeps the window's messages flowing, so the job it asks
// about may have ended before the answer comes: a Yes then stops nothing.
static void press_cancel(void)
{
    unsigned long asked_about = window_state.job_serial;
    if (ask(STOP_QUESTION, MB_ICONQUESTION) != IDYES) return;
    if (!window_state.job_running || window_state.job_serial != asked_about) return;
    request_stop();
}

void press_write_or_cancel(void)
{
    if (window_state.job_running) press_cancel();
    else press_write();
}

// Closing during a job stops it first; the window goes when the job ends.
// A Yes that comes after the job ended closes at once.
void on_close(void)
{
    if (window_state.check_running) {
        stop_check_and_close();
        return;
    }
    if (window_state.job_running) {
        if (ask(CLOSE_QUESTION, MB_ICONWARNING) != IDYES) return;
        if (window_state.job_running) {
            window_state.close_when_done = true;
            request_stop();
            return;
        }
    }
    DestroyWindow(main_window);
}

void on_status(void)
{
    wchar_t text[STATUS_TEXT_CHARS];
    int progress = 0;
    read_status(text, STATUS_TEXT_CHARS, &progress);
    // Until the job notices a stop, its reports move the bar only.
    bool stop_pending = stick_in_use() && cancel_requested();
    if (!stop_pending) SetWindowTextW(control(ID_STATUS), text);
    if (window_state.job_running) show_job_progress(progress);
    else if (window_state.check_running)
        SendMessageW(control(ID_PROGRESS), PBM_SETPOS, (WPARAM)progress, 0);
}

int on_ask(const wchar_t *question)
{
    if (!question) return IDNO;
    return ask(question, MB_ICONWARNING);
}

static void end_job_ok(bool ejected)
{
    set_bar_error(false);
    SendMessageW(control(ID_PROGRESS), PBM_SETPOS, PROGRESS_RANGE, 0);
    SetWindowTextW(control(ID_STATUS), DONE_STATUS);
    write_log(L"finished OK");
    update_image_line();
    refresh_drive_list();
    if (window_state.close_when_done) DestroyWindow(main_window);
    else
        MessageBoxW(main_window, ejected ? EJECTED_READY_TEXT : READY_TEXT, QV_PROGRAM_TITLE,
                    MB_OK | MB_ICONINFORMATION);
}

static void end_job_not_ok(int result, const wchar_t *final_text)
{
    set_bar_error(true);
    SetWindowTextW(control(ID_STATUS), final_text[0] ? final_text : L"Stopped.");
    update_image_line();
    refresh_drive_list();
    if (window_state.close_when_done) DestroyWindow(main_window);
    else if (result == JOB_FAILED)
        MessageBoxW(main_window, final_text[0] ? final_text : L"Something went wrong.",
                    QV_PROGRAM_TITLE, MB_OK | MB_ICONERROR);
}

void on_job_done(int result, bool ejected)
{
    if (!window_state.job_running) return;  // no job of ours to end
    if (window_state.job_thread_handle) {
        WaitForSingleObject(window_state.job_thread_handle, JOB_END_WAIT_MS);
        CloseHandle(window_state.job_thread_handle);
        window_state.job_thread_handle = NULL;
    }
    window_state.job_running = false;
    wchar_t final_text[STATUS_TEXT_CHARS];
    read_status(final_text, STATUS_TEXT_CHARS, NULL);
    hold_session_end(false);
    announce_job_end(result);
    if (result == JOB_OK) end_job_ok(ejected);
    else end_job_not_ok(result, final_text);
}
