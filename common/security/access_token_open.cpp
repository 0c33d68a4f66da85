// Opening tokens by thread or process id, impersonating them, duplicating
// them, and the calling thread's effective impersonation token.
#include "common/security/access_token.h"

#include "common/ntapi/ntapi.h"
#include "common/security/access_token_internal.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

namespace
{
// Parent of the current process. The recorded parent id may meanwhile
// belong to an unrelated process that reused it; a process created after
// this one cannot be its parent and is refused.
bool GetParentProcessId(DWORD& parentId)
{
    PROCESS_BASIC_INFORMATION info = {};
    ULONG returned = 0;
    const NTSTATUS status = CqzNTAPI::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &info,
                                                                sizeof(info), &returned);
    if (status < 0 || info.InheritedFromUniqueProcessId == 0)
    {
        ::SetLastError(status < 0 ? CqzNTAPI::RtlNtStatusToDosError(status) : ERROR_NOT_FOUND);
        return false;
    }
    const DWORD candidate = static_cast<DWORD>(info.InheritedFromUniqueProcessId);
    const DWORD access =
        CqzOperatingSystem::IsVistaOrLater() ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
    CqzScopedHandle parent(::OpenProcess(access, FALSE, candidate));
    if (parent.IsValid())
    {
        FILETIME parentTimes[4] = {};
        FILETIME ownTimes[4] = {};
        if (::GetProcessTimes(parent.Get(), &parentTimes[0], &parentTimes[1], &parentTimes[2], &parentTimes[3]) &&
            ::GetProcessTimes(::GetCurrentProcess(), &ownTimes[0], &ownTimes[1], &ownTimes[2], &ownTimes[3]) &&
            ::CompareFileTime(&parentTimes[0], &ownTimes[0]) > 0)
        {
            ::SetLastError(ERROR_NOT_FOUND);
            return false;
        }
    }
    parentId = candidate;
    return true;
}
} // namespace

bool CqzAccessToken::OpenThreadTokenByThreadId(DWORD threadId, DWORD desiredAccess, bool openAsSelf)
{
    QZ_STACK_NAME("OpenThreadTokenByThreadId", kClass);
    const DWORD access =
        CqzOperatingSystem::IsVistaOrLater() ? THREAD_QUERY_LIMITED_INFORMATION : THREAD_QUERY_INFORMATION;
    CqzScopedHandle thread(::OpenThread(access, FALSE, threadId));
    if (!thread.IsValid())
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: OpenThread failed. LastError=" << m_dwLastError);
        return false;
    }
    if (!GetThreadToken(desiredAccess, thread.Get(), openAsSelf))
    {
        m_dwLastError = ::GetLastError();
        if (m_dwLastError != ERROR_NO_TOKEN)
            QZTRACE(QZT_ERROR, kClass, "ERROR: CAccessToken::GetThreadToken failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::_OpenProcessTokenById(DWORD processId, const char* pidLabel)
{
    QZ_STACK_NAME("OpenProcessTokenByProcessId", kClass);
    const DWORD access =
        CqzOperatingSystem::IsVistaOrLater() ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
    CqzScopedHandle process(::OpenProcess(access, FALSE, processId));
    if (!process.IsValid())
    {
        m_dwLastError = ::GetLastError();
        // No such process.
        if (m_dwLastError == ERROR_INVALID_PARAMETER)
            return false;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: OpenProcess(" << pidLabel << processId << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    if (!GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE, process.Get()))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CAccessToken::GetProcessToken(" << pidLabel << processId
                                                        << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::OpenProcessTokenByProcessId(DWORD processId)
{
    return _OpenProcessTokenById(processId, "pid=");
}

bool CqzAccessToken::OpenParentProcessToken()
{
    DWORD parentId = 0;
    if (!GetParentProcessId(parentId))
    {
        m_dwLastError = ::GetLastError();
        QZ_STACK_NAME("OpenParentProcessToken", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to get parent process PID");
        return false;
    }
    return _OpenProcessTokenById(parentId, "parentPid=");
}

bool CqzAccessToken::_ImpersonateOpenedToken(DWORD processId, bool parent)
{
    if (!Impersonate())
    {
        m_dwLastError = ::GetLastError();
        QZ_STACK_NAME(parent ? "OpenParentProcessTokenAndImpersonate" : "OpenProcessTokenAndImpersonate", kClass);
        if (parent)
            QZTRACE(QZT_INFO, kClass, "INFO: Cannot impersonate parent process user. LastError=" << m_dwLastError);
        else
            QZTRACE(QZT_INFO, kClass,
                    "INFO: Cannot impersonate process (" << processId << ") user. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::OpenProcessTokenAndImpersonate(DWORD processId)
{
    return OpenProcessTokenByProcessId(processId) && _ImpersonateOpenedToken(processId, false);
}

bool CqzAccessToken::OpenParentProcessTokenAndImpersonate()
{
    return OpenParentProcessToken() && _ImpersonateOpenedToken(0, true);
}

template <typename DuplicateCall>
bool CqzAccessToken::_DuplicateInto(CAccessToken& duplicatedToken, const char* failureMessage,
                                    DuplicateCall duplicateCall)
{
    if (!_RequireToken("ERROR: m_hToken is NULL"))
        return false;
    if (duplicatedToken.GetHandle() != nullptr)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: duplicatedToken must be NULL");
        m_dwLastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    HANDLE hDuplicate = nullptr;
    if (!duplicateCall(&hDuplicate))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, failureMessage << m_dwLastError);
        return false;
    }
    duplicatedToken.Attach(hDuplicate);
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::Duplicate(CAccessToken& duplicatedToken, SECURITY_IMPERSONATION_LEVEL level)
{
    QZ_STACK_NAME("Duplicate", kClass);
    return _DuplicateInto(duplicatedToken, "ERROR: DuplicateToken() failed. LastError=",
                          [&](HANDLE* hDuplicate) { return ::DuplicateToken(m_hToken, level, hDuplicate); });
}

bool CqzAccessToken::DuplicateEx(CAccessToken& duplicatedToken, DWORD desiredAccess, SECURITY_IMPERSONATION_LEVEL level,
                                 TOKEN_TYPE tokenType, SECURITY_ATTRIBUTES* attributes)
{
    QZ_STACK_NAME("DuplicateEx", kClass);
    return _DuplicateInto(
        duplicatedToken, "ERROR: DuplicateTokenEx() failed. LastError=",
        [&](HANDLE* hDuplicate)
        { return ::DuplicateTokenEx(m_hToken, desiredAccess, attributes, level, tokenType, hDuplicate); });
}

bool CqzAccessToken::GetEffectiveImpersonationToken()
{
    QZ_STACK_NAME("GetEffectiveImpersonationToken", kClass);
    if (GetThreadToken(TOKEN_QUERY, nullptr, true))
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    m_dwLastError = ::GetLastError();
    if (m_dwLastError != ERROR_NO_TOKEN)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetThreadToken failed.");
        return false;
    }
    CAccessToken process;
    if (!process.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetProcessToken failed.");
        return false;
    }
    HANDLE hImpersonation = nullptr;
    if (!::DuplicateToken(process.GetHandle(), SecurityImpersonation, &hImpersonation))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: CreateImpersonationToken failed.");
        return false;
    }
    Attach(hImpersonation);
    m_dwLastError = ERROR_SUCCESS;
    return true;
}
