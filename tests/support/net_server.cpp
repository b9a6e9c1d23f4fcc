#include "tests/support/net_server.h"

#include <windows.h>
#include <winhttp.h>

#include "tests/support/host_shell.h"

namespace {

const wchar_t HELLO[] = L"quenvar-update-server 4";
// A server from an older build answers the same hello but lacks these.
const char FEATURES[] = "tls connect root sign";
const DWORD START_WAIT_MS = 30000;
const int IDLE_EXIT_SECONDS = 300;
const int ACQUIRE_ROUNDS = 5;

unsigned https_port(void)
{
    const wchar_t *host = QV_UPDATE_HOST;
    const wchar_t *colon = wcsrchr(host, L':');
    return colon ? (unsigned)_wtoi(colon + 1) : 443u;
}

// The plain-HTTP port that carries control requests and the benchmark.
unsigned control_port(void)
{
    return https_port() + 1;
}

std::wstring widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

bool control_request(const std::string &verb, const std::string &body, std::string *answer,
                     DWORD timeout_ms = 30000)
{
    answer->clear();
    HINTERNET session = WinHttpOpen(L"qv-tests", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return false;
    WinHttpSetTimeouts(session, 2000, 2000, timeout_ms, timeout_ms);
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", (INTERNET_PORT)control_port(), 0);
    HINTERNET request = connection
        ? WinHttpOpenRequest(connection, L"POST", widen("/__control/" + verb).c_str(), NULL,
                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
        : NULL;
    DWORD status = 0;
    DWORD size = sizeof status;
    bool ok = request &&
              WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, (LPVOID)body.data(),
                                 (DWORD)body.size(), (DWORD)body.size(), 0) &&
              WinHttpReceiveResponse(request, NULL) &&
              WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                  WINHTTP_NO_HEADER_INDEX) &&
              status == 200;
    char chunk[65536];
    DWORD got = 0;
    while (ok && WinHttpReadData(request, chunk, sizeof chunk, &got) && got > 0)
        answer->append(chunk, got);
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}

std::string control(const std::string &verb, const std::string &body = "")
{
    std::string answer;
    control_request(verb, body, &answer);
    return answer;
}

enum ServerState { SERVER_NONE, SERVER_OURS, SERVER_FOREIGN };

// A busy server may answer slowly; only a different answer marks another
// build's server, which is then replaced.
ServerState server_state(void)
{
    const DWORD patience_ms = 10000;
    std::string answer;
    if (!control_request("hello", "", &answer, patience_ms)) return SERVER_NONE;
    if (widen(answer) != HELLO) return SERVER_FOREIGN;
    if (!control_request("features", "", &answer, patience_ms)) return SERVER_NONE;
    return answer.find(FEATURES) == 0 ? SERVER_OURS : SERVER_FOREIGN;
}

bool server_answers(void)
{
    return server_state() == SERVER_OURS;
}

// Z:\a\b -> /a/b: the server is a Linux process.
std::wstring unix_path(const std::wstring &path)
{
    std::wstring unix = path;
    if (unix.size() >= 2 && (unix[0] == L'Z' || unix[0] == L'z') && unix[1] == L':')
        unix.erase(0, 2);
    for (wchar_t &c : unix)
        if (c == L'\\') c = L'/';
    return unix;
}

std::wstring source_folder(void)
{
    std::wstring self = widen(__FILE__);
    return self.substr(0, self.rfind(L"/tests/support/"));
}

// The test programs live in <build>/bin.
std::wstring build_folder(void)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring path(self, length);
    path = path.substr(0, path.find_last_of(L"\\/"));
    return unix_path(path.substr(0, path.find_last_of(L"\\/")));
}

// Wine runs a Linux program handed to CreateProcess; the server then leaves
// the test's process group and its output pipes on its own.
bool start_server(std::string *error)
{
    wchar_t command[2048];
    std::wstring build = build_folder();
    _snwprintf(command, 2047,
               L"/usr/bin/python3 %ls/tests/server/update_server.py --https-port %u "
               L"--http-port %u --cert %ls/test-ca/server.pem --daemon --log "
               L"%ls/update-server.log --idle-exit %d",
               source_folder().c_str(), https_port(), control_port(), build.c_str(),
               build.c_str(), IDLE_EXIT_SECONDS);
    command[2047] = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL,
                        &startup, &process)) {
        *error = "could not start /usr/bin/python3 for the update server";
        return false;
    }
    release_started_program(&process);
    for (DWORD waited = 0; waited < START_WAIT_MS; waited += 100) {
        if (server_answers()) return true;
        Sleep(100);
    }
    *error = "the update server did not answer; see update-server.log in the build folder";
    return false;
}

std::string owner_token;

std::string query_escape(const std::string &text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_') {
            out += (char)c;
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos) return parts;
        begin = end + 1;
    }
}

// An older server from another build may hold the ports: it is replaced once
// no test of that build holds it.
void stop_other_server(void)
{
    std::string answer;
    if (!control_request("hello", "", &answer, 2000)) return;
    control_request("lock?owner=replacing-" + std::to_string(GetCurrentProcessId()), "", &answer,
                    200000);
    control_request("quit", "", &answer, 2000);
    for (int waited = 0; waited < 50 && control_request("hello", "", &answer, 500); ++waited)
        Sleep(100);
}

}  // namespace

bool net_server_acquire(std::string *error)
{
    // The test trees of other branches on this machine may put their own
    // server in its place while this test waits; then it is taken back.
    *error = "the update server kept being replaced by other test runs";
    for (int round = 0; round < ACQUIRE_ROUNDS; ++round) {
        ServerState state = server_state();
        if (state != SERVER_OURS) {
            if (state == SERVER_FOREIGN) stop_other_server();
            if (!start_server(error)) continue;
        }
        char token[64];
        _snprintf(token, sizeof token - 1, "p%lu-t%lu", GetCurrentProcessId(), GetTickCount());
        token[sizeof token - 1] = 0;
        owner_token = token;
        std::string answer;
        if (!control_request("lock?owner=" + owner_token, "", &answer, 200000)) continue;
        if (answer != "locked") {
            *error = "another test held the update server too long";
            return false;
        }
        if (!server_answers()) {
            net_server_release();
            continue;
        }
        net_server_reset();
        return true;
    }
    return false;
}

void net_server_release(void)
{
    control("unlock?owner=" + owner_token);
}

void net_server_reset(void)
{
    control("reset");
}

bool net_server_certificate(const std::string &kind)
{
    std::string answer;
    return control_request("tls?cert=" + kind, "", &answer) && answer == "ok";
}

std::string net_server_publish_image(const std::string &path, unsigned long long size, int seed,
                                     unsigned long long zero_prefix)
{
    char query[512];
    _snprintf(query, sizeof query - 1, "image?path=%s&size=%I64u&seed=%d&zero_prefix=%I64u",
              query_escape(path).c_str(), size, seed, zero_prefix);
    query[sizeof query - 1] = 0;
    return control(query);
}

void net_server_serve_folder(const std::string &unix_folder)
{
    control("root?path=" + query_escape(unix_folder));
}

void net_server_put(const std::string &path, const std::string &body)
{
    control("put?path=" + query_escape(path), body);
}

void net_server_put_signed(const std::string &path, const std::string &body,
                           const std::string &key)
{
    control("put?path=" + query_escape(path) + "&sign=" + query_escape(key), body);
}

void net_server_script(const std::string &path, const std::string &faults)
{
    control("script?path=" + query_escape(path) + "&" + faults);
}

std::string net_server_file_bytes(const std::string &path, unsigned long long offset,
                                  unsigned long long count)
{
    char query[512];
    _snprintf(query, sizeof query - 1, "slice?path=%s&offset=%I64u&count=%I64u",
              query_escape(path).c_str(), offset, count);
    query[sizeof query - 1] = 0;
    return control(query);
}

std::vector<NetRequest> net_server_requests(void)
{
    std::vector<NetRequest> requests;
    for (const std::string &line : split(control("log"), '\n')) {
        std::vector<std::string> fields = split(line, '\t');
        if (fields.size() == 5)
            requests.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
    }
    return requests;
}

std::vector<NetRequest> net_server_requests_for(const std::string &path)
{
    std::vector<NetRequest> matching;
    for (const NetRequest &request : net_server_requests())
        if (request.path.compare(0, path.size(), path) == 0) matching.push_back(request);
    return matching;
}

std::wstring net_server_https_url(const char *path)
{
    return std::wstring(L"https://") + QV_UPDATE_HOST + widen(path);
}

std::wstring net_server_http_url(const char *path)
{
    wchar_t prefix[64];
    _snwprintf(prefix, 63, L"http://127.0.0.1:%u", control_port());
    prefix[63] = 0;
    return prefix + widen(path);
}
