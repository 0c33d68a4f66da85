// One attribute record: building it from caller data (every text and byte
// copied, so the record owns all it points at) and freeing what it owns.
#include "common/security/token_security_attributes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "trace/trace.h"

namespace
{
constexpr const char kClass[] = "CqzTokenSecurityAttribute";

using qzclaims::TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE;
using qzclaims::TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE;

// "NULL" or "0x" and the address in upper-case hex, the same on every
// runtime.
std::string PointerText(const void* pointer)
{
    if (pointer == nullptr)
        return "NULL";
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << reinterpret_cast<std::uintptr_t>(pointer);
    return text.str();
}

void* AllocateBytes(size_t bytes)
{
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: malloc(" << bytes << ") failed.");
        ::SetLastError(ERROR_OUTOFMEMORY);
    }
    return block;
}

// A copy of a counted text with a terminator. An empty text stays without a
// buffer. False for a text that cannot be copied (no buffer, or no room for
// the terminator).
bool CopyCountedString(UNICODE_STRING& text)
{
    if (text.Length == 0)
    {
        text.Buffer = nullptr;
        text.MaximumLength = 0;
        return true;
    }
    if (text.Buffer == nullptr || text.Length > 0xFFFF - sizeof(wchar_t))
    {
        text.Buffer = nullptr;
        return false;
    }
    const size_t bytes = text.Length + sizeof(wchar_t);
    auto* copy = static_cast<BYTE*>(AllocateBytes(bytes));
    if (copy == nullptr)
    {
        text.Buffer = nullptr;
        return false;
    }
    std::memcpy(copy, text.Buffer, text.Length);
    copy[text.Length] = 0;
    copy[text.Length + 1] = 0;
    text.Buffer = reinterpret_cast<PWSTR>(copy);
    text.MaximumLength = static_cast<USHORT>(bytes);
    return true;
}

// Whether the bytes hold a whole valid SID.
bool IsWholeSid(const void* bytes, ULONG length)
{
    if (bytes == nullptr || length < 8)
        return false;
    const BYTE subAuthorities = static_cast<const BYTE*>(bytes)[1];
    if (::GetSidLengthRequired(subAuthorities) > length)
        return false;
    return ::IsValidSid(const_cast<void*>(bytes)) != FALSE;
}

// A copy of the element's bytes (a SID is checked first and kept at its
// own length).
bool CopyOctets(TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE& value, bool sid)
{
    if (sid)
    {
        if (!IsWholeSid(value.pValue, value.ValueLength))
        {
            value.pValue = nullptr;
            return false;
        }
        value.ValueLength = ::GetLengthSid(value.pValue);
    }
    if (value.ValueLength == 0)
    {
        value.pValue = nullptr;
        return true;
    }
    if (value.pValue == nullptr)
        return false;
    void* copy = AllocateBytes(value.ValueLength);
    if (copy != nullptr)
        std::memcpy(copy, value.pValue, value.ValueLength);
    value.pValue = copy;
    return copy != nullptr;
}
} // namespace

size_t qzclaims::ValueElementSize(USHORT valueType)
{
    switch (valueType)
    {
    case kTypeInt64:
    case kTypeUint64:
    case kTypeBoolean:
        return sizeof(ULONG64);
    case kTypeString:
        return sizeof(UNICODE_STRING);
    case kTypeFqbn:
        return sizeof(TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE);
    case kTypeSid:
    case kTypeOctetString:
        return sizeof(TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE);
    default:
        return 0;
    }
}

CqzTokenSecurityAttribute::CqzTokenSecurityAttribute() : m_record() {}

CqzTokenSecurityAttribute::~CqzTokenSecurityAttribute()
{
    Clear();
}

CqzTokenSecurityAttribute& CqzTokenSecurityAttribute::operator=(const Record& record)
{
    Clear();
    m_record = record;
    m_owned = false;
    return *this;
}

bool CqzTokenSecurityAttribute::IsEmpty() const
{
    return m_record.Name.Buffer == nullptr && m_record.Values.pGeneric == nullptr;
}

std::wstring CqzTokenSecurityAttribute::GetName() const
{
    if (m_record.Name.Buffer == nullptr)
        return std::wstring();
    return std::wstring(m_record.Name.Buffer, m_record.Name.Length / sizeof(wchar_t));
}

bool CqzTokenSecurityAttribute::_SetName(const wchar_t* name)
{
    QZ_STACK_NAME("_SetName", kClass);
    if (name == nullptr || name[0] == L'\0')
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invaid name (" << (name == nullptr ? "NULL" : "") << ")");
        return false;
    }
    const size_t chars = std::wcslen(name);
    if ((chars + 1) * sizeof(wchar_t) >= 0xFFFF)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Name param too long.");
        return false;
    }
    // A record that only referred into someone else's set is dropped: from
    // here on the object owns what it holds.
    if (!m_owned)
        m_record = Record();
    const size_t bytes = (chars + 1) * sizeof(wchar_t);
    auto* copy = static_cast<PWSTR>(AllocateBytes(bytes));
    if (copy == nullptr)
        return false;
    std::memcpy(copy, name, bytes);
    _FreeName();
    m_record.Name.Buffer = copy;
    m_record.Name.Length = static_cast<USHORT>(chars * sizeof(wchar_t));
    m_record.Name.MaximumLength = static_cast<USHORT>(bytes);
    m_owned = true;
    return true;
}

bool CqzTokenSecurityAttribute::_SetNameAndSimpleValues(const wchar_t* name, const void* values, size_t elementSize,
                                                        ULONG count, USHORT valueType, ULONG flags)
{
    QZ_STACK_NAME("_SetNameAndSimpleValues", kClass);
    Clear();
    const size_t expected = qzclaims::ValueElementSize(valueType);
    // A supported type is read back with its own element size; any other
    // size would make the texts read past the copied values.
    const bool badSize = elementSize == 0 || (expected != 0 && elementSize != expected);
    if (name == nullptr || name[0] == L'\0' || values == nullptr || badSize || count == 0 ||
        count > MAXSIZE_T / elementSize)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Invaid param (" << (name == nullptr ? L"NULL" : name) << ", " << PointerText(values) << ", "
                                        << elementSize << ", " << count << ", " << valueType << ", " << flags << ")");
        return false;
    }
    if (!_SetName(name))
        return false;
    const size_t bytes = elementSize * count;
    void* copy = AllocateBytes(bytes);
    if (copy == nullptr)
    {
        Clear();
        return false;
    }
    std::memcpy(copy, values, bytes);
    m_record.ValueType = valueType;
    m_record.Flags = flags;
    m_record.ValueCount = count;
    m_record.Values.pGeneric = copy;
    if (!_CopyElementParts(count))
    {
        Clear();
        return false;
    }
    return true;
}

// Replaces the caller's pointers in the copied elements by copies of what
// they point at. On a failure the elements from the failing one on hold no
// pointers, so releasing frees exactly the copies made.
bool CqzTokenSecurityAttribute::_CopyElementParts(ULONG count)
{
    const USHORT type = m_record.ValueType;
    for (ULONG i = 0; i < count; ++i)
    {
        bool copied = true;
        switch (type)
        {
        case qzclaims::kTypeString:
            copied = CopyCountedString(m_record.Values.pString[i]);
            break;
        case qzclaims::kTypeFqbn:
            copied = CopyCountedString(m_record.Values.pFqbn[i].Name);
            break;
        case qzclaims::kTypeSid:
        case qzclaims::kTypeOctetString:
            copied = CopyOctets(m_record.Values.pOctetString[i], type == qzclaims::kTypeSid);
            break;
        default:
            return true;
        }
        if (copied)
            continue;
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid value " << i << " of type " << type);
        for (ULONG rest = i + 1; rest < count; ++rest)
        {
            if (type == qzclaims::kTypeString)
                m_record.Values.pString[rest].Buffer = nullptr;
            else if (type == qzclaims::kTypeFqbn)
                m_record.Values.pFqbn[rest].Name.Buffer = nullptr;
            else
                m_record.Values.pOctetString[rest].pValue = nullptr;
        }
        return false;
    }
    return true;
}

void CqzTokenSecurityAttribute::_FreeValue(ULONG index)
{
    if (!m_owned || m_record.Values.pGeneric == nullptr || index >= m_record.ValueCount)
        return;
    switch (m_record.ValueType)
    {
    case qzclaims::kTypeString:
        std::free(m_record.Values.pString[index].Buffer);
        m_record.Values.pString[index].Buffer = nullptr;
        break;
    case qzclaims::kTypeFqbn:
        std::free(m_record.Values.pFqbn[index].Name.Buffer);
        m_record.Values.pFqbn[index].Name.Buffer = nullptr;
        break;
    case qzclaims::kTypeSid:
    case qzclaims::kTypeOctetString:
        std::free(m_record.Values.pOctetString[index].pValue);
        m_record.Values.pOctetString[index].pValue = nullptr;
        break;
    default:
    {
        QZ_STACK_NAME("_FreeValue", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Unexpected value type " << m_record.ValueType);
        break;
    }
    }
}

void CqzTokenSecurityAttribute::_FreeValues()
{
    if (!m_owned || m_record.Values.pGeneric == nullptr)
        return;
    switch (m_record.ValueType)
    {
    case qzclaims::kTypeInt64:
    case qzclaims::kTypeUint64:
    case qzclaims::kTypeBoolean:
        break;
    case qzclaims::kTypeString:
    case qzclaims::kTypeFqbn:
    case qzclaims::kTypeSid:
    case qzclaims::kTypeOctetString:
        for (ULONG i = 0; i < m_record.ValueCount; ++i)
            _FreeValue(i);
        break;
    default:
    {
        // Values of a type this class does not know own nothing beyond the
        // array: it was copied as plain bytes.
        QZ_STACK_NAME("_FreeValues", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Unknown value type " << m_record.ValueType);
        break;
    }
    }
    std::free(m_record.Values.pGeneric);
    m_record.Values.pGeneric = nullptr;
    m_record.ValueCount = 0;
}

void CqzTokenSecurityAttribute::_FreeName()
{
    if (m_owned)
        std::free(m_record.Name.Buffer);
    m_record.Name = UNICODE_STRING();
}

void CqzTokenSecurityAttribute::Clear()
{
    _FreeValues();
    _FreeName();
    m_record = Record();
    m_owned = false;
}

void CqzTokenSecurityAttribute::HandOver(Record& target)
{
    target = m_record;
    m_record = Record();
    m_owned = false;
}

void CqzTokenSecurityAttribute::FreeOwnedRecord(Record& record)
{
    CqzTokenSecurityAttribute owner;
    owner.m_record = record;
    owner.m_owned = true;
    owner.Clear();
    record = Record();
}
