#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "app/error_text.h"

namespace {

std::wstring describe(unsigned long code, size_t capacity = 256)
{
    wchar_t buffer[400];
    return describe_error(code, buffer, capacity);
}

const std::wstring SECURE =
    L"the secure connection failed \x2014 check that this PC's date and time are correct";

TEST(DescribeError, FixedNetworkTextsNameTheUpdateHost)
{
    EXPECT_EQ(describe(12002), L"the connection timed out");
    EXPECT_EQ(describe(12007), std::wstring(L"no internet connection (") + QV_UPDATE_HOST +
                                   L" could not be found)");
    EXPECT_EQ(describe(12029), std::wstring(L"could not connect to ") + QV_UPDATE_HOST);
    EXPECT_EQ(describe(12030), L"the connection was closed");
}

TEST(DescribeError, AllCertificateFailuresShareTheSecureConnectionText)
{
    for (unsigned long code : {12037ul, 12038ul, 12045ul, 12057ul, 12175ul})
        EXPECT_EQ(describe(code), SECURE) << code;
}

TEST(DescribeError, SystemTextLosesTrailingFullStopsAndLineBreaks)
{
    int trimmed = 0;
    for (unsigned long code : {2ul, 5ul, 32ul, 87ul, 112ul}) {
        wchar_t raw[256] = L"";
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0,
                       raw, 256, NULL);
        std::wstring expected = raw;
        while (!expected.empty() && wcschr(L".\r\n", expected.back())) expected.pop_back();
        ASSERT_FALSE(expected.empty()) << code;
        EXPECT_EQ(describe(code), expected) << code;
        if (expected != raw) ++trimmed;
    }
    EXPECT_GT(trimmed, 0) << "no system text had anything to trim";
}

// WinHTTP's codes beyond the fixed ones are worded by winhttp.dll's own table. Wine's
// has none: asking it fails with 1813, and the number stands.
TEST(DescribeError, WinHttpCodeIsAskedOfWinHttpsOwnTable)
{
    wchar_t own[256] = L"", text[256];
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                   GetModuleHandleW(L"winhttp.dll"), 12152, 0, own, 256, NULL);
    describe_error(12152, text, 256);
    DWORD asked = GetLastError();
    EXPECT_TRUE(own[0] ? text[0] && std::wstring(own).rfind(text, 0) == 0
                       : std::wstring(text) == L"error 12152" && asked == 1813) << text << asked;
}

TEST(DescribeError, CodeWithoutSystemTextIsNamedByNumber)
{
    EXPECT_EQ(describe(0x2A5F1234ul), L"error 710873652");
}

TEST(DescribeError, TextIsCutToTheCapacity)
{
    EXPECT_EQ(describe(12002, 10), L"the conne");
    EXPECT_EQ(describe(0x2A5F1234ul, 8), L"error 7");
    EXPECT_EQ(describe(12175, 1), L"");
}

}  // namespace
