// Static utilities of the shared library: module paths, the installation
// check, the user checksum, text conversion and system error texts; and the
// command-line splitter.
#pragma once

#include <windows.h>

#include <string>

class CqzUtil
{
public:
    // Path of a module (null: the executable). False, with the out path
    // emptied and the failure traced, when the system has no path.
    static bool GetModulePath(HMODULE module, std::wstring& path);
    // Path of the module that contains the address.
    static bool GetModulePathByAddr(const void* address, std::wstring& path);
    // Directory of the executable / of the module containing the address.
    static bool GetModuleDir(std::wstring& dir);
    static bool GetModuleDirByAddr(const void* address, std::wstring& dir);

    // Whether the executable lies inside the directory of the agent service's
    // "ImagePath".
    static bool IsValidProcessPath();

    // CRC-32 of the process token's user SID string ("S-1-0-0" when unreadable).
    static unsigned int GetUserSidCrc();
    // CRC-32 over the low 8 bits of each UTF-16 code unit.
    static unsigned int CalcCrc32(const wchar_t* text);

    static bool WideToUtf8(const wchar_t* text, std::string& utf8);
    // System message text of a Win32 error; the number itself when the system
    // has none (then the result is false).
    static bool GetErrorText(DWORD error, std::wstring& text);

    // Process-lifetime cached paths; empty when the module directory is unknown.
    static const std::wstring& GetCachedModuleDir();
    static const std::wstring& GetCachedConfigDir();
    static const std::wstring& GetCachedMarkerDir();

    static const wchar_t* GetAgentParametersKeyPath();
};
