// Helpers of the token report suite: reports written to files and read back,
// and the real tokens the report is checked on.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "testing/harness/harness.h"
#include "tests/token_report/report_oracle.h"
#include "tests/token_report/token_info_seam.h"

namespace qzreporttest
{

// A report file in a directory of its own, read back as UTF-16 lines.
class ReportFile
{
public:
    ReportFile() : m_path(m_dir / L"report.txt") {}

    const std::wstring& Path() const { return m_path; }
    const qztest::TempDir& Dir() const { return m_dir; }
    // The file's lines; a failure (no byte-order mark, a line without
    // "\r\n") is recorded as a test failure and gives no lines.
    Lines Read() const;

private:
    qztest::TempDir m_dir{L"qzreport"};
    std::wstring m_path;
};

// The reports of a borrowed token handle through the file forms.
Lines FullReportOf(HANDLE token, bool includeLinked);
Lines ShortReportOf(HANDLE token, bool censor);

// One real token of the tables: made from this process's token, with a
// check by plain advapi32 that it is what the row names.
struct TokenCase
{
    const char* name;
    std::function<qztest::ScopedHandle(HANDLE)> make;
    std::function<bool(HANDLE)> precondition;
};
const std::vector<TokenCase>& TokenCases();

// The lines from the first one that begins with prefix; empty when none does.
Lines LinesFrom(const Lines& lines, const std::wstring& prefix);
// The first line that begins with prefix; "<none>" when none does.
std::wstring LineStartingWith(const Lines& lines, const std::wstring& prefix);
size_t CountLines(const Lines& lines, const std::wstring& text);

} // namespace qzreporttest
