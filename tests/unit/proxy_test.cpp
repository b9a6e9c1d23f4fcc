// The proxy a person sets in Internet Options carries the manifest and the
// download; without one they go as before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "source/cache_names.h"
#include "source/download.h"
#include "source/manifest.h"
#include "tests/support/net_fixture.h"

namespace {

const char IMAGE_PATH[] = "/img/quenvar-os-3.0.iso";
const unsigned long long IMAGE_SIZE = 2 * 1048576 + 99;
const wchar_t CONNECTIONS_KEY[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The settings as the Internet Options dialog stores them: a header, then the
// proxy, the bypass list and the script address, each with its length.
void set_internet_options_proxy(const std::string &proxy)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, CONNECTIONS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return;
    if (proxy.empty()) {
        RegDeleteValueW(key, L"DefaultConnectionSettings");
    } else {
        std::string blob;
        auto add = [&blob](DWORD value) { blob.append((const char *)&value, sizeof value); };
        add(0x46);  // the settings format
        add(1);     // change counter
        add(0x03);  // direct connections allowed, and a named proxy
        add((DWORD)proxy.size());
        blob += proxy;
        add(0);  // no bypass list
        add(0);  // no configuration script
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
    int logged(const std::string &line)
    {
        int count = 0;
        for (const std::string &text : log_lines()) count += text == line;
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
    EXPECT_EQ(logged("manifest: through proxy " + proxy), 1);

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
    EXPECT_EQ(logged("download: through proxy " + proxy), 1);
    EXPECT_EQ(read_whole_file(image), net_server_file_bytes(IMAGE_PATH, 0, IMAGE_SIZE));

    // Without the setting the program goes direct, as before.
    set_internet_options_proxy("");
    fetch_manifest();
    EXPECT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(tunnels(), 4);
    EXPECT_EQ(logged("manifest: through proxy " + proxy), 1);
    DeleteFileW(image);
    DeleteFileW(sidecar);
}

// A proxy that still wants a sign-in after the Windows one was offered: the
// check and the download end at once, nothing tried again. (Wine turns a 407
// to CONNECT into a failed handshake, so the 407 comes from the far end of the
// tunnel here; WinHTTP hands both on as status 407.)
TEST_F(ProxyTest, ProxyAskingForASignInEndsTheCheckAndTheDownloadAtOnce)
{
    const std::wstring sentence =
        L"The proxy server of this network asks for a sign-in that this program cannot give. "
        L"Ask for this PC to be let through the proxy, or use an ISO file.";
    set_internet_options_proxy(proxy);
    net_server_script("/updates/os-quenvar/latest.json", "status=407");
    fetch_manifest();
    EXPECT_EQ(manifest_info.message, sentence);

    net_server_publish_image(IMAGE_PATH, IMAGE_SIZE);
    net_server_script(IMAGE_PATH, "status=407&times=8");
    copy_cut(manifest_info.iso_url, MANIFEST_URL_CHARS, net_server_https_url(IMAGE_PATH).c_str());
    manifest_info.iso_size = IMAGE_SIZE;
    std::wstring image = folder + L"\\signed-out.iso";
    wchar_t message[MESSAGE_CHARS] = L"";
    download_image(image.c_str(), (image + L".part").c_str(), (image + L".ok").c_str(), 0, message);
    EXPECT_EQ(message, sentence);
    EXPECT_EQ(tunnels(), 2);
}
