#include "source/http_proxy.h"

#include "app/log.h"
#include "app/text.h"
#include "source/http.h"

enum { KNOWN_HOSTS = 8, HOST_CHARS = 256 };

struct KnownProxy {
    wchar_t host[HOST_CHARS];
    ProxyChoice choice;
};

// The manifest thread and the job thread may both ask.
static SRWLOCK known_lock = SRWLOCK_INIT;
static KnownProxy known[KNOWN_HOSTS];
static int known_count;

static bool recall(const wchar_t *host, ProxyChoice *choice)
{
    bool found = false;
    AcquireSRWLockShared(&known_lock);
    for (int i = 0; i < known_count && !found; ++i) {
        found = _wcsicmp(known[i].host, host) == 0;
        if (found) *choice = known[i].choice;
    }
    ReleaseSRWLockShared(&known_lock);
    return found;
}

// A table full of other hosts keeps them; this host is then looked up each time.
static void remember(const wchar_t *host, const ProxyChoice *choice)
{
    AcquireSRWLockExclusive(&known_lock);
    if (known_count < KNOWN_HOSTS) {
        copy_cut(known[known_count].host, HOST_CHARS, host);
        known[known_count].choice = *choice;
        ++known_count;
    }
    ReleaseSRWLockExclusive(&known_lock);
}

void forget_proxy_choices(void)
{
    AcquireSRWLockExclusive(&known_lock);
    known_count = 0;
    ReleaseSRWLockExclusive(&known_lock);
}

static void name_proxy(ProxyChoice *choice, const wchar_t *proxy, const wchar_t *bypass)
{
    choice->named = true;
    copy_cut(choice->proxy, PROXY_TEXT_CHARS, proxy);
    copy_cut(choice->bypass, PROXY_BYPASS_CHARS, bypass ? bypass : L"");
}

static void free_proxy_texts(wchar_t *a, wchar_t *b, wchar_t *c)
{
    if (a) GlobalFree(a);
    if (b) GlobalFree(b);
    if (c) GlobalFree(c);
}

// Automatic detection (WPAD by DHCP and DNS) or a configuration script. True
// when it answered; an answer of DIRECT leaves the choice unnamed.
static bool ask_script(const wchar_t *url, const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG *options,
                       int timeouts_ms, ProxyChoice *choice, DWORD *error)
{
    WINHTTP_AUTOPROXY_OPTIONS autoproxy;
    ZeroMemory(&autoproxy, sizeof autoproxy);
    if (options->lpszAutoConfigUrl) {
        autoproxy.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        autoproxy.lpszAutoConfigUrl = options->lpszAutoConfigUrl;
    }
    if (options->fAutoDetect) {
        autoproxy.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        autoproxy.dwAutoDetectFlags =
            WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    HINTERNET session = WinHttpOpen(HTTP_USER_AGENT, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        *error = GetLastError();
        return false;
    }
    WinHttpSetTimeouts(session, timeouts_ms, timeouts_ms, timeouts_ms, timeouts_ms);
    WINHTTP_PROXY_INFO found;
    ZeroMemory(&found, sizeof found);
    BOOL answered = WinHttpGetProxyForUrl(session, url, &autoproxy, &found);
    // The Windows sign-in goes only to the script server that Internet Options
    // name, and only when it asks: whoever answers automatic detection on this
    // network (by DHCP or DNS) could be collecting sign-ins.
    if (!answered && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE && options->lpszAutoConfigUrl) {
        autoproxy.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        autoproxy.dwAutoDetectFlags = 0;
        autoproxy.fAutoLogonIfChallenged = TRUE;
        answered = WinHttpGetProxyForUrl(session, url, &autoproxy, &found);
    }
    if (!answered) *error = GetLastError();
    WinHttpCloseHandle(session);
    if (!answered) return false;
    if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && found.lpszProxy)
        name_proxy(choice, found.lpszProxy, found.lpszProxyBypass);
    free_proxy_texts(found.lpszProxy, found.lpszProxyBypass, NULL);
    return true;
}

// WinHTTP's own setting, for a PC whose Internet Options name no proxy.
static void take_winhttp_setting(ProxyChoice *choice)
{
    WINHTTP_PROXY_INFO setting;
    ZeroMemory(&setting, sizeof setting);
    if (!WinHttpGetDefaultProxyConfiguration(&setting)) return;
    if (setting.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && setting.lpszProxy)
        name_proxy(choice, setting.lpszProxy, setting.lpszProxyBypass);
    free_proxy_texts(setting.lpszProxy, setting.lpszProxyBypass, NULL);
}

static void look_up(const wchar_t *url, int timeouts_ms, ProxyChoice *choice, DWORD *error)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG options;
    ZeroMemory(&options, sizeof options);
    bool have_options = WinHttpGetIEProxyConfigForCurrentUser(&options) != FALSE;
    bool scripted = have_options && (options.fAutoDetect || options.lpszAutoConfigUrl) &&
                    ask_script(url, &options, timeouts_ms, choice, error);
    if (!scripted && options.lpszProxy && options.lpszProxy[0])
        name_proxy(choice, options.lpszProxy, options.lpszProxyBypass);
    else if (!scripted)
        take_winhttp_setting(choice);
    free_proxy_texts(options.lpszAutoConfigUrl, options.lpszProxy, options.lpszProxyBypass);
}

void choose_proxy(const wchar_t *url, const wchar_t *host, int timeouts_ms, ProxyChoice *choice)
{
    if (recall(host, choice)) return;
    ZeroMemory(choice, sizeof *choice);
    DWORD error = 0;
    // The log tells the real time of the lookup, whatever clock the seam plays.
    DWORD began = GetTickCount();
    look_up(url, timeouts_ms, choice, &error);
    DWORD took = GetTickCount() - began;
    remember(host, choice);
    const wchar_t *proxy = choice->named ? choice->proxy : L"none";
    if (error)
        write_log(L"proxy for %ls: %ls, looked up in %lu ms (automatic lookup: error %lu)", host,
                  proxy, took, error);
    else
        write_log(L"proxy for %ls: %ls, looked up in %lu ms", host, proxy, took);
}
