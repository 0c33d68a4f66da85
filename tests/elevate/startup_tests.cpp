// The launcher's trace start-up (InitTrace, SetCommandTraceFile) and its
// process entry, run as real processes from temporary agent installations:
// the trace paths derive from the executable's own location.
//
// Two views of each run:
// - with the real qztrace.dll, the files that appear under <install>\trace and
//   the lines in them. The library puts its prefix in front of each line, so
//   lines are matched by their end (the message);
// - with the recording stand-in of the library (trace_recorder.cpp) copied in
//   as qztrace.dll, the exact sequence of calls into the library and of trace
//   statements, which shows the order InitTrace must keep.
#include "common/util/util.h"

#include "testing/harness/harness.h"
#include "tests/util/util_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using qztest::ToUtf8;

const char* const kBanner = "***************** QZ_ELEVATE Start *****************";
const char* const kPrefixTemplate =
    "<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC> PID:<%PID> TID:<%TID> <%CLASS>::<%STACK>:";
const wchar_t* const kProbe = L"qz_trace_startup_probe.exe";
const wchar_t* const kCommandWords[] = {L"activex", L"ebh", L"qztool", L"wbh"};

unsigned int UserCrc()
{
    const std::wstring sid = qztest_util::ProcessUserSidString();
    return CqzUtil::CalcCrc32(sid.empty() ? L"S-1-0-0" : sid.c_str());
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Index of the first line from `from` on that ends with the message; -1 when none.
int FindLineEndingWith(const std::vector<std::string>& lines, const std::string& message, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); ++i)
    {
        if (EndsWith(lines[i], message))
            return static_cast<int>(i);
    }
    return -1;
}

bool AnyLineContains(const std::vector<std::string>& lines, const std::string& text)
{
    for (const std::string& line : lines)
    {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

std::string Dump(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines)
        out += "  | " + line + "\n";
    return out;
}

enum class Library
{
    Real,     // the build's qztrace.dll
    Recorder, // the recording stand-in, as qztrace.dll
};

// An agent installation (bin, config, trace) holding one of the launcher's
// binaries, the C++ runtime and the tracing library of choice.
class Install
{
public:
    Install(Library library, const std::wstring& exeName) : m_exeName(exeName)
    {
        m_ok = m_install.CopyFromBuild(qztest::WithRuntime({exeName}));
        if (library == Library::Real)
            m_ok = m_install.CopyFromBuild({L"qztrace.dll"}) && m_ok;
        else
            m_ok = ::CopyFileW((qztest::BinDir() + L"\\qztrace_recorder.dll").c_str(),
                               (m_install.BinDir() + L"\\qztrace.dll").c_str(), FALSE) &&
                   m_ok;
    }

    bool Ok() const { return m_ok && !m_install.Root().empty(); }
    const qztest::AgentInstall& Tree() const { return m_install; }
    std::wstring ExePath() const { return m_install.BinDir() + L"\\" + m_exeName; }
    std::string RootUtf8() const { return ToUtf8(m_install.Root()); }
    std::wstring TraceFile(const std::wstring& name) const { return m_install.TraceDir() + L"\\" + name; }
    std::wstring ConfigFile() const { return m_install.ConfigDir() + L"\\qz_elevate.cfg"; }

    // Runs the binary with these arguments; cmdLine receives the full command
    // line as the child sees it.
    qztest::ProcessResult Run(const std::wstring& arguments, std::wstring* cmdLine = nullptr) const
    {
        std::wstring line = qztest::QuoteArg(ExePath());
        if (!arguments.empty())
            line += L" " + arguments;
        if (cmdLine)
            *cmdLine = line;
        return qztest::RunProcess(ExePath(), line);
    }

    // The recorder's record of calls.
    std::vector<std::string> Calls() const { return qztest::ReadLines(m_install.BinDir() + L"\\qztrace.calls"); }
    bool SetRecorderAnswer(const std::string& answer) const
    {
        return qztest::WriteTextFile(m_install.BinDir() + L"\\qztrace.answer", answer);
    }

private:
    qztest::AgentInstall m_install;
    std::wstring m_exeName;
    bool m_ok = false;
};

std::string StartupName()
{
    return ToUtf8(qztest::StartupTraceName(UserCrc()));
}

// What InitTrace asks of the library when no configuration file is in use.
std::vector<std::string> DefaultInitCalls(const Install& install, const std::string& traceFileName)
{
    const std::string root = install.RootUtf8();
    return {
        "SetConfigFile(" + root + "\\config\\qz_elevate.cfg)",
        "GetConfigFile",
        "SetRefreshInterval(30,0)",
        "SetRotation(20,1000000,0)",
        "SetD_File(" + root + "\\trace\\" + traceFileName + ",0,1)",
        std::string("Line(300,-)\\n") + kBanner + "\\n",
        std::string("SetPrefix(.*,1,-1,") + kPrefixTemplate + ")",
        "SetPrefix(.*,1,3838,)",
        "SetDoPrintFor(1,.*,100,1)",
        "SetDoPrintFor(1,.*,200,1)",
        "SetDoPrintFor(1,.*,300,1)",
        "SetDoPrintFor(1,.*,3838,1)",
    };
}

// What InitTrace asks of the library when the configuration file is in use.
std::vector<std::string> ConfigInitCalls(const Install& install)
{
    const std::string config = install.RootUtf8() + "\\config\\qz_elevate.cfg";
    return {
        "SetConfigFile(" + config + ")",
        "GetConfigFile",
        "Line(300,-)INFO: Using trace config file " + config + "\\n",
        std::string("Line(300,-)\\n") + kBanner + "\\n",
    };
}

std::vector<std::string> CommandCalls(const Install& install, const std::wstring& word, const std::wstring& cmdLine)
{
    return {
        "SetD_File(" + install.RootUtf8() + "\\trace\\" + ToUtf8(qztest::CommandTraceName(word, UserCrc())) + ",0,1)",
        "Line(300,CqzElevateModule)INFO: CmdLine [" + ToUtf8(cmdLine) + "]\\n",
    };
}

std::string ProbeLine(const std::string& message)
{
    return "Line(100,-)PROBE: " + message + "\\n";
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& lines)
{
    to.insert(to.end(), lines.begin(), lines.end());
}

// Whether the tracing library, as it starts, writes level INFO lines: then the
// start-up banner, traced before InitTrace switches the levels on, reaches the
// start-up file.
bool LibraryStartsWithInfoOn()
{
    Install install(Library::Real, kProbe);
    const qztest::ProcessResult result = install.Run(L"--default-writes-info");
    return result.finished && result.exitCode == 1;
}

// The banner is traced after the file is named and before any level is set,
// so it reaches the file only because the library writes INFO from the start.
TEST(StartupTraceFile, LibraryWritesInfoBeforeAnyLevelIsSet)
{
    EXPECT_TRUE(LibraryStartsWithInfoOn());
}

// ---------------------------------------------------------------------------
// InitTrace and SetCommandTraceFile: order of the calls into the library

TEST(InitTraceCalls, WithoutConfigFileNamesTheFileThenBannerThenPrefixesAndLevels)
{
    Install install(Library::Recorder, kProbe);
    ASSERT_TRUE(install.Ok());
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()));
    ASSERT_TRUE(result.finished) << result.error;
    EXPECT_EQ(0u, result.exitCode);

    std::vector<std::string> expected = DefaultInitCalls(install, StartupName());
    expected.push_back(ProbeLine("InitTrace done"));
    const std::vector<std::string> calls = install.Calls();
    EXPECT_EQ(expected, calls) << Dump(calls);
}

TEST(InitTraceCalls, TheTraceFileNameIsTakenAsGiven)
{
    Install install(Library::Recorder, kProbe);
    ASSERT_TRUE(install.Ok());
    const qztest::ProcessResult result = install.Run(L"custom.name.trace");
    ASSERT_TRUE(result.finished) << result.error;

    std::vector<std::string> expected = DefaultInitCalls(install, "custom.name.trace");
    expected.push_back(ProbeLine("InitTrace done"));
    EXPECT_EQ(expected, install.Calls()) << Dump(install.Calls());
}

TEST(InitTraceCalls, WithConfigFileNamesNoFileAndSetsNoDefaults)
{
    Install install(Library::Recorder, kProbe);
    ASSERT_TRUE(install.Ok());
    ASSERT_TRUE(qztest::WriteTextFile(install.ConfigFile(), ""));
    std::wstring cmdLine;
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()) + L" ebh", &cmdLine);
    ASSERT_TRUE(result.finished) << result.error;
    EXPECT_EQ(0u, result.exitCode);

    std::vector<std::string> expected = ConfigInitCalls(install);
    expected.push_back(ProbeLine("InitTrace done"));
    // The command file is named all the same.
    Append(expected, CommandCalls(install, L"ebh", cmdLine));
    expected.push_back(ProbeLine("SetCommandTraceFile(ebh) done"));
    const std::vector<std::string> calls = install.Calls();
    EXPECT_EQ(expected, calls) << Dump(calls);
}

// A configuration file is in use only when the library names it back and the
// file can be read.
TEST(InitTraceCalls, ConfigFileInUseOnlyWhenTheLibraryNamesAReadableFile)
{
    const struct
    {
        const char* answer; // recorder's answer to GetConfigFile; "" = the path set
        bool fileExists;
        bool inUse;
    } rows[] = {
        {"", true, true},
        {"", false, false},
        {"null", true, false},
        {"empty", true, false},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string("answer '") + row.answer + "', file " + (row.fileExists ? "present" : "absent"));
        Install install(Library::Recorder, kProbe);
        ASSERT_TRUE(install.Ok());
        if (row.fileExists)
        {
            ASSERT_TRUE(qztest::WriteTextFile(install.ConfigFile(), "# empty\n"));
        }
        if (*row.answer)
        {
            ASSERT_TRUE(install.SetRecorderAnswer(row.answer));
        }
        const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()));
        ASSERT_TRUE(result.finished) << result.error;

        std::vector<std::string> expected =
            row.inUse ? ConfigInitCalls(install) : DefaultInitCalls(install, StartupName());
        expected.push_back(ProbeLine("InitTrace done"));
        EXPECT_EQ(expected, install.Calls()) << Dump(install.Calls());
    }
}

TEST(SetCommandTraceFileCalls, EachCommandWordNamesItsFileAndRecordsTheCommandLine)
{
    Install install(Library::Recorder, kProbe);
    ASSERT_TRUE(install.Ok());
    std::wstring words;
    for (const wchar_t* word : kCommandWords)
        words += L" " + std::wstring(word);
    std::wstring cmdLine;
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()) + words, &cmdLine);
    ASSERT_TRUE(result.finished) << result.error;

    std::vector<std::string> expected = DefaultInitCalls(install, StartupName());
    expected.push_back(ProbeLine("InitTrace done"));
    for (const wchar_t* word : kCommandWords)
    {
        Append(expected, CommandCalls(install, word, cmdLine));
        expected.push_back(ProbeLine("SetCommandTraceFile(" + ToUtf8(word) + ") done"));
    }
    const std::vector<std::string> calls = install.Calls();
    EXPECT_EQ(expected, calls) << Dump(calls);
}

TEST(SetCommandTraceFileCalls, NullOrEmptyWordDoesNothing)
{
    Install install(Library::Recorder, kProbe);
    ASSERT_TRUE(install.Ok());
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()) + L" <null> <empty>");
    ASSERT_TRUE(result.finished) << result.error;

    std::vector<std::string> expected = DefaultInitCalls(install, StartupName());
    expected.push_back(ProbeLine("InitTrace done"));
    expected.push_back(ProbeLine("SetCommandTraceFile(<null>) done"));
    expected.push_back(ProbeLine("SetCommandTraceFile(<empty>) done"));
    EXPECT_EQ(expected, install.Calls()) << Dump(install.Calls());
}

// ---------------------------------------------------------------------------
// InitTrace and SetCommandTraceFile: the files, with the real library

TEST(StartupTraceFile, WithoutConfigFileTracingGoesToTheStartupFile)
{
    Install install(Library::Real, kProbe);
    ASSERT_TRUE(install.Ok());
    const std::wstring startupFile = install.TraceFile(qztest::StartupTraceName(UserCrc()));
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()));
    ASSERT_TRUE(result.finished) << result.error;
    EXPECT_EQ(0u, result.exitCode);

    ASSERT_TRUE(qztest::FileExists(startupFile));
    const std::vector<std::string> lines = qztest::ReadLines(startupFile);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(EndsWith(lines.back(), "PROBE: InitTrace done")) << Dump(lines);
}

TEST(StartupTraceFile, BannerFollowsAnEmptyLineBeforeEverythingElse)
{
    Install install(Library::Real, kProbe);
    ASSERT_TRUE(install.Ok());
    const std::wstring startupFile = install.TraceFile(qztest::StartupTraceName(UserCrc()));
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()));
    ASSERT_TRUE(result.finished) << result.error;

    const std::vector<std::string> lines = qztest::ReadLines(startupFile);
    // The banner text starts with its own line feed: whatever the library puts
    // in front of a statement stands alone on the line before the banner.
    int banner = -1;
    for (size_t i = 0; i < lines.size(); ++i)
    {
        if (lines[i] == kBanner)
        {
            banner = static_cast<int>(i);
            break;
        }
    }
    ASSERT_GE(banner, 1) << Dump(lines);
    EXPECT_EQ(FindLineEndingWith(lines, "PROBE: InitTrace done"), banner + 1) << Dump(lines);
}

TEST(StartupTraceFile, EachCommandWordHasItsOwnFile)
{
    for (const wchar_t* word : kCommandWords)
    {
        SCOPED_TRACE(ToUtf8(word));
        Install install(Library::Real, kProbe);
        ASSERT_TRUE(install.Ok());
        const std::wstring startupFile = install.TraceFile(qztest::StartupTraceName(UserCrc()));
        const std::wstring commandFile = install.TraceFile(qztest::CommandTraceName(word, UserCrc()));
        std::wstring cmdLine;
        const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()) + L" " + word, &cmdLine);
        ASSERT_TRUE(result.finished) << result.error;

        ASSERT_TRUE(qztest::FileExists(commandFile));
        const std::vector<std::string> lines = qztest::ReadLines(commandFile);
        const int cmdLineAt = FindLineEndingWith(lines, "INFO: CmdLine [" + ToUtf8(cmdLine) + "]");
        ASSERT_GE(cmdLineAt, 0) << Dump(lines);
        ASSERT_EQ(static_cast<size_t>(cmdLineAt) + 2, lines.size()) << Dump(lines);
        EXPECT_TRUE(EndsWith(lines.back(), "PROBE: SetCommandTraceFile(" + ToUtf8(word) + ") done")) << Dump(lines);

        // The start-up file keeps what came before the switch, and only that.
        const std::vector<std::string> startupLines = qztest::ReadLines(startupFile);
        ASSERT_FALSE(startupLines.empty());
        EXPECT_TRUE(EndsWith(startupLines.back(), "PROBE: InitTrace done")) << Dump(startupLines);
        EXPECT_FALSE(AnyLineContains(startupLines, "CmdLine")) << Dump(startupLines);
    }
}

TEST(StartupTraceFile, NullOrEmptyWordLeavesTheStartupFileInUse)
{
    Install install(Library::Real, kProbe);
    ASSERT_TRUE(install.Ok());
    const std::wstring startupFile = install.TraceFile(qztest::StartupTraceName(UserCrc()));
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()) + L" <null> <empty>");
    ASSERT_TRUE(result.finished) << result.error;

    const std::vector<std::string> lines = qztest::ReadLines(startupFile);
    const int initDone = FindLineEndingWith(lines, "PROBE: InitTrace done");
    ASSERT_GE(initDone, 0) << Dump(lines);
    ASSERT_EQ(static_cast<size_t>(initDone) + 3, lines.size()) << Dump(lines);
    EXPECT_TRUE(EndsWith(lines[initDone + 1], "PROBE: SetCommandTraceFile(<null>) done")) << Dump(lines);
    EXPECT_TRUE(EndsWith(lines[initDone + 2], "PROBE: SetCommandTraceFile(<empty>) done")) << Dump(lines);
}

TEST(StartupTraceFile, WithConfigFileNoStartupFileButTheCommandFile)
{
    Install install(Library::Real, kProbe);
    ASSERT_TRUE(install.Ok());
    ASSERT_TRUE(qztest::WriteTextFile(install.ConfigFile(), ""));
    const qztest::ProcessResult result = install.Run(qztest::FromUtf8(StartupName()) + L" qztool");
    ASSERT_TRUE(result.finished) << result.error;
    EXPECT_EQ(0u, result.exitCode);

    EXPECT_FALSE(qztest::FileExists(install.TraceFile(qztest::StartupTraceName(UserCrc()))));
    EXPECT_TRUE(qztest::FileExists(install.TraceFile(qztest::CommandTraceName(L"qztool", UserCrc()))));
}

// ---------------------------------------------------------------------------
// qz_elevate.exe: start-up trace and the location check

class LauncherEntry : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_backup.Ok()) << "the existing agent service key could not be saved"; }

    static void SetImagePath(const std::wstring& value)
    {
        ASSERT_TRUE(qztest::CreateRegKey(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey));
        ASSERT_TRUE(qztest::SetRegString(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, L"ImagePath", value));
    }

    qztest_util::AgentServiceKeyBackup m_backup;
};

// An agent directory that does not hold the launcher.
const wchar_t* const kForeignImagePath = L"\"C:\\Program Files\\Dunmoral\\bin\\qz_agent.exe\"";
const size_t kForeignAgentDirLength = 29; // C:\Program Files\Dunmoral\bin

TEST_F(LauncherEntry, OutsideTheAgentInstallationExitsWithMinusOne)
{
    Install install(Library::Real, L"qz_elevate.exe");
    ASSERT_TRUE(install.Ok());
    SetImagePath(kForeignImagePath);
    const qztest::ProcessResult result = install.Run(L"/explore C:\\");
    ASSERT_TRUE(result.started) << result.error;
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0xFFFFFFFFu, result.exitCode);

    const std::wstring startupFile = install.TraceFile(qztest::StartupTraceName(UserCrc()));
    ASSERT_TRUE(qztest::FileExists(startupFile));
    const std::vector<std::string> lines = qztest::ReadLines(startupFile);
    ASSERT_FALSE(lines.empty());
    const std::string invalid = "Invalid path: " + ToUtf8(install.Tree().BinDir().substr(0, kForeignAgentDirLength));
    EXPECT_TRUE(EndsWith(lines.back(), invalid)) << Dump(lines);
    EXPECT_EQ(static_cast<int>(lines.size()) - 1, FindLineEndingWith(lines, invalid)) << Dump(lines);
    EXPECT_FALSE(AnyLineContains(lines, "Exited with code")) << Dump(lines);
    // No command was dispatched: no other trace file.
    EXPECT_FALSE(qztest::FileExists(install.TraceFile(qztest::CommandTraceName(L"ebh", UserCrc()))));
}

TEST_F(LauncherEntry, OutsideTheAgentInstallationBannerThenInvalidPath)
{
    Install install(Library::Real, L"qz_elevate.exe");
    ASSERT_TRUE(install.Ok());
    SetImagePath(kForeignImagePath);
    const qztest::ProcessResult result = install.Run(L"/explore C:\\");
    ASSERT_TRUE(result.finished);

    const std::vector<std::string> lines = qztest::ReadLines(install.TraceFile(qztest::StartupTraceName(UserCrc())));
    const std::string invalid = "Invalid path: " + ToUtf8(install.Tree().BinDir().substr(0, kForeignAgentDirLength));
    ASSERT_GE(lines.size(), 3u) << Dump(lines);
    EXPECT_EQ(kBanner, lines[lines.size() - 2]) << Dump(lines);
    EXPECT_TRUE(EndsWith(lines.back(), invalid)) << Dump(lines);
}

TEST_F(LauncherEntry, CallsWhenTheLocationCheckFails)
{
    const struct
    {
        const char* name;
        bool writeValue;
        const wchar_t* imagePath;
    } rows[] = {
        {"foreign agent directory", true, kForeignImagePath},
        {"service key missing", false, nullptr},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        Install install(Library::Recorder, L"qz_elevate.exe");
        ASSERT_TRUE(install.Ok());
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey);
        if (row.writeValue)
        {
            SetImagePath(row.imagePath);
        }
        const qztest::ProcessResult result = install.Run(L"/explore C:\\");
        ASSERT_TRUE(result.finished) << result.error;
        EXPECT_EQ(0xFFFFFFFFu, result.exitCode);

        const std::wstring binDir = install.Tree().BinDir();
        std::vector<std::string> expected = DefaultInitCalls(install, StartupName());
        if (row.writeValue)
            expected.push_back("Line(100,CqzUtil)Invalid path: " + ToUtf8(binDir.substr(0, kForeignAgentDirLength)) +
                               "\\n");
        else
            expected.push_back("Line(100,CqzUtil)ERROR: Failed to read value ProcDir:" + ToUtf8(binDir) + "\\n");
        // ... and nothing after it: no OLE, no notification, no exit line.
        const std::vector<std::string> calls = install.Calls();
        EXPECT_EQ(expected, calls) << Dump(calls);
    }
}

TEST_F(LauncherEntry, InsideTheAgentInstallationGoesOn)
{
    Install install(Library::Real, L"qz_elevate.exe");
    ASSERT_TRUE(install.Ok());
    SetImagePath(install.Tree().QuotedServiceImage());
    const qztest::ProcessResult result = install.Run(L"");
    ASSERT_TRUE(result.finished) << result.error;
    // Past the check the dispatch runs; without a switch it refuses.
    EXPECT_EQ(0x80070057u, result.exitCode);

    const std::wstring startupFile = install.TraceFile(qztest::StartupTraceName(UserCrc()));
    EXPECT_TRUE(qztest::FileExists(startupFile));
    const std::vector<std::string> lines = qztest::ReadLines(startupFile);
    EXPECT_TRUE(AnyLineContains(lines, "INFO: Exited with code -2147024809")) << Dump(lines);
    EXPECT_FALSE(AnyLineContains(lines, "Invalid path")) << Dump(lines);
    EXPECT_FALSE(AnyLineContains(lines, "Failed to read value")) << Dump(lines);
}

TEST_F(LauncherEntry, CallsWhenTheLocationCheckPasses)
{
    Install install(Library::Recorder, L"qz_elevate.exe");
    ASSERT_TRUE(install.Ok());
    SetImagePath(install.Tree().QuotedServiceImage());
    const qztest::ProcessResult result = install.Run(L"");
    ASSERT_TRUE(result.finished) << result.error;
    EXPECT_EQ(0x80070057u, result.exitCode);
    // Trace start-up comes first and whole; the dispatch, the notification
    // and the exit line follow it (their suites are tests/launcher).
    const std::vector<std::string> expected = DefaultInitCalls(install, StartupName());
    const std::vector<std::string> calls = install.Calls();
    ASSERT_GT(calls.size(), expected.size()) << Dump(calls);
    EXPECT_EQ(expected, std::vector<std::string>(calls.begin(), calls.begin() + expected.size())) << Dump(calls);
    EXPECT_EQ("Line(300,-)INFO: Exited with code -2147024809\\n", calls.back()) << Dump(calls);
}

// ---------------------------------------------------------------------------
// qz_elevate.exe: the image

using ResourceList = std::vector<std::pair<ULONG_PTR, WORD>>; // (name, language)

BOOL CALLBACK CollectResourceLanguages(HMODULE, LPCWSTR, LPCWSTR name, WORD language, LONG_PTR param)
{
    reinterpret_cast<ResourceList*>(param)->emplace_back(reinterpret_cast<ULONG_PTR>(name), language);
    return TRUE;
}

BOOL CALLBACK CollectResourceNames(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param)
{
    ::EnumResourceLanguagesW(module, type, name, CollectResourceLanguages, param);
    return TRUE;
}

TEST(LauncherImage, WindowlessGuiProgramThatAsksForNoElevation)
{
    const std::wstring exe = qztest::BinDir() + L"\\qz_elevate.exe";
    const std::string image = qztest::ReadTextFile(exe);
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    ASSERT_EQ(IMAGE_DOS_SIGNATURE, dos->e_magic);
    // The headers of this build's flavour: a PE32 image for x86, PE32+ for x64.
    ASSERT_LT(static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS), image.size());
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
    ASSERT_EQ(IMAGE_NT_SIGNATURE, nt->Signature);
    EXPECT_EQ(qztest::kImageMachine, nt->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR_MAGIC, nt->OptionalHeader.Magic);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt->OptionalHeader.Subsystem);

    HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << ::GetLastError();
    // Exactly one manifest, in one language: the toolchain's default one must
    // not have come along.
    ResourceList manifests;
    ::EnumResourceNamesW(module, RT_MANIFEST, CollectResourceNames, reinterpret_cast<LONG_PTR>(&manifests));
    ASSERT_EQ(1u, manifests.size());
    EXPECT_EQ(1u, manifests[0].first); // CREATEPROCESS_MANIFEST_RESOURCE_ID

    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(nullptr, resource);
    const char* data = static_cast<const char*>(::LockResource(::LoadResource(module, resource)));
    ASSERT_NE(nullptr, data);
    const std::string manifest(data, ::SizeofResource(module, resource));
    ::FreeLibrary(module);
    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"))
        << manifest;
    EXPECT_EQ(std::string::npos, manifest.find("requireAdministrator"));
    EXPECT_EQ(std::string::npos, manifest.find("highestAvailable"));
}

TEST(LauncherImage, VersionRecord)
{
    const std::wstring exe = qztest::BinDir() + L"\\qz_elevate.exe";
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_NE(0u, size);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(static_cast<DWORD>(VS_FFI_SIGNATURE), fixed->dwSignature);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    wchar_t* name = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                                 reinterpret_cast<void**>(&name), &length));
    EXPECT_STREQ(L"qz_elevate.exe", name);
}

} // namespace
