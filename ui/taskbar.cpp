// The job on the taskbar button: the same progress as the bar while a job
// runs, red where a failed or stopped job left the bar, nothing after
// success; and a flash of the button when a job ends while the window is not
// in front. Window thread only. The button is used only once Explorer has
// said that it exists ("TaskbarButtonCreated"), and it is told its state again
// each time Explorer says so anew (after Explorer restarted). Where the shell
// has no taskbar list, the button stays as it is and nothing is logged.
#include <windows.h>
#include <commctrl.h>

#include "ui/status.h"
#include "ui/window.h"
#include "ui/window_shell.h"

static UINT button_created_message;
static bool button_created;
static ITaskbarList3 *taskbar;
static bool taskbar_asked;
// What the button should show; kept so that a new button can be told.
static TBPFLAG button_state = TBPF_NOPROGRESS;
static ULONGLONG button_value;

void allow_taskbar_message(HWND window)
{
    button_created_message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    // Explorer runs without elevation, and Windows keeps its messages from an
    // elevated window unless the window lets this one through.
    if (button_created_message)
        ChangeWindowMessageFilterEx(window, button_created_message, MSGFLT_ALLOW, NULL);
}

// Asked for at the first state worth showing, so that start-up pays nothing for COM.
static void show_button_state(void)
{
    if (!button_created || (!taskbar && button_state == TBPF_NOPROGRESS)) return;
    if (!taskbar_asked) {
        taskbar_asked = true;
        taskbar = window_shell.open_taskbar();
    }
    if (!taskbar) return;
    if (button_state == TBPF_NORMAL || button_state == TBPF_ERROR)
        window_shell.SetProgressValue(taskbar, main_window, button_value, PROGRESS_RANGE);
    if (button_state != TBPF_NORMAL) window_shell.SetProgressState(taskbar, main_window, button_state);
}

bool on_taskbar_message(UINT message)
{
    if (!message || message != button_created_message) return false;
    // A button made anew knows nothing of the old one, nor of its list.
    close_taskbar();
    button_created = true;
    show_button_state();
    return true;
}

// A step that reports no progress (0) has none known yet: the button then
// shows the indeterminate state, which the next value replaces.
void show_job_progress(int progress)
{
    SendMessageW(control(ID_PROGRESS), PBM_SETPOS, (WPARAM)progress, 0);
    button_state = progress > 0 ? TBPF_NORMAL : TBPF_INDETERMINATE;
    button_value = (ULONGLONG)progress;
    show_button_state();
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
    button_state = result == JOB_OK ? TBPF_NOPROGRESS : TBPF_ERROR;
    button_value = (ULONGLONG)SendMessageW(control(ID_PROGRESS), PBM_GETPOS, 0, 0);
    show_button_state();
    if (window_in_front()) return;
    // Until the technician brings the window forward.
    FLASHWINFO flash = {sizeof flash, main_window, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    window_shell.FlashWindowEx(&flash);
}

void close_taskbar(void)
{
    if (taskbar) window_shell.close_taskbar(taskbar);
    taskbar = NULL;
    taskbar_asked = false;
}
