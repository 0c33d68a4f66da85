// The launcher's own process entry (qz_elevate.cpp is compiled into this
// program unchanged), started in a state that Wine does not reach by itself.
// The environment variable QZ_ENTRY_FAULT chooses the state before static
// initialisation constructs the module object:
//   changed-mode  the main thread joins the multithreaded apartment first, so
//                 the entry's OleInitialize answers RPC_E_CHANGED_MODE for real
//                 (with "Mscoree.dll" not loaded);
//   module-init   the module's static-data lock cannot be initialised. Seam:
//                 InitializeCriticalSectionEx does not fail under Wine, so the
//                 probe hooks its own import of it and refuses the call for
//                 that one critical section (every other one is made).
// Copied into an agent installation, it runs there as the launcher would.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"
#include "testing/harness/iat_hook.h"

#include <objbase.h>

// Defined by qz_elevate.cpp.
extern CqzElevateModule _AtlModule;

namespace
{

using InitializeCriticalSectionExFn = BOOL(WINAPI*)(LPCRITICAL_SECTION, DWORD, DWORD);
InitializeCriticalSectionExFn g_initializeCriticalSectionEx = nullptr;

bool FaultIs(const wchar_t* name)
{
    wchar_t value[32] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QZ_ENTRY_FAULT", value, 32);
    return length > 0 && length < 32 && ::lstrcmpW(value, name) == 0;
}

BOOL WINAPI RefuseTheModulesLock(LPCRITICAL_SECTION section, DWORD spinCount, DWORD flags)
{
    if (section == &_AtlModule.m_csStaticDataInitAndTypeInfo.m_sec)
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return g_initializeCriticalSectionEx(section, spinCount, flags);
}

struct FaultSetup
{
    FaultSetup()
    {
        if (FaultIs(L"module-init"))
        {
            // Kept for the life of the process.
            auto* hook = new qztest::IatHook("kernel32.dll", "InitializeCriticalSectionEx",
                                             reinterpret_cast<void*>(&RefuseTheModulesLock));
            g_initializeCriticalSectionEx = hook->OriginalAs<InitializeCriticalSectionExFn>();
        }
        else if (FaultIs(L"changed-mode"))
        {
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        }
    }
};

// Constructed before the module object of qz_elevate.cpp.
#ifdef _MSC_VER
#pragma warning(disable : 4073)
#pragma init_seg(lib)
FaultSetup g_faultSetup;
#else
FaultSetup g_faultSetup __attribute__((init_priority(101)));
#endif

} // namespace
