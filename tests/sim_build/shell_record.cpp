#include "tests/sim_build/shell_record.h"

#include <windows.h>

#include "ui/window_shell.h"

namespace {

std::wstring record_path;
int taskbar_marker;  // stands for the taskbar list; never called through

ITaskbarList3 *open_taskbar(void) { return (ITaskbarList3 *)&taskbar_marker; }
void close_taskbar(ITaskbarList3 *) {}

HRESULT set_value(ITaskbarList3 *, HWND, ULONGLONG completed, ULONGLONG total)
{
    note_shell("taskbar value " + std::to_string(completed) + "/" + std::to_string(total));
    return S_OK;
}

// TBPF_NOPROGRESS 0, INDETERMINATE 1, NORMAL 2, ERROR 4, PAUSED 8.
HRESULT set_state(ITaskbarList3 *, HWND, TBPFLAG state)
{
    note_shell("taskbar state " + std::to_string((int)state));
    return S_OK;
}

BOOL WINAPI flash(PFLASHWINFO info)
{
    note_shell("flash " + std::to_string(info->dwFlags));
    return TRUE;
}

BOOL WINAPI block_reason(HWND, LPCWSTR reason)
{
    char text[512] = "";
    WideCharToMultiByte(CP_UTF8, 0, reason, -1, text, sizeof text - 1, NULL, NULL);
    note_shell(std::string("block reason ") + text);
    return TRUE;
}

BOOL WINAPI block_reason_removed(HWND)
{
    note_shell("block reason removed");
    return TRUE;
}

}  // namespace

void start_shell_record(const wchar_t *machine_path)
{
    record_path = std::wstring(machine_path) + L".shell";
    DeleteFileW(record_path.c_str());
    window_shell = {open_taskbar, close_taskbar, set_value, set_state, flash, block_reason,
                    block_reason_removed};
}

void note_shell(const std::string &line)
{
    HANDLE file = CreateFileW(record_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                              OPEN_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, (line + "\r\n").data(), (DWORD)line.size() + 2, &written, NULL);
    CloseHandle(file);
}
