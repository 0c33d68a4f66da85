// CqzProcessHandle's remote memory and the readers of the remote process
// parameters, fed real and hostile structures in a suspended child; the
// environment and token replacement.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/atl/atl_access_token.h"
#include "common/ntapi/ntapi.h"
#include "common/security/security.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/process/process_test_util.h"

// Reaches the native loader's reset of resolved addresses (a friend of
// CqzNTAPI), for the one stand-in below.
class CqzNTAPITestAccess
{
public:
    static void ForgetResolvedAddresses() { CqzNTAPI::_ForgetResolvedAddresses(); }
};

using qzproc::Child;
using qzproc::OfClass;
using qzproc::PointerText;
using qzproc::ProbePath;
using qztest::TraceEntries;

namespace
{

const char* const kClass = "CqzProcessHandle";
const DWORD kReadAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
const DWORD kWriteAccess = kReadAccess | PROCESS_VM_WRITE | PROCESS_VM_OPERATION;

class RemoteTest : public ::testing::Test
{
protected:
    RemoteTest()
        : m_child(ProbePath(), qztest::QuoteArg(ProbePath()) + L" wait", CREATE_SUSPENDED, nullptr,
                  qzproc::EnvironmentBlock(L"QZ_PROBE_MARK=remote\0"))
    {
    }
    void SetUp() override
    {
        ASSERT_TRUE(m_child.Started()) << m_child.Error();
        ASSERT_TRUE(m_process.OpenProcess(kWriteAccess, m_child.Pid()));
        m_parameters = qzproc::ParametersAddress(m_child.Process());
        ASSERT_NE(m_parameters, 0u);
    }
    // Remote scratch memory the test owns.
    ULONG_PTR Scratch(SIZE_T size)
    {
        return reinterpret_cast<ULONG_PTR>(
            ::VirtualAllocEx(m_child.Process(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    bool Put(ULONG_PTR address, const void* bytes, SIZE_T size)
    {
        SIZE_T count = 0;
        return ::WriteProcessMemory(m_child.Process(), reinterpret_cast<void*>(address), bytes, size, &count) &&
               count == size;
    }

    Child m_child;
    ProcessHandleAccess m_process;
    ULONG_PTR m_parameters = 0;
};

TEST_F(RemoteTest, HostileCommandLineStringsAreRefusedWith13)
{
    const std::wstring text = L"qz remote text";
    const ULONG_PTR buffer = Scratch(0x1000);
    ASSERT_NE(buffer, 0u);
    ASSERT_TRUE(Put(buffer, text.c_str(), (text.size() + 1) * sizeof(wchar_t)));
    const ULONG_PTR field = m_parameters + qzproc::Layout::kCommandLine;
    const std::string pid = std::to_string(m_child.Pid());
    (void)pid;
    struct Row
    {
        const char* name;
        USHORT length, maximum;
        ULONG_PTR buffer;
        bool ok;
        std::wstring expected; // text, or nothing for a refusal
    } rows[] = {
        {"length above the maximum", 20, 10, buffer, false, L""},
        {"null buffer", 10, 20, 0, false, L""},
        {"null buffer and length above the maximum", 0xFFFF, 2, 0, false, L""},
        {"length 0", 0, 0, 0, true, L""},
        {"length 0 with a buffer", 0, 40, buffer, true, L""},
        {"whole text", static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2 + 2), buffer, true,
         text},
        {"odd length", 5, 6, buffer, true, text.substr(0, 2)},
        {"length past the terminator", static_cast<USHORT>(text.size() * 2 + 8), 0x100, buffer, true, text},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(qzproc::WriteUnicodeString(m_child.Process(), field, row.length, row.maximum, row.buffer));
        qztest::TraceCapture capture;
        std::wstring commandLine = L"stale";
        EXPECT_EQ(m_process.GetCommandLineW(commandLine), row.ok);
        EXPECT_EQ(commandLine, row.expected);
        if (row.ok)
        {
            EXPECT_EQ(m_process.LastError(), 0u);
            EXPECT_TRUE(capture.Entries().empty());
        }
        else
        {
            EXPECT_EQ(m_process.LastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
            EXPECT_EQ(capture.Entries(),
                      (TraceEntries{{QZT_ERROR, kClass,
                                     "ERROR: Invalid UNICODE_STRING data { " + std::to_string(row.length) + ", " +
                                         std::to_string(row.maximum) + ", " + PointerText(row.buffer) + " }"}}));
        }
    }
}

// Random strings against a model of the rule: refused when the buffer is null
// or the length above the maximum, empty for length 0, otherwise the
// characters before the first NUL within the length. The text ends at the end
// of the committed scratch region, so a reader that ran past the length would
// fail its read.
TEST_F(RemoteTest, RandomStringsFollowTheModel)
{
    const SIZE_T region = 0x20000;
    const ULONG_PTR scratch = Scratch(region);
    ASSERT_NE(scratch, 0u);
    std::mt19937 random(20261210);
    const ULONG_PTR field = scratch; // a UNICODE_STRING of our own, at the start
    for (int i = 0; i < 400; ++i)
    {
        const USHORT length = static_cast<USHORT>(random() % 3 == 0 ? random() % 64 : random() % 0x10000);
        const USHORT maximum = static_cast<USHORT>(random() % 4 == 0 ? length : random() % 0x10000);
        std::vector<BYTE> bytes(length);
        for (BYTE& b : bytes)
            b = static_cast<BYTE>(random() % 5 == 0 ? 0 : random());
        const ULONG_PTR text = scratch + region - length;
        const bool nullBuffer = random() % 8 == 0;
        if (length != 0)
        {
            ASSERT_TRUE(Put(text, bytes.data(), length));
        }
        ASSERT_TRUE(qzproc::WriteUnicodeString(m_child.Process(), field, length, maximum, nullBuffer ? 0 : text));
        std::wstring expected;
        bool ok = true;
        if (length != 0 && (nullBuffer || length > maximum))
        {
            ok = false;
        }
        else
        {
            for (size_t c = 0; c * 2 + 1 < bytes.size(); ++c)
            {
                const wchar_t ch = static_cast<wchar_t>(bytes[c * 2] | (bytes[c * 2 + 1] << 8));
                if (ch == L'\0')
                    break;
                expected.push_back(ch);
            }
        }
        std::wstring result = L"stale";
        qztest::TraceCapture capture;
        EXPECT_EQ(m_process._ReadProcessStringParameter(reinterpret_cast<void*>(field), 0, result), ok) << i;
        EXPECT_EQ(result, ok ? expected : std::wstring()) << i;
        EXPECT_EQ(m_process.LastError(), ok ? 0u : static_cast<DWORD>(ERROR_INVALID_DATA)) << i;
    }
}

TEST_F(RemoteTest, ParametersAndPebCopiesMatchTheModel)
{
    void* parameters = nullptr;
    ASSERT_TRUE(m_process._GetRemoteUserProcessParametersAddress(parameters));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(parameters), m_parameters);
    std::vector<BYTE> copy;
    ASSERT_TRUE(m_process._GetRemoteUserProcessParameters(copy));
    ASSERT_EQ(copy.size(), ProcessHandleAccess::ParametersSize);
    ULONG_PTR environment = 0;
    memcpy(&environment, copy.data() + qzproc::Layout::kEnvironment, sizeof environment);
    EXPECT_EQ(environment, qzproc::ReadPointer(m_child.Process(), m_parameters + qzproc::Layout::kEnvironment));
    EXPECT_EQ(qzproc::ReadEnvironment(m_child.Process(), environment).at(L"QZ_PROBE_MARK"), L"remote");
    void* pointerAddress = nullptr;
    ASSERT_TRUE(m_process._GetRemoteEnvrionmentPointerAddress(pointerAddress));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(pointerAddress), m_parameters + qzproc::Layout::kEnvironment);
}

// Wine copies all or nothing: across the end of a committed region into a
// reserved page (or into any mapping it keeps) it reads every byte, and into
// unmapped memory it fails with 998 and 0 bytes. A short count therefore
// comes from a stand-in for ReadProcessMemory that delivers half.
// (The stand-ins call the originals: a call by name would come back through
// the replaced import.)
BOOL(WINAPI* s_readProcessMemory)(HANDLE, LPCVOID, LPVOID, SIZE_T, SIZE_T*) = nullptr;
BOOL(WINAPI* s_writeProcessMemory)(HANDLE, LPVOID, LPCVOID, SIZE_T, SIZE_T*) = nullptr;
BOOL WINAPI HalfReadProcessMemory(HANDLE process, LPCVOID address, LPVOID buffer, SIZE_T size, SIZE_T* count)
{
    return s_readProcessMemory(process, address, buffer, size / 2, count);
}
BOOL WINAPI HalfWriteProcessMemory(HANDLE process, LPVOID address, LPCVOID buffer, SIZE_T size, SIZE_T* count)
{
    return s_writeProcessMemory(process, address, buffer, size / 2, count);
}

TEST_F(RemoteTest, ExactTransfersRefuseShortCountsWith13)
{
    const ULONG_PTR scratch = Scratch(0x1000);
    ASSERT_NE(scratch, 0u);
    BYTE buffer[64] = {};
    {
        qztest::IatHook hook("kernel32.dll", "ReadProcessMemory", reinterpret_cast<void*>(&HalfReadProcessMemory));
        ASSERT_TRUE(hook.Installed());
        s_readProcessMemory = hook.OriginalAs<decltype(s_readProcessMemory)>();
        qztest::TraceCapture capture;
        EXPECT_FALSE(m_process.ReadMemoryExact(reinterpret_cast<void*>(scratch), buffer, sizeof buffer));
        EXPECT_EQ(m_process.LastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(capture.Entries(), (TraceEntries{{QZT_ERROR, kClass, "ERROR: Read 32 bytes. Requested 64 bytes"}}));
        SIZE_T count = 0;
        EXPECT_TRUE(m_process.ReadMemory(reinterpret_cast<void*>(scratch), buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 32u);
    }
    {
        qztest::IatHook hook("kernel32.dll", "WriteProcessMemory", reinterpret_cast<void*>(&HalfWriteProcessMemory));
        ASSERT_TRUE(hook.Installed());
        s_writeProcessMemory = hook.OriginalAs<decltype(s_writeProcessMemory)>();
        qztest::TraceCapture capture;
        EXPECT_FALSE(m_process.WriteMemoryExact(reinterpret_cast<void*>(scratch), buffer, sizeof buffer));
        EXPECT_EQ(m_process.LastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(capture.Entries(),
                  (TraceEntries{{QZT_ERROR, kClass, "ERROR: Written 32 bytes. Requested 64 bytes"}}));
    }
    // And the whole transfer through the real calls.
    const char text[] = "exact round trip";
    EXPECT_TRUE(m_process.WriteMemoryExact(reinterpret_cast<void*>(scratch), text, sizeof text));
    char back[sizeof text] = {};
    EXPECT_TRUE(m_process.ReadMemoryExact(reinterpret_cast<void*>(scratch), back, sizeof back));
    EXPECT_STREQ(back, text);
}

TEST_F(RemoteTest, RealFailuresInvalidParametersAndTheEmptyObject)
{
    BYTE buffer[16] = {};
    const std::string pid = std::to_string(m_child.Pid());
    // Unmapped memory of the child: the system's own failure.
    qztest::TraceCapture capture;
    EXPECT_FALSE(m_process.ReadMemoryExact(reinterpret_cast<void*>(0x1000), buffer, sizeof buffer));
    const DWORD readError = m_process.LastError();
    EXPECT_NE(readError, 0u);
    EXPECT_FALSE(m_process.WriteMemory(reinterpret_cast<void*>(0x1000), buffer, sizeof buffer, nullptr));
    const DWORD writeError = m_process.LastError();
    EXPECT_EQ(
        capture.Entries(),
        (TraceEntries{
            {QZT_ERROR, kClass,
             "ERROR: ReadProcessMemory(16) failure. PID= " + pid + " LastError= " + std::to_string(readError)},
            {QZT_ERROR, kClass, "ERROR: WriteProcessMemory(16) failed. LastError=" + std::to_string(writeError)}}));

    struct Row
    {
        const char* name;
        void* address;
        void* local;
        SIZE_T size;
    } rows[] = {
        {"null address", nullptr, buffer, 16},
        {"null buffer", reinterpret_cast<void*>(0x10000), nullptr, 16},
        {"zero size", reinterpret_cast<void*>(0x10000), buffer, 0},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string line = "ERROR: One of the parameters is invalid. " + PointerText(row.address) + ", " +
                                 PointerText(row.local) + ", " + std::to_string(row.size);
        qztest::TraceCapture rowCapture;
        SIZE_T count = 7;
        EXPECT_FALSE(m_process.ReadMemory(row.address, row.local, row.size, &count));
        EXPECT_EQ(m_process.LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(m_process.WriteMemoryExact(row.address, row.local, row.size));
        EXPECT_EQ(m_process.LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(rowCapture.Entries(), (TraceEntries{{QZT_ERROR, kClass, line}, {QZT_ERROR, kClass, line}}));
    }

    CqzProcessHandle empty;
    qztest::TraceCapture emptyCapture;
    EXPECT_FALSE(empty.ReadMemory(buffer, buffer, 1, nullptr));
    EXPECT_EQ(empty.LastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    std::wstring text;
    EXPECT_FALSE(empty.GetCommandLineW(text));
    EXPECT_FALSE(empty.CreateNewEnvironment(CAccessToken()));
    EXPECT_EQ(empty.LastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    const TraceEntries entries = emptyCapture.Entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries.front(), (qztest::TraceEntry{QZT_ERROR, kClass, "ERROR: Process handle is NULL"}));
    EXPECT_EQ(entries.back(), (qztest::TraceEntry{QZT_ERROR, kClass, "ERROR: Process handle is NULL"}));
}

TEST_F(RemoteTest, RemoteAllocationIsCommittedReadWriteAndReleased)
{
    void* remote = nullptr;
    ASSERT_TRUE(m_process._AllocRemoteMemory(0x2345, remote));
    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_NE(::VirtualQueryEx(m_child.Process(), remote, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
    EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READWRITE));
    EXPECT_GE(info.RegionSize, 0x2345u);
    ASSERT_TRUE(m_process._FreeRemoteMemory(remote));
    ASSERT_NE(::VirtualQueryEx(m_child.Process(), remote, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));

    qztest::TraceCapture capture;
    const SIZE_T huge = static_cast<SIZE_T>(-1) / 2;
    EXPECT_FALSE(m_process._AllocRemoteMemory(huge, remote));
    const DWORD allocError = m_process.LastError();
    EXPECT_FALSE(m_process._FreeRemoteMemory(reinterpret_cast<void*>(0x1000)));
    EXPECT_EQ(
        capture.Entries(),
        (TraceEntries{
            {QZT_ERROR, kClass,
             "ERROR: VirtualAllocEx(" + std::to_string(huge) + ") failed. LastError=" + std::to_string(allocError)},
            {QZT_ERROR, kClass, "ERROR: VirtualFreeEx() failed. LastError=" + std::to_string(m_process.LastError())}}));
}

// A token of our own user for the child: query, duplicate, impersonate,
// assign.
bool OwnToken(CAccessToken& token)
{
    return token.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_ASSIGN_PRIMARY);
}

TEST_F(RemoteTest, NewEnvironmentIsBuiltForTheTokenAndReadBack)
{
    CAccessToken token;
    ASSERT_TRUE(OwnToken(token));
    CSid user;
    ASSERT_TRUE(token.GetUser(&user));
    const ULONG_PTR before = qzproc::ReadPointer(m_child.Process(), m_parameters + qzproc::Layout::kEnvironment);

    qztest::TraceCapture capture;
    ASSERT_TRUE(m_process.CreateNewEnvironment(token)) << m_process.LastError();
    EXPECT_TRUE(OfClass(capture.Entries(), kClass).empty());

    const ULONG_PTR after = qzproc::ReadPointer(m_child.Process(), m_parameters + qzproc::Layout::kEnvironment);
    EXPECT_NE(after, before);
    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_NE(::VirtualQueryEx(m_child.Process(), reinterpret_cast<void*>(after), &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
    const std::map<std::wstring, std::wstring> variables = qzproc::ReadEnvironment(m_child.Process(), after);
    ASSERT_TRUE(variables.count(L"USERNAME"));
    ASSERT_TRUE(variables.count(L"USERDOMAIN"));
    EXPECT_EQ(variables.at(L"USERNAME"), user.AccountName());
    EXPECT_EQ(variables.at(L"USERDOMAIN"), user.Domain());
    // Built for the token alone: nothing of the child's old block, nor ours.
    EXPECT_EQ(variables.count(L"QZ_PROBE_MARK"), 0u);
}

TEST_F(RemoteTest, ReplacingThePrimaryTokenFailsUnderWineWithTheStatusLine)
{
    CAccessToken process;
    ASSERT_TRUE(OwnToken(process));
    qztest::ScopedHandle primary = qztest::DuplicatePrimary(process.GetHandle());
    ASSERT_TRUE(primary);
    CAccessToken token;
    token.Attach(primary.Release());
    for (bool newEnvironment : {false, true})
    {
        SCOPED_TRACE(newEnvironment);
        qztest::TraceCapture capture;
        EXPECT_FALSE(CqzProcessHandle::ReplacePrimaryToken(m_child.Pid(), token, newEnvironment));
        // STATUS_NOT_IMPLEMENTED, 0xC0000002.
        EXPECT_EQ(OfClass(capture.Entries(), kClass),
                  (TraceEntries{
                      {QZT_ERROR, kClass, "ERROR: CqzNTAPI::NtSetInformationProcess() failed. status=-1073741822"}}));
    }
    qztest::TraceCapture capture;
    EXPECT_FALSE(CqzProcessHandle::ReplacePrimaryToken(0x7FFFFFF0, token, true));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(capture.Entries(),
              (TraceEntries{
                  {QZT_ERROR, kClass, "ERROR: OpenProcess(" + std::to_string(0x7FFFFFF0) + ") failed. LastError=87"}}));
}

// Wine cannot replace a primary token, so the rule "true once the token is
// replaced, even when the environment cannot be" needs a stand-in for the
// native call that succeeds (handed out by a replaced GetProcAddress), and a
// CreateEnvironmentBlock that fails.
NTSTATUS NTAPI SucceedingSetInformationProcess(HANDLE, PROCESSINFOCLASS, PVOID, ULONG)
{
    return 0;
}
FARPROC(WINAPI* s_getProcAddress)(HMODULE, LPCSTR) = nullptr;
FARPROC WINAPI StandInGetProcAddress(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && strcmp(name, "NtSetInformationProcess") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SucceedingSetInformationProcess));
    return s_getProcAddress(module, name);
}
BOOL WINAPI FailingCreateEnvironmentBlock(LPVOID*, HANDLE, BOOL)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(RemoteTest, TokenReplacedButEnvironmentNotIsStillASuccess)
{
    CAccessToken token;
    ASSERT_TRUE(OwnToken(token));
    const ULONG_PTR before = qzproc::ReadPointer(m_child.Process(), m_parameters + qzproc::Layout::kEnvironment);
    bool ok = false;
    TraceEntries entries;
    {
        qztest::IatHook getProcAddress("kernel32.dll", "GetProcAddress",
                                       reinterpret_cast<void*>(&StandInGetProcAddress));
        ASSERT_TRUE(getProcAddress.Installed());
        s_getProcAddress = getProcAddress.OriginalAs<FARPROC(WINAPI*)(HMODULE, LPCSTR)>();
        qztest::IatHook environment("userenv.dll", "CreateEnvironmentBlock",
                                    reinterpret_cast<void*>(&FailingCreateEnvironmentBlock));
        ASSERT_TRUE(environment.Installed());
        CqzNTAPITestAccess::ForgetResolvedAddresses();
        qztest::TraceCapture capture;
        ok = CqzProcessHandle::ReplacePrimaryToken(m_child.Pid(), token, true);
        entries = capture.Entries();
    }
    CqzNTAPITestAccess::ForgetResolvedAddresses();
    EXPECT_TRUE(ok);
    EXPECT_EQ(OfClass(entries, kClass),
              (TraceEntries{{QZT_ERROR, kClass, "ERROR: CreateEnvironmentBlock failed. LastError=5"},
                            {QZT_ERROR, kClass, "ERROR: CreateNewEnvironment failed"}}));
    EXPECT_EQ(qzproc::ReadPointer(m_child.Process(), m_parameters + qzproc::Layout::kEnvironment), before);
}

#ifdef _WIN64
// The 64-bit build reads a 32-bit process through the native structures the
// system reports for it.
TEST(RemoteBitness, SixtyFourBitBuildReadsAThirtyTwoBitChild)
{
    const std::wstring cmd = L"C:\\windows\\syswow64\\cmd.exe";
    Child child(cmd, L"cmd.exe /c rem qz 32-bit child", CREATE_SUSPENDED, L"C:\\windows");
    ASSERT_TRUE(child.Started()) << child.Error();
    BOOL wow64 = FALSE;
    ASSERT_TRUE(::IsWow64Process(child.Process(), &wow64));
    ASSERT_TRUE(wow64);
    std::wstring commandLine, directory;
    EXPECT_TRUE(CqzProcessHandle::GetCommandLineW(child.Pid(), commandLine));
    EXPECT_EQ(commandLine, L"cmd.exe /c rem qz 32-bit child");
    EXPECT_TRUE(CqzProcessHandle::GetCurrentDirectoryW(child.Pid(), directory));
    EXPECT_EQ(::CompareStringOrdinal(directory.c_str(), 10, L"C:\\windows", 10, TRUE), CSTR_EQUAL)
        << qztest::ToUtf8(directory);
}
#else
// The 32-bit build cannot reach a 64-bit process's structures: it says so.
TEST(RemoteBitness, ThirtyTwoBitBuildRefusesASixtyFourBitChild)
{
    BOOL self = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &self);
    if (!self)
        GTEST_SKIP() << "no 64-bit processes on a 32-bit system";
    Child child(L"C:\\windows\\sysnative\\cmd.exe", L"cmd.exe /c rem qz 64-bit child", CREATE_SUSPENDED);
    ASSERT_TRUE(child.Started()) << child.Error();
    CqzProcessHandle process;
    ASSERT_TRUE(process.OpenProcess(kReadAccess, child.Pid()));
    qztest::TraceCapture capture;
    std::wstring commandLine = L"stale";
    EXPECT_FALSE(process.GetCommandLineW(commandLine));
    EXPECT_EQ(process.LastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(commandLine.empty());
    const std::string pid = std::to_string(child.Pid());
    EXPECT_EQ(capture.Entries(),
              (TraceEntries{
                  {QZT_ERROR, kClass,
                   "ERROR: The process (PID=" + pid + ") is a 64-bit process; a 32-bit process cannot read its PEB"},
                  {QZT_ERROR, kClass, "ERROR: _GetBasicInformation() failed. LastError=50"},
                  {QZT_ERROR, kClass, "ERROR: _GetRemotePebAddress() failed. LastError=50"},
                  {QZT_ERROR, kClass,
                   "ERROR: _GetRemoteUserProcessParametersAddress() failure. PID= " + pid + " LastError=50"},
              }));
}
#endif

} // namespace
