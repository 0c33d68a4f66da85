/* An empty library built as "mscoree.dll": loading it makes a module of that
   name present in a process, as the .NET runtime's loader would be, so that
   the module framework's tolerance of an apartment clash can be seen. It does
   nothing else. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
