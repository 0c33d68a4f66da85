// Native functions of ntdll.dll that are not linked at build time.
//
// Each wrapper takes the native function's own parameters and returns its
// status. The function is resolved by name on first use and the address kept
// for the rest of the process; while it cannot be resolved the wrapper calls
// nothing and returns STATUS_UNSUCCESSFUL (0xC0000001), and the next call
// tries again (the resolver traces each failed attempt). The wrappers of the
// second group below trace failing (negative) statuses as signed decimal
// numbers, except the statuses named at each. No wrapper converts a status to
// a Win32 error or changes the thread's last-error value. Pointers are handed
// to ntdll unchecked, as a direct call would. Safe to call from any thread.
#pragma once

#include <windows.h>

#include <winternl.h>

class CqzNTAPI
{
public:
    // Native types the SDK headers do not all declare.
    enum KEY_INFORMATION_CLASS
    {
        KeyBasicInformation = 0,
        KeyNodeInformation = 1,
        KeyFullInformation = 2,
        KeyNameInformation = 3,
    };
    enum SECTION_INHERIT
    {
        ViewShare = 1,
        ViewUnmap = 2,
    };
    enum SECTION_INFORMATION_CLASS
    {
        SectionBasicInformation = 0,
        SectionImageInformation = 1,
    };
    enum MUTANT_INFORMATION_CLASS
    {
        MutantBasicInformation = 0,
    };
    struct SECTION_BASIC_INFORMATION
    {
        PVOID BaseAddress;
        ULONG AllocationAttributes;
        LARGE_INTEGER MaximumSize;
    };
    struct MUTANT_BASIC_INFORMATION
    {
        LONG CurrentCount;
        BOOLEAN OwnedByCaller;
        BOOLEAN AbandonedState;
    };
    typedef NTSTATUS(NTAPI* PUSER_THREAD_START_ROUTINE)(PVOID parameter);

    // Signatures of the native functions.
    typedef NTSTATUS(NTAPI* RtlGetLastNtStatusFn)();
    typedef ULONG(NTAPI* RtlNtStatusToDosErrorFn)(NTSTATUS);
    typedef VOID(NTAPI* RtlInitStringFn)(PSTRING, PCSZ);
    typedef VOID(NTAPI* RtlInitUnicodeStringFn)(PUNICODE_STRING, PCWSTR);
    typedef NTSTATUS(NTAPI* RtlCreateUserThreadFn)(HANDLE, PSECURITY_DESCRIPTOR, BOOLEAN, ULONG, SIZE_T, SIZE_T,
                                                   PUSER_THREAD_START_ROUTINE, PVOID, PHANDLE, PCLIENT_ID);
    typedef NTSTATUS(NTAPI* RtlImageNtHeaderExFn)(ULONG, PVOID, ULONG64, PIMAGE_NT_HEADERS*);
    typedef NTSTATUS(NTAPI* NtOpenDirectoryObjectFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
    typedef NTSTATUS(NTAPI* ZwQueryKeyFn)(HANDLE, KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    typedef NTSTATUS(NTAPI* NtDeleteKeyFn)(HANDLE);
    typedef NTSTATUS(NTAPI* RtlSetEnvironmentVariableFn)(PVOID*, PUNICODE_STRING, PUNICODE_STRING);
    typedef NTSTATUS(NTAPI* RtlExpandEnvironmentStrings_UFn)(PVOID, PUNICODE_STRING, PUNICODE_STRING, PULONG);
    typedef NTSTATUS(NTAPI* RtlQueryEnvironmentVariable_UFn)(PVOID, PUNICODE_STRING, PUNICODE_STRING);
    typedef NTSTATUS(NTAPI* NtQuerySystemInformationFn)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    typedef NTSTATUS(NTAPI* NtSetInformationProcessFn)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG);
    typedef NTSTATUS(NTAPI* NtQueryInformationProcessFn)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    typedef NTSTATUS(NTAPI* NtQueryInformationThreadFn)(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG);
    typedef NTSTATUS(NTAPI* NtCreateTokenFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, TOKEN_TYPE, PLUID,
                                             PLARGE_INTEGER, PTOKEN_USER, PTOKEN_GROUPS, PTOKEN_PRIVILEGES,
                                             PTOKEN_OWNER, PTOKEN_PRIMARY_GROUP, PTOKEN_DEFAULT_DACL, PTOKEN_SOURCE);
    // The two attribute arguments are TOKEN_SECURITY_ATTRIBUTES_INFORMATION*.
    typedef NTSTATUS(NTAPI* NtCreateTokenExFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, TOKEN_TYPE, PLUID,
                                               PLARGE_INTEGER, PTOKEN_USER, PTOKEN_GROUPS, PTOKEN_PRIVILEGES, PVOID,
                                               PVOID, PTOKEN_GROUPS, PTOKEN_MANDATORY_POLICY, PTOKEN_OWNER,
                                               PTOKEN_PRIMARY_GROUP, PTOKEN_DEFAULT_DACL, PTOKEN_SOURCE);
    typedef NTSTATUS(NTAPI* NtQueryEaFileFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, BOOLEAN, PVOID, ULONG, PULONG,
                                             BOOLEAN);
    typedef NTSTATUS(NTAPI* NtSetEaFileFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG);
    typedef NTSTATUS(NTAPI* NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                            ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    typedef NTSTATUS(NTAPI* NtQueryInformationFileFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
    typedef NTSTATUS(NTAPI* NtOpenThreadFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PCLIENT_ID);
    typedef NTSTATUS(NTAPI* NtQueryObjectFn)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    // The signing level (third argument) is one byte.
    typedef NTSTATUS(NTAPI* NtGetCachedSigningLevelFn)(HANDLE, PULONG, PUCHAR, PUCHAR, PULONG, PULONG);
    typedef NTSTATUS(NTAPI* NtQueryMutantFn)(HANDLE, MUTANT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    typedef NTSTATUS(NTAPI* NtCreateSectionFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PLARGE_INTEGER, ULONG, ULONG,
                                               HANDLE);
    typedef NTSTATUS(NTAPI* NtQuerySectionFn)(HANDLE, SECTION_INFORMATION_CLASS, PVOID, SIZE_T, PSIZE_T);
    typedef NTSTATUS(NTAPI* NtMapViewOfSectionFn)(HANDLE, HANDLE, PVOID*, ULONG_PTR, SIZE_T, PLARGE_INTEGER, PSIZE_T,
                                                  SECTION_INHERIT, ULONG, ULONG);
    typedef NTSTATUS(NTAPI* NtUnmapViewOfSectionFn)(HANDLE, PVOID);

    // First group: nothing traced.
    static NTSTATUS RtlGetLastNtStatus();
    // 317 (ERROR_MR_MID_NOT_FOUND) while unresolved.
    static ULONG RtlNtStatusToDosError(NTSTATUS status);
    // The out string is zeroed first in every case; STATUS_SUCCESS after the
    // call. A null out string is refused (and traced) with STATUS_INVALID_PARAMETER.
    static NTSTATUS RtlInitString(PSTRING destination, PCSZ source);
    static NTSTATUS RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
    static NTSTATUS RtlCreateUserThread(HANDLE process, PSECURITY_DESCRIPTOR securityDescriptor,
                                        BOOLEAN createSuspended, ULONG zeroBits, SIZE_T maximumStackSize,
                                        SIZE_T committedStackSize, PUSER_THREAD_START_ROUTINE startAddress,
                                        PVOID parameter, PHANDLE thread, PCLIENT_ID clientId);
    static NTSTATUS RtlImageNtHeaderEx(ULONG flags, PVOID base, ULONG64 size, PIMAGE_NT_HEADERS* outHeaders);
    static NTSTATUS NtOpenDirectoryObject(PHANDLE directoryHandle, ACCESS_MASK desiredAccess,
                                          POBJECT_ATTRIBUTES objectAttributes);
    static NTSTATUS ZwQueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation,
                               ULONG length, PULONG resultLength);
    static NTSTATUS NtDeleteKey(HANDLE keyHandle);

    // Second group: failing statuses traced.
    static NTSTATUS RtlSetEnvironmentVariable(PVOID* environment, PUNICODE_STRING name, PUNICODE_STRING value);
    static NTSTATUS RtlExpandEnvironmentStrings_U(PVOID environment, PUNICODE_STRING source,
                                                  PUNICODE_STRING destination, PULONG returnedLength);
    // STATUS_VARIABLE_NOT_FOUND and STATUS_BUFFER_TOO_SMALL are not traced.
    static NTSTATUS RtlQueryEnvironmentVariable_U(PVOID environment, PUNICODE_STRING name, PUNICODE_STRING value);
    // STATUS_INFO_LENGTH_MISMATCH is not traced.
    static NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS systemInformationClass, PVOID systemInformation,
                                             ULONG systemInformationLength, PULONG returnLength);
    static NTSTATUS NtSetInformationProcess(HANDLE processHandle, PROCESSINFOCLASS processInformationClass,
                                            PVOID processInformation, ULONG processInformationLength);
    static NTSTATUS NtQueryInformationProcess(HANDLE processHandle, PROCESSINFOCLASS processInformationClass,
                                              PVOID processInformation, ULONG processInformationLength,
                                              PULONG returnLength);
    static NTSTATUS NtQueryInformationThread(HANDLE threadHandle, THREADINFOCLASS threadInformationClass,
                                             PVOID threadInformation, ULONG threadInformationLength,
                                             PULONG returnLength);
    // A success that leaves no token handle is traced as well.
    static NTSTATUS NtCreateToken(PHANDLE tokenHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                  TOKEN_TYPE type, PLUID authenticationId, PLARGE_INTEGER expirationTime,
                                  PTOKEN_USER user, PTOKEN_GROUPS groups, PTOKEN_PRIVILEGES privileges,
                                  PTOKEN_OWNER owner, PTOKEN_PRIMARY_GROUP primaryGroup,
                                  PTOKEN_DEFAULT_DACL defaultDacl, PTOKEN_SOURCE source);
    static NTSTATUS NtCreateTokenEx(PHANDLE tokenHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                    TOKEN_TYPE type, PLUID authenticationId, PLARGE_INTEGER expirationTime,
                                    PTOKEN_USER user, PTOKEN_GROUPS groups, PTOKEN_PRIVILEGES privileges,
                                    PVOID userAttributes, PVOID deviceAttributes, PTOKEN_GROUPS deviceGroups,
                                    PTOKEN_MANDATORY_POLICY mandatoryPolicy, PTOKEN_OWNER owner,
                                    PTOKEN_PRIMARY_GROUP primaryGroup, PTOKEN_DEFAULT_DACL defaultDacl,
                                    PTOKEN_SOURCE source);
    static NTSTATUS NtQueryEaFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                                  BOOLEAN returnSingleEntry, PVOID eaList, ULONG eaListLength, PULONG eaIndex,
                                  BOOLEAN restartScan);
    // STATUS_ACCESS_DENIED is traced by name instead of by number.
    static NTSTATUS NtSetEaFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length);
    // STATUS_INVALID_PARAMETER is not traced.
    static NTSTATUS NtCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                 PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                 ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                                 ULONG eaLength);
    static NTSTATUS NtQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID fileInformation,
                                           ULONG length, FILE_INFORMATION_CLASS fileInformationClass);
    static NTSTATUS NtOpenThread(PHANDLE threadHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                 PCLIENT_ID clientId);
    static NTSTATUS NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS objectInformationClass,
                                  PVOID objectInformation, ULONG objectInformationLength, PULONG returnLength);
    // STATUS_NOT_FOUND (no cached level) is not traced.
    static NTSTATUS NtGetCachedSigningLevel(HANDLE file, PULONG flags, PUCHAR signingLevel, PUCHAR thumbprint,
                                            PULONG thumbprintSize, PULONG thumbprintAlgorithm);
    static NTSTATUS NtQueryMutant(HANDLE mutantHandle, MUTANT_INFORMATION_CLASS mutantInformationClass,
                                  PVOID mutantInformation, ULONG mutantInformationLength, PULONG resultLength);
    static NTSTATUS NtCreateSection(PHANDLE sectionHandle, ACCESS_MASK desiredAccess,
                                    POBJECT_ATTRIBUTES objectAttributes, PLARGE_INTEGER maximumSize,
                                    ULONG sectionPageProtection, ULONG allocationAttributes, HANDLE fileHandle);
    static NTSTATUS NtQuerySection(HANDLE sectionHandle, SECTION_INFORMATION_CLASS sectionInformationClass,
                                   PVOID sectionInformation, SIZE_T sectionInformationLength, PSIZE_T resultLength);
    static NTSTATUS NtMapViewOfSection(HANDLE sectionHandle, HANDLE processHandle, PVOID* baseAddress,
                                       ULONG_PTR zeroBits, SIZE_T commitSize, PLARGE_INTEGER sectionOffset,
                                       PSIZE_T viewSize, SECTION_INHERIT inheritDisposition, ULONG allocationType,
                                       ULONG win32Protect);
    static NTSTATUS NtUnmapViewOfSection(HANDLE processHandle, PVOID baseAddress);

    // Fills an OBJECT_ATTRIBUTES for the calls above: case-insensitive name
    // lookup (OBJ_CASE_INSENSITIVE), no security descriptor, no quality of
    // service. The name and the root handle stay the caller's.
    static void InitObjectAttributes(OBJECT_ATTRIBUTES& attributes, PUNICODE_STRING objectName, HANDLE rootDirectory);

private:
    // Address of an export of ntdll.dll, or null (traced). Not cached here.
    static FARPROC _GetNtdllProcAddress(const char* name);
    // The wrapper's cached address; resolved when still null.
    static FARPROC _ResolveSlot(int slot);

    // The one hook for tests left in the product. Every resolved address is
    // kept for the life of the process, so a suite that replaces its own
    // import of GetProcAddress (to make a name unresolvable, or to hand a
    // wrapper a stand-in for a status ntdll does not give) could not reach a
    // wrapper that has resolved already. _ForgetResolvedAddresses empties
    // every slot: each wrapper resolves again on its next call. Nothing else
    // changes, and the agent's programs never call it. The suite's access
    // class also reaches the resolver itself.
    friend class CqzNTAPITestAccess;
    static void _ForgetResolvedAddresses();
};
