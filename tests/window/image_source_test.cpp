// A local image chosen through the file dialog, and back to the download.
#include "tests/window/window_scenario.h"

#include <commctrl.h>

namespace {

const wchar_t FILE_DIALOG_TITLE[] = L"Choose a quenvar OS .iso file";

struct ImageSourceScenario : WindowScenario {
    HWND open_file_dialog()
    {
        if (!press(window, ID_IMAGE_SOURCE)) return NULL;
        HWND dialog = wait_for_dialog(window, LONG_WAIT_MS);
        return dialog && window_text(dialog) == FILE_DIALOG_TITLE ? dialog : NULL;
    }
    void choose(const std::wstring &path)
    {
        HWND dialog = open_file_dialog();
        ASSERT_TRUE(dialog);
        ASSERT_TRUE(choose_file_in_dialog(dialog, path));
        ASSERT_TRUE(wait_until([&] { return !IsWindow(dialog); }, LONG_WAIT_MS));
    }
};

TEST_F(ImageSourceScenario, LocalFileThroughTheDialogAndAnUnofficialOneDeclined)
{
    describe_machine(stick(1, "Demo Stick    ", 'E'));
    CreateDirectoryW((folder + L"\\images").c_str(), NULL);
    std::wstring local = folder + L"\\images\\pos-os.iso";
    ASSERT_TRUE(write_whole_file(local, std::string(3 * 1048576 + 5, 'q')));
    start_program_window();
    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, VERSION_LINE));

    HWND dialog = open_file_dialog();
    ASSERT_TRUE(dialog) << "the file dialog with its title";
    ASSERT_TRUE(answer_dialog(dialog, IDCANCEL));
    ASSERT_TRUE(wait_until([&] { return !IsWindow(dialog); }, LONG_WAIT_MS));
    settle();
    EXPECT_EQ(text(ID_IMAGE_LINE), VERSION_LINE) << "a cancelled dialog changes nothing";
    EXPECT_EQ(text(ID_IMAGE_SOURCE), L"Use an ISO file\x2026");

    choose(local);
    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, L"Using the file pos-os.iso"));
    EXPECT_EQ(text(ID_IMAGE_LINE), L"Using the file pos-os.iso");
    EXPECT_EQ(text(ID_IMAGE_SOURCE), L"Download instead");
    std::string chose = "  user chose local image " + std::string(local.begin(), local.end());
    EXPECT_NE(log_added().find(chose + "\r\n"), std::string::npos) << log_added();
    shot(L"local-file");

    ASSERT_TRUE(press(window, ID_IMAGE_SOURCE));
    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, VERSION_LINE));
    EXPECT_EQ(text(ID_IMAGE_SOURCE), L"Use an ISO file\x2026");

    choose(local);
    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, L"Using the file pos-os.iso"));
    ASSERT_TRUE(write_and_confirm());
    HWND unofficial = wait_box(L"This file is not the official");
    ASSERT_TRUE(unofficial) << text(ID_STATUS);
    EXPECT_EQ(dialog_message(unofficial),
              L"This file is not the official quenvar OS 2.1 image.\n\n"
              L"Write it to the pen drive anyway?");
    ASSERT_TRUE(answer_dialog(unofficial, IDNO));
    ASSERT_TRUE(wait_text(ID_STATUS, L"Nothing was written."));
    ASSERT_TRUE(wait_text(ID_WRITE, L"Write"));
    settle();
    EXPECT_EQ(find_owned_dialog(window), (HWND)NULL) << "declining shows no dialog";
    EXPECT_EQ(progress_state(window), PBST_ERROR);
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_EQ(run.exit_code, 0u);
    std::string calls = journal();  // kept only by a harness that ended cleanly
    EXPECT_NE(calls.find("audit: clean"), std::string::npos) << calls;
    EXPECT_EQ(calls.find(" write #"), std::string::npos) << "the stick was never written";
    std::wstring app = program_folder();
    EXPECT_NE(read_whole_file(machine_path + L".shell")
                  .find("current directory " + std::string(app.begin(), app.end()) + "\r\n"),
              std::string::npos)
        << "no folder of the file's drive is left open";
}

}  // namespace
