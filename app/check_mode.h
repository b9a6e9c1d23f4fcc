// The headless --check run: does disk DISK hold the image file IMAGE byte for
// byte over the image's length? Returns the process exit code (0 it does,
// 1 it does not or could not be read that far, 2 DISK is no candidate or the
// image cannot be read); the log's last line is the verdict.
#pragma once

int run_check(int disk, const wchar_t *image);
