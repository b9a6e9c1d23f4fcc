#include "tests/sim_build/plug_watch.h"

#include <windows.h>
#include <dbt.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/support/sim_load.h"
#include "ui/status.h"

namespace {

const DWORD POLL_MS = 100;
const DWORD SEND_TIMEOUT_MS = 10000;
const GUID DISK_INTERFACE_CLASS = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

std::wstring watched_path;
volatile LONG stop_requested = 0;
HANDLE watch_thread = NULL;

std::string read_text(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got > 0) text.append(chunk, got);
    CloseHandle(file);
    return text;
}

void note(const SimPresenceChange &change, DWORD tick)
{
    char line[96];
    int length = snprintf(line, sizeof line, "%lu %s disk %d\r\n", tick,
                          change.present ? "arrival" : "removal", change.disk);
    HANDLE file = CreateFileW((watched_path + L".seen").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD done = 0;
    WriteFile(file, line, (DWORD)length, &done, NULL);
    CloseHandle(file);
}

// What Windows sends for a disk interface that arrives or goes away.
void send_device_change(const SimPresenceChange &change)
{
    struct {
        DEV_BROADCAST_DEVICEINTERFACE_W header;
        wchar_t room[128];
    } broadcast = {};
    _snwprintf(broadcast.header.dbcc_name, 127,
               L"\\\\?\\USBSTOR#Disk&Ven_Sim&Prod_Disk_%d#%d&0#"
               L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
               change.disk, change.disk);
    broadcast.header.dbcc_size = (DWORD)(sizeof broadcast.header +
                                         wcslen(broadcast.header.dbcc_name) * sizeof(wchar_t));
    broadcast.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast.header.dbcc_classguid = DISK_INTERFACE_CLASS;
    WPARAM event = change.present ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    HWND window = main_window;
    DWORD_PTR answer = 0;
    DWORD sent_at = GetTickCount();
    if (window)
        SendMessageTimeoutW(window, WM_DEVICECHANGE, event, (LPARAM)&broadcast, SMTO_NORMAL,
                            SEND_TIMEOUT_MS, &answer);
    note(change, sent_at);
}

DWORD WINAPI watch(LPVOID)
{
    std::string last = read_text(watched_path);
    while (!InterlockedCompareExchange(&stop_requested, 0, 0)) {
        Sleep(POLL_MS);
        std::string text = read_text(watched_path);
        if (text.empty() || text == last) continue;
        std::vector<SimPresenceChange> changes;
        if (!sim_apply_presence_text(text.c_str(), &changes)) continue;
        last = text;
        for (const SimPresenceChange &change : changes) send_device_change(change);
    }
    return 0;
}

}  // namespace

void start_plug_watch(const wchar_t *machine_path)
{
    watched_path = machine_path;
    watch_thread = CreateThread(NULL, 0, watch, NULL, 0, NULL);
}

void stop_plug_watch(void)
{
    if (!watch_thread) return;
    InterlockedExchange(&stop_requested, 1);
    WaitForSingleObject(watch_thread, INFINITE);
    CloseHandle(watch_thread);
    watch_thread = NULL;
}
