#include "tests/channel/channel_test_util.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

#include "common/cust_cmd/cust_cmd.h"
#include "common/util/util.h"
#include "testing/qz_agent/agent_protocol.h"

namespace qzchan
{

std::unique_ptr<qztest::AgentInstall> RunningAgentTest::s_install;
std::unique_ptr<qztest::AgentService> RunningAgentTest::s_service;
std::string RunningAgentTest::s_setupError;

void RunningAgentTest::SetUpTestSuite()
{
    StartAgentFrom(qztest::BinDir(), qztest::AgentStandInFiles());
}

void RunningAgentTest::StartAgentFrom(const std::wstring& fromDir, const std::vector<std::wstring>& files)
{
    s_setupError.clear();
    s_install.reset(new qztest::AgentInstall());
    s_service.reset(new qztest::AgentService(*s_install, fromDir, files));
    if (!s_service->Installed() || !s_service->Start())
        s_setupError =
            "stand-in not running: " + s_service->FailedStep() + " failed with " + std::to_string(s_service->Error());
}

void RunningAgentTest::TearDownTestSuite()
{
    s_service.reset();
    s_install.reset();
}

void RunningAgentTest::SetUp()
{
    ASSERT_TRUE(s_setupError.empty()) << s_setupError;
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), qztest::QueryAgentServiceState());
    MarkLog();
}

void RunningAgentTest::MarkLog()
{
    m_logStart = s_service->ReadLog().size();
}

std::vector<qztest::AgentLogEntry> RunningAgentTest::NewEntries() const
{
    std::vector<qztest::AgentLogEntry> all = s_service->ReadLog();
    if (all.size() <= m_logStart)
        return {};
    return std::vector<qztest::AgentLogEntry>(all.begin() + static_cast<std::ptrdiff_t>(m_logStart), all.end());
}

std::vector<qztest::AgentLogEntry> RunningAgentTest::NewControls() const
{
    return qztest::ControlEntries(NewEntries());
}

void RunningAgentTest::ExpectNoWaitClientLeftAlone() const
{
    CqzCustCmdResultClient client(CqzCustCmdResultClient::NoWait(), true);
    const std::vector<BYTE> payload =
        qztest::BuildResultPayload(::GetCurrentProcessId(), qzagent::kAnswerNow, 5, client);
    ASSERT_EQ(28u, payload.size());
    LONGLONG address = 0;
    LONGLONG eventHandle = 0;
    std::memcpy(&address, payload.data() + 12, sizeof(address));
    std::memcpy(&eventHandle, payload.data() + 20, sizeof(eventHandle));
    EXPECT_EQ(0x00000000FFFFFFFFLL, eventHandle);
    ASSERT_TRUE(CqzCustCmdClient::SendData(qzagent::kCmdResult, 28, payload.data()));

    const std::vector<qztest::AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("0x00000000FFFFFFFF", controls[0].Get("event_handle")) << controls[0].raw;
    EXPECT_EQ("0", controls[0].Get("uses_event"));
    EXPECT_EQ("true", controls[0].Get("set_result"));
    EXPECT_EQ(5, controls[0].Number("result"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
              *reinterpret_cast<const DWORD*>(static_cast<INT_PTR>(address)))
        << "the agent wrote nothing into the sender";
}

bool RunningAgentTest::WaitForEntry(const std::string& event, qztest::AgentLogEntry& entry, DWORD timeoutMs) const
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;)
    {
        for (const qztest::AgentLogEntry& candidate : NewEntries())
        {
            if (candidate.Get("event") == event)
            {
                entry = candidate;
                return true;
            }
        }
        if (::GetTickCount64() > deadline)
            return false;
        ::Sleep(20);
    }
}

qztest::ScopedHandle ImpersonationTokenWith(const wchar_t* privilege, PrivilegeState state, const wchar_t* tokenSddl)
{
    qztest::ScopedHandle processToken = qztest::OpenOwnProcessToken();
    if (!processToken.IsValid())
        return qztest::ScopedHandle();
    qztest::ScopedHandle restricted;
    if (state == PrivilegeState::Removed)
    {
        restricted = qztest::WithoutPrivilege(processToken.Get(), privilege);
        if (!restricted.IsValid())
            return qztest::ScopedHandle();
    }
    CqzScopedLocal<void> sd;
    if (tokenSddl &&
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(tokenSddl, SDDL_REVISION_1, sd.Receive(), nullptr))
        return qztest::ScopedHandle();
    qztest::ScopedHandle result =
        qztest::DuplicateImpersonation(restricted.IsValid() ? restricted.Get() : processToken.Get(), sd.Get());
    if (!result.IsValid())
        return result;
    if (state != PrivilegeState::Removed &&
        !qztest::AdjustPrivilege(result.Get(), privilege, state == PrivilegeState::Enabled ? SE_PRIVILEGE_ENABLED : 0))
        return qztest::ScopedHandle();
    return result;
}

bool TokenPrivilege(HANDLE token, const wchar_t* privilege, bool& present, bool& enabled)
{
    // An unknown name or unreadable privileges: no answer.
    LUID luid = {};
    if (!::LookupPrivilegeValueW(nullptr, privilege, &luid))
        return false;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    if (size == 0)
        return false;
    DWORD attributes = 0;
    present = qztest::TokenHasPrivilege(token, privilege, &attributes);
    enabled = present && (attributes & SE_PRIVILEGE_ENABLED) != 0;
    return true;
}

std::string DaclSddl(HANDLE object)
{
    return qztest::ObjectDaclSddl(object);
}

bool IsLocalSystemOnly(const std::string& sddl)
{
    // GENERIC_ALL as given, or mapped to all rights of a section / an event.
    return sddl == "D:(A;;GA;;;SY)" || sddl == "D:(A;;0xf001f;;;SY)" || sddl == "D:(A;;0x1f0003;;;SY)" ||
           sddl == "D:(A;;0x1f001f;;;SY)";
}

std::string Hex(const Bytes& bytes)
{
    std::string out;
    char digits[3];
    for (BYTE b : bytes)
    {
        std::snprintf(digits, sizeof(digits), "%02X", b);
        out += digits;
    }
    return out;
}

Bytes Le32(DWORD value)
{
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

Bytes ExitNotificationPayload(DWORD pid)
{
    const std::wstring text =
        L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>" + std::to_wstring(pid) + L"</PID></XML>";
    Bytes bytes = Le32(static_cast<DWORD>(text.size() * 2 + 2));
    for (wchar_t c : text)
    {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::wstring SystemText(DWORD error)
{
    std::wstring text;
    CqzUtil::GetErrorText(error, text);
    return text;
}

} // namespace qzchan
