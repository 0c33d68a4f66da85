// Shared by the token wrapper's sources; not for other code.
#pragma once

#include <windows.h>

#include "common/security/access_token.h"
#include "common/security/qz_handle.h"

namespace qzaccesstoken
{
constexpr const char kClass[] = "CqzAccessToken";

// S-1-5-32-<rid> (BUILTIN Administrators: 544, Power Users: 547).
CSid BuiltinGroupSid(DWORD rid);
// S-1-16-<rid>.
CSid IntegrityLabelSid(DWORD rid);

// The token object as a kernel-object handle that borrows the token's
// handle: the token stays open when the handle object goes.
class CqzBorrowedTokenObject : public CqzKernelObjectHandle
{
public:
    explicit CqzBorrowedTokenObject(HANDLE token) : CqzKernelObjectHandle(token) {}
    ~CqzBorrowedTokenObject() { Detach(); }
    CqzBorrowedTokenObject(const CqzBorrowedTokenObject&) = delete;
    CqzBorrowedTokenObject& operator=(const CqzBorrowedTokenObject&) = delete;
};
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
