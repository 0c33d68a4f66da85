// CqzAccessToken: one access token and the questions the agent asks of it:
// groups, privileges, integrity level, elevation, linked token, user, and
// above all whether it is the token of a fully elevated administrator.
//
// How to read the contracts below. Each operation states:
// - Access: the rights the token handle needs. Reads of token information
//   need TOKEN_QUERY.
// - Before Vista (major version below 6): what it answers there. Operations
//   that say nothing work the same on every version.
// - False: whether false means "no" (the question was answered) or "could
//   not tell" (it failed). Getters and setters answer "could not tell" only.
// - Error: the operations of this class keep their error in the object
//   (LastError()): the Win32 error of their last system call, or one of the
//   codes the object sets itself: 6 no token, 13 inconsistent or invalid
//   data, 14 allocation, 50 the operation needs Windows Vista (only those
//   that say so; the others succeed there as stated), 1337 invalid SID. The
//   operations inherited from the platform layer (CAccessToken:
//   GetProcessToken, GetThreadToken, GetEffectiveToken, the name form of
//   EnablePrivilege, GetUser, GetGroups, Impersonate, Attach ...) do not
//   touch LastError(): their callers read ::GetLastError().
//
// Failures are traced under the class name "CqzAccessToken". Nothing throws.
// An object is not shared between threads.
//
// Most queries also exist as static overloads on a borrowed token handle:
// they run the member operation on a temporary object around the handle,
// never close it, and leave the operation's error as the thread's last
// error (there is no object to keep it).
//
// The implementation is split by concern: access_token.cpp (core reads and
// writes), access_token_admin.cpp (the administrator decision) and one
// access_token_<concern>.cpp per group of operations below.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/atl/atl_access_token.h"
#include "common/atl/atl_sid.h"
#include "common/atl/atl_token_lists.h"
#include "common/util/scoped.h"

class CqzTextSink;

class CqzAccessToken : public CAccessToken
{
public:
    CqzAccessToken() = default;

    // Error of the last operation of this class (m_dwLastError); 6
    // (ERROR_INVALID_HANDLE) until one ran.
    DWORD LastError() const { return m_dwLastError; }
    // RtlGetLastNtStatus after the last GetTokenInformation or
    // SetTokenInformation call made by GetTokenInformationAlloc /
    // SetTokenInformationValue; STATUS_UNSUCCESSFUL when that function
    // cannot be resolved.
    LONG GetLastNtStatus() const { return m_lastNtStatus; }

    // ---- Core operations (access_token.cpp) -------------------------------

    // One GetTokenInformation call into a caller's buffer. Access:
    // TOKEN_QUERY (TOKEN_QUERY_SOURCE for TokenSource). Before Vista: the
    // system's answer (the Vista classes fail there). False: could not tell;
    // a buffer too small traces the required size. Error: LastError() is the
    // call's last error on both outcomes.
    bool GetTokenInformationFixed(TOKEN_INFORMATION_CLASS infoClass, void* buffer, DWORD size);
    static bool GetTokenInformationFixed(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, void* buffer, DWORD size);
    // GetTokenInformation into a zeroed heap block of exactly the reported
    // size; buffer and size are emptied first and filled only on success.
    // List classes (TokenGroups, TokenPrivileges ...) whose count does not
    // fit the bytes returned fail with 13. Access: TOKEN_QUERY. False: could
    // not tell (6 on an empty object). Error: LastError(), native status in
    // GetLastNtStatus().
    bool GetTokenInformationAlloc(TOKEN_INFORMATION_CLASS infoClass, CqzScopedHeap<BYTE>& buffer, DWORD& size);
    static bool GetTokenInformationAlloc(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, CqzScopedHeap<BYTE>& buffer,
                                         DWORD& size);
    // One SetTokenInformation call. Access: TOKEN_ADJUST_DEFAULT, and what
    // the class asks beyond it (TOKEN_ADJUST_SESSIONID and SeTcbPrivilege for
    // the session id, ...). False: the system refused. Error: LastError()
    // (0 on success), native status in GetLastNtStatus().
    bool SetTokenInformationValue(TOKEN_INFORMATION_CLASS infoClass, const void* buffer, DWORD size);
    static bool SetTokenInformationValue(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, const void* buffer,
                                         DWORD size);

    // The integrity label SID and its RID. Access: TOKEN_QUERY. Before Vista:
    // false with 50. False: could not tell (13 for a label without a SID,
    // 1337 for a SID that is no integrity label). Error: LastError().
    bool GetIntegrityLevel(CSid& label);
    static bool GetIntegrityLevel(HANDLE hToken, CSid& label);
    bool GetIntegrityLevelRid(DWORD& rid);
    static bool GetIntegrityLevelRid(HANDLE hToken, DWORD& rid);
    // TokenElevationType and TokenElevation. Access: TOKEN_QUERY. Before
    // Vista: false with 50. False: could not tell. Error: LastError().
    bool GetElevationType(TOKEN_ELEVATION_TYPE& type);
    static bool GetElevationType(HANDLE hToken, TOKEN_ELEVATION_TYPE& type);
    bool IsElevated(bool& elevated);
    static bool IsElevated(HANDLE hToken, bool& elevated);
    // The other half of a split token into linkedToken, which then owns the
    // new handle. Access: TOKEN_QUERY. Before Vista: false with 50. False:
    // "none" for a token of elevation type Default (LastError() 0, nothing
    // read) or when its logon session is gone (1312, traced at DEBUG);
    // otherwise could not tell. Error: LastError().
    bool GetLinkedToken(CAccessToken& linkedToken);

    // Attributes of one group of the token. Access: TOKEN_QUERY. False:
    // "no such group" with LastError() 0 and no trace; with any other error,
    // could not tell (1337 invalid SID, 6 no token, 13 inconsistent lists).
    // Error: LastError().
    bool GetGroupAttributes(const CSid& sid, DWORD& attributes);
    static bool GetGroupAttributes(HANDLE hToken, const CSid& sid, DWORD& attributes);

    // ---- Privileges (access_token_privileges.cpp) -------------------------

    // TokenPrivileges into an owned block (what it held is freed first): a
    // first read into 616 bytes, a second at the reported size for longer
    // lists; the count is checked against the bytes returned (13). Access:
    // TOKEN_QUERY. False: could not tell; nothing is traced. Error:
    // LastError(), and on failure the thread's last error as well.
    bool GetPrivileges(CqzScopedHeap<BYTE>& buffer, DWORD& size);
    static bool GetPrivileges(HANDLE hToken, CqzScopedHeap<BYTE>& buffer, DWORD& size);

    using CAccessToken::EnablePrivilege;
    // A privilege by index (87 for an index without a name). Access:
    // TOKEN_ADJUST_PRIVILEGES. False: not enabled, either because the token
    // lacks it (1300) or because the adjustment failed. Error: LastError().
    bool EnablePrivilege(int privilegeIndex);
    // Several privileges in one adjustment; the previous state is stored
    // when asked for. Access: TOKEN_ADJUST_PRIVILEGES (and TOKEN_QUERY with a
    // previous state). False: a name is unknown or the token lacks one of
    // them (1300); the others are enabled still. Error: LastError().
    bool EnablePrivileges(const std::vector<std::wstring>& privilegeNames, CTokenPrivileges* pPreviousState = nullptr);
    // Whether the token holds the privilege enabled; held is set only on
    // success. Access: TOKEN_QUERY, on an impersonation token (the system's
    // PrivilegeCheck takes no primary token). False: could not tell (87 for
    // an index without a name). Error: LastError().
    bool PrivilegeCheck(const wchar_t* privilegeName, bool& held);
    bool PrivilegeCheck(int privilegeIndex, bool& held);

    // ---- The administrator decision (access_token_admin.cpp) --------------

    // Every privilege that counts for an administrator on this system is
    // present and not removed (enabled or not). Access: TOKEN_QUERY. Before
    // Vista: the rows of major version 5 only. False: "no", also when it
    // could not tell (fail closed): LastError() is 0 for a plain no, 50 when
    // no row applied (version unreadable), otherwise the failure's error.
    bool HasAllAdminPrivileges();
    static bool HasAllAdminPrivileges(HANDLE hToken);

    // The administrator decision. Answers whether a decision was made; the
    // flag is set only for a yes. Access: TOKEN_QUERY. Before Vista: the
    // group and the privileges decide; elevation and integrity are not
    // asked. False: no decision, only when the integrity level cannot be
    // read (traced); every other failure is a decided no (true, flag false).
    // Error: LastError().
    bool IsElevatedAdmin(bool& isAdmin);
    static bool IsElevatedAdmin(HANDLE hToken, bool& isAdmin);
    // The decision; false is "no", or "no decision".
    bool IsElevatedAdmin();
    static bool IsElevatedAdmin(HANDLE hToken);
    // The decision on the linked token. Before Vista: false, LastError()
    // untouched. False: "no", also without a linked token or when it could
    // not tell.
    bool IsLinkedAdmin();
    static bool IsLinkedAdmin(HANDLE hToken);
    // IsElevatedAdmin, else IsLinkedAdmin; false as theirs.
    bool IsElevatedOrLinkedAdmin();
    static bool IsElevatedOrLinkedAdmin(HANDLE hToken);

    // ---- Opening and duplicating (access_token_open.cpp) ------------------

    // The token of a thread, with desiredAccess. The thread is opened with
    // THREAD_QUERY_LIMITED_INFORMATION (THREAD_QUERY_INFORMATION before
    // Vista). False: could not open; 1008 (ERROR_NO_TOKEN, not traced) means
    // the thread has no token. Error: LastError().
    bool OpenThreadTokenByThreadId(DWORD threadId, DWORD desiredAccess, bool openAsSelf);
    // The token of a process / of the parent process, with
    // TOKEN_QUERY|TOKEN_DUPLICATE; the process is opened with
    // PROCESS_QUERY_LIMITED_INFORMATION (PROCESS_QUERY_INFORMATION before
    // Vista). False: could not open; 87 (not traced) means no such process,
    // 1168 no parent that is older than this process. Error: LastError().
    bool OpenProcessTokenByProcessId(DWORD processId);
    bool OpenParentProcessToken();
    // As above, then the calling thread impersonates the token until Revert,
    // Clear or destruction. False: not opened, or opened and not
    // impersonated (traced at INFO). Error: LastError().
    bool OpenProcessTokenAndImpersonate(DWORD processId);
    bool OpenParentProcessTokenAndImpersonate();

    // Copies of this token into an empty object (87 when it is not empty).
    // Access: TOKEN_DUPLICATE. False: could not copy (6 on an empty object).
    // Error: LastError().
    bool Duplicate(CAccessToken& duplicatedToken, SECURITY_IMPERSONATION_LEVEL level = SecurityImpersonation);
    bool DuplicateEx(CAccessToken& duplicatedToken, DWORD desiredAccess, SECURITY_IMPERSONATION_LEVEL level,
                     TOKEN_TYPE tokenType, SECURITY_ATTRIBUTES* attributes = nullptr);

    // The thread's impersonation token (TOKEN_QUERY, opened as self), or,
    // when the thread has none, an impersonation copy of the process token.
    // False: could not tell; the object keeps what it held. Error:
    // LastError().
    bool GetEffectiveImpersonationToken();

    // ---- Membership (access_token_membership.cpp) -------------------------

    // Whether the SID is enabled for access checks with this token; isMember
    // is set only on success. A primary token is first copied to an
    // impersonation token. From Windows 8 on CheckTokenMembershipEx with the
    // flags, before it CheckTokenMembership (flags unused). Access:
    // TOKEN_QUERY, and TOKEN_DUPLICATE for a primary token. False: could not
    // tell (1337 invalid SID). Error: LastError().
    bool CheckMembership(const CSid& sid, DWORD flags, bool& isMember);
    // The same on the linked token. Before Vista: false with 50. False: no
    // linked token (LastError() as GetLinkedToken left it), or could not
    // tell.
    bool CheckLinkedTokenMembership(const CSid& sid, DWORD flags, bool& isMember);

    // Comparisons of the integrity level and the elevation type. Access:
    // TOKEN_QUERY. Before Vista: false with 50. False: "no" (LastError() 0)
    // or could not tell (any other error).
    bool IsIntegrityLevelAtLeast(DWORD rid);
    bool IsIntegrityLevelAbove(DWORD rid);
    bool IsElevationType(TOKEN_ELEVATION_TYPE type);
    // The group is present, enabled and not deny-only. Access: TOKEN_QUERY.
    // False: "no" (LastError() 0) or could not tell (any other error).
    bool IsGroupEnabled(const CSid& sid);
    bool IsAdministratorsGroupEnabled();
    bool IsPowerUsersGroupEnabled();

    // The logon SIDs (groups with both bits of SE_GROUP_LOGON_ID). Access:
    // TOKEN_QUERY. False: could not tell; for GetLogonIdSid also "none"
    // (1168). Error: LastError().
    bool GetLogonIdSid(CSid& sid);
    bool GetLogonIdSids(std::vector<CSid>& sids);

    // ---- Fields read and written (access_token_setters.cpp) ---------------
    // Getters need TOKEN_QUERY; setters TOKEN_ADJUST_DEFAULT, and the session
    // id and origin also TOKEN_ADJUST_SESSIONID and SeTcbPrivilege. False:
    // could not read / the system refused. Error: LastError().

    bool GetSessionId(DWORD& sessionId);
    bool GetOrigin(LUID& origin);
    // Before Vista: true with policy 0.
    bool GetMandatoryPolicy(DWORD& policy);
    bool GetUIAccess(bool& uiAccess);
    bool SetUIAccess(bool uiAccess);
    bool SetSessionId(DWORD sessionId);
    // The source needs TOKEN_QUERY; its error is kept here when it fails.
    bool SetSessionIdFromToken(CqzAccessToken& source);
    bool SetOrigin(const LUID& origin);
    // Before Vista: true without doing anything (LastError() 0).
    bool SetMandatoryPolicy(DWORD policy);
    // The label with SE_GROUP_INTEGRITY|SE_GROUP_INTEGRITY_ENABLED; raising
    // it needs SeRelabelPrivilege. Before Vista: true without doing anything
    // (LastError() 0). 1337 for an invalid SID.
    bool SetIntegrityLevel(const CSid& label);
    bool SetIntegrityLevelRid(DWORD rid);
    bool SetMediumIntegrityLevel();

    // ---- App containers (access_token_app_container.cpp) ------------------
    // Access: TOKEN_QUERY. Before Windows 8 the system does not know these
    // classes: false with its error. False: could not tell. Error:
    // LastError().

    // The container SID; true with an empty SID for a token that is no app
    // container.
    bool GetAppContainerSid(CSid& sid);
    bool GetCapabilities(CTokenGroups& capabilities);
    // The packaged application's identity (GetApplicationUserModelIdFromToken,
    // resolved at run time; 127 where it does not exist). Error: LastError()
    // is the function's result.
    bool GetApplicationUserModelId(std::wstring& appUserModelId);

    // ---- The user (access_token_user.cpp) ---------------------------------

    // "DOMAIN\name" of the token user (the bare name without a domain).
    // Access: TOKEN_QUERY. False: could not tell; 1337 also for a user the
    // system cannot name. Error: LastError().
    bool GetDomainUserName(std::wstring& name);
    // The same for the calling thread's effective token (thread token, else
    // process token, TOKEN_QUERY). Error: the thread's last error.
    static bool GetEffectiveDomainUserName(std::wstring& name);
    // The user of the current process token (TOKEN_QUERY). False: could not
    // tell. Error: the thread's last error (no object keeps it).
    static bool GetCurrentProcessUser(CSid& user);

    // ---- UAC (access_token_uac.cpp) ---------------------------------------

    // Whether UAC filters this token's user: the policy values EnableLUA and
    // FilterAdministratorToken, then whether the user is the built-in
    // Administrator. Access: TOKEN_QUERY. Before Vista: false. False: "no".
    // A user that cannot be read answers true (traced; error in LastError()).
    bool IsUACEnabled();

    // ---- Safer tokens (access_token_safer.cpp) ----------------------------

    // A normal-user token computed from this one into an empty object; from
    // Vista on at medium integrity, before it without the integrity step.
    // Access: TOKEN_DUPLICATE|TOKEN_QUERY. False: could not compute (nothing
    // is handed out). Error: LastError().
    bool GetSaferToken(CAccessToken& saferToken);

    // ---- The user's locale (access_token_locale.cpp) ----------------------

    // Two-letter language name of the token user's locale, read while
    // impersonating the token. Access: TOKEN_QUERY|TOKEN_IMPERSONATE (and
    // TOKEN_DUPLICATE for a primary token). False: could not tell; language
    // is untouched. Error: LastError().
    bool GetUserLocaleLanguage(std::wstring& language);

    // ---- Security of the token object (access_token_object_security.cpp) --
    // Each runs the kernel-object handle class (qz_handle.h) on the token
    // handle, which it borrows, and traces that class's lines under its
    // names ("CqzHandle", "CqzKernelObjectHandle"). False: could not tell /
    // the system refused. Error: LastError(), the handle operation's error (6
    // on an empty object).

    // The descriptor into a LocalAlloc'ed block. Access: READ_CONTROL
    // (ACCESS_SYSTEM_SECURITY for the SACL).
    bool GetSecurity(SECURITY_INFORMATION flags, CqzScopedLocal<void>& descriptor);
    // Access: WRITE_DAC for the DACL, WRITE_OWNER for owner, group and label.
    bool SetSecurity(SECURITY_INFORMATION flags, PSECURITY_DESCRIPTOR descriptor);
    // Owner, group, DACL and label of the source (READ_CONTROL) onto this
    // token; the source's error is kept here when it fails.
    bool CopySecurityFrom(CqzAccessToken& source);
    // Access: WRITE_DAC.
    bool SetDacl(PACL dacl);
    // The mandatory label of the token object (the first one, with a
    // WARNING when there are several). Access: READ_CONTROL. Before Vista:
    // false with 50. False: could not tell; 1168 without a label, 1337 for
    // a SID that is no integrity label.
    bool GetMandatoryLabel(CSid& label);
    bool GetMandatoryLabelRid(DWORD& rid);
    // Access: WRITE_OWNER. Before Vista: true without doing anything
    // (LastError() 0).
    bool SetMandatoryLabel(const CSid& label, DWORD policy);

    // ---- The token report (access_token_report*.cpp) ---------------------
    // Human-readable reports for support diagnostics, one line at a time
    // (formats of text_sink.h). The short report: user, session, owner,
    // primary group, groups, privileges; with censor set, every SID text
    // keeps only its final sub-authority ("Error Censoring" when it cannot be
    // censored). The full report: everything the system tells about the
    // token, its default DACL, the token object's own security, from Windows
    // 8 on its capabilities and security attributes, and with includeLinked
    // (Vista on) the linked token's full report without a further linked
    // section. An item that cannot be read writes its "Error" line and the
    // report goes on; an empty object writes "TOKEN HANDLE IS NULL" only.
    // Access: TOKEN_QUERY, TOKEN_QUERY_SOURCE for the source line,
    // READ_CONTROL for the token object's security. True: the header line
    // was written (false: traced, nothing else written). Error: LastError()
    // as the last item left it.
    bool DumpUserGroupsAndPriviliges(CqzTextSink& sink, bool censor);
    bool Dump(CqzTextSink& sink, bool includeLinked);
    // The same into a new UTF-16 file (byte-order mark, then the lines),
    // closed before returning. With uniqueName the path's extension becomes
    // ".<current FILETIME in decimal><extension>" (report.txt ->
    // report.133520000000000000.txt; at most 1040 characters, else error
    // 206) and an existing file of that name is never replaced: the next
    // value is taken. False: the file could not be created or its byte-order
    // mark written (traced; no report), else the report's result.
    bool DumpUserGroupsAndPriviliges(const wchar_t* path, bool censor, bool uniqueName);
    bool Dump(const wchar_t* path, bool includeLinked, bool uniqueName);
    static bool DumpUserGroupsAndPriviliges(HANDLE hToken, CqzTextSink& sink, bool censor);
    static bool Dump(HANDLE hToken, CqzTextSink& sink, bool includeLinked);
    static bool DumpUserGroupsAndPriviliges(HANDLE hToken, const wchar_t* path, bool censor, bool uniqueName);
    static bool Dump(HANDLE hToken, const wchar_t* path, bool includeLinked, bool uniqueName);

    // ---- Name tables (access_token.cpp) -----------------------------------
    // Static; an unknown value gives "Unknown" and a WARNING line.

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
    // failureMessage: the ERROR line written under className when the
    // impersonation cannot start; " LastError=<error>" follows it only when
    // appendLastError is set.
    CqzImpersonateAndRevert(HANDLE hToken, const char* className, const char* failureMessage, bool appendLastError);

    CRevert m_revert;
    DWORD m_dwLastError = ERROR_SUCCESS;
};

// The same, for reaching a file as the token's user.
class CqzImpersonateToAccessFile : public CqzImpersonateAndRevert
{
public:
    explicit CqzImpersonateToAccessFile(HANDLE hUserToken);
};
