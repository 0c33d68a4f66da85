// CqzWindowObjectHandle: the user-object information of a window station
// or desktop (name and type).
#include "common/security/qz_handle.h"

#include <cstdlib>

#include "common/security/qz_handle_internal.h"
#include "trace/trace.h"

using qzhandle::kWindowClass;

namespace
{
// The first read's size; a longer answer is read again at its size.
const DWORD kFirstInformationSize = 512;

bool AllocateInformation(CqzScopedHeap<BYTE>& buffer, DWORD size)
{
    buffer.Reset(static_cast<BYTE*>(std::calloc(1, size)));
    return static_cast<bool>(buffer);
}
} // namespace

bool CqzWindowObjectHandle::_GetInformation(int index, CqzScopedHeap<BYTE>& buffer, DWORD& size)
{
    QZ_STACK_NAME("_GetInformation", kWindowClass);
    buffer.Reset();
    size = 0;
    if (!_RequireHandle(kWindowClass))
        return false;
    DWORD length = kFirstInformationSize;
    CqzScopedHeap<BYTE> block;
    bool ok = AllocateInformation(block, length);
    DWORD needed = 0;
    if (ok)
    {
        ok = ::GetUserObjectInformationW(m_h, index, block.Get(), length, &needed) != FALSE;
        m_dwLastError = ok ? ERROR_SUCCESS : ::GetLastError();
        if (!ok && m_dwLastError == ERROR_INSUFFICIENT_BUFFER && needed > length)
        {
            length = needed;
            ok = AllocateInformation(block, length) &&
                 ::GetUserObjectInformationW(m_h, index, block.Get(), length, &needed) != FALSE;
            m_dwLastError = ok ? ERROR_SUCCESS : (block ? ::GetLastError() : ERROR_OUTOFMEMORY);
        }
    }
    else
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
    }
    if (!ok)
    {
        QZTRACE(QZT_ERROR, kWindowClass,
                "ERROR: GetUserObjectInformation(" << index << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    buffer = std::move(block);
    size = length;
    return true;
}

namespace
{
// The text of a user-object information block, at most its size, cut at
// the first null.
std::wstring TextOfBlock(const BYTE* block, DWORD size)
{
    const auto* text = reinterpret_cast<const wchar_t*>(block);
    const size_t limit = size / sizeof(wchar_t);
    size_t chars = 0;
    while (chars < limit && text[chars] != L'\0')
        ++chars;
    return std::wstring(text, chars);
}
} // namespace

bool CqzWindowObjectHandle::_GetText(int index, std::wstring& text)
{
    text.clear();
    CqzScopedHeap<BYTE> buffer;
    DWORD size = 0;
    if (!_GetInformation(index, buffer, size))
        return false;
    text = TextOfBlock(buffer.Get(), size);
    return true;
}

bool CqzWindowObjectHandle::GetUserObjectName(std::wstring& name)
{
    QZ_STACK_NAME("GetUserObjectName", kWindowClass);
    return _GetText(UOI_NAME, name);
}

bool CqzWindowObjectHandle::GetUserObjectType(std::wstring& type)
{
    QZ_STACK_NAME("GetUserObjectType", kWindowClass);
    return _GetText(UOI_TYPE, type);
}
