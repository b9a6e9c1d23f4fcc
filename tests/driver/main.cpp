// A small driver of the program's window for scripts (the demo): each call
// does one thing a person would do, or waits for what a person would see.
//
//   qvwriter-window-driver wait-text ID TEXT [SECONDS]   control ID shows TEXT
//   qvwriter-window-driver wait-enabled ID [SECONDS]     control ID can be used
//   qvwriter-window-driver press ID                      click button ID
//   qvwriter-window-driver wait-box TEXT [SECONDS]       a message box beginning with TEXT shows
//   qvwriter-window-driver answer yes|no|ok [SECONDS]    answer the next message box
//   qvwriter-window-driver text ID                       print the control's text
//   qvwriter-window-driver focus                         print the focused control's id
//   qvwriter-window-driver close [SECONDS]               close the window, wait until gone
//   qvwriter-window-driver hold-desktop                  keep Wine's desktop up until killed
//
// Texts print as UTF-8; the exit code is 0 when the step happened, 1 when not.
#include <windows.h>
#include <stdio.h>

#include <string>

#include "tests/support/window_driver.h"

namespace {

const DWORD DEFAULT_WAIT_S = 120;

void print(const std::wstring &text)
{
    char utf8[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), utf8, sizeof utf8,
                                NULL, NULL);
    fwrite(utf8, 1, n > 0 ? n : 0, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

DWORD seconds(int argc, wchar_t **argv, int at)
{
    return (at < argc ? (DWORD)_wtoi(argv[at]) : DEFAULT_WAIT_S) * 1000;
}

HWND program_window(DWORD timeout_ms)
{
    HWND window = NULL;
    wait_until([&] { return (window = find_program_window()) != NULL; }, timeout_ms);
    return window;
}

int answer(const std::wstring &button, DWORD timeout_ms)
{
    HWND main = program_window(timeout_ms);
    HWND box = main ? wait_for_dialog(main, timeout_ms) : NULL;
    if (!box) return 1;
    print(dialog_message(box));
    int id = button == L"yes" ? IDYES : button == L"no" ? IDNO : IDOK;
    if (!answer_dialog(box, id)) return 1;
    return wait_until([&] { return !IsWindow(box); }, timeout_ms) ? 0 : 1;
}

int run(int argc, wchar_t **argv)
{
    if (argc < 2) return 1;
    std::wstring verb = argv[1];
    // Wine ends its desktop process a moment after the last window goes, and
    // the next window starts it again holding that test's output open. A
    // hidden window kept for the whole run holds one desktop throughout.
    if (verb == L"hold-desktop") {
        if (!CreateWindowW(L"STATIC", L"", 0, 0, 0, 1, 1, NULL, NULL, NULL, NULL)) return 1;
        Sleep(INFINITE);
    }
    if (verb == L"answer" && argc >= 3) return answer(argv[2], seconds(argc, argv, 3));
    if (verb == L"wait-box" && argc >= 3) {
        DWORD timeout = seconds(argc, argv, 3);
        HWND main = program_window(timeout);
        HWND box = main ? wait_for_dialog(main, timeout, argv[2]) : NULL;
        if (box) print(dialog_message(box));
        return box ? 0 : 1;
    }
    if (verb == L"close") {
        HWND main = program_window(seconds(argc, argv, 2));
        if (!main) return 1;
        PostMessageW(main, WM_CLOSE, 0, 0);
        return wait_until([&] { return !IsWindow(main); }, seconds(argc, argv, 2)) ? 0 : 1;
    }
    if (verb == L"focus") {
        HWND main = program_window(DEFAULT_WAIT_S * 1000);
        if (!main) return 1;
        printf("%d\n", GetDlgCtrlID(focused_control(main)));
        return 0;
    }
    if (argc < 3) return 1;
    int id = _wtoi(argv[2]);
    if (verb == L"text" || verb == L"press") {
        HWND main = program_window(DEFAULT_WAIT_S * 1000);
        if (!main) return 1;
        if (verb == L"press") return press(main, id) ? 0 : 1;
        print(control_text(main, id));
        return 0;
    }
    if (verb == L"wait-enabled") {
        DWORD timeout = seconds(argc, argv, 3);
        HWND main = program_window(timeout);
        return main && wait_until([&] { return control_enabled(main, id); }, timeout) ? 0 : 1;
    }
    if (verb == L"wait-text" && argc >= 4) {
        DWORD timeout = seconds(argc, argv, 4);
        HWND main = program_window(timeout);
        std::wstring wanted = argv[3];
        bool seen = main && wait_until([&] {
            return control_text(main, id).find(wanted) != std::wstring::npos;
        }, timeout);
        if (main) print(control_text(main, id));
        return seen ? 0 : 1;
    }
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    return run(argc, argv);
}
