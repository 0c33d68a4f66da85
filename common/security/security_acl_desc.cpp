// Descriptor labels and the maximum allowed access.
#include "common/security/security.h"

#include <cstdlib>
#include <cstring>

#include "common/util/scoped.h"
#include "trace/trace.h"

namespace
{

const char kSecurityDescClass[] = "CqzSecurityDesc";

} // namespace

bool CqzSecurityDesc::SetLabelAcl(const CqzLabelAcl& labelAcl)
{
    QZ_STACK_NAME("SetLabelAcl", kSecurityDescClass);
    PACL oldSacl = nullptr;
    if (m_pSecurityDescriptor == nullptr)
    {
        CreateEmpty(); // throws when even an empty descriptor cannot be made
    }
    else
    {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        if (!MakeAbsolute() || !::GetSecurityDescriptorSacl(m_pSecurityDescriptor, &present, &oldSacl, &defaulted))
        {
            QZTRACE(QZT_ERROR, kSecurityDescClass,
                    "ERROR: GetSecurityDescriptorSacl() failed."
                        << " LastError=" << ::GetLastError());
            return false;
        }
    }

    CqzScopedHeap<ACL> copy;
    if (labelAcl.GetPACL() != nullptr)
    {
        const DWORD size = labelAcl.GetLength();
        // An ACL whose size cannot be read is not copied as an empty block:
        // the descriptor would point at no ACL at all.
        if (size < sizeof(ACL))
            return false;
        copy.Reset(static_cast<ACL*>(std::malloc(size)));
        if (!copy)
        {
            QZTRACE(QZT_ERROR, kSecurityDescClass, "ERROR: malloc(" << size << ") failed.");
            return false;
        }
        std::memcpy(copy.Get(), labelAcl.GetPACL(), size);
    }
    if (!::SetSecurityDescriptorSacl(m_pSecurityDescriptor, copy ? TRUE : FALSE, copy.Get(), FALSE))
    {
        QZTRACE(QZT_ERROR, kSecurityDescClass,
                "ERROR: SetSecurityDescriptorSacl() failed."
                    << " LastError=" << ::GetLastError());
        return false;
    }
    // The descriptor owns the copy now, and no longer the ACL it held.
    copy.Release();
    std::free(oldSacl);
    return true;
}

bool CqzSecurityDesc::SetLabel(const CSid& labelSid, DWORD policy)
{
    const CqzLabelAcl labelAcl(LabelAceEntry(labelSid, 0, policy));
    // A label that could not be built must not strip the descriptor's SACL.
    if (labelAcl.GetPACL() == nullptr)
        return false;
    return SetLabelAcl(labelAcl);
}

bool CqzSecurityDesc::SetLabel(DWORD integrityRid, DWORD policy)
{
    SID_IDENTIFIER_AUTHORITY labelAuthority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    alignas(DWORD) BYTE buffer[12] = {}; // a SID with one sub-authority
    if (!::InitializeSid(buffer, &labelAuthority, 1))
        return false;
    *::GetSidSubAuthority(buffer, 0) = integrityRid;
    return SetLabel(CSid(buffer), policy);
}

bool CqzSecurityDesc::GetMaxAllowedAccess(ACCESS_MASK& access) const
{
    QZ_STACK_NAME("GetMaxAllowedAccess", kSecurityDescClass);
    access = 0;
    // A thread that impersonates already is in the caller's context; taking
    // the process's instead (and reverting) would end that impersonation.
    CqzScopedHandle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive()))
    {
        if (::ImpersonateSelf(SecurityImpersonation))
        {
            ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive());
            ::RevertToSelf();
        }
    }
    if (!token)
    {
        QZTRACE(QZT_ERROR, kSecurityDescClass, "ERROR: Cannot get current thread token");
        return false;
    }
    return GetMaxAllowedAccess(token.Get(), access);
}

bool CqzSecurityDesc::GetMaxAllowedAccess(HANDLE token, ACCESS_MASK& access) const
{
    QZ_STACK_NAME("GetMaxAllowedAccess", kSecurityDescClass);
    access = 0;
    if (m_pSecurityDescriptor == nullptr)
    {
        QZTRACE(QZT_WARNING, kSecurityDescClass, "WARNING: m_pSecurityDescriptor is NULL");
        return false;
    }
    GENERIC_MAPPING mapping = {};
    alignas(DWORD) BYTE privileges[20] = {};
    DWORD privilegesSize = sizeof(privileges);
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!::AccessCheck(m_pSecurityDescriptor, token, MAXIMUM_ALLOWED, &mapping,
                       reinterpret_cast<PPRIVILEGE_SET>(privileges), &privilegesSize, &granted, &status))
    {
        QZTRACE(QZT_ERROR, kSecurityDescClass, "ERROR: ::AccessCheck failed. LastError=" << ::GetLastError());
        return false;
    }
    access = status ? granted : 0;
    return true;
}
