// qz_diag on bad input: each case's exit code and its one line, usage on
// usage errors, and UTF-8 output for names outside ASCII.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/util/util.h"
#include "tests/diag/diag_test_util.h"

namespace
{

using qzdiagtest::DiagRun;
using qzdiagtest::RunDiag;
using qztest::ToUtf8;

std::wstring SystemText(DWORD error)
{
    std::wstring text;
    CqzUtil::GetErrorText(error, text);
    return text;
}

// A process id no process has (OpenProcess answers 87 for it).
DWORD UnusedPid()
{
    for (DWORD pid = 0x7FFFFFF0; pid > 0x7FFF0000; pid -= 4)
    {
        HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER)
            return pid;
        if (process != nullptr)
            ::CloseHandle(process);
    }
    return 0;
}

std::wstring NotRead(const std::wstring& what, DWORD error)
{
    return L"qz_diag: " + what + L": error " + std::to_wstring(error) + L": " + SystemText(error);
}

struct BadInput
{
    std::vector<std::wstring> args;
    DWORD exitCode;
    std::wstring line;
    std::wstring cwd; // the child's current directory; empty: the suite's

    BadInput(std::vector<std::wstring> a, DWORD e, std::wstring l, std::wstring c = std::wstring())
        : args(std::move(a)), exitCode(e), line(std::move(l)), cwd(std::move(c))
    {
    }
};

TEST(DiagInput, EveryBadInputHasItsExitCodeAndOneLine)
{
    qztest::TempDir dir(L"qzdiag");
    const std::wstring existing = dir / L"present.txt";
    ASSERT_TRUE(qztest::WriteTextFile(existing, "x"));
    const std::wstring missingDir = dir / L"no-such-dir\\file.txt";
    const std::wstring missingFile = dir / L"no-such-file.txt";
    const std::wstring badOut = dir / L"no-such-dir\\report.txt";
    const DWORD noPid = UnusedPid();
    ASSERT_NE(0u, noPid);
    const std::wstring pid = std::to_wstring(noPid);

    // A command line holds at most 32,766 characters and its terminator
    // (Wine cuts a longer one there), so the path longer than that is a relative one that the
    // child's long current directory makes longer: the longest argument that
    // still fits the command line.
    const std::wstring longCwd = dir / std::wstring(200, L'd');
    ASSERT_TRUE(qztest::CreateDirs(longCwd));
    const std::wstring prefix = qztest::QuoteArg(qzdiagtest::DiagExe()) + L" object file ";
    const std::wstring longPath(32766 - prefix.size(), L'a');
    ASSERT_GT(longCwd.size() + 1 + longPath.size(), 32767u);

    const std::vector<BadInput> rows = {
        {{L"object", L"file", longPath},
         1,
         NotRead(L"cannot read file \"" + qzdiagtest::Shown(longPath) + L"\"", ERROR_FILENAME_EXCED_RANGE),
         longCwd},
        {{}, 2, L"qz_diag: no command given"},
        {{L"bogus"}, 2, L"qz_diag: unknown command \"bogus\""},
        {{L"token", L"--bogus"}, 2, L"qz_diag: unknown option \"--bogus\""},
        {{L"token", L"--pid"}, 2, L"qz_diag: option --pid needs a value"},
        {{L"token", L"--pid", L"12x"}, 2, L"qz_diag: not a process id: \"12x\""},
        {{L"token", L"--pid", L"99999999999"}, 2, L"qz_diag: not a process id: \"99999999999\""},
        {{L"token", L"--pid", L"-1"}, 2, L"qz_diag: not a process id: \"-1\""},
        {{L"token", L"--pid", L"1", L"--pid", L"2"}, 2, L"qz_diag: option --pid given twice"},
        {{L"token", L"--short", L"--short"}, 2, L"qz_diag: option --short given twice"},
        {{L"os", L"--out", L"a.txt", L"--out", L"b.txt"}, 2, L"qz_diag: option --out given twice"},
        {{L"os", L"--out", L""}, 2, L"qz_diag: option --out needs a file name"},
        {{L"token", L"--censor"}, 2, L"qz_diag: --censor applies to the short report (--short)"},
        {{L"token", L"--short", L"--no-linked"},
         2,
         L"qz_diag: --no-linked applies to the full report (without --short)"},
        {{L"os", L"--short"}, 2, L"qz_diag: --short, --censor and --no-linked belong to the token command"},
        {{L"os", L"extra"}, 2, L"qz_diag: unexpected argument \"extra\""},
        {{L"os", L"--pid", L"5"}, 2, L"qz_diag: --pid belongs to the token and access commands"},
        {{L"processes", L"--self"}, 2, L"qz_diag: --self belongs to the process command"},
        {{L"object"}, 2, L"qz_diag: missing object kind (file, key, service, winsta or desktop)"},
        {{L"object", L"pipe", L"x"}, 2, L"qz_diag: unknown object kind \"pipe\""},
        {{L"object", L"file"}, 2, L"qz_diag: missing PATH"},
        {{L"object", L"file", L""}, 2, L"qz_diag: empty name"},
        {{L"object", L"file", L"a", L"b"}, 2, L"qz_diag: unexpected argument \"b\""},
        {{L"object", L"key", L"HKXX\\Software"},
         2,
         L"qz_diag: unknown registry root \"HKXX\" (HKLM, HKCU, HKCR, HKU or HKCC)"},
        {{L"object", L"winsta", L"x"}, 2, L"qz_diag: unexpected argument \"x\""},
        {{L"access", L"key", L"x"}, 2, L"qz_diag: unknown object kind \"key\""},
        {{L"access", L"file"}, 2, L"qz_diag: missing PATH"},
        {{L"process"}, 2, L"qz_diag: missing PID or --self"},
        {{L"process", L"--pid", L"5"}, 2, L"qz_diag: the process command takes the process id without --pid"},
        {{L"process", L"abc"}, 2, L"qz_diag: not a process id: \"abc\""},
        {{L"process", L"--self", L"5"}, 2, L"qz_diag: unexpected argument \"5\""},
        {{L"token", L"--pid", pid}, 1, NotRead(L"cannot open process " + pid, ERROR_INVALID_PARAMETER)},
        {{L"process", pid}, 1, NotRead(L"cannot open process " + pid, ERROR_INVALID_PARAMETER)},
        {{L"access", L"file", existing, L"--pid", pid},
         1,
         NotRead(L"cannot open process " + pid, ERROR_INVALID_PARAMETER)},
        {{L"object", L"file", missingDir},
         1,
         NotRead(L"cannot read file \"" + qzdiagtest::Shown(missingDir) + L"\"", 3)},
        {{L"object", L"file", missingFile},
         1,
         NotRead(L"cannot read file \"" + qzdiagtest::Shown(missingFile) + L"\"", 2)},
        {{L"access", L"file", missingFile},
         1,
         NotRead(L"cannot read file \"" + qzdiagtest::Shown(missingFile) + L"\"", 2)},
        {{L"object", L"key", L"HKCU\\Software\\QzDiagNoSuchKey"},
         1,
         NotRead(L"cannot open registry key \"HKCU\\Software\\QzDiagNoSuchKey\"", 2)},
        {{L"object", L"service", L"qz_no_such_service"},
         1,
         NotRead(L"cannot open service \"qz_no_such_service\"", ERROR_SERVICE_DOES_NOT_EXIST)},
        {{L"token", L"--out", badOut},
         1,
         NotRead(L"cannot create the report file \"" + qzdiagtest::Shown(badOut) + L"\"", 3)},
        {{L"object", L"file", existing, L"--out", badOut},
         1,
         NotRead(L"cannot create the report file \"" + qzdiagtest::Shown(badOut) + L"\"", 3)},
    };
    for (const BadInput& row : rows)
    {
        std::wstring name;
        for (const std::wstring& arg : row.args)
            name += L"[" + qzdiagtest::Shown(arg) + L"]";
        SCOPED_TRACE(ToUtf8(name));
        qztest::RunOptions options;
        options.cwd = row.cwd.empty() ? nullptr : row.cwd.c_str();
        const DiagRun run = RunDiag(row.args, options);
        ASSERT_TRUE(run.result.started) << run.result.error;
        ASSERT_TRUE(run.result.finished);
        EXPECT_EQ(row.exitCode, run.Exit()) << run.Text();
        EXPECT_TRUE(run.out.empty()) << run.Text();
        EXPECT_TRUE(run.errIsUtf8);
        ASSERT_FALSE(run.errLines.empty()) << run.Text();
        EXPECT_EQ(row.line, run.errLines[0]) << run.Text();
        if (row.exitCode == 2)
            EXPECT_EQ(L"Usage:", run.errLines.size() > 1 ? run.errLines[1] : L"") << run.Text();
        else
            EXPECT_EQ(1u, run.errLines.size()) << run.Text();
    }
}

TEST(DiagInput, HelpOfAllCommandsAndOfOne)
{
    const DiagRun all = RunDiag({L"--help"});
    EXPECT_EQ(0u, all.Exit()) << all.Text();
    EXPECT_TRUE(all.err.empty());
    ASSERT_FALSE(all.lines.empty());
    EXPECT_EQ(L"Usage:", all.lines[0]);
    for (const wchar_t* command : {L"token", L"object", L"access", L"process", L"processes", L"os", L"agent"})
        EXPECT_NE(std::wstring::npos, all.out.find(std::wstring(L"  qz_diag ") + command + L" ")) << ToUtf8(command);

    // Help wins over anything else on the line.
    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"token", L"--help"}, std::vector<std::wstring>{L"token", L"--bogus", L"--help"}})
    {
        const DiagRun one = RunDiag(args);
        EXPECT_EQ(0u, one.Exit()) << one.Text();
        EXPECT_NE(std::wstring::npos, one.out.find(L"  qz_diag token [--pid N]")) << one.Text();
        EXPECT_EQ(std::wstring::npos, one.out.find(L"qz_diag os")) << one.Text();
    }
}

TEST(DiagInput, NamesOutsideAsciiAreUtf8OnTheConsoleAndUtf16InTheReportFile)
{
    qztest::TempDir dir(L"qzdiag");
    const std::wstring name = L"Z\u00FCrich-\u65E5\u672C-\U0001F600.txt";
    const std::wstring path = dir / name;
    ASSERT_TRUE(qztest::WriteTextFile(path, "hi"));
    const DiagRun run = RunDiag({L"object", L"file", path});
    ASSERT_EQ(0u, run.Exit()) << run.Text();
    EXPECT_TRUE(run.outIsUtf8);
    EXPECT_EQ(L"PATH: " + path, run.lines.size() > 1 ? run.lines[1] : L"");
    EXPECT_NE(std::string::npos, run.outBytes.find("Z\xC3\xBCrich-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80.txt"));

    const std::wstring outPath = dir / L"Bericht-\u00E4.txt";
    const DiagRun toFile = RunDiag({L"object", L"file", path, L"--out", outPath});
    ASSERT_EQ(0u, toFile.Exit()) << toFile.Text();
    std::vector<std::wstring> fileLines;
    ASSERT_TRUE(qztest::ReadUtf16Lines(outPath, fileLines));
    EXPECT_EQ(run.lines, fileLines);

    const std::wstring missing = dir / L"fehlt-\u00DF-\u65E5.txt";
    const DiagRun failed = RunDiag({L"access", L"file", missing});
    EXPECT_EQ(1u, failed.Exit());
    EXPECT_TRUE(failed.errIsUtf8);
    EXPECT_EQ(NotRead(L"cannot read file \"" + qzdiagtest::Shown(missing) + L"\"", 2),
              failed.errLines.empty() ? L"" : failed.errLines[0]);
}

} // namespace
