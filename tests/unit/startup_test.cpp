#include <gtest/gtest.h>

#include "app/startup.h"

namespace {

CommandLine read(std::initializer_list<const wchar_t *> elements)
{
    static wchar_t storage[8][64];
    static wchar_t *args[8];
    int count = 0;
    for (const wchar_t *element : elements) {
        wcscpy(storage[count], element);
        args[count] = storage[count];
        ++count;
    }
    return read_command_line(count, args);
}

TEST(DiskNumber, ReadAsALeadingDecimalInteger)
{
    EXPECT_EQ(parse_disk_number(L"3"), 3);
    EXPECT_EQ(parse_disk_number(L"  12abc"), 12);
    EXPECT_EQ(parse_disk_number(L"+7"), 7);
    EXPECT_EQ(parse_disk_number(L"-2"), -2);
    EXPECT_EQ(parse_disk_number(L"abc"), 0);
    EXPECT_EQ(parse_disk_number(L""), 0);
    EXPECT_EQ(parse_disk_number(L"99999999999999999999"), 2147483647);
    EXPECT_EQ(parse_disk_number(L"-99999999999999999999"), -2147483647 - 1);
}

TEST(CommandLineForms, TestWriteNeedsFourElementsAndTheExactWord)
{
    EXPECT_FALSE(read({L"w.exe"}).test_write);
    EXPECT_FALSE(read({L"w.exe", L"--test-write", L"1"}).test_write);
    EXPECT_FALSE(read({L"w.exe", L"--Test-Write", L"1", L"a.iso"}).test_write);
    EXPECT_FALSE(read({L"w.exe", L"x", L"--test-write", L"1", L"a.iso"}).test_write);

    CommandLine line = read({L"w.exe", L"--test-write", L"2", L"C:\\images\\a b.iso"});
    EXPECT_TRUE(line.test_write);
    EXPECT_EQ(line.disk, 2);
    EXPECT_STREQ(line.image, L"C:\\images\\a b.iso");
    EXPECT_FALSE(line.legacy_locks);
}

TEST(CommandLineForms, LegacyLocksCountsOnlyAsTheExactFifthElement)
{
    EXPECT_TRUE(read({L"w.exe", L"--test-write", L"1", L"a.iso", L"--legacy-locks"}).legacy_locks);
    EXPECT_TRUE(read({L"w.exe", L"--test-write", L"1", L"a.iso", L"--legacy-locks", L"x"})
                    .legacy_locks);
    EXPECT_FALSE(read({L"w.exe", L"--test-write", L"1", L"a.iso", L"--LEGACY-LOCKS"}).legacy_locks);
    EXPECT_FALSE(read({L"w.exe", L"--test-write", L"1", L"a.iso", L"x", L"--legacy-locks"})
                     .legacy_locks);
    EXPECT_FALSE(read({L"w.exe", L"--legacy-locks", L"1", L"a.iso", L"x"}).legacy_locks);
}

TEST(CommandLineForms, LettersForTheDiskReadAsDiskZero)
{
    CommandLine line = read({L"w.exe", L"--test-write", L"usb", L"a.iso"});
    EXPECT_TRUE(line.test_write);
    EXPECT_EQ(line.disk, 0);
}

}  // namespace

namespace {

TEST(CommandLineForms, LegacyLocksSetsThePartitionLockVariable)
{
    SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", NULL);
    apply_test_write_options(read({L"w.exe", L"--test-write", L"1", L"a.iso", L"--LEGACY-LOCKS"}));
    EXPECT_EQ(GetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", NULL, 0), 0u);

    apply_test_write_options(read({L"w.exe", L"--test-write", L"1", L"a.iso", L"--legacy-locks"}));
    wchar_t value[8] = L"";
    EXPECT_EQ(GetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", value, 8), 1u);
    EXPECT_STREQ(value, L"1");
    SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", NULL);
}

}  // namespace
