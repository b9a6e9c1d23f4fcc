// The window worked with real keys through the X server, and its layout at
// three screen resolutions.
#include "tests/window/window_scenario.h"

namespace {

const int TAB_ORDER[] = {ID_IMAGE_SOURCE, ID_DRIVE_LIST, ID_CHECK, ID_REFRESH, ID_WRITE};

int focus_id(HWND main)
{
    return GetDlgCtrlID(focused_control(main));
}

// White pixels in a band just inside the top edge of the Write button, where
// only the focus ring is white.
int ring_pixels(const Screenshot &shot, RECT button)
{
    RECT band = {button.left + 40, button.top + 2, button.right - 40, button.top + 8};
    return shot.count(band, RGB(255, 255, 255));
}

struct KeyboardScenario : WindowScenario {
    // One key, then the focus must have moved to `expected`.
    bool key_moves_focus(const char *key, int expected)
    {
        if (!send_keys(key)) return false;
        return wait_until([&] { return focus_id(window) == expected; }, LONG_WAIT_MS);
    }
};

TEST_F(KeyboardScenario, TabMovesAmongTheControlsAndSpaceOrEnterPressesWrite)
{
    describe_machine(stick(1, "Demo Stick    ", 'E'));
    start_program_window();
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
    ASSERT_TRUE(focus_program_desktop());
    ASSERT_TRUE(wait_until([&] { return focus_id(window) != 0; }, LONG_WAIT_MS));

    ASSERT_EQ(focus_id(window), ID_IMAGE_SOURCE) << "the focus starts on the first control";
    for (int step = 1; step < 5; ++step)  // four Tabs reach Write
        ASSERT_TRUE(key_moves_focus("Tab", TAB_ORDER[step])) << "Tab number " << step;
    ASSERT_TRUE(key_moves_focus("shift+Tab", ID_REFRESH));
    const RECT write = control_rect(window, ID_WRITE);
    EXPECT_EQ(ring_pixels(shot(L"focus-on-refresh"), write), 0);
    ASSERT_TRUE(key_moves_focus("Tab", ID_WRITE));
    EXPECT_GT(ring_pixels(shot(L"focus-ring"), write), write.right - write.left - 80)
        << "the focus ring";

    ASSERT_TRUE(send_keys("space"));
    HWND question = wait_box(L"Everything on this pen drive");
    ASSERT_TRUE(question) << "Space presses Write";
    ASSERT_TRUE(send_keys("Return"));  // No is the default answer
    ASSERT_TRUE(wait_until([&] { return !IsWindow(question); }, LONG_WAIT_MS));
    ASSERT_TRUE(wait_until([&] { return focus_id(window) == ID_WRITE; }, LONG_WAIT_MS));
    settle();
    EXPECT_EQ(text(ID_WRITE), L"Write") << "No starts nothing";

    ASSERT_TRUE(send_keys("Return"));
    question = wait_box(L"Everything on this pen drive");
    ASSERT_TRUE(question) << "Enter presses the focused Write";
    ASSERT_TRUE(answer_dialog(question, IDNO));
    ASSERT_TRUE(wait_until([&] { return !IsWindow(question); }, LONG_WAIT_MS));
    EXPECT_EQ(text(ID_WRITE), L"Write");
}

struct LayoutScenario : WindowScenario {
    void set_dpi(int dpi)
    {
        HKEY key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, KEY_SET_VALUE,
                                &key), ERROR_SUCCESS);
        DWORD value = (DWORD)dpi;
        if (dpi == 96) RegDeleteValueW(key, L"LogPixels");
        else RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, (const BYTE *)&value, sizeof value);
        RegCloseKey(key);
    }
    void TearDown() override
    {
        set_dpi(96);
        WindowScenario::TearDown();
    }
};

struct Expected {
    int id, left, top, width, height;
};

// The longest texts of the image line and the status line (the shipped host).
const std::pair<int, const wchar_t *> LONGEST_TEXTS[] = {
    {ID_IMAGE_LINE, L"Could not reach updates.quenvar.com: the secure connection failed \x2014 check "
                    L"that this PC's date and time are correct.  Press Write to try again, or use "
                    L"an ISO file."},
    {ID_STATUS, L"The ISO file changed while it was written, or could not be read the same way "
                L"twice, so nothing on the pen drive will start a PC. Choose the file again and "
                L"press Write."},
};

// Height the text needs in the body font at this width, as a static control draws it.
int needed_height(const wchar_t *text, int width, int dpi)
{
    HDC dc = CreateCompatibleDC(NULL);
    HFONT font = CreateFontW(-MulDiv(10, dpi, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET,
                             0, 0, CLEARTYPE_QUALITY, 0, L"Segoe UI");
    HGDIOBJ old = SelectObject(dc, font);
    RECT r = {0, 0, width, 0};
    DrawTextW(dc, text, -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    DeleteObject(SelectObject(dc, old));
    DeleteDC(dc);
    return r.bottom;
}

TEST_F(LayoutScenario, EveryRectangleFollowsTheDpiTermByTerm)
{
    describe_machine(stick(1, "Demo Stick    ", 'E'));
    for (int dpi : {96, 120, 144}) {
        SCOPED_TRACE(dpi);
        auto s = [dpi](int length) { return MulDiv(length, dpi, 96); };
        set_dpi(dpi);
        start_program_window();
        ASSERT_TRUE(wait_text(ID_IMAGE_LINE, VERSION_LINE));
        SetWindowPos(window, NULL, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        RECT client;
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, s(640));
        EXPECT_EQ(client.bottom, s(492));
        int m = s(24), W = s(640) - 2 * m, R = s(640) - m;
        const Expected table[] = {
            {100, m, s(18), W, s(38)},
            {101, m, s(56), W, s(22)},
            {102, m, s(96), W, s(24)},
            {103, m, s(96) + s(26), W - s(170), s(56)},
            {104, R - s(158), s(96) + s(24), s(158), s(38)},
            {105, m, s(188), W, s(24)},
            {106, m, s(188) + s(26), W - s(236), s(300)},
            {112, R - s(224), s(188) + s(24), s(96), s(38)},
            {107, R - s(116), s(188) + s(24), s(116), s(38)},
            {108, m, s(272), W, s(60)},
            {109, m, s(350), W, s(20)},
            {110, m, s(378), W, s(62)},
            {111, m, s(440), W, s(40)},
        };
        for (const Expected &e : table) {
            RECT r = control_rect(window, e.id);
            if (e.id == ID_DRIVE_LIST) {
                // A closed drop-down list shows its selection field; the height
                // given is the field's and the dropped-down list's together
                // (Wine answers the list's own height for the dropped rectangle).
                RECT dropped = {};
                SendMessageW(GetDlgItem(window, e.id), CB_GETDROPPEDCONTROLRECT, 0,
                             (LPARAM)&dropped);
                r.bottom += dropped.bottom - dropped.top;
            }
            EXPECT_EQ(r.left, e.left) << e.id;
            EXPECT_EQ(r.top, e.top) << e.id;
            EXPECT_EQ(r.right - r.left, e.width) << e.id;
            EXPECT_EQ(r.bottom - r.top, e.height) << e.id;
        }
        shot((L"dpi-" + std::to_wstring(dpi)).c_str());
        for (const auto &t : LONGEST_TEXTS) {
            HWND line = GetDlgItem(window, t.first);
            EXPECT_TRUE(GetWindowLongW(line, GWL_STYLE) & SS_NOPREFIX) << t.first << ": & is text";
            SendMessageW(line, WM_SETTEXT, 0, (LPARAM)t.second);
            RECT r = control_rect(window, t.first);
            EXPECT_LE(needed_height(t.second, r.right - r.left, dpi), r.bottom - r.top) << t.first;
        }
        shot((L"longest-texts-dpi-" + std::to_wstring(dpi)).c_str());
        PostMessageW(window, WM_CLOSE, 0, 0);
        ASSERT_TRUE(program_ended(LONG_WAIT_MS));
        CloseHandle(run.process);
        run.process = NULL;
    }
}

}  // namespace
