// CqzCustCmdClient against the agent service stand-in running as a real
// service: records arrive whole under the section name the privilege
// decides, the one fall-back on ERROR_ACCESS_DENIED, the release order, the
// mutex, and every failure with its trace line and error text.
#include "common/cust_cmd/cust_cmd.h"

#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/channel/channel_test_util.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Reaches the client's privilege steps.
class CqzCustCmdClientPeer
{
public:
    static bool Check() { return CqzCustCmdClient::_CheckCreateGlobalPrivilege(); }
    static bool Enable() { return CqzCustCmdClient::_EnableCreateGlobalPrivilege(); }
};

namespace
{

using qzchan::Bytes;
using qzchan::Hex;
using qztest::AgentLogEntry;

const char kGlobalSection[] = "Global\\QzCustCmdFileMapName";
const char kLocalSection[] = "QzCustCmdFileMapName";
const wchar_t kCallerText[] = L"caller's text";

Bytes Pattern(DWORD size, DWORD seed)
{
    Bytes bytes(size);
    for (DWORD i = 0; i < size; ++i)
        bytes[i] = static_cast<BYTE>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return bytes;
}

// A section or other object held under a channel name with a DACL that
// admits only the anonymous logon: neither the sender nor LocalSystem.
class Blocker
{
public:
    // kind: 's' section, 'm' mutex.
    Blocker(const wchar_t* name, char kind)
    {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;AN)", SDDL_REVISION_1, &sd, nullptr))
            return;
        SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
        HANDLE h = kind == 's' ? ::CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 0x2000, name)
                               : ::CreateMutexW(&sa, FALSE, name);
        m_error = ::GetLastError();
        m_handle.Reset(h);
        ::LocalFree(sd);
    }
    bool Ready() const { return m_handle.IsValid() && m_error != ERROR_ALREADY_EXISTS; }
    DWORD Error() const { return m_error; }

private:
    qztest::ScopedHandle m_handle;
    DWORD m_error = 0;
};

// The error the sender's own CreateFileMapping of that name meets.
DWORD CreateError(const wchar_t* name)
{
    HANDLE h = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x2000, name);
    const DWORD error = ::GetLastError();
    if (h)
    {
        ::CloseHandle(h);
        return ERROR_SUCCESS;
    }
    return error;
}

// The client's own lines and those of the section wrapper it uses.
qztest::TraceEntry ClientError(const std::string& text)
{
    return {QZT_ERROR, "CqzCustCmdClient", text};
}

qztest::TraceEntry CreateFailedLine(const std::string& name, DWORD error)
{
    return {QZT_ERROR, "CqzSharedMemory",
            "ERROR: CreateFileMapping(" + name + ", 8192) failed. LastError=" + std::to_string(error)};
}

// Holds the channel mutex on a thread of its own until Release().
class MutexHolder
{
public:
    MutexHolder()
    {
        m_thread = std::thread(
            [this]
            {
                qztest::ScopedHandle mutex(::OpenMutexW(QZ_CIC_MUTEX_ACCESS, FALSE, QZ_CIC_MUTEX_NAME));
                if (mutex.IsValid() && ::WaitForSingleObject(mutex.Get(), 5000) == WAIT_OBJECT_0)
                {
                    m_holding = true;
                    ::SetEvent(m_taken.Get());
                    ::WaitForSingleObject(m_release.Get(), INFINITE);
                    ::ReleaseMutex(mutex.Get());
                }
                else
                {
                    ::SetEvent(m_taken.Get());
                }
            });
        ::WaitForSingleObject(m_taken.Get(), INFINITE);
    }
    ~MutexHolder() { Release(); }
    bool Holding() const { return m_holding; }
    void Release()
    {
        ::SetEvent(m_release.Get());
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    qztest::ScopedHandle m_taken{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    qztest::ScopedHandle m_release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> m_holding{false};
    std::thread m_thread;
};

// Whether another thread could take the channel mutex at once.
bool MutexFreeForOthers()
{
    bool free = false;
    std::thread probe(
        [&free]
        {
            qztest::ScopedHandle mutex(::OpenMutexW(QZ_CIC_MUTEX_ACCESS, FALSE, QZ_CIC_MUTEX_NAME));
            const DWORD wait = mutex.IsValid() ? ::WaitForSingleObject(mutex.Get(), 0) : WAIT_FAILED;
            free = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
            if (free)
                ::ReleaseMutex(mutex.Get());
        });
    probe.join();
    return free;
}

class ChannelClient : public qzchan::RunningAgentTest
{
};

// ---------------------------------------------------------------------------

struct SendRow
{
    const char* name;
    DWORD commandId;
    Bytes payload;
    bool nullPointer; // pass null (only with an empty payload)
};

TEST_F(ChannelClient, RecordsArriveWholeUnderTheGlobalName)
{
    const DWORD pid = ::GetCurrentProcessId();
    const SendRow rows[] = {
        {"length 0 with a null pointer", 0x1234, {}, true},
        {"one byte", 7, {0xAB}, false},
        {"exit notification of this process", QZ_CIC_NOTIFY_QZELEVATE_EXIT, qzchan::ExitNotificationPayload(pid),
         false},
        {"256 bytes", 0x55, Pattern(256, 1), false},
        {"8175 bytes", 0x56, Pattern(8175, 2), false},
        {"8176 bytes, the largest", 0xFFFFFFFF, Pattern(8176, 3), false},
    };
    for (const SendRow& row : rows)
    {
        MarkLog();
        qztest::TraceCapture capture;
        std::wstring errorText = kCallerText;
        const void* data = row.nullPointer ? nullptr : row.payload.data();
        ::SetLastError(0xDEADBEEF);
        EXPECT_TRUE(CqzCustCmdClient::SendData(row.commandId, static_cast<DWORD>(row.payload.size()), data, errorText))
            << row.name;
        EXPECT_EQ(std::wstring(kCallerText), errorText) << row.name;
        EXPECT_EQ(std::vector<std::string>{}, capture.Lines()) << row.name;

        const std::vector<AgentLogEntry> controls = NewControls();
        ASSERT_EQ(1u, controls.size()) << row.name;
        const AgentLogEntry& e = controls[0];
        EXPECT_EQ("accepted", e.Get("status")) << row.name << ": " << e.raw;
        EXPECT_EQ(kGlobalSection, e.Get("section")) << row.name;
        EXPECT_TRUE(qzchan::IsLocalSystemOnly(e.Get("dacl"))) << row.name << ": " << e.Get("dacl");
        EXPECT_EQ("held", e.Get("mutex")) << row.name << ": the sender holds the mutex across the control";
        EXPECT_EQ(8192, e.Number("region")) << row.name;
        EXPECT_EQ("0x1D7C", e.Get("magic")) << row.name;
        EXPECT_EQ(static_cast<long long>(row.commandId), e.Number("cmd")) << row.name;
        EXPECT_EQ(static_cast<long long>(row.payload.size()), e.Number("len")) << row.name;
        EXPECT_EQ(static_cast<long long>(qzagent::Crc32(row.payload.data(), row.payload.size())), e.Number("crc"))
            << row.name;
        EXPECT_EQ("zero", e.Get("tail")) << row.name;
        if (row.payload.size() <= 256)
        {
            EXPECT_EQ(Hex(row.payload), e.Get("hex")) << row.name;
        }
        if (row.commandId == QZ_CIC_NOTIFY_QZELEVATE_EXIT)
        {
            EXPECT_EQ(static_cast<long long>(pid), e.Number("pid")) << row.name;
        }
    }
}

TEST_F(ChannelClient, TwoArgumentFormSends)
{
    qztest::TraceCapture capture;
    const Bytes payload = {1, 2, 3, 4};
    EXPECT_TRUE(CqzCustCmdClient::SendData(99, 4, payload.data()));
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("01020304", controls[0].Get("hex"));
}

TEST_F(ChannelClient, RefusedArgumentsOpenNothing)
{
    struct Row
    {
        const char* name;
        DWORD length;
        bool nullPointer;
        const char* line;
    };
    const Row rows[] = {
        {"length 8177", 8177, false, "ERROR: Invalid data len 8177"},
        {"length 0xFFFFFFFF", 0xFFFFFFFF, false, "ERROR: Invalid data len 4294967295"},
        {"null pointer with length 1", 1, true, "ERROR: Invalid pointer"},
        {"null pointer with length 8177", 8177, true, "ERROR: Invalid pointer"},
    };
    const Bytes big(8177, 0x5A);
    // A send that opened the mutex would wait for this holder.
    MutexHolder holder;
    ASSERT_TRUE(holder.Holding());
    for (const Row& row : rows)
    {
        qztest::TraceCapture capture;
        std::wstring errorText = kCallerText;
        ::SetLastError(0xDEADBEEF);
        EXPECT_FALSE(CqzCustCmdClient::SendData(5, row.length, row.nullPointer ? nullptr : big.data(), errorText))
            << row.name;
        EXPECT_EQ(0xDEADBEEFu, ::GetLastError()) << row.name;
        EXPECT_EQ(std::wstring(kCallerText), errorText) << row.name;
        EXPECT_EQ(qztest::TraceEntries{ClientError(row.line)}, capture.Entries()) << row.name;
    }
    holder.Release();
    EXPECT_EQ(0u, NewControls().size());
}

// ---------------------------------------------------------------------------
// Section name by privilege

TEST_F(ChannelClient, SectionNameFollowsTheCreateGlobalPrivilege)
{
    struct Row
    {
        const char* name;
        qzchan::PrivilegeState state;
        const char* section;
        bool enabledAfter;
    };
    const Row rows[] = {
        {"privilege removed", qzchan::PrivilegeState::Removed, kLocalSection, false},
        {"privilege disabled, can be enabled", qzchan::PrivilegeState::Disabled, kGlobalSection, true},
        {"privilege enabled", qzchan::PrivilegeState::Enabled, kGlobalSection, true},
    };
    for (const Row& row : rows)
    {
        MarkLog();
        qztest::ScopedHandle token = qzchan::ImpersonationTokenWith(L"SeCreateGlobalPrivilege", row.state);
        ASSERT_TRUE(token.IsValid()) << row.name << ": error " << ::GetLastError();
        {
            qztest::TraceCapture capture;
            qzchan::ThreadImpersonation impersonation(token.Get());
            ASSERT_TRUE(impersonation.Active()) << row.name;
            const Bytes payload = {0x11, 0x22};
            EXPECT_TRUE(CqzCustCmdClient::SendData(0x42, 2, payload.data())) << row.name;
            EXPECT_EQ(std::vector<std::string>{}, capture.Lines()) << row.name;
        }
        bool present = false;
        bool enabled = false;
        ASSERT_TRUE(qzchan::TokenPrivilege(token.Get(), L"SeCreateGlobalPrivilege", present, enabled)) << row.name;
        EXPECT_EQ(row.enabledAfter, enabled) << row.name << ": the privilege stays as the send left it";

        const std::vector<AgentLogEntry> controls = NewControls();
        ASSERT_EQ(1u, controls.size()) << row.name;
        EXPECT_EQ(row.section, controls[0].Get("section")) << row.name << ": " << controls[0].raw;
        EXPECT_EQ("accepted", controls[0].Get("status")) << row.name;
        EXPECT_EQ("1122", controls[0].Get("hex")) << row.name;
        EXPECT_TRUE(qzchan::IsLocalSystemOnly(controls[0].Get("dacl"))) << row.name;
    }
}

TEST_F(ChannelClient, PrivilegeStepsAnswerForTheEffectiveToken)
{
    struct Row
    {
        const char* name;
        qzchan::PrivilegeState state;
        bool check;
        bool enable;
    };
    const Row rows[] = {
        {"removed", qzchan::PrivilegeState::Removed, false, false},
        {"disabled", qzchan::PrivilegeState::Disabled, false, true},
        {"enabled", qzchan::PrivilegeState::Enabled, true, true},
    };
    for (const Row& row : rows)
    {
        qztest::ScopedHandle token = qzchan::ImpersonationTokenWith(L"SeCreateGlobalPrivilege", row.state);
        ASSERT_TRUE(token.IsValid()) << row.name;
        qztest::TraceCapture capture;
        qzchan::ThreadImpersonation impersonation(token.Get());
        ASSERT_TRUE(impersonation.Active()) << row.name;
        EXPECT_EQ(row.check, CqzCustCmdClientPeer::Check()) << row.name;
        EXPECT_EQ(row.enable, CqzCustCmdClientPeer::Enable()) << row.name;
        // Once enabled, the check agrees.
        EXPECT_EQ(row.enable, CqzCustCmdClientPeer::Check()) << row.name;
        EXPECT_EQ(std::vector<std::string>{}, capture.Lines()) << row.name;
    }
}

TEST_F(ChannelClient, ProcessTokenIsCheckedWithoutImpersonating)
{
    // Windows' PrivilegeCheck takes impersonation tokens only; the process
    // token is then read directly, without an error line.
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw));
    qztest::ScopedHandle processToken(raw);
    bool present = false;
    bool enabled = false;
    ASSERT_TRUE(qzchan::TokenPrivilege(processToken.Get(), L"SeCreateGlobalPrivilege", present, enabled));
    if (!present || !enabled)
        GTEST_SKIP() << "the process token does not hold SeCreateGlobalPrivilege enabled";
    qztest::TraceCapture capture;
    EXPECT_TRUE(CqzCustCmdClientPeer::Check());
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
}

TEST_F(ChannelClient, UnopenableThreadTokenFallsBackToTheLocalName)
{
    // The thread impersonates a token whose own DACL refuses this account:
    // the effective token cannot be opened, for the check nor for enabling.
    qztest::ScopedHandle token =
        qzchan::ImpersonationTokenWith(L"SeCreateGlobalPrivilege", qzchan::PrivilegeState::Enabled, L"D:(A;;GA;;;AN)");
    ASSERT_TRUE(token.IsValid()) << ::GetLastError();
    qztest::TraceEntries lines;
    bool sent = false;
    {
        qzchan::ThreadImpersonation impersonation(token.Get());
        ASSERT_TRUE(impersonation.Active());
        HANDLE probe = nullptr;
        const bool opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &probe) != FALSE;
        const DWORD openError = ::GetLastError();
        if (probe)
            ::CloseHandle(probe);
        if (opened)
            GTEST_SKIP() << "the token's DACL does not keep its own account out (Wine does not check it)";
        qztest::TraceCapture capture;
        const Bytes payload = {0x33};
        sent = CqzCustCmdClient::SendData(0x43, 1, payload.data());
        lines = capture.Entries();
        EXPECT_EQ(qztest::TraceEntries{ClientError("ERROR: GetEffectiveToken(TOKEN_QUERY) failed. LastError=" +
                                                   std::to_string(openError))},
                  lines);
    }
    EXPECT_TRUE(sent);
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ(kLocalSection, controls[0].Get("section"));
}

// ---------------------------------------------------------------------------
// Fall-back to the local name

TEST_F(ChannelClient, DeniedGlobalNameFallsBackOnceToTheLocalName)
{
    Blocker blocker(L"Global\\QzCustCmdFileMapName", 's');
    ASSERT_TRUE(blocker.Ready()) << blocker.Error();
    if (CreateError(L"Global\\QzCustCmdFileMapName") != ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "this system does not deny the blocked section to its creator's account";

    qztest::TraceCapture capture;
    std::wstring errorText = kCallerText;
    const Bytes payload = {0xFA, 0x11};
    EXPECT_TRUE(CqzCustCmdClient::SendData(0x44, 2, payload.data(), errorText));
    EXPECT_EQ(std::wstring(kCallerText), errorText);
    // One failed Create under the global name, one successful one under the
    // local name, nothing else.
    EXPECT_EQ(qztest::TraceEntries{CreateFailedLine(kGlobalSection, ERROR_ACCESS_DENIED)}, capture.Entries());

    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ(kLocalSection, controls[0].Get("section")) << controls[0].raw;
    EXPECT_EQ(5, controls[0].Number("global_error"));
    EXPECT_EQ("FA11", controls[0].Get("hex"));
    EXPECT_TRUE(qzchan::IsLocalSystemOnly(controls[0].Get("dacl")));
}

TEST_F(ChannelClient, BothNamesDeniedFailsAfterExactlyOneRetry)
{
    Blocker global(L"Global\\QzCustCmdFileMapName", 's');
    Blocker local(L"QzCustCmdFileMapName", 's');
    ASSERT_TRUE(global.Ready() && local.Ready());
    if (CreateError(L"Global\\QzCustCmdFileMapName") != ERROR_ACCESS_DENIED ||
        CreateError(L"QzCustCmdFileMapName") != ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "this system does not deny the blocked sections to their creator's account";

    qztest::TraceCapture capture;
    std::wstring errorText = kCallerText;
    const Bytes payload = {1};
    EXPECT_FALSE(CqzCustCmdClient::SendData(0x45, 1, payload.data(), errorText));
    EXPECT_EQ(std::wstring(kCallerText), errorText);
    EXPECT_EQ((qztest::TraceEntries{CreateFailedLine(kGlobalSection, 5), CreateFailedLine(kLocalSection, 5),
                                    ClientError("ERROR: sharedMemory.Create() failed. LastError=5")}),
              capture.Entries());
    EXPECT_EQ(0u, NewControls().size());
    EXPECT_TRUE(MutexFreeForOthers());
}

TEST_F(ChannelClient, OtherErrorOnTheGlobalNameIsNotRetried)
{
    // A mutex under the section's name: the create fails, but not with
    // ERROR_ACCESS_DENIED.
    Blocker blocker(L"Global\\QzCustCmdFileMapName", 'm');
    ASSERT_TRUE(blocker.Ready()) << blocker.Error();
    const DWORD error = CreateError(L"Global\\QzCustCmdFileMapName");
    ASSERT_NE(static_cast<DWORD>(ERROR_SUCCESS), error);
    ASSERT_NE(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);

    qztest::TraceCapture capture;
    const Bytes payload = {1};
    EXPECT_FALSE(CqzCustCmdClient::SendData(0x46, 1, payload.data()));
    EXPECT_EQ(
        (qztest::TraceEntries{CreateFailedLine(kGlobalSection, error),
                              ClientError("ERROR: sharedMemory.Create() failed. LastError=" + std::to_string(error))}),
        capture.Entries());
    EXPECT_EQ(0u, NewControls().size());
    EXPECT_TRUE(MutexFreeForOthers());
}

TEST_F(ChannelClient, DeniedLocalNameIsNotRetried)
{
    Blocker local(L"QzCustCmdFileMapName", 's');
    ASSERT_TRUE(local.Ready());
    if (CreateError(L"QzCustCmdFileMapName") != ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "this system does not deny the blocked section to its creator's account";
    qztest::ScopedHandle token =
        qzchan::ImpersonationTokenWith(L"SeCreateGlobalPrivilege", qzchan::PrivilegeState::Removed);
    ASSERT_TRUE(token.IsValid());

    qztest::TraceEntries lines;
    bool sent = true;
    {
        qztest::TraceCapture capture;
        qzchan::ThreadImpersonation impersonation(token.Get());
        ASSERT_TRUE(impersonation.Active());
        const Bytes payload = {1};
        sent = CqzCustCmdClient::SendData(0x47, 1, payload.data());
        lines = capture.Entries();
    }
    EXPECT_FALSE(sent);
    EXPECT_EQ((qztest::TraceEntries{CreateFailedLine(kLocalSection, 5),
                                    ClientError("ERROR: sharedMemory.Create() failed. LastError=5")}),
              lines);
    EXPECT_EQ(0u, NewControls().size());
}

// ---------------------------------------------------------------------------
// Release and the mutex

TEST_F(ChannelClient, SectionIsGoneBeforeTheMutexIsReleased)
{
    // The stand-in takes the mutex the moment the sender lets go of it and
    // looks for the section at once.
    EXPECT_TRUE(CqzCustCmdClient::SendData(qzagent::kCmdWatchRelease, 0, nullptr));
    AgentLogEntry after;
    ASSERT_TRUE(WaitForEntry("after_release", after));
    EXPECT_EQ(0, after.Number("wait")) << after.raw;
    EXPECT_EQ("0", after.Get("section_exists")) << after.raw;
    EXPECT_EQ(static_cast<long long>(ERROR_FILE_NOT_FOUND), after.Number("open_error")) << after.raw;
    EXPECT_EQ(kGlobalSection, after.Get("section"));

    // Nothing of the send is left behind.
    EXPECT_TRUE(MutexFreeForOthers());
    HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\QzCustCmdFileMapName");
    EXPECT_EQ(nullptr, section);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    if (section)
        ::CloseHandle(section);
}

TEST_F(ChannelClient, SendWaitsForTheMutexWithoutTimeOut)
{
    MutexHolder holder;
    ASSERT_TRUE(holder.Holding());
    std::atomic<bool> done{false};
    bool sent = false;
    std::thread sender(
        [&]
        {
            const Bytes payload = {0x77};
            sent = CqzCustCmdClient::SendData(0x48, 1, payload.data());
            done = true;
        });
    ::Sleep(500);
    EXPECT_FALSE(done.load()) << "the send must wait for the holder";
    EXPECT_EQ(0u, NewControls().size());
    holder.Release();
    sender.join();
    EXPECT_TRUE(sent);
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("77", controls[0].Get("hex"));
}

TEST_F(ChannelClient, AbandonedMutexCountsAsTaken)
{
    std::thread abandoner(
        []
        {
            HANDLE mutex = ::OpenMutexW(QZ_CIC_MUTEX_ACCESS, FALSE, QZ_CIC_MUTEX_NAME);
            if (mutex)
                ::WaitForSingleObject(mutex, 5000);
            // The thread ends owning it.
            if (mutex)
                ::CloseHandle(mutex);
        });
    abandoner.join();
    qztest::TraceCapture capture;
    const Bytes payload = {0x99};
    EXPECT_TRUE(CqzCustCmdClient::SendData(0x49, 1, payload.data()));
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
    ASSERT_EQ(1u, NewControls().size());
    EXPECT_TRUE(MutexFreeForOthers());
}

TEST_F(ChannelClient, MutexLockHoldsAndReleasesOnce)
{
    CqzCustCmdMutex mutex;
    ASSERT_TRUE(mutex.Open());
    ASSERT_NE(nullptr, mutex.GetHandle());
    {
        CqzCustCmdMutexLock lock(mutex);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_FALSE(MutexFreeForOthers());
        lock.Unlock();
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_TRUE(MutexFreeForOthers());
        lock.Lock();
        EXPECT_TRUE(lock.IsLocked());
        // A second Lock while held must not own it twice: one Unlock frees it.
        lock.Lock();
        lock.Unlock();
        EXPECT_TRUE(MutexFreeForOthers());
        lock.Lock();
        EXPECT_FALSE(MutexFreeForOthers());
    }
    // Destruction released it.
    EXPECT_TRUE(MutexFreeForOthers());

    CqzCustCmdMutex unopened;
    CqzCustCmdMutexLock nothing(unopened);
    EXPECT_FALSE(nothing.IsLocked());
}

// ---------------------------------------------------------------------------
// Without a running agent

class ChannelClientWithoutAgent : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(qztest::RemoveAgentService()); }
};

TEST_F(ChannelClientWithoutAgent, ServiceNotInstalled)
{
    qztest::TraceCapture capture;
    std::wstring errorText = kCallerText;
    const Bytes payload = {1};
    EXPECT_FALSE(CqzCustCmdClient::SendData(10, 1, payload.data(), errorText));
    EXPECT_EQ(qztest::TraceEntries{ClientError("ERROR: Service qz_agent is not installed.")}, capture.Entries());
    EXPECT_EQ(std::wstring(L"Dunmoral Agent service is not installed"), errorText);
}

TEST_F(ChannelClientWithoutAgent, InstalledButStoppedHasNoMutex)
{
    qztest::AgentInstall install;
    qztest::AgentService service(install);
    ASSERT_TRUE(service.Installed()) << service.FailedStep() << " " << service.Error();
    qztest::TraceCapture capture;
    std::wstring errorText = kCallerText;
    const Bytes payload = {1};
    EXPECT_FALSE(CqzCustCmdClient::SendData(10, 1, payload.data(), errorText));
    EXPECT_EQ(qztest::TraceEntries{ClientError("ERROR: Failed to open mutex. LastError=2")}, capture.Entries());
    EXPECT_EQ(std::wstring(kCallerText), errorText);
}

TEST_F(ChannelClientWithoutAgent, ControlRefusedWhenTheServiceIsNotRunning)
{
    qztest::AgentInstall install;
    qztest::AgentService service(install);
    ASSERT_TRUE(service.Installed());
    // Someone else owns a mutex of the channel's name; the service is stopped.
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, QZ_CIC_MUTEX_NAME));
    ASSERT_TRUE(mutex.IsValid());
    qztest::TraceCapture capture;
    std::wstring errorText = kCallerText;
    const Bytes payload = {1};
    EXPECT_FALSE(CqzCustCmdClient::SendData(10, 1, payload.data(), errorText));
    EXPECT_EQ(qztest::TraceEntries{ClientError("ERROR: ControlService failed. LastError=1062")}, capture.Entries());
    EXPECT_EQ(std::wstring(kCallerText), errorText);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 0)) << "the send released the mutex";
    ::ReleaseMutex(mutex.Get());
}

TEST_F(ChannelClientWithoutAgent, ServiceThatDeniesControlGivesTheSystemText)
{
    qztest::AgentInstall install;
    qztest::AgentService service(install);
    ASSERT_TRUE(service.Installed());
    {
        SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, manager);
        SC_HANDLE handle = ::OpenServiceW(manager, L"qz_agent", WRITE_DAC | READ_CONTROL);
        PSECURITY_DESCRIPTOR sd = nullptr;
        const bool set = handle &&
                         ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;CCLCSWRPWPDTLOCRSDRCWDWO;;;SY)",
                                                                                SDDL_REVISION_1, &sd, nullptr) &&
                         ::SetServiceObjectSecurity(handle, DACL_SECURITY_INFORMATION, sd);
        if (sd)
            ::LocalFree(sd);
        if (handle)
            ::CloseServiceHandle(handle);
        ::CloseServiceHandle(manager);
        ASSERT_TRUE(set);
    }
    {
        SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE handle = manager ? ::OpenServiceW(manager, L"qz_agent", SERVICE_USER_DEFINED_CONTROL) : nullptr;
        if (handle)
            ::CloseServiceHandle(handle);
        if (manager)
            ::CloseServiceHandle(manager);
        if (handle)
            GTEST_SKIP() << "the service manager grants SERVICE_USER_DEFINED_CONTROL despite the service's DACL "
                            "(Wine does not check it)";
    }
    qztest::TraceCapture capture;
    std::wstring errorText = kCallerText;
    const Bytes payload = {1};
    EXPECT_FALSE(CqzCustCmdClient::SendData(10, 1, payload.data(), errorText));
    EXPECT_EQ(qztest::TraceEntries{ClientError("ERROR: Cannot open service. LastError=5")}, capture.Entries());
    EXPECT_EQ(L"Unable to open 'Dunmoral Agent' service\nError: " + qzchan::SystemText(5), errorText);
}

} // namespace
