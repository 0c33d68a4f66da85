// Bounded reading of ACL, ACE and SID bytes that may be malformed: every
// function is given how many bytes may be read and reads no further.
#pragma once

#include <windows.h>

#include <cstring>

namespace qzacl
{

// Size of the ACE header (type, flags, 16-bit size).
constexpr DWORD AceHeaderSize = 4;
// Size of the SID header (revision, count, 6-byte authority).
constexpr DWORD SidHeaderSize = 8;

// Bytes of the well-formed SID at bytes (revision 1, at most 15
// sub-authorities, all of it within available); 0 otherwise.
inline DWORD SidSizeWithin(const BYTE* bytes, DWORD available)
{
    if (available < SidHeaderSize || bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES)
        return 0;
    const DWORD size = SidHeaderSize + 4u * bytes[1];
    return size <= available ? size : 0;
}

// ACE types laid out as header, access mask, SID.
inline bool IsMaskSidAceType(BYTE type)
{
    switch (type)
    {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
        return true;
    default:
        return false;
    }
}

// ACE types laid out as header, access mask, object flags, the GUIDs the
// flags name, SID.
inline bool IsObjectAceType(BYTE type)
{
    switch (type)
    {
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE:
        return true;
    default:
        return false;
    }
}

inline bool IsDeniedAceType(BYTE type)
{
    return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
           type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

inline DWORD ReadDword(const BYTE* bytes)
{
    DWORD value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

inline WORD ReadWord(const BYTE* bytes)
{
    WORD value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

// What one ACE holds, read within its own size.
struct AceView
{
    BYTE type = 0;
    BYTE flags = 0;
    WORD size = 0;
    bool hasMask = false; // the type carries an access mask (and the ACE holds it)
    ACCESS_MASK mask = 0;
    const BYTE* sid = nullptr; // the SID, when the type carries one and the ACE holds one
    DWORD sidSize = 0;
};

// Reads the ACE at bytes, of which available may be read. False when the
// header does not fit, the ACE's size is smaller than its header or larger
// than available, a mask does not fit, or a SID runs past the ACE's end. A
// type that carries a SID but whose ACE ends right after the fixed part has
// no SID (view.sid null).
inline bool ReadAce(const BYTE* bytes, DWORD available, AceView& view)
{
    view = AceView();
    if (available < AceHeaderSize)
        return false;
    view.type = bytes[0];
    view.flags = bytes[1];
    view.size = ReadWord(bytes + 2);
    if (view.size < AceHeaderSize || view.size > available)
        return false;
    const bool maskSid = IsMaskSidAceType(view.type);
    const bool object = IsObjectAceType(view.type);
    if (!maskSid && !object)
        return true;
    DWORD offset = AceHeaderSize;
    if (view.size < offset + sizeof(ACCESS_MASK))
        return false;
    view.hasMask = true;
    view.mask = ReadDword(bytes + offset);
    offset += sizeof(ACCESS_MASK);
    if (object)
    {
        if (view.size < offset + sizeof(DWORD))
            return false;
        const DWORD objectFlags = ReadDword(bytes + offset);
        offset += sizeof(DWORD);
        if (objectFlags & ACE_OBJECT_TYPE_PRESENT)
            offset += sizeof(GUID);
        if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
            offset += sizeof(GUID);
        if (view.size < offset)
            return false;
    }
    if (view.size == offset)
        return true;
    view.sidSize = SidSizeWithin(bytes + offset, view.size - offset);
    if (view.sidSize == 0)
        return false;
    view.sid = bytes + offset;
    return true;
}

// Walks the ACEs of the ACL at acl: its 8-byte header must be readable, and
// nothing past its AclSize is read. Calls visit(index, view) for each ACE it
// can read; at the first one it cannot, calls fail(index) and stops.
// Answers whether every ACE of the header's count was read.
template <class Visit, class Fail>
bool WalkAcl(const ACL* acl, Visit visit, Fail fail)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
    const DWORD aclSize = ReadWord(bytes + 2);
    const DWORD count = ReadWord(bytes + 4);
    DWORD offset = sizeof(ACL);
    for (DWORD index = 0; index < count; ++index)
    {
        AceView view;
        if (offset > aclSize || !ReadAce(bytes + offset, aclSize - offset, view))
        {
            fail(index);
            return false;
        }
        visit(index, view);
        offset += view.size;
    }
    return true;
}

} // namespace qzacl
