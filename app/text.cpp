#include "app/text.h"

#include <stdio.h>
#include <wchar.h>

void vformat_cut(wchar_t *buffer, size_t limit, const wchar_t *format, va_list args)
{
    _vsnwprintf(buffer, limit, format, args);
    buffer[limit] = L'\0';
}

void format_cut(wchar_t *buffer, size_t limit, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    vformat_cut(buffer, limit, format, args);
    va_end(args);
}

void copy_cut(wchar_t *buffer, size_t capacity, const wchar_t *text)
{
    if (capacity == 0) return;
    size_t i = 0;
    for (; i + 1 < capacity && text[i]; ++i) buffer[i] = text[i];
    buffer[i] = L'\0';
}

void format_size_text(uint64_t bytes, wchar_t *buffer, size_t capacity)
{
    const uint64_t gib = 1073741824ULL;
    if (capacity == 0) return;
    if (bytes < gib)
        format_cut(buffer, capacity - 1, L"%I64u MB", bytes / 1048576ULL);
    else
        format_cut(buffer, capacity - 1, L"%.1f GB", (double)bytes / (double)gib);
}
