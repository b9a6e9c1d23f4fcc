// Reading back the event log that a test made, without its time stamps.
#pragma once
#include <string>
#include <vector>

// The texts of writer.log in `folder`, one per line, stamp and CR LF removed.
std::vector<std::wstring> sim_read_log_lines(const std::wstring &folder);
// Lines that begin with `prefix`.
int sim_count_log_lines(const std::vector<std::wstring> &lines, const wchar_t *prefix);
