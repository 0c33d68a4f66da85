// Makes the stand-in import winhttp.dll, a system DLL that the launcher does
// not load itself: the library's own imports must then be found in System32.
#include <windows.h>

#include <winhttp.h>

extern "C" BOOL WINAPI QzWinHttpPlatform()
{
    return ::WinHttpCheckPlatform();
}
