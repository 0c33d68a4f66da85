// CqzProcessHandle: threads and the main thread, process and module
// enumeration, bitness and package identity.
#include "common/security/security.h"

#include <cstdlib>

#include "common/security/access_token.h"
#include "common/security/security_process_internal.h"
#include "common/util/exports.h"
#include "common/util/os.h"
#include "trace/trace.h"

using qzprocess::kClass;
using qzprocess::kNullHandle;

namespace
{

// What _FindMainThreadEnumProc keeps: the earliest thread so far.
struct MainThreadSearch
{
    DWORD threadId = 0;
    ULONGLONG creationTime = 0;
};

// Whether a Toolhelp entry is long enough to hold the field ending at `end`.
bool EntryHolds(DWORD entrySize, size_t end)
{
    return entrySize >= end;
}

} // namespace

bool CqzProcessHandle::EnumThreads(DWORD pid, EnumThreadsProc enumProc, void* context)
{
    QZ_STACK_NAME("EnumThreads", kClass);
    if (enumProc == nullptr)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: pfnEnumProc is NULL");
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    CqzScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CreateToolhelp32Snapshot failed."
                    << " LastError=" << ::GetLastError());
        return false;
    }
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    if (!::Thread32First(snapshot.Get(), &entry))
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_NO_MORE_FILES)
        {
            QZTRACE(QZT_WARNING, kClass, "WARNING: Thread32First returned ERROR_NO_MORE_FILES");
            return true;
        }
        QZTRACE(QZT_ERROR, kClass, "ERROR: Thread32First failed. LastError=" << error);
        return false;
    }
    for (;;)
    {
        const size_t ownerEnd = offsetof(THREADENTRY32, th32OwnerProcessID) + sizeof entry.th32OwnerProcessID;
        if (EntryHolds(entry.dwSize, ownerEnd) && entry.th32OwnerProcessID == pid &&
            !enumProc(entry.th32ThreadID, context))
            return true;
        entry.dwSize = sizeof entry;
        if (!::Thread32Next(snapshot.Get(), &entry))
        {
            const DWORD error = ::GetLastError();
            if (error == ERROR_NO_MORE_FILES)
                return true;
            QZTRACE(QZT_ERROR, kClass, "ERROR: Thread32Next failed. LastError=" << error);
            return false;
        }
    }
}

bool CqzProcessHandle::_FindMainThreadEnumProc(DWORD threadId, void* context)
{
    QZ_STACK_NAME("_FindMainThreadEnumProc", kClass);
    MainThreadSearch& search = *static_cast<MainThreadSearch*>(context);
    CqzScopedHandle thread(::OpenThread(GetThreadQueryAccess(), FALSE, threadId));
    if (!thread)
        return true;
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    if (!::GetThreadTimes(thread.Get(), &created, &exited, &kernel, &user))
    {
        QZTRACE(QZT_WARNING, kClass, "WARNING: GetThreadTimes failed. LastError=" << ::GetLastError());
        return true;
    }
    const ULONGLONG time = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    // Strictly earlier only: on equal times the thread met first stays.
    if (search.threadId == 0 || time < search.creationTime)
    {
        search.threadId = threadId;
        search.creationTime = time;
    }
    return true;
}

DWORD CqzProcessHandle::GetMainThreadId(DWORD pid)
{
    QZ_STACK_NAME("GetMainThreadId", kClass);
    MainThreadSearch search;
    if (!EnumThreads(pid, &CqzProcessHandle::_FindMainThreadEnumProc, &search))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: EnumThreads failed");
        return 0;
    }
    if (search.threadId == 0)
        QZTRACE(QZT_WARNING, kClass, "WARNING: No threads found for PID " << pid);
    return search.threadId;
}

HANDLE CqzProcessHandle::OpenMainThread(DWORD pid, DWORD access, bool inherit)
{
    QZ_STACK_NAME("OpenMainThread", kClass);
    const DWORD threadId = GetMainThreadId(pid);
    if (threadId == 0)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to get main thread id. PID=" << pid);
        return nullptr;
    }
    HANDLE thread = ::OpenThread(access, inherit ? TRUE : FALSE, threadId);
    if (thread == nullptr)
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: OpenThread(" << access << ", " << (inherit ? 1 : 0) << ", " << pid << ") failed."
                                     << " LastError=" << ::GetLastError());
    return thread;
}

namespace
{

// Walks a Toolhelp snapshot, handing each entry to visit until it answers
// false. False when the snapshot cannot be taken or the walk fails (traced
// with walkFailure, when given); the end of the list is success.
template <typename Entry, typename First, typename Next, typename Visit>
bool WalkSnapshot(DWORD flags, DWORD pid, First first, Next next, const char* walkFailure, Visit visit)
{
    CqzScopedHandle snapshot(::CreateToolhelp32Snapshot(flags, pid));
    if (!snapshot)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CreateToolhelp32Snapshot failed."
                    << " LastError=" << ::GetLastError());
        return false;
    }
    Entry entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(snapshot.Get(), &entry); more; more = next(snapshot.Get(), &entry))
    {
        if (!visit(entry))
            return true;
        entry.dwSize = sizeof entry;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_NO_MORE_FILES)
        return true;
    if (walkFailure != nullptr)
        QZTRACE(QZT_ERROR, kClass, walkFailure << error);
    ::SetLastError(error);
    return false;
}

} // namespace

bool CqzProcessHandle::EnumProcessesEx(std::vector<PROCESSENTRY32W>& processes)
{
    QZ_STACK_NAME("EnumProcessesEx", kClass);
    processes.clear();
    const bool ok = WalkSnapshot<PROCESSENTRY32W>(TH32CS_SNAPPROCESS, 0, &::Process32FirstW, &::Process32NextW,
                                                  "ERROR: Process32First or Process32Next failed. LastError=",
                                                  [&](const PROCESSENTRY32W& entry)
                                                  {
                                                      processes.push_back(entry);
                                                      return true;
                                                  });
    if (!ok)
        processes.clear();
    return ok;
}

bool CqzProcessHandle::IsProcessRunning(const wchar_t* exeName)
{
    QZ_STACK_NAME("IsProcessRunning", kClass);
    if (exeName == nullptr)
        return false;
    bool found = false;
    WalkSnapshot<PROCESSENTRY32W>(TH32CS_SNAPPROCESS, 0, &::Process32FirstW, &::Process32NextW, nullptr,
                                  [&](const PROCESSENTRY32W& entry)
                                  {
                                      found =
                                          ::CompareStringOrdinal(entry.szExeFile, -1, exeName, -1, TRUE) == CSTR_EQUAL;
                                      return !found;
                                  });
    return found;
}

bool CqzProcessHandle::EnumModulesEx(DWORD pid, std::vector<MODULEENTRY32W>& modules)
{
    QZ_STACK_NAME("EnumModulesEx", kClass);
    modules.clear();
    if (!WalkSnapshot<MODULEENTRY32W>(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid, &::Module32FirstW, &::Module32NextW,
                                      "ERROR: Module32First or Module32Next failed. LastError=",
                                      [&](const MODULEENTRY32W& entry)
                                      {
                                          modules.push_back(entry);
                                          return true;
                                      }))
    {
        modules.clear();
        return false;
    }
    // Every process has its executable's module: an empty list is no answer.
    if (modules.empty())
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Unexpected modules number " << modules.size());
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

bool CqzProcessHandle::EnumAllProcesses(CqzScopedHeap<DWORD>& pids, DWORD& count)
{
    QZ_STACK_NAME("EnumAllProcesses", kClass);
    pids.Reset();
    count = 0;
    DWORD size = 4096;
    for (;;)
    {
        CqzScopedHeap<DWORD> buffer(static_cast<DWORD*>(std::malloc(size)));
        if (!buffer)
        {
            QZTRACE(QZT_ERROR, kClass, "ERROR: AllocateBytes(" << size << ") failed");
            ::SetLastError(ERROR_OUTOFMEMORY);
            return false;
        }
        DWORD bytesReturned = 0;
        if (!::EnumProcesses(buffer.Get(), size, &bytesReturned))
        {
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: EnumProcesses failed."
                        << " LastError=" << ::GetLastError());
            return false;
        }
        if (bytesReturned > size)
        {
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: Unepected EnumProcesses output. bytesReturned is greater then input size.");
            ::SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        if (bytesReturned < size)
        {
            count = bytesReturned / sizeof(DWORD);
            pids.Reset(buffer.Release());
            return true;
        }
        // A full buffer may have cut the list: ask again with more room.
        size += 1024;
    }
}

bool CqzProcessHandle::Is64bit(HANDLE hProcess, bool& isArm)
{
    QZ_STACK_NAME("Is64bit", kClass);
    isArm = false;
    const USHORT native = CqzOperatingSystem::GetNativeOSImageType();
    if ((native != IMAGE_FILE_MACHINE_AMD64 && native != IMAGE_FILE_MACHINE_ARM64) || hProcess == nullptr)
        return false;
    USHORT machine = 0;
    if (!CqzOperatingSystem::GetProcessImageType(hProcess, machine))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: CqzOperatingSystem::GetProcessImageType failed.");
        return false;
    }
    isArm = machine == IMAGE_FILE_MACHINE_ARM64 || machine == IMAGE_FILE_MACHINE_ARMNT;
    return machine == IMAGE_FILE_MACHINE_AMD64 || machine == IMAGE_FILE_MACHINE_ARM64;
}

bool CqzProcessHandle::Is32bitOn64bitOS(DWORD pid, bool& is32bit)
{
    QZ_STACK_NAME("Is32bitOn64bitOS", kClass);
    is32bit = false;
    const USHORT native = CqzOperatingSystem::GetNativeOSImageType();
    if (native != IMAGE_FILE_MACHINE_AMD64 && native != IMAGE_FILE_MACHINE_ARM64)
        return true;
    CqzProcessHandle process;
    if (!process.OpenProcess(PROCESS_QUERY_INFORMATION, pid, false))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: OpenProcess(" << pid << ") failed. LastError=" << process.m_dwLastError);
        ::SetLastError(process.m_dwLastError);
        return false;
    }
    // The image type is asked here rather than through Is64bit, whose false
    // also means "could not tell": that must not read as "32-bit".
    USHORT machine = 0;
    if (!CqzOperatingSystem::GetProcessImageType(process.m_h, machine))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: CqzOperatingSystem::GetProcessImageType failed.");
        return false;
    }
    is32bit = machine != IMAGE_FILE_MACHINE_AMD64 && machine != IMAGE_FILE_MACHINE_ARM64;
    return true;
}

bool CqzProcessHandle::IsRunningOnArm64(HANDLE hProcess)
{
    QZ_STACK_NAME("IsRunningOnArm64", kClass);
    typedef BOOL(WINAPI * IsWow64Process2Fn)(HANDLE, USHORT*, USHORT*);
    static const IsWow64Process2Fn isWow64Process2 =
        CqzResolveExport<IsWow64Process2Fn>(::GetModuleHandleW(L"kernel32"), "IsWow64Process2");
    if (isWow64Process2 == nullptr)
        return false;
    USHORT processMachine = 0, nativeMachine = 0;
    if (!isWow64Process2(hProcess != nullptr ? hProcess : ::GetCurrentProcess(), &processMachine, &nativeMachine))
    {
        QZTRACE(QZT_ERROR, kClass,
                "IsWow64Process2 failed "
                    << " LastError=" << ::GetLastError());
        return false;
    }
    QZTRACE(QZT_INFO, kClass, "IsRunningOnArm64 nativeMachine = " << nativeMachine);
    return nativeMachine == IMAGE_FILE_MACHINE_ARM64;
}
