// qz_diag process and processes against a suspended child whose command
// line, directory, thread and times the suite knows or reads itself.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/diag/diag_test_util.h"

namespace
{

using qzdiagtest::DiagRun;
using qzdiagtest::RunDiag;
using qztest::ToUtf8;

std::wstring ImagePathOf(HANDLE process)
{
    wchar_t path[MAX_PATH * 4] = {};
    DWORD chars = MAX_PATH * 4;
    if (!::QueryFullProcessImageNameW(process, 0, path, &chars))
        return L"(unreadable)";
    return std::wstring(path, chars);
}

// The creation time as local "dd-MMM-yyyy HH:mm:ss" in the invariant locale.
std::wstring CreationText(HANDLE process)
{
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    FILETIME local = {};
    SYSTEMTIME time = {};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        !::FileTimeToLocalFileTime(&created, &local) || !::FileTimeToSystemTime(&local, &time))
        return L"(unreadable)";
    wchar_t date[64] = {};
    wchar_t clock[64] = {};
    ::GetDateFormatW(LOCALE_INVARIANT, 0, &time, L"dd-MMM-yyyy", date, 64);
    ::GetTimeFormatW(LOCALE_INVARIANT, 0, &time, L"HH:mm:ss", clock, 64);
    return std::wstring(date) + L" " + clock;
}

std::wstring ExpectedBitness(HANDLE process)
{
    BOOL wow64 = FALSE;
    ::IsWow64Process(process, &wow64);
    const bool wide = qztest::kImageMachine == IMAGE_FILE_MACHINE_AMD64;
    return std::wstring(L"BITNESS: ") + (wide ? L"64-bit (AMD64)" : L"32-bit (I386)") + L", WOW64: " +
           (wow64 ? L"yes" : L"no");
}

TEST(DiagProcess, SuspendedChildAsTheSuiteStartedIt)
{
    qztest::TempDir dir(L"qzdiag");
    const std::wstring cwd = dir / L"Arbeitsverzeichnis \u00E4\u00F6\u00FC \u65E5\u672C";
    ASSERT_TRUE(qztest::CreateDirs(cwd));
    const std::wstring cmdLine = qztest::QuoteArg(qzdiagtest::DiagExe()) + L" os --gr\u00FC\u00DFe \"two words\"";
    qzdiagtest::SuspendedChild child(qzdiagtest::DiagExe(), cmdLine, cwd);
    ASSERT_TRUE(child.Started()) << child.Error();

    const DiagRun run = RunDiag({L"process", std::to_wstring(child.Pid())});
    ASSERT_EQ(0u, run.Exit()) << run.Text();
    EXPECT_TRUE(run.outIsUtf8);
    EXPECT_TRUE(run.err.empty()) << run.Text();
    EXPECT_EQ(L"*** Process Info start ***", run.lines.empty() ? L"" : run.lines[0]);
    EXPECT_TRUE(run.HasLine(L"PID: " + std::to_wstring(child.Pid()))) << run.Text();
    EXPECT_TRUE(run.HasLine(L"IMAGE PATH: " + ImagePathOf(child.Process()))) << run.Text();
    EXPECT_TRUE(run.HasLine(L"COMMAND LINE: " + cmdLine)) << run.Text();
    // Windows keeps the directory with a final backslash; Wine as it was given.
    EXPECT_TRUE(run.HasLine(L"CURRENT DIRECTORY: " + cwd) || run.HasLine(L"CURRENT DIRECTORY: " + cwd + L"\\"))
        << run.Text();
    EXPECT_EQ(L"MAIN THREAD: " + std::to_wstring(child.ThreadId()), run.LineStarting(L"MAIN THREAD: "));
    EXPECT_EQ(ExpectedBitness(child.Process()), run.LineStarting(L"BITNESS: "));
    EXPECT_EQ(L"CREATED: " + CreationText(child.Process()) + L" (local time)", run.LineStarting(L"CREATED: "));
    const std::wstring user = qzdiagtest::TokenUserSid(qztest::OpenOwnProcessToken().Get());
    EXPECT_NE(std::wstring::npos, run.LineStarting(L"USER: ").find(L"SID=[" + user + L"]")) << run.Text();
    EXPECT_NE(L"<no line>", run.LineStarting(L"ADMINISTRATOR DECISION: "));
    EXPECT_EQ(L"PACKAGE: none", run.LineStarting(L"PACKAGE: "));
    EXPECT_EQ(L"*** Process Info end ***", run.lines.empty() ? L"" : run.lines.back());
}

TEST(DiagProcess, RestrictedChildDecisionNoAndSelf)
{
    qztest::ScopedHandle restricted = qztest::RestrictedAdministratorsDenyOnly(qztest::OpenOwnProcessToken().Get());
    ASSERT_TRUE(restricted.IsValid());
    qzdiagtest::SuspendedChild child(qzdiagtest::DiagExe(), L"qz_diag.exe os", L"", restricted.Get());
    ASSERT_TRUE(child.Started()) << child.Error();
    const DiagRun run = RunDiag({L"process", std::to_wstring(child.Pid())});
    ASSERT_EQ(0u, run.Exit()) << run.Text();
    EXPECT_EQ(L"ADMINISTRATOR DECISION: no", run.LineStarting(L"ADMINISTRATOR DECISION: "));

    const DiagRun self = RunDiag({L"process", L"--self"});
    ASSERT_EQ(0u, self.Exit()) << self.Text();
    EXPECT_EQ(L"PID: " + std::to_wstring(self.result.pid), self.LineStarting(L"PID: "));
    EXPECT_EQ(L"COMMAND LINE: " + qztest::QuoteArg(qzdiagtest::DiagExe()) + L" process --self",
              self.LineStarting(L"COMMAND LINE: "));
    EXPECT_NE(std::wstring::npos, self.LineStarting(L"MODULES: Count=").find(L"Count="));
    EXPECT_NE(std::wstring::npos, self.out.find(L"qz_diag.exe\r\n")) << self.Text();
}

TEST(DiagProcesses, OneLinePerProcessWithTheChildAmongThem)
{
    qzdiagtest::SuspendedChild child(qzdiagtest::DiagExe(), L"qz_diag.exe os");
    ASSERT_TRUE(child.Started()) << child.Error();
    const DiagRun run = RunDiag({L"processes"});
    ASSERT_EQ(0u, run.Exit()) << run.Text();
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(0u, run.lines[0].find(L"PROCESSES: Count="));
    wchar_t pidText[16];
    std::swprintf(pidText, 16, L"%6u  ", static_cast<unsigned>(child.Pid()));
    const std::wstring line = run.LineStarting(pidText);
    const std::wstring bitness =
        qztest::kImageMachine == IMAGE_FILE_MACHINE_AMD64 ? L"64-bit (AMD64)" : L"32-bit (I386)";
    EXPECT_EQ(std::wstring(pidText) + bitness, line.substr(0, std::wcslen(pidText) + bitness.size())) << run.Text();
    const std::wstring image = ImagePathOf(child.Process());
    EXPECT_EQ(image, line.size() >= image.size() ? line.substr(line.size() - image.size()) : line) << run.Text();
    // The process count line matches the lines that follow it.
    EXPECT_EQ(L"PROCESSES: Count=" + std::to_wstring(run.lines.size() - 1), run.lines[0]);
}

} // namespace
