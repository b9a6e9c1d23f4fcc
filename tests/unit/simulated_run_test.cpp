// The whole program, built against the simulated machine, run as a process
// with the real command line: a USB stick whose content is a host file.
#include <gtest/gtest.h>

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

    void describe_machine(const std::string &extra = "")
    {
        std::string text =
            "windows C:\\Windows\n"
            "disk 0 bus=sata size=64G vendor=\"ATA\" product=\"System SSD\"\n"
            "volume - letter=C type=fixed disk=0 partition=1\n"
            "disk 3 bus=usb size=1G vendor=\"Quenvar \" product=\"Demo Stick    \" backing=\"" +
            narrow(stick) + "\"\n"
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

}  // namespace
