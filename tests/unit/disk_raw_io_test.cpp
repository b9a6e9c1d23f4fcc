#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "disk/raw_io.h"
#include "disk/seam.h"
#include "tests/support/sim_fixture.h"

namespace {

const uint64_t GIB = 1073741824ULL;
const DWORD MIB = 1048576;

struct RawIoTest : SimMachineTest {
    HANDLE disk = INVALID_HANDLE_VALUE;
    unsigned char *buffer = nullptr;

    void SetUp() override
    {
        SimMachineTest::SetUp();
        sim_add_disk(1, BusTypeUsb, 8 * GIB);
        disk = seam.CreateFileW(L"\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, NULL);
        buffer = (unsigned char *)VirtualAlloc(NULL, MIB, MEM_COMMIT | MEM_RESERVE,
                                               PAGE_READWRITE);
    }

    void TearDown() override
    {
        VirtualFree(buffer, 0, MEM_RELEASE);
        seam.CloseHandle(disk);
        SimMachineTest::TearDown();
    }

    static void add_fault(int kinds, uint64_t offset, int count, DWORD error, DWORD moved = 0)
    {
        sim_add_fault(1, kinds, offset, 1, count, error, moved);
    }
};

TEST_F(RawIoTest, WholeBlockMovesAtTheFirstAttemptWithoutALogLine)
{
    memset(buffer, 0x5A, MIB);
    DWORD error = 777;
    ASSERT_TRUE(transfer_with_retry(disk, true, 2 * (uint64_t)MIB, buffer, MIB, &error));
    EXPECT_EQ(error, 777UL);
    memset(buffer, 0, MIB);
    ASSERT_TRUE(transfer_with_retry(disk, false, 2 * (uint64_t)MIB, buffer, MIB, &error));
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(buffer[MIB - 1], 0x5A);
    EXPECT_TRUE(log_lines().empty());
    EXPECT_EQ(virtual_clock_slept_ms(), 0ULL);
}

TEST_F(RawIoTest, FailureOnceThenSuccessLeavesOneLineAndOnePause)
{
    add_fault(SIM_FAULT_WRITE, MIB, 1, ERROR_CRC);
    DWORD error = 0;
    EXPECT_TRUE(transfer_with_retry(disk, true, MIB, buffer, MIB, &error));
    EXPECT_EQ(error, (DWORD)ERROR_CRC);
    EXPECT_EQ(log_lines(), std::vector<std::wstring>{
                               L"write at 1048576 failed (attempt 1, error 23, 0 of 1048576 bytes)"});
    EXPECT_EQ(virtual_clock_slept_ms(), 700ULL);
    EXPECT_EQ(sim_count(SIM_WRITE), 2);
}

TEST_F(RawIoTest, ThreeFailuresReturnFalseWithTheThirdErrorAfter2100Ms)
{
    add_fault(SIM_FAULT_READ, 0, 1, ERROR_CRC);
    add_fault(SIM_FAULT_READ, 0, 1, ERROR_IO_DEVICE);
    add_fault(SIM_FAULT_READ, 0, 1, ERROR_SEM_TIMEOUT, 4096);
    DWORD error = 0;
    EXPECT_FALSE(transfer_with_retry(disk, false, 0, buffer, 65536, &error));
    EXPECT_EQ(error, (DWORD)ERROR_SEM_TIMEOUT);
    EXPECT_EQ(log_lines(), (std::vector<std::wstring>{
                               L"read at 0 failed (attempt 1, error 23, 0 of 65536 bytes)",
                               L"read at 0 failed (attempt 2, error 1117, 0 of 65536 bytes)",
                               L"read at 0 failed (attempt 3, error 121, 4096 of 65536 bytes)"}));
    EXPECT_EQ(virtual_clock_slept_ms(), 2100ULL);
    EXPECT_EQ(virtual_clock_sleep_calls(), 3UL);
}

TEST_F(RawIoTest, EachAttemptStartsAgainAtTheOffsetWithTheFullLength)
{
    add_fault(SIM_FAULT_WRITE, 4 * (uint64_t)MIB, 2, ERROR_CRC, 8192);
    DWORD error = 0;
    EXPECT_TRUE(transfer_with_retry(disk, true, 4 * (uint64_t)MIB, buffer, MIB, &error));
    int writes = 0;
    for (const SimEvent &event : sim_journal()) {
        if (event.kind != SIM_WRITE) continue;
        ++writes;
        EXPECT_EQ(event.offset, 4ULL * MIB);
        EXPECT_EQ(event.length, MIB);
    }
    EXPECT_EQ(writes, 3);
}

TEST_F(RawIoTest, FailedPositioningLogsNothingMoved)
{
    add_fault(SIM_FAULT_SEEK, 3 * (uint64_t)MIB, -1, ERROR_INVALID_PARAMETER);
    DWORD error = 0;
    EXPECT_FALSE(transfer_with_retry(disk, true, 3 * (uint64_t)MIB, buffer, MIB, &error));
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER);
    std::vector<std::wstring> lines = log_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], L"write at 3145728 failed (attempt 1, error 87, 0 of 1048576 bytes)");
    EXPECT_EQ(sim_count(SIM_WRITE), 0);
}

TEST_F(RawIoTest, ReadPastTheEndComesUpShortThreeTimesWithTheEndOfFileError)
{
    SetLastError(ERROR_MORE_DATA);  // left over from before: not the transfer's error
    DWORD error = 0;
    EXPECT_FALSE(transfer_with_retry(disk, false, 8 * GIB - 4096, buffer, MIB, &error));
    EXPECT_EQ(error, (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(log_lines(), (std::vector<std::wstring>{
                               L"read at 8589930496 failed (attempt 1, error 38, 4096 of 1048576 bytes)",
                               L"read at 8589930496 failed (attempt 2, error 38, 4096 of 1048576 bytes)",
                               L"read at 8589930496 failed (attempt 3, error 38, 4096 of 1048576 bytes)"}));
}

TEST_F(RawIoTest, ShortWriteReportsAWriteFaultAndAShortCallsOwnErrorIsKept)
{
    add_fault(SIM_FAULT_WRITE, 0, 3, 0, 512);  // "succeeds" with 512 bytes
    DWORD error = 0;
    EXPECT_FALSE(transfer_with_retry(disk, true, 0, buffer, MIB, &error));
    EXPECT_EQ(error, (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(log_lines().back(), L"write at 0 failed (attempt 3, error 29, 512 of 1048576 bytes)");
    add_fault(SIM_FAULT_WRITE, 0, -1, ERROR_CRC, 512);  // short and failed
    EXPECT_FALSE(transfer_with_retry(disk, true, 0, buffer, MIB, &error));
    EXPECT_EQ(error, (DWORD)ERROR_CRC);
}

TEST_F(RawIoTest, ZeroLengthReturnsTrueAtOnce)
{
    sim_clear_journal();
    DWORD error = 5;
    EXPECT_TRUE(transfer_with_retry(disk, true, 12345, buffer, 0, &error));
    EXPECT_EQ(error, 5UL);
    EXPECT_TRUE(sim_journal().empty());
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(RawIoTest, MisalignedRequestOnAnUnbufferedHandleFailsLikeAnyOther)
{
    DWORD error = 0;
    EXPECT_FALSE(transfer_with_retry(disk, true, 512 + 100, buffer, 512, &error));
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(transfer_with_retry(disk, true, 512, buffer, 100, &error));
    EXPECT_FALSE(transfer_with_retry(disk, false, 512, buffer + 8, 512, &error));
    EXPECT_EQ(sim_count_log_lines(log_lines(), L"write at 612 failed"), 3);
    EXPECT_EQ(sim_count_log_lines(log_lines(), L"read at 512 failed (attempt 3, error 87, 0 of 512"),
              1);
    EXPECT_EQ(virtual_clock_slept_ms(), 3 * 2100ULL);
}

TEST_F(RawIoTest, PulledDriveFailsEveryAttempt)
{
    sim_disk(1)->pull_after_bytes = MIB / 2;
    DWORD error = 0;
    EXPECT_FALSE(transfer_with_retry(disk, true, 0, buffer, MIB, &error));
    EXPECT_EQ(error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(log_lines(), (std::vector<std::wstring>{
                               L"write at 0 failed (attempt 1, error 1167, 524288 of 1048576 bytes)",
                               L"write at 0 failed (attempt 2, error 1167, 0 of 1048576 bytes)",
                               L"write at 0 failed (attempt 3, error 1167, 0 of 1048576 bytes)"}));
}

}  // namespace
