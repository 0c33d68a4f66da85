#include "common/atl/atl_security.h"

#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/atl/atl_ace_layout.h"
#include "common/util/scoped.h"

namespace
{

using qzacl::ReadDword;
using qzacl::ReadWord;

constexpr DWORD kRelativeHeaderSize = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
// Bytes that may be read of a self-relative descriptor trusted to hold what
// its header declares.
constexpr DWORD kTrusted = MAXDWORD;

// The parts of a descriptor of either form. Pieces point into the descriptor.
struct Pieces
{
    BYTE sbz1 = 0;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const BYTE* owner = nullptr;
    const BYTE* group = nullptr;
    const ACL* sacl = nullptr;
    const ACL* dacl = nullptr;
};

DWORD SidSize(const BYTE* sid)
{
    return sid ? qzacl::SidSizeWithin(sid, qzacl::SidHeaderSize + 4 * SID_MAX_SUB_AUTHORITIES) : 0;
}

DWORD AclSize(const ACL* acl)
{
    return acl ? acl->AclSize : 0;
}

// Checks the pieces of a self-relative descriptor against limit (bytes that
// may be read) and measures how far they reach. Offsets must be 4-aligned
// and lie past the header; a SID must be well formed, an ACL's AclSize at
// least its header. Pieces the control word marks absent are not looked at.
bool MeasureSelfRelative(const BYTE* bytes, DWORD limit, DWORD& extent, Pieces& pieces)
{
    if (limit < kRelativeHeaderSize || bytes[0] != SECURITY_DESCRIPTOR_REVISION)
        return false;
    pieces = Pieces();
    pieces.sbz1 = bytes[1];
    pieces.control = ReadWord(bytes + 2);
    if ((pieces.control & SE_SELF_RELATIVE) == 0)
        return false;
    ULONGLONG end = kRelativeHeaderSize;
    auto locate = [&](DWORD field, DWORD& offset, DWORD& available)
    {
        offset = ReadDword(bytes + field);
        if (offset == 0)
            return true;
        if (offset < kRelativeHeaderSize || offset % 4 != 0 || offset >= limit)
            return false;
        available = limit - offset;
        return true;
    };
    auto sid = [&](DWORD field, const BYTE*& piece)
    {
        DWORD offset = 0, available = 0;
        if (!locate(field, offset, available))
            return false;
        if (offset == 0)
            return true;
        const DWORD size = qzacl::SidSizeWithin(bytes + offset, available);
        if (size == 0)
            return false;
        piece = bytes + offset;
        end = std::max<ULONGLONG>(end, ULONGLONG(offset) + size);
        return true;
    };
    auto acl = [&](DWORD field, SECURITY_DESCRIPTOR_CONTROL presentBit, const ACL*& piece)
    {
        if ((pieces.control & presentBit) == 0)
            return true;
        DWORD offset = 0, available = 0;
        if (!locate(field, offset, available))
            return false;
        if (offset == 0)
            return true; // a present null ACL
        if (available < sizeof(ACL))
            return false;
        const DWORD size = ReadWord(bytes + offset + 2);
        if (size < sizeof(ACL) || size > available)
            return false;
        piece = reinterpret_cast<const ACL*>(bytes + offset);
        end = std::max<ULONGLONG>(end, ULONGLONG(offset) + size);
        return true;
    };
    if (!sid(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner), pieces.owner) ||
        !sid(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group), pieces.group) ||
        !acl(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl), SE_SACL_PRESENT, pieces.sacl) ||
        !acl(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl), SE_DACL_PRESENT, pieces.dacl))
        return false;
    extent = static_cast<DWORD>(end);
    return true;
}

bool AbsolutePieces(const SECURITY_DESCRIPTOR* sd, Pieces& pieces)
{
    pieces = Pieces();
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return false;
    pieces.sbz1 = sd->Sbz1;
    pieces.control = sd->Control;
    pieces.owner = static_cast<const BYTE*>(sd->Owner);
    pieces.group = static_cast<const BYTE*>(sd->Group);
    if (sd->Control & SE_SACL_PRESENT)
        pieces.sacl = sd->Sacl;
    if (sd->Control & SE_DACL_PRESENT)
        pieces.dacl = sd->Dacl;
    return (!pieces.owner || SidSize(pieces.owner)) && (!pieces.group || SidSize(pieces.group)) &&
           (!pieces.sacl || pieces.sacl->AclSize >= sizeof(ACL)) &&
           (!pieces.dacl || pieces.dacl->AclSize >= sizeof(ACL));
}

// A malloc copy of size bytes; true with null for a null source.
bool Duplicate(const void* source, DWORD size, CqzScopedHeap<void>& copy)
{
    copy.Reset();
    if (source == nullptr)
        return true;
    copy.Reset(std::malloc(size));
    if (!copy)
        return false;
    std::memcpy(copy.Get(), source, size);
    return true;
}

void FreeAbsolute(SECURITY_DESCRIPTOR* sd)
{
    std::free(sd->Owner);
    std::free(sd->Group);
    std::free(sd->Sacl);
    std::free(sd->Dacl);
    std::free(sd);
}

// An absolute descriptor whose header and pieces are malloc copies of the
// given ones.
SECURITY_DESCRIPTOR* BuildAbsolute(const Pieces& pieces)
{
    CqzScopedHeap<SECURITY_DESCRIPTOR> sd(
        static_cast<SECURITY_DESCRIPTOR*>(std::calloc(1, sizeof(SECURITY_DESCRIPTOR))));
    CqzScopedHeap<void> owner, group, sacl, dacl;
    if (!sd || !Duplicate(pieces.owner, SidSize(pieces.owner), owner) ||
        !Duplicate(pieces.group, SidSize(pieces.group), group) || !Duplicate(pieces.sacl, AclSize(pieces.sacl), sacl) ||
        !Duplicate(pieces.dacl, AclSize(pieces.dacl), dacl))
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SECURITY_DESCRIPTOR* result = sd.Release();
    result->Revision = SECURITY_DESCRIPTOR_REVISION;
    result->Sbz1 = pieces.sbz1;
    result->Control = pieces.control & ~SE_SELF_RELATIVE;
    result->Owner = owner.Release();
    result->Group = group.Release();
    result->Sacl = static_cast<PACL>(sacl.Release());
    result->Dacl = static_cast<PACL>(dacl.Release());
    return result;
}

// The pieces of the descriptor an object holds (checked when it came in).
bool HeldPieces(const SECURITY_DESCRIPTOR* sd, DWORD cbSelfRelative, Pieces& pieces)
{
    if (sd == nullptr)
    {
        ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    DWORD extent = 0;
    if (cbSelfRelative != 0)
        return MeasureSelfRelative(reinterpret_cast<const BYTE*>(sd), cbSelfRelative, extent, pieces);
    return AbsolutePieces(sd, pieces);
}

// One part of the held descriptor with its present (0: none) and defaulted
// bits; any out pointer may be null.
template <class Part>
bool ReadPart(const SECURITY_DESCRIPTOR* sd, DWORD cbSelfRelative, Part Pieces::*member,
              SECURITY_DESCRIPTOR_CONTROL presentBit, SECURITY_DESCRIPTOR_CONTROL defaultedBit, Part* part,
              bool* present, bool* defaulted)
{
    Pieces pieces;
    if (!HeldPieces(sd, cbSelfRelative, pieces))
        return false;
    if (part != nullptr)
        *part = pieces.*member;
    if (present != nullptr)
        *present = presentBit == 0 || (pieces.control & presentBit) != 0;
    if (defaulted != nullptr)
        *defaulted = (pieces.control & defaultedBit) != 0;
    return true;
}

} // namespace

CSecurityDesc::CSecurityDesc(const void* descriptor)
{
    Copy(descriptor);
}

CSecurityDesc::CSecurityDesc(const CSecurityDesc& other)
{
    *this = other;
}

CSecurityDesc& CSecurityDesc::operator=(const CSecurityDesc& other)
{
    if (this == &other)
        return *this;
    if (other.IsSelfRelative())
        CopySelfRelative(other.m_pSecurityDescriptor, other.m_cbSelfRelative);
    else
        Copy(other.m_pSecurityDescriptor);
    return *this;
}

CSecurityDesc& CSecurityDesc::operator=(const void* descriptor)
{
    Copy(descriptor);
    return *this;
}

CSecurityDesc::~CSecurityDesc()
{
    Clear();
}

void CSecurityDesc::Clear()
{
    if (m_pSecurityDescriptor == nullptr)
        return;
    if (m_cbSelfRelative != 0)
        std::free(m_pSecurityDescriptor);
    else
        FreeAbsolute(m_pSecurityDescriptor);
    m_pSecurityDescriptor = nullptr;
    m_cbSelfRelative = 0;
}

bool CSecurityDesc::Copy(const void* descriptor)
{
    if (descriptor == nullptr)
    {
        Clear();
        return true;
    }
    const BYTE* bytes = static_cast<const BYTE*>(descriptor);
    if (ReadWord(bytes + 2) & SE_SELF_RELATIVE)
    {
        DWORD extent = 0;
        Pieces pieces;
        if (!MeasureSelfRelative(bytes, kTrusted, extent, pieces))
        {
            Clear();
            ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
            return false;
        }
        return CopySelfRelative(descriptor, extent);
    }
    return _CopyAbsolute(static_cast<const SECURITY_DESCRIPTOR*>(descriptor));
}

bool CSecurityDesc::CopySelfRelative(const void* bytes, DWORD size)
{
    DWORD extent = 0;
    Pieces pieces;
    if (bytes == nullptr || !MeasureSelfRelative(static_cast<const BYTE*>(bytes), size, extent, pieces))
    {
        Clear();
        ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    CqzScopedHeap<void> copy;
    if (!Duplicate(bytes, extent, copy))
    {
        Clear();
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    Clear();
    m_pSecurityDescriptor = static_cast<SECURITY_DESCRIPTOR*>(copy.Release());
    m_cbSelfRelative = extent;
    return true;
}

bool CSecurityDesc::_CopyAbsolute(const SECURITY_DESCRIPTOR* descriptor)
{
    Pieces pieces;
    SECURITY_DESCRIPTOR* copy = nullptr;
    if (!AbsolutePieces(descriptor, pieces))
        ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
    else
        copy = BuildAbsolute(pieces);
    Clear();
    m_pSecurityDescriptor = copy;
    return copy != nullptr;
}

bool CSecurityDesc::MakeAbsolute()
{
    Pieces pieces;
    if (!HeldPieces(m_pSecurityDescriptor, m_cbSelfRelative, pieces))
        return false;
    if (m_cbSelfRelative == 0)
        return true;
    SECURITY_DESCRIPTOR* absolute = BuildAbsolute(pieces);
    if (absolute == nullptr)
        return false;
    Clear();
    m_pSecurityDescriptor = absolute;
    return true;
}

bool CSecurityDesc::_NewEmpty(DWORD& error)
{
    SECURITY_DESCRIPTOR* sd = static_cast<SECURITY_DESCRIPTOR*>(std::calloc(1, sizeof(SECURITY_DESCRIPTOR)));
    if (sd == nullptr)
    {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    if (!::InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION))
    {
        error = ::GetLastError();
        std::free(sd);
        return false;
    }
    Clear();
    m_pSecurityDescriptor = sd;
    return true;
}

void CSecurityDesc::CreateEmpty()
{
    DWORD error = 0;
    if (!_NewEmpty(error))
        throw CAtlException(error == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY : HRESULT_FROM_WIN32(error));
}

bool CSecurityDesc::_EnsureAbsolute()
{
    if (m_pSecurityDescriptor != nullptr)
        return MakeAbsolute();
    DWORD error = 0;
    if (_NewEmpty(error))
        return true;
    ::SetLastError(error);
    return false;
}

bool CSecurityDesc::GetOwner(PSID* sid, bool* defaulted) const
{
    const BYTE* owner = nullptr;
    const bool read = ReadPart(m_pSecurityDescriptor, m_cbSelfRelative, &Pieces::owner, 0, SE_OWNER_DEFAULTED, &owner,
                               nullptr, defaulted);
    if (read && sid != nullptr)
        *sid = const_cast<BYTE*>(owner);
    return read;
}

bool CSecurityDesc::GetGroup(PSID* sid, bool* defaulted) const
{
    const BYTE* group = nullptr;
    const bool read = ReadPart(m_pSecurityDescriptor, m_cbSelfRelative, &Pieces::group, 0, SE_GROUP_DEFAULTED, &group,
                               nullptr, defaulted);
    if (read && sid != nullptr)
        *sid = const_cast<BYTE*>(group);
    return read;
}

namespace
{

bool LoadSid(PSID raw, CSid* sid)
{
    if (sid == nullptr)
        return true;
    sid->Clear();
    return raw == nullptr || sid->LoadAccount(raw);
}

} // namespace

bool CSecurityDesc::GetOwner(CSid* sid, bool* defaulted) const
{
    PSID raw = nullptr;
    return GetOwner(&raw, defaulted) && LoadSid(raw, sid);
}

bool CSecurityDesc::GetGroup(CSid* sid, bool* defaulted) const
{
    PSID raw = nullptr;
    return GetGroup(&raw, defaulted) && LoadSid(raw, sid);
}

bool CSecurityDesc::_ReplaceSid(bool owner, const CSid& sid, bool defaulted)
{
    if (!sid.IsValid())
    {
        ::SetLastError(ERROR_INVALID_SID);
        return false;
    }
    CqzScopedHeap<void> copy;
    if (!Duplicate(sid.GetPSID(), sid.GetLength(), copy))
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!_EnsureAbsolute())
        return false;
    PSID& slot = owner ? m_pSecurityDescriptor->Owner : m_pSecurityDescriptor->Group;
    std::free(slot);
    slot = copy.Release();
    _SetControlBit(owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED, defaulted);
    return true;
}

bool CSecurityDesc::SetOwner(const CSid& sid, bool defaulted)
{
    return _ReplaceSid(true, sid, defaulted);
}

bool CSecurityDesc::SetGroup(const CSid& sid, bool defaulted)
{
    return _ReplaceSid(false, sid, defaulted);
}

void CSecurityDesc::_SetControlBit(SECURITY_DESCRIPTOR_CONTROL bit, bool on)
{
    if (on)
        m_pSecurityDescriptor->Control |= bit;
    else
        m_pSecurityDescriptor->Control &= ~bit;
}

bool CSecurityDesc::GetDacl(const ACL** dacl, bool* present, bool* defaulted) const
{
    return ReadPart(m_pSecurityDescriptor, m_cbSelfRelative, &Pieces::dacl, SE_DACL_PRESENT, SE_DACL_DEFAULTED, dacl,
                    present, defaulted);
}

bool CSecurityDesc::GetDacl(CDacl* dacl, bool* present, bool* defaulted) const
{
    const ACL* raw = nullptr;
    if (!GetDacl(&raw, present, defaulted))
        return false;
    return dacl == nullptr || dacl->Copy(raw);
}

bool CSecurityDesc::SetDacl(const CDacl& dacl, bool defaulted)
{
    if (!_EnsureAbsolute())
        return false;
    CqzScopedHeap<void> copy;
    if (!Duplicate(dacl.GetPACL(), dacl.GetLength(), copy))
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::free(m_pSecurityDescriptor->Dacl);
    m_pSecurityDescriptor->Dacl = static_cast<PACL>(copy.Release());
    _SetControlBit(SE_DACL_PRESENT, true);
    _SetControlBit(SE_DACL_DEFAULTED, defaulted);
    return true;
}

bool CSecurityDesc::GetSacl(const ACL** sacl, bool* present, bool* defaulted) const
{
    return ReadPart(m_pSecurityDescriptor, m_cbSelfRelative, &Pieces::sacl, SE_SACL_PRESENT, SE_SACL_DEFAULTED, sacl,
                    present, defaulted);
}

bool CSecurityDesc::GetControl(SECURITY_DESCRIPTOR_CONTROL* control) const
{
    Pieces pieces;
    if (!HeldPieces(m_pSecurityDescriptor, m_cbSelfRelative, pieces))
        return false;
    if (control != nullptr)
        *control = pieces.control;
    return true;
}

bool CSecurityDesc::ToString(std::wstring* text, SECURITY_INFORMATION parts) const
{
    if (m_pSecurityDescriptor == nullptr)
    {
        ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    CqzScopedLocal<wchar_t> converted;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(m_pSecurityDescriptor, SDDL_REVISION_1, parts,
                                                                converted.Receive(), nullptr))
        return false;
    if (text != nullptr)
        *text = converted.Get() ? converted.Get() : L"";
    return true;
}
