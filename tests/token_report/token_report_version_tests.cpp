// The reports as other Windows versions write them: the probe runs as
// Windows XP (no Vista items, no linked section), Windows 7 and Windows 10
// (the Windows 8 items: capabilities and security attributes, which Wine
// cannot read), writes its own token's report and compares it with the
// report its token's facts give for that version.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/harness/harness.h"
#include "tests/token_report/report_oracle.h"
#include "tests/token_report/token_report_test_util.h"

namespace
{
using qzreporttest::Lines;

struct VersionRow
{
    const wchar_t* word;    // the probe's version argument
    const wchar_t* exe;     // the probe's name for that version
    const wchar_t* setting; // Wine's version setting
    const char* major;
    const char* minor;
};

const VersionRow kVersions[] = {
    {L"xp", L"token_report_probe_xp.exe", L"winxp", "5", "1"},
    {L"win7", L"token_report_probe_win7.exe", L"win7", "6", "1"},
    {L"win10", L"token_report_probe_win10.exe", L"win10", "10", "0"},
};

const wchar_t* const kReports[] = {L"full", L"full-linked", L"short", L"short-censor"};

// The items only a report from Vista on holds: each is one of its lines.
const std::vector<std::vector<const wchar_t*>> kVistaItems = {
    {L"TOKEN MANDATORY POLICY: ", L"TOKEN_ACCESS_INFORMATION: "},
    {L"TOKEN INTEGRITY LEVEL: "},
    {L"TOKEN ELEVATION TYPE: "},
    {L"TOKEN ELEVATION: "},
    {L"TOKEN UI ACCESS: "},
};
// The linked token's section, from Vista on and only when asked for.
const std::vector<const wchar_t*> kLinkedItem = {L"    *** Linked token", L"    *** Cannot get linked token"};

// Lines only a report from Windows 8 on holds.
const wchar_t* const kWin8Prefixes[] = {
    L"APP CONTAINER SID: ",
    L"APPLICATION USER MODEL ID: ",
    L"TOKEN CAPABILITIES: ",
    L"TOKEN SECURITY ATTRIBUTES: ",
};

bool HasLineStartingWith(const Lines& lines, const wchar_t* prefix)
{
    return qzreporttest::LineStartingWith(lines, prefix) != L"<none>";
}

bool HasItem(const Lines& lines, const std::vector<const wchar_t*>& prefixes)
{
    for (const wchar_t* prefix : prefixes)
    {
        if (HasLineStartingWith(lines, prefix))
            return true;
    }
    return false;
}

class TokenReportVersionTest : public ::testing::Test
{
protected:
    struct ProbeRun
    {
        qztest::ProcessResult process;
        qztest::KeyValues values;
        Lines lines;
    };

    static ProbeRun Run(const VersionRow& version, const wchar_t* report)
    {
        qztest::WineVersionScope scope(version.exe, version.setting);
        EXPECT_TRUE(scope.Ok());
        qztest::TempDir dir(L"qzreportprobe");
        const std::wstring reportPath = dir / L"report.txt";
        const std::wstring resultPath = dir / L"result.txt";
        const std::wstring exe = qztest::BinDir() + L"\\" + version.exe;
        ProbeRun run;
        run.process = qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + version.word + L" " + report + L" " +
                                                  qztest::QuoteArg(reportPath) + L" " + qztest::QuoteArg(resultPath));
        run.values = qztest::ReadKeyValues(resultPath);
        qztest::ReadUtf16Lines(reportPath, run.lines);
        return run;
    }
};

TEST_F(TokenReportVersionTest, EachVersionWritesItsOwnItems)
{
    // Wine cannot read the security attributes: a Windows 8 report says so.
    const qztest::ScopedHandle process = qztest::OpenOwnProcessToken();
    BYTE attributes[1024];
    DWORD returned = 0;
    const bool attributesReadable = ::GetTokenInformation(process.Get(), static_cast<TOKEN_INFORMATION_CLASS>(39),
                                                          attributes, sizeof(attributes), &returned) != FALSE;

    for (const VersionRow& version : kVersions)
    {
        for (const wchar_t* report : kReports)
        {
            const std::string row = qztest::ToUtf8(version.word) + " " + qztest::ToUtf8(report);
            const ProbeRun run = Run(version, report);
            ASSERT_TRUE(run.process.finished) << row;
            EXPECT_EQ(0u, run.process.exitCode) << row;
            EXPECT_EQ(version.major, run.values.Get("major")) << row;
            EXPECT_EQ(version.minor, run.values.Get("minor")) << row;
            EXPECT_EQ("1", run.values.Get("written")) << row;
            EXPECT_EQ(std::vector<std::string>(), run.values.All("problem")) << row;
            ASSERT_GT(run.lines.size(), 3u) << row;

            const bool full = report[0] == L'f';
            const bool vista = version.word != std::wstring(L"xp");
            const bool win8 = version.word == std::wstring(L"win10");
            for (const auto& item : kVistaItems)
                EXPECT_EQ(full && vista, HasItem(run.lines, item)) << row << ": " << qztest::ToUtf8(item[0]);
            EXPECT_EQ(full && vista && report == std::wstring(L"full-linked"), HasItem(run.lines, kLinkedItem))
                << row << ": the linked section";
            for (const wchar_t* prefix : kWin8Prefixes)
            {
                if (!full || !win8)
                {
                    EXPECT_FALSE(HasLineStartingWith(run.lines, prefix)) << row << ": " << qztest::ToUtf8(prefix);
                }
            }
            if (full && win8 && !attributesReadable)
            {
                EXPECT_EQ(L"TOKEN SECURITY ATTRIBUTES: ERROR",
                          qzreporttest::LineStartingWith(run.lines, L"TOKEN SECURITY ATTRIBUTES: "))
                    << row;
            }
        }
    }
}

TEST_F(TokenReportVersionTest, CapabilitiesAreWrittenFromWindows8On)
{
    for (const VersionRow& version : kVersions)
    {
        const ProbeRun run = Run(version, L"full-capabilities");
        const std::string row = qztest::ToUtf8(version.word);
        ASSERT_TRUE(run.process.finished) << row;
        EXPECT_EQ(0u, run.process.exitCode) << row;
        EXPECT_EQ(std::vector<std::string>(), run.values.All("problem")) << row;
        const Lines from = qzreporttest::LinesFrom(run.lines, L"TOKEN CAPABILITIES: ");
        if (version.word != std::wstring(L"win10"))
        {
            EXPECT_TRUE(from.empty()) << row;
            continue;
        }
        ASSERT_GE(from.size(), 4u) << row;
        EXPECT_EQ(L"TOKEN CAPABILITIES: Count=2", from[0]);
        EXPECT_EQ(L"   CAPABILITY 00: ATTR=[Enabled] Capability=[InternetClient] SID=[S-1-15-3-1]", from[1]);
        EXPECT_EQ(0u, from[2].find(L"   CAPABILITY 01: ATTR=[Mandatory|EnabledByDefault|Enabled] "));
        EXPECT_NE(std::wstring::npos, from[2].find(L"SID=[S-1-5-32-545]"));
        // Then the security attributes, which Wine cannot read.
        EXPECT_EQ(0u, from[3].find(L"TOKEN SECURITY ATTRIBUTES: "));
    }
}

} // namespace
