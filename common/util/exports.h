// Exports resolved by name at run time, as typed function pointers.
#pragma once

#include <windows.h>

#include <type_traits>

// A GetProcAddress result as the export's own pointer type. Going through
// the generic function pointer type keeps the compiler's function-type cast
// check quiet; a NULL address stays NULL.
template <typename Function>
Function CqzExportAs(FARPROC address)
{
    static_assert(std::is_pointer<Function>::value &&
                      std::is_function<typename std::remove_pointer<Function>::type>::value,
                  "CqzExportAs converts to a function pointer type");
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// The export `name` of an already loaded module; NULL when the module is
// NULL or lacks the export (then GetLastError() tells why, for a module).
template <typename Function>
Function CqzResolveExport(HMODULE module, const char* name)
{
    if (module == nullptr)
        return nullptr;
    return CqzExportAs<Function>(::GetProcAddress(module, name));
}
