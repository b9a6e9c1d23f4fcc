// Drives the program's window from another process, as a person would:
// finds the window and its controls, reads their texts and states, presses
// buttons, picks a drive and answers message boxes, all through ordinary
// window messages. Also takes screenshots of the X display the tests run in
// and reads colours from them, and sends real keys through xdotool.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Polls `done` every 50 ms until it holds or `timeout_ms` passed.
bool wait_until(const std::function<bool()> &done, DWORD timeout_ms);

// The program's main window (its class), of the process when one is given,
// once it has been created and shown.
HWND find_program_window(DWORD process_id = 0);

std::wstring window_text(HWND window);
std::wstring control_text(HWND main, int id);
bool control_enabled(HWND main, int id);
// The control's rectangle in the main window's client coordinates.
RECT control_rect(HWND main, int id);
HWND focused_control(HWND main);

std::vector<std::wstring> list_items(HWND main);
int list_selection(HWND main);
// Chooses entry `index` as a click in the drop-down would, notifying the window.
bool pick_list_entry(HWND main, int index);

// Clicks the button; false (and nothing sent) when it is disabled or missing.
bool press(HWND main, int id);

int progress_position(HWND main);
// PBST_NORMAL 1, PBST_ERROR 2: what the program last asked the bar for.
int progress_state(HWND main);

// A visible message box or dialog owned by `owner` whose message text begins
// with `start` (any when empty), or null.
HWND find_owned_dialog(HWND owner, const std::wstring &start = L"");
// The message text of a message box.
std::wstring dialog_message(HWND box);
// Waits for such a message box and returns it, or null.
HWND wait_for_dialog(HWND owner, DWORD timeout_ms, const std::wstring &start = L"");
// Clicks IDYES, IDNO or IDOK in the box.
bool answer_dialog(HWND box, int button_id);
// Types `path` into the file-open dialog and presses Open.
bool choose_file_in_dialog(HWND dialog, const std::wstring &path);

// Real keyboard input through the X server: first give the Wine desktop that
// holds the program's windows the X focus, then send keys (xdotool key ...).
bool focus_program_desktop(void);
bool send_keys(const std::string &keys);

// A screenshot of the window's client area as PNG (for people) and PPM (for
// colours), saved as <folder>\<name>.png and .ppm; the folder is
// <build>\screenshots. Returns false when the screen could not be read.
struct Screenshot {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // width * height * 3
    bool ok() const { return width > 0 && height > 0; }
    COLORREF at(int x, int y) const;
    // How many pixels inside `r` have exactly this colour.
    int count(const RECT &r, COLORREF colour) const;
};
Screenshot take_screenshot(HWND main, const std::wstring &name);
std::wstring screenshot_folder(void);
