#include "common/atl/atl_security.h"

#include <cstring>
#include <new>

#include "common/atl/atl_ace_layout.h"

namespace
{

bool SameSid(const qzacl::AceView& view, const CSid& sid)
{
    return view.sid != nullptr && view.sidSize == sid.GetLength() &&
           std::memcmp(view.sid, sid.GetPSID(), view.sidSize) == 0;
}

bool ReadAceBytes(const std::vector<BYTE>& ace, qzacl::AceView& view)
{
    return qzacl::ReadAce(ace.data(), static_cast<DWORD>(ace.size()), view);
}

} // namespace

CDacl::CDacl(const ACL* acl)
{
    Copy(acl);
}

bool CDacl::Copy(const ACL* acl)
{
    if (acl == nullptr)
    {
        SetNull();
        return true;
    }
    try
    {
        std::vector<std::vector<BYTE>> aces;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
        bool fits =
            acl->AclRevision >= MIN_ACL_REVISION && acl->AclRevision <= MAX_ACL_REVISION && acl->AclSize >= sizeof(ACL);
        DWORD offset = sizeof(ACL);
        fits = fits && qzacl::WalkAcl(
                           acl,
                           [&](DWORD, const qzacl::AceView& view)
                           {
                               aces.emplace_back(bytes + offset, bytes + offset + view.size);
                               offset += view.size;
                           },
                           [](DWORD) {});
        if (!fits)
        {
            SetEmpty();
            ::SetLastError(ERROR_INVALID_ACL);
            return false;
        }
        CDacl copy;
        copy.m_aces.swap(aces);
        copy.m_revision = acl->AclRevision;
        if (!copy._Build())
            return false;
        *this = std::move(copy);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        SetEmpty();
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

void CDacl::SetNull()
{
    m_aces.clear();
    m_built.clear();
    m_bNull = true;
}

void CDacl::SetEmpty()
{
    m_aces.clear();
    m_built.clear();
    m_bNull = false;
}

void CDacl::RemoveAllAces()
{
    m_aces.clear();
    m_built.clear();
}

bool CDacl::GetAclEntry(UINT index, CSid* sid, ACCESS_MASK* mask, BYTE* type, BYTE* flags) const
{
    if (index >= m_aces.size())
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    qzacl::AceView view;
    ReadAceBytes(m_aces[index], view); // every held ACE was checked when it came in
    if (sid != nullptr)
    {
        sid->Clear();
        if (view.sid != nullptr)
            sid->LoadAccount(reinterpret_cast<PSID>(const_cast<BYTE*>(view.sid)));
    }
    if (mask != nullptr)
        *mask = view.mask;
    if (type != nullptr)
        *type = view.type;
    if (flags != nullptr)
        *flags = view.flags;
    return true;
}

void CDacl::GetAclEntries(std::vector<CSid>* sids, std::vector<ACCESS_MASK>* masks, std::vector<BYTE>* types,
                          std::vector<BYTE>* flags) const
{
    const UINT count = GetAceCount();
    if (sids != nullptr)
        sids->assign(count, CSid());
    if (masks != nullptr)
        masks->assign(count, 0);
    if (types != nullptr)
        types->assign(count, 0);
    if (flags != nullptr)
        flags->assign(count, 0);
    for (UINT i = 0; i < count; ++i)
        GetAclEntry(i, sids ? &(*sids)[i] : nullptr, masks ? &(*masks)[i] : nullptr, types ? &(*types)[i] : nullptr,
                    flags ? &(*flags)[i] : nullptr);
}

bool CDacl::AddAllowedAce(const CSid& sid, ACCESS_MASK mask, BYTE flags)
{
    return _AddAce(ACCESS_ALLOWED_ACE_TYPE, sid, mask, flags);
}

bool CDacl::AddDeniedAce(const CSid& sid, ACCESS_MASK mask, BYTE flags)
{
    return _AddAce(ACCESS_DENIED_ACE_TYPE, sid, mask, flags);
}

bool CDacl::_AddAce(BYTE type, const CSid& sid, ACCESS_MASK mask, BYTE flags)
{
    if (!sid.IsValid())
    {
        ::SetLastError(ERROR_INVALID_SID);
        return false;
    }
    const DWORD aceSize = qzacl::AceHeaderSize + sizeof(ACCESS_MASK) + sid.GetLength();
    if (GetLength() + (m_bNull ? sizeof(ACL) : 0) + aceSize > MaxAclSize)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    try
    {
        std::vector<BYTE> ace(aceSize);
        ace[0] = type;
        ace[1] = flags;
        const WORD size = static_cast<WORD>(aceSize);
        std::memcpy(&ace[2], &size, sizeof(size));
        std::memcpy(&ace[4], &mask, sizeof(mask));
        std::memcpy(&ace[8], sid.GetPSID(), sid.GetLength());

        // Canonical order: explicit denied, explicit allowed, inherited.
        size_t position = m_aces.size();
        if ((flags & INHERITED_ACE) == 0)
        {
            for (size_t i = 0; i < m_aces.size(); ++i)
            {
                const BYTE otherType = m_aces[i][0];
                const bool otherInherited = (m_aces[i][1] & INHERITED_ACE) != 0;
                if (otherInherited || (type == ACCESS_DENIED_ACE_TYPE && !qzacl::IsDeniedAceType(otherType)))
                {
                    position = i;
                    break;
                }
            }
        }
        CDacl changed(*this);
        changed.m_aces.insert(changed.m_aces.begin() + position, std::move(ace));
        changed.m_bNull = false;
        if (!changed._Build())
            return false;
        *this = std::move(changed);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

bool CDacl::RemoveAces(const CSid& sid)
{
    if (!sid.IsValid())
    {
        ::SetLastError(ERROR_INVALID_SID);
        return false;
    }
    try
    {
        CDacl changed(*this);
        changed.m_aces.clear();
        for (const std::vector<BYTE>& ace : m_aces)
        {
            qzacl::AceView view;
            ReadAceBytes(ace, view);
            if (!SameSid(view, sid))
                changed.m_aces.push_back(ace);
        }
        if (changed.m_aces.size() == m_aces.size())
            return true;
        if (!changed._Build())
            return false;
        *this = std::move(changed);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

PACL CDacl::GetPACL() const
{
    if (m_bNull)
        return nullptr;
    if (m_aces.empty())
    {
        m_empty = ACL();
        m_empty.AclRevision = m_revision;
        m_empty.AclSize = sizeof(ACL);
        return &m_empty;
    }
    return reinterpret_cast<PACL>(const_cast<DWORD*>(m_built.data()));
}

DWORD CDacl::GetLength() const
{
    if (m_bNull)
        return 0;
    DWORD length = sizeof(ACL);
    for (const std::vector<BYTE>& ace : m_aces)
        length += static_cast<DWORD>(ace.size());
    return length;
}

bool CDacl::_Build()
{
    m_built.clear();
    if (m_aces.empty())
        return true;
    try
    {
        const DWORD length = GetLength();
        std::vector<DWORD> built((length + 3) / 4);
        BYTE* bytes = reinterpret_cast<BYTE*>(built.data());
        ACL header = {};
        header.AclRevision = m_revision;
        header.AclSize = static_cast<WORD>(length);
        header.AceCount = static_cast<WORD>(m_aces.size());
        std::memcpy(bytes, &header, sizeof(header));
        DWORD offset = sizeof(ACL);
        for (const std::vector<BYTE>& ace : m_aces)
        {
            std::memcpy(bytes + offset, ace.data(), ace.size());
            offset += static_cast<DWORD>(ace.size());
        }
        m_built.swap(built);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}
