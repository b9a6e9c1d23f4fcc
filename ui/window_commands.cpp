// What the window does when it is created, when a control is used, when a
// disk arrives or leaves, and when the start-up check reports.
#include <windows.h>
#include <commdlg.h>
#include <dbt.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "source/job.h"
#include "source/startup_check.h"
#include "ui/drive_list_worker.h"
#include "ui/status.h"
#include "ui/window.h"

// GUID_DEVINTERFACE_DISK, spelled out so no header has to define it.
static const GUID DISK_INTERFACE_CLASS = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

static void register_disk_notifications(void)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = 32;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = DISK_INTERFACE_CLASS;
    // Never undone: the registration lives as long as the window.
    if (!RegisterDeviceNotificationW(main_window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE))
        write_log(L"RegisterDeviceNotification failed (%lu)", GetLastError());
}

// The check starts once the window has been painted: the network libraries
// it loads would otherwise hold up the first paint by a good part of it.
// A timer comes only when nothing else is waiting, paint included.
void on_window_created(void)
{
    update_image_line();
    refresh_drive_list();
    report_status(0, L"Plug in the pen drive, choose it above, then press Write.");
    startup_check_begins();  // a job started before the check waits for it
    SetTimer(main_window, START_CHECK_TIMER_ID, USER_TIMER_MINIMUM, NULL);
    register_disk_notifications();
}

static void start_manifest_check(void)
{
    HANDLE manifest = CreateThread(NULL, 0, startup_check_thread, NULL, 0, NULL);
    if (manifest) CloseHandle(manifest);
    else startup_check_ends();
}

static void set_text_if_changed(HWND window, const wchar_t *text)
{
    wchar_t current[64] = L"";
    GetWindowTextW(window, current, 64);
    if (wcscmp(current, text) != 0) SetWindowTextW(window, text);
}

static const wchar_t PATH_TOO_LONG[] =
    L"The path of this ISO file is longer than the 259 characters this program can open; "
    L"move the file to a folder with a shorter path, such as C:\\ISO, and choose it again.";

// Room for any path Windows can name, so that a long one is never refused as
// a buffer error that would look like a Cancel.
enum { DIALOG_PATH_CHARS = 32768 };
static wchar_t dialog_path[DIALOG_PATH_CHARS];

// False when the user cancelled the dialog, or chose a file whose path does not fit.
static bool choose_local_image(void)
{
    dialog_path[0] = L'\0';
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = main_window;
    dialog.lpstrFilter = L"Disk images (*.iso)\0*.iso\0All files\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = dialog_path;
    dialog.nMaxFile = DIALOG_PATH_CHARS;
    dialog.lpstrTitle = L"Choose a quenvar OS .iso file";
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    BOOL chosen = GetOpenFileNameW(&dialog);
    DWORD failure = chosen ? 0 : CommDlgExtendedError();
    // The dialog moves the current directory to the folder it showed last,
    // holding that volume open; OFN_NOCHANGEDIR does not stop it.
    SetCurrentDirectoryW(app_folder);
    if (failure != 0) write_log(L"file dialog failed (%lu)", failure);
    if (!chosen) return false;
    dialog_path[DIALOG_PATH_CHARS - 1] = L'\0';
    if (wcslen(dialog_path) >= APP_PATH_CHARS) {
        write_log(L"chosen image path longer than %d characters", APP_PATH_CHARS - 1);
        MessageBoxW(main_window, PATH_TOO_LONG, QV_PROGRAM_TITLE, MB_OK | MB_ICONWARNING);
        return false;
    }
    // The job thread reads the path; no job can start while this dialog is open.
    copy_cut(local_image_path, APP_PATH_CHARS, dialog_path);
    write_log(L"user chose local image %ls", local_image_path);
    return true;
}

static void switch_image_source(void)
{
    if (stick_in_use()) return;  // the path is the running job's or check's
    HWND button = control(ID_IMAGE_SOURCE);
    if (local_image_path[0]) {
        local_image_path[0] = L'\0';
        set_text_if_changed(button, L"Use an ISO file\x2026");
    } else {
        if (!choose_local_image()) return;
        set_text_if_changed(button, L"Download instead");
    }
    update_image_line();
    update_buttons();
}

void on_command(int id, int notification)
{
    switch (id) {
    case ID_IMAGE_SOURCE: switch_image_source(); break;
    case ID_DRIVE_LIST:
        if (notification == CBN_SELCHANGE) update_buttons();
        break;
    case ID_REFRESH:
        if (notification == BN_CLICKED && !stick_in_use()) refresh_drive_list();
        break;
    case ID_CHECK:
        if (notification == BN_CLICKED) press_check_or_cancel();
        break;
    case ID_WRITE:
        if (notification == BN_CLICKED) press_write_or_cancel();
        break;
    }
}

// One refresh after the last arrival or removal of a burst.
void on_device_change(WPARAM event)
{
    if (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE)
        SetTimer(main_window, REFRESH_TIMER_ID, REFRESH_DELAY_MS, NULL);
}

void on_timer(UINT_PTR timer)
{
    KillTimer(main_window, timer);
    if (timer == START_CHECK_TIMER_ID) {
        start_manifest_check();
        return;
    }
    // During a job or a check the list stays as it is; their end refreshes it.
    if (!stick_in_use()) refresh_drive_list();
}

void on_manifest_done(WPARAM from_startup_thread)
{
    if (from_startup_thread == 1) window_state.startup_check_done = true;
    update_image_line();
    update_buttons();
}

bool stick_in_use(void)
{
    return window_state.job_running || window_state.check_running;
}

void update_buttons(void)
{
    HWND list = control(ID_DRIVE_LIST);
    HWND write = control(ID_WRITE);
    int selection = (int)SendMessageW(list, CB_GETCURSEL, 0, 0);
    bool selection_valid = candidate_count > 0 && selection >= 0 && selection < candidate_count;
    bool running = stick_in_use();
    bool listing = drive_list_running();
    if (window_state.job_running) {
        set_text_if_changed(write, L"Cancel");
        EnableWindow(write, TRUE);
    } else {
        set_text_if_changed(write, L"Write");
        bool image_known = window_state.startup_check_done || local_image_path[0] != L'\0';
        // An enumeration still running would open the chosen stick's volumes
        // while the job takes them offline.
        EnableWindow(write, selection_valid && image_known && !listing && !running);
    }
    HWND check = control(ID_CHECK);
    set_text_if_changed(check, window_state.check_running ? L"Cancel" : L"Check");
    EnableWindow(check, window_state.check_running ||
                            (selection_valid && !listing && !window_state.job_running));
    EnableWindow(list, !running && candidate_count > 0);
    EnableWindow(control(ID_REFRESH), !running);
    EnableWindow(control(ID_IMAGE_SOURCE), !running);
    InvalidateRect(write, NULL, TRUE);
    keep_keyboard_focus();
}

// A control that is disabled while it holds the focus leaves the keyboard
// with nowhere to go; so does the window itself when it takes the focus. The
// focus then moves to the big button, or else to the first control that
// takes it.
void keep_keyboard_focus(void)
{
    HWND focus = GetFocus();
    bool lost = focus == NULL && GetActiveWindow() == main_window;
    bool ours = focus == main_window || (focus && IsChild(main_window, focus));
    if (!lost && !ours) return;  // a question box or another program has it
    if (focus && focus != main_window && IsWindowEnabled(focus)) return;
    HWND write = control(ID_WRITE);
    HWND next = IsWindowEnabled(write) ? write : GetNextDlgTabItem(main_window, NULL, FALSE);
    if (next) SetFocus(next);
}
