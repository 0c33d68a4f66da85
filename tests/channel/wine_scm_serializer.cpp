#include "tests/channel/wine_scm_serializer.h"

#include <windows.h>

#include <cstring>

namespace qzchan
{

namespace
{

CRITICAL_SECTION g_lock;

using OpenSCManagerFn = SC_HANDLE(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using OpenServiceFn = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCWSTR, DWORD);
using ControlServiceFn = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
using CloseServiceHandleFn = BOOL(WINAPI*)(SC_HANDLE);

OpenSCManagerFn g_openSCManager = nullptr;
OpenServiceFn g_openService = nullptr;
ControlServiceFn g_controlService = nullptr;
CloseServiceHandleFn g_closeServiceHandle = nullptr;

class Locked
{
public:
    Locked() { ::EnterCriticalSection(&g_lock); }
    ~Locked() { ::LeaveCriticalSection(&g_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

SC_HANDLE WINAPI SerializedOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    Locked locked;
    return g_openSCManager(machine, database, access);
}

SC_HANDLE WINAPI SerializedOpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    Locked locked;
    return g_openService(manager, name, access);
}

BOOL WINAPI SerializedControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    Locked locked;
    return g_controlService(service, control, status);
}

BOOL WINAPI SerializedCloseServiceHandle(SC_HANDLE handle)
{
    Locked locked;
    return g_closeServiceHandle(handle);
}

// Replaces the executable's import of dll!function; the previous target in *original.
bool HookImport(const char* dll, const char* function, void* replacement, void** original)
{
    BYTE* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return false;
    bool hooked = false;
    for (const IMAGE_IMPORT_DESCRIPTOR* entry =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry)
    {
        if (::lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0 || entry->OriginalFirstThunk == 0)
            continue;
        const IMAGE_THUNK_DATA* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD oldProtect = 0;
            if (!::VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &oldProtect))
                return false;
            *original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            ::VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), oldProtect, &oldProtect);
            hooked = true;
        }
    }
    return hooked;
}

bool RunningUnderWine()
{
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace

bool SerializeWineServiceManagerCalls()
{
    static bool installed = false;
    if (installed || !RunningUnderWine())
        return true;
    ::InitializeCriticalSection(&g_lock);
    void* original = nullptr;
    bool ok =
        HookImport("advapi32.dll", "OpenSCManagerW", reinterpret_cast<void*>(&SerializedOpenSCManagerW), &original);
    g_openSCManager = reinterpret_cast<OpenSCManagerFn>(original);
    ok = HookImport("advapi32.dll", "OpenServiceW", reinterpret_cast<void*>(&SerializedOpenServiceW), &original) && ok;
    g_openService = reinterpret_cast<OpenServiceFn>(original);
    ok = HookImport("advapi32.dll", "ControlService", reinterpret_cast<void*>(&SerializedControlService), &original) &&
         ok;
    g_controlService = reinterpret_cast<ControlServiceFn>(original);
    ok = HookImport("advapi32.dll", "CloseServiceHandle", reinterpret_cast<void*>(&SerializedCloseServiceHandle),
                    &original) &&
         ok;
    g_closeServiceHandle = reinterpret_cast<CloseServiceHandleFn>(original);
    installed = ok;
    return ok;
}

} // namespace qzchan
