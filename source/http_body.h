// Reading the body of a response that open_http_request opened.
#pragma once
#include <windows.h>
#include <winhttp.h>

// Reads what the server sends, up to `limit` bytes, and terminates it (the
// buffer holds limit + 1 bytes). A failure ends the body quietly; returns the
// number of bytes read.
int read_http_body(HINTERNET request, char *buffer, int limit);
