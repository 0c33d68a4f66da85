// The attribute set: read from a token, built from one attribute, written to
// a token, looked up, released.
#include "common/security/token_security_attributes.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/security/access_token.h"
#include "common/util/os.h"
#include "trace/trace.h"

namespace
{
constexpr const char kClass[] = "CqzTokenSecurityAttributes";

using qzclaims::TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION;

// The set-and-operation record for `set`, one replace code per attribute
// (the system reads one code for each).
struct CqzReplaceOperation
{
    explicit CqzReplaceOperation(CqzTokenSecurityAttributes::Set* set)
        : codes(set->AttributeCount == 0 ? 1 : set->AttributeCount, qzclaims::kOperationReplace)
    {
        record.Attributes = set;
        record.Operations = codes.data();
    }

    std::vector<ULONG> codes;
    TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION record = {};
};
} // namespace

CqzTokenSecurityAttributes::~CqzTokenSecurityAttributes()
{
    Release();
}

bool CqzTokenSecurityAttributes::_IsWin8OrLater()
{
    return CqzOperatingSystem::IsWin8OrLater();
}

void CqzTokenSecurityAttributes::Release()
{
    if (m_fromToken)
    {
        // One allocation: the records, texts and values all lie inside it.
        m_tokenBlock.Reset();
    }
    else if (m_set != nullptr)
    {
        CqzTokenSecurityAttribute::Record* records = m_set->Attribute.pAttributeV1;
        if (records != nullptr)
        {
            for (ULONG i = 0; i < m_set->AttributeCount; ++i)
                CqzTokenSecurityAttribute::FreeOwnedRecord(records[i]);
        }
        std::free(records);
        std::free(m_set);
    }
    m_set = nullptr;
    m_size = 0;
    m_fromToken = false;
}

bool CqzTokenSecurityAttributes::FromAccessToken(HANDLE hToken, DWORD& error)
{
    if (!_IsWin8OrLater())
    {
        error = ERROR_NOT_SUPPORTED;
        return false;
    }
    Release();
    QZ_STACK_NAME("FromAccessToken", kClass);
    if (hToken == nullptr)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: token is NULL");
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    const bool read = CqzAccessToken::GetTokenInformationAlloc(hToken, TokenSecurityAttributes, block, size);
    error = ::GetLastError();
    if (!read || size < sizeof(Set))
    {
        if (read)
            error = ERROR_INVALID_DATA;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformationAlloc(TokenSecurityAttributes) failed. LastError=" << error);
        Release();
        return false;
    }
    m_tokenBlock = std::move(block);
    m_set = reinterpret_cast<Set*>(m_tokenBlock.Get());
    m_size = size;
    m_fromToken = true;
    return true;
}

void CqzTokenSecurityAttributes::FromPolicyData(CqzTokenSecurityAttribute& attribute)
{
    if (!_IsWin8OrLater())
        return;
    Release();
    QZ_STACK_NAME("FromPolicyData", kClass);
    // A record that refers into another set is copied: the built set frees
    // what it holds, and that memory is not its own.
    CqzTokenSecurityAttribute copy;
    CqzTokenSecurityAttribute* source = &attribute;
    if (!attribute.IsOwned() && !attribute.IsEmpty())
    {
        const CqzTokenSecurityAttribute::Record& record = attribute.GetRecord();
        const std::wstring name = attribute.GetName();
        const bool copied = record.ValueCount == 0
                                ? copy._SetName(name.c_str())
                                : copy._SetNameAndSimpleValues(name.c_str(), record.Values.pGeneric,
                                                               qzclaims::ValueElementSize(record.ValueType),
                                                               record.ValueCount, record.ValueType, record.Flags);
        if (!copied)
        {
            QZTRACE(QZT_ERROR, kClass, "ERROR: The attribute cannot be copied.");
            return;
        }
        copy.m_record.ValueType = record.ValueType;
        copy.m_record.Flags = record.Flags;
        attribute.Clear();
        source = &copy;
    }
    auto* set = static_cast<Set*>(std::calloc(1, sizeof(Set)));
    auto* records =
        static_cast<CqzTokenSecurityAttribute::Record*>(std::calloc(1, sizeof(CqzTokenSecurityAttribute::Record)));
    if (set == nullptr || records == nullptr)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: calloc(" << sizeof(Set) << ") failed.");
        std::free(records);
        std::free(set);
        return;
    }
    set->Version = qzclaims::kVersionV1;
    set->AttributeCount = 1;
    set->Attribute.pAttributeV1 = records;
    source->HandOver(records[0]);
    m_set = set;
    m_size = sizeof(Set);
    m_fromToken = false;
}

bool CqzTokenSecurityAttributes::SetToAccessToken(CqzAccessToken& token)
{
    if (m_set == nullptr)
    {
        QZ_STACK_NAME("SetToAccessToken", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: No security attributes to set.");
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    CqzReplaceOperation operation(m_set);
    return token.SetTokenInformationValue(TokenSecurityAttributes, &operation.record,
                                          static_cast<DWORD>(sizeof(operation.record)));
}

bool CqzTokenSecurityAttributes::SetToAccessToken(HANDLE hToken)
{
    CqzAccessToken token;
    token.Attach(hToken);
    const bool result = SetToAccessToken(token);
    const DWORD error = m_set == nullptr ? static_cast<DWORD>(ERROR_INVALID_DATA) : token.LastError();
    // The caller's handle stays open.
    token.Detach();
    ::SetLastError(error);
    return result;
}

bool CqzTokenSecurityAttributes::SetAttributeWithoutValues(HANDLE hToken, const wchar_t* name, USHORT valueType)
{
    if (!_IsWin8OrLater())
        return true;
    if (name == nullptr || name[0] == L'\0')
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    CqzTokenSecurityAttribute attribute;
    if (!attribute._SetName(name))
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    CqzTokenSecurityAttribute::Record record = attribute.GetRecord();
    record.ValueType = valueType;
    Set set = {};
    set.Version = qzclaims::kVersionV1;
    set.AttributeCount = 1;
    set.Attribute.pAttributeV1 = &record;
    CqzReplaceOperation operation(&set);
    return CqzAccessToken::SetTokenInformationValue(hToken, TokenSecurityAttributes, &operation.record,
                                                    static_cast<DWORD>(sizeof(operation.record)));
}

ULONG CqzTokenSecurityAttributes::GetCount() const
{
    return m_set == nullptr ? 0 : m_set->AttributeCount;
}

bool CqzTokenSecurityAttributes::GetAt(ULONG index, CqzTokenSecurityAttribute& attribute) const
{
    if (m_set == nullptr || m_set->Attribute.pAttributeV1 == nullptr || index >= m_set->AttributeCount)
    {
        attribute.Clear();
        return false;
    }
    attribute = m_set->Attribute.pAttributeV1[index];
    return true;
}

bool CqzTokenSecurityAttributes::FindByName(const wchar_t* name, CqzTokenSecurityAttribute& attribute) const
{
    if (name != nullptr && m_set != nullptr && m_set->Attribute.pAttributeV1 != nullptr)
    {
        // The given text must end where the record's name ends: a prefix of
        // a stored name is no match.
        const size_t length = std::wcslen(name);
        for (ULONG i = 0; i < m_set->AttributeCount; ++i)
        {
            const UNICODE_STRING& candidate = m_set->Attribute.pAttributeV1[i].Name;
            const size_t chars = candidate.Length / sizeof(wchar_t);
            if (chars != length || (chars != 0 && candidate.Buffer == nullptr))
                continue;
            if (chars == 0 || std::memcmp(candidate.Buffer, name, chars * sizeof(wchar_t)) == 0)
            {
                attribute = m_set->Attribute.pAttributeV1[i];
                return true;
            }
        }
    }
    attribute.Clear();
    return false;
}
