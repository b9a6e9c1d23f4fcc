// The whole program, built against the simulated machine, run as a process
// with the real command line: a USB stick whose content is a host file.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/support/test_files.h"

namespace {

const wchar_t HARNESS[] = L"qvwriter-SIMULATED-DISKS-test-harness.exe";
const uint64_t MIB = 1048576;

std::string narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

struct SimulatedRun : ::testing::Test {
    std::wstring folder = make_scratch_folder(L"simrun");
    std::wstring stick = folder + L"\\stick.img";
    std::wstring image = folder + L"\\demo image.iso";
    std::wstring journal = folder + L"\\journal.txt";
    std::string image_bytes;

    void describe_machine(const std::string &extra = "", const std::string &stick_keys = "")
    {
        std::string text =
            "windows C:\\Windows\n"
            "disk 0 bus=sata size=64G vendor=\"ATA\" product=\"System SSD\"\n"
            "volume - letter=C type=fixed disk=0 partition=1\n"
            "disk 3 bus=usb size=1G vendor=\"Quenvar \" product=\"Demo Stick    \" backing=\"" +
            narrow(stick) + "\" " + stick_keys + "\n"
            "volume - letter=E disk=3 partition=1\n" + extra;
        ASSERT_TRUE(write_whole_file(folder + L"\\machine.txt", text));
    }
    void make_image(size_t size)
    {
        image_bytes.resize(size);
        for (size_t i = 0; i < size; ++i) image_bytes[i] = (char)(i * 7 + i / 4099);
        ASSERT_TRUE(write_whole_file(image, image_bytes));
    }
    int run(const std::wstring &arguments)
    {
        return run_program_to_end(sibling_program(HARNESS), arguments, folder, 120000,
                                  {L"QV_SIM_MACHINE=" + folder + L"\\machine.txt",
                                   L"QV_SIM_JOURNAL=" + journal});
    }
    std::string log() { return read_whole_file(folder + L"\\qvwriter\\writer.log"); }
};

TEST_F(SimulatedRun, TestWriteWritesAndProvesTheImageOnTheStick)
{
    describe_machine();
    make_image(3 * MIB + 777);
    ASSERT_EQ(run(L"--test-write 3 \"" + image + L"\""), 0) << log();

    std::string text = log();
    const char *order[] = {
        "  ---- quenvar OS USB Writer 1.0.3 --test-write disk 3 ",
        "  writing ", " to disk 3: Quenvar Demo Stick, 1073741824 bytes\r\n",
        "  took \\\\?\\Volume{", "  1 volume(s) taken offline\r\n",
        "  pass 1: disk locked\r\n", "  pass 1: first write accepted\r\n",
        "  wrote 3146505 bytes in ", "  read back sha ", "  TEST RESULT: OK\r\n",
    };
    size_t at = 0;
    for (const char *line : order) {
        size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found;
    }

    uint64_t padded = (image_bytes.size() + 511) / 512 * 512;
    EXPECT_TRUE(read_file_range(stick, 0, image_bytes.size()) == image_bytes);
    EXPECT_EQ(read_file_range(stick, image_bytes.size(), padded - image_bytes.size()),
              std::string(padded - image_bytes.size(), '\0'));
    EXPECT_EQ(read_file_range(stick, 1073741824u - MIB, MIB), std::string(MIB, '\0'));

    std::string calls = read_whole_file(journal);
    EXPECT_NE(calls.find("GLOBALROOT"), std::string::npos);
}

TEST_F(SimulatedRun, LegacyLocksNeverOpensARawPartition)
{
    describe_machine();
    make_image(MIB + 3);
    ASSERT_EQ(run(L"--test-write 3 \"" + image + L"\" --legacy-locks"), 0) << log();
    std::string calls = read_whole_file(journal);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.find("GLOBALROOT"), std::string::npos);
}

TEST_F(SimulatedRun, DiskThatIsNoCandidateIsNeverTouched)
{
    describe_machine();
    make_image(MIB);
    EXPECT_EQ(run(L"--test-write 0 \"" + image + L"\""), 2);
    EXPECT_NE(log().find("  TEST RESULT: disk 0 is not a USB/SD candidate\r\n"), std::string::npos);
    EXPECT_EQ(run(L"--test-write 7 \"" + image + L"\""), 2);
    std::string calls = read_whole_file(journal);
    EXPECT_EQ(calls.find("write "), std::string::npos) << calls;
}

TEST_F(SimulatedRun, StickOutsideTheSizeLimitsOrNoCandidateAtAllIsExitCodeTwo)
{
    make_image(MIB);
    std::string small = "windows C:\\Windows\n"
                        "disk 4 bus=usb size=536870911 vendor=\"Tiny\" product=\"Stick\"\n";
    ASSERT_TRUE(write_whole_file(folder + L"\\machine.txt", small));
    EXPECT_EQ(run(L"--test-write 4 \"" + image + L"\""), 2);
    EXPECT_NE(log().find("  TEST RESULT: disk 4 is not a USB/SD candidate\r\n"), std::string::npos);

    ASSERT_TRUE(write_whole_file(folder + L"\\machine.txt", "windows C:\\Windows\n"));
    EXPECT_EQ(run(L"--test-write 0 \"" + image + L"\""), 2);
    EXPECT_NE(log().find("  TEST RESULT: disk 0 is not a USB/SD candidate\r\n"), std::string::npos);
}

TEST_F(SimulatedRun, ProgramRunningFromTheStickIsRefusedAsAnImageThereWouldBe)
{
    describe_machine("program E:\\quenvar-os-usb-writer.exe\n");
    make_image(MIB);
    EXPECT_EQ(run(L"--test-write 3 \"" + image + L"\""), 1);
    EXPECT_NE(log().find("  TEST RESULT: FAILED: quenvar OS USB Writer is running from this pen "
                         "drive, so writing would destroy it. Copy quenvar-os-usb-writer.exe to "
                         "the PC, start it from there and press Write again.\r\n"),
              std::string::npos) << log();
    EXPECT_EQ(read_whole_file(journal).find("access=0xc"), std::string::npos);  // no open for writing
}

TEST_F(SimulatedRun, MissingImageFailsWithTheEngineSentence)
{
    describe_machine();
    EXPECT_EQ(run(L"--test-write 3 \"" + folder + L"\\nothing.iso\""), 1);
    EXPECT_NE(log().find("  TEST RESULT: FAILED: Could not open the image: "), std::string::npos)
        << log();
}

TEST_F(SimulatedRun, FailedWriteEndsWithItsSentenceAndExitCodeOne)
{
    describe_machine("fault 3 write offset=1M count=always error=23\n");
    make_image(2 * MIB + 9);
    EXPECT_EQ(run(L"--test-write 3 \"" + image + L"\""), 1);
    std::string text = log();
    EXPECT_NE(text.find("  TEST RESULT: FAILED: Writing to the pen drive failed at 1 MB: "),
              std::string::npos) << text;
    EXPECT_NE(text.find("  write failed: Writing to the pen drive failed at 1 MB: "),
              std::string::npos);
}

// --check on a stick that holds the image (and other bytes after it), one
// changed as a PC would change it, one pulled out or unreadable part way, a
// disk that is no candidate and an image that cannot be read. Only opens for
// reading, reads and queries reach the machine.
struct CheckCase {
    const char *name;
    const char *stick_keys;
    const char *extra;
    int disk;
    bool image_exists;
    size_t changed_byte;  // 0: none
    int code;
    const char *last_line;
};

const CheckCase CHECK_CASES[] = {
    {"intact", "", "", 3, true, 0, 0, "CHECK RESULT: INTACT\r\n"},
    {"changed", "", "", 3, true, 2 * MIB + 5, 1,
     "CHECK RESULT: DIFFERS: This pen drive does not hold an intact quenvar OS image: a PC may "
     "have changed it or the pen drive may be faulty, and writing it again makes it sure.\r\n"},
    {"pulled", "pull-after=2M", "", 3, true, 0, 1,
     "CHECK RESULT: FAILED: Reading the pen drive failed at 2 MB: "},
    {"unreadable", "", "fault 3 read offset=1M count=always error=23\n", 3, true, 0, 1,
     "CHECK RESULT: FAILED: Reading the pen drive failed at 1 MB: "},
    {"no candidate", "", "", 0, true, 0, 2,
     "CHECK RESULT: FAILED: Disk 0 is not a USB/SD pen drive that the program may check.\r\n"},
    {"no image", "", "", 3, false, 0, 2, "CHECK RESULT: FAILED: Could not open "},
};

TEST_F(SimulatedRun, CheckTellsIntactChangedAndUnreadableSticksApartTouchingNothing)
{
    for (const CheckCase &c : CHECK_CASES) {
        SCOPED_TRACE(c.name);
        describe_machine(c.extra, c.stick_keys);
        make_image(3 * MIB + 777);
        std::string content = image_bytes + "bytes the image does not cover";
        if (c.changed_byte) content[c.changed_byte] ^= 0x40;
        ASSERT_TRUE(write_whole_file(stick, content));
        if (!c.image_exists) DeleteFileW(image.c_str());
        DeleteFileW((folder + L"\\qvwriter\\writer.log").c_str());
        EXPECT_EQ(run(L"--check " + std::to_wstring(c.disk) + L" \"" + image + L"\""), c.code);
        std::string text = log();
        size_t last = text.rfind("\r\n", text.size() - 3);
        size_t verdict = (last == std::string::npos ? 0 : last + 2) + 21;  // after the time
        EXPECT_EQ(text.compare(verdict, strlen(c.last_line), c.last_line), 0) << text;
        std::string calls = read_whole_file(journal);
        EXPECT_NE(calls.find("audit: clean"), std::string::npos) << calls;
        for (size_t at = calls.find(" access=0x"); at != std::string::npos;
             at = calls.find(" access=0x", at + 1))
            EXPECT_EQ(strtoul(calls.c_str() + at + 10, NULL, 16) & GENERIC_WRITE, 0u);
        for (const char *never : {" write #", "FSCTL_", "0x56c00c", "UPDATE_PROPERTIES"})
            EXPECT_EQ(calls.find(never), std::string::npos) << never;
    }
}

}  // namespace
