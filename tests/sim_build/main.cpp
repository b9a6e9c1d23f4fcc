// The program built against the simulated machine instead of real disks: a
// test harness, never shipped. It reads the machine from the file named by
// QV_SIM_MACHINE, runs the program exactly as the product does, and writes the
// journal of disk calls and the end audit to QV_SIM_JOURNAL when that is set.
// With QV_SIM_REAL_CLOCK set, pauses and progress use the real clock, and
// disks described with a rate take real time for their transfers.
#include <windows.h>
#include <stdio.h>

#include "app/startup.h"
#include "tests/support/sim_load.h"
#include "tests/support/sim_machine.h"

static bool environment_value(const wchar_t *name, wchar_t *value, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableW(name, value, capacity);
    return length > 0 && length < capacity;
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
    int code = run_program(instance, show);
    wchar_t journal[MAX_PATH];
    if (environment_value(L"QV_SIM_JOURNAL", journal, MAX_PATH)) sim_save_journal(journal);
    sim_reset();
    return code;
}
