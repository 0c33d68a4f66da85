// Helpers of the channel suites: the agent service stand-in installed and
// running for a test suite, tokens with SeCreateGlobalPrivilege removed or
// disabled for the calling thread, DACL texts and payload bytes.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_service_control.h"

namespace qzchan
{

using Bytes = std::vector<BYTE>;

// Installs and starts the stand-in once per test suite; each test sees the
// log entries written since it began.
class RunningAgentTest : public ::testing::Test
{
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    // SetUpTestSuite with the stand-in taken from another build's binary
    // directory.
    static void StartAgentFrom(const std::wstring& fromDir, const std::vector<std::wstring>& files);

protected:
    void SetUp() override;

    // Starts a new stretch of the log: NewEntries() reports what follows.
    void MarkLog();

    static qztest::AgentService& Service() { return *s_service; }
    static const qztest::AgentInstall& Install() { return *s_install; }
    // Log entries (all, or control 130 only) written since SetUp.
    std::vector<qztest::AgentLogEntry> NewEntries() const;
    std::vector<qztest::AgentLogEntry> NewControls() const;
    // Waits up to timeoutMs for an entry of that event since SetUp.
    bool WaitForEntry(const std::string& event, qztest::AgentLogEntry& entry, DWORD timeoutMs = 10000) const;
    // Sends a result block of a client that does not wait and checks that
    // the agent answered it (result 5) without touching the sender's memory.
    void ExpectNoWaitClientLeftAlone() const;

private:
    static std::unique_ptr<qztest::AgentInstall> s_install;
    static std::unique_ptr<qztest::AgentService> s_service;
    static std::string s_setupError;
    size_t m_logStart = 0;
};

// The calling thread impersonates a token while the object lives.
using qztest::ThreadImpersonation;

enum class PrivilegeState
{
    Removed,
    Disabled,
    Enabled,
};

// An impersonation token made from the process token with one privilege
// removed, disabled or enabled, and optionally a DACL of its own (SDDL).
// Empty on failure.
qztest::ScopedHandle ImpersonationTokenWith(const wchar_t* privilege, PrivilegeState state,
                                            const wchar_t* tokenSddl = nullptr);
// Whether the token lists the privilege, and whether it is enabled.
bool TokenPrivilege(HANDLE token, const wchar_t* privilege, bool& present, bool& enabled);

// SDDL of a kernel object's DACL ("D:...") through its handle (READ_CONTROL).
std::string DaclSddl(HANDLE object);
// A DACL that admits LocalSystem alone with every right: Wine keeps
// GENERIC_ALL as given, Windows stores it mapped to the object's own rights.
bool IsLocalSystemOnly(const std::string& sddl);

std::string Hex(const Bytes& bytes);
Bytes Le32(DWORD value);
// The exit notification's payload for a process id: one string field.
Bytes ExitNotificationPayload(DWORD pid);

// The system's message text for an error, as CqzUtil::GetErrorText gives it.
std::wstring SystemText(DWORD error);

} // namespace qzchan
