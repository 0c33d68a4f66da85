// CqzHandle: the mandatory label of the object (the label ACL read and
// written with LABEL_SECURITY_INFORMATION) and the integrity shortcuts.
#include "common/security/qz_handle.h"

#include "common/security/qz_handle_internal.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "trace/trace.h"

using qzhandle::kClass;

namespace
{
// The label SID of one SYSTEM_MANDATORY_LABEL ACE, when the ACE holds a
// whole SID after its header and mask.
bool LabelSidOfAce(const ACE_HEADER* header, CSid& sid)
{
    const DWORD sidOffset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    if (header->AceSize < sidOffset + sizeof(SID) - sizeof(DWORD))
        return false;
    const BYTE* start = reinterpret_cast<const BYTE*>(header) + sidOffset;
    const SID* raw = reinterpret_cast<const SID*>(start);
    if (header->AceSize < sidOffset + ::GetSidLengthRequired(raw->SubAuthorityCount))
        return false;
    return sid.LoadAccount(const_cast<SID*>(raw));
}

CSid IntegritySid(DWORD rid)
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    PSID sid = buffer;
    CSid result;
    if (::InitializeSid(sid, &authority, 1))
    {
        *::GetSidSubAuthority(sid, 0) = rid;
        result.LoadAccount(sid);
    }
    return result;
}
} // namespace

bool CqzHandle::GetMandatoryLabels(std::vector<CSid>& labels)
{
    QZ_STACK_NAME("GetMandatoryLabels", kClass);
    labels.clear();
    if (!CqzOperatingSystem::IsVistaOrLater())
    {
        m_dwLastError = ERROR_NOT_SUPPORTED;
        return false;
    }
    PACL sacl = nullptr;
    CqzScopedLocal<void> descriptor;
    if (!_GetSecurityInfo(LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &sacl, descriptor))
        return false;
    if (sacl == nullptr)
    {
        // No label ACL: the object carries no label.
        m_dwLastError = ERROR_NOT_FOUND;
        return false;
    }
    ACL_SIZE_INFORMATION sizeInfo = {};
    if (!::GetAclInformation(sacl, &sizeInfo, sizeof(sizeInfo), AclSizeInformation))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetAclInformation(AclSizeInformation) failed. LastError=" << m_dwLastError);
        return false;
    }
    for (DWORD i = 0; i < sizeInfo.AceCount; ++i)
    {
        void* ace = nullptr;
        if (!::GetAce(sacl, i, &ace) || ace == nullptr)
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            continue;
        CSid label;
        if (LabelSidOfAce(header, label))
            labels.push_back(label);
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzHandle::GetMandatoryLabel(CSid& label)
{
    QZ_STACK_NAME("GetMandatoryLabel", kClass);
    std::vector<CSid> labels;
    if (!GetMandatoryLabels(labels))
        return false;
    if (labels.size() != 1)
    {
        QZTRACE(QZT_WARNING, kClass,
                "WARNING: GetMandatoryLabels() returned " << static_cast<unsigned long>(labels.size()) << " SIDs");
    }
    if (labels.empty())
    {
        // A label ACL that holds other entries only: no label.
        m_dwLastError = ERROR_NOT_FOUND;
        return false;
    }
    label = labels.front();
    return true;
}

bool CqzHandle::GetIntegrityRid(DWORD& rid)
{
    QZ_STACK_NAME("GetIntegrityRid", kClass);
    CSid label;
    if (!GetMandatoryLabel(label))
        return false;
    if (!CqzSid(label).IsValidIntegrityLevelSid(rid))
    {
        m_dwLastError = ERROR_INVALID_SID;
        QZTRACE(QZT_ERROR, kClass, "ERROR: The label is no integrity level: " << label.Sid());
        return false;
    }
    return true;
}

bool CqzHandle::SetMandatoryLabel(const CSid& label, DWORD policy)
{
    QZ_STACK_NAME("SetMandatoryLabel", kClass);
    if (!CqzOperatingSystem::IsVistaOrLater())
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    if (!qzhandle::RequireValidSid(label, m_dwLastError))
        return false;
    // The label ACL frees its ACL (LocalFree) when it goes.
    CqzLabelAcl labelAcl(LabelAceEntry(label, 0, policy));
    if (labelAcl.GetPACL() == nullptr)
    {
        m_dwLastError = ::GetLastError();
        if (m_dwLastError == ERROR_SUCCESS)
            m_dwLastError = ERROR_INVALID_DATA;
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to set mandatory label");
        return false;
    }
    if (!SetSecurityInfo(LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, labelAcl.GetPACL()))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to set mandatory label");
        return false;
    }
    return true;
}

bool CqzHandle::SetSystemIntegrity(DWORD policy)
{
    return SetMandatoryLabel(IntegritySid(SECURITY_MANDATORY_SYSTEM_RID), policy);
}

bool CqzHandle::SetHighIntegrity(DWORD policy)
{
    return SetMandatoryLabel(IntegritySid(SECURITY_MANDATORY_HIGH_RID), policy);
}

bool CqzHandle::SetMediumIntegrity(DWORD policy)
{
    return SetMandatoryLabel(IntegritySid(SECURITY_MANDATORY_MEDIUM_RID), policy);
}

bool CqzHandle::SetLowIntegrity(DWORD policy)
{
    return SetMandatoryLabel(IntegritySid(SECURITY_MANDATORY_LOW_RID), policy);
}
