// The service dump, its name tables and the service DLL of a shared-process
// service.
#include "common/security/qz_handle.h"
#include "common/security/qz_handle_dump_internal.h"
#include "common/security/security.h"
#include "common/util/util.h"

#include "trace/trace.h"

#include <cwchar>
#include <vector>

namespace
{

const char* const kServiceClass = "CqzServiceObjectHandle";

// "ServiceDll" is read into this many characters.
const DWORD kServiceDllChars = 1040;

const wchar_t* const kServiceStateNames[] = {
    L"STOPPED",          // 1
    L"START_PENDING",    // 2
    L"STOP_PENDING",     // 3
    L"RUNNING",          // 4
    L"CONTINUE_PENDING", // 5
    L"PAUSE_PENDING",    // 6
    L"PAUSED",           // 7
};

const wchar_t* const kStartTypeNames[] = {
    L"BOOT_START",   // 0
    L"SYSTEM_START", // 1
    L"AUTO_START",   // 2
    L"DEMAND_START", // 3
    L"DISABLED",     // 4
};

const qzdump::FlagName kServiceTypeNames[] = {
    {SERVICE_KERNEL_DRIVER, L"KERNEL_DRIVER"},
    {SERVICE_FILE_SYSTEM_DRIVER, L"FILE_SYSTEM_DRIVER"},
    {SERVICE_ADAPTER, L"ADAPTER"},
    {SERVICE_RECOGNIZER_DRIVER, L"RECOGNIZER_DRIVER"},
    {SERVICE_WIN32_OWN_PROCESS, L"WIN32_OWN_PROCESS"},
    {SERVICE_WIN32_SHARE_PROCESS, L"WIN32_SHARE_PROCESS"},
    {SERVICE_INTERACTIVE_PROCESS, L"INTERACTIVE_PROCESS"},
};

const wchar_t* OrEmpty(const wchar_t* text)
{
    return text != nullptr ? text : L"";
}

// QueryServiceConfigW into a block of the size it asks for. False with the
// error as the thread's last error.
bool QueryConfig(SC_HANDLE service, std::vector<BYTE>& block)
{
    DWORD needed = 0;
    if (::QueryServiceConfigW(service, nullptr, 0, &needed) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    if (needed < sizeof(QUERY_SERVICE_CONFIGW))
    {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    block.assign(needed, 0);
    return ::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block.data()), needed, &needed) !=
           FALSE;
}

// The configuration lines; exists is cleared when the manager does not know
// the service.
void DumpConfig(SC_HANDLE manager, const wchar_t* name, CqzTextSink& sink, bool& exists)
{
    exists = true;
    CqzScopedServiceHandle service(::OpenServiceW(manager, name, SERVICE_QUERY_CONFIG));
    if (!service.IsValid())
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
        {
            exists = false;
            sink.PrintfLine(L"\r\nERROR: Service [%s] doesn't exist\r\n", name);
        }
        else
        {
            sink.PrintfLine(L"\r\nERROR: OpenService([%s], SERVICE_QUERY_CONFIG) failed. Error=%d\r\n", name,
                            static_cast<int>(error));
        }
        return;
    }
    std::vector<BYTE> block;
    if (!QueryConfig(service.Get(), block))
    {
        sink.PrintfLine(L"\r\nERROR: QueryServiceConfig([%s]) failed. Error=%d\r\n", name,
                        static_cast<int>(::GetLastError()));
        return;
    }
    const QUERY_SERVICE_CONFIGW& config = *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(block.data());
    sink.PrintfLine(L"DISPLAY NAME: %s", OrEmpty(config.lpDisplayName));
    sink.PrintfLine(L"   SERVICE TYPE: 0x%.8X (%s)", static_cast<unsigned>(config.dwServiceType),
                    CqzServiceObjectHandle::GetServiceTypeString(config.dwServiceType).c_str());
    sink.PrintfLine(L"   START TYPE: 0x%.8X (%s)", static_cast<unsigned>(config.dwStartType),
                    CqzServiceObjectHandle::GetStartTypeName(config.dwStartType));
    sink.PrintfLine(L"   BINARY PATH NAME: %s", OrEmpty(config.lpBinaryPathName));
    sink.PrintfLine(L"   START NAME (USER): %s", OrEmpty(config.lpServiceStartName));
}

void DumpStatus(SC_HANDLE manager, const wchar_t* name, CqzTextSink& sink)
{
    CqzScopedServiceHandle service(::OpenServiceW(manager, name, SERVICE_QUERY_STATUS));
    if (!service.IsValid())
    {
        sink.PrintfLine(L"\r\nERROR: OpenService([%s], SERVICE_QUERY_STATUS) failed. Error=%d\r\n", name,
                        static_cast<int>(::GetLastError()));
        return;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed))
    {
        sink.PrintfLine(L"\r\nERROR: QueryServiceStatusEx([%s], SC_STATUS_PROCESS_INFO) failed. Error=%d\r\n", name,
                        static_cast<int>(::GetLastError()));
        return;
    }
    sink.PrintfLine(L"   CURRENT STATE: 0x%.8X (%s)", static_cast<unsigned>(status.dwCurrentState),
                    CqzServiceObjectHandle::GetServiceStateName(status.dwCurrentState));
    sink.PrintfLine(L"   SERVICE FLAGS: 0x%.8X", static_cast<unsigned>(status.dwServiceFlags));
    sink.PrintfLine(L"   CONTROLS ACCEPTED: 0x%.8X", static_cast<unsigned>(status.dwControlsAccepted));
    sink.PrintfLine(L"   PID: %d", static_cast<int>(status.dwProcessId));
    if (status.dwProcessId == 0)
        return;
    std::wstring imagePath;
    if (CqzProcessHandle::GetImagePath(status.dwProcessId, imagePath))
        sink.PrintfLine(L"   PROCESS PATH: %s", imagePath.c_str());
    else
        sink.PrintfLine(L"   PROCESS PATH: <ERROR>");
}

void DumpSecurity(SC_HANDLE manager, const wchar_t* name, CqzTextSink& sink)
{
    CqzScopedServiceHandle service(::OpenServiceW(manager, name, READ_CONTROL | ACCESS_SYSTEM_SECURITY));
    if (!service.IsValid())
    {
        sink.PrintfLine(L"\r\nERROR: OpenService([%s], READ_CONTROL | ACCESS_SYSTEM_SECURITY) failed. Error=%d\r\n",
                        name, static_cast<int>(::GetLastError()));
        return;
    }
    sink.PrintfLine(L"\r\nSECURITY");
    CqzServiceObjectHandle handle(service.Get());
    handle.DumpInfo(sink);
}

} // namespace

const wchar_t* CqzServiceObjectHandle::GetServiceStateName(DWORD state)
{
    const size_t count = sizeof(kServiceStateNames) / sizeof(kServiceStateNames[0]);
    if (state < 1 || state > count)
        return L"Unknown";
    return kServiceStateNames[state - 1];
}

const wchar_t* CqzServiceObjectHandle::GetStartTypeName(DWORD startType)
{
    const size_t count = sizeof(kStartTypeNames) / sizeof(kStartTypeNames[0]);
    if (startType >= count)
        return L"Unknown";
    return kStartTypeNames[startType];
}

std::wstring CqzServiceObjectHandle::GetServiceTypeString(DWORD serviceType)
{
    return qzdump::JoinFlagNames(serviceType, kServiceTypeNames,
                                 sizeof(kServiceTypeNames) / sizeof(kServiceTypeNames[0]));
}

bool CqzServiceObjectHandle::_GetServiceDll(const wchar_t* serviceName, std::wstring& path)
{
    QZ_STACK_NAME("_GetServiceDll", kServiceClass);
    path.clear();
    const std::wstring keyPath =
        std::wstring(L"SYSTEM\\CurrentControlSet\\services\\") + OrEmpty(serviceName) + L"\\Parameters";
    CqzScopedRegKey key;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.Receive());
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kServiceClass, "ERROR: Failed to open [HKLM\\" << keyPath << "]. Error=" << result);
        ::SetLastError(static_cast<DWORD>(result));
        return false;
    }
    // One character more than the value may fill: the text always ends.
    std::vector<wchar_t> value(kServiceDllChars + 1, L'\0');
    DWORD type = REG_NONE;
    DWORD bytes = kServiceDllChars * sizeof(wchar_t);
    result =
        ::RegQueryValueExW(key.Get(), L"ServiceDll", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes);
    if (result == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)
        result = ERROR_INVALID_DATA;
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kServiceClass,
                "ERROR: Failed to query ServiceDll value under [HKLM\\" << keyPath << "]. Error=" << result);
        ::SetLastError(static_cast<DWORD>(result));
        return false;
    }
    value[bytes / sizeof(wchar_t)] = L'\0';
    return CqzUtil::ExpandEnvStrings(value.data(), path);
}

void CqzServiceObjectHandle::Dump(const wchar_t* serviceName, const wchar_t* dumpPath)
{
    QZ_STACK_NAME("Dump", kServiceClass);
    qzdump::CqzDumpFile file(dumpPath, kServiceClass);
    if (!file.IsOpen())
        return;
    CqzTextSink& sink = file.Sink();
    const wchar_t* name = OrEmpty(serviceName);
    sink.PrintfLine(L"*** Service Info start ***\r\n\r\nNAME: %s", name);
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!manager.IsValid())
    {
        sink.PrintfLine(L"\r\nERROR: Failed to open service manager. Error=%d\r\n", static_cast<int>(::GetLastError()));
    }
    else
    {
        bool exists = true;
        DumpConfig(manager.Get(), name, sink, exists);
        if (exists)
        {
            DumpStatus(manager.Get(), name, sink);
            std::wstring serviceDll;
            if (_GetServiceDll(name, serviceDll))
                sink.PrintfLine(L"   SERVICE DLL: %s", serviceDll.c_str());
            else
                sink.PrintfLine(L"   SERVICE DLL: <ERROR>");
            DumpSecurity(manager.Get(), name, sink);
        }
    }
    sink.PrintfLine(L"\r\n*** Service Info end ***\r\n");
}
