#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/error_text.h"
#include "app/text.h"
#include "disk/seam.h"
#include "hash/sha256.h"
#include "source/cache_names.h"
#include "source/download.h"
#include "source/manifest.h"
#include "tests/support/host_shell.h"
#include "tests/support/net_fixture.h"
#include "tests/support/net_probes.h"
#include "ui/status.h"

namespace {

const char IMAGE_PATH[] = "/img/quenvar-os-2.1.iso";
const unsigned long long IMAGE_SIZE = 3 * 1048576 + 12345;

struct ShownStatus {
    std::wstring text;
    int progress;
    bool operator==(const ShownStatus &other) const
    {
        return text == other.text && progress == other.progress;
    }
};

ShownStatus shown_status(void)
{
    wchar_t text[STATUS_TEXT_CHARS];
    int progress = -1;
    read_status(text, STATUS_TEXT_CHARS, &progress);
    return {text, progress};
}

std::wstring current_status(void)
{
    return shown_status().text;
}

// Pauses as the download sleeps them: a run of sleeps with no clock reading
// in between is one pause. The download reads the clock when an attempt
// begins and after each write, and sleeps only in pauses, so the status seen
// at those moments is the one the window showed just before.
std::vector<unsigned long> pauses;
bool in_pause = false;
unsigned long long stop_after_slept_ms = 0;
int clock_readings = 0;
int stop_at_clock_reading = 0;
std::vector<ShownStatus> status_at_clock_readings;
std::vector<ShownStatus> status_at_pauses;

void WINAPI recording_sleep(DWORD ms)
{
    if (!in_pause) {
        pauses.push_back(0);
        status_at_pauses.push_back(shown_status());
    }
    in_pause = true;
    pauses.back() += ms;
    virtual_clock_sleep(ms);
    if (stop_after_slept_ms && virtual_clock_slept_ms() >= stop_after_slept_ms) set_cancel_flag(1);
}

DWORD WINAPI recording_tick_count(void)
{
    in_pause = false;
    status_at_clock_readings.push_back(shown_status());
    if (++clock_readings == stop_at_clock_reading) set_cancel_flag(1);
    return virtual_clock_tick_count();
}

struct DownloadTest : NetServerTest {
    wchar_t image[APP_PATH_CHARS];
    wchar_t part[APP_PATH_CHARS];
    wchar_t sidecar[APP_PATH_CHARS];
    wchar_t message[MESSAGE_CHARS];
    std::string sha;

    void SetUp() override
    {
        NetServerTest::SetUp();
        virtual_clock_install();
        seam.Sleep = recording_sleep;
        seam.GetTickCount = recording_tick_count;
        pauses.clear();
        in_pause = false;
        stop_after_slept_ms = 0;
        clock_readings = 0;
        stop_at_clock_reading = 0;
        status_at_clock_readings.clear();
        status_at_pauses.clear();
        report_status(0, L"");
        publish(IMAGE_SIZE);
        build_cache_path(image, L"2.1", CACHE_IMAGE_SUFFIX);
        build_cache_path(part, L"2.1", CACHE_PART_SUFFIX);
        build_cache_path(sidecar, L"2.1", CACHE_SIDECAR_SUFFIX);
        copy_cut(message, MESSAGE_CHARS, L"untouched");
    }

    void TearDown() override
    {
        DeleteFileW(image);
        DeleteFileW(part);
        DeleteFileW(sidecar);
        NetServerTest::TearDown();
    }

    void publish(unsigned long long size, unsigned long long zero_prefix = 0)
    {
        sha = net_server_publish_image(IMAGE_PATH, size, 1, zero_prefix);
        ZeroMemory(&manifest_info, sizeof manifest_info);
        manifest_info.loaded = 1;
        copy_cut(manifest_info.version, MANIFEST_VERSION_CHARS, L"2.1");
        copy_cut(manifest_info.iso_url, MANIFEST_URL_CHARS,
                 net_server_https_url(IMAGE_PATH).c_str());
        strcpy(manifest_info.iso_sha256, sha.c_str());
        manifest_info.iso_size = size;
    }

    bool run(unsigned long long resume = 0)
    {
        return download_image(image, part, sidecar, resume, message);
    }

    void write_partial(unsigned long long count)
    {
        ASSERT_TRUE(write_whole_file(part, net_server_file_bytes(IMAGE_PATH, 0, count)));
    }

    std::vector<std::string> ranges()
    {
        std::vector<std::string> seen;
        for (const NetRequest &request : net_server_requests_for(IMAGE_PATH))
            seen.push_back(request.range);
        return seen;
    }

    void expect_verified()
    {
        EXPECT_STREQ(message, L"untouched");
        EXPECT_FALSE(file_exists(part));
        EXPECT_EQ(read_whole_file(sidecar), sha + "\n");
        EXPECT_EQ(file_digest(image), sha);
        EXPECT_EQ(log_lines().back(), "download: verified " + net_utf8(image));
    }

    std::string file_digest(const wchar_t *path)
    {
        char digest[DIGEST_TEXT_BYTES] = "";
        wchar_t failure[MESSAGE_CHARS];
        hash_file(path, L"test", digest, failure);
        return digest;
    }

    bool has_log_line(const std::string &line)
    {
        for (const std::string &seen : log_lines())
            if (seen == line) return true;
        return false;
    }
};

typedef std::vector<unsigned long> Pauses;
typedef std::vector<std::string> Ranges;

TEST_F(DownloadTest, FromZeroWithoutRangeThenMovedIntoPlaceWithItsSidecar)
{
    ASSERT_TRUE(run());
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"-"}));
    EXPECT_TRUE(has_log_line("download attempt 1: HTTP 200 from byte 0"));
    EXPECT_TRUE(pauses.empty());
}

TEST_F(DownloadTest, ResumeAppendsAfterTheBytesOnDisk)
{
    write_partial(1048576);
    ASSERT_TRUE(run(1048576));
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"bytes=1048576-"}));
    EXPECT_TRUE(has_log_line("download attempt 1: HTTP 206 from byte 1048576"));
}

TEST_F(DownloadTest, ResumeFromOneGibibyte)
{
    const unsigned long long gib = 1073741824ULL;
    publish(gib + 1048576 + 7, gib);
    HANDLE file = CreateFileW(part, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)gib;
    ASSERT_TRUE(SetFilePointerEx(file, end, NULL, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);

    ASSERT_TRUE(run(gib));
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"bytes=1073741824-"}));
    EXPECT_TRUE(has_log_line("download attempt 1: HTTP 206 from byte 1073741824"));
}

TEST_F(DownloadTest, FinishedPartialDownloadIsOnlyVerified)
{
    write_partial(IMAGE_SIZE);
    ASSERT_TRUE(run(IMAGE_SIZE));
    expect_verified();
    EXPECT_TRUE(ranges().empty());
}

// A virus scanner holds the finished file, without delete sharing, until the move's first pause.
HANDLE scanner;
void WINAPI scanner_lets_go_while_sleeping(DWORD ms) { CloseHandle(scanner); recording_sleep(ms); }

TEST_F(DownloadTest, FinishedFileHeldByAScannerIsMovedOnceItLetsGo)
{
    write_partial(IMAGE_SIZE);
    scanner = CreateFileW(part, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    seam.Sleep = scanner_lets_go_while_sleeping;
    ASSERT_TRUE(run(IMAGE_SIZE));
    expect_verified();
    EXPECT_EQ(pauses, Pauses({500}));
}

TEST_F(DownloadTest, ContentRangeStartingElsewhereRestartsFromZero)
{
    write_partial(5);
    net_server_script(IMAGE_PATH, "content_range=bytes%200-99/100");
    ASSERT_TRUE(run(5));
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"bytes=5-", "-"}));
    EXPECT_EQ(pauses, Pauses({2000}));
    EXPECT_TRUE(has_log_line(
        "download attempt 1: Content-Range did not match, restarting from zero"));
    EXPECT_TRUE(has_log_line("download attempt 2: HTTP 200 from byte 0"));
}

TEST_F(DownloadTest, MissingContentRangeRestartsFromZero)
{
    write_partial(1048576);
    net_server_script(IMAGE_PATH, "content_range=missing&times=8");
    ASSERT_FALSE(run(1048576));
    EXPECT_STREQ(message,
                 L"The download did not finish (restarting the download). Press Write to continue it.");
    // From attempt 2 on the request starts at 0 and the 206 is checked against bytes 0-.
    EXPECT_EQ(ranges()[0], "bytes=1048576-");
    EXPECT_EQ(ranges()[1], "-");
    EXPECT_FALSE(file_exists(part));
}

TEST_F(DownloadTest, IgnoredRangeRewritesTheFileFromTheFirstByte)
{
    write_partial(1048576);
    net_server_script(IMAGE_PATH, "ignore_range=1");
    ASSERT_TRUE(run(1048576));
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"bytes=1048576-"}));
    EXPECT_TRUE(has_log_line("download: server ignored the range, starting again"));
    EXPECT_TRUE(has_log_line("download attempt 1: HTTP 200 from byte 0"));
    EXPECT_TRUE(pauses.empty());
}

TEST_F(DownloadTest, Status416DeletesThePartialDownloadAndStartsOver)
{
    write_partial(100);
    net_server_script(IMAGE_PATH, "status=416");
    ASSERT_TRUE(run(100));
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"bytes=100-", "-"}));
    EXPECT_EQ(pauses, Pauses({2000}));
    EXPECT_TRUE(has_log_line("download attempt 1: 416, restarting from zero"));
}

TEST_F(DownloadTest, NotThereEndsAtOnceAndKeepsThePartialDownload)
{
    for (int status : {404, 403, 410}) {
        SCOPED_TRACE(status);
        net_server_reset();
        publish(IMAGE_SIZE);
        write_partial(1000);
        net_server_script(IMAGE_PATH, "status=" + std::to_string(status));
        ASSERT_FALSE(run(1000));
        wchar_t expected[200];
        _snwprintf(expected, 199,
                   L"The quenvar OS 2.1 image is not on " QV_UPDATE_HOST L" (HTTP %d).", status);
        EXPECT_STREQ(message, expected);
        EXPECT_EQ(ranges().size(), 1u);
        EXPECT_TRUE(pauses.empty());
        EXPECT_EQ(read_whole_file(part).size(), 1000u);
        EXPECT_EQ(log_lines().back(), "download attempt 1: HTTP " + std::to_string(status));
    }
}

TEST_F(DownloadTest, ServerErrorEveryTimeMakesEightAttemptsWithGrowingPauses)
{
    write_partial(1000);
    net_server_script(IMAGE_PATH, "status=500&times=8");
    ASSERT_FALSE(run(1000));
    EXPECT_STREQ(message, L"The download did not finish (" QV_UPDATE_HOST L" answered HTTP 500). "
                          L"Press Write to continue it.");
    EXPECT_EQ(pauses, Pauses({2000, 4000, 8000, 30000, 30000, 30000, 30000}));
    EXPECT_EQ(virtual_clock_slept_ms(), 134000u);
    EXPECT_EQ(ranges(), Ranges(8, "bytes=1000-"));
    EXPECT_TRUE(has_log_line("download attempt 8: HTTP 500"));
    EXPECT_EQ(read_whole_file(part).size(), 1000u);
}

TEST_F(DownloadTest, OneByteTooManyIsNotWrittenAndTheNextAttemptStartsOver)
{
    net_server_script(IMAGE_PATH, "extra=1");
    ASSERT_TRUE(run());
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"-", "-"}));
    EXPECT_EQ(pauses, Pauses({2000}));
    bool overrun_logged = false;
    for (const std::string &line : log_lines())
        overrun_logged |= std::regex_match(line, std::regex("download: overrun at byte \\d+"));
    EXPECT_TRUE(overrun_logged);

    net_server_script(IMAGE_PATH, "extra=1&times=8");
    ASSERT_FALSE(run());
    EXPECT_STREQ(message, L"The download did not finish (the server sent more data than "
                          L"expected). Press Write to continue it.");
    EXPECT_FALSE(file_exists(part));
}

TEST_F(DownloadTest, ResponseEndingShortIsResumedAfterAPause)
{
    net_server_script(IMAGE_PATH, "short=1500000");
    ASSERT_TRUE(run());
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"-", "bytes=1500000-"}));
    EXPECT_EQ(pauses, Pauses({2000}));
    EXPECT_TRUE(has_log_line("download attempt 2: HTTP 206 from byte 1500000"));

    net_server_script(IMAGE_PATH, "short=1000&times=8");
    ASSERT_FALSE(run());
    EXPECT_STREQ(message, L"The download did not finish (the connection ended early). "
                          L"Press Write to continue it.");
    EXPECT_EQ(read_whole_file(part).size(), 8000u);
}

TEST_F(DownloadTest, BrokenConnectionIsResumedFromTheLastByteWritten)
{
    net_server_script(IMAGE_PATH, "cut=2000000");
    ASSERT_TRUE(run());
    expect_verified();
    std::vector<std::string> seen = ranges();
    ASSERT_EQ(seen.size(), 2u);
    std::string failure;
    for (const std::string &line : log_lines())
        if (line.rfind("download: read failed at byte ", 0) == 0) failure = line;
    ASSERT_FALSE(failure.empty());
    // The next request starts at the byte named in the failure.
    std::string at = failure.substr(30, failure.find(' ', 30) - 30);
    EXPECT_NE(at, "0");
    EXPECT_EQ(seen[1], "bytes=" + at + "-");
    EXPECT_EQ(pauses, Pauses({2000}));
}

TEST_F(DownloadTest, StopDuringALongPauseEndsWithinOneSlice)
{
    net_server_script(IMAGE_PATH, "status=500&times=8");
    stop_after_slept_ms = 2000 + 4000 + 8000 + 15000;
    ASSERT_FALSE(run());
    EXPECT_STREQ(message, L"Stopped. The download will continue from here next time.");
    EXPECT_EQ(virtual_clock_slept_ms(), stop_after_slept_ms);
    EXPECT_EQ(ranges().size(), 4u);
}

TEST_F(DownloadTest, StopBeforeTheFirstAttemptMakesNoRequest)
{
    write_partial(10);
    set_cancel_flag(1);
    ASSERT_FALSE(run(10));
    EXPECT_STREQ(message, L"Stopped. The download will continue from here next time.");
    EXPECT_TRUE(ranges().empty());
    EXPECT_EQ(read_whole_file(part).size(), 10u);
}

TEST_F(DownloadTest, StopBetweenReadsKeepsWhatArrivedForTheNextJob)
{
    // A slow body, so the stop lands while the response is still coming; the
    // clock is read right after the first write.
    net_server_script(IMAGE_PATH, "rate=2097152");
    stop_at_clock_reading = 2;
    ASSERT_FALSE(run());
    EXPECT_STREQ(message, L"Stopped. The download will continue from here next time.");
    EXPECT_EQ(ranges().size(), 1u);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(log_lines().back(), "download attempt 1: HTTP 200 from byte 0");
    std::string kept = read_whole_file(part);
    ASSERT_GT(kept.size(), 0u);
    ASSERT_LT(kept.size(), IMAGE_SIZE);
    EXPECT_TRUE(kept == net_server_file_bytes(IMAGE_PATH, 0, kept.size()));

    set_cancel_flag(0);
    stop_at_clock_reading = 0;
    copy_cut(message, MESSAGE_CHARS, L"untouched");
    ASSERT_TRUE(run(kept.size()));
    expect_verified();
    EXPECT_EQ(ranges().back(), "bytes=" + std::to_string(kept.size()) + "-");
}

TEST_F(DownloadTest, RetryShowsTheProblemThenConnectsAgain)
{
    const std::wstring connecting = L"Connecting to " QV_UPDATE_HOST L"\x2026";
    write_partial(1048576);
    net_server_script(IMAGE_PATH, "status=503");
    ASSERT_TRUE(run(1048576));
    expect_verified();
    const int resumed = (int)(1048576ULL * 1000 / IMAGE_SIZE);
    // Readings: attempt 1 begins, attempt 2 begins, first write of attempt 2, ...
    ASSERT_GE(status_at_clock_readings.size(), 3u);
    EXPECT_EQ(status_at_clock_readings[1], (ShownStatus{connecting, resumed}));
    EXPECT_EQ(status_at_clock_readings[2], (ShownStatus{connecting, resumed}));
    ASSERT_EQ(status_at_pauses.size(), 1u);
    EXPECT_EQ(status_at_pauses[0],
              (ShownStatus{L"Connection problem (" QV_UPDATE_HOST
                           L" answered HTTP 503). Trying again\x2026",
                           resumed}));
}

TEST_F(DownloadTest, FullDiskEndsAtOnceWithThePlatformsText)
{
    std::wstring small;
    std::string why;
    if (!net_small_volume_mount(2 * 1048576, &small, &why)) GTEST_SKIP() << why;
    std::wstring on_small = small + L"\\quenvar-os-2.1.iso.part";
    bool ok = download_image(image, on_small.c_str(), sidecar, 0, message);
    bool kept = file_exists(on_small);
    DeleteFileW(on_small.c_str());
    net_small_volume_unmount(small);

    EXPECT_FALSE(ok);
    wchar_t full[DOWNLOAD_REASON_CHARS];
    describe_error(ERROR_DISK_FULL, full, DOWNLOAD_REASON_CHARS);
    EXPECT_EQ(std::wstring(message), L"Could not save the download: " + std::wstring(full));
    EXPECT_TRUE(kept);
    EXPECT_EQ(ranges().size(), 1u);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(log_lines().back(), "download attempt 1: HTTP 200 from byte 0");
}

TEST_F(DownloadTest, EmptyAddressFailsEveryAttempt)
{
    manifest_info.iso_url[0] = L'\0';
    ASSERT_FALSE(run());
    EXPECT_EQ(pauses.size(), 7u);
    EXPECT_TRUE(net_server_requests().empty());
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 8u);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(lines.back(), parts,
                                 std::regex("download attempt 8: error (\\d+) \\((.*)\\)")))
        << lines.back();
    wchar_t reason[MESSAGE_CHARS];
    describe_error(strtoul(parts[1].str().c_str(), NULL, 10), reason, DOWNLOAD_REASON_CHARS);
    EXPECT_EQ(parts[2].str(), net_utf8(reason));
    EXPECT_EQ(std::wstring(message),
              L"The download did not finish (" + std::wstring(reason) + L"). Press Write to continue it.");
}

// The full-disk test starts Linux programs; a stray handle closed after them
// took the 32-bit form's registry root, and with it the next SHA-256 check.
TEST_F(DownloadTest, StartingALinuxProgramClosesNoOtherHandle)
{
    HANDLE other = CreateEventW(NULL, TRUE, FALSE, NULL);
    PROCESS_INFORMATION linux_start = {NULL, other, 140, 2};  // as Wine fills it
    release_started_program(&linux_start);
    EXPECT_EQ(WaitForSingleObject(other, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(other);
}

TEST_F(DownloadTest, DamagedDownloadIsDeleted)
{
    std::string real = sha;
    manifest_info.iso_sha256[0] = manifest_info.iso_sha256[0] == 'a' ? 'b' : 'a';
    ASSERT_FALSE(run());
    EXPECT_STREQ(message, L"The download was damaged on the way, so it was deleted. "
                          L"Press Write to download it again.");
    EXPECT_FALSE(file_exists(part));
    EXPECT_FALSE(file_exists(image));
    EXPECT_FALSE(file_exists(sidecar));
    EXPECT_EQ(log_lines().back(), "download: sha mismatch, got " + real);
}

TEST_F(DownloadTest, UnsavableDownloadEndsAtOnce)
{
    wchar_t nowhere[APP_PATH_CHARS];
    format_cut(nowhere, APP_PATH_CHARS - 1, L"%ls\\no such folder\\x.part", folder.c_str());
    ASSERT_FALSE(download_image(image, nowhere, sidecar, 0, message));
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Could not save the download: ", 0), 0u) << net_utf8(text);
    EXPECT_EQ(ranges().size(), 1u);
    EXPECT_TRUE(pauses.empty());
}

TEST_F(DownloadTest, ImageNameTakenByAFolderKeepsThePartialDownload)
{
    ASSERT_TRUE(CreateDirectoryW(image, NULL));
    ASSERT_TRUE(write_whole_file(std::wstring(image) + L"\\inside", "x"));
    ASSERT_FALSE(run());
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Could not keep the download: ", 0), 0u) << net_utf8(text);
    EXPECT_EQ(file_digest(part), sha);
    EXPECT_FALSE(file_exists(sidecar));
}

TEST_F(DownloadTest, StalledBodyTimesOutAndTheNextAttemptResumes)
{
    net_server_script(IMAGE_PATH, "status=500");
    net_server_script(IMAGE_PATH, "stall=1048576&stall_seconds=40");
    bool ok = false;
    std::thread worker([&] { ok = run(); });
    // The speed of attempt 2 counts its 2 s pause: 1 MiB in 2 s.
    const std::wstring stalled = L"Downloading quenvar OS 2.1\x2026  1 MB of 3 MB  (0.5 MB/s)";
    bool seen = false;
    std::wstring last;
    for (int waited = 0; waited < 600 && !seen; ++waited) {
        last = current_status();
        seen = last == stalled;
        Sleep(50);
    }
    worker.join();
    EXPECT_TRUE(seen) << net_utf8(last);
    ASSERT_TRUE(ok) << net_utf8(message);
    expect_verified();
    EXPECT_EQ(ranges(), Ranges({"-", "-", "bytes=1048576-"}));
    EXPECT_EQ(pauses, Pauses({2000, 4000}));
    // Windows reports the receive time-out as 12002; Wine passes on the socket's 10060.
    std::vector<std::string> lines = log_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2].rfind("download: read failed at byte 1048576 (", 0), 0u) << lines[2];
}

TEST_F(DownloadTest, ProgressReportsAreSpacedAndShowTheSpeed)
{
    virtual_clock_uninstall();
    net_server_script(IMAGE_PATH, "rate=2621440");
    bool ok = false;
    volatile bool done = false;
    std::thread worker([&] {
        ok = run();
        done = true;
    });
    std::vector<std::wstring> texts;
    DWORD began = GetTickCount();
    std::vector<DWORD> times;
    while (!done) {
        std::wstring text = current_status();
        if (text.rfind(L"Downloading", 0) == 0 && (texts.empty() || texts.back() != text)) {
            texts.push_back(text);
            times.push_back(GetTickCount() - began);
        }
        Sleep(10);
    }
    worker.join();
    ASSERT_TRUE(ok);
    ASSERT_GE(texts.size(), 2u);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 250u);
    std::wregex layout(L"Downloading quenvar OS 2\\.1\x2026  (\\d) MB of 3 MB  \\((\\d+\\.\\d) MB/s\\)");
    std::wsmatch parts;
    // Within the first second of an attempt the speed reads 0.0.
    EXPECT_EQ(texts.front(), L"Downloading quenvar OS 2.1\x2026  1 MB of 3 MB  (0.0 MB/s)");
    ASSERT_TRUE(std::regex_match(texts.back(), parts, layout)) << net_utf8(texts.back());
    EXPECT_NE(parts[1].str(), L"1");
    // Megabytes over whole elapsed seconds: 2 or 3 MiB over 1 or 2 s.
    double speed = _wtof(parts[2].str().c_str());
    EXPECT_GE(speed, 1.0);
    EXPECT_LE(speed, 3.0);
}

}  // namespace
