#include "tests/support/host_shell.h"

#include <stdlib.h>

#include <vector>

#include "tests/support/test_files.h"

namespace {

const DWORD POLL_MS = 50;

typedef char *(CDECL *UnixFileName)(const wchar_t *);

}  // namespace

std::string host_source_folder(void)
{
    std::string self = __FILE__;
    return self.substr(0, self.rfind("/tests/support/"));
}

std::string host_path(const std::wstring &windows_path)
{
    UnixFileName unix_file_name = (UnixFileName)(void *)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (!unix_file_name) return std::string();
    char *name = unix_file_name(windows_path.c_str());
    if (!name) return std::string();
    std::string path = name;
    HeapFree(GetProcessHeap(), 0, name);
    return path;
}

std::string host_quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void release_started_program(PROCESS_INFORMATION *started)
{
    if (!started->hProcess) return;
    CloseHandle(started->hThread);
    CloseHandle(started->hProcess);
}

// Wine starts a Linux program handed to CreateProcess but gives back neither
// a handle nor an exit code, so the script leaves its code in a file, written
// whole under another name first and then renamed.
int run_host_command(const std::string &command, const std::wstring &folder,
                     std::string *output, DWORD timeout_ms)
{
    static LONG counter;
    output->clear();
    std::wstring base = folder + L"\\host-command-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(InterlockedIncrement(&counter));
    std::wstring script = base + L".sh", out = base + L".out", code = base + L".rc";
    std::string unix_folder = host_path(folder), unix_script = host_path(script);
    std::string unix_out = host_path(out), unix_code = host_path(code);
    if (unix_folder.empty() || unix_script.empty()) return -1;
    std::string body = "cd " + host_quote(unix_folder) + " || exit 1\n(\n" + command + "\n) > " +
                       host_quote(unix_out) + " 2>&1\necho $? > " + host_quote(unix_code + ".part") +
                       "\nmv " + host_quote(unix_code + ".part") + " " + host_quote(unix_code) + "\n";
    if (!write_whole_file(script, body)) return -1;

    std::wstring line = L"/bin/sh \"" + std::wstring(unix_script.begin(), unix_script.end()) + L"\"";
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    int exit_code = -1;
    if (CreateProcessW(NULL, writable.data(), NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL,
                       &startup, &process)) {
        release_started_program(&process);
        for (DWORD waited = 0; waited < timeout_ms && !file_exists(code); waited += POLL_MS)
            Sleep(POLL_MS);
        if (file_exists(code)) exit_code = atoi(read_whole_file(code).c_str());
    }
    *output = read_whole_file(out);
    DeleteFileW(script.c_str());
    DeleteFileW(out.c_str());
    DeleteFileW(code.c_str());
    return exit_code;
}
