// Security attributes (claims) of an access token: reading them from a token
// (TokenSecurityAttributes, Windows 8 and later), building a set in memory,
// writing a set to a token, and rendering a set as text.
//
// Version: below Windows 8 (major below 6, or 6 with minor below 2) the
// token classes do not exist. There FromAccessToken answers false,
// FromPolicyData and Dump do nothing, and SetAttributeWithoutValues answers
// true without doing anything; none of them traces.
//
// Failures are traced at ERROR under the class names
// "CqzTokenSecurityAttributes" and "CqzTokenSecurityAttribute", answer false
// and leave the object empty. Nothing throws. An object is not shared
// between threads.
#pragma once

#include <windows.h>

#include <winternl.h>

#include <string>

#include "common/util/scoped.h"

class CqzAccessToken;
class CqzTextSink;

// The records as the token returns and takes them (the system's own layout
// for this build's bitness; the SDK headers of this toolchain lack them).
namespace qzclaims
{
// Value element of type FQBN: version and fully qualified binary name.
struct TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE
{
    ULONG64 Version;
    UNICODE_STRING Name;
};

// Value element of types SID and OCTET_STRING: the bytes and their length
// (for SID, pValue points at the SID).
struct TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE
{
    PVOID pValue;
    ULONG ValueLength;
};

struct TOKEN_SECURITY_ATTRIBUTE_V1
{
    UNICODE_STRING Name;
    USHORT ValueType;
    USHORT Reserved;
    ULONG Flags;
    ULONG ValueCount;
    union
    {
        PLONG64 pInt64;
        PULONG64 pUint64;
        PUNICODE_STRING pString;
        TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE* pFqbn;
        TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE* pOctetString;
        void* pGeneric;
    } Values;
};

struct TOKEN_SECURITY_ATTRIBUTES_INFORMATION
{
    USHORT Version;
    USHORT Reserved;
    ULONG AttributeCount;
    union
    {
        TOKEN_SECURITY_ATTRIBUTE_V1* pAttributeV1;
    } Attribute;
};

// What SetTokenInformation(TokenSecurityAttributes) takes: the set and one
// operation code per attribute.
struct TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION
{
    TOKEN_SECURITY_ATTRIBUTES_INFORMATION* Attributes;
    ULONG* Operations;
};

#ifdef _WIN64
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTE_V1) == 40, "attribute record layout");
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTES_INFORMATION) == 16, "attribute set layout");
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION) == 16, "operation record layout");
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE) == 24, "FQBN value layout");
#else
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTE_V1) == 24, "attribute record layout");
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTES_INFORMATION) == 12, "attribute set layout");
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION) == 8, "operation record layout");
static_assert(sizeof(TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE) == 16, "FQBN value layout");
#endif

const USHORT kVersionV1 = 1;
// Operation code: replace the attribute's values (or add the attribute).
const ULONG kOperationReplace = 4;

// Value types (the CLAIM_SECURITY_ATTRIBUTE_TYPE_* values).
const USHORT kTypeInvalid = 0;
const USHORT kTypeInt64 = 1;
const USHORT kTypeUint64 = 2;
const USHORT kTypeString = 3;
const USHORT kTypeFqbn = 4;
const USHORT kTypeSid = 5;
const USHORT kTypeBoolean = 6;
const USHORT kTypeOctetString = 16;

// Flag bits.
const ULONG kFlagNonInheritable = 0x01;
const ULONG kFlagValueCaseSensitive = 0x02;
const ULONG kFlagUseForDenyOnly = 0x04;
const ULONG kFlagDisabledByDefault = 0x08;
const ULONG kFlagDisabled = 0x10;
const ULONG kFlagMandatory = 0x20;
const ULONG kFlagCompareIgnore = 0x40;

// Size of one value element of a supported type; 0 for any other type.
size_t ValueElementSize(USHORT valueType);
} // namespace qzclaims

// One attribute record. Owning (built here with _SetName /
// _SetNameAndSimpleValues): the name text, the value array and what its
// elements point at (the texts of STRING and FQBN values, the bytes of SID
// and OCTET_STRING values) are this object's allocations and go with it.
// Not owning (assigned from a record, GetAt, FindByName): the record refers
// into a set someone else owns and must not outlive it.
class CqzTokenSecurityAttribute
{
public:
    typedef qzclaims::TOKEN_SECURITY_ATTRIBUTE_V1 Record;

    CqzTokenSecurityAttribute();
    ~CqzTokenSecurityAttribute();
    CqzTokenSecurityAttribute(const CqzTokenSecurityAttribute&) = delete;
    CqzTokenSecurityAttribute& operator=(const CqzTokenSecurityAttribute&) = delete;

    // Refers to the record without owning it (what was owned is freed).
    CqzTokenSecurityAttribute& operator=(const Record& record);

    const Record& GetRecord() const { return m_record; }
    bool IsOwned() const { return m_owned; }
    bool IsEmpty() const;

    USHORT GetType() const { return m_record.ValueType; }
    ULONG GetFlags() const { return m_record.Flags; }
    ULONG GetValueCount() const { return m_record.ValueCount; }
    // The name text (empty without one).
    std::wstring GetName() const;

    // "INT64", "UINT64", "STRING", "FQBN", "SID", "BOOLEAN", "OCTET_STRING",
    // "INVALID" (0) or "-UNKNOWN-".
    const wchar_t* GetTypeName() const;
    static const wchar_t* GetTypeName(USHORT valueType);
    // The flag words joined with "|" ("0" without flags); bits without a
    // word follow as "0x%.8X".
    std::wstring GetFlagsString() const;
    static std::wstring GetFlagsString(ULONG flags);
    // The text of value `index`; empty for an index outside the values.
    std::wstring GetValueString(ULONG index) const;
    // "Type=%u (%s), Flags=0x%.8X (%s) Count=%u" and " {value}" per value
    // ("," between values).
    std::wstring GetSummary() const;

    // Building (the object becomes owning). _SetName replaces the name: an
    // empty name or one of 65535 bytes or more with its terminator fails.
    bool _SetName(const wchar_t* name);
    // Releases the object and builds it anew: the name, type, flags and a
    // copy of `count` elements of `elementSize` bytes. For a supported type
    // the element size must be that type's (ValueElementSize) and the
    // elements' texts and bytes are copied too (a SID must be valid and fit
    // its length). False, with the object empty, for bad parameters.
    bool _SetNameAndSimpleValues(const wchar_t* name, const void* values, size_t elementSize, ULONG count,
                                 USHORT valueType, ULONG flags);
    // Frees the values of an owning object (each element's own allocations,
    // then the array). Unknown types free the array only and trace.
    void _FreeValues();
    // Frees what value `index` of an owning object points at; types whose
    // values own nothing trace.
    void _FreeValue(ULONG index);

    // Moves the record to `target` (which then owns it if this object did)
    // and clears this object.
    void HandOver(Record& target);
    // Frees what is owned and clears the record.
    void Clear();

private:
    friend class CqzTokenSecurityAttributes;
    // Frees the parts of a record built by this class and handed over.
    static void FreeOwnedRecord(Record& record);
    bool _CopyElementParts(ULONG count);
    void _FreeName();

    Record m_record;
    bool m_owned = false;
};

// A set of attribute records: either a block read whole from a token (one
// allocation), or a set built here (the set, the record array and each
// record's owned parts are separate allocations). Both are released with
// the object, each the way it was made.
class CqzTokenSecurityAttributes
{
public:
    typedef qzclaims::TOKEN_SECURITY_ATTRIBUTES_INFORMATION Set;

    CqzTokenSecurityAttributes() = default;
    ~CqzTokenSecurityAttributes();
    CqzTokenSecurityAttributes(const CqzTokenSecurityAttributes&) = delete;
    CqzTokenSecurityAttributes& operator=(const CqzTokenSecurityAttributes&) = delete;

    // Reads the token's attributes (what was held is released first).
    // Access: TOKEN_QUERY. False: not read; error is 6 for a null handle,
    // else the token read's error (Wine: 1). Below Windows 8 false without a
    // trace (error untouched).
    bool FromAccessToken(HANDLE hToken, DWORD& error);
    // Takes over the attribute's record as the one attribute of a new built
    // set (the given object is left empty). A record the object does not own
    // is copied first, so the set never frees memory that is not its own.
    void FromPolicyData(CqzTokenSecurityAttribute& attribute);

    // Replaces the held attributes on the token (operation 4 for each).
    // Access: TOKEN_ADJUST_DEFAULT and SeTcbPrivilege. False: nothing held
    // (traced; the thread's last error is 13), or the system refused (Wine:
    // 1): the token object keeps that error, the handle form leaves it as
    // the thread's last error and the handle open.
    bool SetToAccessToken(CqzAccessToken& token);
    bool SetToAccessToken(HANDLE hToken);
    // Sets one attribute with no values on the token (operation 4). Access:
    // as SetToAccessToken. False: an empty name or one too long (87, not
    // asked of the system), or the system refused; the error is left as the
    // thread's last error.
    static bool SetAttributeWithoutValues(HANDLE hToken, const wchar_t* name, USHORT valueType);

    ULONG GetCount() const;
    // The record at `index`, not owned: valid while this object holds it.
    bool GetAt(ULONG index, CqzTokenSecurityAttribute& attribute) const;
    // The first record whose name is exactly `name` (case-sensitive).
    bool FindByName(const wchar_t* name, CqzTokenSecurityAttribute& attribute) const;

    // "TOKEN SECURITY ATTRIBUTES: NULL" when nothing is held; else the count
    // line and one line per attribute and per value.
    void Dump(CqzTextSink& sink) const;

    const Set* GetSet() const { return m_set; }
    bool IsFromToken() const { return m_fromToken; }
    DWORD GetSize() const { return m_size; }
    void Release();

private:
    static bool _IsWin8OrLater();

    Set* m_set = nullptr;
    DWORD m_size = 0;
    bool m_fromToken = false;
    CqzScopedHeap<BYTE> m_tokenBlock;
};
