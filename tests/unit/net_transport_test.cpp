#include <gtest/gtest.h>

#include <set>

#include "source/http.h"
#include "tests/support/net_fixture.h"

namespace {

struct TransportTest : NetServerTest {
    HttpRequest http = {};
    DWORD status = 0;
    void TearDown() override
    {
        close_http_request(&http);
        NetServerTest::TearDown();
    }
    std::string read_body()
    {
        std::string body;
        char chunk[4096];
        DWORD got = 0;
        while (WinHttpReadData(http.request, chunk, sizeof chunk, &got) && got > 0)
            body.append(chunk, got);
        return body;
    }
};

TEST_F(TransportTest, RangeHeaderOnlyFromANonZeroStart)
{
    net_server_publish_image("/img/a.iso", 3 << 20);
    std::wstring url = net_server_https_url("/img/a.iso");

    ASSERT_EQ(open_http_request(&http, url.c_str(), 0, &status), 0u);
    EXPECT_EQ(status, 200u);
    close_http_request(&http);
    ASSERT_EQ(open_http_request(&http, url.c_str(), 1048576, &status), 0u);
    EXPECT_EQ(status, 206u);

    std::vector<NetRequest> seen = net_server_requests_for("/img/a.iso");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].range, "-");
    EXPECT_EQ(seen[1].range, "bytes=1048576-");
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[1].user_agent, "quenvar-os-usb-writer/1.0.3");
    // The secure protocols asked for were taken: a refusal of both is logged.
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(TransportTest, SchemeDecidesTheSecureFlagAndThePortIsKept)
{
    net_server_put("/x.txt", "plain");
    ASSERT_EQ(open_http_request(&http, net_server_http_url("/x.txt").c_str(), 0, &status), 0u);
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(read_body(), "plain");
    close_http_request(&http);
    ASSERT_EQ(open_http_request(&http, net_server_https_url("/x.txt").c_str(), 0, &status), 0u);
    EXPECT_EQ(read_body(), "plain");

    std::vector<NetRequest> seen = net_server_requests_for("/x.txt");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].scheme, "http");
    EXPECT_EQ(seen[1].scheme, "https");

    // https to the plain port: the secure flag makes WinHTTP insist on TLS.
    close_http_request(&http);
    std::wstring secure_to_plain = net_server_http_url("/x.txt");
    secure_to_plain.replace(0, 4, L"https");
    EXPECT_NE(open_http_request(&http, secure_to_plain.c_str(), 0, &status), 0u);
    EXPECT_EQ(net_server_requests_for("/x.txt").size(), 2u);
}

TEST_F(TransportTest, QueryIsSentAfterThePath)
{
    net_server_put("/q.json", "{}");
    std::wstring url = net_server_https_url("/q.json?channel=pos&n=2");
    ASSERT_EQ(open_http_request(&http, url.c_str(), 0, &status), 0u);
    std::vector<NetRequest> seen = net_server_requests_for("/q.json");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/q.json?channel=pos&n=2");
}

TEST_F(TransportTest, ErrorStatusesAreReturnedWithTheirBody)
{
    net_server_publish_image("/img/b.iso", 1000);
    ASSERT_EQ(open_http_request(&http, net_server_https_url("/missing").c_str(), 0, &status), 0u);
    EXPECT_EQ(status, 404u);
    EXPECT_EQ(read_body(), "not found\n");
    close_http_request(&http);

    ASSERT_EQ(open_http_request(&http, net_server_https_url("/img/b.iso").c_str(), 5000, &status),
              0u);
    EXPECT_EQ(status, 416u);
    close_http_request(&http);

    net_server_script("/img/b.iso", "status=503");
    ASSERT_EQ(open_http_request(&http, net_server_https_url("/img/b.iso").c_str(), 0, &status), 0u);
    EXPECT_EQ(status, 503u);
}

TEST_F(TransportTest, FailuresReturnTheErrorAndLeaveTheHandlesMade)
{
    // Nothing listens on port 1: the request is made, sending it fails.
    ASSERT_EQ(open_http_request(&http, L"https://127.0.0.1:1/x", 0, &status), 12029u);
    EXPECT_NE(http.session, nullptr);
    EXPECT_NE(http.connection, nullptr);
    EXPECT_NE(http.request, nullptr);
    close_http_request(&http);
    EXPECT_EQ(http.session, nullptr);
    EXPECT_EQ(http.connection, nullptr);
    EXPECT_EQ(http.request, nullptr);

    // An address that cannot be split fails before any handle exists.
    for (const wchar_t *url : {L"", L"ftp://localhost/x", L"no address"}) {
        http.session = (HINTERNET)1;  // cleared by the call
        EXPECT_NE(open_http_request(&http, url, 0, &status), 0u) << url;
        EXPECT_EQ(http.session, nullptr);
        EXPECT_EQ(http.connection, nullptr);
        EXPECT_EQ(http.request, nullptr);
        EXPECT_EQ(status, 0u);
    }
}

// WinHTTP's certificate and secure-channel failures.
const std::set<DWORD> SECURE_FAILURES = {12037, 12038, 12044, 12045, 12055, 12057,
                                         12157, 12169, 12175, 12179};

TEST_F(TransportTest, CertificateProblemsFailTheSendWithASecureFailure)
{
    net_server_put("/x.txt", "plain");
    std::wstring url = net_server_https_url("/x.txt");
    // Wine reports 12157 for both; Windows names them 12045 and 12038 (or 12175).
    for (const char *kind : {"untrusted", "wrong_name"}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(net_server_certificate(kind));
        DWORD error = open_http_request(&http, url.c_str(), 0, &status);
        EXPECT_EQ(SECURE_FAILURES.count(error), 1u) << error;
        EXPECT_NE(http.request, nullptr);
        EXPECT_EQ(status, 0u);
        close_http_request(&http);
    }
    EXPECT_TRUE(net_server_requests_for("/x.txt").empty());

    ASSERT_TRUE(net_server_certificate("trusted"));
    ASSERT_EQ(open_http_request(&http, url.c_str(), 0, &status), 0u);
    EXPECT_EQ(read_body(), "plain");
}

}  // namespace
