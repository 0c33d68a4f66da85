// Security of the token object itself: descriptor, DACL, mandatory label.
#include "common/security/access_token.h"

#include <aclapi.h>

#include <new>
#include <vector>

#include "common/security/access_token_internal.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

namespace
{
// SetSecurityInfo on the token object for one part of its descriptor; a
// failure is traced with the part's number. Answers the Win32 result.
DWORD SetTokenSecurityInfo(HANDLE token, SECURITY_INFORMATION part, PACL dacl, PACL sacl)
{
    const DWORD result = ::SetSecurityInfo(token, SE_KERNEL_OBJECT, part, nullptr, nullptr, dacl, sacl);
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: ::SetSecurityInfo(" << static_cast<unsigned long>(part) << ") failed. Error=" << result);
    }
    return result;
}
} // namespace

// ---------------------------------------------------------------------------
// Security of the token object
// ---------------------------------------------------------------------------

bool CqzAccessToken::GetSecurity(SECURITY_INFORMATION flags, CqzScopedLocal<void>& descriptor)
{
    QZ_STACK_NAME("GetSecurity", kClass);
    descriptor.Reset();
    if (!_RequireToken("ERROR: m_hToken is NULL"))
        return false;
    DWORD size = 1024;
    CqzScopedLocal<void> block(::LocalAlloc(LPTR, size));
    if (!block)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    DWORD needed = 0;
    BOOL ok = ::GetKernelObjectSecurity(m_hToken, flags, block.Get(), size, &needed);
    m_dwLastError = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!ok && m_dwLastError == ERROR_INSUFFICIENT_BUFFER && needed > size)
    {
        size = needed;
        block.Reset(::LocalAlloc(LPTR, size));
        if (!block)
        {
            m_dwLastError = ERROR_OUTOFMEMORY;
            return false;
        }
        ok = ::GetKernelObjectSecurity(m_hToken, flags, block.Get(), size, &needed);
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
    CqzScopedLocal<void> descriptor;
    if (!source.GetSecurity(flags, descriptor))
    {
        m_dwLastError = source.m_dwLastError;
        QZTRACE(QZT_ERROR, kClass, "ERROR: srcToken.GetSecurity() failed");
        return false;
    }
    if (!SetSecurity(flags, descriptor.Get()))
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
    m_dwLastError = SetTokenSecurityInfo(m_hToken, DACL_SECURITY_INFORMATION, dacl, nullptr);
    return m_dwLastError == ERROR_SUCCESS;
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
    CqzScopedLocal<void> descriptor(rawDescriptor);
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
    if (!CqzOperatingSystem::IsVistaOrLater())
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
    m_dwLastError = SetTokenSecurityInfo(m_hToken, LABEL_SECURITY_INFORMATION, nullptr, sacl);
    if (m_dwLastError != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to set mandatory label");
        return false;
    }
    return true;
}
