// The launcher's exit notification end to end: the stand-in service receives
// command 10 with the sender's process id, byte for byte; without an agent the
// notification is lost with two trace lines.
#include "Agent/engine/qz_elevate/qz_elevate_cmd_client.h"

#include "common/cust_cmd/cust_cmd.h"
#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/channel/channel_test_util.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace
{

using qztest::AgentLogEntry;

const qztest::TraceEntry kFailedToSend = {QZT_ERROR, "CqzQzElevateCmdClient",
                                          "ERROR: Failed to send QZ_CIC_NOTIFY_QZELEVATE_EXIT command"};

std::string ExitText(DWORD pid)
{
    return "<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>" + std::to_string(pid) + "</PID></XML>";
}

void ExpectNotificationOf(const AgentLogEntry& e, DWORD pid)
{
    const qzchan::Bytes payload = qzchan::ExitNotificationPayload(pid);
    EXPECT_EQ("accepted", e.Get("status")) << e.raw;
    EXPECT_EQ(static_cast<long long>(QZ_CIC_NOTIFY_QZELEVATE_EXIT), e.Number("cmd"));
    EXPECT_EQ(static_cast<long long>(payload.size()), e.Number("len"));
    EXPECT_EQ(static_cast<long long>(pid), e.Number("pid"));
    EXPECT_EQ(ExitText(pid), e.Get("text"));
    EXPECT_EQ(qzchan::Hex(payload), e.Get("hex"));
    EXPECT_EQ("zero", e.Get("tail"));
}

class NotifyExit : public qzchan::RunningAgentTest
{
};

TEST_F(NotifyExit, AgentReceivesThisProcessId)
{
    qztest::TraceCapture capture;
    ::SetLastError(0xDEADBEEF);
    CqzQzElevateCmdClient::NotifyProcessExit();
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    ExpectNotificationOf(controls[0], ::GetCurrentProcessId());
    // Length: the field's 4-byte count plus 2 bytes per character and the NUL.
    const size_t characters = 61 + std::to_string(::GetCurrentProcessId()).size();
    EXPECT_EQ(static_cast<long long>(4 + 2 * characters + 2), controls[0].Number("len"));
}

TEST_F(NotifyExit, EachSenderProcessNamesItself)
{
    const std::wstring exe = qztest::BinDir() + L"\\qz_channel_sender.exe";
    std::vector<DWORD> pids;
    for (int i = 0; i < 3; ++i)
    {
        const qztest::ProcessResult result = qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" notify");
        ASSERT_TRUE(result.started && result.finished) << "run " << i << ": error " << result.error;
        EXPECT_EQ(0u, result.exitCode) << "run " << i;
        pids.push_back(result.pid);
    }
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(pids.size(), controls.size());
    for (size_t i = 0; i < pids.size(); ++i)
        ExpectNotificationOf(controls[i], pids[i]);
}

class NotifyExitWithoutAgent : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(qztest::RemoveAgentService()); }
};

TEST_F(NotifyExitWithoutAgent, NotInstalledIsTracedAndOtherwiseIgnored)
{
    qztest::TraceCapture capture;
    ::SetLastError(0xDEADBEEF);
    CqzQzElevateCmdClient::NotifyProcessExit();
    EXPECT_EQ((qztest::TraceEntries{{QZT_ERROR, "CqzCustCmdClient", "ERROR: Service qz_agent is not installed."},
                                    kFailedToSend}),
              capture.Entries());
}

TEST_F(NotifyExitWithoutAgent, StoppedAgentIsTracedAndOtherwiseIgnored)
{
    qztest::AgentInstall install;
    qztest::AgentService service(install);
    ASSERT_TRUE(service.Installed()) << service.FailedStep() << " " << service.Error();
    qztest::TraceCapture capture;
    CqzQzElevateCmdClient::NotifyProcessExit();
    EXPECT_EQ((qztest::TraceEntries{{QZT_ERROR, "CqzCustCmdClient", "ERROR: Failed to open mutex. LastError=2"},
                                    kFailedToSend}),
              capture.Entries());
    EXPECT_EQ(std::vector<AgentLogEntry>{}.size(), service.Controls().size());
}

} // namespace
