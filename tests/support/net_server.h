// The local update server (tests/server/update_server.py) as seen from a test:
// started on first use, taken for one test at a time, scripted per request.
#pragma once
#include <string>
#include <vector>

struct NetRequest {
    std::string method;
    std::string path;        // with its query
    std::string range;       // the Range header, or "-"
    std::string user_agent;
    std::string scheme;      // "http" or "https"
    std::string sign_in;     // "proxy NTLM", "server Negotiate", or "-"
};

// Starts the server when it does not answer yet, then waits until no other
// test (in any process) holds it and takes it. False with a reason on failure.
bool net_server_acquire(std::string *error);
void net_server_release(void);

// Forgets files, scripts and the request log, and shows the trusted certificate again.
void net_server_reset(void);
// Which certificate later HTTPS handshakes show: "trusted", "untrusted" (signed
// by no authority this machine knows) or "wrong_name" (signed by the test
// authority for another host). False when the server cannot make it.
bool net_server_certificate(const std::string &kind);
// Publishes a generated image of `size` bytes (zero below `zero_prefix`) and
// returns its SHA-256 text.
std::string net_server_publish_image(const std::string &path, unsigned long long size,
                                     int seed = 1, unsigned long long zero_prefix = 0);
void net_server_put(const std::string &path, const std::string &body);
// Puts `body` at `path` and its signature at `path`.sig, made with the test key
// tests/keys/`key`.pem as the publisher makes it (the test build takes manifests
// signed by "publisher-test" only).
void net_server_put_signed(const std::string &path, const std::string &body,
                           const std::string &key = "publisher-test");
// Paths that have no file of their own are served from this folder of the
// Linux machine, as tools/publish-image writes it (until the next reset).
void net_server_serve_folder(const std::string &unix_folder);
// Queues a fault for the next request(s) to `path`, e.g. "status=500&times=8".
void net_server_script(const std::string &path, const std::string &faults);
std::vector<NetRequest> net_server_requests(void);
// Requests seen, control requests not counted, whose path starts with `path`.
std::vector<NetRequest> net_server_requests_for(const std::string &path);

// `count` bytes of a published file from `offset`, fetched without a log line.
std::string net_server_file_bytes(const std::string &path, unsigned long long offset,
                                  unsigned long long count);

// https://<update host><path> and http://127.0.0.1:<plain port><path>.
std::wstring net_server_https_url(const char *path);
std::wstring net_server_http_url(const char *path);
