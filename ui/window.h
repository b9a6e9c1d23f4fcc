// Inside of the main window, shared by the ui/ files that build it: the
// controls, the scale, the window thread's own state, and the operations one
// part of the window calls in another. Everything here belongs to the window
// thread alone.
#pragma once
#include <windows.h>

enum ControlId {
    ID_TITLE = 100,
    ID_DESCRIPTION = 101,
    ID_HEADING_IMAGE = 102,
    ID_IMAGE_LINE = 103,
    ID_IMAGE_SOURCE = 104,
    ID_HEADING_DRIVE = 105,
    ID_DRIVE_LIST = 106,
    ID_REFRESH = 107,
    ID_WRITE = 108,
    ID_PROGRESS = 109,
    ID_STATUS = 110,
    ID_FOOTER = 111,
    ID_CHECK = 112,
    FIRST_CONTROL_ID = ID_TITLE,
    CONTROL_COUNT = 13,
};

enum {
    REFRESH_TIMER_ID = 1,
    REFRESH_DELAY_MS = 1200,
    START_CHECK_TIMER_ID = 2,
    JOB_END_WAIT_MS = 5000,
    PROGRESS_RANGE = 1000,
};

// The window thread's state of the job and of the start-up check.
struct WindowState {
    bool job_running;         // a job thread runs; the big button is Cancel
    bool check_running;       // a check reads the stick; the Check button is Cancel
    bool close_when_done;     // the window closes when the job ends
    bool startup_check_done;  // the start-up manifest check has reported
    bool progress_in_error;   // bar red, status line in the error colour
    bool job_waits_for_list;  // confirmed; its thread starts when the list arrives
    HANDLE job_thread_handle;
    unsigned long job_serial; // counts started jobs, so an answer can tell
                              // whether the job it was asked about still runs
    HWND focus_before_deactivation;
};

extern WindowState window_state;
extern int screen_dpi;  // read once at creation

struct WindowFonts {
    HFONT body, heading, title, button, footer;
};
extern WindowFonts fonts;

// A length at 96 DPI in pixels at screen_dpi, rounded.
int scale(int length);
HWND control(int id);

// Layout and drawing.
void create_window_contents(HWND window);
void layout_controls(void);
bool is_static_control(HWND child);
HBRUSH colour_static(HDC dc, HWND child);
void draw_write_button(const DRAWITEMSTRUCT *item);

// Behaviour.
void on_window_created(void);
void on_command(int id, int notification);
void on_close(void);
void on_device_change(WPARAM event);
void on_timer(UINT_PTR timer);
void on_status(void);
void on_job_done(int result, bool ejected);
void on_manifest_done(WPARAM from_startup_thread);
int on_ask(const wchar_t *question);
void press_write_or_cancel(void);
// A job or a check has the stick: the drive list stays as it is meanwhile.
bool stick_in_use(void);

// The Check button (ui/window_check.cpp).
void press_check_or_cancel(void);
void stop_check_and_close(void);  // the window goes when the check has stopped
void on_check_done(int verdict);
void request_stop(void);        // sets the cancel flag and says so on the status line
void launch_job_thread(void);   // for a confirmed job
void update_buttons(void);
void keep_keyboard_focus(void);

// Drive list and image line. A refresh is asked for here and made on a
// worker; the finished list arrives as WM_APP_DRIVE_LIST.
enum { WM_APP_DRIVE_LIST = WM_APP + 5 };
void refresh_drive_list(void);
void on_drive_list(void);
void update_image_line(void);

// The job on the taskbar button, and the end of the Windows session.
void allow_taskbar_message(HWND window);  // at creation
bool on_taskbar_message(UINT message);    // true when it was Explorer's about the button
void show_job_progress(int progress);     // the bar and the taskbar button
void announce_job_end(int result);        // before the end's texts and dialogs
void close_taskbar(void);
void hold_session_end(bool hold);      // for the whole job
LRESULT on_query_end_session(LPARAM reason);
void on_end_session(bool ending);
