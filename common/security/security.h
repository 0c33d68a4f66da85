// Privilege names and LUIDs, SIDs by name, string and role, and their texts
// for trace lines; ACLs and security descriptors; process inspection; process
// attribute lists and account rights.
//
//   CqzAccessPriveleges  privilege index -> name, name -> LUID (process-wide
//                        cache), LUID -> name, the standard user's privileges
//   CqzSid               a SID loaded from an account name or SID string
//   SqzSids              SIDs by role and well-known SIDs
//   CqzProcmonDebugLogger  lines for the process-monitor debug device
//   CqzLabelAcl, CqzDacl, CqzSecurityDesc  label ACLs, DACL merging, descriptor
//                        labels, maximum allowed access and renderings
//   CqzProcessHandle     another process: image, memory, parameters, threads,
//                        bitness, package identity, token and environment
//   CqzProcThreadAttributeList*, CqzAccountRights  start-up attribute lists
//                        and logon rights
//
// Nothing here throws, except where a class says so. Every trace line keeps
// the caller's last-error value.
#pragma once

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <string>
#include <type_traits>
#include <vector>

#include "common/atl/atl_access_token.h"
#include "common/atl/atl_security.h"
#include "common/atl/atl_sid.h"
#include "common/security/qz_handle.h"
#include "common/util/scoped.h"
#include "common/util/text_sink.h"

// ---------------------------------------------------------------------------
// Privileges
// ---------------------------------------------------------------------------

class CqzAccessPriveleges
{
public:
    // Number of privileges in the index table. The table follows the
    // well-known LUIDs (index i is LUID i + 2) only up to index 4: machine
    // account shares LUID 6 with unsolicited input, and the last five are out
    // of LUID order. Nothing relies on that order; lookups go by name.
    static const int PrivilegeIndexCount = 35;

    // The value stored in the cache for a name the system does not know.
    static const LUID UnknownPrivilegeLuid;

    // Name of a privilege index; null (and an ERROR line) outside the table.
    static const wchar_t* GetPrivilegeName(int index);

    // LUID of a privilege name through the process-wide cache. False for a
    // null name and for a name that cannot be looked up; the thread's last
    // error then tells why: ERROR_NO_SUCH_PRIVILEGE when the system does not
    // know the name (answered from the cache after the first time), any
    // other code for a failed lookup (never cached, the next call asks the
    // system again). Safe from any thread.
    static bool LookupPrivilegeValue(const wchar_t* name, LUID& luid);
    // The same for a privilege index.
    static bool LookupPrivilegeValue(int index, LUID& luid);
    // Name of a LUID (LookupPrivilegeNameW on the local system).
    static bool LookupPrivilegeName(const LUID& luid, std::wstring& name);
    // Whether the LUID is the unknown-privilege marker.
    static bool IsInvalidLuid(const LUID& luid);
    // Whether two LUIDs are the same.
    static bool SameLuid(const LUID& a, const LUID& b);
    // Whether a standard user holds this privilege on the running system.
    static bool IsStandardUserPrivilege(const LUID& luid);
};

// ---------------------------------------------------------------------------
// SIDs
// ---------------------------------------------------------------------------

class CqzSid : public CSid
{
public:
    CqzSid() = default;
    // Loads as LoadAccount does; an empty or null text leaves the object
    // invalid and traces a WARNING.
    explicit CqzSid(const wchar_t* accountNameOrSidString);
    explicit CqzSid(PSID sid) : CSid(sid) {}
    CqzSid(const CSid& sid) : CSid(sid) {}

    // A SID string ("S-..." in either case) or an account name; names that
    // do not resolve as given are tried in their BUILTIN / computer-name /
    // ".\\" forms.
    bool LoadAccount(const wchar_t* accountNameOrSidString);
    bool LoadAccount(PSID sid) { return CSid::LoadAccount(sid); }
    bool LoadAccountBySidString(const wchar_t* sidString);
    // Whether the text converts to a SID.
    static bool IsSidString(const wchar_t* text);

    // Validity flag set and the buffer accepted by IsValidSid.
    bool IsValid() const;
    bool IsIdentifierAuthority(const SID_IDENTIFIER_AUTHORITY& authority) const;
    // S-1-16-<rid>: a mandatory label with exactly one sub-authority.
    bool IsValidIntegrityLevelSid(DWORD& rid) const;
    // S-1-15-3-<rid>.
    bool IsBuiltInCapabilitySid(DWORD& rid) const;
    // S-1-15-3-<d0>-<d1>-<d2>-<d3>: the GUID as four DWORDs.
    bool IsCustomCapabilitySid(DWORD guid[4]) const;

    bool GetSidString(std::wstring& text) const;
    // "Name=[DOMAIN\\name] SID=[S-...]" and its variants, for trace lines.
    std::wstring GetTraceString() const;
    // The same for a raw SID; "PSID=[NULL]" for null.
    static std::wstring GetTraceString(PSID sid);
    // "ATTR=[<attribute words>] <trace string>".
    std::wstring GetGroupTraceString(DWORD attributes) const;

    // Local-group membership of this SID on the local system.
    bool AddToGroup(const wchar_t* groupName) const;
    bool RemoveFromGroup(const wchar_t* groupName) const;

    // The local name of a built-in group given by its English name; false,
    // with the English name copied, when it cannot be had.
    static bool GetLocalizedGroupName(const wchar_t* englishName, std::wstring& name);

    // Texts used in trace strings.
    static std::wstring GetGroupAttributesString(DWORD attributes);
    static std::wstring GetCapabilityName(DWORD rid);
    static std::wstring GetDeviceCapabilityName(const DWORD guid[4]);

private:
    // Loading by name with the BUILTIN / computer-name / ".\\" forms.
    bool _LoadAccountByName(const wchar_t* name);
    friend class SqzSids;
};

class SqzSids
{
public:
    // Each returns a SID that lives for the rest of the process; it may be
    // invalid, and is then looked for again on the next call.
    static const CqzSid& GetMachineSid();
    static const CqzSid& GetLocalDomainUsersSid();
    static const CqzSid& GetAllApplicationPackagesSid();

    static bool GetWellKnownSid(WELL_KNOWN_SID_TYPE type, CSid& sid);
    // Name of a WELL_KNOWN_SID_TYPE value without its "Win" prefix;
    // "Unknown" outside 0..78.
    static const char* GetWellKnownSidTypeName(int type);
};

// Lines for the process-monitor debug device "\\.\Global\ProcmonDebugLogger",
// written only when the device exists.
class CqzProcmonDebugLogger
{
public:
    // Longest text sent, in characters; longer texts are cut.
    static const size_t MaxChars = 2046;
    static const DWORD IoctlWrite = 0x95358204;

    // Sends the text (without terminator); an empty text sends nothing. The
    // caller's last-error value is kept.
    static void Write(const wchar_t* text);
};

// ---------------------------------------------------------------------------
// ACLs and security descriptors
// ---------------------------------------------------------------------------

// Mandatory-label ACLs, DACL merging and lookup, descriptor labels, the
// maximum access a token gets, and the texts of ACLs and descriptors:
//
//   LabelAceEntry    one mandatory-label entry for a label ACL
//   CqzLabelAcl      owner of one system ACL holding label entries
//   CqzDacl          CDacl with merging, lookup and its rendering
//   CqzSecurityDesc  CSecurityDesc with labels, the maximum allowed access,
//                    its rendering, and the static renderings of any ACL
//                    (DumpAcl) and the name texts (GetAceTypeName,
//                    GetAceFlagsString, GetControlString)
//
// Traces go under the class names "CqzLabelAcl", "CqzDacl", "CqzSecurityDesc"
// and keep the caller's last-error value. Nothing throws except
// CqzSecurityDesc::SetLabelAcl, see there.

struct LabelAceEntry
{
    LabelAceEntry() = default;
    LabelAceEntry(const CSid& sid, DWORD aceFlags, DWORD policy)
        : m_sid(sid), m_dwAceFlags(aceFlags), m_dwPolicy(policy)
    {
    }

    CSid m_sid;             // the label SID, normally S-1-16-<RID>
    DWORD m_dwAceFlags = 0; // ACE flags (inheritance)
    DWORD m_dwPolicy = 0;   // SYSTEM_MANDATORY_LABEL_NO_WRITE_UP and its siblings
};

// Owner of one system ACL (LocalAlloc) holding mandatory-label ACEs.
class CqzLabelAcl
{
public:
    // Both run SetAces; on failure the object holds no ACL.
    explicit CqzLabelAcl(const LabelAceEntry& entry);
    explicit CqzLabelAcl(const std::vector<LabelAceEntry>& entries);
    ~CqzLabelAcl();
    CqzLabelAcl(const CqzLabelAcl&) = delete;
    CqzLabelAcl& operator=(const CqzLabelAcl&) = delete;

    // Frees the held ACL, then builds one with a label ACE per entry, in
    // order. False (traced) for an empty list, a failed allocation, or an
    // entry the system refuses (its SID invalid, AddMandatoryAce missing):
    // the object then holds no ACL.
    bool SetAces(const std::vector<LabelAceEntry>& entries);
    bool SetAces(const LabelAceEntry& entry);

    // Bytes in use of the ACL; 0 when there is none or it cannot be read.
    DWORD GetLength() const;
    // The ACL (null when none), owned by the object.
    PACL GetPACL() const { return m_pAcl; }

    // Resolves AddMandatoryAce once (advapi32 from the system directory,
    // loaded by full path and kept for the process). False when it is not
    // available. Safe from any thread.
    static bool _InitClass();
    static bool _AddMandatoryAce(PACL acl, DWORD aceFlags, DWORD policy, PSID sid);

private:
    void _Free();

    PACL m_pAcl = nullptr;
};

// CDacl with merging and lookup. Adds no fields.
class CqzDacl : public CDacl
{
public:
    CqzDacl() = default;
    explicit CqzDacl(const ACL* acl) : CDacl(acl) {}
    CqzDacl(const CDacl& dacl) : CDacl(dacl) {}

    // Whether some ACE names exactly this SID.
    bool IsGroupInDacl(const CSid& sid) const;

    // Merges the mask for the SID as one ACE of the type (0 allowed, 1
    // denied): false when an ACE of that type and SID already holds every bit
    // of the mask (nothing changes), or for another type (traced). Otherwise
    // every ACE of the SID, of any type, is replaced by one ACE of the type
    // with the union of the masks of that type and the given one: true.
    bool MergeAce(const CSid& sid, ACCESS_MASK mask, BYTE aceType);
    bool MergeAllowedAce(const CSid& sid, ACCESS_MASK mask) { return MergeAce(sid, mask, ACCESS_ALLOWED_ACE_TYPE); }
    bool MergeDeniedAce(const CSid& sid, ACCESS_MASK mask) { return MergeAce(sid, mask, ACCESS_DENIED_ACE_TYPE); }
    // Merges every entry of the other DACL (its SID and mask) here as an
    // allowed ACE; true when any merge changed this DACL.
    bool MergeAllowedAcesFrom(const CDacl& other);

    // "   DACL contains %d ACEs" and one line per ACE.
    void DumpDacl(CqzTextSink& sink) const;
};

// CSecurityDesc with labels, the maximum allowed access and its rendering.
// Adds no fields; works on m_pSecurityDescriptor.
class CqzSecurityDesc : public CSecurityDesc
{
public:
    CqzSecurityDesc() = default;
    explicit CqzSecurityDesc(const void* descriptor) : CSecurityDesc(descriptor) {}
    CqzSecurityDesc(const CSecurityDesc& other) : CSecurityDesc(other) {}
    // Both clear, then copy.
    CqzSecurityDesc& operator=(const CSecurityDesc& other)
    {
        CSecurityDesc::operator=(other);
        return *this;
    }
    CqzSecurityDesc& operator=(const void* descriptor)
    {
        CSecurityDesc::operator=(descriptor);
        return *this;
    }

    // Replaces the SACL with a copy of the label ACL (none when the label ACL
    // holds no ACL). Without a descriptor an empty one is made first: when
    // that cannot be done this throws CAtlException; every other failure is
    // traced and answered false.
    bool SetLabelAcl(const CqzLabelAcl& labelAcl);
    // A one-entry label ACL (ACE flags 0): the SID, or S-1-16-<rid>.
    bool SetLabel(const CSid& labelSid, DWORD policy);
    bool SetLabel(DWORD integrityRid, DWORD policy);
    bool SetSystemLabel(DWORD policy) { return SetLabel(SECURITY_MANDATORY_SYSTEM_RID, policy); }
    bool SetHighLabel(DWORD policy) { return SetLabel(SECURITY_MANDATORY_HIGH_RID, policy); }
    bool SetMediumLabel(DWORD policy) { return SetLabel(SECURITY_MANDATORY_MEDIUM_RID, policy); }
    bool SetLowLabel(DWORD policy) { return SetLabel(SECURITY_MANDATORY_LOW_RID, policy); }

    // The access AccessCheck grants for MAXIMUM_ALLOWED (no generic mapping)
    // to the caller's own token (impersonating itself for the moment), or to
    // the given token (an impersonation token with TOKEN_QUERY). The mask is
    // 0 on failure. The descriptor needs an owner and a group.
    bool GetMaxAllowedAccess(ACCESS_MASK& access) const;
    bool GetMaxAllowedAccess(HANDLE token, ACCESS_MASK& access) const;

    // The descriptor's lines: string form, control, owner, group, DACL and
    // SACL with their ACEs. A descriptor whose pieces are not well formed is
    // not handed to the system's string conversion (its line says it
    // failed); its ACLs are rendered only as far as their AclSize holds.
    void DumpSecurityDescriptor(CqzTextSink& sink) const;

    // Any ACL: "   PACL is NULL", or "   ACL contains %d ACEs" and a line per
    // ACE. Reads nothing past the ACL's AclSize: an ACE that does not fit,
    // is shorter than its header or holds a SID that runs past its end gives
    // "      ACE %.2d: ERROR" and ends the walk.
    static void DumpAcl(const ACL* acl, CqzTextSink& sink);

    // Name of an ACE type byte; "Unknown" for others. Type 15's name begins
    // with a blank.
    static const wchar_t* GetAceTypeName(BYTE aceType);
    // Flag words joined by "|"; "0" for none.
    static std::wstring GetAceFlagsString(BYTE aceFlags);
    // Control words joined by "|", remaining bits as "0x%.8X"; "NULL" for 0.
    static std::wstring GetControlString(SECURITY_DESCRIPTOR_CONTROL control);
};

// ---------------------------------------------------------------------------
// Process inspection
// ---------------------------------------------------------------------------

// CqzProcessHandle: one handle to another process, and what the agent asks
// of, or does to, that process.
//
// - Most members work on the open handle (m_h) and keep the Win32 error of
//   their last system call in m_dwLastError; the library sets 6 without a
//   handle, 87 for invalid parameters, 13 for short transfers and invalid
//   remote data, 14 for failed allocations, 9 for an unusable environment
//   block, 50 where this build cannot read the target (see below).
// - The static forms taking a process id open the process with the least
//   access the member needs, run it and close the handle on every path.
//   Having no object, they leave the error as the thread's last error.
// - Query access follows the system's major version: PROCESS_QUERY_INFORMATION
//   and THREAD_QUERY_INFORMATION below 6, the _LIMITED_ forms from 6 on.
// - The remote PEB and parameter readers use the layouts of this build's own
//   bitness (the constants below): 32-bit structures in the x86 build,
//   64-bit ones in the x64 build, which reads a 32-bit target through the
//   native PEB and parameters the system reports for it. The x86 build
//   refuses a 64-bit target on a 64-bit system, whose structures a 32-bit
//   process cannot reach: an ERROR line and 50 (ERROR_NOT_SUPPORTED).
// - Failures are traced under the class name "CqzProcessHandle".
class CqzProcessHandle : public CqzKernelObjectHandle
{
public:
    CqzProcessHandle() = default;
    // Takes ownership of the handle.
    explicit CqzProcessHandle(HANDLE hProcess) : CqzKernelObjectHandle(hProcess) {}

    // PROCESS_QUERY_INFORMATION (0x400) below major version 6,
    // PROCESS_QUERY_LIMITED_INFORMATION (0x1000) from 6 on.
    static DWORD GetProcessQueryAccess();
    // THREAD_QUERY_INFORMATION (0x40) below 6, THREAD_QUERY_LIMITED_INFORMATION
    // (0x800) from 6 on.
    static DWORD GetThreadQueryAccess();

    // Closes what is held and opens the process (not inheritable); error 0
    // on success. With trace set, a missing process (87) is traced at TRACE
    // level and other failures at ERROR.
    bool OpenProcess(DWORD access, DWORD pid, bool trace = true);

    // Win32 path of the process's executable. "System" for pids 0 and 4,
    // without opening anything; this process's own module path for its pid.
    // Below major version 6 the device path the system gives is turned into
    // a drive path (DevicePathToDrivePath).
    static bool GetImagePath(DWORD pid, std::wstring& path);
    // "\Device\HarddiskVolume1\dir\file" -> "C:\dir\file": the drive letter
    // whose QueryDosDeviceW target is a prefix of the path ending at a
    // separator (or at the path's end). False, with the path copied
    // unchanged, when no drive letter maps to it.
    static bool DevicePathToDrivePath(const std::wstring& devicePath, std::wstring& drivePath);

    // Remote memory (PROCESS_VM_READ; PROCESS_VM_WRITE | PROCESS_VM_OPERATION
    // for writing). A null address or buffer or a zero size is refused with
    // 87. transferred may be null.
    bool ReadMemory(const void* remoteAddress, void* buffer, SIZE_T size, SIZE_T* transferred);
    bool WriteMemory(void* remoteAddress, const void* buffer, SIZE_T size, SIZE_T* transferred);
    // The same, failing with 13 unless every byte was transferred.
    bool ReadMemoryExact(const void* remoteAddress, void* buffer, SIZE_T size);
    bool WriteMemoryExact(void* remoteAddress, const void* buffer, SIZE_T size);

    // Command line and current directory from the process parameters
    // (access: query information and PROCESS_VM_READ; the static forms open
    // with 0x410). An inconsistent remote string is refused with 13.
    bool GetCommandLineW(std::wstring& commandLine);
    static bool GetCommandLineW(DWORD pid, std::wstring& commandLine);
    bool GetCurrentDirectoryW(std::wstring& directory);
    static bool GetCurrentDirectoryW(DWORD pid, std::wstring& directory);

    // Gives the (normally suspended) process a new primary token (the token
    // needs TOKEN_ASSIGN_PRIMARY, and TOKEN_QUERY | TOKEN_DUPLICATE |
    // TOKEN_IMPERSONATE for the environment), and with newEnvironment a
    // fresh environment built for it. True once the token is replaced, even
    // when the environment could not be.
    static bool ReplacePrimaryToken(DWORD pid, const CAccessToken& token, bool newEnvironment);
    // Builds the token's environment block (without this process's
    // variables; USERNAME and USERDOMAIN set from the token's user), copies it
    // into the process and points the process parameters at it. Access:
    // PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE and query
    // information. The remote block belongs to the process from then on.
    bool CreateNewEnvironment(const CAccessToken& token);

    // Calls the callback with each thread id of the process until it answers
    // false. False when the threads cannot be listed; an empty list is true.
    typedef bool (*EnumThreadsProc)(DWORD threadId, void* context);
    static bool EnumThreads(DWORD pid, EnumThreadsProc enumProc, void* context);
    // The thread created first (on equal times, the one listed first); 0 when
    // none can be told.
    static DWORD GetMainThreadId(DWORD pid);
    // That thread opened with the access; the caller closes the handle. Null
    // on failure.
    static HANDLE OpenMainThread(DWORD pid, DWORD access, bool inherit);

    // Whether the process's image is 64-bit (AMD64 or ARM64); isArm is set for
    // an ARM64 or ARMNT image. False on a 32-bit system, for a null handle and
    // when the type cannot be told. The handle needs query (limited) access.
    static bool Is64bit(HANDLE hProcess, bool& isArm);
    // Whether the process is a 32-bit one on a 64-bit system. True when that
    // could be told (on a 32-bit system at once, is32bit false); false when
    // the process cannot be opened or its image type cannot be read.
    static bool Is32bitOn64bitOS(DWORD pid, bool& is32bit);
    // Whether the system is ARM64, asked of the process (null: this one).
    static bool IsRunningOnArm64(HANDLE hProcess = nullptr);

    // Package identity (Windows 8 and later; false with 50 before). With
    // impersonate set, the query runs impersonating this process's own token
    // (an impersonation of the calling thread is set aside meanwhile). A
    // process without a package fails with 15700 (APPMODEL_ERROR_NO_PACKAGE);
    // a system without the function fails with 127 (ERROR_PROC_NOT_FOUND).
    // The PACKAGE_ID buffer is the caller's (size in bytes).
    bool GetPackageId(bool impersonate, CqzScopedHeap<BYTE>& packageId, UINT32& size);
    static bool GetPackageId(DWORD pid, bool impersonate, CqzScopedHeap<BYTE>& packageId, UINT32& size);
    bool GetPackageFullName(bool impersonate, std::wstring& name);
    static bool GetPackageFullName(DWORD pid, bool impersonate, std::wstring& name);
    bool GetPackageFamilyName(bool impersonate, std::wstring& name);
    static bool GetPackageFamilyName(DWORD pid, bool impersonate, std::wstring& name);
    bool GetApplicationUserModelId(bool impersonate, std::wstring& appUserModelId);
    static bool GetApplicationUserModelId(DWORD pid, bool impersonate, std::wstring& appUserModelId);

    // Every process id of the system (EnumProcesses); the array is the
    // caller's.
    static bool EnumAllProcesses(CqzScopedHeap<DWORD>& pids, DWORD& count);

    // GetProcessId of the handle; 0 on failure.
    DWORD GetProcessId();
    // The user of the process token (TOKEN_QUERY); the static form opens
    // with PROCESS_QUERY_INFORMATION.
    bool GetUser(CSid& user);
    static bool GetUser(DWORD pid, CSid& user);
    // The administrator decision on the process token (CqzAccessToken's
    // IsElevatedAdmin): true when a decision was made, isAdmin set only for
    // a yes. The form without a flag answers the decision itself.
    bool ProbeForAdminRights(bool& isAdmin);
    static bool ProbeForAdminRights(DWORD pid, bool& isAdmin);
    static bool ProbeForAdminRights(DWORD pid);
    // Creation time as a 64-bit FILETIME value.
    bool GetCreationTime(ULONGLONG& creationTime);
    static bool GetCreationTime(DWORD pid, ULONGLONG& creationTime);
    // Every entry of a process snapshot.
    static bool EnumProcessesEx(std::vector<PROCESSENTRY32W>& processes);
    // Whether a process runs whose executable name equals the name (any
    // case); false also when the snapshot fails.
    static bool IsProcessRunning(const wchar_t* exeName);
    // The modules of the process (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ).
    bool EnumModules(std::vector<HMODULE>& modules);
    // The module snapshot of the process (32-bit modules of a 32-bit target
    // included).
    static bool EnumModulesEx(DWORD pid, std::vector<MODULEENTRY32W>& modules);
    bool GetModuleInfo(HMODULE module, MODULEINFO& info);
    // Whether a debugger is attached (CheckRemoteDebuggerPresent).
    bool CheckDebuggerPresent(bool& present);
    // The process's debug port (0: none).
    bool GetDebugPort(ULONG_PTR& debugPort);
    // The PEB's BeingDebugged flag (PROCESS_VM_READ and query information).
    bool IsBeingDebugged(bool& beingDebugged);
    // Sets the Medium mandatory label (no write-up) on the process; the
    // caller needs SeSecurityPrivilege enabled.
    static bool SetProcessMandatoryLabel(DWORD pid);

protected:
    // Remote memory of the size in the process, committed read-write, and
    // its release.
    bool _AllocRemoteMemory(SIZE_T size, void*& remoteAddress);
    bool _FreeRemoteMemory(void* remoteAddress);

    // Layouts of the remote structures this build reads (sizes and field
    // offsets in bytes): PROCESS_BASIC_INFORMATION, PEB,
    // RTL_USER_PROCESS_PARAMETERS (up to its drive-letter directories) and
    // UNICODE_STRING of its own bitness.
#ifdef _WIN64
    static constexpr ULONG BasicInformationSize = 48;
    static constexpr SIZE_T PebSize = 0x380, PebBeingDebuggedOffset = 2, PebParametersOffset = 0x20;
    static constexpr SIZE_T ParametersSize = 0x3F0, CurrentDirectoryOffset = 0x38, CommandLineOffset = 0x70,
                            EnvironmentOffset = 0x80;
    static constexpr SIZE_T UnicodeStringSize = 16, UnicodeStringBufferOffset = 8;
#else
    static constexpr ULONG BasicInformationSize = 24;
    static constexpr SIZE_T PebSize = 472, PebBeingDebuggedOffset = 2, PebParametersOffset = 16;
    static constexpr SIZE_T ParametersSize = 656, CurrentDirectoryOffset = 36, CommandLineOffset = 64,
                            EnvironmentOffset = 72;
    static constexpr SIZE_T UnicodeStringSize = 8, UnicodeStringBufferOffset = 4;
#endif

    // Remote PEB and process-parameter readers; the structures come back as
    // raw bytes of the sizes above. A null PEB or parameters address is a
    // success with a null address.
    bool _GetBasicInformation(PROCESS_BASIC_INFORMATION& info);
    bool _GetRemotePebAddress(void*& pebAddress);
    bool _GetRemotePeb(std::vector<BYTE>& peb);
    bool _GetRemoteUserProcessParametersAddress(void*& parametersAddress);
    bool _GetRemoteUserProcessParameters(std::vector<BYTE>& parameters);
    // Where the parameters keep the environment pointer; false (13) for a
    // process without parameters.
    bool _GetRemoteEnvrionmentPointerAddress(void*& pointerAddress);
    // The UNICODE_STRING at parametersAddress + fieldOffset.
    bool _ReadProcessStringParameter(const void* parametersAddress, SIZE_T fieldOffset, std::wstring& text);

private:
    // The checks of ReadMemory and WriteMemory (handle, then parameters).
    bool _CheckTransfer(const void* remoteAddress, const void* buffer, SIZE_T size, SIZE_T* transferred);
    // Raw transfers without trace lines: false with the error, 13 for a short
    // count.
    bool _ReadExactSilently(const void* remoteAddress, void* buffer, SIZE_T size);
    bool _WriteExactSilently(void* remoteAddress, const void* buffer, SIZE_T size);
    // The image path readers of GetImagePath.
    bool _QueryFullProcessImageName(DWORD pid, std::wstring& path);
    bool _GetProcessImageFileName(DWORD pid, std::wstring& path);
    // One package-identity query (PackageQuery in the .cpp) into a malloc'ed
    // buffer; length in the function's units (bytes or characters).
    bool _QueryPackage(int which, bool impersonate, CqzScopedHeap<BYTE>& buffer, UINT32& length);
    bool _QueryPackageString(int which, bool impersonate, std::wstring& text);
    static bool _QueryPackageStringOf(DWORD pid, int which, bool impersonate, std::wstring& text);
    // The callback of GetMainThreadId.
    static bool _FindMainThreadEnumProc(DWORD threadId, void* context);
    // RtlSetEnvironmentVariable on a local block (which it may move).
    static bool _SetEnvironmentVariable(void*& block, const wchar_t* name, const std::wstring& value);
};

// ---------------------------------------------------------------------------
// Process attribute lists and account rights
// ---------------------------------------------------------------------------

// A process-thread attribute list with room for one attribute, for the
// lpAttributeList of a STARTUPINFOEXW (CreateProcess with
// EXTENDED_STARTUPINFO_PRESENT). Get() is null when the list could not be set
// up; the reason is traced. The list functions are resolved in kernel32 at
// run time, once; without them no list is ever set up. The list holds
// pointers into its object, so the object is neither copied nor moved, and it
// must outlive every CreateProcess call that uses the list.
class CqzProcThreadAttributeList
{
public:
    virtual ~CqzProcThreadAttributeList();
    CqzProcThreadAttributeList(const CqzProcThreadAttributeList&) = delete;
    CqzProcThreadAttributeList& operator=(const CqzProcThreadAttributeList&) = delete;

    // The list, owned by this object; null when not set up.
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const;

protected:
    CqzProcThreadAttributeList() = default;

    // Allocates and initialises an empty one-attribute list. Fails, with its
    // trace line, when a list is already held.
    bool _InitBase();
    // Sets the one attribute (value must stay valid while the list lives);
    // on failure the list is deleted and freed.
    bool _UpdateAttribute(DWORD_PTR attribute, PVOID value, SIZE_T size);
    // Deletes and frees the list, if any.
    void _Free();

private:
    CqzScopedHeap<std::remove_pointer<LPPROC_THREAD_ATTRIBUTE_LIST>::type> m_ptal;
};

// A list that makes the new process a child of the given parent process.
class CqzProcThreadAttributeListParentProc : public CqzProcThreadAttributeList
{
public:
    // Opens the process (MAXIMUM_ALLOWED, not inheritable; the creating
    // process needs PROCESS_CREATE_PROCESS on it) and keeps that handle until
    // destruction. Id 0, or a system before Windows Vista, sets up nothing.
    // Pass a DWORD variable: a literal 0 is ambiguous with the other form.
    explicit CqzProcThreadAttributeListParentProc(DWORD parentProcessId);
    // Borrows the handle (PROCESS_CREATE_PROCESS), which must stay open while
    // the list is used; it is never closed here.
    explicit CqzProcThreadAttributeListParentProc(HANDLE parentProcess);
    ~CqzProcThreadAttributeListParentProc() override;

private:
    bool _SetParentProcess();

    CqzScopedHandle m_ownedParentProcess; // set only when this object opened it
    HANDLE m_parentProcess = nullptr;
};

// A list that lets the new process inherit only the given handles (each
// must be inheritable, and the process created with bInheritHandles TRUE).
class CqzProcThreadAttributeListHandles : public CqzProcThreadAttributeList
{
public:
    // Largest count plus one: 0x3FFFFFFF handles or more set up nothing.
    static const DWORD HandleCountLimit = 0x3FFFFFFF;

    // The array stays the caller's and must outlive the list. A null array,
    // a count of 0, or a count of HandleCountLimit or more sets up nothing.
    // When the attribute cannot be set, the array and count are forgotten.
    CqzProcThreadAttributeListHandles(HANDLE* handles, DWORD count);

    // Sets the list up again over the same array, for an object whose set-up
    // failed. A list that is already set up is left as it is and the call
    // fails (traced).
    bool ReInit();

private:
    HANDLE* m_handles;
    DWORD m_count;
};

// Logon rights of an account in the local security policy. The caller needs
// the rights to change the policy (an administrator). Each operation answers
// false on failure, traced at ERROR, and leaves a Win32 error as the thread's
// last error: ERROR_INVALID_SID for an account that is not valid,
// ERROR_INVALID_PARAMETER for a right index outside the table, otherwise the
// policy call's status converted with LsaNtStatusToWinError.
class CqzAccountRights
{
public:
    // Right indices: 0 SeBatchLogonRight, 1 SeDenyBatchLogonRight,
    // 2 SeDenyInteractiveLogonRight, 3 SeDenyNetworkLogonRight,
    // 4 SeDenyRemoteInteractiveLogonRight, 5 SeDenyServiceLogonRight,
    // 6 SeInteractiveLogonRight, 7 SeNetworkLogonRight,
    // 8 SeRemoteInteractiveLogonRight, 9 SeServiceLogonRight.
    static const int RightCount = 10;

    CqzAccountRights() = delete;

    // Grants one right. The account is a SID object or an account name
    // (loaded as CqzSid::LoadAccount does).
    static bool AddAccountRight(const CSid& account, int rightIndex);
    static bool AddAccountRight(const wchar_t* accountName, int rightIndex);
    // Removes that one right (and no other).
    static bool DenyAccountRight(const CSid& account, int rightIndex);
    static bool DenyAccountRight(const wchar_t* accountName, int rightIndex);

private:
    static bool _ChangeAccountRight(const CSid& account, int rightIndex, bool add);
};
