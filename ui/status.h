// The channel by which worker threads report to the window: a shared status
// text and progress under one lock, the cancel flag, and four private messages.
#pragma once
#include <windows.h>

enum {
    WM_APP_STATUS = WM_APP + 1,         // 32769, posted
    WM_APP_JOB_DONE = WM_APP + 2,       // 32770, posted, the job thread's last act;
                                        // lParam 1: the stick was ejected
    WM_APP_MANIFEST_DONE = WM_APP + 3,  // 32771, posted
    WM_APP_ASK = WM_APP + 4,            // 32772, sent
};

enum { JOB_FAILED = 0, JOB_OK = 1, JOB_STOPPED = 2 };

enum { STATUS_TEXT_CHARS = 768 };

extern CRITICAL_SECTION status_lock;
extern wchar_t status_text[STATUS_TEXT_CHARS];
extern LONG status_progress;
extern volatile LONG cancel_flag;
extern HWND main_window;

void init_status_lock(void);

// Formats a status line (cut to 767 characters), stores it with the progress
// (thousandths, 0 to 1000) and tells the window.
void report_status(int progress, const wchar_t *format, ...);

// Copies the shared text and progress under the lock.
void read_status(wchar_t *text, size_t capacity, int *progress);

// The job thread's final text, stored without a status message.
void set_final_status(const wchar_t *text);

// The cancel flag: set and cleared by the window, read atomically by workers.
bool cancel_requested(void);
void set_cancel_flag(LONG value);
