// CqzProcessHandle on real processes: a suspended child started with a known
// command line, directory and environment, this process, and pids that do
// not (or no longer) exist.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/process/process_test_util.h"

using qzproc::Child;
using qzproc::ProbePath;
using qztest::TraceEntries;

namespace
{

const char* const kClass = "CqzProcessHandle";

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring WithoutTrailingSeparator(std::wstring path)
{
    if (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

// A suspended probe with a command line holding quotes and spaces, its own
// directory and a small environment.
class SuspendedChildTest : public ::testing::Test
{
protected:
    SuspendedChildTest()
        : m_dir(L"qzproc"),
          m_child(ProbePath(), qztest::QuoteArg(ProbePath()) + L" wait \"two words\" x=\"y\"", CREATE_SUSPENDED,
                  m_dir.Path().c_str(), qzproc::EnvironmentBlock(L"QZ_PROBE_MARK=suspended\0PATH=C:\\windows\0"))
    {
    }
    void SetUp() override { ASSERT_TRUE(m_child.Started()) << m_child.Error(); }

    qztest::TempDir m_dir;
    Child m_child;
};

TEST_F(SuspendedChildTest, ReadsCommandLineAndDirectoryThroughBothForms)
{
    CqzProcessHandle process;
    ASSERT_TRUE(process.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, m_child.Pid()));
    EXPECT_EQ(process.LastError(), 0u);
    std::wstring commandLine, directory;
    ASSERT_TRUE(process.GetCommandLineW(commandLine)) << process.LastError();
    EXPECT_EQ(commandLine, m_child.CommandLine());
    ASSERT_TRUE(process.GetCurrentDirectoryW(directory)) << process.LastError();
    EXPECT_TRUE(SamePath(WithoutTrailingSeparator(directory), m_dir.Path()))
        << qztest::ToUtf8(directory) << " vs " << qztest::ToUtf8(m_dir.Path());

    std::wstring staticLine, staticDirectory;
    ASSERT_TRUE(CqzProcessHandle::GetCommandLineW(m_child.Pid(), staticLine));
    EXPECT_EQ(staticLine, commandLine);
    ASSERT_TRUE(CqzProcessHandle::GetCurrentDirectoryW(m_child.Pid(), staticDirectory));
    EXPECT_EQ(staticDirectory, directory);
}

TEST_F(SuspendedChildTest, ImagePathUserAndCreationTimeMatchTheSystemsAnswers)
{
    std::wstring path;
    ASSERT_TRUE(CqzProcessHandle::GetImagePath(m_child.Pid(), path));
    EXPECT_TRUE(SamePath(path, ProbePath())) << qztest::ToUtf8(path);

    // The user: plain advapi32 on the child's token.
    qztest::ScopedHandle token;
    ASSERT_TRUE(::OpenProcessToken(m_child.Process(), TOKEN_QUERY, token.Receive()));
    BYTE userBuffer[256] = {};
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token.Get(), TokenUser, userBuffer, sizeof userBuffer, &size));
    const PSID expectedUser = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;
    CSid user;
    ASSERT_TRUE(CqzProcessHandle::GetUser(m_child.Pid(), user));
    EXPECT_TRUE(::EqualSid(user.GetPSID(), expectedUser)) << qztest::ToUtf8(qztest::SidToString(user.GetPSID()));

    FILETIME created = {}, exited = {}, kernel = {}, userTime = {};
    ASSERT_TRUE(::GetProcessTimes(m_child.Process(), &created, &exited, &kernel, &userTime));
    ULONGLONG creationTime = 0;
    ASSERT_TRUE(CqzProcessHandle::GetCreationTime(m_child.Pid(), creationTime));
    EXPECT_EQ(creationTime, (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    EXPECT_NE(creationTime, 0u);

    // Same token as ours: the same administrator decision.
    bool ownDecision = false;
    qztest::ScopedHandle ownToken = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(CqzAccessToken::IsElevatedAdmin(ownToken.Get(), ownDecision));
    bool isAdmin = !ownDecision;
    EXPECT_TRUE(CqzProcessHandle::ProbeForAdminRights(m_child.Pid(), isAdmin));
    EXPECT_EQ(isAdmin, ownDecision);
    EXPECT_EQ(CqzProcessHandle::ProbeForAdminRights(m_child.Pid()), ownDecision);
}

TEST_F(SuspendedChildTest, MainThreadIsTheOneCreateProcessStarted)
{
    EXPECT_EQ(CqzProcessHandle::GetMainThreadId(m_child.Pid()), m_child.Tid());
    qztest::ScopedHandle thread(CqzProcessHandle::OpenMainThread(m_child.Pid(), THREAD_QUERY_INFORMATION, false));
    ASSERT_TRUE(thread);
    EXPECT_EQ(::GetThreadId(thread.Get()), m_child.Tid());
}

TEST_F(SuspendedChildTest, BitnessIsTheChildsOwn)
{
    const char* wineEnv = getenv("QZ_WINE_ENV");
    const std::string env = wineEnv != nullptr ? wineEnv : "";
    BOOL wow64 = FALSE;
    ASSERT_TRUE(::IsWow64Process(m_child.Process(), &wow64));
    bool isArm = true;
    const bool is64 = CqzProcessHandle::Is64bit(m_child.Process(), isArm);
    bool is32On64 = !wow64;
    ASSERT_TRUE(CqzProcessHandle::Is32bitOn64bitOS(m_child.Pid(), is32On64));
    EXPECT_FALSE(isArm);
#ifdef _WIN64
    EXPECT_TRUE(is64);
    EXPECT_FALSE(is32On64);
    EXPECT_FALSE(wow64);
#else
    EXPECT_FALSE(is64);
    // Under WOW64 the 32-bit child is a 32-bit process on a 64-bit system;
    // on 32-bit Windows there is no such thing.
    EXPECT_EQ(is32On64, env == "wow64") << env;
    EXPECT_EQ(wow64 != FALSE, env == "wow64") << env;
#endif
    bool dummy = true;
    EXPECT_FALSE(CqzProcessHandle::Is64bit(nullptr, dummy));
    EXPECT_FALSE(dummy);
}

TEST_F(SuspendedChildTest, DebugStateOfAnUndebuggedChild)
{
    CqzProcessHandle process;
    ASSERT_TRUE(process.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, m_child.Pid()));
    bool present = true, beingDebugged = true;
    ULONG_PTR port = 1;
    EXPECT_TRUE(process.CheckDebuggerPresent(present));
    EXPECT_FALSE(present);
    EXPECT_TRUE(process.IsBeingDebugged(beingDebugged));
    EXPECT_FALSE(beingDebugged);
    EXPECT_TRUE(process.GetDebugPort(port));
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(process.GetProcessId(), m_child.Pid());
}

TEST_F(SuspendedChildTest, MediumLabelIsWrittenAndAMissingProcessIsNamed)
{
    // Wine keeps no label on processes; the write itself succeeds.
    EXPECT_TRUE(CqzProcessHandle::SetProcessMandatoryLabel(m_child.Pid()));
}

// A pid that is no process: a multiple of 4 far above any Wine hands out.
const DWORD kNoSuchPid = 0x7FFFFFF0;

TEST(ProcessOpen, VanishedProcessTracesAtTraceLevelAndOtherFailuresAtError)
{
    DWORD pid = 0;
    {
        Child child(ProbePath(), qztest::QuoteArg(ProbePath()) + L" exit-now", 0);
        ASSERT_TRUE(child.Started());
        ASSERT_EQ(::WaitForSingleObject(child.Process(), 30000), WAIT_OBJECT_0);
        pid = child.Pid();
    }
    // Wine keeps an ended process openable for a moment after its last
    // handle closes: wait until the system itself says it is gone.
    for (int i = 0; i < 100; ++i)
    {
        qztest::ScopedHandle h(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!h && ::GetLastError() == ERROR_INVALID_PARAMETER)
            break;
        ::Sleep(100);
    }
    qztest::TraceCapture capture;
    CqzProcessHandle process;
    EXPECT_FALSE(process.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, pid));
    EXPECT_EQ(process.LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(capture.Entries(), (TraceEntries{{QZT_TRACE, kClass,
                                                "TRACE: OpenProcess(Access=4096, PID=" + std::to_string(pid) +
                                                    ") returned ERROR_INVALID_PARAMETER"}}));

    // Asked not to trace, it says nothing.
    qztest::TraceCapture quiet;
    EXPECT_FALSE(process.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, pid, false));
    EXPECT_TRUE(quiet.Entries().empty());

    // The image path of the vanished process.
    qztest::TraceCapture imageCapture;
    std::wstring path = L"unchanged";
    EXPECT_FALSE(CqzProcessHandle::GetImagePath(pid, path));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(
        imageCapture.Entries(),
        (TraceEntries{{QZT_TRACE, kClass, "TRACE: Failed to open process " + std::to_string(pid) + ". LastError=87"}}));
}

TEST(ProcessOpen, AccessTheDaclRefusesIsAnErrorLine)
{
    // A child whose DACL grants nothing: Wine refuses the open with 5.
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &descriptor, nullptr));
    CqzScopedLocal<void> descriptorHolder(descriptor);
    attributes.lpSecurityDescriptor = descriptor;
    std::wstring commandLine = qztest::QuoteArg(ProbePath()) + L" wait";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(ProbePath().c_str(), &commandLine[0], &attributes, nullptr, FALSE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &info));
    qztest::ScopedHandle processHandle(info.hProcess), threadHandle(info.hThread);

    qztest::TraceCapture capture;
    CqzProcessHandle process;
    const bool opened = process.OpenProcess(PROCESS_VM_READ, info.dwProcessId);
    ::TerminateProcess(info.hProcess, 0);
    ASSERT_FALSE(opened);
    EXPECT_EQ(process.LastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(capture.Entries(), (TraceEntries{{QZT_ERROR, kClass,
                                                "ERROR: OpenProcess(Access=16, PID=" +
                                                    std::to_string(info.dwProcessId) + ") failed. LastError=5"}}));
}

int s_openProcessCalls = 0;
HANDLE WINAPI CountingOpenProcess(DWORD, BOOL, DWORD)
{
    ++s_openProcessCalls;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

TEST(ProcessImagePath, SystemPidsAnswerWithoutOpeningAndOwnPidIsOurModule)
{
    qztest::IatHook hook("kernel32.dll", "OpenProcess", reinterpret_cast<void*>(&CountingOpenProcess));
    ASSERT_TRUE(hook.Installed());
    qztest::TraceCapture capture;
    for (DWORD pid : {0u, 4u})
    {
        std::wstring path;
        EXPECT_TRUE(CqzProcessHandle::GetImagePath(pid, path)) << pid;
        EXPECT_EQ(path, L"System") << pid;
    }
    std::wstring own;
    EXPECT_TRUE(CqzProcessHandle::GetImagePath(::GetCurrentProcessId(), own));
    EXPECT_TRUE(SamePath(own, qztest::ModulePath())) << qztest::ToUtf8(own);
    EXPECT_EQ(s_openProcessCalls, 0);
    EXPECT_TRUE(capture.Entries().empty());
}

TEST(ProcessImagePath, BelowVistaTheDevicePathBecomesADrivePath)
{
    Child child(ProbePath(), qztest::QuoteArg(ProbePath()) + L" wait", CREATE_SUSPENDED);
    ASSERT_TRUE(child.Started());
    qztest::TempDir dir(L"qzprocxp");
    const std::wstring out = dir / L"imagepath.txt";
    qztest::WineVersionScope version(L"process_probe_xp.exe", L"winxp");
    ASSERT_TRUE(version.Ok());
    const qztest::ProcessResult run = qztest::RunProcess(
        ProbePath(L"process_probe_xp.exe"), qztest::QuoteArg(ProbePath(L"process_probe_xp.exe")) + L" imagepath " +
                                                std::to_wstring(child.Pid()) + L" " + qztest::QuoteArg(out));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    const qztest::KeyValues values = qztest::ReadKeyValues(out);
    EXPECT_EQ(values.Get("major"), "5");
    EXPECT_EQ(values.Get("ok"), "1");
    EXPECT_TRUE(SamePath(qztest::FromUtf8(values.Get("path")), ProbePath())) << values.Get("path");
    EXPECT_TRUE(values.All("trace").empty());
}

TEST(ProcessImagePath, DevicePathConverterTable)
{
    // The oracle: what the system maps C: to.
    wchar_t target[MAX_PATH] = {};
    ASSERT_NE(::QueryDosDeviceW(L"C:", target, MAX_PATH), 0u);
    const std::wstring c = target;
    std::wstring lower = c;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
    struct Row
    {
        const char* name;
        std::wstring device;
        bool converted;
        std::wstring drive;
    } rows[] = {
        {"a file", c + L"\\windows\\notepad.exe", true, L"C:\\windows\\notepad.exe"},
        {"the volume itself", c, true, L"C:"},
        {"any case", lower + L"\\X", true, L"C:\\X"},
        {"a longer volume name", c + L"7\\x", false, c + L"7\\x"},
        {"no device", L"\\Device\\QzNoSuchVolume\\x", false, L"\\Device\\QzNoSuchVolume\\x"},
        {"empty", L"", false, L""},
    };
    for (const Row& row : rows)
    {
        std::wstring drive = L"stale";
        EXPECT_EQ(CqzProcessHandle::DevicePathToDrivePath(row.device, drive), row.converted) << row.name;
        EXPECT_EQ(drive, row.drive) << row.name;
    }
}

TEST(ProcessEnumeration, ProcessesModulesAndSnapshotsContainWhatTheyMust)
{
    CqzScopedHeap<DWORD> pids;
    DWORD count = 0;
    ASSERT_TRUE(CqzProcessHandle::EnumAllProcesses(pids, count));
    ASSERT_GT(count, 0u);
    const DWORD* begin = pids.Get();
    EXPECT_NE(std::find(begin, begin + count, ::GetCurrentProcessId()), begin + count);

    std::vector<PROCESSENTRY32W> processes;
    ASSERT_TRUE(CqzProcessHandle::EnumProcessesEx(processes));
    const auto self =
        std::find_if(processes.begin(), processes.end(),
                     [](const PROCESSENTRY32W& entry) { return entry.th32ProcessID == ::GetCurrentProcessId(); });
    ASSERT_NE(self, processes.end());
    EXPECT_TRUE(SamePath(self->szExeFile, L"process_tests.exe")) << qztest::ToUtf8(self->szExeFile);
    EXPECT_TRUE(CqzProcessHandle::IsProcessRunning(L"PROCESS_TESTS.EXE"));
    EXPECT_FALSE(CqzProcessHandle::IsProcessRunning(L"qz_no_such_process.exe"));
    EXPECT_FALSE(CqzProcessHandle::IsProcessRunning(nullptr));

    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    CqzProcessHandle process;
    ASSERT_TRUE(process.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, ::GetCurrentProcessId()));
    std::vector<HMODULE> modules;
    ASSERT_TRUE(process.EnumModules(modules));
    EXPECT_NE(std::find(modules.begin(), modules.end(), kernel32), modules.end());
    EXPECT_EQ(modules.front(), ::GetModuleHandleW(nullptr));
    MODULEINFO info = {};
    ASSERT_TRUE(process.GetModuleInfo(kernel32, info));
    EXPECT_EQ(info.lpBaseOfDll, reinterpret_cast<void*>(kernel32));

    std::vector<MODULEENTRY32W> entries;
    ASSERT_TRUE(CqzProcessHandle::EnumModulesEx(::GetCurrentProcessId(), entries));
    EXPECT_NE(std::find_if(entries.begin(), entries.end(),
                           [&](const MODULEENTRY32W& entry) { return entry.hModule == kernel32; }),
              entries.end());
}

TEST(ProcessEnumeration, FailuresOfTheThinOperationsAreTraced)
{
    qztest::TraceCapture capture;
    CqzProcessHandle empty;
    EXPECT_EQ(empty.GetProcessId(), 0u);
    EXPECT_EQ(empty.LastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    std::vector<HMODULE> modules;
    EXPECT_FALSE(empty.EnumModules(modules));
    ULONGLONG creationTime = 0;
    EXPECT_FALSE(empty.GetCreationTime(creationTime));
    CSid user;
    EXPECT_FALSE(empty.GetUser(user));
    EXPECT_EQ(
        capture.Entries(),
        (TraceEntries{
            {QZT_ERROR, kClass, "ERROR: Failed to get PID (m_h=" + qzproc::PointerText(nullptr) + "). LastError=6"},
            {QZT_ERROR, kClass, "ERROR: EnumProcessModules failed. LastError=6"},
            {QZT_ERROR, kClass, "ERROR: GetProcessTimes failed. LastError=6"},
            {QZT_ERROR, kClass, "ERROR: Process handle is NULL"},
        }));

    qztest::TraceCapture missing;
    const std::string pid = std::to_string(kNoSuchPid);
    EXPECT_FALSE(CqzProcessHandle::GetUser(kNoSuchPid, user));
    EXPECT_FALSE(CqzProcessHandle::GetCreationTime(kNoSuchPid, creationTime));
    EXPECT_FALSE(CqzProcessHandle::SetProcessMandatoryLabel(kNoSuchPid));
    bool is32 = true;
    BOOL self64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &self64);
    const bool sixtyFourBitSystem = sizeof(void*) == 8 || self64;
    EXPECT_EQ(CqzProcessHandle::Is32bitOn64bitOS(kNoSuchPid, is32), !sixtyFourBitSystem);
    EXPECT_FALSE(is32);
    TraceEntries expected = {
        {QZT_ERROR, kClass, "ERROR: OpenProcess(PROCESS_QUERY_INFORMATION, " + pid + ") failed. LastError=87"},
        {QZT_ERROR, kClass, "ERROR: OpenProcess(" + pid + ") failed. LastError=87"},
        {QZT_ERROR, kClass, "ERROR: Failed to open the process (PID=" + pid + ") for ACCESS_SYSTEM_SECURITY"},
    };
    if (sixtyFourBitSystem)
        expected.push_back({QZT_ERROR, kClass, "ERROR: OpenProcess(" + pid + ") failed. LastError=87"});
    EXPECT_EQ(qzproc::OfClass(missing.Entries(), kClass), expected);
}

TEST(ProcessBitness, ArmIsAskedOfTheSystem)
{
    typedef BOOL(WINAPI * IsWow64Process2Fn)(HANDLE, USHORT*, USHORT*);
    const IsWow64Process2Fn isWow64Process2 = reinterpret_cast<IsWow64Process2Fn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "IsWow64Process2")));
    ASSERT_NE(isWow64Process2, nullptr);
    USHORT processMachine = 0, nativeMachine = 0;
    ASSERT_TRUE(isWow64Process2(::GetCurrentProcess(), &processMachine, &nativeMachine));
    qztest::TraceCapture capture;
    EXPECT_EQ(CqzProcessHandle::IsRunningOnArm64(), nativeMachine == IMAGE_FILE_MACHINE_ARM64);
    EXPECT_EQ(capture.Entries(),
              (TraceEntries{{QZT_INFO, kClass, "IsRunningOnArm64 nativeMachine = " + std::to_string(nativeMachine)}}));
    qztest::TraceCapture failure;
    EXPECT_FALSE(CqzProcessHandle::IsRunningOnArm64(reinterpret_cast<HANDLE>(0x4444)));
    ASSERT_EQ(failure.Entries().size(), 1u);
    EXPECT_EQ(failure.Entries()[0].level, QZT_ERROR);
    EXPECT_EQ(failure.Entries()[0].text.rfind("IsWow64Process2 failed  LastError=", 0), 0u)
        << failure.Entries()[0].text;
}

TEST(ProcessPackage, WineHasNoGetPackageIdAndNoProcessHasAPackage)
{
    // Wine reports Windows 7 to this suite: the queries stop at the version.
    if (!CqzOperatingSystem::IsWin8OrLater())
    {
        qztest::TraceCapture capture;
        CqzScopedHeap<BYTE> id;
        UINT32 size = 1;
        EXPECT_FALSE(CqzProcessHandle::GetPackageId(::GetCurrentProcessId(), false, id, size));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(size, 0u);
        EXPECT_TRUE(capture.Entries().empty());
    }
    // As Windows 10, in the probe.
    qztest::TempDir dir(L"qzprocpkg");
    const std::wstring out = dir / L"package.txt";
    qztest::WineVersionScope version(L"process_probe_w10.exe", L"win10");
    ASSERT_TRUE(version.Ok());
    const qztest::ProcessResult run =
        qztest::RunProcess(ProbePath(L"process_probe_w10.exe"), qztest::QuoteArg(ProbePath(L"process_probe_w10.exe")) +
                                                                    L" package " + qztest::QuoteArg(out));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    const qztest::KeyValues values = qztest::ReadKeyValues(out);
    EXPECT_EQ(values.Get("win8"), "1");
    const std::string pid = values.Get("pid");
    EXPECT_EQ(values.Get("id.ok"), "0");
    EXPECT_EQ(values.Get("id.error"), "127");
    EXPECT_EQ(values.Get("fullname.ok"), "0");
    EXPECT_EQ(values.Get("fullname.error"), "15700");
    EXPECT_EQ(values.Get("family.ok"), "0");
    EXPECT_EQ(values.Get("family.error"), "15700");
    EXPECT_EQ(values.Get("aumid.ok"), "0");
    EXPECT_EQ(values.Get("aumid.error"), "127");
    EXPECT_EQ(values.All("trace"),
              (std::vector<std::string>{
                  "QZT_DEBUG|CqzProcessHandle|ERROR: GetPackageId(" + pid + ") failed. LastError=127",
                  "QZT_DEBUG|CqzProcessHandle|ERROR: Process " + pid + " has no package identity.",
                  "QZT_DEBUG|CqzProcessHandle|ERROR: Process " + pid + " has no package identity.",
                  "QZT_DEBUG|CqzProcessHandle|ERROR: GetApplicationUserModelId(" + pid + ") failed. LastError=127",
              }));
}

} // namespace
