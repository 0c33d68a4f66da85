#include "testing/qz_agent/agent_service_control.h"

#include <sddl.h>

#include <cstdlib>
#include <cstring>

#include "common/cust_cmd/cust_cmd.h"
#include "common/util/scoped.h"
#include "testing/qz_agent/agent_protocol.h"

namespace qztest
{

namespace
{

// Polls the service until it reaches `wanted` (true), reaches SERVICE_STOPPED
// instead, or the time runs out (false). exitCode: the service's own code.
bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs, DWORD& exitCode)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;)
    {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                    &needed))
        {
            exitCode = ::GetLastError();
            return false;
        }
        exitCode = status.dwWin32ExitCode;
        if (status.dwCurrentState == wanted)
            return true;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return false;
        if (::GetTickCount64() > deadline)
        {
            exitCode = WAIT_TIMEOUT;
            return false;
        }
        ::Sleep(20);
    }
}

// Lets any signed-in user send user-defined controls, as the agent's
// installer does; LocalSystem and administrators keep full control.
void GrantUserDefinedControl(SC_HANDLE service)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;CCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;0x0002018D;;;AU)",
            SDDL_REVISION_1, &sd, nullptr))
        return;
    ::SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, sd);
    ::LocalFree(sd);
}

} // namespace

// ---------------------------------------------------------------------------
// Log

std::string AgentLogEntry::Get(const std::string& key) const
{
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long long AgentLogEntry::Number(const std::string& key) const
{
    const auto it = fields.find(key);
    if (it == fields.end() || it->second.empty())
        return -1;
    char* end = nullptr;
    const long long value = std::strtoll(it->second.c_str(), &end, 0);
    return end && *end == '\0' ? value : -1;
}

AgentLogEntry ParseAgentLogLine(const std::string& line)
{
    AgentLogEntry entry;
    entry.raw = line;
    size_t start = 0;
    while (start <= line.size())
    {
        size_t end = line.find('\t', start);
        if (end == std::string::npos)
            end = line.size();
        const std::string field = line.substr(start, end - start);
        const size_t equals = field.find('=');
        if (equals != std::string::npos)
            entry.fields.emplace(field.substr(0, equals), qzagent::UnescapeLogValue(field.substr(equals + 1)));
        start = end + 1;
    }
    return entry;
}

std::vector<AgentLogEntry> ReadAgentLog(const std::wstring& path)
{
    std::vector<AgentLogEntry> entries;
    for (const std::string& line : ReadLines(path))
    {
        if (!line.empty())
            entries.push_back(ParseAgentLogLine(line));
    }
    return entries;
}

std::vector<AgentLogEntry> ControlEntries(const std::vector<AgentLogEntry>& entries)
{
    std::vector<AgentLogEntry> controls;
    for (const AgentLogEntry& entry : entries)
    {
        if (entry.Get("event") == "control")
            controls.push_back(entry);
    }
    return controls;
}

// ---------------------------------------------------------------------------
// Service control

DWORD QueryAgentServiceState(DWORD* error)
{
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get())
    {
        if (error)
            *error = ::GetLastError();
        return 0;
    }
    CqzScopedServiceHandle service(::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_QUERY_STATUS));
    if (!service.Get())
    {
        if (error)
            *error = ::GetLastError();
        return 0;
    }
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.Get(), &status))
    {
        if (error)
            *error = ::GetLastError();
        return 0;
    }
    if (error)
        *error = 0;
    return status.dwCurrentState;
}

bool RemoveAgentService(DWORD timeoutMs)
{
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.Get())
        return false;
    {
        CqzScopedServiceHandle service(::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_ALL_ACCESS));
        if (!service.Get())
            return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        SERVICE_STATUS status = {};
        if (::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED)
        {
            ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
            DWORD exitCode = 0;
            WaitForState(service.Get(), SERVICE_STOPPED, timeoutMs, exitCode);
        }
        ::DeleteService(service.Get());
    }
    // The manager forgets the service once the last handle is closed.
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;)
    {
        CqzScopedServiceHandle probe(::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_QUERY_STATUS));
        if (!probe.Get() && ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        if (::GetTickCount64() > deadline)
            return false;
        ::Sleep(20);
    }
}

std::vector<std::wstring> AgentStandInFiles()
{
    return qztest::WithRuntime({qzagent::kExeName, L"qztrace.dll"});
}

AgentService::AgentService(const AgentInstall& install) : AgentService(install, BinDir(), AgentStandInFiles()) {}

AgentService::AgentService(const AgentInstall& install, const std::wstring& fromDir,
                           const std::vector<std::wstring>& files)
    : m_binDir(install.BinDir())
{
    for (const std::wstring& name : files)
    {
        if (!::CopyFileW((fromDir + L"\\" + name).c_str(), (m_binDir + L"\\" + name).c_str(), FALSE))
        {
            _Fail("CopyFile", ::GetLastError());
            return;
        }
    }
    if (!RemoveAgentService())
    {
        _Fail("RemoveAgentService", ::GetLastError());
        return;
    }
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.Get())
    {
        _Fail("OpenSCManager", ::GetLastError());
        return;
    }
    const std::wstring image = install.QuotedServiceImage(qzagent::kExeName);
    CqzScopedServiceHandle service(::CreateServiceW(
        manager.Get(), qzagent::kServiceName, qzagent::kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.Get())
    {
        _Fail("CreateService", ::GetLastError());
        return;
    }
    GrantUserDefinedControl(service.Get());
    m_installed = true;
}

AgentService::~AgentService()
{
    if (m_installed)
        RemoveAgentService();
}

bool AgentService::_Fail(const char* step, DWORD error)
{
    m_failedStep = step;
    m_error = error;
    return false;
}

bool AgentService::Start(DWORD timeoutMs)
{
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get())
        return _Fail("OpenSCManager", ::GetLastError());
    CqzScopedServiceHandle service(
        ::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service.Get())
        return _Fail("OpenService", ::GetLastError());
    if (!::StartServiceW(service.Get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return _Fail("StartService", ::GetLastError());
    DWORD exitCode = 0;
    if (!WaitForState(service.Get(), SERVICE_RUNNING, timeoutMs, exitCode))
        return _Fail("wait for SERVICE_RUNNING", exitCode);
    return true;
}

bool AgentService::Stop(DWORD timeoutMs)
{
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get())
        return _Fail("OpenSCManager", ::GetLastError());
    CqzScopedServiceHandle service(
        ::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service.Get())
        return _Fail("OpenService", ::GetLastError());
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status) && ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return _Fail("ControlService(STOP)", ::GetLastError());
    DWORD exitCode = 0;
    if (!WaitForState(service.Get(), SERVICE_STOPPED, timeoutMs, exitCode))
        return _Fail("wait for SERVICE_STOPPED", exitCode);
    return true;
}

std::wstring AgentService::LogPath() const
{
    return m_binDir + L"\\" + qzagent::kLogName;
}

std::wstring AgentService::TracePath() const
{
    return m_binDir + L"\\" + qzagent::kTraceName;
}

void AgentService::ClearLog() const
{
    ::DeleteFileW(LogPath().c_str());
}

// ---------------------------------------------------------------------------
// Records by hand

RawSendResult SendRawSection(const std::vector<BYTE>& bytes, DWORD sectionSize, const wchar_t* name,
                             SECURITY_ATTRIBUTES* sa)
{
    RawSendResult result;
    auto fail = [&result](const char* step)
    {
        result.step = step;
        result.error = ::GetLastError();
        return result;
    };

    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get())
        return fail("OpenSCManager");
    CqzScopedServiceHandle service(::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_USER_DEFINED_CONTROL));
    if (!service.Get())
        return fail("OpenService");
    ScopedHandle mutex(::OpenMutexW(QZ_CIC_MUTEX_ACCESS, FALSE, QZ_CIC_MUTEX_NAME));
    if (!mutex.IsValid())
        return fail("OpenMutex");
    ::WaitForSingleObject(mutex.Get(), INFINITE);
    {
        ScopedHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0, sectionSize, name));
        if (!mapping.IsValid())
        {
            fail("CreateFileMapping");
            ::ReleaseMutex(mutex.Get());
            return result;
        }
        BYTE* view = static_cast<BYTE*>(::MapViewOfFile(mapping.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
        if (!view)
        {
            fail("MapViewOfFile");
            ::ReleaseMutex(mutex.Get());
            return result;
        }
        MEMORY_BASIC_INFORMATION info = {};
        ::VirtualQuery(view, &info, sizeof(info));
        std::memset(view, 0, info.RegionSize);
        std::memcpy(view, bytes.data(), bytes.size() < info.RegionSize ? bytes.size() : info.RegionSize);
        SERVICE_STATUS status = {};
        result.sent = ::ControlService(service.Get(), QZ_CIC_SERVICE_CONTROL, &status) != FALSE;
        if (!result.sent)
            fail("ControlService");
        ::UnmapViewOfFile(view);
    }
    ::ReleaseMutex(mutex.Get());
    return result;
}

DWORD SendBareControl()
{
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get())
        return ::GetLastError();
    CqzScopedServiceHandle service(::OpenServiceW(manager.Get(), qzagent::kServiceName, SERVICE_USER_DEFINED_CONTROL));
    if (!service.Get())
        return ::GetLastError();
    SERVICE_STATUS status = {};
    return ::ControlService(service.Get(), QZ_CIC_SERVICE_CONTROL, &status) ? 0 : ::GetLastError();
}

std::vector<BYTE> BuildLoadPayload(const std::wstring& tag, DWORD blockSize)
{
    const std::vector<BYTE> block = qzagent::LoadPattern(tag, blockSize);
    std::vector<BYTE> payload(CqzCustComdFileMap::_GetSerializedSize(tag) + sizeof(DWORD) + blockSize);
    BYTE* pos = CqzCustComdFileMap::_Serialize(tag, payload.data());
    CqzCustComdFileMap::_Serialize(block.data(), blockSize + static_cast<DWORD>(sizeof(DWORD)), pos);
    return payload;
}

std::vector<BYTE> BuildResultPayload(DWORD pid, DWORD mode, DWORD answer, CqzCustCmdResultClient& client)
{
    std::vector<BYTE> payload(3 * sizeof(DWORD) + CqzCustCmdResultClient::GetBufferSize());
    BYTE* pos = CqzCustComdFileMap::_SerializeRaw(&pid, sizeof(pid), payload.data());
    pos = CqzCustComdFileMap::_SerializeRaw(&mode, sizeof(mode), pos);
    pos = CqzCustComdFileMap::_SerializeRaw(&answer, sizeof(answer), pos);
    DWORD remaining = CqzCustCmdResultClient::GetBufferSize();
    if (!client.ToBuffer(pos, remaining))
        return {};
    return payload;
}

} // namespace qztest
