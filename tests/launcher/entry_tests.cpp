// qz_elevate.exe end to end, around the dispatch: the location check, the
// exit notification when the agent service is stopped or absent, the
// registration words with and without a type library beside the launcher,
// and (through a probe that runs the dispatch in its own process) the agent
// library freed when the dispatch returns.
#include "tests/launcher/launcher_test_util.h"

#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using qzlaunch::At;
using qzlaunch::Call;
using qzlaunch::CmdLineInfo;
using qzlaunch::ExitLine;
using qzlaunch::kAtNotify;
using qzlaunch::kAtSend;
using qzlaunch::kBanner;
using qzlaunch::KeyOpenFailed;
using qzlaunch::LauncherStatements;
using qzlaunch::LaunchResult;
using qztest::StandinArg;
using qztest::StandinCall;

const char* const kNotSent = "ERROR: Failed to send QZ_CIC_NOTIFY_QZELEVATE_EXIT command";
const wchar_t* const kChannelMutex = L"Global\\QzCustCmdMutexName";

StandinCall ShowEBH(const wchar_t* location, HRESULT result = S_OK)
{
    return Call("ShowEBH", {StandinArg::Text(location)}, result);
}

class EntryTest : public qzlaunch::LauncherSuite
{
};

// ---------------------------------------------------------------------------
// Outside the agent's installation: -1 at once.

TEST_F(EntryTest, OutsideTheInstallationExitsWithMinusOneAndNothingElse)
{
    qztest::AgentInstall outside;
    ASSERT_TRUE(outside.CopyLauncher());
    ASSERT_TRUE(outside.CopyFromBuild(qztest::kStandinDlls));
    const std::vector<std::wstring> argumentRows = {L"/explore C:\\x", L"/axinst", L"", L"/RegServer"};
    for (const std::wstring& arguments : argumentRows)
    {
        SCOPED_TRACE(qztest::ToUtf8(arguments));
        ASSERT_TRUE(qzlaunch::ClearTraceDir(outside.TraceDir()));
        const size_t controlsBefore = Install().Service().Controls().size();
        const std::wstring cmdLine =
            qztest::QuoteArg(outside.LauncherPath()) + (arguments.empty() ? L"" : L" " + arguments);
        LaunchResult result;
        result.process = qzlaunch::RunWithOptions(outside.LauncherPath(), cmdLine, {});
        qzlaunch::CollectRunOutput(outside.Root(), outside.BinDir(), result);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;

        EXPECT_EQ(0xFFFFFFFFu, result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {}));
        EXPECT_EQ(controlsBefore, Install().Service().Controls().size()) << "the agent was notified";
        EXPECT_TRUE(result.commandFiles.empty());
        // The banner and the location check's own line; no exit line.
        const std::string leading = qztest::ToUtf8(outside.BinDir().substr(0, Install().BinDir().size()));
        const std::vector<std::string> expected = {kBanner,
                                                   At("CqzUtil::IsValidProcessPath", "Invalid path: " + leading)};
        const std::vector<std::string> got = LauncherStatements(result.startup);
        EXPECT_EQ(expected, got) << qzlaunch::Dump(got);
    }
}

// ---------------------------------------------------------------------------
// The agent service stopped or absent: the command's own exit code, after
// the channel's error lines.

bool WaitUntilMutexGone(DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    for (;;)
    {
        HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, kChannelMutex);
        if (mutex == nullptr)
            return true;
        ::CloseHandle(mutex);
        if (::GetTickCount() - start > timeoutMs)
            return false;
        ::Sleep(50);
    }
}

struct ChannelDownRow
{
    const char* name;
    std::wstring arguments;
    HRESULT result;
    std::vector<StandinCall> calls;
    long exitCode;
    bool keyLine;
    const char* failure; // the export's failure line, if any
};

std::vector<ChannelDownRow> ChannelDownRows()
{
    const HRESULT denied = static_cast<HRESULT>(0x80070005);
    return {
        {"/explore succeeding", L"/explore C:\\x", S_OK, {ShowEBH(L"C:\\x")}, 0, true, nullptr},
        {"/explore failing",
         L"/explore C:\\x",
         denied,
         {ShowEBH(L"C:\\x", denied)},
         denied,
         true,
         "ERROR: ShowEBH(C:\\x) failed. hr=-2147024891"},
        {"/axinst answering S_FALSE", L"/axinst", S_FALSE, {Call("CallCGCOFU", {}, S_FALSE)}, S_FALSE, false, nullptr},
    };
}

void ExpectChannelDown(const LaunchResult& result, const ChannelDownRow& row, const std::string& channelLine)
{
    ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
    EXPECT_EQ(static_cast<DWORD>(row.exitCode), result.process.exitCode);
    EXPECT_TRUE(qzlaunch::CallsAre(result, row.calls));
    EXPECT_TRUE(result.notifications.empty());
    ASSERT_EQ(1u, result.commandFiles.size());
    const std::vector<qzlaunch::TraceStatement>& statements = result.commandFiles.begin()->second;
    std::vector<std::string> expected = {CmdLineInfo(result.cmdLine)};
    if (row.keyLine)
        expected.push_back(KeyOpenFailed(ERROR_FILE_NOT_FOUND));
    if (row.failure)
        expected.push_back(At(qzlaunch::kAtRun, row.failure));
    expected.push_back(At(kAtSend, channelLine));
    expected.push_back(At(kAtNotify, kNotSent));
    expected.push_back(ExitLine(row.exitCode));
    const std::vector<std::string> got = LauncherStatements(statements);
    EXPECT_EQ(expected, got) << qzlaunch::Dump(got);
}

TEST_F(EntryTest, ServiceStoppedTheCommandsExitCodeAfterTheChannelLines)
{
    for (const ChannelDownRow& row : ChannelDownRows())
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        ASSERT_TRUE(Install().Service().Stop()) << Install().Service().FailedStep();
        // The stand-in closes the channel mutex as it stops.
        ASSERT_TRUE(WaitUntilMutexGone(10000)) << "the channel mutex outlived the service";
        ASSERT_TRUE(qztest::SetStandinResult(Install().BinDir(), row.result));
        const LaunchResult result = Install().Launch(row.arguments);
        ExpectChannelDown(result, row, "ERROR: Failed to open mutex. LastError=2");
    }
}

TEST_F(EntryTest, ServiceAbsentTheCommandsExitCodeAfterTheChannelLines)
{
    for (const ChannelDownRow& row : ChannelDownRows())
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        ASSERT_TRUE(Install().RemoveService());
        // The location check still finds the agent's directory: the value is
        // there, the service is not.
        ASSERT_TRUE(qztest::SetRegString(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, L"ImagePath",
                                         Install().Tree().QuotedServiceImage(), REG_EXPAND_SZ));
        ASSERT_TRUE(qztest::SetStandinResult(Install().BinDir(), row.result));
        const LaunchResult result = Install().Launch(row.arguments);
        ExpectChannelDown(result, row, "ERROR: Service qz_agent is not installed.");
    }
    std::string error;
    ASSERT_TRUE(Install().ReinstallService(error)) << error;
}

// ---------------------------------------------------------------------------
// Registration words.

const wchar_t* const kTypeLibKey = L"TypeLib\\{6B1F2C4E-9D3A-4E57-8A21-3C5D7E9F0B14}";
const wchar_t* const kTypeLibVersionKey = L"TypeLib\\{6B1F2C4E-9D3A-4E57-8A21-3C5D7E9F0B14}\\1.2";
const wchar_t* const kMachineClasses = L"Software\\Classes\\";
const wchar_t* const kUserClasses = L"Software\\Classes\\";

std::wstring DefaultValue(HKEY root, const std::wstring& path)
{
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (::RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"<none>";
    return buffer;
}

class Registration : public EntryTest
{
protected:
    void SetUp() override
    {
        EntryTest::SetUp();
        CleanRegistrations();
        RemoveTypeLib();
        qzlaunch::ClearTraceDir(Install().Tree().TraceDir());
    }
    void TearDown() override
    {
        CleanRegistrations();
        RemoveTypeLib();
    }

    static std::wstring TypeLibPath() { return Install().BinDir() + L"\\qz_elevate.tlb"; }
    static bool PlaceTypeLib()
    {
        return ::CopyFileW((qztest::BinDir() + L"\\qz_elevate_test.tlb").c_str(), TypeLibPath().c_str(), FALSE) !=
               FALSE;
    }
    static void RemoveTypeLib() { ::DeleteFileW(TypeLibPath().c_str()); }

    static void CleanRegistrations()
    {
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(kMachineClasses) + kTypeLibKey);
        qztest::DeleteRegTree(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kTypeLibKey);
    }
    static bool MachineRegistered()
    {
        return qztest::RegKeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMachineClasses) + kTypeLibVersionKey);
    }
    static bool UserRegistered()
    {
        return qztest::RegKeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + kTypeLibVersionKey);
    }

    // What the type-library loader answers for the launcher's ".tlb" file
    // when it is not there: the registration result without one.
    static HRESULT LoaderFailure()
    {
        ITypeLib* typeLib = nullptr;
        const HRESULT hr = ::LoadTypeLib(TypeLibPath().c_str(), &typeLib);
        if (typeLib)
            typeLib->Release();
        return hr;
    }

    // A registration word was handled: no dispatch, no command file, the
    // banner and the exit line, and the agent notified.
    static void ExpectRegistrationRun(const LaunchResult& result, HRESULT expected)
    {
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        EXPECT_EQ(static_cast<DWORD>(expected), result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {}));
        EXPECT_TRUE(result.commandFiles.empty()) << "Run was called";
        const std::vector<std::string> want = {kBanner, ExitLine(expected)};
        const std::vector<std::string> got = LauncherStatements(result.startup);
        EXPECT_EQ(want, got) << qzlaunch::Dump(got);
        EXPECT_TRUE(qzlaunch::NotifiedOnce(result));
    }
};

TEST_F(Registration, WithoutATypeLibraryTheLoadersFailureIsTheExitCode)
{
    const HRESULT failure = LoaderFailure();
    ASSERT_TRUE(FAILED(failure));
    const std::vector<std::wstring> rows = {
        L"/explore C:\\x -RegServer",         // after a switch, with a dash
        L"/regserver",                        // lower case
        L"/UnregServer",                      // nothing to unregister
        L"/RegServerPerUser",                 //
        L"-unregserverperuser",               //
        L"--RegServer",                       // the second dash starts the word
        L"/navigate http://host/RegServer",   // an unquoted address ending in the word
        L"/qztoolexec t.exe -RegServer\targ", // ended by a tab
    };
    for (const std::wstring& arguments : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(arguments));
        ASSERT_NO_FATAL_FAILURE(SetUp());
        const LaunchResult result = Install().Launch(arguments);
        ExpectRegistrationRun(result, failure);
        EXPECT_FALSE(MachineRegistered());
        EXPECT_FALSE(UserRegistered());
    }
}

TEST_F(Registration, RegServerRegistersTheTypeLibraryBesideTheLauncher)
{
    const std::vector<std::wstring> rows = {
        L"/RegServer",
        L"/navigate http://host/RegServer /setautoelvateflag", // the word before a blank
        L"/explore C:\\x /REGSERVER",
    };
    for (const std::wstring& arguments : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(arguments));
        ASSERT_NO_FATAL_FAILURE(SetUp());
        ASSERT_TRUE(PlaceTypeLib());
        const LaunchResult result = Install().Launch(arguments);
        ExpectRegistrationRun(result, S_OK);
        EXPECT_TRUE(MachineRegistered());
        // The directory of the library's help file.
        EXPECT_EQ(L"C:\\QzHelp",
                  DefaultValue(HKEY_LOCAL_MACHINE, std::wstring(kMachineClasses) + kTypeLibVersionKey + L"\\HELPDIR"));
        const std::wstring win32 =
            DefaultValue(HKEY_LOCAL_MACHINE, std::wstring(kMachineClasses) + kTypeLibVersionKey + L"\\0\\win32");
        EXPECT_EQ(0, ::_wcsicmp(TypeLibPath().c_str(), win32.c_str())) << qztest::ToUtf8(win32);
    }
}

TEST_F(Registration, UnregServerRemovesTheRegistration)
{
    ASSERT_TRUE(PlaceTypeLib());
    {
        ITypeLib* typeLib = nullptr;
        ASSERT_EQ(S_OK, ::LoadTypeLib(TypeLibPath().c_str(), &typeLib));
        std::wstring path = TypeLibPath();
        const HRESULT hr = ::RegisterTypeLib(typeLib, &path[0], nullptr);
        typeLib->Release();
        ASSERT_EQ(S_OK, hr);
    }
    ASSERT_TRUE(MachineRegistered());
    const LaunchResult result = Install().Launch(L"/UnregServer");
    ExpectRegistrationRun(result, S_OK);
    EXPECT_FALSE(MachineRegistered());
}

TEST_F(Registration, PerUserWordsUseThePerUserFunctions)
{
    HMODULE oleaut = ::GetModuleHandleW(L"OLEAUT32.DLL");
    ASSERT_NE(nullptr, oleaut);
    if (::GetProcAddress(oleaut, "RegisterTypeLibForUser") == nullptr)
        GTEST_SKIP() << "OLEAUT32.DLL does not export RegisterTypeLibForUser here";

    ASSERT_TRUE(PlaceTypeLib());
    const LaunchResult registered = Install().Launch(L"/RegServerPerUser");
    ExpectRegistrationRun(registered, S_OK);
    const bool user = UserRegistered();
    const bool machine = MachineRegistered();
    EXPECT_TRUE(user || machine) << "registered nowhere";

    ASSERT_NO_FATAL_FAILURE(SetUp());
    ASSERT_TRUE(PlaceTypeLib());
    if (user)
    {
        std::wstring path = TypeLibPath();
        ITypeLib* typeLib = nullptr;
        ASSERT_EQ(S_OK, ::LoadTypeLib(path.c_str(), &typeLib));
        typedef HRESULT(WINAPI * RegisterForUser)(ITypeLib*, OLECHAR*, OLECHAR*);
        const RegisterForUser registerForUser = reinterpret_cast<RegisterForUser>(
            reinterpret_cast<void (*)()>(::GetProcAddress(oleaut, "RegisterTypeLibForUser")));
        const HRESULT hr = registerForUser(typeLib, &path[0], nullptr);
        typeLib->Release();
        ASSERT_EQ(S_OK, hr);
    }
    else
    {
        std::wstring path = TypeLibPath();
        ITypeLib* typeLib = nullptr;
        ASSERT_EQ(S_OK, ::LoadTypeLib(path.c_str(), &typeLib));
        const HRESULT hr = ::RegisterTypeLib(typeLib, &path[0], nullptr);
        typeLib->Release();
        ASSERT_EQ(S_OK, hr);
    }
    const LaunchResult unregistered = Install().Launch(L"/UnregServerPerUser");
    ExpectRegistrationRun(unregistered, S_OK);
    EXPECT_FALSE(UserRegistered());
    EXPECT_FALSE(MachineRegistered());

    if (!user)
        GTEST_SKIP() << "RegisterTypeLibForUser registered the library for the whole machine here (Wine's "
                        "implementation forwards to RegisterTypeLib); the per-user location is not shown";
}

TEST_F(Registration, WordsThatDoNotEndTheTokenDispatch)
{
    const struct
    {
        const char* name;
        std::wstring arguments;
        const wchar_t* word;
        StandinCall call;
    } rows[] = {
        {"quoted address ending in the word", L"/navigate \"http://host/RegServer\"", L"wbh",
         Call("ShowWB", {StandinArg::Text(L"http://host/RegServer"), StandinArg::Bool(0)})},
        {"the word followed by a letter", L"/explore C:\\x -RegServerX", L"ebh", ShowEBH(L"C:\\x")},
        {"the word followed by a comma", L"/explore C:\\x,/RegServer,", L"ebh", ShowEBH(L"C:\\x,/RegServer,")},
        {"the word followed by a backslash", L"/explore C:\\a-RegServer\\b", L"ebh", ShowEBH(L"C:\\a-RegServer\\b")},
        {"the word without a delimiter", L"/explore RegServer", L"ebh", ShowEBH(L"RegServer")},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        ASSERT_TRUE(PlaceTypeLib());
        const LaunchResult result = Install().Launch(row.arguments);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        EXPECT_EQ(0u, result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {row.call}));
        EXPECT_EQ(1u, result.commandFiles.count(row.word));
        EXPECT_FALSE(MachineRegistered());
        EXPECT_FALSE(UserRegistered());
        EXPECT_TRUE(qzlaunch::NotifiedOnce(result));
    }
}

// ---------------------------------------------------------------------------
// The agent library is freed by the time the dispatch returns, on every path.

TEST_F(EntryTest, DispatchFreesTheLibraryOnEveryPath)
{
    const std::wstring probe = Install().BinDir() + L"\\qz_launcher_run_probe.exe";
    ASSERT_TRUE(::CopyFileW((qztest::BinDir() + L"\\qz_launcher_run_probe.exe").c_str(), probe.c_str(), FALSE));
    const HRESULT failure = static_cast<HRESULT>(0x80070005);
    const struct
    {
        const char* name;
        std::wstring arguments;
        HRESULT standinResult;
        const wchar_t* variant; // a stand-in lacking the export, copied over its library
        const wchar_t* variantName;
        HRESULT expected;
        size_t calls;
    } rows[] = {
        {"ShowEBH called", L"/explore C:\\x", S_OK, nullptr, nullptr, S_OK, 1},
        {"ShowEBH failing", L"/explore C:\\x", failure, nullptr, nullptr, failure, 1},
        {"QzToolExec called", L"/qztoolexec t.exe a", S_OK, nullptr, nullptr, S_OK, 1},
        {"CallCGCOFU called", L"/axinst", S_FALSE, nullptr, nullptr, S_FALSE, 1},
        {"ShowWB failing", L"/navigate u /setautoelvateflag", failure, nullptr, nullptr, failure, 1},
        {"qz_shex.dll without ShowEBH", L"/explore C:\\x", S_OK, qztest::kShexWithoutShowEBH, L"qz_shex.dll", E_FAIL,
         0},
        {"qz_bho.dll without ShowWB", L"/navigate u", S_OK, qztest::kBhoWithoutShowWB, L"qz_bho.dll", E_FAIL, 0},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        ASSERT_TRUE(qztest::SetStandinResult(Install().BinDir(), row.standinResult));
        if (row.variant)
        {
            ASSERT_TRUE(::CopyFileW((qztest::BinDir() + L"\\" + row.variant).c_str(),
                                    (Install().BinDir() + L"\\" + row.variantName).c_str(), FALSE));
        }
        const std::wstring resultFile = Install().BinDir() + L"\\run_probe.result";
        ::DeleteFileW(resultFile.c_str());
        qzlaunch::LaunchOptions options;
        options.exePath = probe;
        const LaunchResult result = Install().Launch(row.arguments, options);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        ASSERT_EQ(0u, result.process.exitCode);

        char expected[96];
        std::snprintf(expected, sizeof(expected), "hr=0x%08lX shex=0 bho=0 before=0\n",
                      static_cast<unsigned long>(row.expected));
        EXPECT_EQ(expected, qztest::ReadTextFile(resultFile));
        // The export ran while its library was loaded.
        EXPECT_EQ(row.calls, result.calls.size());
    }
}

// ---------------------------------------------------------------------------
// The entry's failure paths as a whole process: the launcher's own entry in
// a probe that reaches the state before static initialisation (see
// entry_fault_probe.cpp), copied into the installation and run there.

// Sets QZ_ENTRY_FAULT for the probe (the child inherits it) while it lives.
class EntryFaultScope
{
public:
    explicit EntryFaultScope(const wchar_t* fault) { ::SetEnvironmentVariableW(L"QZ_ENTRY_FAULT", fault); }
    ~EntryFaultScope() { ::SetEnvironmentVariableW(L"QZ_ENTRY_FAULT", nullptr); }
    EntryFaultScope(const EntryFaultScope&) = delete;
    EntryFaultScope& operator=(const EntryFaultScope&) = delete;
};

TEST_F(EntryTest, FailedStartsEndWithTheirCodeAfterNotifyingTheAgent)
{
    const std::wstring probe = Install().BinDir() + L"\\qz_elevate_entry_probe.exe";
    ASSERT_TRUE(::CopyFileW((qztest::BinDir() + L"\\qz_elevate_entry_probe.exe").c_str(), probe.c_str(), FALSE));
    const struct
    {
        const char* name;
        const wchar_t* fault;
        std::wstring arguments;
        long exitCode;
    } rows[] = {
        // OLE in another apartment model and no "Mscoree.dll": the clash is
        // the exit code; neither a registration word nor Run is reached.
        {"apartment clash without Mscoree.dll", L"changed-mode", L"/explore C:\\x",
         static_cast<long>(RPC_E_CHANGED_MODE)},
        {"apartment clash with a registration word", L"changed-mode", L"/RegServer",
         static_cast<long>(RPC_E_CHANGED_MODE)},
        // The module could not start: -1, and still the notification and
        // the exit line.
        {"module initialisation failed", L"module-init", L"/explore C:\\x", -1},
        {"module initialisation failed, no arguments", L"module-init", L"", -1},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        EntryFaultScope fault(row.fault);
        qzlaunch::LaunchOptions options;
        options.exePath = probe;
        const LaunchResult result = Install().Launch(row.arguments, options);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;

        EXPECT_EQ(static_cast<DWORD>(row.exitCode), result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {}));
        EXPECT_TRUE(result.commandFiles.empty()) << "Run was called";
        const std::vector<std::string> want = {kBanner, ExitLine(row.exitCode)};
        const std::vector<std::string> got = LauncherStatements(result.startup);
        EXPECT_EQ(want, got) << qzlaunch::Dump(got);
        EXPECT_TRUE(qzlaunch::NotifiedOnce(result));
        EXPECT_TRUE(qzlaunch::AllFromPid(result.startup, result.process.pid));
    }
}

} // namespace
