// One HTTP GET over WinHTTP, made synchronously on a worker thread.
#pragma once
#include <windows.h>
#include <winhttp.h>
#include <stdint.h>

enum { PROXY_TEXT_CHARS = 256 };

// What the user reads when a proxy still answers 407 (HTTP_STATUS_PROXY_AUTH_REQ)
// after the Windows sign-in was offered to it: no attempt will do better.
extern const wchar_t PROXY_SIGN_IN_SENTENCE[];

struct HttpRequest {
    HINTERNET session;
    HINTERNET connection;
    HINTERNET request;
    // The proxy that the user's Internet Options chose for this request;
    // empty when they chose none and WinHTTP's own setting applies.
    wchar_t proxy[PROXY_TEXT_CHARS];
};

// Sends a GET for `url` (http or https), from byte `start` when it is not 0,
// and waits for the response headers. Returns 0 with the server's status in
// `status` (any status, 404 and 416 included), or the Windows error code of
// the step that failed. Whatever handles were made stay in `http` for the
// caller to close with close_http_request, on every outcome.
DWORD open_http_request(HttpRequest *http, const wchar_t *url, uint64_t start, DWORD *status);

// Closes the request, the connection and the session, those that exist, in
// that order, and clears them.
void close_http_request(HttpRequest *http);
