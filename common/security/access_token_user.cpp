// The token's user: its name, and the user of the current process.
#include "common/security/access_token.h"

#include <new>

#include "common/security/access_token_internal.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

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
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to get current process token.");
        return false;
    }
    if (!token.GetUser(&user))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: CAccessToken::GetUser() failed.");
        return false;
    }
    return true;
}
