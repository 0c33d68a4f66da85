// Security of the token object itself: descriptor, DACL, mandatory label.
#include "common/security/access_token.h"

#include "common/security/access_token_internal.h"
#include "common/security/qz_handle.h"

using qzaccesstoken::CqzBorrowedTokenObject;

namespace
{
// Runs one operation of the handle class on the token object and keeps its
// error in lastError.
template <typename Operation>
bool OnTokenObject(HANDLE token, DWORD& lastError, Operation operation)
{
    CqzBorrowedTokenObject object(token);
    const bool result = operation(object);
    lastError = object.LastError();
    return result;
}
} // namespace

// ---------------------------------------------------------------------------
// Security of the token object
// ---------------------------------------------------------------------------

bool CqzAccessToken::GetSecurity(SECURITY_INFORMATION flags, CqzScopedLocal<void>& descriptor)
{
    return OnTokenObject(m_hToken, m_dwLastError,
                         [&](CqzKernelObjectHandle& object) { return object.GetSecurity(flags, descriptor); });
}

bool CqzAccessToken::SetSecurity(SECURITY_INFORMATION flags, PSECURITY_DESCRIPTOR descriptor)
{
    return OnTokenObject(m_hToken, m_dwLastError,
                         [&](CqzKernelObjectHandle& object) { return object.SetSecurity(flags, descriptor); });
}

bool CqzAccessToken::CopySecurityFrom(CqzAccessToken& source)
{
    CqzBorrowedTokenObject sourceObject(source.m_hToken);
    return OnTokenObject(m_hToken, m_dwLastError,
                         [&](CqzKernelObjectHandle& object) { return object.SetSecurity(sourceObject); });
}

bool CqzAccessToken::SetDacl(PACL dacl)
{
    return OnTokenObject(m_hToken, m_dwLastError,
                         [&](CqzKernelObjectHandle& object) {
                             return object.SetSecurityInfo(DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
                         });
}

bool CqzAccessToken::GetMandatoryLabel(CSid& label)
{
    return OnTokenObject(m_hToken, m_dwLastError,
                         [&](CqzKernelObjectHandle& object) { return object.GetMandatoryLabel(label); });
}

bool CqzAccessToken::GetMandatoryLabelRid(DWORD& rid)
{
    return OnTokenObject(m_hToken, m_dwLastError,
                         [&](CqzKernelObjectHandle& object) { return object.GetIntegrityRid(rid); });
}

bool CqzAccessToken::SetMandatoryLabel(const CSid& label, DWORD policy)
{
    return OnTokenObject(m_hToken, m_dwLastError,
                         [&](CqzKernelObjectHandle& object) { return object.SetMandatoryLabel(label, policy); });
}
