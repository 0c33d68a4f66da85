#include "tests/token_report/token_report_test_util.h"

#include <gtest/gtest.h>

#include "common/security/access_token.h"

namespace qzreporttest
{
namespace
{
bool HasGroupWith(HANDLE token, const wchar_t* sid, DWORD bit)
{
    DWORD attributes = 0;
    return qztest::TokenGroupAttributes(token, sid, attributes) && (attributes & bit) != 0;
}

template <typename T>
bool Read(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, T& value)
{
    DWORD returned = 0;
    return ::GetTokenInformation(token, infoClass, &value, sizeof(value), &returned) != FALSE;
}
} // namespace

Lines ReportFile::Read() const
{
    Lines lines;
    std::string problem;
    EXPECT_TRUE(qztest::ReadUtf16Lines(m_path, lines, &problem)) << qztest::ToUtf8(m_path) << ": " << problem;
    return lines;
}

Lines FullReportOf(HANDLE token, bool includeLinked)
{
    ReportFile file;
    EXPECT_TRUE(CqzAccessToken::Dump(token, file.Path().c_str(), includeLinked, false));
    return file.Read();
}

Lines ShortReportOf(HANDLE token, bool censor)
{
    ReportFile file;
    EXPECT_TRUE(CqzAccessToken::DumpUserGroupsAndPriviliges(token, file.Path().c_str(), censor, false));
    return file.Read();
}

const std::vector<TokenCase>& TokenCases()
{
    static const std::vector<TokenCase> cases = {
        {"process token", [](HANDLE process) { return qztest::DuplicatePrimary(process); },
         [](HANDLE token) { return HasGroupWith(token, L"S-1-5-32-544", SE_GROUP_ENABLED); }},
        {"Administrators deny-only", [](HANDLE process) { return qztest::RestrictedAdministratorsDenyOnly(process); },
         [](HANDLE token) { return HasGroupWith(token, L"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY); }},
        {"linked token", [](HANDLE process) { return qztest::LinkedToken(process); },
         [](HANDLE token)
         {
             TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
             return Read(token, TokenElevationType, type) && type == TokenElevationTypeLimited;
         }},
        {"impersonation token", [](HANDLE process) { return qztest::DuplicateImpersonation(process); },
         [](HANDLE token)
         {
             TOKEN_TYPE type = TokenPrimary;
             return Read(token, TokenType, type) && type == TokenImpersonation;
         }},
    };
    return cases;
}

Lines LinesFrom(const Lines& lines, const std::wstring& prefix)
{
    for (size_t i = 0; i < lines.size(); ++i)
    {
        if (lines[i].compare(0, prefix.size(), prefix) == 0)
            return Lines(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end());
    }
    return Lines();
}

std::wstring LineStartingWith(const Lines& lines, const std::wstring& prefix)
{
    const Lines from = LinesFrom(lines, prefix);
    return from.empty() ? L"<none>" : from.front();
}

size_t CountLines(const Lines& lines, const std::wstring& text)
{
    size_t count = 0;
    for (const std::wstring& line : lines)
        count += line == text ? 1 : 0;
    return count;
}

} // namespace qzreporttest
