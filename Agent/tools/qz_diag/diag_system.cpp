// The os and agent commands: the library's OS record, and the agent's
// installation as the launcher and the channel see it. Nothing is sent to
// the agent and nothing is created.
#include "Agent/tools/qz_diag/diag.h"

#include <string>
#include <vector>

#include "common/cust_cmd/cust_cmd.h"
#include "common/security/access_token.h"
#include "common/security/qz_handle.h"
#include "common/security/security.h"
#include "common/util/install_params.h"
#include "common/util/os.h"
#include "common/util/util.h"

namespace qzdiag
{
namespace
{

const wchar_t* const kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qz_agent";
const wchar_t* const kImagePathValue = L"ImagePath";
const wchar_t* const kPolicyValue = L"QzElevateAllowNonAdmin";
const wchar_t* const kCreateGlobalPrivilege = L"SeCreateGlobalPrivilege";

const wchar_t* ProductTypeName(BYTE type)
{
    switch (type)
    {
    case VER_NT_WORKSTATION:
        return L"Workstation";
    case VER_NT_DOMAIN_CONTROLLER:
        return L"Domain Controller";
    case VER_NT_SERVER:
        return L"Server";
    default:
        return L"Unknown";
    }
}

const wchar_t* RegTypeName(DWORD type)
{
    switch (type)
    {
    case REG_SZ:
        return L"REG_SZ";
    case REG_EXPAND_SZ:
        return L"REG_EXPAND_SZ";
    case REG_BINARY:
        return L"REG_BINARY";
    case REG_DWORD:
        return L"REG_DWORD";
    case REG_MULTI_SZ:
        return L"REG_MULTI_SZ";
    case REG_QWORD:
        return L"REG_QWORD";
    default:
        return L"another type";
    }
}

// One registry value as stored, without expansion; at most 64 KB.
LONG ReadValue(const wchar_t* keyPath, const wchar_t* name, DWORD& type, std::vector<BYTE>& data)
{
    CqzScopedRegKey key;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, key.Receive());
    if (result != ERROR_SUCCESS)
        return result;
    DWORD size = 0;
    result = ::RegQueryValueExW(key.Get(), name, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS)
        return result;
    if (size > 65536)
        return ERROR_MORE_DATA;
    data.assign(size + sizeof(wchar_t), 0);
    return ::RegQueryValueExW(key.Get(), name, nullptr, &type, data.data(), &size);
}

void WriteService(CqzTextSink& sink)
{
    const wchar_t* name = SqzProductConstants::AgentServiceName.c_str();
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    CqzScopedServiceHandle service(manager.IsValid() ? ::OpenServiceW(manager.Get(), name, SERVICE_QUERY_STATUS)
                                                     : nullptr);
    if (!service.IsValid())
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            sink.PrintfLine(L"SERVICE %s: not installed", name);
        else
            sink.PrintfLine(L"SERVICE %s: cannot tell, %s", name, ErrorText(error).c_str());
    }
    else
    {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                   sizeof(status), &needed))
            sink.PrintfLine(L"SERVICE %s: installed, %s, %s (pid %u)", name,
                            status.dwCurrentState == SERVICE_RUNNING ? L"running" : L"not running",
                            CqzServiceObjectHandle::GetServiceStateName(status.dwCurrentState),
                            static_cast<unsigned>(status.dwProcessId));
        else
            sink.PrintfLine(L"SERVICE %s: installed, state unknown, %s", name, ErrorText(::GetLastError()).c_str());
    }
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    const LONG result = ReadValue(kServiceKey, kImagePathValue, type, data);
    if (result != ERROR_SUCCESS)
        sink.PrintfLine(L"   IMAGE PATH: %s", result == ERROR_FILE_NOT_FOUND ? L"absent" : ErrorText(result).c_str());
    else if (type != REG_SZ && type != REG_EXPAND_SZ)
        sink.PrintfLine(L"   IMAGE PATH: wrong type (%s)", RegTypeName(type));
    else
        sink.PrintfLine(L"   IMAGE PATH: %s", reinterpret_cast<const wchar_t*>(data.data()));
}

void WriteLauncher(CqzTextSink& sink)
{
    std::wstring dir;
    if (!CqzUtil::GetModuleDir(dir))
    {
        sink.PrintfLine(L"LAUNCHER: cannot tell, %s", ErrorText(::GetLastError()).c_str());
        return;
    }
    const std::wstring launcher = dir + L"\\" + SqzProductConstants::ElevateExeName;
    const DWORD attributes = CqzUtil::GetFileAttributesLongPath(launcher.c_str());
    sink.PrintfLine(L"LAUNCHER: %s (%s)", launcher.c_str(),
                    attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? L"present"
                                                                                                          : L"missing");
    // The launcher's check compares its own directory, which is this one.
    sink.PrintfLine(L"   INSTALLATION CHECK: %s", CqzUtil::IsValidProcessPath() ? L"passed" : L"failed");
}

void WritePolicy(CqzTextSink& sink)
{
    const wchar_t* keyPath = CqzUtil::GetAgentParametersKeyPath();
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    const LONG result = ReadValue(keyPath, kPolicyValue, type, data);
    if (result == ERROR_FILE_NOT_FOUND)
        sink.PrintfLine(L"POLICY %s: absent (non-administrators refused)", kPolicyValue);
    else if (result != ERROR_SUCCESS)
        sink.PrintfLine(L"POLICY %s: cannot read, %s", kPolicyValue, ErrorText(result).c_str());
    else if (type != REG_DWORD || data.size() != sizeof(DWORD) + sizeof(wchar_t))
        sink.PrintfLine(L"POLICY %s: wrong type (%s, %u bytes), counts as absent", kPolicyValue, RegTypeName(type),
                        static_cast<unsigned>(data.size() - sizeof(wchar_t)));
    else
    {
        const DWORD value = *reinterpret_cast<const DWORD*>(data.data());
        sink.PrintfLine(L"POLICY %s: %u (REG_DWORD, non-administrators %s)", kPolicyValue, static_cast<unsigned>(value),
                        value != 0 ? L"allowed" : L"refused");
    }
    sink.PrintfLine(L"   KEY: HKLM\\%s", keyPath);
}

// Whether the effective token holds the privilege, and whether enabled.
bool HoldsPrivilege(const wchar_t* name, bool& enabled, DWORD& error)
{
    enabled = false;
    CqzAccessToken token;
    CqzScopedHeap<BYTE> buffer;
    DWORD size = 0;
    LUID luid = {};
    if (!token.GetEffectiveImpersonationToken() || !token.GetPrivileges(buffer, size))
    {
        error = token.LastError();
        return false;
    }
    error = ERROR_SUCCESS;
    if (!CqzAccessPriveleges::LookupPrivilegeValue(name, luid))
        return false;
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.Get());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
        if (CqzAccessPriveleges::SameLuid(entry.Luid, luid) && (entry.Attributes & SE_PRIVILEGE_REMOVED) == 0)
        {
            enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            return true;
        }
    }
    return false;
}

void WriteChannel(CqzTextSink& sink)
{
    CqzCustCmdMutex mutex;
    if (mutex.Open())
        sink.PrintfLine(L"CHANNEL MUTEX %s: exists", QZ_CIC_MUTEX_NAME);
    else if (::GetLastError() == ERROR_FILE_NOT_FOUND)
        sink.PrintfLine(L"CHANNEL MUTEX %s: absent (the agent service is not running)", QZ_CIC_MUTEX_NAME);
    else
        sink.PrintfLine(L"CHANNEL MUTEX %s: cannot open, %s", QZ_CIC_MUTEX_NAME, ErrorText(::GetLastError()).c_str());

    bool enabled = false;
    DWORD error = ERROR_SUCCESS;
    const bool held = HoldsPrivilege(kCreateGlobalPrivilege, enabled, error);
    if (error != ERROR_SUCCESS)
        sink.PrintfLine(L"CHANNEL SECTION: cannot tell, %s", ErrorText(error).c_str());
    else if (held)
        sink.PrintfLine(L"CHANNEL SECTION %s: this token may create it (%s %s)", QZ_CIC_GLOBAL_SECTION_NAME,
                        kCreateGlobalPrivilege, enabled ? L"enabled" : L"held, enabled when sending");
    else
        sink.PrintfLine(L"CHANNEL SECTION %s: this token may not create it (%s not held); a sender uses %s",
                        QZ_CIC_GLOBAL_SECTION_NAME, kCreateGlobalPrivilege, QZ_CIC_LOCAL_SECTION_NAME);
}

} // namespace

bool RunOs(const Options&, Report& report, Failure& failure)
{
    if (!CqzOperatingSystem::Init())
        return failure.Set(L"cannot read the version record", ::GetLastError());
    CqzTextSink* sink = report.Sink(failure);
    if (sink == nullptr)
        return false;
    const RTL_OSVERSIONINFOEXW& record = CqzOperatingSystem::GetVersionInfo();
    USHORT processMachine = 0;
    CqzOperatingSystem::GetProcessImageType(nullptr, processMachine);
    sink->PrintfLine(L"*** Operating System start ***");
    sink->PrintfLine(L"PRODUCT: %s", CqzOperatingSystem::GetName().c_str());
    sink->PrintfLine(L"VERSION: %u.%u", static_cast<unsigned>(CqzOperatingSystem::GetMajorVersion()),
                     static_cast<unsigned>(CqzOperatingSystem::GetMinorVersion()));
    sink->PrintfLine(L"BUILD: %u", static_cast<unsigned>(CqzOperatingSystem::GetBuildNumber()));
    sink->PrintfLine(L"UBR: %u", static_cast<unsigned>(CqzOperatingSystem::GetUBR()));
    sink->PrintfLine(L"RELEASE ID: %u", static_cast<unsigned>(CqzOperatingSystem::GetReleaseId()));
    sink->PrintfLine(L"SERVICE PACK: %s (%u.%u)", CqzOperatingSystem::GetCSDVersion().c_str(),
                     static_cast<unsigned>(record.wServicePackMajor), static_cast<unsigned>(record.wServicePackMinor));
    sink->PrintfLine(L"SUITES: 0x%.4X", static_cast<unsigned>(record.wSuiteMask));
    if (!CqzOperatingSystem::GetSuiteDescription().empty())
        sink->PrintfLine(L"%s", CqzOperatingSystem::GetSuiteDescription().c_str());
    sink->PrintfLine(L"PRODUCT TYPE: %u (%s)", static_cast<unsigned>(record.wProductType),
                     ProductTypeName(record.wProductType));
    sink->PrintfLine(L"PROCESS MACHINE: %s", MachineName(processMachine).c_str());
    sink->PrintfLine(L"NATIVE MACHINE: %s", MachineName(CqzOperatingSystem::GetNativeOSImageType()).c_str());
    sink->PrintfLine(L"*** Operating System end ***");
    return true;
}

bool RunAgent(const Options&, Report& report, Failure& failure)
{
    CqzTextSink* sink = report.Sink(failure);
    if (sink == nullptr)
        return false;
    sink->PrintfLine(L"*** Agent Check start ***");
    WriteService(*sink);
    WriteLauncher(*sink);
    const std::wstring& guid = CqzAgentInstallParams::GetInstallGuid();
    sink->PrintfLine(L"INSTALL GUID: %s (UpgradeCode %s)", guid.empty() ? L"not found" : guid.c_str(),
                     SqzProductConstants::AgentUpgradeCode.c_str());
    WritePolicy(*sink);
    WriteChannel(*sink);
    sink->PrintfLine(L"*** Agent Check end ***");
    return true;
}

} // namespace qzdiag
