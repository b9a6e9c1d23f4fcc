// Entry: reading the command line and choosing between the window and the
// headless test-write run.
#pragma once
#include <windows.h>

struct CommandLine {
    bool test_write;      // "--test-write" DISK IMAGE was given
    int disk;             // DISK read as a decimal integer
    const wchar_t *image; // IMAGE exactly as given
    bool legacy_locks;    // "--legacy-locks" as the fifth element
    bool check;           // "--check" DISK IMAGE was given (disk and image as above)
};

// Leading blanks, an optional sign, then digits up to the first non-digit;
// no digits give 0. Values beyond the int range saturate.
int parse_disk_number(const wchar_t *text);

// Decides the form from the split command line (program name first).
CommandLine read_command_line(int count, wchar_t **args);

// Applies the test-write options to the process environment.
void apply_test_write_options(const CommandLine &line);

// The whole program; the result is the process exit code.
int run_program(HINSTANCE instance, int show);
