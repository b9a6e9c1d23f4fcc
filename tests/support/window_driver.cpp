#include "tests/support/window_driver.h"

#include <commctrl.h>
#include <stdio.h>

#include "app/app_info.h"
#include "tests/support/host_shell.h"
#include "tests/support/test_files.h"

namespace {

const DWORD SEND_TIMEOUT_MS = 10000;

LRESULT send(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS,
                             &result))
        return -1;
    return (LRESULT)result;
}

std::wstring class_of(HWND window)
{
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

struct OwnedSearch {
    HWND owner;
    const std::wstring *start;
    HWND found;
};

BOOL CALLBACK find_owned(HWND window, LPARAM context)
{
    OwnedSearch *search = (OwnedSearch *)context;
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != search->owner ||
        class_of(window) != L"#32770")
        return TRUE;
    if (dialog_message(window).compare(0, search->start->size(), *search->start) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

BOOL CALLBACK first_static_text(HWND child, LPARAM context)
{
    std::wstring *text = (std::wstring *)context;
    if (_wcsicmp(class_of(child).c_str(), L"Static") != 0) return TRUE;
    *text = window_text(child);
    return text->empty();
}

bool read_ppm(const std::string &bytes, Screenshot *shot)
{
    int width = 0, height = 0, depth = 0, used = 0;
    if (sscanf(bytes.c_str(), "P6 %d %d %d%n", &width, &height, &depth, &used) != 3 ||
        depth != 255 || width <= 0 || height <= 0)
        return false;
    size_t start = (size_t)used + 1;  // one blank after the header
    size_t size = (size_t)width * height * 3;
    if (bytes.size() < start + size) return false;
    shot->rgb.assign(bytes.begin() + start, bytes.begin() + start + size);
    shot->width = width;
    shot->height = height;
    return true;
}

}  // namespace

bool wait_until(const std::function<bool()> &done, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        if (GetTickCount() - start >= timeout_ms) return false;
        Sleep(50);
    }
}

HWND find_program_window(DWORD process_id)
{
    for (HWND window = NULL;
         (window = FindWindowExW(NULL, window, QV_WINDOW_CLASS, NULL)) != NULL;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        // Not before it shows: while it is being created its controls exist
        // but do not yet say whether they can be used.
        if ((process_id == 0 || owner == process_id) && IsWindowVisible(window)) return window;
    }
    return NULL;
}

std::wstring window_text(HWND window)
{
    wchar_t text[1024] = L"";
    if (send(window, WM_GETTEXT, 1024, (LPARAM)text) < 0) return L"";
    text[1023] = 0;
    return text;
}

std::wstring control_text(HWND main, int id)
{
    return window_text(GetDlgItem(main, id));
}

bool control_enabled(HWND main, int id)
{
    HWND child = GetDlgItem(main, id);
    return child && IsWindowEnabled(child);
}

RECT control_rect(HWND main, int id)
{
    RECT r = {};
    GetWindowRect(GetDlgItem(main, id), &r);
    MapWindowPoints(NULL, main, (POINT *)&r, 2);
    return r;
}

HWND focused_control(HWND main)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, NULL), &info)) return NULL;
    return info.hwndFocus;
}

std::vector<std::wstring> list_items(HWND main)
{
    HWND list = GetDlgItem(main, 106);
    std::vector<std::wstring> items;
    LRESULT count = send(list, CB_GETCOUNT);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[512] = L"";
        if (send(list, CB_GETLBTEXTLEN, i) >= 512) return items;
        send(list, CB_GETLBTEXT, i, (LPARAM)text);
        items.push_back(text);
    }
    return items;
}

int list_selection(HWND main)
{
    return (int)send(GetDlgItem(main, 106), CB_GETCURSEL);
}

bool pick_list_entry(HWND main, int index)
{
    HWND list = GetDlgItem(main, 106);
    if (!list || !IsWindowEnabled(list)) return false;
    if (send(list, CB_SETCURSEL, index) != index) return false;
    return PostMessageW(main, WM_COMMAND, MAKEWPARAM(106, CBN_SELCHANGE), (LPARAM)list) != 0;
}

bool press(HWND main, int id)
{
    HWND button = GetDlgItem(main, id);
    if (!button || !IsWindowEnabled(button)) return false;
    // Posted: the press may open a question box that waits for an answer.
    return PostMessageW(button, BM_CLICK, 0, 0) != 0;
}

int progress_position(HWND main)
{
    return (int)send(GetDlgItem(main, 109), PBM_GETPOS);
}

int progress_state(HWND main)
{
    HWND bar = GetDlgItem(main, 109);
    // The simulated build notes the state where the platform keeps none.
    if (HANDLE noted = GetPropW(bar, L"qv-bar-state")) return (int)(INT_PTR)noted;
    return (int)send(bar, PBM_GETSTATE);
}

HWND find_owned_dialog(HWND owner, const std::wstring &start)
{
    OwnedSearch search = {owner, &start, NULL};
    EnumWindows(find_owned, (LPARAM)&search);
    return search.found;
}

std::wstring dialog_message(HWND box)
{
    std::wstring text;
    EnumChildWindows(box, first_static_text, (LPARAM)&text);
    return text;
}

HWND wait_for_dialog(HWND owner, DWORD timeout_ms, const std::wstring &start)
{
    HWND box = NULL;
    wait_until([&] { return (box = find_owned_dialog(owner, start)) != NULL; }, timeout_ms);
    return box;
}

bool answer_dialog(HWND box, int button_id)
{
    HWND button = GetDlgItem(box, button_id);
    return button && PostMessageW(button, BM_CLICK, 0, 0) != 0;
}

bool choose_file_in_dialog(HWND dialog, const std::wstring &path)
{
    const int FILE_NAME_IDS[] = {0x47c, 0x480};  // the name box, newer and older style
    for (int id : FILE_NAME_IDS) {
        HWND name = GetDlgItem(dialog, id);
        if (!name) continue;
        send(name, WM_SETTEXT, 0, (LPARAM)path.c_str());
        return answer_dialog(dialog, IDOK);
    }
    return false;
}

// A command of the Linux machine that runs Wine (xdotool, ImageMagick).
int run_host(const std::string &command)
{
    std::string output;
    return run_host_command(command, screenshot_folder(), &output);
}

bool focus_program_desktop(void)
{
    return run_host("xdotool search --limit 1 --name 'Wine desktop' windowfocus --sync") == 0;
}

// Focusing the desktop again before each key would let Wine lose key releases.
bool send_keys(const std::string &keys)
{
    return run_host("xdotool key --delay 150 " + keys) == 0;
}

COLORREF Screenshot::at(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width || y >= height) return CLR_INVALID;
    const unsigned char *p = &rgb[((size_t)y * width + x) * 3];
    return RGB(p[0], p[1], p[2]);
}

int Screenshot::count(const RECT &r, COLORREF colour) const
{
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) n += at(x, y) == colour;
    return n;
}

std::wstring screenshot_folder(void)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring path(self, length);
    path = path.substr(0, path.find_last_of(L"\\/"));  // bin
    path = path.substr(0, path.find_last_of(L"\\/")) + L"\\screenshots";
    CreateDirectoryW(path.c_str(), NULL);
    return path;
}

Screenshot take_screenshot(HWND main, const std::wstring &name)
{
    Screenshot shot;
    RECT client;
    GetClientRect(main, &client);
    POINT origin = {0, 0};
    ClientToScreen(main, &origin);
    std::string base = host_quote(host_path(screenshot_folder() + L"\\" + name));
    char geometry[64];
    snprintf(geometry, sizeof geometry, "%ldx%ld+%ld+%ld", client.right, client.bottom, origin.x,
             origin.y);
    if (run_host(std::string("import -window root -depth 8 -crop ") + geometry + " +repage " +
                 base + ".ppm && convert " + base + ".ppm " + base + ".png") != 0)
        return shot;
    read_ppm(read_whole_file(screenshot_folder() + L"\\" + name + L".ppm"), &shot);
    return shot;
}
