#include "common/security/access_token.h"

#include <aclapi.h>
#include <winsafer.h>

#include <cstring>
#include <new>

#include "common/atl/atl_handle.h"
#include "common/ntapi/ntapi.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

namespace
{
const char* const kClass = "CqzAccessToken";

// One row of the administrator privilege table.
struct AdminPrivilegeRow
{
    const wchar_t* name;
    DWORD fromMajorVersion;
    bool counts;
};

// Privileges an administrator's token holds. Rows that do not count are
// listed for the token report; a NULL name ends the table.
const AdminPrivilegeRow kAdminPrivileges[] = {
    {L"SeBackupPrivilege", 5, true},
    {L"SeChangeNotifyPrivilege", 5, true},
    {L"SeCreateGlobalPrivilege", 5, true},
    {L"SeCreatePagefilePrivilege", 5, true},
    {L"SeDebugPrivilege", 5, false},
    {L"SeImpersonatePrivilege", 5, true},
    {L"SeIncreaseBasePriorityPrivilege", 5, true},
    {L"SeIncreaseQuotaPrivilege", 5, true},
    {L"SeLoadDriverPrivilege", 5, true},
    {L"SeManageVolumePrivilege", 5, true},
    {L"SeProfileSingleProcessPrivilege", 5, true},
    {L"SeRemoteShutdownPrivilege", 5, true},
    {L"SeRestorePrivilege", 5, true},
    {L"SeSecurityPrivilege", 5, true},
    {L"SeShutdownPrivilege", 5, true},
    {L"SeSystemEnvironmentPrivilege", 5, true},
    {L"SeSystemProfilePrivilege", 5, true},
    {L"SeSystemtimePrivilege", 5, true},
    {L"SeTakeOwnershipPrivilege", 5, true},
    {L"SeUndockPrivilege", 5, true},
    {L"SeCreateSymbolicLinkPrivilege", 6, true},
    {L"SeIncreaseWorkingSetPrivilege", 6, true},
    {L"SeTimeZonePrivilege", 6, true},
    {L"SeDelegateSessionUserImpersonatePrivilege", 10, false},
    {nullptr, 0, false},
};

const wchar_t* const kTokenInformationClassNames[] = {
    L"TokenUser",
    L"TokenGroups",
    L"TokenPrivileges",
    L"TokenOwner",
    L"TokenPrimaryGroup",
    L"TokenDefaultDacl",
    L"TokenSource",
    L"TokenType",
    L"TokenImpersonationLevel",
    L"TokenStatistics",
    L"TokenRestrictedSids",
    L"TokenSessionId",
    L"TokenGroupsAndPrivileges",
    L"TokenSessionReference",
    L"TokenSandBoxInert",
    L"TokenAuditPolicy",
    L"TokenOrigin",
    L"TokenElevationType",
    L"TokenLinkedToken",
    L"TokenElevation",
    L"TokenHasRestrictions",
    L"TokenAccessInformation",
    L"TokenVirtualizationAllowed",
    L"TokenVirtualizationEnabled",
    L"TokenIntegrityLevel",
    L"TokenUIAccess",
    L"TokenMandatoryPolicy",
    L"TokenLogonSid",
    L"TokenIsAppContainer",
    L"TokenCapabilities",
    L"TokenAppContainerSid",
    L"TokenAppContainerNumber",
    L"TokenUserClaimAttributes",
    L"TokenDeviceClaimAttributes",
    L"TokenRestrictedUserClaimAttributes",
    L"TokenRestrictedDeviceClaimAttributes",
    L"TokenDeviceGroups",
    L"TokenRestrictedDeviceGroups",
    L"TokenSecurityAttributes",
    L"TokenIsRestricted",
};

const DWORD kSaferLevel = SAFER_LEVELID_NORMALUSER; // 0x20000, traced as 131072

bool IsVistaOrLater()
{
    return CqzOperatingSystem::GetMajorVersion() >= 6;
}

// S-1-5-32-<rid>.
CSid BuiltinGroupSid(DWORD rid)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    SID_IDENTIFIER_AUTHORITY authority = {SECURITY_NT_AUTHORITY};
    CSid sid;
    if (::InitializeSid(buffer, &authority, 2))
    {
        *::GetSidSubAuthority(buffer, 0) = SECURITY_BUILTIN_DOMAIN_RID;
        *::GetSidSubAuthority(buffer, 1) = rid;
        sid.LoadAccount(static_cast<PSID>(buffer));
    }
    return sid;
}

// S-1-16-<rid>.
CSid IntegrityLabelSid(DWORD rid)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    SID_IDENTIFIER_AUTHORITY authority = {SECURITY_MANDATORY_LABEL_AUTHORITY};
    CSid sid;
    if (::InitializeSid(buffer, &authority, 1))
    {
        *::GetSidSubAuthority(buffer, 0) = rid;
        sid.LoadAccount(static_cast<PSID>(buffer));
    }
    return sid;
}

// S-1-5-21-a-b-c-500: the built-in Administrator account of a domain
// (WinAccountAdministratorSid).
bool IsBuiltinAdministratorAccount(const CSid& sid)
{
    const SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    const SID_IDENTIFIER_AUTHORITY* authority = sid.GetPSID_IDENTIFIER_AUTHORITY();
    return authority != nullptr && std::memcmp(authority, &nt, sizeof(nt)) == 0 && sid.GetSubAuthorityCount() == 5 &&
           sid.GetSubAuthority(0) == SECURITY_NT_NON_UNIQUE && sid.GetSubAuthority(4) == DOMAIN_USER_RID_ADMIN;
}

bool SameLuid(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

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
    const DWORD access = IsVistaOrLater() ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
    CHandle parent(::OpenProcess(access, FALSE, candidate));
    if (parent.m_h != nullptr)
    {
        FILETIME parentTimes[4] = {};
        FILETIME ownTimes[4] = {};
        if (::GetProcessTimes(parent, &parentTimes[0], &parentTimes[1], &parentTimes[2], &parentTimes[3]) &&
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

typedef BOOL(WINAPI* CheckTokenMembershipExFn)(HANDLE, PSID, DWORD, PBOOL);
typedef LONG(WINAPI* GetApplicationUserModelIdFromTokenFn)(HANDLE, UINT32*, PWSTR);

template <typename Function>
Function ResolveKernel32(const char* name)
{
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(kernel32, name)));
}

// Resolved once; absent before Windows 8.
CheckTokenMembershipExFn GetCheckTokenMembershipEx()
{
    static const CheckTokenMembershipExFn function =
        ResolveKernel32<CheckTokenMembershipExFn>("CheckTokenMembershipEx");
    return function;
}

GetApplicationUserModelIdFromTokenFn GetGetApplicationUserModelIdFromToken()
{
    static const GetApplicationUserModelIdFromTokenFn function =
        ResolveKernel32<GetApplicationUserModelIdFromTokenFn>("GetApplicationUserModelIdFromToken");
    return function;
}

struct SaferLevelTraits
{
    using Type = SAFER_LEVEL_HANDLE;
    static SAFER_LEVEL_HANDLE Empty() { return nullptr; }
    static bool IsValid(SAFER_LEVEL_HANDLE level) { return level != nullptr; }
    static void Close(SAFER_LEVEL_HANDLE level) { ::SaferCloseLevel(level); }
};
using ScopedSaferLevel = CqzScoped<SaferLevelTraits>;
} // namespace

// ---------------------------------------------------------------------------
// Borrowed handles
// ---------------------------------------------------------------------------

template <typename Operation>
bool CqzAccessToken::_OnBorrowedHandle(HANDLE hToken, Operation operation)
{
    CqzAccessToken token;
    token.m_hToken = hToken;
    const bool result = operation(token);
    // The caller's handle stays open.
    token.m_hToken = nullptr;
    ::SetLastError(token.m_dwLastError);
    return result;
}

bool CqzAccessToken::GetTokenInformationFixed(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, void* buffer,
                                              DWORD size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token)
                             { return token.GetTokenInformationFixed(infoClass, buffer, size); });
}

bool CqzAccessToken::GetTokenInformationAlloc(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, CqzHeapBlock& buffer,
                                              DWORD& size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token)
                             { return token.GetTokenInformationAlloc(infoClass, buffer, size); });
}

bool CqzAccessToken::SetTokenInformationValue(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, const void* buffer,
                                              DWORD size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token)
                             { return token.SetTokenInformationValue(infoClass, buffer, size); });
}

bool CqzAccessToken::GetIntegrityLevel(HANDLE hToken, CSid& label)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetIntegrityLevel(label); });
}

bool CqzAccessToken::GetIntegrityLevelRid(HANDLE hToken, DWORD& rid)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetIntegrityLevelRid(rid); });
}

bool CqzAccessToken::GetElevationType(HANDLE hToken, TOKEN_ELEVATION_TYPE& type)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetElevationType(type); });
}

bool CqzAccessToken::IsElevated(HANDLE hToken, bool& elevated)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.IsElevated(elevated); });
}

bool CqzAccessToken::GetGroupAttributes(HANDLE hToken, const CSid& sid, DWORD& attributes)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetGroupAttributes(sid, attributes); });
}

bool CqzAccessToken::GetPrivileges(HANDLE hToken, CqzHeapBlock& buffer, DWORD& size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetPrivileges(buffer, size); });
}

bool CqzAccessToken::HasAllAdminPrivileges(HANDLE hToken)
{
    return _OnBorrowedHandle(hToken, [](CqzAccessToken& token) { return token.HasAllAdminPrivileges(); });
}

bool CqzAccessToken::IsElevatedAdmin(HANDLE hToken, bool& isAdmin)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.IsElevatedAdmin(isAdmin); });
}

bool CqzAccessToken::IsElevatedAdmin(HANDLE hToken)
{
    return _OnBorrowedHandle(hToken, [](CqzAccessToken& token) { return token.IsElevatedAdmin(); });
}

bool CqzAccessToken::IsLinkedAdmin(HANDLE hToken)
{
    return _OnBorrowedHandle(hToken, [](CqzAccessToken& token) { return token.IsLinkedAdmin(); });
}

bool CqzAccessToken::IsElevatedOrLinkedAdmin(HANDLE hToken)
{
    return _OnBorrowedHandle(hToken, [](CqzAccessToken& token) { return token.IsElevatedOrLinkedAdmin(); });
}

// ---------------------------------------------------------------------------
// Core operations
// ---------------------------------------------------------------------------

bool CqzAccessToken::GetTokenInformationFixed(TOKEN_INFORMATION_CLASS infoClass, void* buffer, DWORD size)
{
    DWORD returned = 0;
    ::SetLastError(ERROR_SUCCESS);
    const BOOL ok = ::GetTokenInformation(m_hToken, infoClass, buffer, size, &returned);
    m_dwLastError = ::GetLastError();
    if (ok)
        return true;
    QZ_STACK_NAME("GetTokenInformationFixed", kClass);
    if (m_dwLastError == ERROR_INSUFFICIENT_BUFFER)
    {
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ") Insufficient buffer size " << size
                                              << ", required size " << returned);
    }
    else if (m_dwLastError == ERROR_NO_SUCH_LOGON_SESSION && infoClass == TokenLinkedToken)
    {
        QZTRACE(QZT_DEBUG, kClass,
                "INFO: GetTokenInformation(TokenLinkedToken) failed. LastError=ERROR_NO_SUCH_LOGON_SESSION.");
    }
    else
    {
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ") failed. LastError=" << m_dwLastError);
    }
    return false;
}

bool CqzAccessToken::GetTokenInformationAlloc(TOKEN_INFORMATION_CLASS infoClass, CqzHeapBlock& buffer, DWORD& size)
{
    buffer.reset();
    size = 0;
    if (m_hToken == nullptr)
    {
        QZ_STACK_NAME("GetTokenInformationAlloc", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: m_hToken is NULL");
        m_dwLastError = ERROR_INVALID_HANDLE;
        return false;
    }

    DWORD length = 0;
    ::SetLastError(ERROR_SUCCESS);
    ::GetTokenInformation(m_hToken, infoClass, nullptr, 0, &length);
    DWORD error = ::GetLastError();
    m_lastNtStatus = CqzNTAPI::RtlGetLastNtStatus();
    m_dwLastError = error;
    if (m_dwLastError != ERROR_INSUFFICIENT_BUFFER)
    {
        QZ_STACK_NAME("GetTokenInformationAlloc", kClass);
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ", NULL) failed. LastError=" << m_dwLastError);
        return false;
    }
    if (length == 0)
    {
        QZ_STACK_NAME("GetTokenInformationAlloc", kClass);
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetTokenInformation(" << className << ", NULL) returned zero size.");
        return false;
    }

    CqzHeapBlock block(static_cast<BYTE*>(std::malloc(length)));
    if (!block)
    {
        QZ_STACK_NAME("GetTokenInformationAlloc", kClass);
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: AllocTokenInformation(" << length << ") failed. TokenInformationClass=" << className);
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    std::memset(block.get(), 0, length);

    // One second call: a token that grew in between fails the operation.
    DWORD returned = 0;
    ::SetLastError(ERROR_SUCCESS);
    const BOOL ok = ::GetTokenInformation(m_hToken, infoClass, block.get(), length, &returned);
    error = ::GetLastError();
    m_lastNtStatus = CqzNTAPI::RtlGetLastNtStatus();
    m_dwLastError = error;
    if (!ok)
    {
        QZ_STACK_NAME("GetTokenInformationAlloc", kClass);
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ", " << length
                                              << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    buffer = std::move(block);
    size = returned;
    return true;
}

bool CqzAccessToken::SetTokenInformationValue(TOKEN_INFORMATION_CLASS infoClass, const void* buffer, DWORD size)
{
    ::SetLastError(ERROR_SUCCESS);
    const BOOL ok = ::SetTokenInformation(m_hToken, infoClass, const_cast<void*>(buffer), size);
    const DWORD error = ::GetLastError();
    m_lastNtStatus = CqzNTAPI::RtlGetLastNtStatus();
    m_dwLastError = ok ? ERROR_SUCCESS : error;
    if (ok)
        return true;
    QZ_STACK_NAME("SetTokenInformationValue", kClass);
    const wchar_t* className = GetTokenInformationClassName(infoClass);
    QZTRACE(QZT_ERROR, kClass, "ERROR: SetTokenInformation(" << className << ") failed. LastError=" << m_dwLastError);
    return false;
}

bool CqzAccessToken::GetIntegrityLevel(CSid& label)
{
    if (!_RequireVista())
        return false;
    m_dwLastError = ERROR_SUCCESS;
    CqzHeapBlock block;
    DWORD size = 0;
    if (!GetTokenInformationAlloc(TokenIntegrityLevel, block, size))
        return false;
    const auto* mandatoryLabel = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(block.get());
    if (size < sizeof(TOKEN_MANDATORY_LABEL) || mandatoryLabel->Label.Sid == nullptr)
    {
        QZ_STACK_NAME("GetIntegrityLevel", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: TOKEN_MANDATORY_LABEL contains NULL Sid pointer.");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    if (!label.LoadAccount(mandatoryLabel->Label.Sid))
    {
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    return true;
}

bool CqzAccessToken::GetIntegrityLevelRid(DWORD& rid)
{
    m_dwLastError = ERROR_SUCCESS;
    CqzSid label;
    if (!GetIntegrityLevel(label))
        return false;
    if (!label.IsValidIntegrityLevelSid(rid))
    {
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    return true;
}

bool CqzAccessToken::GetElevationType(TOKEN_ELEVATION_TYPE& type)
{
    if (!_RequireVista())
        return false;
    DWORD value = 0;
    if (!GetTokenInformationFixed(TokenElevationType, &value, sizeof(value)))
        return false;
    type = static_cast<TOKEN_ELEVATION_TYPE>(value);
    return true;
}

bool CqzAccessToken::IsElevated(bool& elevated)
{
    if (!_RequireVista())
        return false;
    DWORD value = 0;
    if (!GetTokenInformationFixed(TokenElevation, &value, sizeof(value)))
        return false;
    elevated = value != 0;
    return true;
}

bool CqzAccessToken::GetLinkedToken(CAccessToken& linkedToken)
{
    if (!_RequireVista())
        return false;
    // A token of type Default is not split: it has no linked token.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    if (GetElevationType(type) && type == TokenElevationTypeDefault)
        return false;
    HANDLE hLinked = nullptr;
    if (!GetTokenInformationFixed(TokenLinkedToken, &hLinked, sizeof(hLinked)))
        return false;
    linkedToken.Attach(hLinked);
    return true;
}

bool CqzAccessToken::GetGroupAttributes(const CSid& sid, DWORD& attributes)
{
    attributes = 0;
    if (!sid.IsValid())
    {
        m_dwLastError = ERROR_INVALID_SID;
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid Sid parameter");
        return false;
    }
    if (m_hToken == nullptr)
    {
        m_dwLastError = ERROR_INVALID_HANDLE;
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Token is NULL");
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    CTokenGroups groups;
    std::vector<CSid> sids;
    std::vector<DWORD> groupAttributes;
    if (!GetGroups(&groups) || !groups.GetSidsAndAttributes(&sids, &groupAttributes))
    {
        m_dwLastError = ::GetLastError();
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetGroups() gailed. LastError=" << m_dwLastError);
        return false;
    }
    if (sids.size() != groupAttributes.size())
    {
        m_dwLastError = ERROR_INVALID_DATA;
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetSidsAndAttributes returned inconsistent results. SidsCount="
                    << static_cast<unsigned long>(sids.size())
                    << ", AttrCount=" << static_cast<unsigned long>(groupAttributes.size()));
        return false;
    }
    for (size_t i = 0; i < sids.size(); ++i)
    {
        if (sids[i].IsValid() && ::EqualSid(sids[i].GetPSID(), sid.GetPSID()))
        {
            attributes = groupAttributes[i];
            return true;
        }
    }
    return false;
}

bool CqzAccessToken::GetPrivileges(CqzHeapBlock& buffer, DWORD& size)
{
    // A count and room for 51 entries; larger lists are read at their size.
    const DWORD kInitialSize = 616;
    buffer.reset();
    size = 0;
    CqzHeapBlock block(static_cast<BYTE*>(std::malloc(kInitialSize)));
    if (!block)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        ::SetLastError(m_dwLastError);
        return false;
    }
    reinterpret_cast<TOKEN_PRIVILEGES*>(block.get())->PrivilegeCount = 0;
    DWORD returned = 0;
    ::SetLastError(ERROR_SUCCESS);
    BOOL ok = ::GetTokenInformation(m_hToken, TokenPrivileges, block.get(), kInitialSize, &returned);
    DWORD error = ::GetLastError();
    if (!ok && error == ERROR_INSUFFICIENT_BUFFER && returned > kInitialSize)
    {
        const DWORD length = returned;
        block.reset(static_cast<BYTE*>(std::malloc(length)));
        if (!block)
        {
            m_dwLastError = ERROR_OUTOFMEMORY;
            ::SetLastError(m_dwLastError);
            return false;
        }
        std::memset(block.get(), 0, length);
        ::SetLastError(ERROR_SUCCESS);
        ok = ::GetTokenInformation(m_hToken, TokenPrivileges, block.get(), length, &returned);
        error = ::GetLastError();
    }
    if (!ok)
    {
        m_dwLastError = error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
        ::SetLastError(m_dwLastError);
        return false;
    }
    // The count must fit the bytes the system returned.
    const DWORD count = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.get())->PrivilegeCount;
    if (returned < sizeof(DWORD) || count > (returned - sizeof(DWORD)) / sizeof(LUID_AND_ATTRIBUTES))
    {
        m_dwLastError = ERROR_INVALID_DATA;
        ::SetLastError(m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    buffer = std::move(block);
    size = returned;
    return true;
}

bool CqzAccessToken::HasAllAdminPrivileges()
{
    m_dwLastError = ERROR_SUCCESS;
    CqzHeapBlock block;
    DWORD size = 0;
    if (!GetPrivileges(block, size))
    {
        m_dwLastError = ::GetLastError();
        QZ_STACK_NAME("HasAllAdminPrivileges", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetPrivileges() failed. LastError=" << m_dwLastError);
        return false;
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.get());
    const LUID_AND_ATTRIBUTES* entries = privileges->Privileges;
    const DWORD major = CqzOperatingSystem::GetMajorVersion();
    int rowsChecked = 0;
    for (const AdminPrivilegeRow* row = kAdminPrivileges; row->name != nullptr; ++row)
    {
        if (!row->counts || row->fromMajorVersion > major)
            continue;
        LUID luid = {};
        if (!CqzAccessPriveleges::LookupPrivilegeValue(row->name, luid))
        {
            const DWORD error = ::GetLastError();
            // A privilege the system does not have cannot be held by any
            // token. Any other lookup failure leaves the question open, and
            // an open question is a no.
            if (error == ERROR_NO_SUCH_PRIVILEGE)
                continue;
            m_dwLastError = error;
            QZ_STACK_NAME("HasAllAdminPrivileges", kClass);
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: LookupPrivilegeValue(" << row->name << ") failed. LastError=" << m_dwLastError);
            return false;
        }
        if (privileges->PrivilegeCount == 0)
            return false;
        bool held = false;
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
        {
            if (SameLuid(entries[i].Luid, luid))
            {
                held = (entries[i].Attributes & SE_PRIVILEGE_REMOVED) == 0;
                break;
            }
        }
        if (!held)
            return false;
        ++rowsChecked;
    }
    // A test that checked nothing is no pass: with the version unreadable
    // (major 0) no row applies, and the answer must not turn into a yes.
    if (rowsChecked == 0)
    {
        m_dwLastError = ERROR_NOT_SUPPORTED;
        return false;
    }
    return true;
}

bool CqzAccessToken::IsElevatedAdmin(bool& isAdmin)
{
    m_dwLastError = ERROR_SUCCESS;
    isAdmin = false;

    // BUILTIN\Administrators, enabled and not deny-only.
    DWORD attributes = 0;
    const CSid administrators = BuiltinGroupSid(DOMAIN_ALIAS_RID_ADMINS);
    if (!GetGroupAttributes(administrators, attributes) || (attributes & SE_GROUP_ENABLED) == 0 ||
        (attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0)
        return true;

    if (!HasAllAdminPrivileges())
        return true;

    if (!IsVistaOrLater())
    {
        isAdmin = true;
        return true;
    }

    bool elevated = false;
    if (!IsElevated(elevated) || !elevated)
        return true;

    // Only the two types of an unfiltered token pass; Limited, and anything
    // the system might report beyond the three known types, do not.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeLimited;
    if (!GetElevationType(type) || (type != TokenElevationTypeDefault && type != TokenElevationTypeFull))
        return true;

    DWORD rid = 0;
    if (!GetIntegrityLevelRid(rid))
    {
        QZ_STACK_NAME("IsElevatedAdmin", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to get integrity level. LastError=" << m_dwLastError);
        return false;
    }
    if (rid < SECURITY_MANDATORY_HIGH_RID)
        return true;

    isAdmin = true;
    return true;
}

bool CqzAccessToken::IsElevatedAdmin()
{
    bool isAdmin = false;
    return IsElevatedAdmin(isAdmin) && isAdmin;
}

bool CqzAccessToken::IsLinkedAdmin()
{
    if (!IsVistaOrLater())
        return false;
    CqzAccessToken linked;
    if (!GetLinkedToken(linked))
        return false;
    return linked.IsElevatedAdmin();
}

bool CqzAccessToken::IsElevatedOrLinkedAdmin()
{
    return IsElevatedAdmin() || IsLinkedAdmin();
}

// ---------------------------------------------------------------------------
// Other operations
// ---------------------------------------------------------------------------

bool CqzAccessToken::EnablePrivilege(int privilegeIndex)
{
    const wchar_t* name = CqzAccessPriveleges::GetPrivilegeName(privilegeIndex);
    if (name == nullptr)
    {
        m_dwLastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    bool notAllAssigned = false;
    const bool adjusted = CAccessToken::EnablePrivilege(name, nullptr, &notAllAssigned);
    // A token that lacks the privilege has not had it enabled.
    if (!adjusted || notAllAssigned)
    {
        m_dwLastError = adjusted ? ERROR_NOT_ALL_ASSIGNED : ::GetLastError();
        QZ_STACK_NAME("EnablePrivilege", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivilege(" << name << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::EnablePrivileges(const std::vector<std::wstring>& privilegeNames, CTokenPrivileges* pPreviousState)
{
    QZ_STACK_NAME("EnablePrivileges", kClass);
    if (pPreviousState != nullptr)
        pPreviousState->Clear();
    m_dwLastError = ERROR_SUCCESS;
    bool allKnown = true;
    CTokenPrivileges request;
    for (const std::wstring& name : privilegeNames)
    {
        LUID luid = {};
        if (!CqzAccessPriveleges::LookupPrivilegeValue(name.c_str(), luid) || !request.Add(luid, SE_PRIVILEGE_ENABLED))
        {
            m_dwLastError = ::GetLastError();
            QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to enable privilege:" << name << ". LastError=" << m_dwLastError);
            allKnown = false;
        }
    }
    if (request.GetCount() == 0)
        return allKnown;

    std::vector<BYTE> block;
    std::vector<BYTE> previous;
    try
    {
        if (!request.GetTokenPrivilegesBlock(block))
            throw std::bad_alloc();
        previous.assign(block.size(), 0);
    }
    catch (const std::bad_alloc&)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivileges failed. LastError=" << m_dwLastError);
        return false;
    }
    DWORD previousLength = 0;
    const bool wantPrevious = pPreviousState != nullptr;
    if (!::AdjustTokenPrivileges(m_hToken, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(block.data()),
                                 wantPrevious ? static_cast<DWORD>(previous.size()) : 0,
                                 wantPrevious ? reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()) : nullptr,
                                 wantPrevious ? &previousLength : nullptr))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivileges failed. LastError=" << m_dwLastError);
        return false;
    }
    const DWORD adjustError = ::GetLastError();
    if (wantPrevious)
        pPreviousState->LoadFromTokenPrivileges(reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()),
                                                static_cast<DWORD>(previous.size()));
    if (adjustError == ERROR_NOT_ALL_ASSIGNED)
    {
        m_dwLastError = ERROR_NOT_ALL_ASSIGNED;
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivileges failed. LastError=" << m_dwLastError);
        return false;
    }
    return allKnown;
}

bool CqzAccessToken::PrivilegeCheck(const wchar_t* privilegeName, bool& held)
{
    QZ_STACK_NAME("PrivilegeCheck", kClass);
    LUID luid = {};
    if (!CqzAccessPriveleges::LookupPrivilegeValue(privilegeName, luid))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: LookupPrivilegeValue(" << (privilegeName != nullptr ? privilegeName : L"")
                                               << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    PRIVILEGE_SET set = {};
    set.PrivilegeCount = 1;
    set.Control = PRIVILEGE_SET_ALL_NECESSARY;
    set.Privilege[0].Luid = luid;
    set.Privilege[0].Attributes = 0;
    BOOL result = FALSE;
    if (!::PrivilegeCheck(m_hToken, &set, &result))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: PrivilegeCheck(" << privilegeName << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    held = result != FALSE;
    return true;
}

bool CqzAccessToken::PrivilegeCheck(int privilegeIndex, bool& held)
{
    const wchar_t* name = CqzAccessPriveleges::GetPrivilegeName(privilegeIndex);
    if (name == nullptr)
    {
        m_dwLastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    return PrivilegeCheck(name, held);
}

bool CqzAccessToken::OpenThreadTokenByThreadId(DWORD threadId, DWORD desiredAccess, bool openAsSelf)
{
    QZ_STACK_NAME("OpenThreadTokenByThreadId", kClass);
    const DWORD access = IsVistaOrLater() ? THREAD_QUERY_LIMITED_INFORMATION : THREAD_QUERY_INFORMATION;
    CHandle thread(::OpenThread(access, FALSE, threadId));
    if (thread.m_h == nullptr)
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: OpenThread failed. LastError=" << m_dwLastError);
        return false;
    }
    if (!GetThreadToken(desiredAccess, thread, openAsSelf))
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
    const DWORD access = IsVistaOrLater() ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION;
    CHandle process(::OpenProcess(access, FALSE, processId));
    if (process.m_h == nullptr)
    {
        m_dwLastError = ::GetLastError();
        // No such process.
        if (m_dwLastError == ERROR_INVALID_PARAMETER)
            return false;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: OpenProcess(" << pidLabel << processId << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    if (!GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE, process))
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

bool CqzAccessToken::_RequireVista()
{
    if (IsVistaOrLater())
        return true;
    m_dwLastError = ERROR_NOT_SUPPORTED;
    return false;
}

bool CqzAccessToken::_RequireToken(const char* nullMessage)
{
    if (m_hToken != nullptr)
        return true;
    QZTRACE(QZT_ERROR, kClass, nullMessage);
    m_dwLastError = ERROR_INVALID_HANDLE;
    return false;
}

bool CqzAccessToken::_RequireValidSid(const CSid& sid)
{
    if (sid.IsValid())
        return true;
    QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid Sid parameter");
    m_dwLastError = ERROR_INVALID_SID;
    return false;
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

bool CqzAccessToken::CheckMembership(const CSid& sid, DWORD flags, bool& isMember)
{
    QZ_STACK_NAME("CheckMembership", kClass);
    m_dwLastError = ERROR_SUCCESS;
    if (!_RequireValidSid(sid))
        return false;
    // The check needs an impersonation token; a primary token (which has no
    // impersonation level) is duplicated first.
    HANDLE hCheck = m_hToken;
    CHandle impersonation;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD returned = 0;
    BOOL ok = TRUE;
    if (!::GetTokenInformation(m_hToken, TokenImpersonationLevel, &level, sizeof(level), &returned))
    {
        HANDLE hDuplicate = nullptr;
        ok = ::DuplicateToken(m_hToken, SecurityImpersonation, &hDuplicate);
        impersonation.Attach(hDuplicate);
        hCheck = hDuplicate;
    }
    BOOL member = FALSE;
    if (ok)
    {
        const DWORD major = CqzOperatingSystem::GetMajorVersion();
        const bool win8 = major > 6 || (major == 6 && CqzOperatingSystem::GetMinorVersion() >= 2);
        if (win8)
        {
            CheckTokenMembershipExFn checkEx = GetCheckTokenMembershipEx();
            if (checkEx != nullptr)
                ok = checkEx(hCheck, sid.GetPSID(), flags, &member);
            else
            {
                ::SetLastError(ERROR_PROC_NOT_FOUND);
                ok = FALSE;
            }
        }
        else
        {
            ok = ::CheckTokenMembership(hCheck, sid.GetPSID(), &member);
        }
    }
    if (!ok)
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CreateImpersonationToken() or CheckTokenMembership() failed. LastError=" << m_dwLastError);
        return false;
    }
    isMember = member != FALSE;
    return true;
}

bool CqzAccessToken::CheckLinkedTokenMembership(const CSid& sid, DWORD flags, bool& isMember)
{
    CqzAccessToken linked;
    if (!GetLinkedToken(linked))
        return false;
    const bool ok = linked.CheckMembership(sid, flags, isMember);
    m_dwLastError = linked.m_dwLastError;
    return ok;
}

bool CqzAccessToken::IsIntegrityLevelAtLeast(DWORD rid)
{
    DWORD own = 0;
    return GetIntegrityLevelRid(own) && own >= rid;
}

bool CqzAccessToken::IsIntegrityLevelAbove(DWORD rid)
{
    DWORD own = 0;
    return GetIntegrityLevelRid(own) && own > rid;
}

bool CqzAccessToken::IsElevationType(TOKEN_ELEVATION_TYPE type)
{
    TOKEN_ELEVATION_TYPE own = TokenElevationTypeDefault;
    return GetElevationType(own) && own == type;
}

bool CqzAccessToken::IsGroupEnabled(const CSid& sid)
{
    DWORD attributes = 0;
    return GetGroupAttributes(sid, attributes) && (attributes & SE_GROUP_ENABLED) != 0 &&
           (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
}

bool CqzAccessToken::IsAdministratorsGroupEnabled()
{
    return IsGroupEnabled(BuiltinGroupSid(DOMAIN_ALIAS_RID_ADMINS));
}

bool CqzAccessToken::IsPowerUsersGroupEnabled()
{
    return IsGroupEnabled(BuiltinGroupSid(DOMAIN_ALIAS_RID_POWER_USERS));
}

bool CqzAccessToken::GetSessionId(DWORD& sessionId)
{
    return GetTokenInformationFixed(TokenSessionId, &sessionId, sizeof(sessionId));
}

bool CqzAccessToken::GetOrigin(LUID& origin)
{
    TOKEN_ORIGIN value = {};
    if (!GetTokenInformationFixed(TokenOrigin, &value, sizeof(value)))
        return false;
    origin = value.OriginatingLogonSession;
    return true;
}

bool CqzAccessToken::GetMandatoryPolicy(DWORD& policy)
{
    if (!IsVistaOrLater())
    {
        policy = 0;
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    TOKEN_MANDATORY_POLICY value = {};
    if (!GetTokenInformationFixed(TokenMandatoryPolicy, &value, sizeof(value)))
        return false;
    policy = value.Policy;
    return true;
}

bool CqzAccessToken::GetUIAccess(bool& uiAccess)
{
    DWORD value = 0;
    if (!GetTokenInformationFixed(TokenUIAccess, &value, sizeof(value)))
        return false;
    uiAccess = value != 0;
    return true;
}

bool CqzAccessToken::SetUIAccess(bool uiAccess)
{
    DWORD value = uiAccess ? 1 : 0;
    return SetTokenInformationValue(TokenUIAccess, &value, sizeof(value));
}

bool CqzAccessToken::SetSessionId(DWORD sessionId)
{
    return SetTokenInformationValue(TokenSessionId, &sessionId, sizeof(sessionId));
}

bool CqzAccessToken::SetSessionIdFromToken(CqzAccessToken& source)
{
    DWORD sessionId = 0;
    if (!source.GetSessionId(sessionId))
    {
        m_dwLastError = source.m_dwLastError;
        return false;
    }
    return SetSessionId(sessionId);
}

bool CqzAccessToken::SetOrigin(const LUID& origin)
{
    TOKEN_ORIGIN value = {};
    value.OriginatingLogonSession = origin;
    return SetTokenInformationValue(TokenOrigin, &value, sizeof(value));
}

bool CqzAccessToken::SetMandatoryPolicy(DWORD policy)
{
    if (!IsVistaOrLater())
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    TOKEN_MANDATORY_POLICY value = {policy};
    return SetTokenInformationValue(TokenMandatoryPolicy, &value, sizeof(value));
}

bool CqzAccessToken::SetIntegrityLevel(const CSid& label)
{
    if (!IsVistaOrLater())
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    if (!label.IsValid())
    {
        m_dwLastError = ERROR_INVALID_SID;
        QZ_STACK_NAME("SetIntegrityLevel", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid Sid parameter");
        return false;
    }
    TOKEN_MANDATORY_LABEL value = {};
    value.Label.Sid = label.GetPSID();
    value.Label.Attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
    return SetTokenInformationValue(TokenIntegrityLevel, &value, sizeof(value) + label.GetLength());
}

bool CqzAccessToken::SetIntegrityLevelRid(DWORD rid)
{
    return SetIntegrityLevel(IntegrityLabelSid(rid));
}

bool CqzAccessToken::SetMediumIntegrityLevel()
{
    return SetIntegrityLevelRid(SECURITY_MANDATORY_MEDIUM_RID);
}

bool CqzAccessToken::GetAppContainerSid(CSid& sid)
{
    CqzHeapBlock block;
    DWORD size = 0;
    if (!GetTokenInformationAlloc(TokenAppContainerSid, block, size))
        return false;
    const auto* info = reinterpret_cast<const TOKEN_APPCONTAINER_INFORMATION*>(block.get());
    // Not an app container: no SID.
    if (size < sizeof(TOKEN_APPCONTAINER_INFORMATION) || info->TokenAppContainer == nullptr)
    {
        sid.Clear();
        return true;
    }
    if (!sid.LoadAccount(info->TokenAppContainer))
    {
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    return true;
}

bool CqzAccessToken::GetCapabilities(CTokenGroups& capabilities)
{
    CqzHeapBlock block;
    DWORD size = 0;
    if (!GetTokenInformationAlloc(TokenCapabilities, block, size))
        return false;
    if (!capabilities.LoadFromTokenGroups(reinterpret_cast<const TOKEN_GROUPS*>(block.get()), size))
    {
        m_dwLastError = ::GetLastError();
        return false;
    }
    return true;
}

bool CqzAccessToken::GetLogonIdSids(std::vector<CSid>& sids)
{
    QZ_STACK_NAME("GetLogonIdSids", kClass);
    sids.clear();
    CTokenGroups groups;
    if (!GetGroups(&groups))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetGroups() failed. LastError=" << m_dwLastError);
        return false;
    }
    std::vector<CSid> groupSids;
    std::vector<DWORD> attributes;
    if (!groups.GetSidsAndAttributes(&groupSids, &attributes) || groupSids.size() != attributes.size())
    {
        m_dwLastError = ERROR_INVALID_DATA;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetSidsAndAttributes() returned inconsistent results. SidsCount"
                    << static_cast<unsigned long>(groupSids.size())
                    << ", AttrCount=" << static_cast<unsigned long>(attributes.size()));
        return false;
    }
    try
    {
        for (size_t i = 0; i < groupSids.size(); ++i)
        {
            if ((attributes[i] & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID)
                sids.push_back(groupSids[i]);
        }
    }
    catch (const std::bad_alloc&)
    {
        sids.clear();
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::GetLogonIdSid(CSid& sid)
{
    std::vector<CSid> sids;
    if (!GetLogonIdSids(sids))
        return false;
    if (sids.empty())
    {
        m_dwLastError = ERROR_NOT_FOUND;
        return false;
    }
    sid = sids.front();
    return true;
}

bool CqzAccessToken::GetDomainUserName(std::wstring& name)
{
    QZ_STACK_NAME("GetDomainUserName", kClass);
    if (!_RequireToken("ERROR: m_hToken is NULL"))
        return false;
    CSid user;
    if (!GetUser(&user))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetUser() failed. LastError=" << m_dwLastError);
        return false;
    }
    // A user the system cannot name is as useless here as an invalid SID.
    if (!user.IsValid() || user.AccountName().empty())
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid SID");
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    try
    {
        if (user.Domain().empty())
            name = user.AccountName();
        else
            name = user.Domain() + L"\\" + user.AccountName();
    }
    catch (const std::bad_alloc&)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::GetEffectiveDomainUserName(std::wstring& name)
{
    CqzAccessToken token;
    if (!token.GetEffectiveToken(TOKEN_QUERY))
    {
        const DWORD error = ::GetLastError();
        QZ_STACK_NAME("GetDomainUserName", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetEffectiveToken failed. LastError=" << error);
        return false;
    }
    const bool ok = token.GetDomainUserName(name);
    ::SetLastError(token.m_dwLastError);
    return ok;
}

bool CqzAccessToken::GetCurrentProcessUser(CSid& user)
{
    QZ_STACK_NAME("GetCurrentProcessUser", kClass);
    CAccessToken token;
    if (!token.GetProcessToken(TOKEN_QUERY))
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Failed to get current process token."
                    << " LastError=" << ::GetLastError());
        return false;
    }
    if (!token.GetUser(&user))
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CAccessToken::GetUser() failed."
                    << " LastError=" << ::GetLastError());
        return false;
    }
    return true;
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
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetThreadToken failed."
                    << " LastError=" << m_dwLastError);
        return false;
    }
    CAccessToken process;
    if (!process.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetProcessToken failed."
                    << " LastError=" << m_dwLastError);
        return false;
    }
    HANDLE hImpersonation = nullptr;
    if (!::DuplicateToken(process.GetHandle(), SecurityImpersonation, &hImpersonation))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CreateImpersonationToken failed."
                    << " LastError=" << m_dwLastError);
        return false;
    }
    Attach(hImpersonation);
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::IsUACEnabled()
{
    if (!IsVistaOrLater())
        return false;
    DWORD value = 0;
    if (CqzOperatingSystem::GetSystemPolicyParameter(L"EnableLUA", value) && value == 0)
        return false;
    if (CqzOperatingSystem::GetSystemPolicyParameter(L"FilterAdministratorToken", value) && value != 0)
        return true;
    CSid user;
    if (!GetUser(&user))
    {
        m_dwLastError = ::GetLastError();
        QZ_STACK_NAME("IsUACEnabled", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to get token user. LastError=" << m_dwLastError);
        return true;
    }
    // The built-in Administrator account runs unfiltered unless the policy
    // above says otherwise.
    return !IsBuiltinAdministratorAccount(user);
}

bool CqzAccessToken::GetSaferToken(CAccessToken& saferToken)
{
    QZ_STACK_NAME("GetSaferToken", kClass);
    ScopedSaferLevel level;
    if (!::SaferCreateLevel(SAFER_SCOPEID_USER, kSaferLevel, SAFER_LEVEL_OPEN, level.Receive(), nullptr))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: SaferCreateLevel(" << static_cast<unsigned long>(kSaferLevel) << ") failed."
                                           << " LastError=" << m_dwLastError);
        return false;
    }
    HANDLE hComputed = nullptr;
    if (!::SaferComputeTokenFromLevel(level.Get(), m_hToken, &hComputed, 0, nullptr))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: SaferComputeTokenFromLevel(" << static_cast<unsigned long>(kSaferLevel) << ") failed."
                                                     << " LastError=" << m_dwLastError);
        return false;
    }
    CqzAccessToken computed;
    computed.Attach(hComputed);
    if (IsVistaOrLater() && !computed.SetIntegrityLevelRid(SECURITY_MANDATORY_MEDIUM_RID))
    {
        // A normal-user token left at the caller's integrity is not handed out.
        m_dwLastError = computed.m_dwLastError;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: SetIntegrityLevelRid(" << static_cast<unsigned long>(SECURITY_MANDATORY_MEDIUM_RID)
                                               << ") failed.");
        return false;
    }
    saferToken.Attach(computed.Detach());
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::GetApplicationUserModelId(std::wstring& appUserModelId)
{
    QZ_STACK_NAME("GetApplicationUserModelId", kClass);
    GetApplicationUserModelIdFromTokenFn function = GetGetApplicationUserModelIdFromToken();
    LONG res = ERROR_PROC_NOT_FOUND;
    if (function != nullptr)
    {
        UINT32 length = 0;
        res = function(m_hToken, &length, nullptr);
        if (res == ERROR_INSUFFICIENT_BUFFER && length > 0)
        {
            try
            {
                std::vector<wchar_t> buffer(length + 1, L'\0');
                res = function(m_hToken, &length, buffer.data());
                if (res == ERROR_SUCCESS)
                    appUserModelId.assign(buffer.data());
            }
            catch (const std::bad_alloc&)
            {
                res = ERROR_OUTOFMEMORY;
            }
        }
    }
    m_dwLastError = static_cast<DWORD>(res);
    if (res != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetApplicationUserModelIdFromToken failed. Res=" << res);
        return false;
    }
    return true;
}

bool CqzAccessToken::GetUserLocaleLanguage(std::wstring& language)
{
    QZ_STACK_NAME("GetUserLocaleLanguage", kClass);
    CqzImpersonateAndRevert impersonation(m_hToken);
    if (!impersonation.IsImpersonating())
    {
        m_dwLastError = impersonation.LastError();
        return false;
    }
    wchar_t name[16] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, name, 16) == 0)
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetUserDefaultLocaleName(LOCALE_SISO639LANGNAME)."
                    << " LastError=" << m_dwLastError);
        return false;
    }
    try
    {
        language.assign(name);
    }
    catch (const std::bad_alloc&)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

// ---------------------------------------------------------------------------
// Security of the token object
// ---------------------------------------------------------------------------

bool CqzAccessToken::GetSecurity(SECURITY_INFORMATION flags, CqzLocalBlock& descriptor)
{
    QZ_STACK_NAME("GetSecurity", kClass);
    descriptor.reset();
    if (!_RequireToken("ERROR: m_hToken is NULL"))
        return false;
    DWORD size = 1024;
    CqzLocalBlock block(::LocalAlloc(LPTR, size));
    if (!block)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    DWORD needed = 0;
    BOOL ok = ::GetKernelObjectSecurity(m_hToken, flags, block.get(), size, &needed);
    m_dwLastError = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!ok && m_dwLastError == ERROR_INSUFFICIENT_BUFFER && needed > size)
    {
        size = needed;
        block.reset(::LocalAlloc(LPTR, size));
        if (!block)
        {
            m_dwLastError = ERROR_OUTOFMEMORY;
            return false;
        }
        ok = ::GetKernelObjectSecurity(m_hToken, flags, block.get(), size, &needed);
        m_dwLastError = ok ? ERROR_SUCCESS : ::GetLastError();
    }
    if (!ok)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetKernelObjectSecurity(" << static_cast<unsigned long>(flags)
                                                  << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    descriptor = std::move(block);
    return true;
}

bool CqzAccessToken::SetSecurity(SECURITY_INFORMATION flags, PSECURITY_DESCRIPTOR descriptor)
{
    QZ_STACK_NAME("SetSecurity", kClass);
    if (!_RequireToken("ERROR: m_hToken is NULL"))
        return false;
    if (!::SetKernelObjectSecurity(m_hToken, flags, descriptor))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: SetKernelObjectSecurity(" << static_cast<unsigned long>(flags)
                                                  << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::CopySecurityFrom(CqzAccessToken& source)
{
    QZ_STACK_NAME("CopySecurityFrom", kClass);
    const SECURITY_INFORMATION flags = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
    CqzLocalBlock descriptor;
    if (!source.GetSecurity(flags, descriptor))
    {
        m_dwLastError = source.m_dwLastError;
        QZTRACE(QZT_ERROR, kClass, "ERROR: srcToken.GetSecurity() failed");
        return false;
    }
    if (!SetSecurity(flags, descriptor.get()))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: this->SetSecurity() failed");
        return false;
    }
    return true;
}

bool CqzAccessToken::SetDacl(PACL dacl)
{
    QZ_STACK_NAME("SetDacl", kClass);
    if (!_RequireToken("ERROR: Token is NULL"))
        return false;
    const DWORD result =
        ::SetSecurityInfo(m_hToken, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    m_dwLastError = result;
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: ::SetSecurityInfo(" << static_cast<unsigned long>(DACL_SECURITY_INFORMATION)
                                            << ") failed. Error=" << result);
        return false;
    }
    return true;
}

bool CqzAccessToken::GetMandatoryLabel(CSid& label)
{
    QZ_STACK_NAME("GetMandatoryLabel", kClass);
    if (!_RequireVista())
        return false;
    if (!_RequireToken("ERROR: m_hToken is NULL"))
        return false;
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    const DWORD result = ::GetSecurityInfo(m_hToken, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                                           nullptr, &sacl, &rawDescriptor);
    CqzLocalBlock descriptor(rawDescriptor);
    m_dwLastError = result;
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: ::GetSecurityInfo(" << static_cast<unsigned long>(LABEL_SECURITY_INFORMATION)
                                            << ") failed. Error=" << result);
        return false;
    }
    ACL_SIZE_INFORMATION sizeInfo = {};
    if (sacl == nullptr || !::GetAclInformation(sacl, &sizeInfo, sizeof(sizeInfo), AclSizeInformation))
    {
        m_dwLastError = sacl == nullptr ? ERROR_NOT_FOUND : ::GetLastError();
        return false;
    }
    for (DWORD i = 0; i < sizeInfo.AceCount; ++i)
    {
        void* ace = nullptr;
        if (!::GetAce(sacl, i, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            continue;
        auto* labelAce = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
        if (label.LoadAccount(static_cast<PSID>(&labelAce->SidStart)))
        {
            m_dwLastError = ERROR_SUCCESS;
            return true;
        }
    }
    m_dwLastError = ERROR_NOT_FOUND;
    return false;
}

bool CqzAccessToken::GetMandatoryLabelRid(DWORD& rid)
{
    CqzSid label;
    if (!GetMandatoryLabel(label))
        return false;
    if (!label.IsValidIntegrityLevelSid(rid))
    {
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    return true;
}

bool CqzAccessToken::SetMandatoryLabel(const CSid& label, DWORD policy)
{
    QZ_STACK_NAME("SetMandatoryLabel", kClass);
    if (!IsVistaOrLater())
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    if (!_RequireToken("ERROR: Token is NULL"))
        return false;
    if (!_RequireValidSid(label))
        return false;
    const DWORD aclSize = sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + label.GetLength();
    std::vector<BYTE> acl;
    try
    {
        acl.assign(aclSize, 0);
    }
    catch (const std::bad_alloc&)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    PACL sacl = reinterpret_cast<PACL>(acl.data());
    if (!::InitializeAcl(sacl, aclSize, ACL_REVISION) ||
        !::AddMandatoryAce(sacl, ACL_REVISION, 0, policy, label.GetPSID()))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Failed to set mandatory label"
                    << " LastError=" << m_dwLastError);
        return false;
    }
    const DWORD result =
        ::SetSecurityInfo(m_hToken, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, sacl);
    m_dwLastError = result;
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: ::SetSecurityInfo(" << static_cast<unsigned long>(LABEL_SECURITY_INFORMATION)
                                            << ") failed. Error=" << result);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to set mandatory label");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Name tables
// ---------------------------------------------------------------------------

const wchar_t* CqzAccessToken::GetTokenInformationClassName(int infoClass)
{
    const int count = static_cast<int>(sizeof(kTokenInformationClassNames) / sizeof(kTokenInformationClassNames[0]));
    if (infoClass < 1 || infoClass > count)
    {
        QZ_STACK_NAME("GetTokenInformationClassName", kClass);
        QZTRACE(QZT_WARNING, kClass,
                "WARNING: Unknown TOKEN_INFORMATION_CLASS value: " << static_cast<long>(infoClass));
        return L"Unknown";
    }
    return kTokenInformationClassNames[infoClass - 1];
}

const wchar_t* CqzAccessToken::GetElevationTypeName(int elevationType)
{
    switch (elevationType)
    {
    case TokenElevationTypeDefault:
        return L"TokenElevationTypeDefault";
    case TokenElevationTypeFull:
        return L"TokenElevationTypeFull";
    case TokenElevationTypeLimited:
        return L"TokenElevationTypeLimited";
    default:
        break;
    }
    QZ_STACK_NAME("GetElevationTypeName", kClass);
    QZTRACE(QZT_WARNING, kClass, "WARNING: Unknown TOKEN_ELEVATION_TYPE value: " << static_cast<long>(elevationType));
    return L"Unknown";
}

// ---------------------------------------------------------------------------
// Impersonation scopes
// ---------------------------------------------------------------------------

CqzImpersonateAndRevert::CqzImpersonateAndRevert(HANDLE hToken)
    : CqzImpersonateAndRevert(hToken, "CqzImpersonateAndRevert", "ERROR: ImpersonateLoggedOnUser() failed.")
{
}

CqzImpersonateAndRevert::CqzImpersonateAndRevert(HANDLE hToken, const char* className, const char* failureMessage)
{
    // The previous thread token is recorded first: a thread whose token
    // could not be put back is not made to impersonate at all.
    if (hToken == nullptr)
    {
        ::SetLastError(ERROR_INVALID_HANDLE);
    }
    else if (m_revert.CapturePrevious() && ::ImpersonateLoggedOnUser(hToken))
    {
        m_revert.SetPending();
        return;
    }
    m_dwLastError = ::GetLastError();
    QZ_STACK_NAME("CqzImpersonateAndRevert", className);
    QZTRACE(QZT_ERROR, className, failureMessage << " LastError=" << m_dwLastError);
}

CqzImpersonateAndRevert::~CqzImpersonateAndRevert()
{
    Revert();
}

bool CqzImpersonateAndRevert::Revert()
{
    if (!m_revert.IsPending())
        return true;
    if (m_revert.Revert())
        return true;
    m_dwLastError = ::GetLastError();
    QZ_STACK_NAME("Revert", "CqzImpersonateAndRevert");
    QZTRACE(QZT_ERROR, "CqzImpersonateAndRevert",
            "ERROR: Failed to restore the previous thread token. LastError=" << m_dwLastError);
    return false;
}

CqzImpersonateToAccessFile::CqzImpersonateToAccessFile(HANDLE hUserToken)
    : CqzImpersonateAndRevert(hUserToken, "CqzImpersonateToAccessFile",
                              "ERROR: Failed to impersonate user to access file")
{
}
