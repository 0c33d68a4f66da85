// Shared by the token wrapper's sources; not for other code.
#pragma once

#include <windows.h>

#include "common/security/access_token.h"

namespace qzaccesstoken
{
constexpr const char kClass[] = "CqzAccessToken";

// S-1-5-32-<rid> (BUILTIN Administrators: 544, Power Users: 547).
CSid BuiltinGroupSid(DWORD rid);
// S-1-16-<rid>.
CSid IntegrityLabelSid(DWORD rid);
} // namespace qzaccesstoken

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
