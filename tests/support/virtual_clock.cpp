#include "tests/support/virtual_clock.h"

#include "disk/seam.h"

namespace {

volatile LONG now_ms = VIRTUAL_CLOCK_START;
volatile LONG auto_advance_ms = 0;
volatile LONG sleep_calls = 0;
volatile LONGLONG slept_ms = 0;

}  // namespace

void WINAPI virtual_clock_sleep(DWORD milliseconds)
{
    InterlockedExchangeAdd(&now_ms, (LONG)milliseconds);
    InterlockedExchangeAdd64(&slept_ms, (LONGLONG)milliseconds);
    InterlockedIncrement(&sleep_calls);
    // Let other threads run, as a real sleep would.
    ::Sleep(0);
}

DWORD WINAPI virtual_clock_tick_count(void)
{
    LONG step = InterlockedCompareExchange(&auto_advance_ms, 0, 0);
    return (DWORD)InterlockedExchangeAdd(&now_ms, step) + (DWORD)step;
}

void virtual_clock_install(void)
{
    InterlockedExchange(&now_ms, VIRTUAL_CLOCK_START);
    InterlockedExchange(&auto_advance_ms, 0);
    InterlockedExchange(&sleep_calls, 0);
    InterlockedExchange64(&slept_ms, 0);
    seam.Sleep = virtual_clock_sleep;
    seam.GetTickCount = virtual_clock_tick_count;
}

void virtual_clock_uninstall(void)
{
    seam.Sleep = win32_seam.Sleep;
    seam.GetTickCount = win32_seam.GetTickCount;
    InterlockedExchange(&auto_advance_ms, 0);
}

DWORD virtual_clock_now(void)
{
    return (DWORD)InterlockedCompareExchange(&now_ms, 0, 0);
}

unsigned long long virtual_clock_slept_ms(void)
{
    return (unsigned long long)InterlockedCompareExchange64(&slept_ms, 0, 0);
}

unsigned long virtual_clock_sleep_calls(void)
{
    return (unsigned long)InterlockedCompareExchange(&sleep_calls, 0, 0);
}

void virtual_clock_set_auto_advance(DWORD ms_per_query)
{
    InterlockedExchange(&auto_advance_ms, (LONG)ms_per_query);
}

void virtual_clock_advance(DWORD ms)
{
    InterlockedExchangeAdd(&now_ms, (LONG)ms);
}
