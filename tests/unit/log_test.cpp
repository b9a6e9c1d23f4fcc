#include <gtest/gtest.h>

#include <regex>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "tests/support/test_files.h"

namespace {

struct LogTest : ::testing::Test {
    std::wstring folder = make_scratch_folder(L"log");
    wchar_t saved_folder[APP_PATH_CHARS];
    void SetUp() override
    {
        wcscpy(saved_folder, app_folder);
        copy_cut(app_folder, APP_PATH_CHARS, folder.c_str());
    }
    void TearDown() override { wcscpy(app_folder, saved_folder); }
    std::string log_bytes() { return read_whole_file(folder + L"\\writer.log"); }
};

TEST_F(LogTest, LineIsStampTwoBlanksTextAndCrLf)
{
    write_log(L"pass %d: disk locked", 2);
    write_log(L"%ls at %I64u failed (%hs)", L"write", 1048576ULL, "x");
    std::string bytes = log_bytes();
    std::regex layout("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  pass 2: disk locked\r\n"
                      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  write at 1048576 failed \\(x\\)\r\n");
    EXPECT_TRUE(std::regex_match(bytes, layout)) << bytes;
}

TEST_F(LogTest, NonAsciiIsWrittenAsUtf8WithoutByteOrderMark)
{
    write_log(L"Starting\x2026 a \x2014 b");
    std::string bytes = log_bytes();
    ASSERT_GT(bytes.size(), 21u);
    EXPECT_NE(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_EQ(bytes.substr(21), "Starting\xE2\x80\xA6 a \xE2\x80\x94 b\r\n");
}

TEST_F(LogTest, LongMessageIsCutTo1020CharactersBeforeCrLf)
{
    std::wstring message(2000, L'x');
    write_log(L"%ls", message.c_str());
    std::string bytes = log_bytes();
    ASSERT_EQ(bytes.size(), 1022u);
    EXPECT_EQ(bytes.substr(1020), "\r\n");
    EXPECT_EQ(bytes.substr(21, 999), std::string(999, 'x'));
}

TEST_F(LogTest, LongestLineOfWideCharactersStillFits)
{
    std::wstring message(2000, L'\x2014');  // three UTF-8 bytes each
    write_log(L"%ls", message.c_str());
    EXPECT_EQ(log_bytes().size(), 21u + 999u * 3u + 2u);
}

TEST_F(LogTest, ControlCharactersAndLineBreaksInATextAreWrittenAsBlanks)
{
    const wchar_t *breaks[] = {L"\r", L"\n", L"\t", L"\x01", L"\x1b", L"\x1f",
                               L"\x85", L"\x2028", L"\x2029"};
    for (const wchar_t *text : breaks) write_log(L"image a%lsb.iso", text);
    write_log(L"%hs", "x.iso\r\nTEST RESULT: OK");
    std::string expected;
    for (size_t i = 0; i < sizeof breaks / sizeof breaks[0]; ++i) expected += "image a b.iso\r\n";
    expected += "x.iso  TEST RESULT: OK\r\n";
    std::regex stamp("(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  ");
    EXPECT_EQ(std::regex_replace(log_bytes(), stamp, "$1"), expected);
}

TEST_F(LogTest, DeletedLogIsStartedAnewByTheNextLine)
{
    write_log(L"first");
    ASSERT_TRUE(DeleteFileW((folder + L"\\writer.log").c_str()));
    write_log(L"second");
    std::string bytes = log_bytes();
    EXPECT_EQ(bytes.find("first"), std::string::npos);
    EXPECT_NE(bytes.find("second\r\n"), std::string::npos);
}

TEST_F(LogTest, MissingFolderCreatesNothingAnywhere)
{
    std::wstring missing = folder + L"\\not-there";
    copy_cut(app_folder, APP_PATH_CHARS, missing.c_str());
    write_log(L"dropped");
    EXPECT_FALSE(file_exists(missing));
    EXPECT_FALSE(file_exists(folder + L"\\writer.log"));
}

TEST_F(LogTest, EmptyFolderNeverWritesAtTheDriveRoot)
{
    bool root_log_before = file_exists(L"\\writer.log");
    app_folder[0] = L'\0';
    write_log(L"dropped");
    EXPECT_EQ(file_exists(L"\\writer.log"), root_log_before);
}

}  // namespace
