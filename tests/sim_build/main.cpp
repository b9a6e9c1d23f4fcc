// The program built against the simulated machine instead of real disks: a
// test harness, never shipped. It reads the machine from the file named by
// QV_SIM_MACHINE, runs the program exactly as the product does, and writes the
// journal of disk calls and the end audit to QV_SIM_JOURNAL when that is set.
// With QV_SIM_REAL_CLOCK set, pauses, progress and the journal's time stamps
// use the real clock, and disks described with a rate take real time for their
// transfers. While it runs, a change of a disk's presence in the description
// file plugs that disk in or pulls it out (tests/sim_build/plug_watch.h), and
// what the program asks of the shell is noted (tests/sim_build/shell_record.h).
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>

#include <string>

#include "app/startup.h"
#include "ui/drive_list_worker.h"
#include "tests/sim_build/shell_record.h"
#include "tests/support/sim_load.h"
#include "tests/sim_build/plug_watch.h"
#include "tests/support/sim_machine.h"

static bool environment_value(const wchar_t *name, wchar_t *value, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableW(name, value, capacity);
    return length > 0 && length < capacity;
}

// Wine's progress bar ignores PBM_SETSTATE, so the harness notes the state the
// program asks for as a property of the bar, where the window driver reads it.
// Each position asked for goes to the shell record, beside the taskbar's.
static LRESULT CALLBACK note_bar_state(int code, WPARAM wparam, LPARAM lparam)
{
    const CWPSTRUCT *call = (const CWPSTRUCT *)lparam;
    if (code == HC_ACTION && call->message == PBM_SETSTATE)
        SetPropW(call->hwnd, L"qv-bar-state", (HANDLE)call->wParam);
    if (code == HC_ACTION && call->message == PBM_SETPOS)
        note_shell("bar " + std::to_string((int)call->wParam));
    return CallNextHookEx(NULL, code, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    wchar_t machine[MAX_PATH];
    if (!environment_value(L"QV_SIM_MACHINE", machine, MAX_PATH)) {
        fprintf(stderr, "QV_SIM_MACHINE names no machine description\n");
        return 3;
    }
    sim_reset();
    if (!sim_load_machine_file(machine)) {
        fprintf(stderr, "machine description: %s\n", sim_last_load_error().c_str());
        return 3;
    }
    sim_install();
    wchar_t flag[8];
    if (environment_value(L"QV_SIM_REAL_CLOCK", flag, 8)) sim_use_real_clock();
    start_plug_watch(machine);
    start_shell_record(machine);
    HHOOK bar_hook = SetWindowsHookExW(WH_CALLWNDPROC, note_bar_state, NULL, GetCurrentThreadId());
    int code = run_program(instance, show);
    if (bar_hook) UnhookWindowsHookEx(bar_hook);
    char folder[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, folder);
    note_shell(std::string("current directory ") + folder);
    // A list still being made when the window closed uses the machine.
    wait_for_drive_list(10000);
    stop_plug_watch();
    wchar_t journal[MAX_PATH];
    if (environment_value(L"QV_SIM_JOURNAL", journal, MAX_PATH)) sim_save_journal(journal);
    sim_reset();
    return code;
}
