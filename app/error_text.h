// Turns a Windows or WinHTTP error number into a short lower-case text
// without a final full stop, for use inside a user sentence.
#pragma once
#include <stddef.h>

const wchar_t *describe_error(unsigned long code, wchar_t *buffer, size_t capacity);

// One user sentence into `message` (MESSAGE_CHARS wide characters), cut to fit.
void format_message(wchar_t *message, const wchar_t *format, ...);
// The same, with the error's text from describe_error filling the one %ls of `format`.
void format_message_with_error(wchar_t *message, const wchar_t *format, unsigned long error);
