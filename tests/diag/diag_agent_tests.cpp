// qz_diag agent and object service with the qz_agent stand-in installed and
// running, then stopped, then removed; the policy value and the install GUID
// as this suite writes them.
#include <windows.h>

#include <memory>

#include <gtest/gtest.h>

#include "common/util/install_params.h"
#include "common/util/util.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/diag/diag_test_util.h"

namespace
{

using qzdiagtest::DiagRun;
using qzdiagtest::RunDiag;

const wchar_t kMutexLine[] = L"CHANNEL MUTEX Global\\QzCustCmdMutexName: ";

// The stand-in's configuration and status as the service manager gives them.
struct ServiceFacts
{
    std::wstring displayName;
    std::wstring binaryPath;
    DWORD startType = 0;
    DWORD state = 0;
    DWORD pid = 0;
    bool ok = false;
};

ServiceFacts ReadServiceFacts()
{
    ServiceFacts facts;
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr
                            ? ::OpenServiceW(manager, L"qz_agent", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                            : nullptr;
    if (service != nullptr)
    {
        DWORD needed = 0;
        ::QueryServiceConfigW(service, nullptr, 0, &needed);
        std::vector<BYTE> block(needed + 16);
        SERVICE_STATUS_PROCESS status = {};
        QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block.data());
        if (::QueryServiceConfigW(service, config, static_cast<DWORD>(block.size()), &needed) &&
            ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                   &needed))
        {
            facts.displayName = config->lpDisplayName != nullptr ? config->lpDisplayName : L"";
            facts.binaryPath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
            facts.startType = config->dwStartType;
            facts.state = status.dwCurrentState;
            facts.pid = status.dwProcessId;
            facts.ok = true;
        }
        ::CloseServiceHandle(service);
    }
    if (manager != nullptr)
        ::CloseServiceHandle(manager);
    return facts;
}

class DiagAgent : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_install.reset(new qztest::AgentInstall());
        ASSERT_TRUE(m_install->CopyLauncher());
        ASSERT_TRUE(m_install->CopyFromBuild({L"qz_diag.exe"}));
        m_service.reset(new qztest::AgentService(*m_install));
        ASSERT_TRUE(m_service->Installed()) << m_service->FailedStep() << " " << m_service->Error();
    }
    void TearDown() override
    {
        m_service.reset();
        m_install.reset();
    }

    std::wstring InstalledDiag() const { return m_install->BinDir() + L"\\qz_diag.exe"; }
    DiagRun Agent(const std::wstring& exe) const { return RunDiag({L"agent"}, {}, exe); }

    std::unique_ptr<qztest::AgentInstall> m_install;
    std::unique_ptr<qztest::AgentService> m_service;
};

TEST_F(DiagAgent, RunningThenStoppedThenRemoved)
{
    ASSERT_TRUE(m_service->Start()) << m_service->FailedStep() << " " << m_service->Error();
    const ServiceFacts facts = ReadServiceFacts();
    ASSERT_TRUE(facts.ok);

    const DiagRun running = Agent(InstalledDiag());
    ASSERT_EQ(0u, running.Exit()) << running.Text();
    EXPECT_EQ(L"*** Agent Check start ***", running.lines.empty() ? L"" : running.lines[0]);
    EXPECT_EQ(L"SERVICE qz_agent: installed, running, RUNNING (pid " + std::to_wstring(facts.pid) + L")",
              running.LineStarting(L"SERVICE qz_agent: "));
    EXPECT_EQ(L"   IMAGE PATH: " + m_install->QuotedServiceImage(), running.LineStarting(L"   IMAGE PATH: "));
    EXPECT_EQ(L"LAUNCHER: " + m_install->LauncherPath() + L" (present)", running.LineStarting(L"LAUNCHER: "));
    EXPECT_EQ(L"   INSTALLATION CHECK: passed", running.LineStarting(L"   INSTALLATION CHECK: "));
    EXPECT_EQ(std::wstring(kMutexLine) + L"exists", running.LineStarting(kMutexLine));
    EXPECT_EQ(L"*** Agent Check end ***", running.lines.empty() ? L"" : running.lines.back());
    // Outside the installation the same check fails.
    const DiagRun outside = Agent(qzdiagtest::DiagExe());
    EXPECT_EQ(L"   INSTALLATION CHECK: failed", outside.LineStarting(L"   INSTALLATION CHECK: ")) << outside.Text();
    // Nothing was sent to the agent.
    EXPECT_TRUE(m_service->Controls().empty());

    // The service dump shows the configuration the manager has.
    const DiagRun dump = RunDiag({L"object", L"service", L"qz_agent"});
    ASSERT_EQ(0u, dump.Exit()) << dump.Text();
    EXPECT_EQ(L"NAME: qz_agent", dump.LineStarting(L"NAME: "));
    EXPECT_EQ(L"DISPLAY NAME: " + facts.displayName, dump.LineStarting(L"DISPLAY NAME: "));
    EXPECT_EQ(L"   BINARY PATH NAME: " + facts.binaryPath, dump.LineStarting(L"   BINARY PATH NAME: "));
    EXPECT_EQ(L"   START TYPE: " + qzdiagtest::Hex8(facts.startType) + L" (DEMAND_START)",
              dump.LineStarting(L"   START TYPE: "));
    EXPECT_EQ(L"   CURRENT STATE: " + qzdiagtest::Hex8(SERVICE_RUNNING) + L" (RUNNING)",
              dump.LineStarting(L"   CURRENT STATE: "));
    EXPECT_EQ(L"   PID: " + std::to_wstring(facts.pid), dump.LineStarting(L"   PID: "));

    ASSERT_TRUE(m_service->Stop());
    const DiagRun stopped = Agent(InstalledDiag());
    ASSERT_EQ(0u, stopped.Exit()) << stopped.Text();
    EXPECT_EQ(L"SERVICE qz_agent: installed, not running, STOPPED (pid 0)",
              stopped.LineStarting(L"SERVICE qz_agent: "));
    EXPECT_EQ(L"   IMAGE PATH: " + m_install->QuotedServiceImage(), stopped.LineStarting(L"   IMAGE PATH: "));
    EXPECT_EQ(std::wstring(kMutexLine) + L"absent (the agent service is not running)",
              stopped.LineStarting(kMutexLine));

    m_service.reset();
    const DiagRun removed = Agent(InstalledDiag());
    ASSERT_EQ(0u, removed.Exit()) << removed.Text();
    EXPECT_EQ(L"SERVICE qz_agent: not installed", removed.LineStarting(L"SERVICE qz_agent: "));
    EXPECT_EQ(L"   IMAGE PATH: absent", removed.LineStarting(L"   IMAGE PATH: "));
    EXPECT_EQ(L"   INSTALLATION CHECK: failed", removed.LineStarting(L"   INSTALLATION CHECK: "));
    const DiagRun gone = RunDiag({L"object", L"service", L"qz_agent"});
    EXPECT_EQ(1u, gone.Exit()) << gone.Text();
}

TEST(DiagAgentPolicy, PolicyValueAbsentDwordAndWrongType)
{
    const std::wstring prefix = L"POLICY QzElevateAllowNonAdmin: ";
    qztest::RegValueRestorer policy(HKEY_LOCAL_MACHINE, CqzUtil::GetAgentParametersKeyPath(),
                                    L"QzElevateAllowNonAdmin");
    const BYTE eightBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    const struct
    {
        const char* name;
        DWORD type; // REG_NONE: absent
        std::vector<BYTE> data;
        const wchar_t* line;
    } rows[] = {
        {"absent", REG_NONE, {}, L"absent (non-administrators refused)"},
        {"dword 1", REG_DWORD, {1, 0, 0, 0}, L"1 (REG_DWORD, non-administrators allowed)"},
        {"dword 0", REG_DWORD, {0, 0, 0, 0}, L"0 (REG_DWORD, non-administrators refused)"},
        {"string", REG_SZ, {'1', 0, 0, 0}, L"wrong type (REG_SZ, 4 bytes), counts as absent"},
        {"eight-byte dword", REG_DWORD, std::vector<BYTE>(eightBytes, eightBytes + 8),
         L"wrong type (REG_DWORD, 8 bytes), counts as absent"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        if (row.type == REG_NONE)
            ASSERT_TRUE(policy.Delete());
        else
            ASSERT_TRUE(policy.Set(row.type, row.data.data(), static_cast<DWORD>(row.data.size())));
        const DiagRun run = RunDiag({L"agent"});
        ASSERT_EQ(0u, run.Exit()) << run.Text();
        EXPECT_EQ(prefix + row.line, run.LineStarting(prefix));
    }
}

TEST(DiagAgentInstallGuid, FoundFromTheUpgradeCodeOnlyWithItsUninstallKey)
{
    // The UpgradeCodes key lives in the native registry view; the Uninstall
    // key in the program's own.
    const std::wstring upgradeKey = L"Installer\\UpgradeCodes\\3C4E72B951D6E0A4F8B3C2175D6A9E01";
    const std::wstring product = L"{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}";
    const std::wstring uninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product;
    ASSERT_EQ(L"{9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E910}", SqzProductConstants::AgentUpgradeCode);
    qztest::DeleteRegTree(HKEY_CLASSES_ROOT, upgradeKey, KEY_WOW64_64KEY);
    const std::wstring prefix = L"INSTALL GUID: ";
    const std::wstring upgradeText = L" (UpgradeCode " + SqzProductConstants::AgentUpgradeCode + L")";

    EXPECT_EQ(prefix + L"not found" + upgradeText, RunDiag({L"agent"}).LineStarting(prefix));
    ASSERT_TRUE(qztest::SetRegString(HKEY_CLASSES_ROOT, upgradeKey, L"4D3C2B1A6F5E817092A3B4C5D6E7F809", L"", REG_SZ,
                                     KEY_WOW64_64KEY));
    EXPECT_EQ(prefix + L"not found" + upgradeText, RunDiag({L"agent"}).LineStarting(prefix));
    {
        qztest::RegKeyGuard uninstall(HKEY_LOCAL_MACHINE, uninstallKey);
        ASSERT_TRUE(uninstall.Created());
        EXPECT_EQ(prefix + product + upgradeText, RunDiag({L"agent"}).LineStarting(prefix));
    }
    qztest::DeleteRegTree(HKEY_CLASSES_ROOT, upgradeKey, KEY_WOW64_64KEY);
}

} // namespace
