#include "source/http.h"

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"

// Older headers do not know TLS 1.3.
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

const wchar_t PROXY_SIGN_IN_SENTENCE[] =
    L"The proxy server of this network asks for a sign-in that this program cannot give. "
    L"Ask for this PC to be let through the proxy, or use an ISO file.";

enum {
    HOST_CHARS = 256,
    URL_PATH_CHARS = 2048,
    URL_QUERY_CHARS = 1024,
    OBJECT_NAME_CHARS = 3072,
    RANGE_HEADER_CHARS = 80,
    HTTP_TIMEOUT_MS = 30000,
    TLS_1_0_TO_1_2 = 0xA80,
};

static const wchar_t USER_AGENT[] = L"quenvar-os-usb-writer/" QV_VERSION_TEXT;

struct UrlParts {
    wchar_t host[HOST_CHARS];
    wchar_t path[URL_PATH_CHARS];
    wchar_t query[URL_QUERY_CHARS];
    INTERNET_PORT port;
    bool secure;
};

// A failed step whose error code reads 0 must still count as a failure.
static DWORD failure_code(void)
{
    DWORD code = GetLastError();
    return code ? code : ERROR_WINHTTP_INTERNAL_ERROR;
}

static bool crack_url(const wchar_t *url, UrlParts *parts)
{
    URL_COMPONENTS components;
    ZeroMemory(&components, sizeof components);
    components.dwStructSize = sizeof components;
    components.lpszHostName = parts->host;
    components.dwHostNameLength = HOST_CHARS;
    components.lpszUrlPath = parts->path;
    components.dwUrlPathLength = URL_PATH_CHARS;
    components.lpszExtraInfo = parts->query;
    components.dwExtraInfoLength = URL_QUERY_CHARS;
    if (!WinHttpCrackUrl(url, 0, 0, &components)) return false;
    parts->port = components.nPort;
    parts->secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

static bool set_secure_protocols(HINTERNET session, DWORD protocols)
{
    return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                            sizeof protocols) != FALSE;
}

// A Windows that does not know TLS 1.3 refuses the whole set; then 1.0 to 1.2.
static void apply_session_settings(HINTERNET session)
{
    if (!set_secure_protocols(session, TLS_1_0_TO_1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) &&
        !set_secure_protocols(session, TLS_1_0_TO_1_2))
        write_log(L"secure protocols refused (%lu)", GetLastError());
    WinHttpSetTimeouts(session, HTTP_TIMEOUT_MS, HTTP_TIMEOUT_MS, HTTP_TIMEOUT_MS,
                       HTTP_TIMEOUT_MS);
}

// A proxy from automatic detection or a configuration script, when the
// user's Internet Options ask for one and it answers for this address.
static bool proxy_from_script(HINTERNET session, const wchar_t *url,
                              const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG *options,
                              WINHTTP_PROXY_INFO *found)
{
    if (!options->fAutoDetect && !options->lpszAutoConfigUrl) return false;
    WINHTTP_AUTOPROXY_OPTIONS autoproxy;
    ZeroMemory(&autoproxy, sizeof autoproxy);
    if (options->lpszAutoConfigUrl) {
        autoproxy.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        autoproxy.lpszAutoConfigUrl = options->lpszAutoConfigUrl;
    }
    if (options->fAutoDetect) {
        autoproxy.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        autoproxy.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    autoproxy.fAutoLogonIfChallenged = TRUE;
    return WinHttpGetProxyForUrl(session, url, &autoproxy, found) != FALSE;
}

static void free_proxy_texts(wchar_t *a, wchar_t *b, wchar_t *c)
{
    if (a) GlobalFree(a);
    if (b) GlobalFree(b);
    if (c) GlobalFree(c);
}

// WinHTTP's default ignores the proxy a person sets in Internet Options, and
// many shop networks reach the internet only through one. A session opened
// with the proxy named is what every WinHTTP honours.
static HINTERNET open_session(const wchar_t *url, wchar_t proxy[PROXY_TEXT_CHARS])
{
    proxy[0] = L'\0';
    HINTERNET session = WinHttpOpen(USER_AGENT, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG options;
    ZeroMemory(&options, sizeof options);
    if (!session || !WinHttpGetIEProxyConfigForCurrentUser(&options)) return session;
    WINHTTP_PROXY_INFO chosen;
    ZeroMemory(&chosen, sizeof chosen);
    bool scripted = proxy_from_script(session, url, &options, &chosen);
    if (!scripted && options.lpszProxy && options.lpszProxy[0]) {
        chosen.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        chosen.lpszProxy = options.lpszProxy;
        chosen.lpszProxyBypass = options.lpszProxyBypass;
    }
    if (chosen.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && chosen.lpszProxy) {
        HINTERNET named = WinHttpOpen(USER_AGENT, WINHTTP_ACCESS_TYPE_NAMED_PROXY, chosen.lpszProxy,
                                      chosen.lpszProxyBypass, 0);
        if (named) {
            WinHttpCloseHandle(session);
            session = named;
            copy_cut(proxy, PROXY_TEXT_CHARS, chosen.lpszProxy);
        }
    }
    if (scripted) free_proxy_texts(chosen.lpszProxy, chosen.lpszProxyBypass, NULL);
    free_proxy_texts(options.lpszAutoConfigUrl, options.lpszProxy, options.lpszProxyBypass);
    return session;
}

// The proxy named by WinHTTP's own setting (netsh winhttp), used when the
// Internet Options name none.
static bool winhttp_setting_names_proxy(void)
{
    WINHTTP_PROXY_INFO setting;
    ZeroMemory(&setting, sizeof setting);
    if (!WinHttpGetDefaultProxyConfiguration(&setting)) return false;
    bool named = setting.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && setting.lpszProxy;
    free_proxy_texts(setting.lpszProxy, setting.lpszProxyBypass, NULL);
    return named;
}

// A proxy that wants the Windows sign-in (NTLM, Negotiate) gets the user's
// own; WinHTTP offers it to intranet servers only unless told otherwise.
static void allow_proxy_sign_in(const HttpRequest *http)
{
    if (!http->proxy[0] && !winhttp_setting_names_proxy()) return;
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(http->request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy);
}

static void add_range_header(HINTERNET request, uint64_t start)
{
    wchar_t header[RANGE_HEADER_CHARS];
    format_cut(header, RANGE_HEADER_CHARS - 1, L"Range: bytes=%I64u-", start);
    WinHttpAddRequestHeaders(request, header, (DWORD)-1, WINHTTP_ADDREQ_FLAG_ADD);
}

DWORD open_http_request(HttpRequest *http, const wchar_t *url, uint64_t start, DWORD *status)
{
    http->session = NULL;
    http->connection = NULL;
    http->request = NULL;
    http->proxy[0] = L'\0';
    *status = 0;

    UrlParts parts;
    if (!crack_url(url, &parts)) return failure_code();
    wchar_t object_name[OBJECT_NAME_CHARS];
    format_cut(object_name, OBJECT_NAME_CHARS - 1, L"%ls%ls", parts.path, parts.query);

    http->session = open_session(url, http->proxy);
    if (!http->session) return failure_code();
    apply_session_settings(http->session);

    http->connection = WinHttpConnect(http->session, parts.host, parts.port, 0);
    if (!http->connection) return failure_code();

    http->request = WinHttpOpenRequest(http->connection, L"GET", object_name, NULL,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       parts.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!http->request) return failure_code();
    allow_proxy_sign_in(http);
    if (start != 0) add_range_header(http->request, start);

    if (!WinHttpSendRequest(http->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return failure_code();
    if (!WinHttpReceiveResponse(http->request, NULL)) return failure_code();

    DWORD code = 0;
    DWORD size = sizeof code;
    if (!WinHttpQueryHeaders(http->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
        return failure_code();
    *status = code;
    return 0;
}

void close_http_request(HttpRequest *http)
{
    if (http->request) WinHttpCloseHandle(http->request);
    if (http->connection) WinHttpCloseHandle(http->connection);
    if (http->session) WinHttpCloseHandle(http->session);
    http->request = NULL;
    http->connection = NULL;
    http->session = NULL;
}
