#include "app/error_text.h"

#include <windows.h>

#include "app/app_info.h"
#include "app/text.h"

static const wchar_t SECURE_TEXT[] =
    L"the secure connection failed \x2014 check that this PC's date and time are correct";

enum { WINHTTP_FIRST_CODE = 12000, WINHTTP_LAST_CODE = 12999 };

struct FixedErrorText {
    unsigned long code;
    const wchar_t *text;
};

static const FixedErrorText FIXED_TEXTS[] = {
    {12002, L"the connection timed out"},
    {12007, L"no internet connection (" QV_UPDATE_HOST L" could not be found)"},
    {12029, L"could not connect to " QV_UPDATE_HOST},
    {12030, L"the connection was closed"},
    {12037, SECURE_TEXT},
    {12038, SECURE_TEXT},
    {12045, SECURE_TEXT},
    {12057, SECURE_TEXT},
    {12175, SECURE_TEXT},
};

static bool is_trailing_junk(wchar_t c)
{
    return c == L'\r' || c == L'\n' || c == L'.';
}

// WinHTTP's own codes have their texts in winhttp.dll, not in the system's table.
static DWORD format_message(unsigned long code, wchar_t *buffer, size_t capacity)
{
    DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE winhttp = NULL;
    if (code >= WINHTTP_FIRST_CODE && code <= WINHTTP_LAST_CODE)
        winhttp = GetModuleHandleW(L"winhttp.dll");
    flags |= winhttp ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    return FormatMessageW(flags, winhttp, code, 0, buffer, (DWORD)capacity, NULL);
}

const wchar_t *describe_error(unsigned long code, wchar_t *buffer, size_t capacity)
{
    if (capacity == 0) return buffer;
    for (const FixedErrorText &fixed : FIXED_TEXTS) {
        if (fixed.code == code) {
            copy_cut(buffer, capacity, fixed.text);
            return buffer;
        }
    }
    DWORD length = format_message(code, buffer, capacity);
    if (length > 0 && length < capacity) {
        while (length > 0 && is_trailing_junk(buffer[length - 1])) --length;
        buffer[length] = L'\0';
    } else {
        format_cut(buffer, capacity - 1, L"error %lu", code);
    }
    buffer[capacity - 1] = L'\0';
    return buffer;
}

void format_message(wchar_t *message, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    vformat_cut(message, MESSAGE_CHARS - 1, format, args);
    va_end(args);
}

void format_message_with_error(wchar_t *message, const wchar_t *format, unsigned long error)
{
    wchar_t reason[256];
    describe_error(error, reason, 256);
    format_message(message, format, reason);
}
