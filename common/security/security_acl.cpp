// Label ACLs and DACL merging.
#include "common/security/security.h"

#include <atomic>

#include "common/util/exports.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

namespace
{

const char kLabelAclClass[] = "CqzLabelAcl";
const char kDaclClass[] = "CqzDacl";

typedef BOOL(WINAPI* AddMandatoryAceFn)(PACL, DWORD, DWORD, DWORD, PSID);

// Resolved once; the library it lives in is never released.
std::atomic<AddMandatoryAceFn> g_addMandatoryAce{nullptr};

} // namespace

// ---------------------------------------------------------------------------
// CqzLabelAcl
// ---------------------------------------------------------------------------

CqzLabelAcl::CqzLabelAcl(const LabelAceEntry& entry)
{
    SetAces(entry);
}

CqzLabelAcl::CqzLabelAcl(const std::vector<LabelAceEntry>& entries)
{
    SetAces(entries);
}

CqzLabelAcl::~CqzLabelAcl()
{
    _Free();
}

void CqzLabelAcl::_Free()
{
    if (m_pAcl != nullptr)
    {
        const DWORD lastError = ::GetLastError();
        ::LocalFree(m_pAcl);
        ::SetLastError(lastError);
        m_pAcl = nullptr;
    }
}

bool CqzLabelAcl::SetAces(const LabelAceEntry& entry)
{
    return SetAces(std::vector<LabelAceEntry>(1, entry));
}

bool CqzLabelAcl::SetAces(const std::vector<LabelAceEntry>& entries)
{
    QZ_STACK_NAME("SetAces", kLabelAclClass);
    _Free();
    if (entries.empty())
    {
        QZTRACE(QZT_ERROR, kLabelAclClass, "ERROR: Invalid ACEs count: " << entries.size());
        return false;
    }
    DWORD size = sizeof(ACL);
    for (const LabelAceEntry& entry : entries)
        size += sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + entry.m_sid.GetLength();

    PACL acl = static_cast<PACL>(::LocalAlloc(LPTR, size));
    if (acl == nullptr)
    {
        QZTRACE(QZT_ERROR, kLabelAclClass,
                "ERROR: LocalAlloc(LPTR," << size << ") failed. LastError=" << ::GetLastError());
        return false;
    }
    CqzScopedLocal<ACL> holder(acl);
    if (!::InitializeAcl(acl, size, ACL_REVISION))
    {
        QZTRACE(QZT_ERROR, kLabelAclClass,
                "ERROR: InitializeAcl(size=" << size << ") failed. LastError=" << ::GetLastError());
        return false;
    }
    for (const LabelAceEntry& entry : entries)
    {
        if (!_AddMandatoryAce(acl, entry.m_dwAceFlags, entry.m_dwPolicy, entry.m_sid.GetPSID()))
        {
            QZTRACE(QZT_ERROR, kLabelAclClass, "ERROR: Failed to add ACE");
            return false;
        }
    }
    m_pAcl = holder.Release();
    return true;
}

DWORD CqzLabelAcl::GetLength() const
{
    QZ_STACK_NAME("GetLength", kLabelAclClass);
    if (m_pAcl == nullptr)
        return 0;
    ACL_SIZE_INFORMATION info = {};
    if (!::GetAclInformation(m_pAcl, &info, sizeof(info), AclSizeInformation))
    {
        QZTRACE(QZT_ERROR, kLabelAclClass,
                "ERROR: GetAclInformation(AclSizeInformation) failed. LastError=" << ::GetLastError());
        return 0;
    }
    return info.AclBytesInUse;
}

bool CqzLabelAcl::_InitClass()
{
    QZ_STACK_NAME("_InitClass", kLabelAclClass);
    if (g_addMandatoryAce.load() != nullptr)
        return true;
    const std::wstring& systemDir = CqzOperatingSystem::GetSystemDirectoryCached();
    HMODULE advapi32 = nullptr;
    if (!systemDir.empty())
        advapi32 = ::LoadLibraryW((systemDir + L"\\advapi32.dll").c_str());
    if (advapi32 == nullptr)
    {
        QZTRACE(QZT_ERROR, kLabelAclClass,
                "ERROR: LoadLibrary(advapi32.dll) failed."
                    << " LastError=" << ::GetLastError());
        return false;
    }
    // Kept for the process: the address stays in use.
    const AddMandatoryAceFn address = CqzResolveExport<AddMandatoryAceFn>(advapi32, "AddMandatoryAce");
    if (address == nullptr)
    {
        QZTRACE(QZT_ERROR, kLabelAclClass,
                "ERROR: GetProcAddress(AddMandatoryAce) failed."
                    << " LastError=" << ::GetLastError());
        return false;
    }
    g_addMandatoryAce.store(address);
    return true;
}

bool CqzLabelAcl::_AddMandatoryAce(PACL acl, DWORD aceFlags, DWORD policy, PSID sid)
{
    QZ_STACK_NAME("_AddMandatoryAce", kLabelAclClass);
    if (!_InitClass())
        return false;
    if (!g_addMandatoryAce.load()(acl, ACL_REVISION, aceFlags, policy, sid))
    {
        QZTRACE(QZT_ERROR, kLabelAclClass, "ERROR: AddMandatoryAce() failed. LastError=" << ::GetLastError());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// CqzDacl
// ---------------------------------------------------------------------------

bool CqzDacl::IsGroupInDacl(const CSid& sid) const
{
    if (!sid.IsValid())
        return false;
    std::vector<CSid> sids;
    GetAclEntries(&sids);
    for (const CSid& entry : sids)
    {
        if (entry.IsValid() && entry == sid)
            return true;
    }
    return false;
}

bool CqzDacl::MergeAce(const CSid& sid, ACCESS_MASK mask, BYTE aceType)
{
    QZ_STACK_NAME("MergeAce", kDaclClass);
    if (aceType != ACCESS_ALLOWED_ACE_TYPE && aceType != ACCESS_DENIED_ACE_TYPE)
    {
        QZTRACE(QZT_ERROR, kDaclClass, "ERROR: Unexpected ACE type " << static_cast<int>(aceType));
        return false;
    }
    std::vector<CSid> sids;
    std::vector<ACCESS_MASK> masks;
    std::vector<BYTE> types;
    GetAclEntries(&sids, &masks, &types);
    ACCESS_MASK merged = mask;
    for (size_t i = 0; i < sids.size(); ++i)
    {
        if (types[i] != aceType || !sids[i].IsValid() || sids[i] != sid)
            continue;
        if ((masks[i] & mask) == mask)
            return false;
        merged |= masks[i];
    }
    // On a copy: a DACL that cannot take the new ACE keeps the SID's old ones.
    CDacl changed(*this);
    if (!changed.RemoveAces(sid))
        return false;
    const bool added =
        aceType == ACCESS_ALLOWED_ACE_TYPE ? changed.AddAllowedAce(sid, merged) : changed.AddDeniedAce(sid, merged);
    if (!added)
        return false;
    CDacl::operator=(changed);
    return true;
}

bool CqzDacl::MergeAllowedAcesFrom(const CDacl& other)
{
    std::vector<CSid> sids;
    std::vector<ACCESS_MASK> masks;
    std::vector<BYTE> types;
    other.GetAclEntries(&sids, &masks, &types);
    bool changed = false;
    for (size_t i = 0; i < sids.size(); ++i)
    {
        // A denied entry of the other DACL must not become a grant here.
        if (types[i] == ACCESS_ALLOWED_ACE_TYPE && sids[i].IsValid() && MergeAllowedAce(sids[i], masks[i]))
            changed = true;
    }
    return changed;
}
