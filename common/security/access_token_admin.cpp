// The administrator decision: group, privileges, elevation, integrity.
// Fails closed: every failure inside it is a "no", apart from an unreadable
// integrity level, which gives no decision at all.
#include "common/security/access_token.h"

#include "common/security/access_token_internal.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

using qzaccesstoken::BuiltinGroupSid;
using qzaccesstoken::kClass;

namespace
{
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
} // namespace

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

bool CqzAccessToken::HasAllAdminPrivileges()
{
    m_dwLastError = ERROR_SUCCESS;
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!GetPrivileges(block, size))
    {
        m_dwLastError = ::GetLastError();
        QZ_STACK_NAME("HasAllAdminPrivileges", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetPrivileges() failed. LastError=" << m_dwLastError);
        return false;
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.Get());
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
            if (CqzAccessPriveleges::SameLuid(entries[i].Luid, luid))
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

    if (!CqzOperatingSystem::IsVistaOrLater())
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
    if (!CqzOperatingSystem::IsVistaOrLater())
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
