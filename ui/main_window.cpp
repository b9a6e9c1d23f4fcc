// The main window's class, creation and message loop, and the window
// procedure that hands each message to the part of the window that owns it.
#include "ui/main_window.h"

#include <commctrl.h>

#include "app/app_info.h"
#include "app/error_text.h"
#include "app/log.h"
#include "app/text.h"
#include "source/check_job.h"
#include "ui/status.h"
#include "ui/window.h"

enum { CLIENT_WIDTH_96 = 640, CLIENT_HEIGHT_96 = 492 };
static const DWORD WINDOW_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

static bool is_command_of_ours(int id)
{
    return id == ID_IMAGE_SOURCE || id == ID_DRIVE_LIST || id == ID_REFRESH || id == ID_WRITE ||
           id == ID_CHECK;
}

// Enter presses the button that holds the keyboard focus: the dialog
// navigation asks the window for its default button.
static LRESULT focused_button_as_default(HWND window)
{
    HWND focus = GetFocus();
    if (!focus || GetParent(focus) != window || !IsWindowEnabled(focus)) return 0;
    int id = GetDlgCtrlID(focus);
    if (id != ID_IMAGE_SOURCE && id != ID_REFRESH && id != ID_WRITE && id != ID_CHECK) return 0;
    return MAKELONG(id, DC_HASDEFID);
}

// The window is no dialog, so it keeps the focused control across
// deactivation itself, as a dialog would.
static void restore_keyboard_focus(void)
{
    HWND remembered = window_state.focus_before_deactivation;
    if (remembered && IsWindow(remembered) && IsWindowEnabled(remembered))
        SetFocus(remembered);
    else
        keep_keyboard_focus();
}

static bool handle_window_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                  LRESULT *result)
{
    *result = 0;
    switch (message) {
    case WM_CREATE:
        screen_dpi = 96;
        if (HDC dc = GetDC(window)) {
            screen_dpi = GetDeviceCaps(dc, LOGPIXELSY);
            ReleaseDC(window, dc);
        }
        main_window = window;
        allow_taskbar_message(window);
        create_window_contents(window);
        layout_controls();
        on_window_created();
        return true;
    case WM_SIZE: layout_controls(); return true;
    case WM_DESTROY:
        close_taskbar();
        PostQuitMessage(0);
        return true;
    case WM_CLOSE: on_close(); return true;
    case WM_CTLCOLORSTATIC:
        if (!is_static_control((HWND)lparam)) return false;
        *result = (LRESULT)colour_static((HDC)wparam, (HWND)lparam);
        return true;
    case WM_DRAWITEM:
        if (wparam != ID_WRITE) return false;
        draw_write_button((const DRAWITEMSTRUCT *)lparam);
        *result = TRUE;
        return true;
    case WM_COMMAND:
        if (!is_command_of_ours(LOWORD(wparam))) return false;
        on_command(LOWORD(wparam), HIWORD(wparam));
        return true;
    case WM_TIMER:
        if (wparam != REFRESH_TIMER_ID && wparam != START_CHECK_TIMER_ID) return false;
        on_timer(wparam);
        return true;
    case WM_DEVICECHANGE:
        on_device_change(wparam);
        *result = TRUE;
        return true;
    case WM_APP_STATUS: on_status(); return true;
    case WM_APP_JOB_DONE: on_job_done((int)wparam, lparam == 1); return true;
    case WM_APP_CHECK_DONE: on_check_done((int)wparam); return true;
    case WM_APP_MANIFEST_DONE: on_manifest_done(wparam); return true;
    case WM_APP_ASK: *result = on_ask((const wchar_t *)lparam); return true;
    case WM_APP_DRIVE_LIST: on_drive_list(); return true;
    case WM_QUERYENDSESSION: *result = on_query_end_session(lparam); return true;
    case WM_ENDSESSION: on_end_session(wparam != FALSE); return true;
    case DM_GETDEFID: *result = focused_button_as_default(window); return true;
    case WM_ACTIVATE:
        if (LOWORD(wparam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && GetParent(focus) == window) window_state.focus_before_deactivation = focus;
        }
        return false;
    case WM_SETFOCUS: restore_keyboard_focus(); return true;
    }
    return on_taskbar_message(message);
}

static LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam,
                                         LPARAM lparam)
{
    LRESULT result = 0;
    if (handle_window_message(window, message, wparam, lparam, &result)) return result;
    return DefWindowProcW(window, message, wparam, lparam);
}

static void register_window_class(HINSTANCE instance)
{
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class.hIconSm = (HICON)LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0);
    window_class.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    window_class.lpszClassName = QV_WINDOW_CLASS;
    // A failed registration shows as a failed creation.
    RegisterClassExW(&window_class);
}

static int read_screen_dpi(void)
{
    int dpi = 96;
    if (HDC screen = GetDC(NULL)) {
        dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(NULL, screen);
    }
    return dpi;
}

// In the log, and in a box where one can still be shown.
static void report_window_failure(DWORD error)
{
    wchar_t reason[256];
    wchar_t line[MESSAGE_CHARS];
    describe_error(error, reason, 256);
    format_cut(line, MESSAGE_CHARS - 1, L"the window could not be created: %ls", reason);
    write_log(L"%ls", line);
    MessageBoxW(NULL, line, QV_PROGRAM_TITLE, MB_OK | MB_ICONERROR);
}

int run_main_window(HINSTANCE instance, int show)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    register_window_class(instance);

    int dpi = read_screen_dpi();
    RECT frame = {0, 0, MulDiv(CLIENT_WIDTH_96, dpi, 96), MulDiv(CLIENT_HEIGHT_96, dpi, 96)};
    AdjustWindowRectEx(&frame, WINDOW_STYLE, FALSE, 0);
    HWND window = CreateWindowExW(0, QV_WINDOW_CLASS, QV_PROGRAM_TITLE, WINDOW_STYLE,
                                  CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                                  frame.bottom - frame.top, NULL, NULL, instance, NULL);
    if (!window) {
        report_window_failure(GetLastError());
        return 1;
    }
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, NULL, 0, 0)) != 0 && got != -1) {
        if (IsWindow(window) && IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
