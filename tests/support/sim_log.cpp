#include "tests/support/sim_log.h"

#include <windows.h>

#include "tests/support/test_files.h"

namespace {

const size_t STAMP_CHARS = 21;  // "yyyy-mm-dd hh:mm:ss" and two blanks

std::wstring widen(const std::string &text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0);
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], n);
    return wide;
}

}  // namespace

std::vector<std::wstring> sim_read_log_lines(const std::wstring &folder)
{
    std::vector<std::wstring> lines;
    std::string bytes = read_whole_file(folder + L"\\writer.log");
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        lines.push_back(widen(line.size() > STAMP_CHARS ? line.substr(STAMP_CHARS) : ""));
        start = end + 2;
    }
    return lines;
}

int sim_count_log_lines(const std::vector<std::wstring> &lines, const wchar_t *prefix)
{
    int count = 0;
    for (const std::wstring &line : lines)
        if (line.compare(0, wcslen(prefix), prefix) == 0) ++count;
    return count;
}
