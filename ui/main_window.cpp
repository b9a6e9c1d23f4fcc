#include "ui/main_window.h"

#include "app/app_info.h"
#include "ui/status.h"

static LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam,
                                         LPARAM lparam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int run_main_window(HINSTANCE instance, int show)
{
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class.hIconSm = window_class.hIcon;
    window_class.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    window_class.lpszClassName = QV_WINDOW_CLASS;
    RegisterClassExW(&window_class);

    main_window = CreateWindowExW(0, QV_WINDOW_CLASS, QV_PROGRAM_TITLE,
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 480, 360, NULL, NULL,
                                  instance, NULL);
    if (!main_window) return 1;
    ShowWindow(main_window, show);
    UpdateWindow(main_window);

    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
