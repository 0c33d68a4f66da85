#include "common/ntapi/ntapi.h"

#include "common/util/exports.h"
#include "trace/trace.h"

#include <atomic>
#include <cstring>

namespace
{

const char* const kClassName = "CqzNTAPI";

// Status values by number: ntstatus.h and winnt.h disagree on which of them
// they define.
const NTSTATUS kStatusSuccess = 0;
const NTSTATUS kStatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001);
const NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
const NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
const NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
const NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
const NTSTATUS kStatusVariableNotFound = static_cast<NTSTATUS>(0xC0000100);
const NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);
const ULONG kErrorMrMidNotFound = 317;

// One slot per wrapper, in the order of kSlotNames.
enum Slot
{
    kRtlGetLastNtStatus,
    kRtlNtStatusToDosError,
    kRtlInitString,
    kRtlInitUnicodeString,
    kRtlCreateUserThread,
    kRtlImageNtHeaderEx,
    kNtOpenDirectoryObject,
    kZwQueryKey,
    kNtDeleteKey,
    kRtlSetEnvironmentVariable,
    kRtlExpandEnvironmentStrings_U,
    kRtlQueryEnvironmentVariable_U,
    kNtQuerySystemInformation,
    kNtSetInformationProcess,
    kNtQueryInformationProcess,
    kNtQueryInformationThread,
    kNtCreateToken,
    kNtCreateTokenEx,
    kNtQueryEaFile,
    kNtSetEaFile,
    kNtCreateFile,
    kNtQueryInformationFile,
    kNtOpenThread,
    kNtQueryObject,
    kNtGetCachedSigningLevel,
    kNtQueryMutant,
    kNtCreateSection,
    kNtQuerySection,
    kNtMapViewOfSection,
    kNtUnmapViewOfSection,
    kSlotCount
};

const char* const kSlotNames[kSlotCount] = {
    "RtlGetLastNtStatus",
    "RtlNtStatusToDosError",
    "RtlInitString",
    "RtlInitUnicodeString",
    "RtlCreateUserThread",
    "RtlImageNtHeaderEx",
    "NtOpenDirectoryObject",
    "ZwQueryKey",
    "NtDeleteKey",
    "RtlSetEnvironmentVariable",
    "RtlExpandEnvironmentStrings_U",
    "RtlQueryEnvironmentVariable_U",
    "NtQuerySystemInformation",
    "NtSetInformationProcess",
    "NtQueryInformationProcess",
    "NtQueryInformationThread",
    "NtCreateToken",
    "NtCreateTokenEx",
    "NtQueryEaFile",
    "NtSetEaFile",
    "NtCreateFile",
    "NtQueryInformationFile",
    "NtOpenThread",
    "NtQueryObject",
    "NtGetCachedSigningLevel",
    "NtQueryMutant",
    "NtCreateSection",
    "NtQuerySection",
    "NtMapViewOfSection",
    "NtUnmapViewOfSection",
};

// Two threads resolving one slot at once both store the same address.
std::atomic<FARPROC> g_slots[kSlotCount];
std::atomic<HMODULE> g_ntdll{nullptr};

bool IsFailure(NTSTATUS status)
{
    return status < 0;
}

} // namespace

FARPROC CqzNTAPI::_GetNtdllProcAddress(const char* name)
{
    HMODULE ntdll = g_ntdll.load(std::memory_order_acquire);
    if (!ntdll)
    {
        // No reference is taken: ntdll stays loaded for the life of the process.
        ntdll = ::GetModuleHandleW(L"ntdll.dll");
        if (!ntdll)
        {
            const DWORD error = ::GetLastError();
            QZ_STACK_NAME("_GetNtdllProcAddress", kClassName);
            QZTRACE(QZT_ERROR, kClassName, "ERROR: GetModuleHandle(ntdll.dll) failed. LastError=" << error);
            return nullptr;
        }
        g_ntdll.store(ntdll, std::memory_order_release);
    }
    if (!name)
    {
        // GetProcAddress would read a null name as ordinal 0.
        QZ_STACK_NAME("_GetNtdllProcAddress", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: GetProcAddress() failed. LastError=" << ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    FARPROC address = ::GetProcAddress(ntdll, name);
    if (!address)
    {
        const DWORD error = ::GetLastError();
        QZ_STACK_NAME("_GetNtdllProcAddress", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: GetProcAddress(" << name << ") failed. LastError=" << error);
        return nullptr;
    }
    return address;
}

FARPROC CqzNTAPI::_ResolveSlot(int slot)
{
    FARPROC address = g_slots[slot].load(std::memory_order_acquire);
    if (address)
        return address;
    address = _GetNtdllProcAddress(kSlotNames[slot]);
    if (address)
        g_slots[slot].store(address, std::memory_order_release);
    return address;
}

void CqzNTAPI::_ForgetResolvedAddresses()
{
    for (std::atomic<FARPROC>& slot : g_slots)
        slot.store(nullptr, std::memory_order_release);
}

NTSTATUS CqzNTAPI::RtlGetLastNtStatus()
{
    const auto function = CqzExportAs<RtlGetLastNtStatusFn>(_ResolveSlot(kRtlGetLastNtStatus));
    if (!function)
        return kStatusUnsuccessful;
    return function();
}

ULONG CqzNTAPI::RtlNtStatusToDosError(NTSTATUS status)
{
    const auto function = CqzExportAs<RtlNtStatusToDosErrorFn>(_ResolveSlot(kRtlNtStatusToDosError));
    if (!function)
        return kErrorMrMidNotFound;
    return function(status);
}

NTSTATUS CqzNTAPI::RtlInitString(PSTRING destination, PCSZ source)
{
    if (!destination)
    {
        QZ_STACK_NAME("RtlInitString", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: RtlInitString() failed. status=" << kStatusInvalidParameter);
        return kStatusInvalidParameter;
    }
    std::memset(destination, 0, sizeof(*destination));
    const auto function = CqzExportAs<RtlInitStringFn>(_ResolveSlot(kRtlInitString));
    if (!function)
        return kStatusUnsuccessful;
    function(destination, source);
    return kStatusSuccess;
}

NTSTATUS CqzNTAPI::RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    if (!destination)
    {
        QZ_STACK_NAME("RtlInitUnicodeString", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: RtlInitUnicodeString() failed. status=" << kStatusInvalidParameter);
        return kStatusInvalidParameter;
    }
    std::memset(destination, 0, sizeof(*destination));
    const auto function = CqzExportAs<RtlInitUnicodeStringFn>(_ResolveSlot(kRtlInitUnicodeString));
    if (!function)
        return kStatusUnsuccessful;
    function(destination, source);
    return kStatusSuccess;
}

NTSTATUS CqzNTAPI::RtlCreateUserThread(HANDLE process, PSECURITY_DESCRIPTOR securityDescriptor, BOOLEAN createSuspended,
                                       ULONG zeroBits, SIZE_T maximumStackSize, SIZE_T committedStackSize,
                                       PUSER_THREAD_START_ROUTINE startAddress, PVOID parameter, PHANDLE thread,
                                       PCLIENT_ID clientId)
{
    const auto function = CqzExportAs<RtlCreateUserThreadFn>(_ResolveSlot(kRtlCreateUserThread));
    if (!function)
        return kStatusUnsuccessful;
    return function(process, securityDescriptor, createSuspended, zeroBits, maximumStackSize, committedStackSize,
                    startAddress, parameter, thread, clientId);
}

NTSTATUS CqzNTAPI::RtlImageNtHeaderEx(ULONG flags, PVOID base, ULONG64 size, PIMAGE_NT_HEADERS* outHeaders)
{
    const auto function = CqzExportAs<RtlImageNtHeaderExFn>(_ResolveSlot(kRtlImageNtHeaderEx));
    if (!function)
        return kStatusUnsuccessful;
    return function(flags, base, size, outHeaders);
}

NTSTATUS CqzNTAPI::NtOpenDirectoryObject(PHANDLE directoryHandle, ACCESS_MASK desiredAccess,
                                         POBJECT_ATTRIBUTES objectAttributes)
{
    const auto function = CqzExportAs<NtOpenDirectoryObjectFn>(_ResolveSlot(kNtOpenDirectoryObject));
    if (!function)
        return kStatusUnsuccessful;
    return function(directoryHandle, desiredAccess, objectAttributes);
}

NTSTATUS CqzNTAPI::ZwQueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation,
                              ULONG length, PULONG resultLength)
{
    const auto function = CqzExportAs<ZwQueryKeyFn>(_ResolveSlot(kZwQueryKey));
    if (!function)
        return kStatusUnsuccessful;
    return function(keyHandle, keyInformationClass, keyInformation, length, resultLength);
}

NTSTATUS CqzNTAPI::NtDeleteKey(HANDLE keyHandle)
{
    const auto function = CqzExportAs<NtDeleteKeyFn>(_ResolveSlot(kNtDeleteKey));
    if (!function)
        return kStatusUnsuccessful;
    return function(keyHandle);
}

NTSTATUS CqzNTAPI::RtlSetEnvironmentVariable(PVOID* environment, PUNICODE_STRING name, PUNICODE_STRING value)
{
    const auto function = CqzExportAs<RtlSetEnvironmentVariableFn>(_ResolveSlot(kRtlSetEnvironmentVariable));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(environment, name, value);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("RtlSetEnvironmentVariable", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: RtlSetEnvironmentVariable() failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::RtlExpandEnvironmentStrings_U(PVOID environment, PUNICODE_STRING source, PUNICODE_STRING destination,
                                                 PULONG returnedLength)
{
    const auto function = CqzExportAs<RtlExpandEnvironmentStrings_UFn>(_ResolveSlot(kRtlExpandEnvironmentStrings_U));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(environment, source, destination, returnedLength);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("RtlExpandEnvironmentStrings_U", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: RtlExpandEnvironmentStrings_U() failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::RtlQueryEnvironmentVariable_U(PVOID environment, PUNICODE_STRING name, PUNICODE_STRING value)
{
    const auto function = CqzExportAs<RtlQueryEnvironmentVariable_UFn>(_ResolveSlot(kRtlQueryEnvironmentVariable_U));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(environment, name, value);
    // A missing variable and a short buffer are ordinary answers.
    if (IsFailure(status) && status != kStatusVariableNotFound && status != kStatusBufferTooSmall)
    {
        QZ_STACK_NAME("RtlQueryEnvironmentVariable_U", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: RtlQueryEnvironmentVariable_U() failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS systemInformationClass, PVOID systemInformation,
                                            ULONG systemInformationLength, PULONG returnLength)
{
    const auto function = CqzExportAs<NtQuerySystemInformationFn>(_ResolveSlot(kNtQuerySystemInformation));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(systemInformationClass, systemInformation, systemInformationLength, returnLength);
    // Callers size their buffer by asking with a short one first.
    if (IsFailure(status) && status != kStatusInfoLengthMismatch)
    {
        QZ_STACK_NAME("NtQuerySystemInformation", kClassName);
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: NtQuerySystemInformation(" << static_cast<long>(systemInformationClass)
                                                   << ") failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtSetInformationProcess(HANDLE processHandle, PROCESSINFOCLASS processInformationClass,
                                           PVOID processInformation, ULONG processInformationLength)
{
    const auto function = CqzExportAs<NtSetInformationProcessFn>(_ResolveSlot(kNtSetInformationProcess));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status =
        function(processHandle, processInformationClass, processInformation, processInformationLength);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtSetInformationProcess", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtSetInformationProcess() failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQueryInformationProcess(HANDLE processHandle, PROCESSINFOCLASS processInformationClass,
                                             PVOID processInformation, ULONG processInformationLength,
                                             PULONG returnLength)
{
    const auto function = CqzExportAs<NtQueryInformationProcessFn>(_ResolveSlot(kNtQueryInformationProcess));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status =
        function(processHandle, processInformationClass, processInformation, processInformationLength, returnLength);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtQueryInformationProcess", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtQueryInformationProcess() failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQueryInformationThread(HANDLE threadHandle, THREADINFOCLASS threadInformationClass,
                                            PVOID threadInformation, ULONG threadInformationLength, PULONG returnLength)
{
    const auto function = CqzExportAs<NtQueryInformationThreadFn>(_ResolveSlot(kNtQueryInformationThread));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status =
        function(threadHandle, threadInformationClass, threadInformation, threadInformationLength, returnLength);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtQueryInformationThread", kClassName);
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: NtQueryInformationThread(" << static_cast<long>(threadInformationClass)
                                                   << ") failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtCreateToken(PHANDLE tokenHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                 TOKEN_TYPE type, PLUID authenticationId, PLARGE_INTEGER expirationTime,
                                 PTOKEN_USER user, PTOKEN_GROUPS groups, PTOKEN_PRIVILEGES privileges,
                                 PTOKEN_OWNER owner, PTOKEN_PRIMARY_GROUP primaryGroup, PTOKEN_DEFAULT_DACL defaultDacl,
                                 PTOKEN_SOURCE source)
{
    const auto function = CqzExportAs<NtCreateTokenFn>(_ResolveSlot(kNtCreateToken));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status =
        function(tokenHandle, desiredAccess, objectAttributes, type, authenticationId, expirationTime, user, groups,
                 privileges, owner, primaryGroup, defaultDacl, source);
    if (IsFailure(status) || !tokenHandle || !*tokenHandle)
    {
        QZ_STACK_NAME("NtCreateToken", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtCreateToken failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtCreateTokenEx(PHANDLE tokenHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                   TOKEN_TYPE type, PLUID authenticationId, PLARGE_INTEGER expirationTime,
                                   PTOKEN_USER user, PTOKEN_GROUPS groups, PTOKEN_PRIVILEGES privileges,
                                   PVOID userAttributes, PVOID deviceAttributes, PTOKEN_GROUPS deviceGroups,
                                   PTOKEN_MANDATORY_POLICY mandatoryPolicy, PTOKEN_OWNER owner,
                                   PTOKEN_PRIMARY_GROUP primaryGroup, PTOKEN_DEFAULT_DACL defaultDacl,
                                   PTOKEN_SOURCE source)
{
    const auto function = CqzExportAs<NtCreateTokenExFn>(_ResolveSlot(kNtCreateTokenEx));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(tokenHandle, desiredAccess, objectAttributes, type, authenticationId,
                                     expirationTime, user, groups, privileges, userAttributes, deviceAttributes,
                                     deviceGroups, mandatoryPolicy, owner, primaryGroup, defaultDacl, source);
    if (IsFailure(status) || !tokenHandle || !*tokenHandle)
    {
        QZ_STACK_NAME("NtCreateTokenEx", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtCreateTokenEx failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQueryEaFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                                 BOOLEAN returnSingleEntry, PVOID eaList, ULONG eaListLength, PULONG eaIndex,
                                 BOOLEAN restartScan)
{
    const auto function = CqzExportAs<NtQueryEaFileFn>(_ResolveSlot(kNtQueryEaFile));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(fileHandle, ioStatusBlock, buffer, length, returnSingleEntry, eaList, eaListLength,
                                     eaIndex, restartScan);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtQueryEaFile", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtQueryEaFile failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtSetEaFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length)
{
    const auto function = CqzExportAs<NtSetEaFileFn>(_ResolveSlot(kNtSetEaFile));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(fileHandle, ioStatusBlock, buffer, length);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtSetEaFile", kClassName);
        if (status == kStatusAccessDenied)
            QZTRACE(QZT_ERROR, kClassName, "ERROR: NtSetEaFile failed. status=STATUS_ACCESS_DENIED");
        else
            QZTRACE(QZT_ERROR, kClassName, "ERROR: NtSetEaFile failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                                ULONG eaLength)
{
    const auto function = CqzExportAs<NtCreateFileFn>(_ResolveSlot(kNtCreateFile));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(fileHandle, desiredAccess, objectAttributes, ioStatusBlock, allocationSize,
                                     fileAttributes, shareAccess, createDisposition, createOptions, eaBuffer, eaLength);
    if (IsFailure(status) && status != kStatusInvalidParameter)
    {
        QZ_STACK_NAME("NtCreateFile", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtCreateFile failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID fileInformation,
                                          ULONG length, FILE_INFORMATION_CLASS fileInformationClass)
{
    const auto function = CqzExportAs<NtQueryInformationFileFn>(_ResolveSlot(kNtQueryInformationFile));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(fileHandle, ioStatusBlock, fileInformation, length, fileInformationClass);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtQueryInformationFile", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtQueryInformationFile failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtOpenThread(PHANDLE threadHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                PCLIENT_ID clientId)
{
    const auto function = CqzExportAs<NtOpenThreadFn>(_ResolveSlot(kNtOpenThread));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(threadHandle, desiredAccess, objectAttributes, clientId);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtOpenThread", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtOpenThread failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS objectInformationClass,
                                 PVOID objectInformation, ULONG objectInformationLength, PULONG returnLength)
{
    const auto function = CqzExportAs<NtQueryObjectFn>(_ResolveSlot(kNtQueryObject));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status =
        function(handle, objectInformationClass, objectInformation, objectInformationLength, returnLength);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtQueryObject", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtQueryObject failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtGetCachedSigningLevel(HANDLE file, PULONG flags, PUCHAR signingLevel, PUCHAR thumbprint,
                                           PULONG thumbprintSize, PULONG thumbprintAlgorithm)
{
    const auto function = CqzExportAs<NtGetCachedSigningLevelFn>(_ResolveSlot(kNtGetCachedSigningLevel));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(file, flags, signingLevel, thumbprint, thumbprintSize, thumbprintAlgorithm);
    // Most files carry no cached signing level.
    if (IsFailure(status) && status != kStatusNotFound)
    {
        QZ_STACK_NAME("NtGetCachedSigningLevel", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtGetCachedSigningLevel failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQueryMutant(HANDLE mutantHandle, MUTANT_INFORMATION_CLASS mutantInformationClass,
                                 PVOID mutantInformation, ULONG mutantInformationLength, PULONG resultLength)
{
    const auto function = CqzExportAs<NtQueryMutantFn>(_ResolveSlot(kNtQueryMutant));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status =
        function(mutantHandle, mutantInformationClass, mutantInformation, mutantInformationLength, resultLength);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtQueryMutant", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtQueryMutant failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtCreateSection(PHANDLE sectionHandle, ACCESS_MASK desiredAccess,
                                   POBJECT_ATTRIBUTES objectAttributes, PLARGE_INTEGER maximumSize,
                                   ULONG sectionPageProtection, ULONG allocationAttributes, HANDLE fileHandle)
{
    const auto function = CqzExportAs<NtCreateSectionFn>(_ResolveSlot(kNtCreateSection));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(sectionHandle, desiredAccess, objectAttributes, maximumSize, sectionPageProtection,
                                     allocationAttributes, fileHandle);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtCreateSection", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtCreateSection failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtQuerySection(HANDLE sectionHandle, SECTION_INFORMATION_CLASS sectionInformationClass,
                                  PVOID sectionInformation, SIZE_T sectionInformationLength, PSIZE_T resultLength)
{
    const auto function = CqzExportAs<NtQuerySectionFn>(_ResolveSlot(kNtQuerySection));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status =
        function(sectionHandle, sectionInformationClass, sectionInformation, sectionInformationLength, resultLength);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtQuerySection", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtQuerySection failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtMapViewOfSection(HANDLE sectionHandle, HANDLE processHandle, PVOID* baseAddress,
                                      ULONG_PTR zeroBits, SIZE_T commitSize, PLARGE_INTEGER sectionOffset,
                                      PSIZE_T viewSize, SECTION_INHERIT inheritDisposition, ULONG allocationType,
                                      ULONG win32Protect)
{
    const auto function = CqzExportAs<NtMapViewOfSectionFn>(_ResolveSlot(kNtMapViewOfSection));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(sectionHandle, processHandle, baseAddress, zeroBits, commitSize, sectionOffset,
                                     viewSize, inheritDisposition, allocationType, win32Protect);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtMapViewOfSection", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtMapViewOfSection failed. status=" << status);
    }
    return status;
}

NTSTATUS CqzNTAPI::NtUnmapViewOfSection(HANDLE processHandle, PVOID baseAddress)
{
    const auto function = CqzExportAs<NtUnmapViewOfSectionFn>(_ResolveSlot(kNtUnmapViewOfSection));
    if (!function)
        return kStatusUnsuccessful;
    const NTSTATUS status = function(processHandle, baseAddress);
    if (IsFailure(status))
    {
        QZ_STACK_NAME("NtUnmapViewOfSection", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: NtUnmapViewOfSection failed. status=" << status);
    }
    return status;
}

void CqzNTAPI::InitObjectAttributes(OBJECT_ATTRIBUTES& attributes, PUNICODE_STRING objectName, HANDLE rootDirectory)
{
    attributes.Length = sizeof(OBJECT_ATTRIBUTES);
    attributes.RootDirectory = rootDirectory;
    attributes.ObjectName = objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = nullptr;
    attributes.SecurityQualityOfService = nullptr;
}
