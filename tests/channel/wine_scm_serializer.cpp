#include "tests/channel/wine_scm_serializer.h"

#include <windows.h>

#include "testing/harness/iat_hook.h"

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
    // The hooks stay for the life of the process: the senders' threads run
    // until it ends.
    auto* openSCManager =
        new qztest::IatHook("advapi32.dll", "OpenSCManagerW", reinterpret_cast<void*>(&SerializedOpenSCManagerW));
    auto* openService =
        new qztest::IatHook("advapi32.dll", "OpenServiceW", reinterpret_cast<void*>(&SerializedOpenServiceW));
    auto* controlService =
        new qztest::IatHook("advapi32.dll", "ControlService", reinterpret_cast<void*>(&SerializedControlService));
    auto* closeServiceHandle = new qztest::IatHook("advapi32.dll", "CloseServiceHandle",
                                                   reinterpret_cast<void*>(&SerializedCloseServiceHandle));
    g_openSCManager = openSCManager->OriginalAs<OpenSCManagerFn>();
    g_openService = openService->OriginalAs<OpenServiceFn>();
    g_controlService = controlService->OriginalAs<ControlServiceFn>();
    g_closeServiceHandle = closeServiceHandle->OriginalAs<CloseServiceHandleFn>();
    const bool ok = openSCManager->Installed() && openService->Installed() && controlService->Installed() &&
                    closeServiceHandle->Installed();
    installed = ok;
    return ok;
}

} // namespace qzchan
