// CqzHandle: granted and maximum-allowed access, the object's type name and
// name from the native object queries, the system handle table, and the
// names of session-local objects.
#include "common/security/qz_handle.h"

#include <cstddef>
#include <cstdlib>
#include <cwchar>

#include "common/ntapi/ntapi.h"
#include "common/security/qz_handle_internal.h"
#include "trace/trace.h"

using qzhandle::kClass;

namespace
{
const NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
const OBJECT_INFORMATION_CLASS kObjectBasicInformation = static_cast<OBJECT_INFORMATION_CLASS>(0);
const OBJECT_INFORMATION_CLASS kObjectNameInformation = static_cast<OBJECT_INFORMATION_CLASS>(1);
const OBJECT_INFORMATION_CLASS kObjectTypeInformation = static_cast<OBJECT_INFORMATION_CLASS>(2);
const SYSTEM_INFORMATION_CLASS kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
// Extra room behind the type information the object reports.
const ULONG kTypeInformationSlack = 96;
// Name buffer when the object reports no name size, and the room added.
const ULONG kDefaultNameSize = 1024;
const ULONG kNameSlack = 12;

// A zeroed block of the C heap.
template <typename T>
bool AllocateBytes(CqzScopedHeap<T>& block, size_t size)
{
    block.Reset(static_cast<T*>(std::calloc(1, size)));
    return static_cast<bool>(block);
}

// The counted string at the start of a native query's buffer, when it lies
// inside the buffer; cut at an embedded null. False for a string that points
// elsewhere or runs past the end.
bool CountedStringInBuffer(const BYTE* buffer, ULONG size, std::wstring& text)
{
    text.clear();
    if (size < sizeof(UNICODE_STRING))
        return false;
    const auto* counted = reinterpret_cast<const UNICODE_STRING*>(buffer);
    if (counted->Length == 0 || counted->Buffer == nullptr)
        return true;
    const BYTE* start = reinterpret_cast<const BYTE*>(counted->Buffer);
    if (start < buffer || start > buffer + size || static_cast<size_t>(buffer + size - start) < counted->Length)
        return false;
    text.assign(counted->Buffer, counted->Length / sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);
    return true;
}

// The end of a type or name query: its failure line, or the name it gave.
bool NameFromQuery(HANDLE handle, const char* infoClass, NTSTATUS status, const BYTE* buffer, ULONG size,
                   std::wstring& name, DWORD& lastError)
{
    if (status < 0)
    {
        lastError = static_cast<DWORD>(status);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: NtQueryObject(" << handle << ", " << infoClass << ") failed. status=" << status);
        return false;
    }
    if (!CountedStringInBuffer(buffer, size, name))
    {
        lastError = ERROR_INVALID_DATA;
        QZTRACE(QZT_ERROR, kClass, "ERROR: NtQueryObject(" << handle << ", " << infoClass << ") gave a bad name");
        return false;
    }
    lastError = ERROR_SUCCESS;
    return true;
}
} // namespace

// ---------------------------------------------------------------------------
// Access
// ---------------------------------------------------------------------------

bool CqzHandle::_GetObjectBasicInformation(ObjectBasicInformation& information)
{
    QZ_STACK_NAME("_GetObjectBasicInformation", kClass);
    information = ObjectBasicInformation();
    if (!_RequireHandle(kClass))
        return false;
    ULONG returned = 0;
    const NTSTATUS status =
        CqzNTAPI::NtQueryObject(m_h, kObjectBasicInformation, &information, sizeof(information), &returned);
    m_dwLastError = static_cast<DWORD>(status);
    if (status < 0)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: NtQueryObject(" << m_h << ", ObjectBasicInformation) failed. status=" << status);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzHandle::GetGrantedAccess(ACCESS_MASK& access)
{
    QZ_STACK_NAME("GetGrantedAccess", kClass);
    access = 0;
    ObjectBasicInformation information;
    if (!_GetObjectBasicInformation(information))
        return false;
    access = information.GrantedAccess;
    return true;
}

bool CqzHandle::GetMaxAllowedAccess(HANDLE token, ACCESS_MASK& access)
{
    QZ_STACK_NAME("GetMaxAllowedAccess", kClass);
    access = 0;
    CqzScopedLocal<void> descriptor;
    if (!_GetSecurityInfo(OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, descriptor))
        return false;
    GENERIC_MAPPING mapping = {};
    PRIVILEGE_SET privileges = {};
    DWORD privilegesSize = sizeof(privileges);
    ACCESS_MASK granted = 0;
    BOOL status = FALSE;
    if (!::AccessCheck(descriptor.Get(), token, MAXIMUM_ALLOWED, &mapping, &privileges, &privilegesSize, &granted,
                       &status))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: ::AccessCheck failed. LastError=" << m_dwLastError);
        return false;
    }
    // A descriptor that grants the token nothing answers 0.
    access = status ? granted : 0;
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzHandle::GetMaxAllowedAccess(ACCESS_MASK& access)
{
    QZ_STACK_NAME("GetMaxAllowedAccess", kClass);
    access = 0;
    if (!_RequireHandle(kClass))
        return false;
    CqzScopedHandle token;
    DWORD error = ERROR_SUCCESS;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive()))
    {
        error = ::GetLastError();
        // Only a thread that impersonates nobody borrows its process's
        // context; reverting would end an impersonation the caller set up.
        if (error == ERROR_NO_TOKEN && ::ImpersonateSelf(SecurityImpersonation))
        {
            error = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive()) ? ERROR_SUCCESS
                                                                                                : ::GetLastError();
            ::RevertToSelf();
        }
        else if (error == ERROR_NO_TOKEN)
        {
            error = ::GetLastError();
        }
    }
    if (!token)
    {
        m_dwLastError = error;
        QZTRACE(QZT_WARNING, kClass, "ERROR: Cannot get current thread token. LastError=" << error);
        return false;
    }
    return GetMaxAllowedAccess(token.Get(), access);
}

// ---------------------------------------------------------------------------
// Type name and object name
// ---------------------------------------------------------------------------

bool CqzHandle::GetTypeName(std::wstring& name)
{
    QZ_STACK_NAME("GetTypeName", kClass);
    name.clear();
    ObjectBasicInformation information;
    if (!_GetObjectBasicInformation(information))
        return false;
    if (information.TypeInfoSize == 0)
    {
        m_dwLastError = ERROR_INVALID_DATA;
        QZTRACE(QZT_ERROR, kClass, "ERROR: TypeInformationLength is 0");
        return false;
    }
    const ULONG size = information.TypeInfoSize + kTypeInformationSlack;
    CqzScopedHeap<BYTE> buffer;
    if (size < information.TypeInfoSize || !AllocateBytes(buffer, size))
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        QZTRACE(QZT_ERROR, kClass, "ERROR: AllocateBytes(" << size << ") failed.");
        return false;
    }
    ULONG returned = 0;
    const NTSTATUS status = CqzNTAPI::NtQueryObject(m_h, kObjectTypeInformation, buffer.Get(), size, &returned);
    return NameFromQuery(m_h, "ObjectTypeInformation", status, buffer.Get(), size, name, m_dwLastError);
}

bool CqzHandle::GetName(std::wstring& name)
{
    QZ_STACK_NAME("GetName", kClass);
    name.clear();
    ObjectBasicInformation information;
    if (!_GetObjectBasicInformation(information))
        return false;
    ULONG size = (information.NameInfoSize != 0 ? information.NameInfoSize : kDefaultNameSize) + kNameSlack;
    CqzScopedHeap<BYTE> buffer;
    NTSTATUS status = kStatusInfoLengthMismatch;
    for (int attempt = 0; attempt < 2 && status == kStatusInfoLengthMismatch; ++attempt)
    {
        buffer.Reset();
        if (size < kNameSlack || !AllocateBytes(buffer, size))
        {
            m_dwLastError = ERROR_OUTOFMEMORY;
            QZTRACE(QZT_ERROR, kClass, "ERROR: AllocateBytes(" << size << ") failed.");
            return false;
        }
        ULONG returned = 0;
        status = CqzNTAPI::NtQueryObject(m_h, kObjectNameInformation, buffer.Get(), size, &returned);
        // The second call uses the length the first one asked for.
        if (status == kStatusInfoLengthMismatch)
            size = returned;
    }
    return NameFromQuery(m_h, "ObjectNameInformation", status, buffer.Get(), size, name, m_dwLastError);
}

// ---------------------------------------------------------------------------
// The system handle table
// ---------------------------------------------------------------------------

bool CqzHandle::QuerySystemHandleInformation(CqzScopedHeap<SystemHandleInformation>& table, ULONG& size)
{
    QZ_STACK_NAME("QuerySystemHandleInformation", kClass);
    table.Reset();
    size = 0;
    ULONG length = kHandleTableFirstSize;
    CqzScopedHeap<SystemHandleInformation> buffer;
    if (!AllocateBytes(buffer, length))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: AllocateBytes(" << length << ") failed");
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    ULONG returned = 0;
    NTSTATUS status = CqzNTAPI::NtQuerySystemInformation(kSystemHandleInformation, buffer.Get(), length, &returned);
    if (status == kStatusInfoLengthMismatch && returned > kHandleTableFirstSize)
    {
        length = returned;
        if (!AllocateBytes(buffer, length))
        {
            QZTRACE(QZT_ERROR, kClass, "ERROR: AllocateBytes(" << length << ") failed. retlen.");
            ::SetLastError(ERROR_OUTOFMEMORY);
            return false;
        }
        returned = 0;
        status = CqzNTAPI::NtQuerySystemInformation(kSystemHandleInformation, buffer.Get(), length, &returned);
    }
    if (status < 0)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: NTQSI failed. retlen=" << returned << ", status=" << status);
        ::SetLastError(static_cast<DWORD>(status));
        return false;
    }
    // Only the bytes the system wrote count.
    size = (returned != 0 && returned < length) ? returned : length;
    table = std::move(buffer);
    ::SetLastError(ERROR_SUCCESS);
    return true;
}

ULONG CqzHandle::HandleTableEntryCount(const SystemHandleInformation& table, ULONG size)
{
    const size_t header = offsetof(SystemHandleInformation, Entries);
    if (size < header)
        return 0;
    const size_t fit = (size - header) / sizeof(SystemHandleEntry);
    return table.Count < fit ? table.Count : static_cast<ULONG>(fit);
}

bool CqzHandle::GetSystemHandleInformation(DWORD processId, USHORT handleValue, SystemHandleEntry& entry)
{
    QZ_STACK_NAME("GetSystemHandleInformation", kClass);
    entry = SystemHandleEntry();
    CqzScopedHeap<SystemHandleInformation> table;
    ULONG size = 0;
    if (!QuerySystemHandleInformation(table, size))
        return false;
    const ULONG count = HandleTableEntryCount(*table.Get(), size);
    for (ULONG i = 0; i < count; ++i)
    {
        const SystemHandleEntry& candidate = table.Get()->Entries[i];
        if (candidate.ProcessId == processId && candidate.Handle == handleValue)
        {
            entry = candidate;
            ::SetLastError(ERROR_SUCCESS);
            return true;
        }
    }
    ::SetLastError(ERROR_NOT_FOUND);
    return false;
}

bool CqzHandle::GetSystemHandleInformation(SystemHandleEntry& entry)
{
    QZ_STACK_NAME("GetSystemHandleInformation", kClass);
    entry = SystemHandleEntry();
    if (!_RequireHandle(kClass))
        return false;
    // The table keeps the low 16 bits of handle values.
    const USHORT handleValue = static_cast<USHORT>(reinterpret_cast<ULONG_PTR>(m_h) & 0xFFFF);
    const bool found = GetSystemHandleInformation(::GetCurrentProcessId(), handleValue, entry);
    m_dwLastError = ::GetLastError();
    return found;
}

// ---------------------------------------------------------------------------
// Session-local names
// ---------------------------------------------------------------------------

std::wstring CqzHandle::GetSessionObjectName(DWORD sessionId, const wchar_t* objectName)
{
    wchar_t prefix[32] = {};
    std::swprintf(prefix, sizeof(prefix) / sizeof(prefix[0]), L"Session\\%u\\", static_cast<unsigned>(sessionId));
    return std::wstring(prefix) + (objectName != nullptr ? objectName : L"");
}
