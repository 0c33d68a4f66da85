// The service dump against the running agent stand-in and a missing
// service, the service name tables and the service DLL.
#include "common/security/qz_handle.h"
#include "common/security/security.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/handles/handle_dump_test_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

using qzdumptest::Lines;

const char* const kServiceClass = "CqzServiceObjectHandle";

std::wstring ServicesKey(const std::wstring& name)
{
    return L"SYSTEM\\CurrentControlSet\\services\\" + name;
}

class ServiceDumpTest : public ::testing::Test
{
public:
    static void SetUpTestSuite()
    {
        s_install.reset(new qztest::AgentInstall());
        s_service.reset(new qztest::AgentService(*s_install));
        if (!s_service->Installed() || !s_service->Start())
            s_setupError = s_service->FailedStep() + " failed with " + std::to_string(s_service->Error());
    }
    static void TearDownTestSuite()
    {
        s_service.reset();
        s_install.reset();
    }

protected:
    void SetUp() override { ASSERT_TRUE(s_setupError.empty()) << s_setupError; }

    Lines ReadBack()
    {
        Lines lines;
        std::string problem;
        EXPECT_TRUE(qzdumptest::ReadDump(m_dump, lines, problem)) << problem;
        return lines;
    }

    static std::unique_ptr<qztest::AgentInstall> s_install;
    static std::unique_ptr<qztest::AgentService> s_service;
    static std::string s_setupError;

    qztest::TempDir m_dir{L"qzsdump"};
    std::wstring m_dump = m_dir / L"dump.txt";
};

std::unique_ptr<qztest::AgentInstall> ServiceDumpTest::s_install;
std::unique_ptr<qztest::AgentService> ServiceDumpTest::s_service;
std::string ServiceDumpTest::s_setupError;

std::wstring ImagePathOf(DWORD pid)
{
    qztest::ScopedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    wchar_t path[1024] = {};
    DWORD size = 1024;
    if (!process.IsValid() || !::QueryFullProcessImageNameW(process.Get(), 0, path, &size))
        return L"<no image path>";
    return path;
}

TEST_F(ServiceDumpTest, RunningStandInGivesEveryLine)
{
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager.IsValid());
    CqzScopedServiceHandle status(::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS process = {};
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceStatusEx(status.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                       sizeof(process), &needed));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), process.dwCurrentState);
    ASSERT_NE(0u, process.dwProcessId);
    CqzScopedServiceHandle config(::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_QUERY_CONFIG));
    std::vector<BYTE> block(8192);
    ASSERT_TRUE(
        ::QueryServiceConfigW(config.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block.data()), 8192, &needed));
    const auto& serviceConfig = *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(block.data());
    CqzScopedServiceHandle secured(
        ::OpenServiceW(manager.Get(), qzagent::kServiceName, READ_CONTROL | ACCESS_SYSTEM_SECURITY));
    ASSERT_TRUE(secured.IsValid());

    Lines expected = {L"*** Service Info start ***",
                      L"",
                      L"NAME: qz_agent",
                      L"DISPLAY NAME: Dunmoral Agent",
                      L"   SERVICE TYPE: 0x00000010 (WIN32_OWN_PROCESS)",
                      L"   START TYPE: 0x00000003 (DEMAND_START)",
                      L"   BINARY PATH NAME: " + s_install->QuotedServiceImage(qzagent::kExeName),
                      L"   START NAME (USER): " + std::wstring(serviceConfig.lpServiceStartName),
                      L"   CURRENT STATE: 0x00000004 (RUNNING)",
                      L"   SERVICE FLAGS: " + qzdumptest::Hex8(process.dwServiceFlags),
                      L"   CONTROLS ACCEPTED: " + qzdumptest::Hex8(process.dwControlsAccepted),
                      L"   PID: " + std::to_wstring(process.dwProcessId),
                      L"   PROCESS PATH: " + ImagePathOf(process.dwProcessId),
                      L"   SERVICE DLL: <ERROR>",
                      L"",
                      L"SECURITY"};
    Lines info = qzdumptest::ExpectedInfoLines(secured.Get(), SE_SERVICE);
    qzdumptest::Append(expected, info);
    qzdumptest::Append(expected, {L"", L"*** Service Info end ***", L""});

    qztest::TraceCapture capture;
    CqzServiceObjectHandle::Dump(qzagent::kServiceName, m_dump.c_str());
    const Lines actual = ReadBack();
    EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
    // Wine: a service's descriptor has no owner or group and AccessCheck on
    // it fails with 1338.
    ASSERT_GE(info.size(), 3u);
    EXPECT_EQ(L"   OBJECT ACCESS MAX ALLOWED: Unable to get granted access. Error 1338", info[1]);
    // The agent's Parameters key also holds the launcher's policy value, so
    // other suites may leave it behind: without a "ServiceDll" value the
    // reason is then the missing value rather than the missing key.
    const std::wstring parametersKey = ServicesKey(qzagent::kServiceName) + L"\\Parameters";
    CqzScopedRegKey parameters;
    const bool keyExists = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, parametersKey.c_str(), 0, KEY_QUERY_VALUE,
                                           parameters.Receive()) == ERROR_SUCCESS;
    const std::string missing =
        keyExists
            ? "ERROR: Failed to query ServiceDll value under [HKLM\\SYSTEM\\CurrentControlSet\\services\\qz_agent\\"
              "Parameters]. Error=2"
            : "ERROR: Failed to open [HKLM\\SYSTEM\\CurrentControlSet\\services\\qz_agent\\Parameters]. Error=2";
    bool traced = false;
    for (const qztest::TraceEntry& entry : capture.Entries())
        traced |= entry == qztest::TraceEntry{QZT_ERROR, kServiceClass, missing};
    EXPECT_TRUE(traced) << capture.Text();
}

TEST_F(ServiceDumpTest, ServiceDllLineOfTheStandIn)
{
    wchar_t systemRoot[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH));
    qztest::RegValueRestorer value(HKEY_LOCAL_MACHINE, ServicesKey(qzagent::kServiceName) + L"\\Parameters",
                                   L"ServiceDll");
    ASSERT_TRUE(value.SetString(L"%SystemRoot%\\qz_h3_agent.dll", REG_EXPAND_SZ));
    CqzServiceObjectHandle::Dump(qzagent::kServiceName, m_dump.c_str());
    const Lines actual = ReadBack();
    ASSERT_GE(actual.size(), 14u);
    EXPECT_EQ(L"   PID: ", actual[11].substr(0, 8));
    EXPECT_EQ(L"   SERVICE DLL: " + std::wstring(systemRoot) + L"\\qz_h3_agent.dll", actual[13]);
}

TEST_F(ServiceDumpTest, UnopenableNameGivesEveryOpenFailure)
{
    // An empty name: the manager refuses it for each open (Wine: 123), and
    // the dump goes on to the next piece each time.
    qztest::TraceCapture capture;
    CqzServiceObjectHandle::Dump(L"", m_dump.c_str());
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_EQ(nullptr, ::OpenServiceW(manager.Get(), L"", SERVICE_QUERY_CONFIG));
    const std::wstring error = qzdumptest::Dec(::GetLastError());
    ASSERT_NE(L"1060", error);
    const Lines expected = {L"*** Service Info start ***",
                            L"",
                            L"NAME: ",
                            L"",
                            L"ERROR: OpenService([], SERVICE_QUERY_CONFIG) failed. Error=" + error,
                            L"",
                            L"",
                            L"ERROR: OpenService([], SERVICE_QUERY_STATUS) failed. Error=" + error,
                            L"",
                            L"   SERVICE DLL: <ERROR>",
                            L"",
                            L"ERROR: OpenService([], READ_CONTROL | ACCESS_SYSTEM_SECURITY) failed. Error=" + error,
                            L"",
                            L"",
                            L"*** Service Info end ***",
                            L""};
    const Lines actual = ReadBack();
    EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
}

TEST_F(ServiceDumpTest, MissingServiceEndsAfterItsLine)
{
    CqzServiceObjectHandle::Dump(L"qz_h3_no_such_service", m_dump.c_str());
    const Lines expected = {L"*** Service Info start ***",
                            L"",
                            L"NAME: qz_h3_no_such_service",
                            L"",
                            L"ERROR: Service [qz_h3_no_such_service] doesn't exist",
                            L"",
                            L"",
                            L"*** Service Info end ***",
                            L""};
    const Lines actual = ReadBack();
    EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
}

TEST_F(ServiceDumpTest, DumpFileThatCannotBeCreatedIsTraced)
{
    const std::wstring dumpPath = m_dir / L"missing\\dump.txt";
    qztest::TraceCapture capture;
    CqzServiceObjectHandle::Dump(qzagent::kServiceName, dumpPath.c_str());
    EXPECT_EQ(qztest::EntriesOf(
                  QZT_ERROR, kServiceClass,
                  {"ERROR: Failed to open dump file " + qztest::ToUtf8(dumpPath) + " for writing. hr=-2147024893"}),
              capture.Entries());
}

// ---------------------------------------------------------------------------
// The service DLL
// ---------------------------------------------------------------------------

class ServiceDllTest : public ::testing::Test
{
protected:
    std::wstring m_name = L"qz_h3_svcdll_" + std::to_wstring(::GetCurrentProcessId());
    std::wstring m_parameters = ServicesKey(m_name) + L"\\Parameters";
    qztest::RegKeyGuard m_guard{HKEY_LOCAL_MACHINE, ServicesKey(m_name)};

    std::string ParametersText() const { return "HKLM\\" + qztest::ToUtf8(m_parameters); }
};

TEST_F(ServiceDllTest, ExpandedValueOfTheParametersKey)
{
    ASSERT_TRUE(m_guard.Created());
    wchar_t systemRoot[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH));
    struct Row
    {
        const char* name;
        std::wstring value;
        DWORD type;
        std::wstring expected;
    };
    const Row rows[] = {
        {"expandable", L"%SystemRoot%\\system32\\qz_h3.dll", REG_EXPAND_SZ,
         std::wstring(systemRoot) + L"\\system32\\qz_h3.dll"},
        {"plain string", L"C:\\qz\\plain.dll", REG_SZ, L"C:\\qz\\plain.dll"},
        {"1039 characters", std::wstring(1039, L'x'), REG_SZ, std::wstring(1039, L'x')},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(qztest::SetRegString(HKEY_LOCAL_MACHINE, m_parameters, L"ServiceDll", row.value, row.type));
        std::wstring path;
        qztest::TraceCapture capture;
        EXPECT_TRUE(CqzServiceObjectHandle::_GetServiceDll(m_name.c_str(), path));
        EXPECT_EQ(row.expected, path);
        EXPECT_TRUE(capture.Entries().empty()) << capture.Text();
    }
}

typedef LSTATUS(WINAPI* RegQueryValueExWFn)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
DWORD g_queriedBytes = 0;

// Fills the whole buffer with 'y' and no terminator, as Windows may for a
// value stored without one.
LSTATUS WINAPI FullBufferQuery(HKEY, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD bytes)
{
    g_queriedBytes = *bytes;
    for (DWORD i = 0; i + 1 < *bytes; i += 2)
    {
        data[i] = 'y';
        data[i + 1] = 0;
    }
    *type = REG_SZ;
    return ERROR_SUCCESS;
}

TEST_F(ServiceDllTest, ValueOfFullBufferWithoutTerminatorEndsInsideIt)
{
    // Seam: Wine refuses a REG_SZ value that fills the buffer without room
    // for a terminator (234); Windows returns it as stored. The suite's
    // RegQueryValueExW import gives the Windows answer.
    ASSERT_TRUE(qztest::CreateRegKey(HKEY_LOCAL_MACHINE, m_parameters));
    std::wstring path;
    {
        qztest::IatHook hook("advapi32.dll", "RegQueryValueExW", reinterpret_cast<void*>(&FullBufferQuery));
        ASSERT_TRUE(hook.Installed());
        EXPECT_TRUE(CqzServiceObjectHandle::_GetServiceDll(m_name.c_str(), path));
    }
    EXPECT_EQ(2080u, g_queriedBytes);
    EXPECT_EQ(std::wstring(1040, L'y'), path);

    // The real Wine answer for the stored value.
    const std::wstring value(1040, L'y');
    ASSERT_TRUE(qztest::SetRegBytes(HKEY_LOCAL_MACHINE, m_parameters, L"ServiceDll", value.data(),
                                    static_cast<DWORD>(value.size() * 2), REG_SZ));
    qztest::TraceCapture capture;
    EXPECT_FALSE(CqzServiceObjectHandle::_GetServiceDll(m_name.c_str(), path));
    EXPECT_EQ(
        qztest::EntriesOf(QZT_ERROR, kServiceClass,
                          {"ERROR: Failed to query ServiceDll value under [" + ParametersText() + "]. Error=234"}),
        capture.Entries());
}

TEST_F(ServiceDllTest, FailuresAreTraced)
{
    struct Row
    {
        const char* name;
        bool createKey;
        bool setValue;
        DWORD type;
        std::wstring value;
        std::string line;
    };
    const Row rows[] = {
        {"no Parameters key", false, false, 0, L"", "ERROR: Failed to open [" + ParametersText() + "]. Error=2"},
        {"no value", true, false, 0, L"",
         "ERROR: Failed to query ServiceDll value under [" + ParametersText() + "]. Error=2"},
        {"too long", true, true, REG_SZ, std::wstring(1041, L'z'),
         "ERROR: Failed to query ServiceDll value under [" + ParametersText() + "]. Error=234"},
        {"not a string", true, true, REG_BINARY, L"ab",
         "ERROR: Failed to query ServiceDll value under [" + ParametersText() + "]. Error=13"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, m_parameters);
        if (row.createKey)
        {
            ASSERT_TRUE(qztest::CreateRegKey(HKEY_LOCAL_MACHINE, m_parameters));
        }
        if (row.setValue)
        {
            ASSERT_TRUE(qztest::SetRegBytes(HKEY_LOCAL_MACHINE, m_parameters, L"ServiceDll", row.value.c_str(),
                                            static_cast<DWORD>((row.value.size() + 1) * 2), row.type));
        }
        std::wstring path = L"stale";
        qztest::TraceCapture capture;
        EXPECT_FALSE(CqzServiceObjectHandle::_GetServiceDll(m_name.c_str(), path));
        EXPECT_EQ(L"", path);
        EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, kServiceClass, {row.line}), capture.Entries());
    }
}

// ---------------------------------------------------------------------------
// Name tables
// ---------------------------------------------------------------------------

TEST(ServiceNameTablesTest, States)
{
    const std::pair<DWORD, const wchar_t*> rows[] = {
        {0, L"Unknown"}, {1, L"STOPPED"},          {2, L"START_PENDING"},    {3, L"STOP_PENDING"},
        {4, L"RUNNING"}, {5, L"CONTINUE_PENDING"}, {6, L"PAUSE_PENDING"},    {7, L"PAUSED"},
        {8, L"Unknown"}, {9, L"Unknown"},          {0xFFFFFFFF, L"Unknown"},
    };
    for (const auto& row : rows)
        EXPECT_STREQ(row.second, CqzServiceObjectHandle::GetServiceStateName(row.first)) << row.first;
}

TEST(ServiceNameTablesTest, StartTypes)
{
    const std::pair<DWORD, const wchar_t*> rows[] = {
        {0, L"BOOT_START"}, {1, L"SYSTEM_START"}, {2, L"AUTO_START"},       {3, L"DEMAND_START"},
        {4, L"DISABLED"},   {5, L"Unknown"},      {0xFFFFFFFF, L"Unknown"},
    };
    for (const auto& row : rows)
        EXPECT_STREQ(row.second, CqzServiceObjectHandle::GetStartTypeName(row.first)) << row.first;
}

TEST(ServiceNameTablesTest, TypeFlags)
{
    const std::pair<DWORD, const wchar_t*> rows[] = {
        {0x0, L"NULL"},
        {0x110, L"WIN32_OWN_PROCESS|INTERACTIVE_PROCESS"},
        {0x1, L"KERNEL_DRIVER"},
        {0x2, L"FILE_SYSTEM_DRIVER"},
        {0x4, L"ADAPTER"},
        {0x8, L"RECOGNIZER_DRIVER"},
        {0x10, L"WIN32_OWN_PROCESS"},
        {0x20, L"WIN32_SHARE_PROCESS"},
        {0x100, L"INTERACTIVE_PROCESS"},
        {0x30, L"WIN32_OWN_PROCESS|WIN32_SHARE_PROCESS"},
        {0x50, L"WIN32_OWN_PROCESS|0x00000040"},
        {0x80, L"0x00000080"},
        {0x13F, L"KERNEL_DRIVER|FILE_SYSTEM_DRIVER|ADAPTER|RECOGNIZER_DRIVER|WIN32_OWN_PROCESS|WIN32_SHARE_PROCESS|"
                L"INTERACTIVE_PROCESS"},
        {0xFFFFFEC0, L"0xFFFFFEC0"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, CqzServiceObjectHandle::GetServiceTypeString(row.first)) << std::hex << row.first;
}

} // namespace
