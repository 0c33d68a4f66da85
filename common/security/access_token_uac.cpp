// Whether UAC filters this token's user.
#include "common/security/access_token.h"

#include <cstring>

#include "common/security/access_token_internal.h"
#include "common/util/os.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

namespace
{
// S-1-5-21-a-b-c-500: the built-in Administrator account of a domain
// (WinAccountAdministratorSid).
bool IsBuiltinAdministratorAccount(const CSid& sid)
{
    const SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    const SID_IDENTIFIER_AUTHORITY* authority = sid.GetPSID_IDENTIFIER_AUTHORITY();
    return authority != nullptr && std::memcmp(authority, &nt, sizeof(nt)) == 0 && sid.GetSubAuthorityCount() == 5 &&
           sid.GetSubAuthority(0) == SECURITY_NT_NON_UNIQUE && sid.GetSubAuthority(4) == DOMAIN_USER_RID_ADMIN;
}

} // namespace

bool CqzAccessToken::IsUACEnabled()
{
    // Both policy questions answer no before Vista: no UAC there.
    if (!CqzOperatingSystem::IsLUAEnabled())
        return false;
    if (CqzOperatingSystem::IsFilterAdministratorToken())
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
