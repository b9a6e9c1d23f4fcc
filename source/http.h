// One HTTP GET over WinHTTP, made synchronously on a worker thread.
#pragma once
#include <windows.h>
#include <winhttp.h>
#include <stdint.h>

extern const wchar_t HTTP_USER_AGENT[];

// What the user reads when a proxy still answers 407 (HTTP_STATUS_PROXY_AUTH_REQ)
// after the Windows sign-in was offered to it: no attempt will do better.
extern const wchar_t PROXY_SIGN_IN_SENTENCE[];

// What the user reads when Windows refused the TLS 1.2 setting and a secure
// connection then failed (tls_update_needed): no attempt will do better.
extern const wchar_t TLS_UPDATE_SENTENCE[];

struct HttpRequest {
    HINTERNET session;
    HINTERNET connection;
    HINTERNET request;
};

// Sends a GET for `url` (http or https), from byte `start` when it is not 0,
// and waits for the response headers. Returns 0 with the server's status in
// `status` (any status, 404 and 416 included), or the Windows error code of
// the step that failed. Whatever handles were made stay in `http` for the
// caller to close with close_http_request, on every outcome.
//
// The Windows sign-in is never sent to a server. A proxy that answers 407
// and accepts the sign-in (Negotiate or NTLM) is given it, in its own scheme,
// and the request is sent once more; its answer is the status returned.
DWORD open_http_request(HttpRequest *http, const wchar_t *url, uint64_t start, DWORD *status);

// Chooses the proxy for the host of `url` now, if this run has not yet (see
// choose_proxy). A caller that can be stopped calls it before open_http_request,
// whose first request to a host would otherwise include the lookup, and then
// looks at the cancel flag.
void find_proxy_for(const wchar_t *url);

// Closes the request, the connection and the session, those that exist, in
// that order, and clears them.
void close_http_request(HttpRequest *http);

// True when `error` from open_http_request is a failed secure connection on a
// Windows that refused the setting that turns on TLS 1.1 and 1.2 (Windows 7
// without KB3140245): the handshake then offers only SSL 3 and TLS 1.0, which
// the update host does not take. WinHTTP reports such a handshake as 12030
// (an incompatible protocol) or 12157 (a secure-channel error); 12175 is a
// certificate the PC does not trust, or a wrong clock, and keeps its own
// sentence. An error met after the host has answered is never one of these.
bool tls_update_needed(DWORD error);

// WinHttpSetOption for the session and request settings above; tests rebind
// it to refuse the secure-protocol setting as Windows 7 without its update does.
extern BOOL(WINAPI *http_set_option)(HINTERNET handle, DWORD option, LPVOID value, DWORD bytes);
