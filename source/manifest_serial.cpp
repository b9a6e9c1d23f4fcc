#include "source/manifest_serial.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"

enum { SERIAL_TEXT_BYTES = 32 };

static bool serial_seen;
static uint64_t highest_serial;

static void serial_path(wchar_t path[APP_PATH_CHARS], const wchar_t *suffix)
{
    format_cut(path, APP_PATH_CHARS - 1, L"%ls\\" MANIFEST_SERIAL_FILE L"%ls", app_folder, suffix);
}

// Only digits, then at most a line end; false for anything else, or for a
// number past 64 bits.
static bool parse_serial(const char *text, uint64_t *serial)
{
    uint64_t value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned digit = (unsigned)(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (p == text || (*p && strcmp(p, "\n") != 0 && strcmp(p, "\r\n") != 0)) return false;
    *serial = value;
    return true;
}

enum SerialFile { SERIAL_FILE_READ, SERIAL_FILE_MISSING, SERIAL_FILE_DAMAGED, SERIAL_FILE_HELD };

// A file that cannot be opened for another reason than its absence (a scanner
// holding it, say) is not one that was never written.
static SerialFile read_serial_file(uint64_t *serial, DWORD *error)
{
    wchar_t path[APP_PATH_CHARS];
    serial_path(path, L"");
    DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(path, GENERIC_READ, sharing, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND
                   ? SERIAL_FILE_MISSING
                   : SERIAL_FILE_HELD;
    }
    char text[SERIAL_TEXT_BYTES + 1];
    DWORD got = 0;
    BOOL read = ReadFile(file, text, SERIAL_TEXT_BYTES, &got, NULL);
    *error = read ? 0 : GetLastError();
    CloseHandle(file);
    if (!read) return SERIAL_FILE_HELD;
    text[got] = '\0';
    return got < SERIAL_TEXT_BYTES && parse_serial(text, serial) ? SERIAL_FILE_READ
                                                                 : SERIAL_FILE_DAMAGED;
}

void load_manifest_serial(void)
{
    highest_serial = 0;
    DWORD error = 0;
    SerialFile state = read_serial_file(&highest_serial, &error);
    serial_seen = state == SERIAL_FILE_READ;
    if (state == SERIAL_FILE_MISSING)
        write_log(L"manifest serial: none seen yet (no %ls)", MANIFEST_SERIAL_FILE);
    else if (state == SERIAL_FILE_DAMAGED)
        write_log(L"manifest serial: %ls is damaged; none seen", MANIFEST_SERIAL_FILE);
    else if (state == SERIAL_FILE_HELD)
        write_log(L"manifest serial: %ls could not be read (error %lu); none seen",
                  MANIFEST_SERIAL_FILE, error);
}

bool manifest_serial_seen(uint64_t *highest)
{
    *highest = highest_serial;
    return serial_seen;
}

// As a download is kept: the whole text in a file of its own, then moved in
// place of the old one, so that a crash leaves one or the other.
static DWORD write_serial_file(uint64_t serial)
{
    wchar_t path[APP_PATH_CHARS], temporary[APP_PATH_CHARS];
    serial_path(path, L"");
    serial_path(temporary, L".tmp");
    char text[SERIAL_TEXT_BYTES];
    DWORD length = (DWORD)snprintf(text, sizeof text, "%llu\n", (unsigned long long)serial);
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD written = 0, error = 0;
    if (!WriteFile(file, text, length, &written, NULL) || written != length ||
        !FlushFileBuffers(file))
        error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    CloseHandle(file);
    if (!error && !MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error) DeleteFileW(temporary);
    return error;
}

void keep_manifest_serial(uint64_t serial)
{
    if (serial_seen && serial <= highest_serial) return;
    serial_seen = true;
    highest_serial = serial;
    // The file only ever grows: it may hold more than this run could read at
    // start-up, or than another run of the program has kept since.
    uint64_t in_file = 0;
    DWORD error = 0;
    if (read_serial_file(&in_file, &error) == SERIAL_FILE_READ && in_file >= serial) {
        highest_serial = in_file;
        return;
    }
    // Kept in memory all the same: this run refuses older manifests.
    error = write_serial_file(serial);
    if (error) write_log(L"manifest serial %I64u not kept (error %lu)", serial, error);
}
