// Privileges of the token: the list, enabling, checking.
#include "common/security/access_token.h"

#include <new>

#include "common/security/access_token_internal.h"
#include "common/security/security.h"
#include "common/util/scoped.h"
#include "common/util/token_information.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

bool CqzAccessToken::GetPrivileges(HANDLE hToken, CqzScopedHeap<BYTE>& buffer, DWORD& size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetPrivileges(buffer, size); });
}

bool CqzAccessToken::GetPrivileges(CqzScopedHeap<BYTE>& buffer, DWORD& size)
{
    // A count and room for 51 entries; larger lists are read at their size.
    CqzTokenInfoOptions options;
    options.initialSize = 616;
    size = 0;
    CqzTokenInfoResult read;
    if (!CqzReadTokenInformation(m_hToken, TokenPrivileges, buffer, read, options))
    {
        // A read that failed without an error is inconsistent data.
        m_dwLastError = read.error != ERROR_SUCCESS ? read.error : ERROR_INVALID_DATA;
        ::SetLastError(m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    size = read.returnedSize;
    return true;
}

// ---------------------------------------------------------------------------
// Other operations
// ---------------------------------------------------------------------------

bool CqzAccessToken::EnablePrivilege(int privilegeIndex)
{
    const wchar_t* name = CqzAccessPriveleges::GetPrivilegeName(privilegeIndex);
    if (name == nullptr)
    {
        m_dwLastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    bool notAllAssigned = false;
    const bool adjusted = CAccessToken::EnablePrivilege(name, nullptr, &notAllAssigned);
    // A token that lacks the privilege has not had it enabled.
    if (!adjusted || notAllAssigned)
    {
        m_dwLastError = adjusted ? ERROR_NOT_ALL_ASSIGNED : ::GetLastError();
        QZ_STACK_NAME("EnablePrivilege", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivilege(" << name << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzAccessToken::EnablePrivileges(const std::vector<std::wstring>& privilegeNames, CTokenPrivileges* pPreviousState)
{
    QZ_STACK_NAME("EnablePrivileges", kClass);
    if (pPreviousState != nullptr)
        pPreviousState->Clear();
    m_dwLastError = ERROR_SUCCESS;
    bool allKnown = true;
    CTokenPrivileges request;
    for (const std::wstring& name : privilegeNames)
    {
        LUID luid = {};
        if (!CqzAccessPriveleges::LookupPrivilegeValue(name.c_str(), luid) || !request.Add(luid, SE_PRIVILEGE_ENABLED))
        {
            m_dwLastError = ::GetLastError();
            QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to enable privilege:" << name << ". LastError=" << m_dwLastError);
            allKnown = false;
        }
    }
    if (request.GetCount() == 0)
        return allKnown;

    std::vector<BYTE> block;
    std::vector<BYTE> previous;
    try
    {
        if (!request.GetTokenPrivilegesBlock(block))
            throw std::bad_alloc();
        previous.assign(block.size(), 0);
    }
    catch (const std::bad_alloc&)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivileges failed. LastError=" << m_dwLastError);
        return false;
    }
    DWORD previousLength = 0;
    const bool wantPrevious = pPreviousState != nullptr;
    if (!::AdjustTokenPrivileges(m_hToken, FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(block.data()),
                                 wantPrevious ? static_cast<DWORD>(previous.size()) : 0,
                                 wantPrevious ? reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()) : nullptr,
                                 wantPrevious ? &previousLength : nullptr))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivileges failed. LastError=" << m_dwLastError);
        return false;
    }
    const DWORD adjustError = ::GetLastError();
    if (wantPrevious)
        pPreviousState->LoadFromTokenPrivileges(reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()),
                                                static_cast<DWORD>(previous.size()));
    if (adjustError == ERROR_NOT_ALL_ASSIGNED)
    {
        m_dwLastError = ERROR_NOT_ALL_ASSIGNED;
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnablePrivileges failed. LastError=" << m_dwLastError);
        return false;
    }
    return allKnown;
}

bool CqzAccessToken::PrivilegeCheck(const wchar_t* privilegeName, bool& held)
{
    QZ_STACK_NAME("PrivilegeCheck", kClass);
    LUID luid = {};
    if (!CqzAccessPriveleges::LookupPrivilegeValue(privilegeName, luid))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: LookupPrivilegeValue(" << (privilegeName != nullptr ? privilegeName : L"")
                                               << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    PRIVILEGE_SET set = {};
    set.PrivilegeCount = 1;
    set.Control = PRIVILEGE_SET_ALL_NECESSARY;
    set.Privilege[0].Luid = luid;
    set.Privilege[0].Attributes = 0;
    BOOL result = FALSE;
    if (!::PrivilegeCheck(m_hToken, &set, &result))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: PrivilegeCheck(" << privilegeName << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    held = result != FALSE;
    return true;
}

bool CqzAccessToken::PrivilegeCheck(int privilegeIndex, bool& held)
{
    const wchar_t* name = CqzAccessPriveleges::GetPrivilegeName(privilegeIndex);
    if (name == nullptr)
    {
        m_dwLastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    return PrivilegeCheck(name, held);
}
