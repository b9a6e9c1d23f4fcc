// A test fixture that runs each test on a fresh simulated machine, with the
// event log in a scratch folder, and ends it with the machine's audit.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_info.h"
#include "app/text.h"
#include "tests/support/sim_log.h"
#include "tests/support/sim_machine.h"
#include "tests/support/test_files.h"
#include "tests/support/virtual_clock.h"

struct SimMachineTest : ::testing::Test {
    std::wstring folder;
    wchar_t saved_app_folder[APP_PATH_CHARS];

    void SetUp() override
    {
        SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", NULL);
        sim_reset();
        sim_install();
        folder = make_scratch_folder(L"sim");
        // Under Wine a process id comes back, and with it an old folder of that name.
        DeleteFileW((folder + L"\\writer.log").c_str());
        wcscpy(saved_app_folder, app_folder);
        copy_cut(app_folder, APP_PATH_CHARS, folder.c_str());
    }

    void TearDown() override
    {
        std::string audit = sim_audit();
        EXPECT_EQ(audit, "") << "journal:\n" << narrow(sim_journal_text());
        sim_uninstall();
        sim_reset();
        wcscpy(app_folder, saved_app_folder);
        SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", NULL);
    }

    std::vector<std::wstring> log_lines() { return sim_read_log_lines(folder); }
    // Disk 0 with C:, where the scratch folder and the program lie.
    static void add_windows_disk(void)
    {
        sim_add_disk(0, BusTypeSata, 64 * 1048576ULL, "ATA", "System SSD");
        sim_add_partition_volume(0, 1, L'C', DRIVE_FIXED);
    }

    static std::string narrow(const std::wstring &text)
    {
        std::string out;
        for (wchar_t c : text) out += c < 128 ? (char)c : '?';
        return out;
    }
};
