// CqzHandle: construction and close rules of the handle family, and the
// security information read and written through the handle.
#include "common/security/qz_handle.h"

#include "common/security/qz_handle_internal.h"
#include "common/security/security.h"
#include "trace/trace.h"

using qzhandle::kClass;

// ---------------------------------------------------------------------------
// Construction and close rules
// ---------------------------------------------------------------------------

CqzHandle::CqzHandle() : m_dwLastError(ERROR_INVALID_HANDLE) {}

CqzHandle::CqzHandle(HANDLE h) : CHandle(h), m_dwLastError(h != nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE) {}

CqzHandle::~CqzHandle()
{
    Close();
}

bool CqzHandle::_RequireHandle(const char* className, const char* nullMessage)
{
    if (m_h != nullptr)
        return true;
    m_dwLastError = ERROR_INVALID_HANDLE;
    QZTRACE(QZT_ERROR, className, nullMessage);
    return false;
}

CqzFileObjectHandle::CqzFileObjectHandle(HANDLE h) : CqzHandle(h)
{
    if (!IsValidHandle(h))
        m_dwLastError = ERROR_INVALID_HANDLE;
}

CqzFileObjectHandle::~CqzFileObjectHandle()
{
    // CHandle::Close skips both empty values.
    Close();
}

CqzRegistryKeyHandle::CqzRegistryKeyHandle(HKEY key) : CqzHandle(reinterpret_cast<HANDLE>(key)) {}

CqzRegistryKeyHandle::~CqzRegistryKeyHandle()
{
    // Borrowed: the caller closes the key.
    Detach();
}

CqzServiceObjectHandle::CqzServiceObjectHandle(SC_HANDLE service) : CqzHandle(reinterpret_cast<HANDLE>(service)) {}

CqzServiceObjectHandle::~CqzServiceObjectHandle()
{
    // Borrowed: the caller closes it with CloseServiceHandle.
    Detach();
}

CqzDesktopHandle::CqzDesktopHandle(HDESK desktop) : CqzWindowObjectHandle(reinterpret_cast<HANDLE>(desktop)) {}

CqzDesktopHandle::~CqzDesktopHandle()
{
    HANDLE h = Detach();
    if (h != nullptr)
    {
        const DWORD lastError = ::GetLastError();
        ::CloseDesktop(reinterpret_cast<HDESK>(h));
        ::SetLastError(lastError);
    }
}

CqzWindowStationHandle::CqzWindowStationHandle(HWINSTA windowStation)
    : CqzWindowObjectHandle(reinterpret_cast<HANDLE>(windowStation))
{
}

CqzWindowStationHandle::~CqzWindowStationHandle()
{
    HANDLE h = Detach();
    if (h != nullptr)
    {
        const DWORD lastError = ::GetLastError();
        ::CloseWindowStation(reinterpret_cast<HWINSTA>(h));
        ::SetLastError(lastError);
    }
}

// ---------------------------------------------------------------------------
// Writing security information
// ---------------------------------------------------------------------------

bool CqzHandle::SetSecurityInfo(SECURITY_INFORMATION flags, PSID owner, PSID group, PACL dacl, PACL sacl)
{
    QZ_STACK_NAME("SetSecurityInfo", kClass);
    if (!_RequireHandle(kClass, "ERROR: Token is NULL"))
        return false;
    const DWORD result = ::SetSecurityInfo(m_h, GetObjectType(), flags, owner, group, dacl, sacl);
    m_dwLastError = result;
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: ::SetSecurityInfo(" << static_cast<unsigned long>(flags) << ") failed. Error=" << result);
        return false;
    }
    return true;
}

bool CqzHandle::SetOwner(const CSid& owner)
{
    QZ_STACK_NAME("SetOwner", kClass);
    if (!qzhandle::RequireValidSid(owner, m_dwLastError))
        return false;
    return SetSecurityInfo(OWNER_SECURITY_INFORMATION, owner.GetPSID(), nullptr, nullptr, nullptr);
}

bool CqzHandle::SetGroup(const CSid& group)
{
    QZ_STACK_NAME("SetGroup", kClass);
    if (!qzhandle::RequireValidSid(group, m_dwLastError))
        return false;
    return SetSecurityInfo(GROUP_SECURITY_INFORMATION, nullptr, group.GetPSID(), nullptr, nullptr);
}

bool CqzHandle::SetDacl(const CDacl& dacl)
{
    QZ_STACK_NAME("SetDacl", kClass);
    return SetSecurityInfo(DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl.GetPACL(), nullptr);
}

// ---------------------------------------------------------------------------
// Reading security information
// ---------------------------------------------------------------------------

bool CqzHandle::_GetSecurityInfo(SECURITY_INFORMATION flags, PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                 CqzScopedLocal<void>& descriptor)
{
    QZ_STACK_NAME("_GetSecurityInfo", kClass);
    descriptor.Reset();
    for (void** part : {reinterpret_cast<void**>(owner), reinterpret_cast<void**>(group),
                        reinterpret_cast<void**>(dacl), reinterpret_cast<void**>(sacl)})
    {
        if (part != nullptr)
            *part = nullptr;
    }
    if (!_RequireHandle(kClass))
        return false;
    const DWORD result = ::GetSecurityInfo(m_h, GetObjectType(), flags, owner, group, dacl, sacl, descriptor.Receive());
    m_dwLastError = result;
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: ::GetSecurityInfo(" << static_cast<unsigned long>(flags) << ") failed. Error=" << result);
        return false;
    }
    return true;
}

bool CqzHandle::GetOwner(CSid& owner)
{
    QZ_STACK_NAME("GetOwner", kClass);
    return qzhandle::ReadSidPart(*this, OWNER_SECURITY_INFORMATION, owner, m_dwLastError);
}

bool CqzHandle::GetGroup(CSid& group)
{
    QZ_STACK_NAME("GetGroup", kClass);
    return qzhandle::ReadSidPart(*this, GROUP_SECURITY_INFORMATION, group, m_dwLastError);
}

bool CqzHandle::GetDacl(CDacl& dacl)
{
    QZ_STACK_NAME("GetDacl", kClass);
    return qzhandle::ReadAclPart(*this, DACL_SECURITY_INFORMATION, dacl, m_dwLastError);
}

bool CqzHandle::GetSacl(CDacl& sacl)
{
    QZ_STACK_NAME("GetSacl", kClass);
    return qzhandle::ReadAclPart(*this, SACL_SECURITY_INFORMATION, sacl, m_dwLastError);
}

// ---------------------------------------------------------------------------
// Editing the DACL
// ---------------------------------------------------------------------------

bool CqzHandle::DisableInheritance()
{
    QZ_STACK_NAME("DisableInheritance", kClass);
    PACL dacl = nullptr;
    CqzScopedLocal<void> descriptor;
    if (!_GetSecurityInfo(DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, descriptor))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to get DACL");
        return false;
    }
    if (!SetSecurityInfo(PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                         nullptr))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to disable inheritance");
        return false;
    }
    return true;
}

bool CqzHandle::MergeAllowedAce(const CSid& sid, ACCESS_MASK mask)
{
    QZ_STACK_NAME("MergeAllowedAce", kClass);
    CqzDacl dacl;
    if (!GetDacl(dacl))
        return false;
    // A null DACL already grants everyone everything: writing a list that
    // holds only the merged entry would take access from everybody else.
    if (dacl.IsNull())
        return true;
    if (!dacl.MergeAllowedAce(sid, mask))
        return true;
    return SetDacl(dacl);
}

bool CqzHandle::SetExplicitAccess(DWORD permissions, ACCESS_MODE mode, DWORD inheritance, const CSid& trustee,
                                  TRUSTEE_TYPE trusteeType)
{
    QZ_STACK_NAME("SetExplicitAccess", kClass);
    if (!qzhandle::RequireValidSid(trustee, m_dwLastError))
        return false;
    CDacl current;
    if (!GetDacl(current))
        return false;
    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = permissions;
    access.grfAccessMode = mode;
    access.grfInheritance = inheritance;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = trusteeType;
    access.Trustee.ptstrName = static_cast<LPWSTR>(trustee.GetPSID());
    CqzScopedLocal<ACL> newAcl;
    const DWORD result = ::SetEntriesInAclW(1, &access, current.GetPACL(), newAcl.Receive());
    m_dwLastError = result;
    if (result != ERROR_SUCCESS || !newAcl)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: SetEntriesInAcl failed. err=" << result);
        if (result == ERROR_SUCCESS)
            m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    CqzDacl merged;
    if (!merged.Copy(newAcl.Get()))
        return qzhandle::TraceCopyFailure(m_dwLastError);
    newAcl.Reset();
    return SetDacl(merged);
}

bool CqzHandle::RemoveAces(const CSid& sid)
{
    QZ_STACK_NAME("RemoveAces", kClass);
    CDacl dacl;
    if (!GetDacl(dacl))
        return false;
    if (!dacl.RemoveAces(sid))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: RemoveAces failed, sid: " << sid.Domain() << ":" << sid.AccountName());
        return false;
    }
    if (!SetDacl(dacl))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: SetDacl failed");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Helpers of the family
// ---------------------------------------------------------------------------

namespace qzhandle
{
bool RequireValidSid(const CSid& sid, DWORD& lastError)
{
    if (sid.IsValid())
        return true;
    lastError = ERROR_INVALID_SID;
    QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid Sid parameter");
    return false;
}

bool TraceCopyFailure(DWORD& lastError)
{
    lastError = ERROR_INVALID_ACL;
    QZTRACE(QZT_ERROR, kClass, "ERROR: CDacl::Copy() failed. LastError=" << lastError);
    return false;
}

namespace
{
// One part of the handle's descriptor (owner, group, DACL or SACL): its
// pointer into the descriptor, null when absent.
bool ReadPart(CqzHandle& handle, SECURITY_INFORMATION part, void*& found, CqzScopedLocal<void>& descriptor)
{
    found = nullptr;
    void** slot = reinterpret_cast<void**>(&found);
    return handle._GetSecurityInfo(part, part == OWNER_SECURITY_INFORMATION ? reinterpret_cast<PSID*>(slot) : nullptr,
                                   part == GROUP_SECURITY_INFORMATION ? reinterpret_cast<PSID*>(slot) : nullptr,
                                   part == DACL_SECURITY_INFORMATION ? reinterpret_cast<PACL*>(slot) : nullptr,
                                   part == SACL_SECURITY_INFORMATION ? reinterpret_cast<PACL*>(slot) : nullptr,
                                   descriptor);
}
} // namespace

bool ReadSidPart(CqzHandle& handle, SECURITY_INFORMATION part, CSid& sid, DWORD& lastError)
{
    void* found = nullptr;
    CqzScopedLocal<void> descriptor;
    if (!ReadPart(handle, part, found, descriptor))
        return false;
    if (found != nullptr && !sid.LoadAccount(static_cast<PSID>(found)))
    {
        lastError = ERROR_INVALID_SID;
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid SID in the security descriptor");
        return false;
    }
    return true;
}

bool ReadAclPart(CqzHandle& handle, SECURITY_INFORMATION part, CDacl& acl, DWORD& lastError)
{
    void* found = nullptr;
    CqzScopedLocal<void> descriptor;
    if (!ReadPart(handle, part, found, descriptor))
        return false;
    if (!acl.Copy(static_cast<const ACL*>(found)))
        return TraceCopyFailure(lastError);
    return true;
}
} // namespace qzhandle
