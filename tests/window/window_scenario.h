// Base of the scenarios that use the program as a person does: the simulated
// build runs as its own process against the local update server, and the test
// looks at its window and works it from outside.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/net_server.h"
#include "tests/support/test_files.h"
#include "tests/support/window_driver.h"

// Generous: the machine has two cores shared with other builds.
const DWORD LONG_WAIT_MS = 120000;
const char IMAGE_URL_PATH[] = "/isos/quenvar-os-2.1.iso";
const unsigned long long IMAGE_SIZE = 8 * 1048576ull + 12345;  // no whole number of sectors

enum {
    ID_IMAGE_LINE = 103, ID_IMAGE_SOURCE = 104, ID_DRIVE_LIST = 106, ID_REFRESH = 107,
    ID_WRITE = 108, ID_PROGRESS = 109, ID_STATUS = 110, ID_CHECK = 112,
};

extern const wchar_t VERSION_LINE[];
extern const wchar_t CHECKING_LINE[];
extern const wchar_t READY_DIALOG[];
extern const wchar_t DONE_STATUS[];

struct WindowScenario : ::testing::Test {
    std::wstring folder;
    std::wstring machine_path;
    std::string image_sha;
    ProgramRun run = {NULL, 0};
    HWND window = NULL;

    void SetUp() override;
    void TearDown() override;

    // ---- the machine ------------------------------------------------------
    // A USB stick backed by <folder>\stickN.img, with one volume on `letter`.
    // Its writes wait while the hold file exists, once 4 MiB have moved.
    std::string stick(int disk, const char *product, char letter, bool present = true) const;
    // The PC with Windows on disk 0 and these sticks; replaced in one step, so
    // a running program never reads half of it.
    void describe_machine(const std::string &sticks);
    // A proven stick is ejected; this plugs the described sticks in again and
    // waits until Write can be pressed.
    void plug_in_again();
    std::wstring stick_path(int disk) const;
    std::wstring hold_path() const;
    void hold_writes(bool on);
    // Lines "TICK arrival|removal disk N" of the device changes sent so far.
    std::vector<std::string> device_changes_sent();
    // What the program asked of the shell, one request a line, with the bar's
    // positions among them (tests/sim_build/shell_record.h).
    std::vector<std::string> shell_requests();
    std::wstring program_folder() const;  // its application folder

    // ---- the program ------------------------------------------------------
    void start_program_window();
    bool program_ended(DWORD timeout_ms);
    std::wstring text(int id) { return control_text(window, id); }
    bool wait_text(int id, const std::wstring &part, DWORD timeout_ms = LONG_WAIT_MS);
    // Waits for a message box whose text begins with `start`; null on a time-out.
    HWND wait_box(const std::wstring &start, DWORD timeout_ms = LONG_WAIT_MS);
    // Lets the window handle what was posted to it so far.
    void settle();
    // The journal of disk calls and the log lines of this run.
    std::string journal();
    std::string log_added();
    Screenshot shot(const wchar_t *moment);

    // The published image, as the server holds it.
    std::string image_bytes();
    // Starts a job with Write and Yes; true once the button says Cancel.
    bool write_and_confirm();
    // One stick, the version known, a job held in the middle of its write.
    void start_a_held_write();

private:
    std::string sticks_described;
    int plugged_again = 0;
    size_t log_size_at_start = 0;
    std::wstring log_path;
};
