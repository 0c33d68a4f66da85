// Token states Wine cannot produce, reached through a seam on
// GetTokenInformation (or LookupPrivilegeNameW) in this executable: the
// expiration-time forms (Wine's tokens all expire at MAXLONG64), a token
// without a default DACL, a linked token that cannot be had, an unknown
// elevation type or privilege, a user SID that cannot be censored and a
// token whose every read fails. Each report is also compared with the
// report the (equally rewritten) facts give.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/token_report/report_oracle.h"
#include "tests/token_report/token_report_test_util.h"
#include "trace/qztrace.h"

namespace
{
using qzreporttest::Lines;
using qzreporttest::TokenInformationSeam;
using qztest::ScopedHandle;

// The process token's reports with the rewrite in place, checked against
// the facts as the rewrite gives them.
struct SeamReports
{
    Lines full;
    Lines brief;
};

SeamReports ReportsUnder(TokenInformationSeam& seam, HANDLE token, bool censor = false)
{
    EXPECT_TRUE(seam.Installed());
    SeamReports reports;
    reports.full = qzreporttest::FullReportOf(token, true);
    reports.brief = qzreporttest::ShortReportOf(token, censor);
    EXPECT_EQ("", qzreporttest::Describe(qzreporttest::Compare(
                      reports.full, qzreporttest::ExpectedFullReport(token, qzreporttest::RunningVersions(), true))));
    EXPECT_EQ("", qzreporttest::Describe(
                      qzreporttest::Compare(reports.brief, qzreporttest::ExpectedShortReport(token, censor))));
    return reports;
}

TEST(TokenReportSeamTest, ExpirationTimeForms)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(process.IsValid());
    struct Row
    {
        ULONGLONG value;
        std::wstring text;
    };
    const ULONGLONG date = 133520000000000000ull; // 2024-02-11 in UTC
    const std::vector<Row> rows = {
        {0, L"0"},
        {0x7FFFFFFFFFFFFFFFull, L"MAXLONG64"},
        {0xFFFFFFFFFFFFFFFFull, L"MAXULONG64"},
        // Negative: no date, the bits.
        {0xFFFFFFFF00000000ull, L"0xFFFFFFFF00000000"},
        {0x8000000000000001ull, L"0x8000000000000001"},
        {date, qzreporttest::ExpirationText(static_cast<LONGLONG>(date))},
    };
    // The date form is the local time, day, month abbreviation, year, hours
    // and minutes.
    ASSERT_EQ(0u, rows.back().text.find(L"133520000000000000 (")) << qztest::ToUtf8(rows.back().text);
    ASSERT_EQ(std::wstring(L"133520000000000000 (dd-MMM-yyyy HH:mm)").size(), rows.back().text.size());

    for (const Row& row : rows)
    {
        const ULONGLONG value = row.value;
        TokenInformationSeam seam(
            TokenStatistics,
            [value](HANDLE token, LPVOID buffer, DWORD size, PDWORD returned)
            {
                const BOOL ok = TokenInformationSeam::Original(token, TokenStatistics, buffer, size, returned);
                if (ok && size >= sizeof(TOKEN_STATISTICS))
                    static_cast<TOKEN_STATISTICS*>(buffer)->ExpirationTime.QuadPart = static_cast<LONGLONG>(value);
                return ok;
            });
        const SeamReports reports = ReportsUnder(seam, process.Get());
        EXPECT_EQ(L"TOKEN EXPIRATION TIME: " + row.text,
                  qzreporttest::LineStartingWith(reports.full, L"TOKEN EXPIRATION TIME: "))
            << qztest::ToUtf8(row.text);
    }
}

TEST(TokenReportSeamTest, DefaultDaclIsReadAtTheLengthTheSystemAsksFor)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    std::vector<DWORD> sizes;
    std::vector<DWORD> reported;
    Lines lines;
    {
        TokenInformationSeam seam(TokenDefaultDacl,
                                  [&](HANDLE token, LPVOID buffer, DWORD size, PDWORD returned)
                                  {
                                      sizes.push_back(size);
                                      const BOOL ok = TokenInformationSeam::Original(token, TokenDefaultDacl, buffer,
                                                                                     size, returned);
                                      reported.push_back(*returned);
                                      return ok;
                                  });
        CqzStringTextSink sink;
        ASSERT_TRUE(CqzAccessToken::Dump(process.Get(), sink, false));
        ASSERT_TRUE(qztest::SplitCrLfLines(sink.Text(), lines));
    }
    ASSERT_EQ(2u, sizes.size());
    EXPECT_EQ(0u, sizes[0]);
    EXPECT_NE(0u, reported[0]);
    EXPECT_EQ(reported[0], sizes[1]);
    EXPECT_EQ(0u, qzreporttest::LineStartingWith(lines, L"DEFAULT DACL:").find(L"DEFAULT DACL:   DACL contains "));
}

// A TOKEN_DEFAULT_DACL in the caller's buffer whose ACL pointer the row
// chooses (given the buffer); the size query asks for size bytes.
TokenInformationSeam::Rewrite DefaultDaclAnswer(DWORD size, std::function<const ACL*(BYTE*)> dacl)
{
    return [size, dacl](HANDLE, LPVOID buffer, DWORD bufferSize, PDWORD returned)
    {
        *returned = size;
        if (bufferSize < size)
        {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memset(buffer, 0, bufferSize);
        static_cast<TOKEN_DEFAULT_DACL*>(buffer)->DefaultDacl = const_cast<ACL*>(dacl(static_cast<BYTE*>(buffer)));
        return TRUE;
    };
}

TEST(TokenReportSeamTest, DefaultDaclThatIsMissingOrNotInsideTheBlock)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    static ACL outside = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
    const DWORD block = sizeof(TOKEN_DEFAULT_DACL) + sizeof(ACL);
    struct Row
    {
        const char* name;
        TokenInformationSeam::Rewrite rewrite;
        std::wstring line;
    };
    const std::vector<Row> rows = {
        // No default DACL is not an empty one: objects then get no DACL.
        {"no default DACL", DefaultDaclAnswer(sizeof(TOKEN_DEFAULT_DACL), [](BYTE*) { return nullptr; }),
         L"DEFAULT DACL:   PACL is NULL"},
        {"an empty one",
         DefaultDaclAnswer(block,
                           [](BYTE* buffer)
                           {
                               ACL* acl = reinterpret_cast<ACL*>(buffer + sizeof(TOKEN_DEFAULT_DACL));
                               ::InitializeAcl(acl, sizeof(ACL), ACL_REVISION);
                               return acl;
                           }),
         L"DEFAULT DACL:   DACL contains 0 ACEs"},
        {"ACL outside the block", DefaultDaclAnswer(block, [](BYTE*) { return &outside; }), L"DEFAULT DACL: Error"},
        {"ACL longer than the block",
         DefaultDaclAnswer(block,
                           [](BYTE* buffer)
                           {
                               ACL* acl = reinterpret_cast<ACL*>(buffer + sizeof(TOKEN_DEFAULT_DACL));
                               ::InitializeAcl(acl, sizeof(ACL), ACL_REVISION);
                               acl->AclSize = sizeof(ACL) + 4;
                               return acl;
                           }),
         L"DEFAULT DACL: Error"},
        {"the read fails", qzreporttest::FailWith(ERROR_ACCESS_DENIED), L"DEFAULT DACL: Error"},
    };
    for (const Row& row : rows)
    {
        TokenInformationSeam seam(TokenDefaultDacl, row.rewrite);
        ASSERT_TRUE(seam.Installed());
        const Lines lines = qzreporttest::FullReportOf(process.Get(), false);
        const Lines from = qzreporttest::LinesFrom(lines, L"DEFAULT DACL:");
        ASSERT_GE(from.size(), 2u) << row.name;
        EXPECT_EQ(row.line, from[0]) << row.name;
        // The report goes on with the token object's security.
        EXPECT_EQ(0u, from[1].find(L"TOKEN SECURITY :    OBJECT ACCESS GRANTED: ")) << row.name;
    }
}

TEST(TokenReportSeamTest, LinkedTokenThatCannotBeHad)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    struct Row
    {
        const char* name;
        TOKEN_INFORMATION_CLASS infoClass;
        TokenInformationSeam::Rewrite rewrite;
        std::wstring lastLine;
    };
    auto answer = [](DWORD value)
    {
        return [value](HANDLE, LPVOID buffer, DWORD size, PDWORD returned)
        {
            *returned = sizeof(value);
            if (size < sizeof(value))
            {
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            std::memset(buffer, 0, size);
            std::memcpy(buffer, &value, sizeof(value));
            return TRUE;
        };
    };
    const std::vector<Row> rows = {
        {"its logon session is gone", TokenLinkedToken, qzreporttest::FailWith(ERROR_NO_SUCH_LOGON_SESSION),
         L"    *** Cannot get linked token ***"},
        {"the token is not split", TokenElevationType, answer(TokenElevationTypeDefault),
         L"    *** Cannot get linked token ***"},
        {"the system hands out no handle", TokenLinkedToken,
         [](HANDLE, LPVOID buffer, DWORD size, PDWORD returned)
         {
             *returned = sizeof(HANDLE);
             if (size < sizeof(HANDLE))
             {
                 ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                 return FALSE;
             }
             std::memset(buffer, 0, size);
             return TRUE;
         },
         L"    *** Linked token is NULL ***"},
    };
    for (const Row& row : rows)
    {
        TokenInformationSeam seam(row.infoClass, row.rewrite);
        const SeamReports reports = ReportsUnder(seam, process.Get());
        ASSERT_GE(reports.full.size(), 2u) << row.name;
        EXPECT_EQ(L"", reports.full[reports.full.size() - 2]) << row.name;
        EXPECT_EQ(row.lastLine, reports.full.back()) << row.name;
    }
}

TEST(TokenReportSeamTest, UnknownElevationTypeIsNamedUnknownWithAWarning)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    TokenInformationSeam seam(TokenElevationType,
                              [](HANDLE, LPVOID buffer, DWORD size, PDWORD returned)
                              {
                                  *returned = sizeof(DWORD);
                                  if (size < sizeof(DWORD))
                                  {
                                      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                                      return FALSE;
                                  }
                                  *static_cast<DWORD*>(buffer) = 7;
                                  return TRUE;
                              });
    qztest::TraceCapture capture;
    CqzStringTextSink sink;
    ASSERT_TRUE(CqzAccessToken::Dump(process.Get(), sink, false));
    Lines lines;
    ASSERT_TRUE(qztest::SplitCrLfLines(sink.Text(), lines));
    EXPECT_EQ(L"TOKEN ELEVATION TYPE: Unknown", qzreporttest::LineStartingWith(lines, L"TOKEN ELEVATION TYPE: "));
    const qztest::TraceEntry warning = {QZT_WARNING, "CqzAccessToken",
                                        "WARNING: Unknown TOKEN_ELEVATION_TYPE value: 7"};
    const auto entries = capture.Entries();
    EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(), warning));
}

// LookupPrivilegeNameW does not know SeDebugPrivilege (LUID 20).
const DWORD kDebugPrivilegeLuid = 20;
typedef BOOL(WINAPI* LookupPrivilegeNameWFn)(LPCWSTR, PLUID, LPWSTR, LPDWORD);
LookupPrivilegeNameWFn g_originalLookupName = nullptr;

BOOL WINAPI LookupNameWithoutDebug(LPCWSTR system, PLUID luid, LPWSTR name, LPDWORD length)
{
    if (luid != nullptr && luid->HighPart == 0 && luid->LowPart == kDebugPrivilegeLuid)
    {
        ::SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    return g_originalLookupName(system, luid, name, length);
}

TEST(TokenReportSeamTest, PrivilegeTheSystemCannotNameIsUnknownWithItsLuid)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(qztest::TokenHasPrivilege(process.Get(), L"SeDebugPrivilege"));
    qztest::IatHook hook("advapi32.dll", "LookupPrivilegeNameW", reinterpret_cast<void*>(&LookupNameWithoutDebug));
    ASSERT_TRUE(hook.Installed());
    g_originalLookupName = hook.OriginalAs<LookupPrivilegeNameWFn>();

    qztest::TraceCapture capture;
    const Lines lines = qzreporttest::ShortReportOf(process.Get(), false);
    EXPECT_EQ("", qzreporttest::Describe(
                      qzreporttest::Compare(lines, qzreporttest::ExpectedShortReport(process.Get(), false))));
    size_t unknown = 0;
    for (const std::wstring& line : lines)
    {
        if (line.rfind(L"   PRIVILEGE ", 0) == 0 && line.find(L"] Unknown{0,20}") != std::wstring::npos)
            ++unknown;
    }
    EXPECT_EQ(1u, unknown);
    EXPECT_EQ(
        qztest::EntriesOf(QZT_ERROR, "CqzAccessPriveleges", {"ERROR: LookupPrivilegeName() failed. LastError=1313"}),
        capture.Entries());
}

TEST(TokenReportSeamTest, UserSidThatCannotBeCensored)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    // A TOKEN_USER whose SID is not valid (revision 0): its text is
    // "[Invalid SID]", without a "-".
    TokenInformationSeam seam(TokenUser,
                              [](HANDLE, LPVOID buffer, DWORD size, PDWORD returned)
                              {
                                  const DWORD needed = sizeof(TOKEN_USER) + 12;
                                  *returned = needed;
                                  if (size < needed)
                                  {
                                      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                                      return FALSE;
                                  }
                                  std::memset(buffer, 0, size);
                                  auto* user = static_cast<TOKEN_USER*>(buffer);
                                  user->User.Sid = static_cast<BYTE*>(buffer) + sizeof(TOKEN_USER);
                                  return TRUE;
                              });
    const SeamReports censored = ReportsUnder(seam, process.Get(), true);
    EXPECT_EQ(L"TOKEN USER: Error Censoring", censored.brief.at(3));
    EXPECT_EQ(L"TOKEN USER: [Invalid SID]", qzreporttest::LineStartingWith(censored.full, L"TOKEN USER: "));
    // The other SID texts are censored as usual.
    EXPECT_NE(std::wstring::npos, censored.brief.at(5).find(L"SID=[S*"));
}

TEST(TokenReportSeamTest, TokenWhoseEveryReadFailsGivesEveryErrorLine)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    TokenInformationSeam seam(TokenInformationSeam::kEveryClass, qzreporttest::FailWith(ERROR_ACCESS_DENIED));
    const SeamReports reports = ReportsUnder(seam, process.Get());

    std::vector<std::wstring> errors = {L"TOKEN USER: Error", L"TOKEN SESSION ID: Error", L"TOKEN OWNER: Error"};
    if (qzreporttest::RunningVersions().vista)
    {
        errors.insert(errors.end(),
                      {L"TOKEN_ACCESS_INFORMATION: Error", L"TOKEN INTEGRITY LEVEL: Error",
                       L"TOKEN ELEVATION TYPE: Error", L"TOKEN ELEVATION: Error", L"TOKEN UI ACCESS: Error"});
    }
    errors.insert(errors.end(), {L"TOKEN ORIGIN: Error", L"TOKEN SOURCE: Error", L"TOKEN STATISTICS: Error",
                                 L"TOKEN PRIMARY GROUP: Error", L"TOKEN GROUPS: Error", L"TOKEN PRIVILEGES: Error",
                                 L"DEFAULT DACL: Error"});
    std::vector<std::wstring> found;
    for (const std::wstring& line : reports.full)
    {
        if (line.size() > 7 && line.compare(line.size() - 7, 7, L": Error") == 0)
            found.push_back(line);
    }
    EXPECT_EQ(errors, found);
    EXPECT_EQ(L"    *** Cannot get linked token ***", reports.full.back());

    const std::vector<std::wstring> shortErrors = {L"TOKEN USER: Error",   L"TOKEN SESSION ID: Error",
                                                   L"TOKEN OWNER: Error",  L"TOKEN PRIMARY GROUP: Error",
                                                   L"TOKEN GROUPS: Error", L"TOKEN PRIVILEGES: Error"};
    EXPECT_EQ(shortErrors, Lines(reports.brief.begin() + 3, reports.brief.end()));
}

} // namespace
