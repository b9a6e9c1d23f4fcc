#include "app/log.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include "app/app_info.h"
#include "app/text.h"

enum { LOG_LINE_CHARS = 1024, LOG_PATH_CHARS = 276, LOG_UTF8_BYTES = 3072, LOG_TEXT_LIMIT = 1020 };

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
