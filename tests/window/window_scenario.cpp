#include "tests/window/window_scenario.h"

#include <shlobj.h>

#include "source/manifest_serial.h"
#include "tests/support/net_server.h"

const wchar_t VERSION_LINE[] =
    L"quenvar OS 2.1  (8 MB)  \x2014  downloads when you press Write";
const wchar_t CHECKING_LINE[] = L"Checking " QV_UPDATE_HOST L" for the latest version\x2026";
const wchar_t READY_DIALOG[] =
    L"The pen drive is ready.\n\n"
    L"1. Plug it into the POS PC.\n"
    L"2. Start the PC and open its boot menu (often F7, F11, F12 or Esc).\n"
    L"3. Choose the USB drive, then choose Install.\n\n"
    L"If Windows now asks to format the pen drive, press Cancel.";
const wchar_t DONE_STATUS[] =
    L"Done \x2014 the pen drive is ready and checked.\r\n"
    L"Plug it into the POS PC, start the PC from USB, and choose Install.";

namespace {

const wchar_t HARNESS[] = L"qvwriter-SIMULATED-DISKS-test-harness.exe";

std::string narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

std::wstring app_folder_of_the_program(void)
{
    wchar_t base[MAX_PATH] = L"";
    SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT,
                     base);
    return std::wstring(base) + L"\\quenvar OS USB Writer";
}

void delete_matching(const std::wstring &folder, const wchar_t *pattern)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

size_t file_size(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (size_t)data.nFileSizeLow;
}

}  // namespace

void WindowScenario::SetUp()
{
    ASSERT_TRUE(wait_until([] { return find_program_window() == NULL; }, LONG_WAIT_MS))
        << "another program window is still open";
    folder = make_scratch_folder(L"win");
    delete_matching(folder, L"*");  // Wine reuses process ids
    machine_path = folder + L"\\machine.txt";
    std::string error;
    ASSERT_TRUE(net_server_acquire(&error)) << error;
    net_server_reset();
    image_sha = net_server_publish_image(IMAGE_URL_PATH, IMAGE_SIZE, 21);
    ASSERT_EQ(image_sha.size(), 64u);
    std::wstring url = net_server_https_url(IMAGE_URL_PATH);
    net_server_put_signed("/updates/os-quenvar/latest.json",
                          "{\"version\": \"2.1\", \"isoUrl\": \"" + std::string(url.begin(), url.end()) + "\", \"isoSha256\": \"" + image_sha +
                              "\", \"isoSizeBytes\": " + std::to_string(IMAGE_SIZE) + "}");
    std::wstring app = app_folder_of_the_program();
    delete_matching(app, L"quenvar-os-*.iso*");
    delete_matching(app, MANIFEST_SERIAL_FILE);  // the scenarios' manifests have no serial
    log_path = app + L"\\writer.log";
    log_size_at_start = file_size(log_path);
}

void WindowScenario::TearDown()
{
    if (run.process) {
        if (WaitForSingleObject(run.process, 0) != WAIT_OBJECT_0) TerminateProcess(run.process, 9);
        WaitForSingleObject(run.process, LONG_WAIT_MS);
        CloseHandle(run.process);
        run.process = NULL;
    }
    hold_writes(false);
    net_server_release();
}

std::wstring WindowScenario::stick_path(int disk) const
{
    return folder + L"\\stick" + std::to_wstring(disk) + L".img";
}

std::wstring WindowScenario::hold_path() const
{
    return folder + L"\\hold";
}

std::string WindowScenario::stick(int disk, const char *product, char letter, bool present) const
{
    std::string n = std::to_string(disk);
    return "disk " + n + " bus=usb size=1G vendor=\"Quenvar \" product=\"" + product +
           "\" backing=\"" + narrow(stick_path(disk)) + "\" hold=\"" + narrow(hold_path()) +
           "\" hold-after=4M present=" + (present ? "1" : "0") + "\n" + "volume - letter=" +
           letter + " type=removable disk=" + n + " partition=1\n";
}

void WindowScenario::describe_machine(const std::string &sticks)
{
    sticks_described = sticks;
    std::string text = "windows C:\\Windows\n"
                       "disk 0 bus=sata size=64G vendor=\"ATA\" product=\"System SSD\"\n"
                       "volume - letter=C type=fixed disk=0 partition=1\n" + sticks;
    std::wstring draft = machine_path + L".draft";
    ASSERT_TRUE(write_whole_file(draft, text));
    ASSERT_TRUE(MoveFileExW(draft.c_str(), machine_path.c_str(), MOVEFILE_REPLACE_EXISTING));
}

// A new comment is a change the harness sees; the ejected sticks come back.
void WindowScenario::plug_in_again()
{
    describe_machine(sticks_described + "# plugged in again " + std::to_string(++plugged_again) +
                     "\n");
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
}

void WindowScenario::hold_writes(bool on)
{
    if (on) ASSERT_TRUE(write_whole_file(hold_path(), "hold"));
    else DeleteFileW(hold_path().c_str());
}

static std::vector<std::string> lines_of(const std::wstring &path)
{
    std::string text = read_whole_file(path);
    std::vector<std::string> lines;
    for (size_t begin = 0, end; (end = text.find("\r\n", begin)) != std::string::npos;
         begin = end + 2)
        lines.push_back(text.substr(begin, end - begin));
    return lines;
}

std::vector<std::string> WindowScenario::device_changes_sent()
{
    return lines_of(machine_path + L".seen");
}

std::vector<std::string> WindowScenario::shell_requests()
{
    return lines_of(machine_path + L".shell");
}

std::wstring WindowScenario::program_folder() const
{
    return app_folder_of_the_program();
}

void WindowScenario::start_program_window()
{
    ASSERT_TRUE(start_program(sibling_program(HARNESS), L"", folder, &run,
                              {L"QV_SIM_MACHINE=" + machine_path, L"QV_SIM_REAL_CLOCK=1",
                               L"QV_SIM_JOURNAL=" + folder + L"\\journal.txt"}));
    DWORD id = GetProcessId(run.process);
    ASSERT_TRUE(wait_until([&] { return (window = find_program_window(id)) != NULL; },
                           LONG_WAIT_MS));
}

bool WindowScenario::program_ended(DWORD timeout_ms)
{
    if (WaitForSingleObject(run.process, timeout_ms) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(run.process, &run.exit_code);
    return true;
}

bool WindowScenario::wait_text(int id, const std::wstring &part, DWORD timeout_ms)
{
    return wait_until([&] { return text(id).find(part) != std::wstring::npos; }, timeout_ms);
}

HWND WindowScenario::wait_box(const std::wstring &start, DWORD timeout_ms)
{
    return wait_for_dialog(window, timeout_ms, start);
}

void WindowScenario::settle()
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, LONG_WAIT_MS, &result);
}

std::string WindowScenario::journal()
{
    return read_whole_file(folder + L"\\journal.txt");
}

std::string WindowScenario::log_added()
{
    std::string log = read_whole_file(log_path);
    return log.size() >= log_size_at_start ? log.substr(log_size_at_start) : log;
}

Screenshot WindowScenario::shot(const wchar_t *moment)
{
    settle();
    RedrawWindow(window, NULL, NULL, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    settle();
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return take_screenshot(window, std::wstring(test.begin(), test.end()) + L"-" + moment);
}

std::string WindowScenario::image_bytes()
{
    return net_server_file_bytes(IMAGE_URL_PATH, 0, IMAGE_SIZE);
}

bool WindowScenario::write_and_confirm()
{
    if (!press(window, ID_WRITE)) return false;
    HWND box = wait_box(L"Everything on this pen drive will be erased:");
    if (!box || !answer_dialog(box, IDYES)) return false;
    return wait_text(ID_WRITE, L"Cancel");
}

void WindowScenario::start_a_held_write()
{
    describe_machine(stick(1, "Demo Stick    ", 'E'));
    hold_writes(true);
    start_program_window();
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));
    ASSERT_TRUE(write_and_confirm());
    ASSERT_TRUE(wait_text(ID_STATUS, L"Writing to the pen drive\x2026")) << text(ID_STATUS);
}
