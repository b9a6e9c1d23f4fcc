// Bounded wide-text formatting: every text is cut to its buffer, never overflows.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// Formats with the runtime's wide printf conventions (%ls, %hs, %lu, %I64u) and
// at most `limit` characters, then forces a terminator at position `limit`.
// The buffer must hold limit + 1 characters.
void vformat_cut(wchar_t *buffer, size_t limit, const wchar_t *format, va_list args);
void format_cut(wchar_t *buffer, size_t limit, const wchar_t *format, ...);

// Copies at most capacity - 1 characters and always terminates.
void copy_cut(wchar_t *buffer, size_t capacity, const wchar_t *text);

enum { SIZE_TEXT_CHARS = 32 };

// "%I64u MB" below 1 GiB (rounded down), "%.1f GB" from 1 GiB on.
void format_size_text(uint64_t bytes, wchar_t *buffer, size_t capacity);
