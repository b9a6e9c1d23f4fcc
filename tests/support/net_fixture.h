// Base of the tests that talk to the local update server: takes the server,
// gives the test its own application folder (and so its own writer.log).
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/app_info.h"
#include "app/text.h"
#include "source/manifest_serial.h"
#include "tests/support/net_server.h"
#include "tests/support/test_files.h"
#include "tests/support/virtual_clock.h"
#include "ui/status.h"

struct NetServerTest : ::testing::Test {
    std::wstring folder;
    wchar_t saved_folder[APP_PATH_CHARS];

    void SetUp() override;
    void TearDown() override;

    // The lines of writer.log, each without its time stamp; the proxy chosen
    // for each host ("proxy for ...") only when the test asks for them.
    std::vector<std::string> log_lines();
    bool proxy_lines = false;
};


namespace net_fixture_detail {

const size_t STAMP_CHARS = 21;  // "yyyy-mm-dd hh:mm:ss  "


}  // namespace net_fixture_detail

inline void NetServerTest::SetUp()
{
    set_cancel_flag(0);
    wcscpy(saved_folder, app_folder);
    folder = make_scratch_folder(L"net");
    // Wine reuses process ids, so a folder may be left from an earlier run.
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    copy_cut(app_folder, APP_PATH_CHARS, folder.c_str());
    // No serial seen, as in a new run, even after an earlier test of this process.
    load_manifest_serial();
    DeleteFileW((folder + L"\\writer.log").c_str());
    std::string error;
    ASSERT_TRUE(net_server_acquire(&error)) << error;
}

inline void NetServerTest::TearDown()
{
    net_server_release();
    virtual_clock_uninstall();
    set_cancel_flag(0);
    wcscpy(app_folder, saved_folder);
}

inline std::vector<std::string> NetServerTest::log_lines()
{
    std::vector<std::string> lines;
    std::string bytes = read_whole_file(folder + L"\\writer.log");
    size_t begin = 0;
    for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
        lines.push_back(bytes.substr(begin + net_fixture_detail::STAMP_CHARS, end - begin - net_fixture_detail::STAMP_CHARS));
        if (!proxy_lines && lines.back().compare(0, 10, "proxy for ") == 0) lines.pop_back();
    }
    return lines;
}

inline std::string net_utf8(const std::wstring &text)
{
    char buffer[4096];
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), buffer,
                                     sizeof buffer, NULL, NULL);
    return std::string(buffer, length > 0 ? length : 0);
}
