// Membership: access-check membership, group and integrity tests, logon
// SIDs.
#include "common/security/access_token.h"

#include <new>

#include "common/security/access_token_internal.h"
#include "common/util/exports.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "common/util/token_information.h"
#include "trace/trace.h"

using qzaccesstoken::BuiltinGroupSid;
using qzaccesstoken::kClass;

namespace
{
typedef BOOL(WINAPI* CheckTokenMembershipExFn)(HANDLE, PSID, DWORD, PBOOL);

// Resolved once; absent before Windows 8.
CheckTokenMembershipExFn GetCheckTokenMembershipEx()
{
    static const CheckTokenMembershipExFn function =
        CqzResolveExport<CheckTokenMembershipExFn>(::GetModuleHandleW(L"kernel32.dll"), "CheckTokenMembershipEx");
    return function;
}

} // namespace

bool CqzAccessToken::CheckMembership(const CSid& sid, DWORD flags, bool& isMember)
{
    QZ_STACK_NAME("CheckMembership", kClass);
    m_dwLastError = ERROR_SUCCESS;
    if (!_RequireValidSid(sid))
        return false;
    // The check needs an impersonation token; a primary token (which has no
    // impersonation level) is duplicated first.
    HANDLE hCheck = m_hToken;
    CqzScopedHandle impersonation;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    BOOL ok = TRUE;
    if (!CqzReadTokenInformationFixed(m_hToken, TokenImpersonationLevel, level))
    {
        HANDLE hDuplicate = nullptr;
        ok = ::DuplicateToken(m_hToken, SecurityImpersonation, &hDuplicate);
        impersonation.Reset(hDuplicate);
        hCheck = hDuplicate;
    }
    BOOL member = FALSE;
    if (ok)
    {
        if (CqzOperatingSystem::IsWin8OrLater())
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
