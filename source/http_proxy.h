// Which proxy carries the requests to a host: chosen once a run for each host,
// from the user's Internet Options (automatic detection, a configuration
// script, or a named proxy), else from WinHTTP's own setting (netsh winhttp).
#pragma once
#include <windows.h>
#include <winhttp.h>

enum { PROXY_TEXT_CHARS = 256, PROXY_BYPASS_CHARS = 1024 };

struct ProxyChoice {
    bool named;                          // false: straight to the host
    wchar_t proxy[PROXY_TEXT_CHARS];     // the proxy list, when named
    wchar_t bypass[PROXY_BYPASS_CHARS];  // hosts that go straight, when named
};

// The choice for `host` (the host of `url`). The first call for a host in a run
// looks it up, with `timeouts_ms` on the session that does it, and logs the
// choice with the time the lookup took; later calls answer from memory. A
// lookup cannot be interrupted: WPAD or a script may take as long as its
// timeouts allow.
void choose_proxy(const wchar_t *url, const wchar_t *host, int timeouts_ms, ProxyChoice *choice);

// Forgets every choice, as a new run would (for tests).
void forget_proxy_choices(void);
