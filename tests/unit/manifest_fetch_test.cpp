#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "app/error_text.h"
#include "source/http.h"
#include "source/manifest.h"
#include "source/manifest_serial.h"
#include "source/manifest_signature.h"
#include "source/publisher_key.h"
#include "tests/support/net_fixture.h"
#include "tests/support/net_probes.h"

namespace {

const char MANIFEST_PATH[] = "/updates/os-quenvar/latest.json";
const std::string SIGNATURE_PATH = std::string(MANIFEST_PATH) + ".sig";
const std::string SHA = "5f2b0c9d4e7a61839b0d2c4e6f8a1b3c5d7e9f0a2b4c6d8e0f1a3b5c7d9e1f20";

std::string manifest(const std::string &version, const std::string &url, const std::string &sha,
                     const std::string &size)
{
    return "{\n  \"version\": " + version + ",\n  \"isoUrl\": " + url + ",\n  \"isoSha256\": " +
           sha + ",\n  \"isoSizeBytes\": " + size + "\n}\n";
}

std::string good_manifest(void)
{
    std::wstring host = QV_UPDATE_HOST;
    return manifest("\"2.1\"", "\"https://" + std::string(host.begin(), host.end()) +
                                     "/img/quenvar-os-2.1.iso\"",
                    "\"" + SHA + "\"", "3221225472");
}

// Plays a build without a publisher key, or with another key.
struct RebindPublisherKey {
    PublisherKey saved = publisher_key;
    explicit RebindPublisherKey(PublisherKey key) { publisher_key = key; }
    ~RebindPublisherKey() { publisher_key = saved; }
};

struct ManifestFetchTest : NetServerTest {
    void fetch(const std::string &body)
    {
        net_server_put_signed(MANIFEST_PATH, body);
        fetch_manifest();
    }
    std::wstring message() { return manifest_info.message; }
    std::string only_log_line()
    {
        std::vector<std::string> lines = log_lines();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? "" : lines.back();
    }
    void expect_not_loaded(const wchar_t *sentence, const std::string &log_line)
    {
        EXPECT_EQ(manifest_info.loaded, 0);
        EXPECT_EQ(message(), sentence);
        EXPECT_EQ(only_log_line(), log_line);
    }
};

const wchar_t UNREADABLE[] = L"The version list from " QV_UPDATE_HOST L" could not be read.";
const wchar_t NO_IMAGE[] = L"quenvar OS 2.1 has no USB image published yet.";
const wchar_t NO_CHECKSUM[] =
    L"quenvar OS 2.1 is published without a checksum, so it cannot be verified.";

TEST_F(ManifestFetchTest, CompleteManifestIsLoadedAndLoggedOnce)
{
    fetch(good_manifest());
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_STREQ(manifest_info.version, L"2.1");
    EXPECT_STREQ(manifest_info.iso_url, L"https://" QV_UPDATE_HOST L"/img/quenvar-os-2.1.iso");
    EXPECT_EQ(manifest_info.iso_sha256, SHA);
    EXPECT_EQ(manifest_info.iso_size, 3221225472ULL);
    EXPECT_EQ(message(), L"");
    EXPECT_EQ(only_log_line(), "manifest: quenvar OS 2.1, 3221225472 bytes, sha " + SHA);

    std::vector<NetRequest> seen = net_server_requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].path, MANIFEST_PATH);
    EXPECT_EQ(seen[0].scheme, "https");
    EXPECT_EQ(seen[0].range, "-");
    EXPECT_EQ(seen[1].path, SIGNATURE_PATH);
    EXPECT_EQ(seen[1].scheme, "https");
}

TEST_F(ManifestFetchTest, EveryFetchStartsFromAnEmptyRecord)
{
    fetch(good_manifest());
    ASSERT_EQ(manifest_info.loaded, 1);
    fetch("not json at all");
    EXPECT_EQ(manifest_info.loaded, 0);
    EXPECT_STREQ(manifest_info.iso_url, L"");
    EXPECT_EQ(manifest_info.iso_size, 0u);
    EXPECT_EQ(message(), UNREADABLE);
}

TEST_F(ManifestFetchTest, TransportErrorAndStatusesOtherThan200)
{
    net_server_script(MANIFEST_PATH, "drop=1");
    fetch(good_manifest());
    EXPECT_EQ(manifest_info.loaded, 0);
    std::wstring text = message();
    EXPECT_EQ(text.rfind(L"Could not reach " QV_UPDATE_HOST L": ", 0), 0u) << net_utf8(text);
    EXPECT_EQ(text.back(), L'.');
    // The reason in the sentence is the one logged with its number.
    std::wstring reason = text.substr(33, text.size() - 34);
    std::string line = log_lines().at(0);
    EXPECT_EQ(line.rfind("manifest: error ", 0), 0u) << line;
    EXPECT_NE(line.find(" (" + net_utf8(reason) + ")"), std::string::npos) << line;

    net_server_script(MANIFEST_PATH, "status=404");
    fetch(good_manifest());
    EXPECT_EQ(message(), QV_UPDATE_HOST L" answered HTTP 404 for the version list.");
    EXPECT_EQ(log_lines().at(1), "manifest: HTTP 404");
    net_server_script(MANIFEST_PATH, "status=500");
    fetch(good_manifest());
    EXPECT_EQ(message(), QV_UPDATE_HOST L" answered HTTP 500 for the version list.");
    EXPECT_EQ(manifest_info.loaded, 0);
    // A body that the connection cut short names the connection, not the publisher.
    net_server_script(MANIFEST_PATH, "cut=50");
    fetch(good_manifest());
    EXPECT_EQ(message().rfind(L"Could not reach " QV_UPDATE_HOST L": ", 0), 0u) << net_utf8(message());
}

TEST_F(ManifestFetchTest, UntrustedCertificateCannotReachTheHost)
{
    net_server_put(MANIFEST_PATH, good_manifest());
    ASSERT_TRUE(net_server_certificate("untrusted"));
    fetch_manifest();
    EXPECT_EQ(manifest_info.loaded, 0);
    std::smatch parts;
    std::string line = only_log_line();
    ASSERT_TRUE(std::regex_match(line, parts, std::regex("manifest: error (\\d+) \\((.*)\\)")))
        << line;
    unsigned long code = strtoul(parts[1].str().c_str(), NULL, 10);
    wchar_t reason[256];
    describe_error(code, reason, 256);
    EXPECT_EQ(message(), L"Could not reach " QV_UPDATE_HOST L": " + std::wstring(reason) + L".");
    EXPECT_TRUE(net_server_requests().empty());
    // Wine says 12157, which has no text of its own; Windows says 12045 or
    // 12175, worded as a secure-connection failure.
    if (code == 12157)
        EXPECT_EQ(message(), L"Could not reach " QV_UPDATE_HOST L": error 12157.");
    else
        EXPECT_EQ(message(), L"Could not reach " QV_UPDATE_HOST L": the secure connection failed "
                             L"\x2014 check that this PC's date and time are correct.");
}

BOOL WINAPI refuse_secure_protocols(HINTERNET handle, DWORD option, LPVOID value, DWORD bytes)
{
    return option != WINHTTP_OPTION_SECURE_PROTOCOLS && WinHttpSetOption(handle, option, value, bytes);
}

// Windows 7 without its update refuses TLS 1.1 and 1.2; the handshake that fails then is named.
TEST_F(ManifestFetchTest, RefusedProtocolsAndAFailedHandshakeAskForTheTlsUpdate)
{
    net_server_put_signed(MANIFEST_PATH, good_manifest());
    ASSERT_TRUE(net_server_certificate("untrusted"));  // Wine's TLS 1.2 would succeed
    http_set_option = refuse_secure_protocols;
    fetch_manifest();
    http_set_option = WinHttpSetOption;
    EXPECT_EQ(message(), TLS_UPDATE_SENTENCE);
    EXPECT_EQ(manifest_info.message_advises, 1);
}

TEST_F(ManifestFetchTest, FailedFetchesLeaveNoHandleOpen)
{
    // The probe notices a handle that stays open.
    uintptr_t before = net_next_winhttp_handle();
    HINTERNET held = WinHttpOpen(L"held", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(net_next_winhttp_handle(), before);
    WinHttpCloseHandle(held);
    ASSERT_EQ(net_next_winhttp_handle(), before);

    net_server_put_signed(MANIFEST_PATH, good_manifest());
    for (const std::string &path : {std::string(MANIFEST_PATH), SIGNATURE_PATH}) {
        for (const char *fault : {"drop=1", "status=404", "status=500"}) {
            SCOPED_TRACE(path + " " + fault);
            net_server_script(path, fault);
            before = net_next_winhttp_handle();
            fetch_manifest();
            EXPECT_EQ(net_next_winhttp_handle(), before);
            EXPECT_EQ(manifest_info.loaded, 0);
        }
    }
    ASSERT_TRUE(net_server_certificate("untrusted"));
    before = net_next_winhttp_handle();
    fetch_manifest();
    EXPECT_EQ(net_next_winhttp_handle(), before);
    EXPECT_EQ(manifest_info.loaded, 0);
}

TEST_F(ManifestFetchTest, BodyIsCutAt65535Bytes)
{
    std::string body = good_manifest();
    body.insert(1, 65535 - body.size() - 1 - 9, ' ');
    body.insert(body.size() - 3, "\"isoVersion\": \"9.9\"");
    ASSERT_GT(body.size(), 65535u);
    // Signed whole, it is refused: the signature covers bytes that are not read.
    fetch(body);
    EXPECT_EQ(message(), MANIFEST_NOT_SIGNED_TEXT);
    EXPECT_EQ(log_lines().back(), "manifest: bad signature");
    RebindPublisherKey keyless({NULL, 0});
    fetch(body);
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_STREQ(manifest_info.version, L"2.1");

    // The size key begins at byte 65535 exactly: it is not there.
    std::string start = manifest("\"2.1\"", "\"https://h/x.iso\"", "\"" + SHA + "\"", "1");
    start = start.substr(0, start.find("\"isoSizeBytes\""));
    std::string cut = start + std::string(65535 - start.size(), ' ') + "\"isoSizeBytes\": 5}";
    fetch(cut);
    EXPECT_EQ(manifest_info.loaded, 0);
    EXPECT_EQ(message(), NO_CHECKSUM);
    EXPECT_EQ(log_lines().back(), "manifest: 2.1 iso sha/size missing");
}

// Nothing of a manifest is read before its signature holds.
TEST_F(ManifestFetchTest, ManifestNotSignedByThePublisherIsRefusedUnread)
{
    ASSERT_NE(publisher_key.der, nullptr) << "the test build embeds tests/keys/publisher-test.pub.pem";
    auto expect_refused = [&](const std::string &log_line) {
        fetch_manifest();
        EXPECT_EQ(manifest_info.loaded, 0);
        EXPECT_EQ(message(), MANIFEST_NOT_SIGNED_TEXT);
        EXPECT_STREQ(manifest_info.version, L"");
        EXPECT_STREQ(manifest_info.iso_url, L"");
        EXPECT_STREQ(manifest_info.iso_sha256, "");
        EXPECT_EQ(manifest_info.iso_size, 0u);
        EXPECT_EQ(log_lines().back().substr(0, log_line.size()), log_line);
    };
    const std::string body = good_manifest();
    std::string forged = body;  // another image's digest, one byte changed after signing
    forged[forged.find(SHA)] = '6';
    net_server_put(MANIFEST_PATH, body);
    expect_refused("manifest: signature missing (HTTP 404)");
    net_server_put_signed(MANIFEST_PATH, forged);
    net_server_put(MANIFEST_PATH, body);
    expect_refused("manifest: bad signature");  // a signature of other bytes
    net_server_put_signed(MANIFEST_PATH, body);
    net_server_put(MANIFEST_PATH, forged);
    expect_refused("manifest: bad signature");
    net_server_put_signed(MANIFEST_PATH, body, "other-publisher");
    expect_refused("manifest: bad signature");
    net_server_put_signed(MANIFEST_PATH, body);
    net_server_script(SIGNATURE_PATH, "status=500");
    expect_refused("manifest: signature HTTP 500");
    net_server_script(SIGNATURE_PATH, "short=383");
    expect_refused("manifest: signature unreadable (383 bytes)");
    {
        const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01, 0x05};
        RebindPublisherKey broken({garbage, sizeof garbage});
        expect_refused("manifest: publisher key unusable");
    }
    fetch_manifest();
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(log_lines().size(), 8u);  // one line for each fetch

    // A signature that the connection lost or cut short is no sign of tampering.
    for (const char *fault : {"drop=1", "cut=100"}) {
        net_server_script(SIGNATURE_PATH, fault);
        fetch_manifest();
        EXPECT_EQ(message().rfind(L"Could not reach " QV_UPDATE_HOST L": ", 0), 0u) << fault;
        EXPECT_EQ(log_lines().back().rfind("manifest: signature error ", 0), 0u) << fault;
    }
}

// A PC never goes back to an older version list than one it has accepted.
TEST_F(ManifestFetchTest, SerialOlderThanTheHighestSeenIsRefusedAndTheHighestIsKept)
{
    const std::wstring older = L"The update server offered an older version list than this PC "
                               L"has already seen, so it was not used. Try again later, or use "
                               L"an ISO file.";
    const std::wstring kept = folder + L"\\" MANIFEST_SERIAL_FILE;
    auto serial = [](const std::string &n) {
        return "{\"manifestSerial\": " + n + "," + good_manifest().substr(1);
    };
    fetch(good_manifest());  // none seen yet: taken without one
    fetch(serial("5"));
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(read_whole_file(kept), "5\n");
    fetch(serial("4"));
    EXPECT_EQ(message(), older);
    EXPECT_STREQ(manifest_info.version, L"");
    EXPECT_EQ(log_lines().back(), "manifest: serial 4 is older than serial 5 seen before");
    fetch(good_manifest());
    EXPECT_EQ(log_lines().back(), "manifest: no serial, but serial 5 seen before");
    fetch(serial("5"));
    EXPECT_EQ(manifest_info.loaded, 1);
    fetch(serial("6.0"));
    EXPECT_EQ(message(), UNREADABLE);
    fetch(serial("6"));
    EXPECT_EQ(read_whole_file(kept), "6\n");

    // Read at start-up: a damaged file is none seen, logged; a good one counts.
    ASSERT_TRUE(write_whole_file(kept, "6x"));
    load_manifest_serial();
    EXPECT_EQ(log_lines().back(), "manifest serial: " + net_utf8(MANIFEST_SERIAL_FILE) +
                                      " is damaged; none seen");
    fetch(good_manifest());
    EXPECT_EQ(manifest_info.loaded, 1);
    ASSERT_TRUE(write_whole_file(kept, "6\n"));
    load_manifest_serial();
    fetch(serial("4"));
    EXPECT_EQ(message(), older);

    // Held by another program at start-up is not missing: what this run then
    // takes never lowers the kept serial.
    HANDLE held = CreateFileW(kept.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    load_manifest_serial();
    CloseHandle(held);
    EXPECT_NE(log_lines().back().find(" could not be read (error 32); none seen"),
              std::string::npos);
    fetch(serial("5"));
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(read_whole_file(kept), "6\n");
    fetch(serial("5"));
    EXPECT_EQ(message(), older);
    RebindPublisherKey keyless({NULL, 0});  // takes unsigned manifests, so serials mean nothing
    fetch(serial("4"));
    EXPECT_EQ(manifest_info.loaded, 1);
}

TEST_F(ManifestFetchTest, BuildWithoutAKeyTakesAnUnsignedManifestAsBefore)
{
    RebindPublisherKey keyless({NULL, 0});
    net_server_put(MANIFEST_PATH, good_manifest());
    fetch_manifest();
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(only_log_line(), "manifest: quenvar OS 2.1, 3221225472 bytes, sha " + SHA);
    EXPECT_EQ(net_server_requests().size(), 1u);  // no signature asked for
}

TEST_F(ManifestFetchTest, VersionMustBeACompleteString)
{
    std::string body = manifest("2.1", "\"https://h/x\"", "\"" + SHA + "\"", "1");
    fetch(body);
    expect_not_loaded(UNREADABLE, "manifest: no version in " + std::to_string(body.size()) +
                                      " bytes");
    fetch("{\"version\": \"2.1");
    EXPECT_EQ(message(), UNREADABLE);
    EXPECT_EQ(log_lines().back(), "manifest: no version in 16 bytes");
}

TEST_F(ManifestFetchTest, IsoVersionReplacesVersionOnlyWhenNotEmpty)
{
    std::string body = good_manifest();
    fetch("{\"isoVersion\": \"\"," + body.substr(1));
    EXPECT_STREQ(manifest_info.version, L"2.1");
    fetch("{\"isoVersion\": \"2.1.0\"," + body.substr(1));
    EXPECT_STREQ(manifest_info.version, L"2.1.0");
    EXPECT_EQ(manifest_info.loaded, 1);
    fetch("{\"isoVersion\": 7," + body.substr(1));
    EXPECT_STREQ(manifest_info.version, L"2.1");
}

TEST_F(ManifestFetchTest, LongVersionKeepsItsFirst31Bytes)
{
    std::string forty = "1234567890.1234567890.1234567890.123456";
    fetch(manifest("\"" + forty + "\"", "\"https://h/x\"", "\"" + SHA + "\"", "1"));
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(net_utf8(manifest_info.version), forty.substr(0, 31));
}

TEST_F(ManifestFetchTest, VersionThatCannotNameACacheFileIsRefused)
{
    for (const char *version : {"..\\\\..\\\\evil", "../x", "C:x", "2.1\\u00e9", "a*b", "",
                                "2.1\\r\\nforged line", "x|y"}) {
        SCOPED_TRACE(version);
        std::string body = manifest(std::string("\"") + version + "\"", "\"https://h/x\"",
                                    "\"" + SHA + "\"", "1");
        fetch(body);
        EXPECT_EQ(manifest_info.loaded, 0);
        EXPECT_STREQ(manifest_info.version, L"");
        EXPECT_EQ(message(), UNREADABLE);
        EXPECT_EQ(log_lines().back(),
                  "manifest: unusable version in " + std::to_string(body.size()) + " bytes");
    }
    // isoVersion is the version used for the names, so it is held to the same rule.
    fetch("{\"isoVersion\": \"../2.2\"," + good_manifest().substr(1));
    EXPECT_EQ(manifest_info.loaded, 0);
    EXPECT_EQ(message(), UNREADABLE);
}

TEST_F(ManifestFetchTest, ImageAddressMustBeHttps)
{
    for (const char *url : {"\"http://h/x.iso\"", "\"HTTPS://h/x.iso\"", "42"}) {
        SCOPED_TRACE(url);
        fetch(manifest("\"2.1\"", url, "\"" + SHA + "\"", "1"));
        EXPECT_EQ(manifest_info.loaded, 0);
        EXPECT_EQ(message(), NO_IMAGE);
        EXPECT_EQ(log_lines().back(), "manifest: 2.1 has no isoUrl");
    }
    fetch(manifest("\"2.1\"", "\"https://h/x.iso\"", "\"" + SHA + "\"", "1"));
    EXPECT_EQ(manifest_info.loaded, 1);
}

TEST_F(ManifestFetchTest, AddressTooLongForTheFieldIsStoredEmpty)
{
    std::string long_url = "https://h/" + std::string(1030, 'a');
    fetch(manifest("\"2.1\"", "\"" + long_url + "\"", "\"" + SHA + "\"", "1"));
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_STREQ(manifest_info.iso_url, L"");
    std::string fits = "https://h/" + std::string(1013, 'b');
    fetch(manifest("\"2.1\"", "\"" + fits + "\"", "\"" + SHA + "\"", "1"));
    EXPECT_EQ(net_utf8(manifest_info.iso_url), fits);
}

TEST_F(ManifestFetchTest, DigestMustBe64LowerCaseHexCharacters)
{
    std::string upper = SHA;
    upper[0] = 'F';
    for (const std::string &sha : {"\"" + upper + "\"", "\"" + SHA.substr(0, 63) + "\"", SHA,
                                   std::string("\"\"")}) {
        SCOPED_TRACE(sha);
        fetch(manifest("\"2.1\"", "\"https://h/x\"", sha, "1"));
        EXPECT_EQ(manifest_info.loaded, 0);
        EXPECT_EQ(message(), NO_CHECKSUM);
        EXPECT_EQ(log_lines().back(), "manifest: 2.1 iso sha/size missing");
    }
    fetch(manifest("\"2.1\"", "\"https://h/x\"", "\"" + SHA + "abcdef\"", "1"));
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(manifest_info.iso_sha256, SHA);
}

TEST_F(ManifestFetchTest, SizeMustBeABareNonZeroNumberThatFits)
{
    for (const char *size : {"\"3221225472\"", "0", "-5", "null", "18446744073709551616"}) {
        SCOPED_TRACE(size);
        fetch(manifest("\"2.1\"", "\"https://h/x\"", "\"" + SHA + "\"", size));
        EXPECT_EQ(manifest_info.loaded, 0);
        EXPECT_EQ(message(), NO_CHECKSUM);
        EXPECT_EQ(log_lines().back(), "manifest: 2.1 iso sha/size missing");
    }
    fetch(manifest("\"2.1\"", "\"https://h/x\"", "\"" + SHA + "\"", "3221225472.0"));
    EXPECT_EQ(manifest_info.iso_size, 3221225472ULL);
    fetch(manifest("\"2.1\"", "\"https://h/x\"", "\"" + SHA + "\"", "1.5e9"));
    EXPECT_EQ(manifest_info.iso_size, 1u);
    EXPECT_EQ(manifest_info.loaded, 1);
}

TEST_F(ManifestFetchTest, BlanksAroundTheColonAndNestedKeys)
{
    fetch("{\"version\" \t\r\n:\r\n\t \"2.1\", \"isoUrl\"\n:\"https://h/x\", \"isoSha256\" : \"" +
          SHA + "\",\"isoSizeBytes\"\t:\t9}");
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(manifest_info.iso_size, 9u);

    fetch("{\"old\": {\"isoSizeBytes\": 5, \"version\": \"1.0\"}, " + good_manifest().substr(1));
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_STREQ(manifest_info.version, L"1.0");
    EXPECT_EQ(manifest_info.iso_size, 5u);
}

TEST_F(ManifestFetchTest, ThreadTellsTheWindowWhateverTheOutcome)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    ASSERT_NE(window, nullptr);
    main_window = window;
    net_server_script(MANIFEST_PATH, "status=404");
    EXPECT_EQ(manifest_thread(NULL), 0u);
    main_window = NULL;
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, window, WM_APP_MANIFEST_DONE, WM_APP_MANIFEST_DONE, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_EQ(msg.lParam, 0);
    DestroyWindow(window);
}

}  // namespace
