#include "source/manifest.h"

#include <string.h>

#include "app/error_text.h"
#include "app/log.h"
#include "app/text.h"
#include "source/http.h"
#include "source/http_body.h"
#include "source/manifest_serial.h"
#include "source/manifest_signature.h"
#include "source/manifest_text.h"
#include "source/publisher_key.h"
#include "source/signature_format.h"
#include "ui/status.h"

ManifestInfo manifest_info;

enum {
    VERSION_WORK_BYTES = 32,
    URL_WORK_BYTES = 1100,
    REASON_CHARS = 256,
};

static void set_message(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    vformat_cut(manifest_info.message, MANIFEST_MESSAGE_CHARS - 1, format, args);
    va_end(args);
}

// A conversion that fails (or does not fit) leaves the field empty.
static void utf8_to_field(const char *utf8, wchar_t *field, int capacity)
{
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, field, capacity) == 0) field[0] = L'\0';
}

static bool read_version(const char *body, int body_bytes)
{
    char work[VERSION_WORK_BYTES];
    if (!json_get_string(body, "version", work, sizeof work)) {
        set_message(L"The version list from " QV_UPDATE_HOST L" could not be read.");
        write_log(L"manifest: no version in %d bytes", body_bytes);
        return false;
    }
    char iso_version[VERSION_WORK_BYTES];
    if (json_get_string(body, "isoVersion", iso_version, sizeof iso_version) &&
        iso_version[0] != '\0')
        memcpy(work, iso_version, sizeof work);
    // The version becomes part of file names in the application folder.
    utf8_to_field(work, manifest_info.version, MANIFEST_VERSION_CHARS);
    if (!is_usable_version(work) || manifest_info.version[0] == L'\0') {
        manifest_info.version[0] = L'\0';
        set_message(L"The version list from " QV_UPDATE_HOST L" could not be read.");
        write_log(L"manifest: unusable version in %d bytes", body_bytes);
        return false;
    }
    return true;
}

static bool read_iso_url(const char *body)
{
    char work[URL_WORK_BYTES];
    if (!json_get_string(body, "isoUrl", work, sizeof work) ||
        strncmp(work, "https://", 8) != 0) {
        set_message(L"quenvar OS %ls has no USB image published yet.", manifest_info.version);
        write_log(L"manifest: %ls has no isoUrl", manifest_info.version);
        return false;
    }
    utf8_to_field(work, manifest_info.iso_url, MANIFEST_URL_CHARS);
    return true;
}

static bool read_digest_and_size(const char *body)
{
    bool digest_ok = json_get_string(body, "isoSha256", manifest_info.iso_sha256,
                                     MANIFEST_DIGEST_BYTES) &&
                     is_digest_text(manifest_info.iso_sha256);
    uint64_t size = 0;
    if (!digest_ok || !json_get_size(body, "isoSizeBytes", &size)) {
        set_message(L"quenvar OS %ls is published without a checksum, so it cannot be verified.",
                    manifest_info.version);
        write_log(L"manifest: %ls iso sha/size missing", manifest_info.version);
        return false;
    }
    manifest_info.iso_size = size;
    return true;
}

// A sentence that says itself what to do; the image line adds nothing to it.
static void set_advice(const wchar_t *sentence)
{
    copy_cut(manifest_info.message, MANIFEST_MESSAGE_CHARS, sentence);
    manifest_info.message_advises = 1;
}

// A signed manifest older than one this PC has accepted (a withdrawn version
// served again, or a cache that keeps last month's) is refused before any of
// it is read. Serials count only where signatures do.
static bool serial_not_older(const char *body, int body_bytes, uint64_t *serial, int *found)
{
    if (!publisher_key.der) return true;
    *found = json_get_unsigned(body, "manifestSerial", serial);
    if (*found < 0) {
        set_message(L"The version list from " QV_UPDATE_HOST L" could not be read.");
        write_log(L"manifest: unreadable manifestSerial in %d bytes", body_bytes);
        return false;
    }
    uint64_t seen = 0;
    if (!manifest_serial_seen(&seen) || (*found && *serial >= seen)) return true;
    set_advice(L"The update server offered an older version list than this PC has already "
               L"seen, so it was not used. Try again later, or use an ISO file.");
    if (*found)
        write_log(L"manifest: serial %I64u is older than serial %I64u seen before", *serial, seen);
    else
        write_log(L"manifest: no serial, but serial %I64u seen before", seen);
    return false;
}

static void read_manifest_body(const char *body, int body_bytes)
{
    uint64_t serial = 0;
    int found = 0;
    if (!serial_not_older(body, body_bytes, &serial, &found) || !read_version(body, body_bytes) ||
        !read_iso_url(body) || !read_digest_and_size(body))
        return;
    manifest_info.loaded = 1;
    if (found) keep_manifest_serial(serial);
    write_log(L"manifest: quenvar OS %ls, %I64u bytes, sha %hs", manifest_info.version,
              manifest_info.iso_size, manifest_info.iso_sha256);
}

// Once the host has answered, its handshake works: a later failure is the
// connection's, whatever Windows refused.
static void say_unreachable(DWORD error, const wchar_t *reason, bool host_answered)
{
    if (!host_answered && tls_update_needed(error)) set_advice(TLS_UPDATE_SENTENCE);
    else set_message(L"Could not reach " QV_UPDATE_HOST L": %ls.", reason);
}

static void fail_to_reach(DWORD error, bool host_answered)
{
    wchar_t reason[REASON_CHARS];
    describe_error(error, reason, REASON_CHARS);
    say_unreachable(error, reason, host_answered);
    write_log(L"manifest: error %lu (%ls)", error, reason);
}

void fetch_manifest(void)
{
    ZeroMemory(&manifest_info, sizeof manifest_info);
    HttpRequest http;
    DWORD status = 0;
    DWORD error = open_http_request(&http, MANIFEST_URL, 0, &status);
    if (error != 0) {
        close_http_request(&http);
        fail_to_reach(error, false);
        return;
    }
    if (status != 200) {
        if (status == HTTP_STATUS_PROXY_AUTH_REQ) set_advice(PROXY_SIGN_IN_SENTENCE);
        else set_message(QV_UPDATE_HOST L" answered HTTP %lu for the version list.", status);
        write_log(L"manifest: HTTP %lu", status);
        close_http_request(&http);
        return;
    }
    char body[MANIFEST_BODY_LIMIT + 1];
    int body_bytes = read_http_body(http.request, body, MANIFEST_BODY_LIMIT, &error);
    close_http_request(&http);
    // A body cut short by the connection is not the publisher's either, but
    // the technician is told what really happened.
    if (error != 0) {
        fail_to_reach(error, true);
        return;
    }
    // Not a field is read from a manifest that the publisher did not sign; a
    // signature that the connection lost is the connection's failure.
    if (!manifest_signature_ok(body, body_bytes, &error)) {
        wchar_t reason[REASON_CHARS];
        if (error != 0)
            say_unreachable(error, describe_error(error, reason, REASON_CHARS), true);
        else set_advice(MANIFEST_NOT_SIGNED_TEXT);
        return;
    }
    read_manifest_body(body, body_bytes);
}

DWORD WINAPI manifest_thread(LPVOID)
{
    fetch_manifest();
    if (main_window) PostMessageW(main_window, WM_APP_MANIFEST_DONE, 1, 0);
    return 0;
}
