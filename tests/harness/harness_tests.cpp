#include "testing/harness/harness.h"

#include <shellapi.h>

#include <gtest/gtest.h>

namespace
{

TEST(RunProcess, ReadsFull32BitExitCodes)
{
    const std::wstring exe = qztest::BinDir() + L"\\qz_exit_with.exe";
    const struct
    {
        const wchar_t* arg;
        DWORD expected;
    } rows[] = {
        {L"0", 0}, {L"5", 5}, {L"0x80070057", 0x80070057}, {L"0xFFFFFFFF", 0xFFFFFFFF}, {L"0x80004005", 0x80004005},
    };
    for (const auto& row : rows)
    {
        qztest::ProcessResult r = qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + row.arg);
        ASSERT_TRUE(r.started) << row.arg << " error " << r.error;
        ASSERT_TRUE(r.finished) << row.arg;
        EXPECT_EQ(row.expected, r.exitCode) << "row " << qztest::ToUtf8(row.arg);
    }
}

TEST(RunProcess, MissingProgramIsNotStarted)
{
    qztest::ProcessResult r = qztest::RunProcess(L"C:\\no\\such\\program.exe", L"program.exe");
    EXPECT_FALSE(r.started);
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), r.error);
}

TEST(RunProcessCaptured, KeepsStandardOutputAndErrorApartWithTheExitCode)
{
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetSystemDirectoryW(system, MAX_PATH));
    const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    qztest::CapturedRun run =
        qztest::RunProcessCaptured(cmd, qztest::QuoteArg(cmd) + L" /c \"echo to-out&echo to-err>&2&exit 7\"");
    ASSERT_TRUE(run.result.started) << run.result.error;
    ASSERT_TRUE(run.result.finished);
    EXPECT_EQ(7u, run.result.exitCode);
    EXPECT_EQ("to-out\r\n", run.out);
    EXPECT_EQ("to-err\r\n", run.err);

    qztest::CapturedRun missing = qztest::RunProcessCaptured(L"C:\\no\\such\\program.exe", L"program.exe");
    EXPECT_FALSE(missing.result.started);
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), missing.result.error);
    EXPECT_TRUE(missing.out.empty() && missing.err.empty());
}

TEST(QuoteArg, RoundTripsThroughCommandLineToArgvW)
{
    const std::wstring args[] = {L"plain", L"with space", L"", L"quote\"inside", L"trailing\\", L"C:\\dir with\\"};
    for (const std::wstring& arg : args)
    {
        std::wstring line = L"prog.exe " + qztest::QuoteArg(arg);
        int argc = 0;
        LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &argc);
        ASSERT_NE(nullptr, argv);
        ASSERT_EQ(2, argc) << qztest::ToUtf8(line);
        EXPECT_EQ(arg, std::wstring(argv[1])) << qztest::ToUtf8(line);
        ::LocalFree(argv);
    }
}

TEST(Registry, KeyGuardRemovesTreeAndValuesReadBack)
{
    const std::wstring key = L"Software\\QzHarnessTest\\Sub";
    {
        qztest::RegKeyGuard guard(HKEY_CURRENT_USER, L"Software\\QzHarnessTest");
        ASSERT_TRUE(guard.Created());
        ASSERT_TRUE(qztest::SetRegString(HKEY_CURRENT_USER, key, L"Text", L"abc", REG_EXPAND_SZ));
        ASSERT_TRUE(qztest::SetRegDword(HKEY_CURRENT_USER, key, L"Number", 7));
        const BYTE odd[3] = {'a', 0, 'b'};
        ASSERT_TRUE(qztest::SetRegBytes(HKEY_CURRENT_USER, key, L"Odd", odd, 3, REG_SZ));

        DWORD type = 0, size = 0;
        wchar_t text[16] = {};
        size = sizeof(text);
        ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Text", RRF_RT_ANY | RRF_NOEXPAND,
                                                &type, text, &size));
        EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
        EXPECT_STREQ(L"abc", text);
        size = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Odd", RRF_RT_ANY, &type, nullptr, &size));
        EXPECT_EQ(3u, size);
        EXPECT_TRUE(qztest::DeleteRegValue(HKEY_CURRENT_USER, key, L"Number"));
    }
    HKEY h = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\QzHarnessTest", 0, KEY_READ, &h));
}

TEST(AgentInstall, LaysOutInstallationAndIsRemoved)
{
    std::wstring root;
    {
        qztest::AgentInstall install;
        root = install.Root();
        ASSERT_FALSE(root.empty());
        EXPECT_TRUE(qztest::FileExists(install.ConfigDir()));
        EXPECT_TRUE(qztest::FileExists(install.TraceDir()));
        ASSERT_TRUE(install.CopyLauncher());
        EXPECT_TRUE(qztest::FileExists(install.LauncherPath()));
        EXPECT_EQ(L"\"" + install.BinDir() + L"\\qz_agent.exe\"", install.QuotedServiceImage());
        EXPECT_TRUE(qztest::WriteTextFile(install.TraceDir() + L"\\t.trace", "one\ntwo\nthree"));
        EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}),
                  qztest::ReadLines(install.TraceDir() + L"\\t.trace"));
    }
    EXPECT_FALSE(qztest::FileExists(root));
}

// The architecture word is the flavour's own: "x32" in the x86 build, "x64"
// in the x64 build.
TEST(TraceNames, StartupAndCommandFiles)
{
#ifdef _WIN64
    EXPECT_EQ(L"qz_elevate.x64.{3638711226}.trace", qztest::StartupTraceName(3638711226u));
    EXPECT_EQ(L"qz_elevate.activex.x64.{1}.trace", qztest::CommandTraceName(L"activex", 1));
#else
    EXPECT_EQ(L"qz_elevate.x32.{3638711226}.trace", qztest::StartupTraceName(3638711226u));
    EXPECT_EQ(L"qz_elevate.activex.x32.{1}.trace", qztest::CommandTraceName(L"activex", 1));
#endif
}

} // namespace
