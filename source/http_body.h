// Reading the body of a response that open_http_request opened.
#pragma once
#include <windows.h>
#include <winhttp.h>

// Reads what the server sends, up to `limit` bytes, and terminates it (the
// buffer holds limit + 1 bytes); returns the number of bytes read. A read that
// fails ends the body, with its error in *error (0 when the body ended well).
int read_http_body(HINTERNET request, char *buffer, int limit, DWORD *error);
