#include "app/log.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include "app/app_info.h"
#include "app/text.h"

enum { LOG_LINE_CHARS = 1024, LOG_PATH_CHARS = 276, LOG_UTF8_BYTES = 3072, LOG_TEXT_LIMIT = 1020 };

// One event is one line: a line break inside a logged text (an image path from
// the command line, a text from the network) could otherwise forge lines such
// as a verdict. Control characters and the Unicode line breaks become blanks.
static void blank_control_characters(wchar_t *text)
{
    for (; *text; ++text)
        if (*text < 0x20 || *text == 0x85 || *text == 0x2028 || *text == 0x2029) *text = L' ';
}

void write_log(const wchar_t *format, ...)
{
    wchar_t line[LOG_LINE_CHARS];
    wchar_t path[LOG_PATH_CHARS];
    char utf8[LOG_UTF8_BYTES];

    SYSTEMTIME now;
    GetLocalTime(&now);
    format_cut(line, 64, L"%04d-%02d-%02d %02d:%02d:%02d  ", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond);
    size_t stamp = wcslen(line);

    va_list args;
    va_start(args, format);
    _vsnwprintf(line + stamp, LOG_TEXT_LIMIT + 1 - stamp, format, args);
    va_end(args);
    line[LOG_TEXT_LIMIT] = L'\0';
    blank_control_characters(line + stamp);
    wcscat(line, L"\r\n");

    // Without a folder the path would name the root of the current drive.
    if (app_folder[0] == L'\0') return;
    format_cut(path, LOG_PATH_CHARS - 1, L"%ls\\writer.log", app_folder);

    if (WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8, NULL, NULL) == 0)
        return;
    FILE *file = _wfopen(path, L"ab");
    if (!file) return;
    fwrite(utf8, 1, strlen(utf8), file);
    fclose(file);
}
