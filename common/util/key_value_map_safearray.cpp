// CqzKeyValueMap: the SAFEARRAY of BSTR pairs.
#include "common/util/key_value_map.h"

#include "trace/trace.h"

#include <oleauto.h>

#include <new>
#include <stdexcept>
#include <string>

namespace
{

// Frees a BSTR on every path.
class CBstrHolder
{
public:
    explicit CBstrHolder(BSTR text = nullptr) : m_text(text) {}
    ~CBstrHolder() { ::SysFreeString(m_text); }
    CBstrHolder(const CBstrHolder&) = delete;
    CBstrHolder& operator=(const CBstrHolder&) = delete;

    BSTR Get() const { return m_text; }
    BSTR* Receive()
    {
        ::SysFreeString(m_text);
        m_text = nullptr;
        return &m_text;
    }
    BSTR Release()
    {
        BSTR text = m_text;
        m_text = nullptr;
        return text;
    }

private:
    BSTR m_text;
};

// Anything else would have elements of another size or more than one index:
// writing or reading them as BSTRs would corrupt memory.
void RequireBstrVector(SAFEARRAY* array)
{
    VARTYPE type = VT_EMPTY;
    if (::SafeArrayGetDim(array) != 1 || FAILED(::SafeArrayGetVartype(array, &type)) || type != VT_BSTR)
        throw std::invalid_argument("not a one-dimensional array of BSTR");
}

// The first index and the element count of a one-dimensional array.
void GetExtent(SAFEARRAY* array, LONG& lowerBound, ULONG& count)
{
    LONG upperBound = 0;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lowerBound)) || FAILED(::SafeArrayGetUBound(array, 1, &upperBound)))
        throw std::invalid_argument("array bounds rejected");
    const LONGLONG span = static_cast<LONGLONG>(upperBound) - lowerBound;
    count = span >= 0 ? static_cast<ULONG>(span + 1) : 0;
}

void PutString(SAFEARRAY* array, LONG index, const std::wstring& text)
{
    BSTR* element = nullptr;
    if (FAILED(::SafeArrayPtrOfIndex(array, &index, reinterpret_cast<void**>(&element))))
        throw std::invalid_argument("array bounds rejected");
    CBstrHolder copy(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (copy.Get() == nullptr)
        throw std::bad_alloc();
    ::SysFreeString(*element);
    *element = copy.Release();
}

// Null when the element holds no BSTR.
void GetString(SAFEARRAY* array, LONG index, CBstrHolder& text)
{
    const HRESULT hr = ::SafeArrayGetElement(array, &index, text.Receive());
    if (hr == E_OUTOFMEMORY)
        throw std::bad_alloc();
    if (FAILED(hr))
        throw std::invalid_argument("array bounds rejected");
}

std::wstring ToString(const CBstrHolder& text)
{
    return text.Get() ? std::wstring(text.Get(), ::SysStringLen(text.Get())) : std::wstring();
}

} // namespace

void CqzKeyValueMap::ToSafeArray(SAFEARRAY*& array) const
{
    SAFEARRAY* created = nullptr;
    if (array == nullptr)
    {
        const ULONGLONG elements = 2 * static_cast<ULONGLONG>(m_entries.size());
        if (elements > MAXLONG)
            throw std::bad_alloc();
        SAFEARRAYBOUND bound = {static_cast<ULONG>(elements), 0};
        created = ::SafeArrayCreate(VT_BSTR, 1, &bound);
        if (created == nullptr)
            throw std::bad_alloc();
        if (FAILED(::SafeArrayLock(created)))
        {
            ::SafeArrayDestroy(created);
            throw std::bad_alloc();
        }
    }
    SAFEARRAY* target = created ? created : array;
    try
    {
        RequireBstrVector(target);
        LONG lowerBound = 0;
        ULONG count = 0;
        GetExtent(target, lowerBound, count);
        ULONG position = 0;
        for (const Map::value_type& entry : m_entries)
        {
            if (position < count)
                PutString(target, lowerBound + static_cast<LONG>(position), entry.first);
            if (position + 1 < count)
                PutString(target, lowerBound + static_cast<LONG>(position + 1), entry.second);
            position += 2;
            if (position >= count)
                break;
        }
    }
    catch (...)
    {
        if (created)
        {
            ::SafeArrayUnlock(created);
            ::SafeArrayDestroy(created);
        }
        throw;
    }
    if (created)
        array = created;
}

bool CqzKeyValueMap::FromSafeArray(SAFEARRAY* array)
{
    QZ_STACK_NAME("FromSafeArray", nullptr);
    if (array == nullptr)
        return true;
    RequireBstrVector(array);
    LONG lowerBound = 0;
    ULONG count = 0;
    GetExtent(array, lowerBound, count);
    for (ULONG i = 1; i < count; i += 2)
    {
        CBstrHolder key;
        CBstrHolder value;
        GetString(array, lowerBound + static_cast<LONG>(i - 1), key);
        if (key.Get() == nullptr)
        {
            QZTRACE(QZT_INFO, nullptr, "Safearray contains empty key");
            continue;
        }
        GetString(array, lowerBound + static_cast<LONG>(i), value);
        m_entries[ToString(key)] = ToString(value);
    }
    return true;
}
