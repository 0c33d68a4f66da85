/* A module without dependencies beyond kernel32, which suites load and unload
   to see whether a module reference was given back. */
#include <windows.h>

__declspec(dllexport) int QzTestPlainFunction(void)
{
    return 42;
}
