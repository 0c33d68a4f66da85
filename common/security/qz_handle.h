// CqzHandle and its derived classes: one Windows handle each (a kernel
// object, a file, a registry key, a service, a window station or a desktop)
// and the questions the agent asks about the securable object behind it:
// owner, group, DACL and mandatory label read and written through the
// object-type-aware security functions (GetSecurityInfo / SetSecurityInfo
// with the type of GetObjectType), the access the handle grants, the access
// a token could get, the object's type name and name, its entry in the
// system handle table, and a diagnostic dump into a UTF-16 text file.
//
// Class tree and close rules (destruction is not virtual: destroy an object
// as the class it was created as; after closing, the handle field is null):
//
//   CqzHandle                     CloseHandle when not null      abstract
//     CqzKernelObjectHandle       CloseHandle when not null      SE_KERNEL_OBJECT
//     CqzFileObjectHandle         CloseHandle when neither null
//                                 nor INVALID_HANDLE_VALUE       SE_FILE_OBJECT
//     CqzRegistryKeyHandle        never: the key is borrowed     SE_REGISTRY_KEY
//     CqzServiceObjectHandle      never: the handle is borrowed  SE_SERVICE
//     CqzWindowObjectHandle       (only its two derived classes are used)
//       CqzDesktopHandle          CloseDesktop when not null     SE_WINDOW_OBJECT
//       CqzWindowStationHandle    CloseWindowStation when not null
//                                                                SE_WINDOW_OBJECT
//
// Results: every operation answers bool (true on success) unless it says
// otherwise, and keeps its error in the object (LastError(), m_dwLastError):
// 0 after construction with a handle, 6 (ERROR_INVALID_HANDLE) without one,
// then the error of the last operation: a Win32 error, the result of a
// security function, or an NTSTATUS for the native queries (each operation
// says which). An operation on an empty object traces "ERROR: Handle is
// NULL" and answers false with 6. Failures are traced at ERROR under
// "CqzHandle" (the derived class's name for its own operations). Nothing
// throws. An object is not shared between threads.
//
// Where the code lives:
//   qz_handle.cpp               construction and close rules, security read
//                               and write, inheritance, merge, explicit
//                               access, ACE removal
//   qz_handle_label.cpp         mandatory labels and integrity shortcuts
//   qz_handle_query.cpp         granted and maximum-allowed access, type and
//                               object names, the system handle table, the
//                               session object name
//   qz_handle_kernel.cpp        CqzKernelObjectHandle's descriptors
//   qz_handle_file.cpp          file rename and delete
//   qz_handle_window.cpp        window-object information (_GetInformation,
//                               GetUserObjectName / GetUserObjectType)
//   qz_handle_dump*.cpp         every DumpInfo and Dump, the name tables,
//                               FileAccessCheck, _GetServiceDll
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <string>
#include <vector>

#include "common/atl/atl_handle.h"
#include "common/atl/atl_security.h"
#include "common/atl/atl_sid.h"
#include "common/util/scoped.h"
#include "common/util/text_sink.h"

class CqzHandle : public CHandle
{
public:
    // The native basic information of an object (56 bytes in both
    // flavours).
    struct ObjectBasicInformation
    {
        ULONG Attributes;
        ACCESS_MASK GrantedAccess;
        ULONG HandleCount;
        ULONG PointerCount;
        ULONG PagedPoolCharge;
        ULONG NonPagedPoolCharge;
        ULONG Reserved[3];
        ULONG NameInfoSize;
        ULONG TypeInfoSize;
        ULONG SecurityDescriptorSize;
        LARGE_INTEGER CreationTime;
    };

    // One entry of the system handle table, in the layout of the running
    // flavour: 16 bytes in the 32-bit build; in the 64-bit build the object
    // address is 8 bytes wide and the entry 24 bytes (the table's entries
    // then start 8 bytes in, after the count and its padding).
    struct SystemHandleEntry
    {
        ULONG ProcessId;
        BYTE ObjectTypeNumber;
        BYTE Flags;
        USHORT Handle;
        PVOID Object;
        ACCESS_MASK GrantedAccess;
    };
    // The table: the entry count, then the entries.
    struct SystemHandleInformation
    {
        ULONG Count;
        SystemHandleEntry Entries[1];
    };

    // First size tried for the system handle table, in bytes.
    static const ULONG kHandleTableFirstSize = 1600000;

    CqzHandle();
    explicit CqzHandle(HANDLE h);
    // Closes the handle with CloseHandle when it is not null.
    ~CqzHandle();
    CqzHandle(const CqzHandle&) = delete;
    CqzHandle& operator=(const CqzHandle&) = delete;

    DWORD LastError() const { return m_dwLastError; }

    // Slot 0: the SE_OBJECT_TYPE of the class.
    virtual SE_OBJECT_TYPE GetObjectType() const = 0;
    // Slot 1: the access and security lines of the object ("OBJECT ACCESS
    // GRANTED", "OBJECT ACCESS MAX ALLOWED", the descriptor); the window
    // objects write their type and name lines first. Never fails its
    // caller: what cannot be read becomes an error line.
    virtual void DumpInfo(CqzTextSink& sink);

    // ---- Security information (qz_handle.cpp) -----------------------------

    // SetSecurityInfo on the handle; any part may be null. Access: WRITE_DAC
    // for the DACL, WRITE_OWNER for owner, group and label,
    // ACCESS_SYSTEM_SECURITY for an audit SACL. Error: the function's result.
    // An empty object traces "ERROR: Token is NULL".
    bool SetSecurityInfo(SECURITY_INFORMATION flags, PSID owner, PSID group, PACL dacl, PACL sacl);
    bool SetOwner(const CSid& owner);
    bool SetGroup(const CSid& group);
    // A DACL marked as null is written as a NULL DACL (everyone, all
    // access): the caller asks for that explicitly by passing one.
    bool SetDacl(const CDacl& dacl);

    // GetSecurityInfo on the handle. The parts point into the descriptor,
    // which the caller owns (freed with LocalFree by the holder) and which
    // must outlive them; any part may be null. Access: READ_CONTROL
    // (ACCESS_SYSTEM_SECURITY for an audit SACL). Error: the function's
    // result.
    bool _GetSecurityInfo(SECURITY_INFORMATION flags, PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                          CqzScopedLocal<void>& descriptor);
    // Owner / group; an absent one leaves the SID unchanged (true).
    bool GetOwner(CSid& owner);
    bool GetGroup(CSid& group);
    // DACL / SACL (the SACL needs ACCESS_SYSTEM_SECURITY); an absent list
    // yields an empty object marked as null.
    bool GetDacl(CDacl& dacl);
    bool GetSacl(CDacl& sacl);

    // Writes the DACL back as protected: inherited entries stop flowing in.
    // Access: READ_CONTROL|WRITE_DAC.
    bool DisableInheritance();
    // Merges an allowed entry for the SID (the DACL class's MergeAce); the
    // DACL is written only when the merge changed it. Access:
    // READ_CONTROL|WRITE_DAC.
    bool MergeAllowedAce(const CSid& sid, ACCESS_MASK mask);
    // Merges one explicit-access entry for a SID trustee into the DACL
    // (SetEntriesInAclW) and writes it. Error: SetEntriesInAclW's result, or
    // the write's. Access: READ_CONTROL|WRITE_DAC.
    bool SetExplicitAccess(DWORD permissions, ACCESS_MODE mode, DWORD inheritance, const CSid& trustee,
                           TRUSTEE_TYPE trusteeType);
    // Removes every entry of the SID from the DACL and writes it. Access:
    // READ_CONTROL|WRITE_DAC.
    bool RemoveAces(const CSid& sid);

    // ---- Mandatory labels (qz_handle_label.cpp) ---------------------------
    // Before Vista (major version below 6) the readers answer false with 50
    // and the writers true without doing anything.

    // The SIDs of every label entry of the label ACL, in order (emptied
    // first). True with an empty list when the ACL holds no label entry;
    // false with 1168 (ERROR_NOT_FOUND) when there is no label ACL at all.
    // Access: READ_CONTROL.
    bool GetMandatoryLabels(std::vector<CSid>& labels);
    // The first label SID, with a WARNING naming the count when there is
    // not exactly one. No label entry at all answers false with 1168.
    bool GetMandatoryLabel(CSid& label);
    // The RID of the label SID; 1337 when it is no integrity label.
    bool GetIntegrityRid(DWORD& rid);
    // Writes a label ACL holding that SID with the policy
    // (SYSTEM_MANDATORY_LABEL_NO_WRITE_UP ...). Access: WRITE_OWNER.
    bool SetMandatoryLabel(const CSid& label, DWORD policy);
    bool SetSystemIntegrity(DWORD policy);
    bool SetHighIntegrity(DWORD policy);
    bool SetMediumIntegrity(DWORD policy);
    bool SetLowIntegrity(DWORD policy);

    // ---- Access, names and the handle table (qz_handle_query.cpp) ---------

    // The access granted to this handle. Error: the NTSTATUS of the query.
    bool GetGrantedAccess(ACCESS_MASK& access);
    // The access a token (TOKEN_QUERY; an impersonation token) would be
    // granted by the object's owner, group and DACL; 0 when the DACL grants
    // it nothing. Access: READ_CONTROL. Error: AccessCheck's last error.
    bool GetMaxAllowedAccess(HANDLE token, ACCESS_MASK& access);
    // The same for the calling thread's token: its impersonation token, or,
    // when the thread impersonates nobody, the process's own context (the
    // thread impersonates itself for the moment and reverts).
    bool GetMaxAllowedAccess(ACCESS_MASK& access);
    // The object's type name ("Mutant", "File" ...) and object name (empty
    // for an unnamed object). Error: the NTSTATUS of the query, 13 for a
    // type without a name length, 14 for an allocation.
    bool GetTypeName(std::wstring& name);
    bool GetName(std::wstring& name);
    bool _GetObjectBasicInformation(ObjectBasicInformation& information);
    // This handle's entry in the system handle table; false with 1168 when
    // no entry of this process has this handle value. Error otherwise: that
    // of QuerySystemHandleInformation.
    bool GetSystemHandleInformation(SystemHandleEntry& entry);
    // The same for any process id and handle value; the error is left as
    // the thread's last error.
    static bool GetSystemHandleInformation(DWORD processId, USHORT handleValue, SystemHandleEntry& entry);
    // The whole system handle table into a malloc'ed block (emptied first)
    // and its size in bytes. Entries past that size are never read; the
    // count is not trusted beyond it. False: the error is left as the
    // thread's last error (the NTSTATUS of the query, or 14).
    static bool QuerySystemHandleInformation(CqzScopedHeap<SystemHandleInformation>& table, ULONG& size);
    // The number of entries the table holds and fit its size.
    static ULONG HandleTableEntryCount(const SystemHandleInformation& table, ULONG size);

    // "Session\<session>\<name>": a named kernel object of one session.
    static std::wstring GetSessionObjectName(DWORD sessionId, const wchar_t* objectName);

protected:
    // The null-handle check: traces "ERROR: Handle is NULL" under className
    // (or the given text), sets 6 and answers false on an empty object.
    bool _RequireHandle(const char* className, const char* nullMessage = "ERROR: Handle is NULL");

    DWORD m_dwLastError;
};

// A kernel object (mutex, event, section, token, process ...).
class CqzKernelObjectHandle : public CqzHandle
{
public:
    CqzKernelObjectHandle() = default;
    explicit CqzKernelObjectHandle(HANDLE h) : CqzHandle(h) {}

    SE_OBJECT_TYPE GetObjectType() const override { return SE_KERNEL_OBJECT; }

    // ---- qz_handle_kernel.cpp ---------------------------------------------
    // GetKernelObjectSecurity into a zeroed LocalAlloc'ed block handed to the
    // caller (what the holder held is freed first). Access: READ_CONTROL
    // (ACCESS_SYSTEM_SECURITY for an audit SACL). Error: the last error.
    bool GetSecurity(SECURITY_INFORMATION flags, CqzScopedLocal<void>& descriptor);
    // SetKernelObjectSecurity. Access: WRITE_DAC / WRITE_OWNER.
    bool SetSecurity(SECURITY_INFORMATION flags, PSECURITY_DESCRIPTOR descriptor);
    // Owner, group, DACL and label of the source (READ_CONTROL) onto this
    // object; the source's error is kept here when the read fails.
    bool SetSecurity(CqzKernelObjectHandle& source);
};

// A file or directory. Close: CloseHandle unless null or
// INVALID_HANDLE_VALUE.
class CqzFileObjectHandle : public CqzHandle
{
public:
    CqzFileObjectHandle() = default;
    // Takes ownership of a handle from CreateFileW (INVALID_HANDLE_VALUE is
    // kept as an invalid object).
    explicit CqzFileObjectHandle(HANDLE h);
    ~CqzFileObjectHandle();

    SE_OBJECT_TYPE GetObjectType() const override { return SE_FILE_OBJECT; }
    // The base lines.
    void DumpInfo(CqzTextSink& sink) override;

    bool IsValid() const { return IsValidHandle(m_h); }
    static bool IsValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

    // ---- qz_handle_file.cpp -----------------------------------------------
    // Renames the file to a full path (never over an existing file: 183).
    // Access: DELETE. Error: the last error; 87 for a null, empty or
    // overlong name.
    bool Rename(const wchar_t* newName);
    // Marks the file for deletion when its last handle closes. Access:
    // DELETE.
    bool Delete();

    // ---- qz_handle_dump*.cpp ----------------------------------------------
    // Writes the dump of the file or directory at path into a new UTF-16
    // file at dumpPath; what cannot be read becomes an error line.
    static void Dump(const wchar_t* path, const wchar_t* dumpPath);
    // Whether the caller's effective token may read the file (0x20089 with
    // the file generic mapping). Answers a Win32 error (0 on success; then
    // readable tells).
    static DWORD FileAccessCheck(const wchar_t* path, bool& readable);
    // "READONLY|ARCHIVE" ..., "NULL" for 0, "INVALID" for
    // INVALID_FILE_ATTRIBUTES.
    static std::wstring GetFileAttributesString(DWORD attributes);
};

// A registry key, borrowed: never closed by this object.
class CqzRegistryKeyHandle : public CqzHandle
{
public:
    explicit CqzRegistryKeyHandle(HKEY key);
    // Forgets the key without closing it.
    ~CqzRegistryKeyHandle();

    SE_OBJECT_TYPE GetObjectType() const override { return SE_REGISTRY_KEY; }

    // ---- qz_handle_dump*.cpp ----------------------------------------------
    static void Dump(HKEY rootKey, const wchar_t* subKey, const wchar_t* dumpPath);
};

// A service handle, borrowed: never closed by this object.
class CqzServiceObjectHandle : public CqzHandle
{
public:
    explicit CqzServiceObjectHandle(SC_HANDLE service);
    // Forgets the handle without closing it.
    ~CqzServiceObjectHandle();

    SE_OBJECT_TYPE GetObjectType() const override { return SE_SERVICE; }

    // ---- qz_handle_dump*.cpp ----------------------------------------------
    static void Dump(const wchar_t* serviceName, const wchar_t* dumpPath);
    // The expanded "ServiceDll" value of the service's Parameters key.
    static bool _GetServiceDll(const wchar_t* serviceName, std::wstring& path);
    // Name tables of the service dump ("Unknown" outside them).
    static const wchar_t* GetServiceStateName(DWORD state);
    static const wchar_t* GetStartTypeName(DWORD startType);
    // "WIN32_OWN_PROCESS|INTERACTIVE_PROCESS" ..., "NULL" for 0.
    static std::wstring GetServiceTypeString(DWORD serviceType);
};

// A window station or desktop (user objects).
class CqzWindowObjectHandle : public CqzHandle
{
public:
    SE_OBJECT_TYPE GetObjectType() const override { return SE_WINDOW_OBJECT; }
    void DumpInfo(CqzTextSink& sink) override;

    // ---- qz_handle_window.cpp ---------------------------------------------
    // GetUserObjectInformationW of one index into a zeroed malloc'ed block
    // (emptied first) and its size in bytes. Error: the last error.
    bool _GetInformation(int index, CqzScopedHeap<BYTE>& buffer, DWORD& size);
    // UOI_NAME / UOI_TYPE ("WinSta0", "Default"; "WindowStation", "Desktop").
    bool GetUserObjectName(std::wstring& name);
    bool GetUserObjectType(std::wstring& type);

    // ---- qz_handle_dump*.cpp ----------------------------------------------
    // Writes DumpInfo into a new UTF-16 file at dumpPath.
    void Dump(const wchar_t* dumpPath);

protected:
    CqzWindowObjectHandle() = default;
    // The text of a name or type index.
    bool _GetText(int index, std::wstring& text);
    explicit CqzWindowObjectHandle(HANDLE h) : CqzHandle(h) {}
};

class CqzDesktopHandle : public CqzWindowObjectHandle
{
public:
    // Takes ownership of the desktop handle.
    explicit CqzDesktopHandle(HDESK desktop);
    // Closes it with CloseDesktop when not null.
    ~CqzDesktopHandle();
};

class CqzWindowStationHandle : public CqzWindowObjectHandle
{
public:
    // Takes ownership of the window-station handle.
    explicit CqzWindowStationHandle(HWINSTA windowStation);
    // Closes it with CloseWindowStation when not null.
    ~CqzWindowStationHandle();
};
