#include "tests/support/net_probes.h"

#include <windows.h>
#include <winhttp.h>

#include "tests/support/host_shell.h"
#include "tests/support/test_files.h"

uintptr_t net_next_winhttp_handle(void)
{
    HINTERNET probe = WinHttpOpen(L"qv-probe", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!probe) return 0;
    WinHttpCloseHandle(probe);
    return (uintptr_t)probe;
}

namespace {

const DWORD SHELL_WAIT_MS = 10000;

// Wine starts a Linux program handed to CreateProcess but gives no exit code,
// so the script leaves a marker file that is waited for.
bool run_shell(const std::string &script, const std::wstring &marker)
{
    std::wstring command = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(NULL, line.data(), NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL,
                        &startup, &process))
        return false;
    release_started_program(&process);
    for (DWORD waited = 0; waited < SHELL_WAIT_MS; waited += 20) {
        if (file_exists(marker)) return true;
        Sleep(20);
    }
    return false;
}

std::string unix_name(const std::wstring &folder)
{
    std::string name;
    for (size_t i = 2; i < folder.size(); ++i) name += folder[i] == L'\\' ? '/' : (char)folder[i];
    return name;
}

}  // namespace

bool net_small_volume_mount(unsigned long bytes, std::wstring *folder, std::string *why)
{
    wchar_t name[MAX_PATH];
    _snwprintf(name, MAX_PATH - 1, L"Z:\\tmp\\qv-small-%lu-%lu", GetCurrentProcessId(),
               GetTickCount());
    name[MAX_PATH - 1] = 0;
    *folder = name;
    std::string dir = unix_name(*folder);
    std::string script = "mkdir -p " + dir + " && mount -t tmpfs -o size=" +
                         std::to_string(bytes) + " qvsmall " + dir + " && touch " + dir +
                         "/.mounted; touch " + dir + ".done";
    std::wstring done = *folder + L".done";
    if (!run_shell(script, done)) {
        *why = "the mount script did not run";
        return false;
    }
    DeleteFileW(done.c_str());
    if (!file_exists(*folder + L"\\.mounted")) {
        RemoveDirectoryW(folder->c_str());
        *why = "could not mount a tmpfs (the tests are not running as root)";
        return false;
    }
    DeleteFileW((*folder + L"\\.mounted").c_str());
    return true;
}

void net_small_volume_unmount(const std::wstring &folder)
{
    std::string dir = unix_name(folder);
    std::wstring done = folder + L".done";
    run_shell("umount " + dir + "; rmdir " + dir + "; touch " + dir + ".done", done);
    DeleteFileW(done.c_str());
}
