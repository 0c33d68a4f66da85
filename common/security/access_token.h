// CqzAccessToken: one access token and the questions the agent asks of it:
// groups, privileges, integrity level, elevation, linked token, user, and
// above all whether it is the token of a fully elevated administrator.
//
// Every operation answers bool and keeps the Win32 error of its last system
// call in the object (LastError()); codes the object sets itself: 6 no
// token, 13 inconsistent or invalid data, 14 allocation, 50 not supported
// before Windows Vista, 1337 invalid SID. Failures are traced under the
// class name "CqzAccessToken". Nothing throws. An object is not shared
// between threads.
//
// Most queries also exist as static overloads on a borrowed token handle:
// they run the member operation on a temporary object around the handle,
// never close it, and leave the operation's error as the thread's last
// error.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/atl/atl_access_token.h"
#include "common/atl/atl_sid.h"
#include "common/atl/atl_token_lists.h"

// A block from the C heap, freed with free().
struct CqzFreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};
typedef std::unique_ptr<BYTE, CqzFreeDeleter> CqzHeapBlock;

// A block the system allocated with LocalAlloc, freed with LocalFree.
struct CqzLocalFreeDeleter
{
    void operator()(void* p) const
    {
        if (p != nullptr)
            ::LocalFree(p);
    }
};
typedef std::unique_ptr<void, CqzLocalFreeDeleter> CqzLocalBlock;

class CqzAccessToken : public CAccessToken
{
public:
    CqzAccessToken() = default;

    // Error of the last operation (m_dwLastError); 6 (ERROR_INVALID_HANDLE)
    // until one ran.
    DWORD LastError() const { return m_dwLastError; }
    // RtlGetLastNtStatus after the last GetTokenInformationAlloc /
    // SetTokenInformationValue call.
    LONG GetLastNtStatus() const { return m_lastNtStatus; }

    // ---- Core operations ----------------------------------------------

    // One GetTokenInformation call into a caller's buffer.
    bool GetTokenInformationFixed(TOKEN_INFORMATION_CLASS infoClass, void* buffer, DWORD size);
    static bool GetTokenInformationFixed(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, void* buffer, DWORD size);
    // GetTokenInformation into a heap block of exactly the reported size.
    bool GetTokenInformationAlloc(TOKEN_INFORMATION_CLASS infoClass, CqzHeapBlock& buffer, DWORD& size);
    static bool GetTokenInformationAlloc(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, CqzHeapBlock& buffer,
                                         DWORD& size);
    // One SetTokenInformation call.
    bool SetTokenInformationValue(TOKEN_INFORMATION_CLASS infoClass, const void* buffer, DWORD size);
    static bool SetTokenInformationValue(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, const void* buffer,
                                         DWORD size);

    // The integrity label SID and its RID (Vista and later).
    bool GetIntegrityLevel(CSid& label);
    static bool GetIntegrityLevel(HANDLE hToken, CSid& label);
    bool GetIntegrityLevelRid(DWORD& rid);
    static bool GetIntegrityLevelRid(HANDLE hToken, DWORD& rid);
    // TokenElevationType and TokenElevation (Vista and later).
    bool GetElevationType(TOKEN_ELEVATION_TYPE& type);
    static bool GetElevationType(HANDLE hToken, TOKEN_ELEVATION_TYPE& type);
    bool IsElevated(bool& elevated);
    static bool IsElevated(HANDLE hToken, bool& elevated);
    // The other half of a split token; false for a token of elevation type
    // Default. The out object owns the new handle.
    bool GetLinkedToken(CAccessToken& linkedToken);

    // Attributes of one group of the token. False with error 0 and no trace
    // when the token lacks the group.
    bool GetGroupAttributes(const CSid& sid, DWORD& attributes);
    static bool GetGroupAttributes(HANDLE hToken, const CSid& sid, DWORD& attributes);
    // TokenPrivileges into an owned block (what it held is freed first).
    bool GetPrivileges(CqzHeapBlock& buffer, DWORD& size);
    static bool GetPrivileges(HANDLE hToken, CqzHeapBlock& buffer, DWORD& size);
    // Every privilege that counts for an administrator on this system is
    // present and not removed (enabled or not).
    bool HasAllAdminPrivileges();
    static bool HasAllAdminPrivileges(HANDLE hToken);

    // The administrator decision. Answers whether a decision was made; the
    // flag is set only for a yes. Only a token whose integrity level cannot
    // be read gives no decision; every other failure is a decided no.
    bool IsElevatedAdmin(bool& isAdmin);
    static bool IsElevatedAdmin(HANDLE hToken, bool& isAdmin);
    // The decision; false also when none was made.
    bool IsElevatedAdmin();
    static bool IsElevatedAdmin(HANDLE hToken);
    // The decision on the linked token (false below Vista or without one).
    bool IsLinkedAdmin();
    static bool IsLinkedAdmin(HANDLE hToken);
    bool IsElevatedOrLinkedAdmin();
    static bool IsElevatedOrLinkedAdmin(HANDLE hToken);

    // ---- Other operations -----------------------------------------------

    using CAccessToken::EnablePrivilege;
    // A privilege by index. Fails, with 1300, when the token lacks it.
    bool EnablePrivilege(int privilegeIndex);
    // Several privileges in one adjustment. False when a name is unknown or
    // the token lacks one of them (1300); the others are enabled still.
    bool EnablePrivileges(const std::vector<std::wstring>& privilegeNames, CTokenPrivileges* pPreviousState = nullptr);
    // Whether the token holds the privilege enabled (the token needs
    // TOKEN_QUERY).
    bool PrivilegeCheck(const wchar_t* privilegeName, bool& held);
    bool PrivilegeCheck(int privilegeIndex, bool& held);

    bool OpenThreadTokenByThreadId(DWORD threadId, DWORD desiredAccess, bool openAsSelf);
    // TOKEN_QUERY|TOKEN_DUPLICATE of a process / of the parent process.
    bool OpenProcessTokenByProcessId(DWORD processId);
    bool OpenParentProcessToken();
    // As above, then the calling thread impersonates the token until Revert,
    // Clear or destruction.
    bool OpenProcessTokenAndImpersonate(DWORD processId);
    bool OpenParentProcessTokenAndImpersonate();

    // Copies of this token into an empty object.
    bool Duplicate(CAccessToken& duplicatedToken, SECURITY_IMPERSONATION_LEVEL level = SecurityImpersonation);
    bool DuplicateEx(CAccessToken& duplicatedToken, DWORD desiredAccess, SECURITY_IMPERSONATION_LEVEL level,
                     TOKEN_TYPE tokenType, SECURITY_ATTRIBUTES* attributes = nullptr);

    // Whether the SID is enabled for access checks with this token.
    bool CheckMembership(const CSid& sid, DWORD flags, bool& isMember);
    bool CheckLinkedTokenMembership(const CSid& sid, DWORD flags, bool& isMember);

    bool IsIntegrityLevelAtLeast(DWORD rid);
    bool IsIntegrityLevelAbove(DWORD rid);
    bool IsElevationType(TOKEN_ELEVATION_TYPE type);
    // The group is present, enabled and not deny-only.
    bool IsGroupEnabled(const CSid& sid);
    bool IsAdministratorsGroupEnabled();
    bool IsPowerUsersGroupEnabled();

    bool GetSessionId(DWORD& sessionId);
    bool GetOrigin(LUID& origin);
    bool GetMandatoryPolicy(DWORD& policy);
    bool GetUIAccess(bool& uiAccess);
    bool SetUIAccess(bool uiAccess);
    bool SetSessionId(DWORD sessionId);
    bool SetSessionIdFromToken(CqzAccessToken& source);
    bool SetOrigin(const LUID& origin);
    bool SetMandatoryPolicy(DWORD policy);
    bool SetIntegrityLevel(const CSid& label);
    bool SetIntegrityLevelRid(DWORD rid);
    bool SetMediumIntegrityLevel();

    bool GetAppContainerSid(CSid& sid);
    bool GetCapabilities(CTokenGroups& capabilities);
    bool GetLogonIdSid(CSid& sid);
    bool GetLogonIdSids(std::vector<CSid>& sids);

    // "DOMAIN\\name" of the token user (the bare name without a domain).
    bool GetDomainUserName(std::wstring& name);
    // The same for the calling thread's effective token.
    static bool GetEffectiveDomainUserName(std::wstring& name);
    static bool GetCurrentProcessUser(CSid& user);
    // The thread's impersonation token, or an impersonation copy of the
    // process token.
    bool GetEffectiveImpersonationToken();

    bool IsUACEnabled();
    // A normal-user token computed from this one (medium integrity on Vista
    // and later) into an empty object.
    bool GetSaferToken(CAccessToken& saferToken);
    bool GetApplicationUserModelId(std::wstring& appUserModelId);
    // Two-letter language name of the token user's locale, read while
    // impersonating the token.
    bool GetUserLocaleLanguage(std::wstring& language);

    // Security of the token object itself.
    bool GetSecurity(SECURITY_INFORMATION flags, CqzLocalBlock& descriptor);
    bool SetSecurity(SECURITY_INFORMATION flags, PSECURITY_DESCRIPTOR descriptor);
    bool CopySecurityFrom(CqzAccessToken& source);
    bool SetDacl(PACL dacl);
    bool GetMandatoryLabel(CSid& label);
    bool GetMandatoryLabelRid(DWORD& rid);
    bool SetMandatoryLabel(const CSid& label, DWORD policy);

    // ---- Name tables ------------------------------------------------------

    static const wchar_t* GetTokenInformationClassName(int infoClass);
    static const wchar_t* GetElevationTypeName(int elevationType);

private:
    // Runs an operation on a temporary object around a borrowed handle.
    template <typename Operation>
    static bool _OnBorrowedHandle(HANDLE hToken, Operation operation);
    bool _OpenProcessTokenById(DWORD processId, const char* pidLabel);
    bool _ImpersonateOpenedToken(DWORD processId, bool parent);
    // Precondition checks: false, with the error set, before Windows Vista /
    // when there is no token / when the SID is invalid. The last two trace
    // under the caller's scope name.
    bool _RequireVista();
    bool _RequireToken(const char* nullMessage);
    bool _RequireValidSid(const CSid& sid);
    // The shared part of Duplicate and DuplicateEx: the checks, the call
    // (failureMessage gets the LastError appended) and the hand-over.
    template <typename DuplicateCall>
    bool _DuplicateInto(CAccessToken& duplicatedToken, const char* failureMessage, DuplicateCall duplicateCall);

    DWORD m_dwLastError = ERROR_INVALID_HANDLE;
    LONG m_lastNtStatus = 0;
};

// Impersonates a token for the lifetime of the object and then puts the
// thread back to the token it had before (or to none).
class CqzImpersonateAndRevert
{
public:
    explicit CqzImpersonateAndRevert(HANDLE hToken);
    ~CqzImpersonateAndRevert();
    CqzImpersonateAndRevert(const CqzImpersonateAndRevert&) = delete;
    CqzImpersonateAndRevert& operator=(const CqzImpersonateAndRevert&) = delete;

    bool IsImpersonating() const { return m_revert.IsPending(); }
    // Why the impersonation did not start, or why the revert failed.
    DWORD LastError() const { return m_dwLastError; }
    // Ends the impersonation early.
    bool Revert();

protected:
    // failureMessage: the ERROR line written when the impersonation cannot
    // start (the LastError is appended).
    CqzImpersonateAndRevert(HANDLE hToken, const char* className, const char* failureMessage);

    CRevert m_revert;
    DWORD m_dwLastError = ERROR_SUCCESS;
};

// The same, for reaching a file as the token's user.
class CqzImpersonateToAccessFile : public CqzImpersonateAndRevert
{
public:
    explicit CqzImpersonateToAccessFile(HANDLE hUserToken);
};
