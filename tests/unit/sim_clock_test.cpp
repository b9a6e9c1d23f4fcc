#include <gtest/gtest.h>

#include <thread>

#include "disk/seam.h"
#include "tests/support/virtual_clock.h"

namespace {

struct VirtualClockTest : ::testing::Test {
    void SetUp() override { virtual_clock_install(); }
    void TearDown() override { virtual_clock_uninstall(); }
};

TEST_F(VirtualClockTest, SleepAdvancesTheTickAtOnceAndIsCounted)
{
    EXPECT_EQ(seam.GetTickCount(), (DWORD)VIRTUAL_CLOCK_START);
    DWORD real_before = ::GetTickCount();
    seam.Sleep(250);
    seam.Sleep(700);
    seam.Sleep(0);
    EXPECT_EQ(seam.GetTickCount(), (DWORD)VIRTUAL_CLOCK_START + 950);
    EXPECT_EQ(virtual_clock_now(), (DWORD)VIRTUAL_CLOCK_START + 950);
    EXPECT_EQ(virtual_clock_slept_ms(), 950ULL);
    EXPECT_EQ(virtual_clock_sleep_calls(), 3UL);
    EXPECT_LT(::GetTickCount() - real_before, 500UL);
}

TEST_F(VirtualClockTest, AutoAdvanceMovesEveryQueryAndAdvanceIsNotASleep)
{
    virtual_clock_set_auto_advance(100);
    DWORD first = seam.GetTickCount();
    DWORD second = seam.GetTickCount();
    EXPECT_EQ(first, (DWORD)VIRTUAL_CLOCK_START + 100);
    EXPECT_EQ(second - first, 100UL);
    virtual_clock_set_auto_advance(0);
    virtual_clock_advance(5000);
    EXPECT_EQ(seam.GetTickCount(), second + 5000);
    EXPECT_EQ(virtual_clock_slept_ms(), 0ULL);
    EXPECT_EQ(virtual_clock_sleep_calls(), 0UL);
}

TEST_F(VirtualClockTest, SleepsFromSeveralThreadsAllCount)
{
    auto sleeper = [] {
        for (int i = 0; i < 1000; ++i) seam.Sleep(3);
    };
    std::thread a(sleeper), b(sleeper);
    a.join();
    b.join();
    EXPECT_EQ(virtual_clock_slept_ms(), 6000ULL);
    EXPECT_EQ(virtual_clock_sleep_calls(), 2000UL);
    EXPECT_EQ(virtual_clock_now(), (DWORD)VIRTUAL_CLOCK_START + 6000);
}

TEST(VirtualClockBinding, UninstallRestoresWin32AndInstallResets)
{
    virtual_clock_install();
    seam.Sleep(40);
    virtual_clock_uninstall();
    EXPECT_EQ(seam.Sleep, win32_seam.Sleep);
    EXPECT_EQ(seam.GetTickCount, win32_seam.GetTickCount);
    virtual_clock_install();
    EXPECT_EQ(virtual_clock_slept_ms(), 0ULL);
    EXPECT_EQ(virtual_clock_now(), (DWORD)VIRTUAL_CLOCK_START);
    virtual_clock_uninstall();
}

}  // namespace
