// CDacl and CSecurityDesc: a discretionary ACL held as its entries, and one
// security descriptor owned by an object. CAtlException carries an HRESULT
// for the one operation of the library that reports by exception (see
// CSecurityDesc::CreateEmpty).
//
// No other operation throws; failures are reported by the result and the
// thread's last-error value.
#pragma once

#include <windows.h>

#include <vector>

#include "common/atl/atl_sid.h"

class CAtlException
{
public:
    explicit CAtlException(HRESULT hr) : m_hr(hr) {}
    operator HRESULT() const { return m_hr; }

    HRESULT m_hr;
};

// A DACL as the list of its ACEs (each kept byte for byte, so that object and
// callback ACEs survive a copy), or the null DACL (which grants everyone
// everything). A default-constructed object is an empty DACL: it grants
// nobody anything.
class CDacl
{
public:
    // Largest ACL the system accepts: its size is a 16-bit count of bytes,
    // kept a multiple of four.
    static constexpr DWORD MaxAclSize = 0xFFFC;

    CDacl() = default;
    // Copies the ACL; null gives the null DACL. A malformed ACL (see Copy)
    // gives an empty DACL.
    explicit CDacl(const ACL* acl);
    CDacl(const CDacl&) = default;
    CDacl& operator=(const CDacl&) = default;
    virtual ~CDacl() = default;

    // Copies the ACL's entries; null gives the null DACL. False
    // (ERROR_INVALID_ACL) when the ACL's header or any ACE does not fit in
    // its AclSize, or an ACE is shorter than its header: the object is then
    // an empty DACL. Nothing past AclSize is read.
    bool Copy(const ACL* acl);

    // Null DACL: marks the object null and drops its entries. SetEmpty makes
    // it an empty, non-null DACL.
    void SetNull();
    void SetEmpty();
    bool IsNull() const { return m_bNull; }

    UINT GetAceCount() const { return static_cast<UINT>(m_aces.size()); }

    // One ACE by index: its SID (cleared when the ACE type carries none or the
    // SID is not well formed), access mask (0 for a type without one), type
    // and flags; any out pointer may be null. False (ERROR_INVALID_PARAMETER)
    // outside 0..GetAceCount()-1.
    bool GetAclEntry(UINT index, CSid* sid, ACCESS_MASK* mask = nullptr, BYTE* type = nullptr,
                     BYTE* flags = nullptr) const;
    // All ACEs at once, in order, each vector replaced (null: not wanted).
    void GetAclEntries(std::vector<CSid>* sids, std::vector<ACCESS_MASK>* masks = nullptr,
                       std::vector<BYTE>* types = nullptr, std::vector<BYTE>* flags = nullptr) const;

    // Adds an ACE in canonical position: an explicit denied ACE after the
    // explicit denied ones, an explicit allowed ACE before the first
    // inherited one, an inherited ACE (INHERITED_ACE in flags) last. A null
    // DACL becomes a DACL holding only the new ACE. False
    // (ERROR_INVALID_SID) for an invalid SID, (ERROR_INVALID_PARAMETER) when
    // the ACL would grow past MaxAclSize.
    bool AddAllowedAce(const CSid& sid, ACCESS_MASK mask, BYTE flags = 0);
    bool AddDeniedAce(const CSid& sid, ACCESS_MASK mask, BYTE flags = 0);

    // Removes every ACE, of whatever type, that names this SID. False
    // (ERROR_INVALID_SID) for an invalid SID; true otherwise, also when no
    // ACE named it.
    bool RemoveAces(const CSid& sid);
    // Removes all ACEs (the DACL stays non-null or null as it was).
    void RemoveAllAces();

    // The ACL built from the entries, owned by the object and valid until the
    // next change or its destruction; null for the null DACL (never for an
    // empty one). The system may read it; nobody writes through it.
    PACL GetPACL() const;
    // Bytes of the ACL GetPACL builds (0 for the null DACL).
    DWORD GetLength() const;

private:
    bool _AddAce(BYTE type, const CSid& sid, ACCESS_MASK mask, BYTE flags);
    // Builds the ACL of the entries into m_built; every change ends with it,
    // so that GetPACL never needs to allocate.
    bool _Build();

    std::vector<std::vector<BYTE>> m_aces; // each ACE's bytes, header included, checked when added
    BYTE m_revision = ACL_REVISION;
    bool m_bNull = false;
    std::vector<DWORD> m_built; // the ACL of m_aces (DWORD-aligned); empty without ACEs
    mutable ACL m_empty = {};   // the ACL handed out without ACEs
};

// One security descriptor owned by the object, in m_pSecurityDescriptor
// (null: no descriptor yet).
//
// Forms: a copy of a self-relative descriptor stays self-relative (one
// malloc block); MakeAbsolute turns it into the absolute form, where the
// SECURITY_DESCRIPTOR and each of owner, group, DACL and SACL are separate
// malloc blocks owned by the object. Whoever replaces one of those pieces
// through the system's Set* functions frees the old one with free(). Every
// Set* operation of this class converts to absolute form first.
class CSecurityDesc
{
public:
    CSecurityDesc() = default;
    // Copies the descriptor (see Copy); on failure the object holds none.
    explicit CSecurityDesc(const void* descriptor);
    CSecurityDesc(const CSecurityDesc& other);
    CSecurityDesc& operator=(const CSecurityDesc& other);
    // Clears, then copies (see Copy).
    CSecurityDesc& operator=(const void* descriptor);
    virtual ~CSecurityDesc();

    // Clears, then copies a descriptor of either form. The copy keeps the
    // form it was given. A self-relative descriptor is trusted to hold what
    // its header declares: its header, and each piece its offsets name (a
    // SID's 8-byte header and its sub-authorities, an ACL's AclSize); only
    // those bytes are read. False (ERROR_INVALID_SECURITY_DESCR) when the
    // revision is not 1 or a piece is malformed; null gives an empty object.
    bool Copy(const void* descriptor);
    // The same for a self-relative descriptor of known size, from untrusted
    // bytes: nothing past size is read; every piece must lie inside it.
    bool CopySelfRelative(const void* bytes, DWORD size);
    // Frees the descriptor and its pieces.
    void Clear();

    // Turns the descriptor into the absolute form (true when it already is).
    // False (ERROR_INVALID_SECURITY_DESCR) without a descriptor,
    // (ERROR_NOT_ENOUGH_MEMORY) when a piece cannot be allocated; the
    // descriptor is then unchanged.
    bool MakeAbsolute();
    // Makes an empty absolute descriptor (revision 1, no owner, group, DACL or
    // SACL), dropping any held one. Throws CAtlException (E_OUTOFMEMORY, or
    // the HRESULT of InitializeSecurityDescriptor's error) on failure.
    void CreateEmpty();

    // Owner / group SID and whether it is defaulted. An absent one clears the
    // SID and answers true. False (ERROR_INVALID_SECURITY_DESCR) without a
    // descriptor.
    bool GetOwner(CSid* sid, bool* defaulted = nullptr) const;
    bool GetGroup(CSid* sid, bool* defaulted = nullptr) const;
    // The raw piece, owned by the descriptor (null when absent).
    bool GetOwner(PSID* sid, bool* defaulted = nullptr) const;
    bool GetGroup(PSID* sid, bool* defaulted = nullptr) const;
    // Replace the owner / group (converting to absolute form; without a
    // descriptor an empty one is made first, see SetDacl).
    bool SetOwner(const CSid& sid, bool defaulted = false);
    bool SetGroup(const CSid& sid, bool defaulted = false);

    // The DACL: present and defaulted flags, and a copy of the list (the null
    // DACL when present with none, or when absent). Raw form: the ACL owned by
    // the descriptor, null when absent or null.
    bool GetDacl(CDacl* dacl, bool* present = nullptr, bool* defaulted = nullptr) const;
    bool GetDacl(const ACL** dacl, bool* present = nullptr, bool* defaulted = nullptr) const;
    // Sets the DACL, present, with the defaulted flag; a null CDacl gives a
    // present null DACL. Without a descriptor an empty one is made first
    // (without throwing: false with ERROR_NOT_ENOUGH_MEMORY when it cannot).
    bool SetDacl(const CDacl& dacl, bool defaulted = false);
    // The SACL owned by the descriptor (null when absent or null).
    bool GetSacl(const ACL** sacl, bool* present = nullptr, bool* defaulted = nullptr) const;

    bool GetControl(SECURITY_DESCRIPTOR_CONTROL* control) const;

    // String form of the parts named by the flags
    // (ConvertSecurityDescriptorToStringSecurityDescriptorW, revision 1).
    // False without a descriptor or when the system cannot convert it.
    bool ToString(std::wstring* text,
                  SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                               DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION |
                                               LABEL_SECURITY_INFORMATION) const;

    // The descriptor itself (null when none), owned by the object.
    PSECURITY_DESCRIPTOR GetPSECURITY_DESCRIPTOR() const { return m_pSecurityDescriptor; }
    bool IsSelfRelative() const { return m_pSecurityDescriptor != nullptr && m_cbSelfRelative != 0; }
    // Bytes of the self-relative copy; 0 in absolute form.
    DWORD GetSelfRelativeSize() const { return m_cbSelfRelative; }

protected:
    SECURITY_DESCRIPTOR* m_pSecurityDescriptor = nullptr;

private:
    bool _EnsureAbsolute();
    bool _NewEmpty(DWORD& error);
    bool _CopyAbsolute(const SECURITY_DESCRIPTOR* descriptor);
    bool _ReplaceSid(bool owner, const CSid& sid, bool defaulted);
    void _SetControlBit(SECURITY_DESCRIPTOR_CONTROL bit, bool on);

    DWORD m_cbSelfRelative = 0; // size of the self-relative block, 0 in absolute form
};
