// The proxy a person sets in Internet Options carries the manifest and the
// download; without one they go as before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "source/cache_names.h"
#include "source/download.h"
#include "source/http_proxy.h"
#include "source/manifest.h"
#include "tests/support/net_fixture.h"

namespace {

const char IMAGE_PATH[] = "/img/quenvar-os-3.0.iso";
const std::string MANIFEST_PATH = "/updates/os-quenvar/latest.json";
const unsigned long long IMAGE_SIZE = 2 * 1048576 + 99;
const wchar_t CONNECTIONS_KEY[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The settings as the Internet Options dialog stores them: a header, then the
// proxy, the bypass list and the script address, each with its length.
void set_internet_options_proxy(const std::string &proxy, const std::string &script = "")
{
    forget_proxy_choices();  // as a new run would
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, CONNECTIONS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return;
    if (proxy.empty() && script.empty()) {
        RegDeleteValueW(key, L"DefaultConnectionSettings");
    } else {
        std::string blob;
        auto add = [&blob](DWORD value) { blob.append((const char *)&value, sizeof value); };
        add(0x46);  // the settings format
        add(1);     // change counter
        add(script.empty() ? 0x03 : 0x05);  // direct allowed, and a named proxy or a script
        add((DWORD)proxy.size());
        blob += proxy;
        add(0);  // no bypass list
        add((DWORD)script.size());
        blob += script;
        blob.append(32, '\0');
        RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                       (const BYTE *)blob.data(), (DWORD)blob.size());
    }
    RegCloseKey(key);
}

std::wstring widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

struct ProxyTest : NetServerTest {
    std::string proxy;

    void SetUp() override
    {
        NetServerTest::SetUp();
        virtual_clock_install();
        proxy_lines = true;
        std::wstring url = net_server_http_url("");
        proxy = std::string(url.begin() + 7, url.end());  // 127.0.0.1:<plain port>
    }
    void TearDown() override
    {
        set_internet_options_proxy("");
        NetServerTest::TearDown();
    }
    int tunnels()
    {
        int count = 0;
        for (const NetRequest &request : net_server_requests())
            count += request.method == "CONNECT" && widen(request.path) == QV_UPDATE_HOST;
        return count;
    }
    int logged(const std::string &start)
    {
        int count = 0;
        for (const std::string &text : log_lines()) count += text.compare(0, start.size(), start) == 0;
        return count;
    }
};

}  // namespace

TEST_F(ProxyTest, InternetOptionsProxyCarriesTheManifestAndAResumedDownload)
{
    std::string sha = net_server_publish_image(IMAGE_PATH, IMAGE_SIZE);
    std::wstring url = net_server_https_url(IMAGE_PATH);
    net_server_put_signed("/updates/os-quenvar/latest.json",
                          "{\"version\": \"3.0\", \"isoUrl\": \"" +
                              std::string(url.begin(), url.end()) + "\", \"isoSizeBytes\": " +
                              std::to_string(IMAGE_SIZE) + ", \"isoSha256\": \"" + sha + "\"}");
    set_internet_options_proxy(proxy);

    fetch_manifest();
    ASSERT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(tunnels(), 2);  // the manifest and its signature

    // A partial download resumed, cut once more on the way: two attempts, both
    // through the proxy, and one log line for the whole download.
    wchar_t image[APP_PATH_CHARS], part[APP_PATH_CHARS], sidecar[APP_PATH_CHARS];
    build_cache_path(image, L"3.0", CACHE_IMAGE_SUFFIX);
    build_cache_path(part, L"3.0", CACHE_PART_SUFFIX);
    build_cache_path(sidecar, L"3.0", CACHE_SIDECAR_SUFFIX);
    ASSERT_TRUE(write_whole_file(part, net_server_file_bytes(IMAGE_PATH, 0, 1000)));
    net_server_script(IMAGE_PATH, "cut=5000");
    wchar_t message[MESSAGE_CHARS] = L"";
    EXPECT_TRUE(download_image(image, part, sidecar, 1000, message)) << net_utf8(message);
    std::vector<NetRequest> gets = net_server_requests_for(IMAGE_PATH);
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[0].range, "bytes=1000-");
    EXPECT_EQ(gets[1].range.compare(0, 6, "bytes="), 0);
    EXPECT_EQ(tunnels(), 4);
    EXPECT_EQ(read_whole_file(image), net_server_file_bytes(IMAGE_PATH, 0, IMAGE_SIZE));
    // Chosen once for the host, for all five requests.
    EXPECT_EQ(logged("proxy for localhost: " + proxy + ", looked up in "), 1);

    // Without the setting the program goes direct, as before.
    set_internet_options_proxy("");
    fetch_manifest();
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(tunnels(), 4);
    EXPECT_EQ(logged("proxy for localhost: none, looked up in "), 1);
    DeleteFileW(image);
    DeleteFileW(sidecar);
}

// A configuration script is asked once a run for each host, and its DIRECT
// goes straight there, even where WinHTTP's own setting names a proxy.
TEST_F(ProxyTest, ScriptIsAskedOncePerHostAndItsDirectGoesStraightThere)
{
    // A script of its own each time: WinHTTP keeps the scripts it has run.
    auto answer = [&](const char *path, const std::string &proxy_text) {
        std::wstring script = net_server_http_url(path);
        set_internet_options_proxy("", std::string(script.begin(), script.end()));
        net_server_put(path, "function FindProxyForURL(url, host) { return \"" + proxy_text + "\"; }");
    };
    net_server_put_signed(MANIFEST_PATH, "{\"version\": \"3.0\"}");
    answer("/proxy.pac", "PROXY " + proxy);
    fetch_manifest();
    fetch_manifest();
    EXPECT_EQ(tunnels(), 4);  // two manifests, two signatures
    EXPECT_EQ(net_server_requests_for("/proxy.pac").size(), 1u);
    EXPECT_EQ(logged("proxy for localhost: " + proxy + ", looked up in "), 1);

    answer("/direct.pac", "DIRECT");
    WINHTTP_PROXY_INFO dead = {WINHTTP_ACCESS_TYPE_NAMED_PROXY, (LPWSTR)L"127.0.0.1:1", NULL};
    WINHTTP_PROXY_INFO none = {WINHTTP_ACCESS_TYPE_NO_PROXY, NULL, NULL};
    ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&dead));
    fetch_manifest();
    WinHttpSetDefaultProxyConfiguration(&none);
    EXPECT_STREQ(manifest_info.message, L"quenvar OS 3.0 has no USB image published yet.");
    EXPECT_EQ(tunnels(), 4);
}

// The proxy is offered the Windows sign-in in its own scheme and asked once
// more; one that still refuses, or wants a name and password, ends the check
// and the download at once. A server's 401 is offered nothing. (Wine turns a
// 407 to CONNECT into a failed handshake, so the 407 comes from the far end of
// the tunnel here; WinHTTP hands both on as status 407. Wine cannot make the
// Windows sign-in, so the request asked again carries none.)
TEST_F(ProxyTest, OnlyTheProxyIsOfferedTheSignInAndARefusalEndsAtOnce)
{
    const std::wstring sentence =
        L"The proxy server of this network asks for a sign-in that this program cannot give. "
        L"Ask for this PC to be let through the proxy, or use an ISO file.";
    set_internet_options_proxy(proxy);
    net_server_script(MANIFEST_PATH, "status=407&challenge=Negotiate&times=2");
    fetch_manifest();
    EXPECT_EQ(manifest_info.message, sentence);
    EXPECT_EQ(manifest_info.message_advises, 1);
    EXPECT_EQ(net_server_requests_for(MANIFEST_PATH).size(), 2u);
    net_server_script(MANIFEST_PATH, "status=407&challenge=Basic");
    fetch_manifest();
    EXPECT_EQ(manifest_info.message, sentence);
    EXPECT_EQ(net_server_requests_for(MANIFEST_PATH).size(), 3u);

    net_server_publish_image(IMAGE_PATH, IMAGE_SIZE);
    copy_cut(manifest_info.iso_url, MANIFEST_URL_CHARS, net_server_https_url(IMAGE_PATH).c_str());
    manifest_info.iso_size = IMAGE_SIZE;
    std::wstring image = folder + L"\\signed-out.iso";
    wchar_t message[MESSAGE_CHARS] = L"";
    auto download = [&](const std::string &faults) {
        net_server_script(IMAGE_PATH, faults);
        download_image(image.c_str(), (image + L".part").c_str(), (image + L".ok").c_str(), 0,
                       message);
    };
    download("status=407");
    EXPECT_EQ(message, sentence);
    EXPECT_EQ(net_server_requests_for(IMAGE_PATH).size(), 1u);
    download("status=401&challenge=Negotiate&times=8");
    EXPECT_STREQ(message, L"The download did not finish (" QV_UPDATE_HOST
                          L" answered HTTP 401). Press Write to continue it.");
    std::vector<NetRequest> gets = net_server_requests_for(IMAGE_PATH);
    EXPECT_EQ(gets.size(), 9u);
    for (const NetRequest &get : gets) EXPECT_EQ(get.sign_in, "-");
}
