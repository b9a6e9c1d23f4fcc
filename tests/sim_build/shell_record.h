// What the program asks of the Windows shell, noted where a test can read
// it: Wine's taskbar shows no progress and no flash, and no session ends
// under it. The window's shell table is rebound to note each request, one
// line each, in the file named like the machine description with ".shell"
// appended; the harness adds the bar's positions and, at the end, the
// current directory.
#pragma once
#include <string>

void start_shell_record(const wchar_t *machine_path);
void note_shell(const std::string &line);
