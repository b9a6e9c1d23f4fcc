// Colours of the static texts and the drawing of the owner-drawn
// Write/Cancel button.
#include "ui/window.h"

static const COLORREF TEXT_DARK = RGB(15, 23, 42);
static const COLORREF TEXT_GREY = RGB(100, 116, 139);
static const COLORREF TEXT_ERROR = RGB(185, 28, 28);
static const COLORREF FILL_DISABLED = RGB(203, 213, 225);
static const COLORREF FILL_WRITE = RGB(14, 165, 233);
static const COLORREF FILL_WRITE_PRESSED = RGB(3, 105, 161);
static const COLORREF FILL_CANCEL = RGB(220, 38, 38);
static const COLORREF FILL_CANCEL_PRESSED = RGB(153, 27, 27);

enum { BUTTON_TEXT_CHARS = 64 };

// Only our own static texts take these colours; the drive list asks with the
// same message for its selection field and keeps the platform's colours.
bool is_static_control(HWND child)
{
    switch (GetDlgCtrlID(child)) {
    case ID_TITLE: case ID_DESCRIPTION: case ID_HEADING_IMAGE: case ID_IMAGE_LINE:
    case ID_HEADING_DRIVE: case ID_STATUS: case ID_FOOTER:
        return control(GetDlgCtrlID(child)) == child;
    }
    return false;
}

HBRUSH colour_static(HDC dc, HWND child)
{
    int id = GetDlgCtrlID(child);
    COLORREF colour = TEXT_DARK;
    if (id == ID_DESCRIPTION || id == ID_FOOTER) colour = TEXT_GREY;
    else if (id == ID_STATUS && window_state.progress_in_error) colour = TEXT_ERROR;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colour);
    return (HBRUSH)GetStockObject(WHITE_BRUSH);
}

static COLORREF button_fill(UINT state)
{
    if (state & ODS_DISABLED) return FILL_DISABLED;
    bool pressed = (state & ODS_SELECTED) != 0;
    if (window_state.job_running) return pressed ? FILL_CANCEL_PRESSED : FILL_CANCEL;
    return pressed ? FILL_WRITE_PRESSED : FILL_WRITE;
}

static void draw_rounded(HDC dc, const RECT &r, int corner, HPEN pen, HBRUSH brush)
{
    HGDIOBJ old_pen = SelectObject(dc, pen);
    HGDIOBJ old_brush = SelectObject(dc, brush);
    RoundRect(dc, r.left, r.top, r.right, r.bottom, corner, corner);
    SelectObject(dc, old_brush);
    SelectObject(dc, old_pen);
}

static void draw_focus_ring(HDC dc, const RECT &item, int corner)
{
    RECT ring = item;
    InflateRect(&ring, -scale(4), -scale(4));
    HPEN pen = CreatePen(PS_SOLID, scale(2), RGB(255, 255, 255));
    draw_rounded(dc, ring, corner - scale(4), pen, (HBRUSH)GetStockObject(HOLLOW_BRUSH));
    DeleteObject(pen);
}

void draw_write_button(const DRAWITEMSTRUCT *item)
{
    HDC dc = item->hDC;
    RECT r = item->rcItem;
    int corner = scale(12);
    FillRect(dc, &r, (HBRUSH)GetStockObject(WHITE_BRUSH));

    COLORREF fill = button_fill(item->itemState);
    HBRUSH brush = CreateSolidBrush(fill);
    HPEN pen = CreatePen(PS_SOLID, 1, fill);
    draw_rounded(dc, r, corner, pen, brush);
    DeleteObject(brush);
    DeleteObject(pen);

    wchar_t text[BUTTON_TEXT_CHARS] = L"";
    GetWindowTextW(item->hwndItem, text, BUTTON_TEXT_CHARS);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    HGDIOBJ old_font = SelectObject(dc, fonts.button);
    DrawTextW(dc, text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, old_font);

    if ((item->itemState & ODS_FOCUS) && !(item->itemState & ODS_DISABLED))
        draw_focus_ring(dc, r, corner);
}
