// Test seam of the module framework, for suites only.
//
// InitializeCriticalSectionEx without a spin count or flags does not fail on
// a working system, so the module's "could not start" path (cbSize 0, the
// init-failed flag, WinMain ending with -1) cannot be reached for real.
// Suites swap the initialiser for one that fails, construct a module, and put
// everything back after. The agent's programs never call this.
#pragma once

#include <windows.h>

namespace atl_testing
{

using CriticalSectionInitializer = BOOL(WINAPI*)(LPCRITICAL_SECTION section, DWORD spinCount, DWORD flags);

// Installs initializer (null: InitializeCriticalSectionEx) and returns the
// one it replaces.
CriticalSectionInitializer SetCriticalSectionInitializer(CriticalSectionInitializer initializer);

// Clears the process-wide init-failed flag.
void ResetInitFailed();

} // namespace atl_testing
