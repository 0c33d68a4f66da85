// CqzProcessHandle: opening, the image path, and the operations that are one
// system call each (identity, user, times, modules, debug state, label).
#include "common/security/security.h"

#include "common/ntapi/ntapi.h"
#include "common/security/access_token.h"
#include "common/security/security_process_internal.h"
#include "common/util/exports.h"
#include "common/util/os.h"
#include "common/util/util.h"
#include "trace/trace.h"

using qzprocess::kClass;
using qzprocess::kNullHandle;

namespace
{

// The first image-path buffer and each step it grows by, in characters.
const DWORD kImagePathChars = 1040;
// Longest path the system can give (the long-path limit).
const DWORD kImagePathMaxChars = 32768 + kImagePathChars;

typedef BOOL(WINAPI* QueryFullProcessImageNameWFn)(HANDLE, DWORD, LPWSTR, PDWORD);

} // namespace

DWORD CqzProcessHandle::GetProcessQueryAccess()
{
    return CqzOperatingSystem::GetMajorVersion() >= 6 ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
}

DWORD CqzProcessHandle::GetThreadQueryAccess()
{
    return CqzOperatingSystem::GetMajorVersion() >= 6 ? THREAD_QUERY_LIMITED_INFORMATION : THREAD_QUERY_INFORMATION;
}

bool CqzProcessHandle::OpenProcess(DWORD access, DWORD pid, bool trace)
{
    QZ_STACK_NAME("OpenProcess", kClass);
    Close();
    m_h = ::OpenProcess(access, FALSE, pid);
    // A successful open leaves no error of its own behind.
    m_dwLastError = m_h != nullptr ? ERROR_SUCCESS : ::GetLastError();
    if (m_h != nullptr)
        return true;
    if (trace)
    {
        if (m_dwLastError == ERROR_INVALID_PARAMETER)
            QZTRACE(QZT_TRACE, kClass,
                    "TRACE: OpenProcess(Access=" << access << ", PID=" << pid << ") returned ERROR_INVALID_PARAMETER");
        else
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: OpenProcess(Access=" << access << ", PID=" << pid
                                                 << ") failed. LastError=" << m_dwLastError);
    }
    return false;
}

bool CqzProcessHandle::GetImagePath(DWORD pid, std::wstring& path)
{
    QZ_STACK_NAME("GetImagePath", kClass);
    if (pid == 0 || pid == 4)
    {
        path = L"System";
        return true;
    }
    if (pid == ::GetCurrentProcessId())
        return CqzUtil::GetModulePath(nullptr, path);

    CqzProcessHandle process;
    if (!process.OpenProcess(GetProcessQueryAccess(), pid, false))
    {
        QZTRACE(QZT_TRACE, kClass, "TRACE: Failed to open process " << pid << ". LastError=" << process.m_dwLastError);
        ::SetLastError(process.m_dwLastError);
        return false;
    }
    const bool ok = CqzOperatingSystem::GetMajorVersion() >= 6 ? process._QueryFullProcessImageName(pid, path)
                                                               : process._GetProcessImageFileName(pid, path);
    ::SetLastError(process.m_dwLastError);
    return ok;
}

bool CqzProcessHandle::_QueryFullProcessImageName(DWORD pid, std::wstring& path)
{
    QZ_STACK_NAME("_QueryFullProcessImageName", kClass);
    // Resolved once: the function exists from Vista on only.
    static const QueryFullProcessImageNameWFn queryFullProcessImageName =
        CqzResolveExport<QueryFullProcessImageNameWFn>(::GetModuleHandleW(L"kernel32.dll"),
                                                       "QueryFullProcessImageNameW");
    m_dwLastError = ERROR_PROC_NOT_FOUND;
    for (DWORD chars = kImagePathChars; queryFullProcessImageName != nullptr && chars <= kImagePathMaxChars;
         chars += kImagePathChars)
    {
        std::wstring buffer(chars, L'\0');
        DWORD size = chars;
        if (queryFullProcessImageName(m_h, 0, &buffer[0], &size))
        {
            m_dwLastError = ERROR_SUCCESS;
            path.assign(buffer.c_str(), size < chars ? size : chars);
            return true;
        }
        m_dwLastError = ::GetLastError();
        if (m_dwLastError != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    if (m_dwLastError == ERROR_INVALID_HANDLE)
        QZTRACE(QZT_TRACE, kClass, "TRACE: QueryFullProcessImageName() returned ERROR_INVALID_HANDLE.");
    else if (m_dwLastError == ERROR_GEN_FAILURE)
        QZTRACE(QZT_TRACE, kClass, "TRACE: QueryFullProcessImageName() returned ERROR_GEN_FAILURE. PID=" << pid);
    else
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: QueryFullProcessImageName() failed. PID=" << pid << ", LastError=" << m_dwLastError);
    return false;
}

bool CqzProcessHandle::_GetProcessImageFileName(DWORD pid, std::wstring& path)
{
    QZ_STACK_NAME("_GetProcessImageFileName", kClass);
    std::wstring devicePath;
    for (DWORD chars = kImagePathChars; chars <= kImagePathMaxChars; chars += kImagePathChars)
    {
        std::wstring buffer(chars, L'\0');
        const DWORD length = ::GetProcessImageFileNameW(m_h, &buffer[0], chars);
        m_dwLastError = length != 0 ? ERROR_SUCCESS : ::GetLastError();
        if (length != 0)
        {
            devicePath.assign(buffer.c_str(), length < chars ? length : chars);
            break;
        }
        if (m_dwLastError != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    if (m_dwLastError != ERROR_SUCCESS)
    {
        if (m_dwLastError == ERROR_INVALID_HANDLE)
            QZTRACE(QZT_TRACE, kClass,
                    "TRACE: GetProcessImageFileName() returned ERROR_INVALID_HANDLE" << m_dwLastError);
        else
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: GetProcessImageFileName() failed. PID=" << pid << ", LastError=" << m_dwLastError);
        return false;
    }
    DevicePathToDrivePath(devicePath, path);
    return true;
}

bool CqzProcessHandle::DevicePathToDrivePath(const std::wstring& devicePath, std::wstring& drivePath)
{
    wchar_t drive[3] = L"A:";
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter)
    {
        drive[0] = letter;
        // A drive can have several targets (a list of strings); the first is
        // the one in use.
        wchar_t target[MAX_PATH + 1] = {};
        if (::QueryDosDeviceW(drive, target, MAX_PATH) == 0)
            continue;
        const size_t length = wcslen(target);
        if (length == 0 || devicePath.size() < length ||
            ::CompareStringOrdinal(devicePath.c_str(), static_cast<int>(length), target, static_cast<int>(length),
                                   TRUE) != CSTR_EQUAL)
            continue;
        // "\Device\HarddiskVolume1" must not match "\Device\HarddiskVolume10\...".
        if (devicePath.size() > length && devicePath[length] != L'\\')
            continue;
        drivePath = std::wstring(drive) + devicePath.substr(length);
        return true;
    }
    drivePath = devicePath;
    return false;
}

DWORD CqzProcessHandle::GetProcessId()
{
    QZ_STACK_NAME("GetProcessId", kClass);
    const DWORD pid = ::GetProcessId(m_h);
    m_dwLastError = pid != 0 ? ERROR_SUCCESS : ::GetLastError();
    if (pid == 0)
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to get PID (m_h=" << m_h << "). LastError=" << m_dwLastError);
    return pid;
}

bool CqzProcessHandle::GetUser(CSid& user)
{
    QZ_STACK_NAME("GetUser", kClass);
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
    CAccessToken token;
    if (!token.GetProcessToken(TOKEN_QUERY, m_h))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: CAccessToken::GetProcessToken failed. LastError=" << m_dwLastError);
        return false;
    }
    if (!token.GetUser(&user))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: CAccessToken::GetUser() failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

namespace
{

// Opens pid for the user and administrator queries, which name the access
// in their failure line.
bool OpenForTokenQuery(CqzProcessHandle& process, DWORD pid)
{
    if (process.OpenProcess(PROCESS_QUERY_INFORMATION, pid, false))
        return true;
    QZTRACE(QZT_ERROR, kClass,
            "ERROR: OpenProcess(PROCESS_QUERY_INFORMATION, " << pid << ") failed. LastError=" << process.LastError());
    ::SetLastError(process.LastError());
    return false;
}

// Opens pid with the query access of the running system.
bool OpenForQuery(CqzProcessHandle& process, DWORD pid, DWORD access)
{
    if (process.OpenProcess(access, pid, false))
        return true;
    QZTRACE(QZT_ERROR, kClass, "ERROR: OpenProcess(" << pid << ") failed. LastError=" << process.LastError());
    ::SetLastError(process.LastError());
    return false;
}

// Runs a member on a handle opened for it and leaves its error as the
// thread's last error.
template <typename Operation>
bool RunAndKeepError(CqzProcessHandle& process, Operation operation)
{
    const bool ok = operation();
    ::SetLastError(process.LastError());
    return ok;
}

} // namespace

bool CqzProcessHandle::GetUser(DWORD pid, CSid& user)
{
    QZ_STACK_NAME("GetUser", kClass);
    CqzProcessHandle process;
    if (!OpenForTokenQuery(process, pid))
        return false;
    return RunAndKeepError(process, [&] { return process.GetUser(user); });
}

bool CqzProcessHandle::ProbeForAdminRights(bool& isAdmin)
{
    QZ_STACK_NAME("ProbeForAdminRights", kClass);
    isAdmin = false;
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
    CqzAccessToken token;
    if (!token.GetProcessToken(TOKEN_QUERY, m_h))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: CAccessToken::GetProcessToken failed. LastError=" << m_dwLastError);
        return false;
    }
    const bool decided = token.IsElevatedAdmin(isAdmin);
    m_dwLastError = token.LastError();
    return decided;
}

bool CqzProcessHandle::ProbeForAdminRights(DWORD pid, bool& isAdmin)
{
    QZ_STACK_NAME("ProbeForAdminRights", kClass);
    isAdmin = false;
    CqzProcessHandle process;
    if (!OpenForTokenQuery(process, pid))
        return false;
    return RunAndKeepError(process, [&] { return process.ProbeForAdminRights(isAdmin); });
}

bool CqzProcessHandle::ProbeForAdminRights(DWORD pid)
{
    bool isAdmin = false;
    return ProbeForAdminRights(pid, isAdmin) && isAdmin;
}

bool CqzProcessHandle::GetCreationTime(ULONGLONG& creationTime)
{
    QZ_STACK_NAME("GetCreationTime", kClass);
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    if (!::GetProcessTimes(m_h, &created, &exited, &kernel, &user))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetProcessTimes failed."
                    << " LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    creationTime = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return true;
}

bool CqzProcessHandle::GetCreationTime(DWORD pid, ULONGLONG& creationTime)
{
    QZ_STACK_NAME("GetCreationTime", kClass);
    CqzProcessHandle process;
    if (!OpenForQuery(process, pid, GetProcessQueryAccess()))
        return false;
    return RunAndKeepError(process, [&] { return process.GetCreationTime(creationTime); });
}

bool CqzProcessHandle::EnumModules(std::vector<HMODULE>& modules)
{
    QZ_STACK_NAME("EnumModules", kClass);
    modules.clear();
    // The list can grow between two calls: ask again with the size the last
    // call needed until it fits.
    DWORD needed = 64 * sizeof(HMODULE);
    for (;;)
    {
        modules.resize(needed / sizeof(HMODULE) + 1);
        const DWORD size = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
        if (!::EnumProcessModules(m_h, modules.data(), size, &needed))
        {
            m_dwLastError = ::GetLastError();
            modules.clear();
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: EnumProcessModules failed."
                        << " LastError=" << m_dwLastError);
            return false;
        }
        if (needed <= size)
            break;
    }
    modules.resize(needed / sizeof(HMODULE));
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzProcessHandle::GetModuleInfo(HMODULE module, MODULEINFO& info)
{
    QZ_STACK_NAME("GetModuleInfo", kClass);
    if (!::GetModuleInformation(m_h, module, &info, sizeof info))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetModuleInformation failed."
                    << " LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzProcessHandle::CheckDebuggerPresent(bool& present)
{
    QZ_STACK_NAME("CheckDebuggerPresent", kClass);
    present = false;
    BOOL attached = FALSE;
    if (!::CheckRemoteDebuggerPresent(m_h, &attached))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: CheckRemoteDebuggerPresent failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    present = attached != FALSE;
    return true;
}

bool CqzProcessHandle::GetDebugPort(ULONG_PTR& debugPort)
{
    QZ_STACK_NAME("GetDebugPort", kClass);
    debugPort = 0;
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
    const NTSTATUS status = CqzNTAPI::NtQueryInformationProcess(m_h, static_cast<PROCESSINFOCLASS>(ProcessDebugPort),
                                                                &debugPort, sizeof debugPort, nullptr);
    if (status < 0)
    {
        m_dwLastError = CqzNTAPI::RtlNtStatusToDosError(status);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CqzNTAPI::NtQueryInformationProcess(ProcessDebugPort) failed. status=" << status);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzProcessHandle::IsBeingDebugged(bool& beingDebugged)
{
    QZ_STACK_NAME("IsBeingDebugged", kClass);
    beingDebugged = false;
    std::vector<BYTE> peb;
    if (!_GetRemotePeb(peb))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: _GetRemotePeb() failed. LastError=" << m_dwLastError);
        return false;
    }
    beingDebugged = peb[PebBeingDebuggedOffset] != 0;
    return true;
}

bool CqzProcessHandle::SetProcessMandatoryLabel(DWORD pid)
{
    QZ_STACK_NAME("SetProcessMandatoryLabel", kClass);
    CqzProcessHandle process;
    if (!process.OpenProcess(ACCESS_SYSTEM_SECURITY | WRITE_OWNER | READ_CONTROL, pid, false))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to open the process (PID=" << pid << ") for ACCESS_SYSTEM_SECURITY");
        ::SetLastError(process.m_dwLastError);
        return false;
    }
    if (!process.SetMediumIntegrity(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP))
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Failed to set Medium Mandatory Level to the process (PID=" << pid << "). LastError="
                                                                                   << process.m_dwLastError);
        ::SetLastError(process.m_dwLastError);
        return false;
    }
    return true;
}
