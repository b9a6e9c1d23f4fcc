// Turns a Windows or WinHTTP error number into a short lower-case text
// without a final full stop, for use inside a user sentence.
#pragma once
#include <stddef.h>

const wchar_t *describe_error(unsigned long code, wchar_t *buffer, size_t capacity);
