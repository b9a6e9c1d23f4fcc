// The job on the taskbar button: the same progress as the bar while a job
// runs, red where a failed or stopped job left the bar, nothing after
// success; and a flash of the button when a job ends while the window is not
// in front. Window thread only. Where the shell has no taskbar list, the
// button stays as it is and nothing is logged.
#include <windows.h>
#include <commctrl.h>

#include "ui/status.h"
#include "ui/window.h"
#include "ui/window_shell.h"

static ITaskbarList3 *taskbar;
static bool taskbar_asked;

// Asked for at the first job, so that start-up pays nothing for COM.
static ITaskbarList3 *job_taskbar(void)
{
    if (!taskbar_asked) {
        taskbar_asked = true;
        taskbar = window_shell.open_taskbar();
    }
    return taskbar;
}

// A step that reports no progress (0) has none known yet: the button then
// shows the indeterminate state, which the next value replaces.
void show_job_progress(int progress)
{
    SendMessageW(control(ID_PROGRESS), PBM_SETPOS, (WPARAM)progress, 0);
    ITaskbarList3 *button = job_taskbar();
    if (!button) return;
    if (progress > 0)
        window_shell.SetProgressValue(button, main_window, (ULONGLONG)progress, PROGRESS_RANGE);
    else
        window_shell.SetProgressState(button, main_window, TBPF_INDETERMINATE);
}

static bool window_in_front(void)
{
    HWND front = GetForegroundWindow();
    // A question box of the window counts as the window.
    return front && !IsIconic(main_window) && GetAncestor(front, GA_ROOTOWNER) == main_window;
}

void announce_job_end(int result)
{
    if (window_state.close_when_done) return;  // the window goes with the job
    if (taskbar && result == JOB_OK) {
        window_shell.SetProgressState(taskbar, main_window, TBPF_NOPROGRESS);
    } else if (taskbar) {
        LRESULT stopped_at = SendMessageW(control(ID_PROGRESS), PBM_GETPOS, 0, 0);
        window_shell.SetProgressValue(taskbar, main_window, (ULONGLONG)stopped_at, PROGRESS_RANGE);
        window_shell.SetProgressState(taskbar, main_window, TBPF_ERROR);
    }
    if (window_in_front()) return;
    // Until the technician brings the window forward.
    FLASHWINFO flash = {sizeof flash, main_window, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    window_shell.FlashWindowEx(&flash);
}

void close_taskbar(void)
{
    if (taskbar) window_shell.close_taskbar(taskbar);
    taskbar = NULL;
}
