// Texts of attributes: type names, flag words, values, the summary, and the
// report lines of a whole set.
#include "common/security/token_security_attributes.h"

#include <cstdarg>

#include "common/security/security.h"
#include "common/util/flag_names.h"
#include "common/util/os.h"
#include "common/util/text_sink.h"

namespace
{
using qzclaims::TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE;

// One formatted text through the report formatter (Windows runtime formats).
std::wstring Format(const wchar_t* format, ...)
{
    CqzStringTextSink sink;
    va_list args;
    va_start(args, format);
    sink.VPrintf(false, format, args);
    va_end(args);
    return sink.Text();
}

// Characters and text of a counted string for "%.*s"; never a null text.
int CountedChars(const UNICODE_STRING& text)
{
    return text.Buffer == nullptr ? 0 : static_cast<int>(text.Length / sizeof(wchar_t));
}

const wchar_t* CountedText(const UNICODE_STRING& text)
{
    return text.Buffer == nullptr ? L"" : text.Buffer;
}

// The SID of a SID value, checked against the value's length first.
std::wstring SidValueText(const TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE& value)
{
    if (value.pValue == nullptr)
        return CqzSid::GetTraceString(nullptr);
    const BYTE subAuthorities = value.ValueLength < 8 ? 0 : static_cast<const BYTE*>(value.pValue)[1];
    if (value.ValueLength < 8 || ::GetSidLengthRequired(subAuthorities) > value.ValueLength)
        return CqzSid().GetTraceString();
    return CqzSid::GetTraceString(value.pValue);
}
} // namespace

const wchar_t* CqzTokenSecurityAttribute::GetTypeName() const
{
    return GetTypeName(m_record.ValueType);
}

const wchar_t* CqzTokenSecurityAttribute::GetTypeName(USHORT valueType)
{
    switch (valueType)
    {
    case qzclaims::kTypeInvalid:
        return L"INVALID";
    case qzclaims::kTypeInt64:
        return L"INT64";
    case qzclaims::kTypeUint64:
        return L"UINT64";
    case qzclaims::kTypeString:
        return L"STRING";
    case qzclaims::kTypeFqbn:
        return L"FQBN";
    case qzclaims::kTypeSid:
        return L"SID";
    case qzclaims::kTypeBoolean:
        return L"BOOLEAN";
    case qzclaims::kTypeOctetString:
        return L"OCTET_STRING";
    default:
        return L"-UNKNOWN-";
    }
}

std::wstring CqzTokenSecurityAttribute::GetFlagsString() const
{
    return GetFlagsString(m_record.Flags);
}

std::wstring CqzTokenSecurityAttribute::GetFlagsString(ULONG flags)
{
    if (flags == 0)
        return L"0";
    static const CqzFlagName kWords[] = {
        {qzclaims::kFlagCompareIgnore, L"COMPARE_IGNORE"},
        {qzclaims::kFlagMandatory, L"MANDATORY"},
        {qzclaims::kFlagDisabled, L"DISABLED"},
        {qzclaims::kFlagDisabledByDefault, L"DISABLED_BY_DEFAULT"},
        {qzclaims::kFlagUseForDenyOnly, L"USE_FOR_DENY_ONLY"},
        {qzclaims::kFlagValueCaseSensitive, L"VALUE_CASE_SENSITIVE"},
        {qzclaims::kFlagNonInheritable, L"NON_INHERITABLE"},
    };
    return CqzJoinFlagNames(flags, kWords);
}

std::wstring CqzTokenSecurityAttribute::GetValueString(ULONG index) const
{
    if (m_record.Values.pGeneric == nullptr || index >= m_record.ValueCount)
        return std::wstring();
    switch (m_record.ValueType)
    {
    case qzclaims::kTypeInt64:
        return Format(L"%I64d", m_record.Values.pInt64[index]);
    case qzclaims::kTypeUint64:
        return Format(L"%I64u", m_record.Values.pUint64[index]);
    case qzclaims::kTypeString:
    {
        const UNICODE_STRING& text = m_record.Values.pString[index];
        return Format(L"%.*s", CountedChars(text), CountedText(text));
    }
    case qzclaims::kTypeFqbn:
    {
        const qzclaims::TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE& fqbn = m_record.Values.pFqbn[index];
        return Format(L"Ver %I64u: %.*s", fqbn.Version, CountedChars(fqbn.Name), CountedText(fqbn.Name));
    }
    case qzclaims::kTypeSid:
        return SidValueText(m_record.Values.pOctetString[index]);
    case qzclaims::kTypeBoolean:
        return m_record.Values.pUint64[index] != 0 ? L"True" : L"False";
    case qzclaims::kTypeOctetString:
        return L"OCTET_STRING";
    default:
        return Format(L"UNKNOWN_VALUE_TYPE_%u", static_cast<unsigned>(m_record.ValueType));
    }
}

std::wstring CqzTokenSecurityAttribute::GetSummary() const
{
    std::wstring text = Format(L"Type=%u (%s), Flags=0x%.8X (%s) Count=%u", static_cast<unsigned>(m_record.ValueType),
                               GetTypeName(), m_record.Flags, GetFlagsString().c_str(), m_record.ValueCount);
    const ULONG count = m_record.Values.pGeneric == nullptr ? 0 : m_record.ValueCount;
    for (ULONG i = 0; i < count; ++i)
    {
        if (i != 0)
            text += L",";
        text += L" {" + GetValueString(i) + L"}";
    }
    return text;
}

void CqzTokenSecurityAttributes::Dump(CqzTextSink& sink) const
{
    if (!_IsWin8OrLater())
        return;
    if (m_set == nullptr)
    {
        sink.PrintfLine(L"TOKEN SECURITY ATTRIBUTES: NULL\r\n");
        return;
    }
    sink.PrintfLine(L"TOKEN SECURITY ATTRIBUTES: Count=%u", m_set->AttributeCount);
    if (m_set->Attribute.pAttributeV1 == nullptr)
        return;
    CqzTokenSecurityAttribute attribute;
    for (ULONG i = 0; i < m_set->AttributeCount; ++i)
    {
        attribute = m_set->Attribute.pAttributeV1[i];
        const CqzTokenSecurityAttribute::Record& record = attribute.GetRecord();
        sink.PrintfLine(L"   SECURITY ATTRIBUTE %.2d: [%.*s] Type=%u (%s) Flags=0x%.8X (%s)", static_cast<int>(i),
                        CountedChars(record.Name), CountedText(record.Name), static_cast<unsigned>(record.ValueType),
                        attribute.GetTypeName(), record.Flags, attribute.GetFlagsString().c_str());
        const ULONG values = record.Values.pGeneric == nullptr ? 0 : record.ValueCount;
        for (ULONG j = 0; j < values; ++j)
            sink.PrintfLine(L"      VALUE %d: %s", static_cast<int>(j), attribute.GetValueString(j).c_str());
    }
}
