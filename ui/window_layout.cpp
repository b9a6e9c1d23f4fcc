// The window's fonts and twelve controls, and where each control sits. Every
// length is written at 96 DPI and scaled term by term.
#include <windows.h>
#include <commctrl.h>

#include "app/app_info.h"
#include "app/text.h"
#include "ui/status.h"
#include "ui/window.h"

WindowState window_state;
int screen_dpi = 96;
WindowFonts fonts;

static HWND controls[CONTROL_COUNT];

enum { FOOTER_CHARS = 256 };

int scale(int length)
{
    return MulDiv(length, screen_dpi, 96);
}

HWND control(int id)
{
    if (id < FIRST_CONTROL_ID || id >= FIRST_CONTROL_ID + CONTROL_COUNT) return NULL;
    return controls[id - FIRST_CONTROL_ID];
}

static HFONT create_ui_font(int points, int weight)
{
    return CreateFontW(-MulDiv(points, screen_dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

static HWND create_control(const wchar_t *class_name, const wchar_t *text, DWORD style, int id,
                           HFONT font)
{
    HWND child = CreateWindowExW(0, class_name, text, style | WS_CHILD | WS_VISIBLE, 0, 0, 10, 10,
                                 main_window, (HMENU)(INT_PTR)id, GetModuleHandleW(NULL), NULL);
    SendMessageW(child, WM_SETFONT, (WPARAM)font, TRUE);
    controls[id - FIRST_CONTROL_ID] = child;
    return child;
}

static void create_fonts(void)
{
    fonts.body = create_ui_font(10, FW_NORMAL);
    fonts.heading = create_ui_font(11, FW_SEMIBOLD);
    fonts.title = create_ui_font(18, FW_BOLD);
    fonts.button = create_ui_font(15, FW_SEMIBOLD);
    fonts.footer = create_ui_font(9, FW_NORMAL);
}

// The image line and the status line show names and sentences from outside
// (a file name, a server's answer), so an ampersand in them is text, not a
// keyboard mnemonic.
static void create_controls(void)
{
    wchar_t footer[FOOTER_CHARS];
    format_cut(footer, FOOTER_CHARS - 1,
               L"Everything on the pen drive is erased. Use one of 4 GB or more.\r\n"
               L"Version %ls  \x00B7  log: %%LOCALAPPDATA%%\\quenvar OS USB Writer",
               QV_VERSION_TEXT);
    create_control(L"STATIC", QV_PROGRAM_TITLE, 0, ID_TITLE, fonts.title);
    create_control(L"STATIC", L"Makes a pen drive that installs quenvar OS on a POS PC.", 0,
                   ID_DESCRIPTION, fonts.body);
    create_control(L"STATIC", L"1.   quenvar OS", 0, ID_HEADING_IMAGE, fonts.heading);
    create_control(L"STATIC", L"", SS_NOPREFIX, ID_IMAGE_LINE, fonts.body);
    create_control(L"BUTTON", L"Use an ISO file\x2026", WS_TABSTOP, ID_IMAGE_SOURCE, fonts.body);
    create_control(L"STATIC", L"2.   Pen drive", 0, ID_HEADING_DRIVE, fonts.heading);
    create_control(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, ID_DRIVE_LIST,
                   fonts.body);
    create_control(L"BUTTON", L"Check", WS_TABSTOP, ID_CHECK, fonts.body);
    create_control(L"BUTTON", L"Refresh", WS_TABSTOP, ID_REFRESH, fonts.body);
    create_control(L"BUTTON", L"Write", BS_OWNERDRAW | WS_TABSTOP, ID_WRITE, fonts.button);
    create_control(PROGRESS_CLASSW, L"", PBS_SMOOTH, ID_PROGRESS, fonts.body);
    create_control(L"STATIC", L"", SS_NOPREFIX, ID_STATUS, fonts.body);
    create_control(L"STATIC", footer, 0, ID_FOOTER, fonts.footer);
}

void create_window_contents(HWND)
{
    create_fonts();
    create_controls();
    SendMessageW(control(ID_PROGRESS), PBM_SETRANGE32, 0, PROGRESS_RANGE);
    SendMessageW(control(ID_DRIVE_LIST), CB_SETITEMHEIGHT, (WPARAM)-1, scale(30));
    SendMessageW(control(ID_DRIVE_LIST), CB_SETITEMHEIGHT, 0, scale(30));
}

static void place(int id, int left, int top, int width, int height)
{
    MoveWindow(control(id), left, top, width, height, TRUE);
}

void layout_controls(void)
{
    if (!control(ID_FOOTER)) return;  // a size message before the controls exist
    RECT client;
    GetClientRect(main_window, &client);
    int m = scale(24);
    int W = client.right - 2 * m;
    int R = client.right - m;
    place(ID_TITLE, m, scale(18), W, scale(38));
    place(ID_DESCRIPTION, m, scale(56), W, scale(22));
    place(ID_HEADING_IMAGE, m, scale(96), W, scale(24));
    // Three lines: a failure text with its hint to press Write needs them.
    place(ID_IMAGE_LINE, m, scale(96) + scale(26), W - scale(170), scale(56));
    place(ID_IMAGE_SOURCE, R - scale(158), scale(96) + scale(24), scale(158), scale(38));
    place(ID_HEADING_DRIVE, m, scale(188), W, scale(24));
    place(ID_DRIVE_LIST, m, scale(188) + scale(26), W - scale(236), scale(300));
    place(ID_CHECK, R - scale(224), scale(188) + scale(24), scale(96), scale(38));
    // Opened, the list is as wide as the field was before Check stood beside it.
    SendMessageW(control(ID_DRIVE_LIST), CB_SETDROPPEDWIDTH, (WPARAM)(W - scale(128)), 0);
    place(ID_REFRESH, R - scale(116), scale(188) + scale(24), scale(116), scale(38));
    place(ID_WRITE, m, scale(272), W, scale(60));
    place(ID_PROGRESS, m, scale(350), W, scale(20));
    place(ID_STATUS, m, scale(378), W, scale(62));
    place(ID_FOOTER, m, scale(440), W, scale(40));
}
