// The main road: a cold start, the version check, Write, the question, the
// progress, the ready dialog and a stick that holds the image; and the same
// road when the update server is down at start.
#include "tests/window/window_scenario.h"

#include <commctrl.h>

namespace {

const wchar_t STICK_LINE[] = L"Quenvar Demo Stick  \x2014  1.0 GB  (E:)";
const wchar_t EJECTED_DIALOG[] =
    L"The pen drive is ready. You may pull it out now.\n\n"
    L"1. Plug it into the POS PC.\n"
    L"2. Start the PC and open its boot menu (often F7, F11, F12 or Esc).\n"
    L"3. Choose the USB drive, then choose Install.";

// The button's face without its rounded corners.
RECT face(RECT r)
{
    InflateRect(&r, -12, -6);
    return r;
}

int area(const RECT &r)
{
    return (r.right - r.left) * (r.bottom - r.top);
}

TEST_F(WindowScenario, ColdStartWithOneStickWritesThePublishedImage)
{
    describe_machine(stick(1, "Demo Stick    ", 'E'));
    // The version list comes slowly, so the check can be watched.
    net_server_script("/updates/os-quenvar/latest.json", "rate=40");
    hold_writes(true);
    start_program_window();

    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, CHECKING_LINE)) << text(ID_IMAGE_LINE);
    const RECT write = face(control_rect(window, ID_WRITE));
    EXPECT_TRUE(wait_until([&] { return list_items(window).size() == 1; }, LONG_WAIT_MS));
    EXPECT_EQ(list_items(window), std::vector<std::wstring>{STICK_LINE});
    EXPECT_EQ(list_selection(window), 0);
    EXPECT_FALSE(control_enabled(window, ID_WRITE)) << "Write waits for the check";
    EXPECT_TRUE(wait_text(ID_STATUS, L"Plug in the pen drive, choose it above, then press Write."));
    Screenshot checking = shot(L"checking");
    EXPECT_GT(checking.count(write, RGB(203, 213, 225)), area(write) / 2);

    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, VERSION_LINE));
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
    EXPECT_EQ(text(ID_IMAGE_LINE), VERSION_LINE);
    Screenshot idle = shot(L"idle");
    EXPECT_GT(idle.count(write, RGB(14, 165, 233)), area(write) / 2);

    ASSERT_TRUE(press(window, ID_WRITE));
    HWND question = wait_box(L"Everything on this pen drive");
    ASSERT_TRUE(question);
    EXPECT_EQ(dialog_message(question), std::wstring(L"Everything on this pen drive will be "
                                                     L"erased:\n\n    ") +
                                            STICK_LINE + L"\n\nContinue?");
    ASSERT_TRUE(answer_dialog(question, IDYES));

    // Held in the middle of the write: the progress shows, the button is Cancel.
    ASSERT_TRUE(wait_text(ID_STATUS, L"Writing to the pen drive\x2026")) << text(ID_STATUS);
    EXPECT_GT(progress_position(window), 0);
    EXPECT_EQ(text(ID_WRITE), L"Cancel");
    EXPECT_TRUE(control_enabled(window, ID_WRITE));
    for (int id : {ID_IMAGE_SOURCE, ID_DRIVE_LIST, ID_REFRESH})
        EXPECT_FALSE(control_enabled(window, id)) << id;
    Screenshot writing = shot(L"writing");
    EXPECT_GT(writing.count(write, RGB(220, 38, 38)), area(write) / 2);
    hold_writes(false);

    HWND ready = wait_box(L"The pen drive is ready.");
    ASSERT_TRUE(ready) << text(ID_STATUS);
    EXPECT_EQ(dialog_message(ready), EJECTED_DIALOG);
    EXPECT_EQ(text(ID_STATUS), DONE_STATUS);
    EXPECT_EQ(progress_position(window), 1000);
    EXPECT_EQ(progress_state(window), PBST_NORMAL);
    EXPECT_EQ(text(ID_WRITE), L"Write");
    shot(L"ready");
    ASSERT_TRUE(answer_dialog(ready, IDOK));
    EXPECT_TRUE(wait_text(ID_IMAGE_LINE, L"quenvar OS 2.1  (8 MB)  \x2014  already downloaded"));
    EXPECT_TRUE(wait_until([&] {
        return list_items(window) == std::vector<std::wstring>{L"Plug in a pen drive\x2026"};
    }, LONG_WAIT_MS)) << "the ejected stick has left";

    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_NE(log_added().find("  finished OK\r\n"), std::string::npos) << log_added();
    EXPECT_NE(log_added().find("  disk 1 ejected\r\n"), std::string::npos) << log_added();
    EXPECT_TRUE(read_file_range(stick_path(1), 0, IMAGE_SIZE) == image_bytes());
    // Granted, so asked once every handle of the stick was closed (the
    // machine vetoes it otherwise), and with nothing before it that would have
    // Windows mount the new layout.
    std::string calls = journal();
    EXPECT_NE(calls.find(" eject #0 USB\\VID_5157&PID_0001\\1 -> ok"), std::string::npos);
    EXPECT_EQ(calls.find("IOCTL_DISK_UPDATE_PROPERTIES"), std::string::npos);
    EXPECT_NE(calls.find("audit: clean"), std::string::npos);
}

TEST_F(WindowScenario, UpdateServerDownAtStartThenWriteFetchesAgain)
{
    describe_machine(stick(1, "Demo Stick    ", 'E'));
    net_server_script("/updates/os-quenvar/latest.json", "status=503");
    start_program_window();

    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, L"Press Write")) << text(ID_IMAGE_LINE);
    EXPECT_EQ(text(ID_IMAGE_LINE), QV_UPDATE_HOST L" answered HTTP 503 for the version list.  "
                                   L"Press Write to try again, or use an ISO file.");
    EXPECT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
    shot(L"server-down");

    ASSERT_TRUE(write_and_confirm());
    HWND ready = wait_box(L"The pen drive is ready.");
    ASSERT_TRUE(ready) << text(ID_STATUS);
    EXPECT_EQ(text(ID_IMAGE_LINE), L"quenvar OS 2.1  (8 MB)  \x2014  already downloaded");
    // The failed check at start-up, then the job's: the manifest and its signature.
    EXPECT_EQ(net_server_requests_for("/updates/os-quenvar/latest.json").size(), 3u);
    ASSERT_TRUE(answer_dialog(ready, IDOK));
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_TRUE(read_file_range(stick_path(1), 0, IMAGE_SIZE) == image_bytes());
}

// A failed write leaves the stick; a proven one that Windows will not eject
// (Explorer holds it) stays with today's dialog. Check then tells that stick
// intact, a stick a PC changed apart, and says why a pulled one could not be
// checked; while it reads, its button is Cancel and nothing else may start.
TEST_F(WindowScenario, RefusedEjectKeepsTheStickAndCheckTellsIntactChangedAndPulled)
{
    std::string first = stick(1, "Demo Stick    ", 'E'), second = stick(2, "Other Stick   ", 'F');
    first.insert(first.find('\n'), " eject-veto=3:explorer.exe");
    std::string changed = image_bytes();
    changed[2 * 1048576 + 5] ^= 0x40;  // as a PC writing on the stick would
    ASSERT_TRUE(write_whole_file(stick_path(2), changed));
    describe_machine(first + "fault 1 write offset=5M count=3\n" + second);
    start_program_window();
    ASSERT_TRUE(wait_until([&] { return list_items(window).size() == 2; }, LONG_WAIT_MS));
    ASSERT_TRUE(pick_list_entry(window, 0));
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
    auto answer_box = [&](const wchar_t *start) {
        HWND box = wait_box(start);
        std::wstring said = box ? dialog_message(box) : L"no box; status: " + text(ID_STATUS);
        if (box) answer_dialog(box, IDOK);
        return said;
    };

    ASSERT_TRUE(write_and_confirm());
    EXPECT_NE(answer_box(L"Writing to the pen drive failed at 5 MB").find(L"Try another"),
              std::wstring::npos);
    EXPECT_EQ(log_added().find("eject"), std::string::npos) << "no eject after a failure";
    ASSERT_TRUE(write_and_confirm());
    EXPECT_EQ(answer_box(L"The pen drive is ready."), READY_DIALOG);
    EXPECT_NE(log_added().find("  eject refused: veto 3 (Windows program) explorer.exe, answer 23"
                               "\r\n"), std::string::npos) << log_added();
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_CHECK); }, LONG_WAIT_MS));
    ASSERT_TRUE(press(window, ID_CHECK));
    EXPECT_EQ(answer_box(L"This pen drive"), L"This pen drive holds quenvar OS 2.1 and is intact.");
    EXPECT_EQ(text(ID_STATUS), L"This pen drive holds quenvar OS 2.1 and is intact.");

    ASSERT_TRUE(pick_list_entry(window, 1));
    ASSERT_TRUE(press(window, ID_CHECK));
    EXPECT_EQ(answer_box(L"This pen drive"),
              L"This pen drive does not hold an intact quenvar OS image: a PC may have changed it "
              L"or the pen drive may be faulty, and writing it again makes it sure.");
    hold_writes(true);
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_CHECK); }, LONG_WAIT_MS));
    ASSERT_TRUE(press(window, ID_CHECK));
    ASSERT_TRUE(wait_text(ID_CHECK, L"Cancel"));
    for (int id : {ID_WRITE, ID_DRIVE_LIST, ID_REFRESH, ID_IMAGE_SOURCE})
        EXPECT_FALSE(control_enabled(window, id)) << id;
    describe_machine(first + stick(2, "Other Stick   ", 'F', false));
    ASSERT_TRUE(wait_until([&] {
        std::vector<std::string> sent = device_changes_sent();
        return !sent.empty() && sent.back().find("removal disk 2") != std::string::npos;
    }, LONG_WAIT_MS));
    hold_writes(false);
    EXPECT_NE(answer_box(L"Reading the pen drive failed at ").find(L"Plug it in again"),
              std::wstring::npos);
    EXPECT_TRUE(wait_until([&] { return list_items(window).size() == 1; }, LONG_WAIT_MS));
    EXPECT_EQ(text(ID_CHECK), L"Check");
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    std::string calls = journal();
    for (size_t at = calls.find(" write #"); at != std::string::npos; at = calls.find(" write #", at + 1))
        EXPECT_EQ(calls.compare(calls.find(' ', at + 8), 19, " \\\\.\\PhysicalDrive1"), 0)
            << "the checked stick is never written";
}

}  // namespace

