// CAccessToken: owner of one access-token handle, the user profile loaded
// for it and the revert object of an impersonation it started.
//
// Every operation answers bool and leaves the reason of a failure in the
// thread's last-error value; on failure the object keeps the token it held.
// No operation throws.
#pragma once

#include <windows.h>

#include <memory>

#include "common/atl/atl_sid.h"
#include "common/atl/atl_token_lists.h"

#include "common/util/scoped.h"

// Puts the calling thread back to the token it had before an impersonation
// (its previous impersonation token, or none).
class CRevert
{
public:
    CRevert() = default;
    // Reverts when still pending.
    ~CRevert();
    CRevert(const CRevert&) = delete;
    CRevert& operator=(const CRevert&) = delete;

    // Records the calling thread's current token. False when the thread
    // impersonates with a token that cannot be opened: then it could not be
    // restored and no impersonation may start.
    bool CapturePrevious();
    // Restores what CapturePrevious recorded; only on the thread that made
    // the impersonation.
    bool Revert();
    bool IsPending() const { return m_pending; }
    void SetPending() { m_pending = true; }

private:
    CqzScopedHandle m_hPrevious; // the previous impersonation token, or empty
    DWORD m_threadId = 0;
    bool m_pending = false;
};

class CAccessToken
{
public:
    CAccessToken() = default;
    // Does the work of Clear.
    virtual ~CAccessToken();
    CAccessToken(const CAccessToken&) = delete;
    CAccessToken& operator=(const CAccessToken&) = delete;

    // Unloads the profile (when a token is held), closes the token and ends
    // a pending impersonation. Leaves the object empty.
    virtual void Clear();

    // Takes ownership of a token handle (Clear first).
    void Attach(HANDLE hToken);
    // Gives up the token without closing it; a loaded profile is unloaded
    // and a pending impersonation ended first.
    HANDLE Detach();
    HANDLE GetHandle() const { return m_hToken; }

    // The token of a process (null: the current one) opened with the given
    // access.
    bool GetProcessToken(DWORD desiredAccess, HANDLE hProcess = nullptr);
    // The impersonation token of a thread (null: the current one); fails
    // with ERROR_NO_TOKEN when the thread does not impersonate.
    bool GetThreadToken(DWORD desiredAccess, HANDLE hThread = nullptr, bool bOpenAsSelf = true);
    // The current thread's token (opened as self), or the process token when
    // the thread does not impersonate.
    bool GetEffectiveToken(DWORD desiredAccess);

    // Enables one privilege (the token needs TOKEN_ADJUST_PRIVILEGES, and
    // TOKEN_QUERY when the previous state is asked for). True when the
    // adjustment call succeeded; *pbNotAllAssigned then tells whether the
    // token lacks the privilege (ERROR_NOT_ALL_ASSIGNED). A name the system
    // does not know fails, with the lookup's error.
    bool EnablePrivilege(const wchar_t* privilegeName, CTokenPrivileges* pPreviousState = nullptr,
                         bool* pbNotAllAssigned = nullptr);

    // The token's user and groups (the token needs TOKEN_QUERY).
    bool GetUser(CSid* pSid) const;
    bool GetGroups(CTokenGroups* pGroups) const;

    // Makes the calling thread impersonate this token until Revert, Clear or
    // destruction, which restore the thread's previous token.
    bool Impersonate();
    bool Revert();
    bool IsImpersonating() const { return m_pRevert != nullptr && m_pRevert->IsPending(); }

    // Loads the token user's profile (the token needs TOKEN_QUERY,
    // TOKEN_IMPERSONATE and TOKEN_DUPLICATE); it is unloaded by Clear.
    bool LoadProfile();
    HANDLE GetProfile() const { return m_hProfile; }

protected:
    // Empties the object without calling the virtual Clear.
    void _Clear();

    HANDLE m_hToken = nullptr;
    HANDLE m_hProfile = nullptr;
    std::unique_ptr<CRevert> m_pRevert;
};
