#include "common/atl/atl_access_token.h"

#include <userenv.h>

#include <cstddef>
#include <new>
#include <vector>

#include "common/util/token_information.h"

namespace
{
// Reads one token-information class into a heap block; size: the bytes read.
bool ReadTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, CqzScopedHeap<BYTE>& block, DWORD& size)
{
    CqzTokenInfoResult read;
    if (!CqzReadTokenInformation(hToken, infoClass, block, read))
    {
        // A size query that neither failed properly nor said why.
        if (read.failedStep == CqzTokenInfoStep::SizeQuery && read.error == ERROR_SUCCESS)
            ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    size = read.returnedSize;
    return true;
}
} // namespace

CRevert::~CRevert()
{
    if (m_pending)
        Revert();
}

bool CRevert::CapturePrevious()
{
    m_threadId = ::GetCurrentThreadId();
    HANDLE previous = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &previous))
    {
        m_hPrevious.Reset(previous);
        return true;
    }
    return ::GetLastError() == ERROR_NO_TOKEN;
}

bool CRevert::Revert()
{
    if (!m_pending)
        return true;
    if (::GetCurrentThreadId() != m_threadId)
    {
        ::SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    // With no previous token this is RevertToSelf; a previous token is put
    // back as it was. When that fails the thread stays as it is rather than
    // running as the process.
    const BOOL ok = ::SetThreadToken(nullptr, m_hPrevious.Get());
    if (ok)
        m_pending = false;
    return ok != FALSE;
}

CAccessToken::~CAccessToken()
{
    _Clear();
}

void CAccessToken::Clear()
{
    _Clear();
}

void CAccessToken::_Clear()
{
    const DWORD lastError = ::GetLastError();
    if (m_hProfile != nullptr)
    {
        if (m_hToken != nullptr)
            ::UnloadUserProfile(m_hToken, m_hProfile);
        m_hProfile = nullptr;
    }
    if (m_hToken != nullptr)
    {
        ::CloseHandle(m_hToken);
        m_hToken = nullptr;
    }
    m_pRevert.reset();
    ::SetLastError(lastError);
}

void CAccessToken::Attach(HANDLE hToken)
{
    Clear();
    m_hToken = hToken;
}

HANDLE CAccessToken::Detach()
{
    const DWORD lastError = ::GetLastError();
    if (m_hProfile != nullptr)
    {
        ::UnloadUserProfile(m_hToken, m_hProfile);
        m_hProfile = nullptr;
    }
    m_pRevert.reset();
    HANDLE hToken = m_hToken;
    m_hToken = nullptr;
    ::SetLastError(lastError);
    return hToken;
}

bool CAccessToken::GetProcessToken(DWORD desiredAccess, HANDLE hProcess)
{
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(hProcess != nullptr ? hProcess : ::GetCurrentProcess(), desiredAccess, &hToken))
        return false;
    Attach(hToken);
    return true;
}

bool CAccessToken::GetThreadToken(DWORD desiredAccess, HANDLE hThread, bool bOpenAsSelf)
{
    HANDLE hToken = nullptr;
    if (!::OpenThreadToken(hThread != nullptr ? hThread : ::GetCurrentThread(), desiredAccess,
                           bOpenAsSelf ? TRUE : FALSE, &hToken))
        return false;
    Attach(hToken);
    return true;
}

bool CAccessToken::GetEffectiveToken(DWORD desiredAccess)
{
    HANDLE hToken = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), desiredAccess, TRUE, &hToken))
    {
        if (::GetLastError() != ERROR_NO_TOKEN)
            return false;
        if (!::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &hToken))
            return false;
    }
    Attach(hToken);
    return true;
}

bool CAccessToken::EnablePrivilege(const wchar_t* privilegeName, CTokenPrivileges* pPreviousState,
                                   bool* pbNotAllAssigned)
{
    if (pPreviousState != nullptr)
        pPreviousState->Clear();
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A name the system does not know is a failure, not an empty adjustment
    // that "succeeds" without enabling anything.
    if (privilegeName == nullptr)
    {
        ::SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return false;
    }
    if (!::LookupPrivilegeValueW(nullptr, privilegeName, &privileges.Privileges[0].Luid))
        return false;

    // Room for the one previous entry the system reports.
    TOKEN_PRIVILEGES previous = {};
    DWORD previousLength = 0;
    const bool wantPrevious = pPreviousState != nullptr;
    if (!::AdjustTokenPrivileges(m_hToken, FALSE, &privileges, wantPrevious ? sizeof(previous) : 0,
                                 wantPrevious ? &previous : nullptr, wantPrevious ? &previousLength : nullptr))
        return false;
    const DWORD adjustError = ::GetLastError();
    if (pbNotAllAssigned != nullptr)
        *pbNotAllAssigned = adjustError == ERROR_NOT_ALL_ASSIGNED;
    if (wantPrevious)
        pPreviousState->LoadFromTokenPrivileges(&previous, sizeof(previous));
    ::SetLastError(adjustError);
    return true;
}

bool CAccessToken::GetUser(CSid* pSid) const
{
    if (pSid == nullptr)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!ReadTokenInformation(m_hToken, TokenUser, block, size))
        return false;
    if (size < sizeof(TOKEN_USER))
    {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return pSid->LoadAccount(reinterpret_cast<const TOKEN_USER*>(block.Get())->User.Sid);
}

bool CAccessToken::GetGroups(CTokenGroups* pGroups) const
{
    if (pGroups == nullptr)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!ReadTokenInformation(m_hToken, TokenGroups, block, size))
        return false;
    return pGroups->LoadFromTokenGroups(reinterpret_cast<const TOKEN_GROUPS*>(block.Get()), size);
}

bool CAccessToken::Impersonate()
{
    if (m_hToken == nullptr)
    {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // A second call starts again from the thread's state before the first.
    if (m_pRevert && !Revert())
        return false;
    std::unique_ptr<CRevert> revert(new (std::nothrow) CRevert);
    if (!revert)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    if (!revert->CapturePrevious())
        return false;
    if (!::ImpersonateLoggedOnUser(m_hToken))
        return false;
    revert->SetPending();
    m_pRevert = std::move(revert);
    return true;
}

bool CAccessToken::Revert()
{
    if (!m_pRevert)
        return true;
    if (!m_pRevert->Revert())
        return false;
    m_pRevert.reset();
    return true;
}

bool CAccessToken::LoadProfile()
{
    if (m_hToken == nullptr)
    {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    CSid user;
    if (!GetUser(&user))
        return false;
    std::wstring userName;
    try
    {
        userName = user.AccountName();
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    if (userName.empty())
    {
        ::SetLastError(ERROR_NONE_MAPPED);
        return false;
    }
    PROFILEINFOW profile = {};
    profile.dwSize = sizeof(profile);
    profile.dwFlags = PI_NOUI;
    profile.lpUserName = &userName[0];
    if (!::LoadUserProfileW(m_hToken, &profile))
        return false;
    if (m_hProfile != nullptr)
        ::UnloadUserProfile(m_hToken, m_hProfile);
    m_hProfile = profile.hProfile;
    return true;
}
