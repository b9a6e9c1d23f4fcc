// The headless --test-write run; returns the process exit code
// (0 written and checked, 1 failed, 2 not a candidate).
#pragma once

int run_test_write(int disk, const wchar_t *image);
