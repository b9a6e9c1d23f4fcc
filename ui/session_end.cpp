// Signing out, a restart or an update's restart during a job: Windows is
// asked to wait, with a reason it shows; if the session ends anyway, the job
// is stopped and given a moment to release the disk and bring its volumes
// online, so the stick is left as a stopped write leaves it.
#include <windows.h>

#include "app/log.h"
#include "ui/status.h"
#include "ui/window.h"
#include "ui/window_shell.h"

static const wchar_t BLOCK_REASON[] =
    L"Writing the pen drive \x2014 stopping now would leave it unusable.";
enum { SESSION_END_WAIT_MS = 3000 };

// Windows shows the reason of a window that holds one when it asks to end
// the session; it is held for the whole job.
void hold_session_end(bool hold)
{
    if (hold) window_shell.ShutdownBlockReasonCreate(main_window, BLOCK_REASON);
    else window_shell.ShutdownBlockReasonDestroy(main_window);
}

// A refusal is answered by WM_ENDSESSION with FALSE: the session goes on, and
// so does the job. A critical end cannot be refused, so the stop starts now;
// the WM_ENDSESSION that follows a TRUE waits for it.
LRESULT on_query_end_session(LPARAM reason)
{
    if (!window_state.job_running) return TRUE;
    if (reason & ENDSESSION_CRITICAL) {
        write_log(L"the session must end during a job; stopping it");
        request_stop();
        return TRUE;
    }
    write_log(L"end of the session refused: a job runs");
    return FALSE;
}

// The process ends soon after this returns.
void on_end_session(bool ending)
{
    if (!ending || !window_state.job_running) return;
    write_log(L"the session ends during a job; stopping it");
    window_state.close_when_done = true;
    set_cancel_flag(1);
    if (window_state.job_thread_handle)
        WaitForSingleObject(window_state.job_thread_handle, SESSION_END_WAIT_MS);
}
