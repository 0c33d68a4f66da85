#include "common/cust_cmd/cust_cmd.h"

#include <cstring>
#include <cwchar>

#include "trace/trace.h"

namespace
{
const char* const kFileMapClass = "CqzCustComdFileMap";

constexpr DWORD kPrefixSize = sizeof(DWORD);

// S-1-0-0: what an empty SID field reads as.
const BYTE kNullSid[] = {SID_REVISION, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Fields are packed without alignment: integers go through memcpy.
BYTE* PutDword(BYTE* pos, DWORD value)
{
    std::memcpy(pos, &value, sizeof(value));
    return pos + sizeof(value);
}

DWORD GetDword(const BYTE* pos)
{
    DWORD value = 0;
    std::memcpy(&value, pos, sizeof(value));
    return value;
}

BYTE* PutBytes(const void* data, DWORD size, BYTE* pos)
{
    if (size == 0)
        return pos;
    if (data)
        std::memcpy(pos, data, size);
    else
        std::memset(pos, 0, size);
    return pos + size;
}

DWORD StringFieldSize(size_t length)
{
    return length == 0 ? kPrefixSize : static_cast<DWORD>(kPrefixSize + (length + 1) * sizeof(wchar_t));
}

BYTE* PutString(const wchar_t* text, size_t length, BYTE* pos)
{
    if (length == 0)
        return PutDword(pos, 0);
    const DWORD textBytes = static_cast<DWORD>(length * sizeof(wchar_t));
    pos = PutDword(pos, textBytes + sizeof(wchar_t));
    pos = PutBytes(text, textBytes, pos);
    return PutBytes(nullptr, sizeof(wchar_t), pos);
}

// Reads the length prefix of a string or SID field and checks that the field
// lies within the remaining bytes. `what` names the field in the trace lines.
bool ReadLengthPrefix(const BYTE* pos, DWORD remaining, const char* what, DWORD& length)
{
    if (!pos)
    {
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Invalid parameter. buf is NULL");
        return false;
    }
    if (remaining < kPrefixSize)
    {
        QZTRACE(QZT_ERROR, kFileMapClass,
                "ERROR: Cannot deserialize " << what << ". Remaining buffer size is less than sizeof(DWORD).");
        return false;
    }
    const DWORD fieldLength = GetDword(pos);
    if (fieldLength > remaining - kPrefixSize)
    {
        QZTRACE(QZT_ERROR, kFileMapClass,
                "ERROR: Cannot deserialize " << what << ". Remaining buffer size is less " << what << " byte length.");
        return false;
    }
    length = fieldLength;
    return true;
}
} // namespace

// ---------------------------------------------------------------------------
// SqzCustCmdRecord

bool SqzCustCmdRecord::IsValid(SIZE_T regionSize) const
{
    // The region size comes first: below a whole section the header itself
    // may lie outside the mapping.
    return regionSize >= QZ_CIC_SECTION_SIZE && dwMagic == QZ_CIC_RECORD_MAGIC && dwDataLen <= QZ_CIC_MAX_DATA_LEN;
}

// ---------------------------------------------------------------------------
// CqzSidBuffer

bool CqzSidBuffer::Assign(const void* sid, DWORD size)
{
    // The fixed part of a SID (revision, count, authority) precedes the
    // sub-authorities; IsValidSid trusts the count, so check that the bytes
    // hold them before asking it.
    constexpr DWORD kFixedPart = 8;
    if (!sid || size < kFixedPart || size > SECURITY_MAX_SID_SIZE)
        return false;
    alignas(DWORD) BYTE copy[SECURITY_MAX_SID_SIZE] = {};
    std::memcpy(copy, sid, size);
    const BYTE subAuthorityCount = copy[1];
    if (kFixedPart + subAuthorityCount * sizeof(DWORD) > size || !::IsValidSid(copy))
        return false;
    std::memcpy(m_sid, copy, ::GetLengthSid(copy));
    m_bValid = true;
    return true;
}

bool CqzSidBuffer::IsValid() const
{
    return m_bValid && ::IsValidSid(const_cast<BYTE*>(m_sid));
}

const SID* CqzSidBuffer::GetPSID() const
{
    return IsValid() ? reinterpret_cast<const SID*>(m_sid) : nullptr;
}

DWORD CqzSidBuffer::GetLength() const
{
    return IsValid() ? ::GetLengthSid(const_cast<BYTE*>(m_sid)) : 0;
}

// ---------------------------------------------------------------------------
// CqzCustComdFileMap

DWORD CqzCustComdFileMap::_GetSerializedSize(const std::wstring& value)
{
    return StringFieldSize(value.size());
}

DWORD CqzCustComdFileMap::_GetSerializedSize(const wchar_t* value)
{
    return StringFieldSize(value ? std::wcslen(value) : 0);
}

DWORD CqzCustComdFileMap::_GetSerializedSize(const CqzSidBuffer& sid)
{
    return kPrefixSize + sid.GetLength();
}

BYTE* CqzCustComdFileMap::_Serialize(const std::wstring& value, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    return PutString(value.c_str(), value.size(), pos);
}

BYTE* CqzCustComdFileMap::_Serialize(const wchar_t* value, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    return PutString(value, value ? std::wcslen(value) : 0, pos);
}

BYTE* CqzCustComdFileMap::_Serialize(const CqzSidBuffer& sid, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    const DWORD length = sid.GetLength();
    pos = PutDword(pos, length);
    return PutBytes(sid.GetPSID(), length, pos);
}

BYTE* CqzCustComdFileMap::_Serialize(const void* data, DWORD serializedSize, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    if (serializedSize < kPrefixSize)
        return pos;
    const DWORD length = serializedSize - kPrefixSize;
    pos = PutDword(pos, length);
    return PutBytes(data, length, pos);
}

BYTE* CqzCustComdFileMap::_SerializeRaw(const void* data, DWORD size, BYTE* pos)
{
    return PutBytes(data, size, pos);
}

const BYTE* CqzCustComdFileMap::_Deserialize(const BYTE* pos, DWORD& remaining, std::wstring& value)
{
    QZ_STACK_NAME("_Deserialize", kFileMapClass);
    DWORD byteCount = 0;
    if (!ReadLengthPrefix(pos, remaining, "string", byteCount))
        return nullptr;

    // Whole characters only; the text ends at its first NUL.
    std::wstring text(byteCount / sizeof(wchar_t), L'\0');
    if (!text.empty())
        std::memcpy(&text[0], pos + kPrefixSize, text.size() * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);

    value.swap(text);
    remaining -= kPrefixSize + byteCount;
    return pos + kPrefixSize + byteCount;
}

const BYTE* CqzCustComdFileMap::_Deserialize(const BYTE* pos, DWORD& remaining, CqzSidBuffer& sid)
{
    QZ_STACK_NAME("_Deserialize", kFileMapClass);
    DWORD length = 0;
    if (!ReadLengthPrefix(pos, remaining, "SID", length))
        return nullptr;

    CqzSidBuffer read;
    const bool assigned =
        length == 0 ? read.Assign(kNullSid, sizeof(kNullSid)) : read.Assign(pos + kPrefixSize, length);
    if (!assigned)
    {
        // Any sender may write these bytes: a bad SID is a failed read, not a fault.
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Cannot deserialize SID. Invalid SID data.");
        return nullptr;
    }

    sid = read;
    remaining -= kPrefixSize + length;
    return pos + kPrefixSize + length;
}

const BYTE* CqzCustComdFileMap::_Deserialize(const BYTE* pos, DWORD size, DWORD& remaining, void* out)
{
    QZ_STACK_NAME("_Deserialize", kFileMapClass);
    if (!pos)
    {
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Invalid parameter. buf is NULL");
        return nullptr;
    }
    if (size > remaining)
    {
        QZTRACE(QZT_ERROR, kFileMapClass,
                "ERROR: Cannot deserialize " << static_cast<unsigned long>(size) << " bytes. Remaining buffer size is "
                                             << static_cast<unsigned long>(remaining) << " bytes");
        return nullptr;
    }
    if (size != 0 && !out)
    {
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Invalid parameter. out is NULL");
        return nullptr;
    }
    if (size != 0)
        std::memcpy(out, pos, size);
    remaining -= size;
    return pos + size;
}
