#include "ui/status.h"

#include <stdarg.h>

#include "app/text.h"

CRITICAL_SECTION status_lock;
wchar_t status_text[STATUS_TEXT_CHARS];
LONG status_progress;
volatile LONG cancel_flag;
HWND main_window;

void init_status_lock(void)
{
    InitializeCriticalSection(&status_lock);
}

void report_status(int progress, const wchar_t *format, ...)
{
    wchar_t text[STATUS_TEXT_CHARS];
    va_list args;
    va_start(args, format);
    vformat_cut(text, STATUS_TEXT_CHARS - 1, format, args);
    va_end(args);

    EnterCriticalSection(&status_lock);
    wcscpy(status_text, text);
    status_progress = progress;
    LeaveCriticalSection(&status_lock);

    // A null window would post to this thread's own queue instead.
    if (main_window) PostMessageW(main_window, WM_APP_STATUS, 0, 0);
}

void read_status(wchar_t *text, size_t capacity, int *progress)
{
    EnterCriticalSection(&status_lock);
    copy_cut(text, capacity, status_text);
    if (progress) *progress = status_progress;
    LeaveCriticalSection(&status_lock);
}

void set_final_status(const wchar_t *text)
{
    EnterCriticalSection(&status_lock);
    copy_cut(status_text, STATUS_TEXT_CHARS, text ? text : L"");
    LeaveCriticalSection(&status_lock);
}

bool cancel_requested(void)
{
    return InterlockedCompareExchange(&cancel_flag, 1, 1) == 1;
}

void set_cancel_flag(LONG value)
{
    InterlockedExchange(&cancel_flag, value);
}
