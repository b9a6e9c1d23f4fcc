// tools/publish-image from the program's side: what it publishes, served by
// the local update server, is what the program's manifest fetch accepts and
// downloads; what it refuses, it refuses before anything is written; and its
// reading of a manifest is the program's reading.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash/sha256.h"
#include "source/cache_names.h"
#include "source/download.h"
#include "source/manifest.h"
#include "source/signature_format.h"
#include "tests/support/host_shell.h"
#include "tests/support/net_fixture.h"

namespace {

const char MANIFEST_PATH[] = "/updates/os-quenvar/latest.json";
const std::string SHA = "5f2b0c9d4e7a61839b0d2c4e6f8a1b3c5d7e9f0a2b4c6d8e0f1a3b5c7d9e1f20";
const std::string KEYS = host_source_folder() + "/tests/keys/";
// The test build takes manifests signed by this key only.
const std::string TEST_KEY = "--key " + host_quote(KEYS + "publisher-test.pem");

// Bytes that do not repeat with any power-of-two period.
std::string image_bytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char &c : bytes) {
        state = state * 1103515245u + 12345u;
        c = (char)(state >> 23);
    }
    return bytes;
}

std::string narrow(const wchar_t *text)
{
    return std::string(text, text + wcslen(text));
}

struct PublishToolTest : NetServerTest {
    std::wstring work;
    std::string output;

    void SetUp() override
    {
        NetServerTest::SetUp();
        virtual_clock_install();
        work = make_scratch_folder(L"publish");
        ASSERT_FALSE(host_path(work).empty()) << "no Linux name for the scratch folder";
    }

    void TearDown() override
    {
        std::string ignored;
        run_host_command("rm -rf published ./*.iso ./*.json ./*.json.sig", work, &ignored);
        RemoveDirectoryW(work.c_str());
        NetServerTest::TearDown();
    }

    std::wstring file(const char *name) { return work + L"\\" + std::wstring(name, name + strlen(name)); }

    std::string base_address(void) { return "https://" + narrow(QV_UPDATE_HOST); }

    int publish_image(const std::string &iso, const std::string &version, const std::string &base,
                      const std::string &options = TEST_KEY)
    {
        return run_host_command(host_quote(host_source_folder() + "/tools/publish-image") + " " +
                                    host_quote(iso) + " " + host_quote(version) + " " +
                                    host_quote(base) + " " + options + " --out published",
                                work, &output);
    }

    int check_manifests(const std::vector<std::string> &files)
    {
        std::string command = host_quote(host_source_folder() + "/tools/publish-image") + " --check";
        for (const std::string &name : files) command += " " + host_quote(name);
        return run_host_command(command + " --host " + host_quote(narrow(QV_UPDATE_HOST)) +
                                    " --public-key " + host_quote(KEYS + "publisher-test.pub.pem"),
                                work, &output);
    }

    std::string program_digest(const std::wstring &path)
    {
        char digest[DIGEST_TEXT_BYTES] = "";
        wchar_t failure[MESSAGE_CHARS];
        EXPECT_TRUE(hash_file(path.c_str(), L"test", digest, failure));
        return digest;
    }
};

TEST_F(PublishToolTest, PublishedImageIsFetchedCheckedAndDownloadedByTheProgram)
{
    // A version with a blank and a non-ASCII letter: its file name must reach
    // the address escaped and the manifest as plain UTF-8.
    const std::string version = "2.1 \xc3\xa9";
    const std::string bytes = image_bytes(2 * 1048576 + 4097, 1);
    ASSERT_TRUE(write_whole_file(file("image.iso"), bytes));
    ASSERT_EQ(publish_image("image.iso", version, base_address()), 0) << output;
    EXPECT_NE(output.find("published quenvar OS " + version), std::string::npos) << output;
    net_server_serve_folder(host_path(work + L"\\published"));

    fetch_manifest();
    ASSERT_EQ(manifest_info.loaded, 1) << net_utf8(manifest_info.message);
    const std::string sha = program_digest(file("image.iso"));
    EXPECT_EQ(net_utf8(manifest_info.version), version);
    EXPECT_EQ(net_utf8(manifest_info.iso_url),
              base_address() + "/updates/os-quenvar/quenvar-os-2.1%20%C3%A9.iso");
    EXPECT_EQ(manifest_info.iso_sha256, sha);
    EXPECT_EQ(manifest_info.iso_size, bytes.size());

    wchar_t image[APP_PATH_CHARS], part[APP_PATH_CHARS], sidecar[APP_PATH_CHARS];
    build_cache_path(image, manifest_info.version, CACHE_IMAGE_SUFFIX);
    build_cache_path(part, manifest_info.version, CACHE_PART_SUFFIX);
    build_cache_path(sidecar, manifest_info.version, CACHE_SIDECAR_SUFFIX);
    wchar_t message[MESSAGE_CHARS] = L"";
    ASSERT_TRUE(download_image(image, part, sidecar, 0, message)) << net_utf8(message);
    EXPECT_TRUE(read_whole_file(image) == bytes);
    EXPECT_EQ(read_whole_file(sidecar), sha + "\n");

    std::vector<NetRequest> seen = net_server_requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].path, MANIFEST_PATH);
    EXPECT_EQ(seen[1].path, std::string(MANIFEST_PATH) + ".sig");  // as the tool signed it
    EXPECT_EQ(seen[2].path, "/updates/os-quenvar/quenvar-os-2.1%20%C3%A9.iso");
    EXPECT_EQ(seen[2].scheme, "https");
    DeleteFileW(image);
    DeleteFileW(sidecar);
}

TEST_F(PublishToolTest, AVersionNeverGetsOtherBytesOnceItIsPublished)
{
    ASSERT_TRUE(write_whole_file(file("first.iso"), image_bytes(300000, 1)));
    ASSERT_TRUE(write_whole_file(file("second.iso"), image_bytes(300000, 2)));
    // Every name in the published folder, and the SHA-256 of every file's bytes.
    auto published = [&] {
        std::string listing;
        EXPECT_EQ(run_host_command("cd published && find . | LC_ALL=C sort && "
                                   "find . -type f -exec sha256sum {} + | LC_ALL=C sort",
                                   work, &listing),
                  0) << listing;
        return listing;
    };
    ASSERT_EQ(publish_image("first.iso", "2.1", base_address()), 0) << output;
    EXPECT_NE(output.find(", manifest serial 1\n"), std::string::npos) << output;
    // The same image again copies nothing and is no error; its manifest gets the next serial.
    ASSERT_EQ(publish_image("first.iso", "2.1", base_address()), 0) << output;
    EXPECT_NE(output.find(", manifest serial 2\n"), std::string::npos) << output;
    const std::string first = published();
    net_server_serve_folder(host_path(work + L"\\published"));

    // PCs keep their downloads under the version, so 2.1 must stay what it was.
    EXPECT_EQ(publish_image("second.iso", "2.1", base_address()), 1);
    EXPECT_NE(output.find("quenvar-os-2.1.iso is already published with other bytes"),
              std::string::npos) << output;
    EXPECT_EQ(published(), first);
    fetch_manifest();
    ASSERT_EQ(manifest_info.loaded, 1);
    EXPECT_EQ(manifest_info.iso_sha256, program_digest(file("first.iso")));

    ASSERT_EQ(publish_image("second.iso", "2.2", base_address(), TEST_KEY + " --serial 9"), 0);
    EXPECT_NE(output.find(", manifest serial 9\n"), std::string::npos) << output;
    fetch_manifest();
    ASSERT_EQ(manifest_info.loaded, 1);
    EXPECT_STREQ(manifest_info.version, L"2.2");
    EXPECT_EQ(check_manifests({"published/updates/os-quenvar/latest.json"}), 0) << output;
    EXPECT_NE(output.find("\n  serial       9\n"), std::string::npos) << output;
    EXPECT_EQ(manifest_info.iso_sha256, program_digest(file("second.iso")));
}

TEST_F(PublishToolTest, RefusesWhatTheProgramWouldRefuseAndWritesNothing)
{
    ASSERT_TRUE(write_whole_file(file("image.iso"), image_bytes(4096, 3)));
    ASSERT_TRUE(write_whole_file(file("empty.iso"), ""));
    struct Case {
        const char *iso;
        std::string version;
        std::string address;
        const char *says;
        std::string options = TEST_KEY;
    };
    const std::string host = narrow(QV_UPDATE_HOST);
    const Case cases[] = {
        {"image.iso", "../2.1", base_address(),
         "the version '../2.1' cannot be used: it becomes part of a file name on the PC"},
        {"image.iso", "2.1:beta", base_address(), "the version '2.1:beta' cannot be used"},
        {"image.iso", "", base_address(), "the version is empty"},
        {"image.iso", std::string(32, '7'), base_address(),
         "is 32 bytes long; the program keeps only the first 31"},
        {"image.iso", "2.1", "http://" + host,
         "does not begin with https://: the program fetches images only over HTTPS"},
        {"image.iso", "2.1", "HTTPS://" + host, "does not begin with https://"},
        {"image.iso", "2.1", base_address() + "/images",
         "is not of the form https://HOST or https://HOST:PORT"},
        {"empty.iso", "2.1", base_address(), "the image empty.iso is empty"},
        {"missing.iso", "2.1", base_address(), "the image missing.iso is not a file"},
        {"image.iso", "2.1", base_address(), "no --key: a program built with a publisher key "
                                             "takes only a manifest signed with it", ""},
        // Signed with a key whose public half is not the program's.
        {"image.iso", "2.1", base_address(),
         "\"" MANIFEST_NOT_SIGNED_SENTENCE "\" (the signature does not verify with the "
         "publisher's public key)",
         "--key " + host_quote(KEYS + "other-publisher.pem") + " --public-key " +
             host_quote(KEYS + "publisher-test.pub.pem")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version + " " + c.address + " " + c.iso + " " + c.options);
        EXPECT_EQ(publish_image(c.iso, c.version, c.address, c.options), 1);
        EXPECT_EQ(output.find("publish-image: refused: "), 0u) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        EXPECT_NE(output.find("; nothing was published"), std::string::npos) << output;
        EXPECT_FALSE(file_exists(work + L"\\published")) << "something was written";
    }
}

// The tool checks what it writes with the program's text functions built for
// Linux; here the same manifests go to the program itself, and both readings
// must agree: accepted with the same values, or refused with the same sentence.
TEST_F(PublishToolTest, ItsReadingOfAManifestIsTheProgramsReading)
{
    auto body = [](const std::string &version, const std::string &url, const std::string &sha,
                   const std::string &size) {
        return "{\"version\": " + version + ", \"isoUrl\": " + url + ", \"isoSha256\": " + sha +
               ", \"isoSizeBytes\": " + size + "}";
    };
    const std::string url = "\"https://h/quenvar-os.iso\"", sha = "\"" + SHA + "\"";
    std::string upper = sha;
    upper[1] = 'F';
    const std::vector<std::string> bodies = {
        body("\"2.1\"", url, sha, "3221225472"),
        body("2.1", url, sha, "1"),
        body("\"../x\"", url, sha, "1"),
        body("\"2.1\\u00e9\"", url, sha, "1"),
        body("\"" + std::string(40, '9') + "\"", url, sha, "1"),
        "{\"isoVersion\": \"2.1.0\", " + body("\"2.1\"", url, sha, "1.5e9").substr(1),
        body("\"2.1\"", "\"http://h/quenvar-os.iso\"", sha, "1"),
        body("\"2.1\"", url, upper, "1"),
        body("\"2.1\"", url, sha, "\"1\""),
        body("\"2.1\"", url, sha, "0"),
        "{\"manifestSerial\": -3, " + body("\"2.1\"", url, sha, "1").substr(1),
        "not json at all",
    };
    // The signature is checked first: the second is refused for its signer.
    auto signer = [](size_t i) { return i == 1 ? "other-publisher" : "publisher-test"; };
    std::vector<std::string> names;
    for (size_t i = 0; i < bodies.size(); ++i) {
        names.push_back("manifest-" + std::to_string(i) + ".json");
        ASSERT_TRUE(write_whole_file(file(names.back().c_str()), bodies[i]));
        net_server_put_signed(MANIFEST_PATH, bodies[i], signer(i));
        ASSERT_TRUE(write_whole_file(file((names.back() + ".sig").c_str()),
                                     net_server_file_bytes(std::string(MANIFEST_PATH) + ".sig",
                                                           0, 1024)));
    }
    EXPECT_EQ(check_manifests(names), 1) << output;

    int accepted = 0;
    for (size_t i = 0; i < bodies.size(); ++i) {
        SCOPED_TRACE(bodies[i]);
        net_server_put_signed(MANIFEST_PATH, bodies[i], signer(i));
        fetch_manifest();
        if (manifest_info.loaded) {
            ++accepted;
            char size[32];
            snprintf(size, sizeof size, "%llu", (unsigned long long)manifest_info.iso_size);
            EXPECT_NE(output.find("the program reads " + names[i] + " as:\n  version      " +
                                  net_utf8(manifest_info.version) + "\n  isoUrl       " +
                                  net_utf8(manifest_info.iso_url) + "\n  isoSizeBytes " + size +
                                  "\n  isoSha256    " + manifest_info.iso_sha256 + "\n"),
                      std::string::npos) << output;
        } else {
            EXPECT_NE(output.find("the program would refuse " + names[i] + ": \"" +
                                  net_utf8(manifest_info.message) + "\""),
                      std::string::npos) << output;
        }
    }
    // Both outcomes were compared, not one of them many times.
    EXPECT_EQ(accepted, 3);
}

// 32-bit Wine hands back a stale handle value for a Linux program; closing it
// once closed the window scenarios' handle of the running program.
TEST(HostShellTest, ALinuxCommandLeavesTheCallersHandlesOpen)
{
    std::wstring folder = make_scratch_folder(L"host");
    std::vector<HANDLE> events;
    std::string output;
    for (int i = 0; i < 6; ++i) {
        events.push_back(CreateEventW(NULL, TRUE, FALSE, NULL));
        ASSERT_EQ(run_host_command("echo ran", folder, &output), 0);
        EXPECT_EQ(output, "ran\n");
    }
    for (HANDLE event : events) {
        EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT) << event;
        CloseHandle(event);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
