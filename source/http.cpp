#include "source/http.h"

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "source/http_proxy.h"

// Older headers do not know TLS 1.3.
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

const wchar_t HTTP_USER_AGENT[] = L"quenvar-os-usb-writer/" QV_VERSION_TEXT;

const wchar_t PROXY_SIGN_IN_SENTENCE[] =
    L"The proxy server of this network asks for a sign-in that this program cannot give. "
    L"Ask for this PC to be let through the proxy, or use an ISO file.";

const wchar_t TLS_UPDATE_SENTENCE[] =
    L"This Windows 7 PC needs the Windows update that turns on TLS 1.2 (KB3140245) before it "
    L"can download quenvar OS; until it is installed, use an ISO file.";

BOOL(WINAPI *http_set_option)(HINTERNET, DWORD, LPVOID, DWORD) = WinHttpSetOption;

enum {
    HOST_CHARS = 256,
    URL_PATH_CHARS = 2048,
    URL_QUERY_CHARS = 1024,
    OBJECT_NAME_CHARS = 3072,
    RANGE_HEADER_CHARS = 80,
    HTTP_TIMEOUT_MS = 30000,
    TLS_1_0_TO_1_2 = 0xA80,
    SEND_ROUNDS = 4,  // WinHTTP may ask for a request to be sent again
};

// Set by the last session opened; a PC's answer does not change while it runs.
static volatile LONG secure_protocols_refused;

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
    return http_set_option(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                           sizeof protocols) != FALSE;
}

// A Windows that does not know TLS 1.3 refuses the whole set; then 1.0 to 1.2.
static void apply_session_settings(HINTERNET session)
{
    bool refused =
        !set_secure_protocols(session, TLS_1_0_TO_1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) &&
        !set_secure_protocols(session, TLS_1_0_TO_1_2);
    if (refused) write_log(L"secure protocols refused (%lu)", GetLastError());
    InterlockedExchange(&secure_protocols_refused, refused ? 1 : 0);
    WinHttpSetTimeouts(session, HTTP_TIMEOUT_MS, HTTP_TIMEOUT_MS, HTTP_TIMEOUT_MS,
                       HTTP_TIMEOUT_MS);
}

bool tls_update_needed(DWORD error)
{
    return secure_protocols_refused &&
           (error == ERROR_WINHTTP_CONNECTION_ERROR || error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR);
}

// WinHTTP's default proxy ignores the one a person sets in Internet Options,
// and many shop networks reach the internet only through one; a session opened
// with the proxy named (or with none, for DIRECT) is what every WinHTTP honours.
static HINTERNET open_session(const wchar_t *url, const wchar_t *host, bool *through_proxy)
{
    ProxyChoice proxy;
    choose_proxy(url, host, HTTP_TIMEOUT_MS, &proxy);
    *through_proxy = proxy.named;
    if (!proxy.named)
        return WinHttpOpen(HTTP_USER_AGENT, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    return WinHttpOpen(HTTP_USER_AGENT, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.proxy,
                       proxy.bypass[0] ? proxy.bypass : WINHTTP_NO_PROXY_BYPASS, 0);
}

static void set_autologon_policy(HINTERNET request, DWORD policy)
{
    http_set_option(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy);
}

// The proxy's own scheme when it is one that the Windows sign-in answers.
static DWORD sign_in_scheme(DWORD supported, DWORD first)
{
    if (first == WINHTTP_AUTH_SCHEME_NEGOTIATE || first == WINHTTP_AUTH_SCHEME_NTLM) return first;
    if (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    if (supported & WINHTTP_AUTH_SCHEME_NTLM) return WINHTTP_AUTH_SCHEME_NTLM;
    return 0;  // Basic and Digest want a name and a password
}

// After a 407 from the proxy: the user's Windows sign-in for the proxy only.
// WinHTTP uses it under the MEDIUM policy, which counts the proxy as the
// intranet; servers on the internet still get nothing.
static bool offer_sign_in_to_proxy(HINTERNET request)
{
    DWORD supported = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) ||
        target != WINHTTP_AUTH_TARGET_PROXY)
        return false;
    DWORD scheme = sign_in_scheme(supported, first);
    if (!scheme) return false;
    set_autologon_policy(request, WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM);
    return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, NULL, NULL, NULL) !=
           FALSE;
}

static void add_range_header(HINTERNET request, uint64_t start)
{
    wchar_t header[RANGE_HEADER_CHARS];
    format_cut(header, RANGE_HEADER_CHARS - 1, L"Range: bytes=%I64u-", start);
    WinHttpAddRequestHeaders(request, header, (DWORD)-1, WINHTTP_ADDREQ_FLAG_ADD);
}

// Sends the request and reads the status of its answer.
static DWORD send_and_receive(HINTERNET request, DWORD *status)
{
    for (int round = 1;; ++round) {
        if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                               0, 0, 0) &&
            WinHttpReceiveResponse(request, NULL))
            break;
        DWORD error = failure_code();
        if (error != ERROR_WINHTTP_RESEND_REQUEST || round == SEND_ROUNDS) return error;
    }
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
        return failure_code();
    *status = code;
    return 0;
}

DWORD open_http_request(HttpRequest *http, const wchar_t *url, uint64_t start, DWORD *status)
{
    http->session = NULL;
    http->connection = NULL;
    http->request = NULL;
    *status = 0;

    UrlParts parts;
    if (!crack_url(url, &parts)) return failure_code();
    wchar_t object_name[OBJECT_NAME_CHARS];
    format_cut(object_name, OBJECT_NAME_CHARS - 1, L"%ls%ls", parts.path, parts.query);

    bool through_proxy = false;
    http->session = open_session(url, parts.host, &through_proxy);
    if (!http->session) return failure_code();
    apply_session_settings(http->session);

    http->connection = WinHttpConnect(http->session, parts.host, parts.port, 0);
    if (!http->connection) return failure_code();

    http->request = WinHttpOpenRequest(http->connection, L"GET", object_name, NULL,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       parts.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!http->request) return failure_code();
    // Not even an intranet server, nor one that a redirect leads to, gets the sign-in.
    set_autologon_policy(http->request, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
    if (start != 0) add_range_header(http->request, start);

    DWORD error = send_and_receive(http->request, status);
    if (error == 0 && *status == HTTP_STATUS_PROXY_AUTH_REQ && through_proxy &&
        offer_sign_in_to_proxy(http->request))
        error = send_and_receive(http->request, status);
    return error;
}

void find_proxy_for(const wchar_t *url)
{
    UrlParts parts;
    ProxyChoice proxy;
    if (crack_url(url, &parts)) choose_proxy(url, parts.host, HTTP_TIMEOUT_MS, &proxy);
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
