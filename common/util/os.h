// Identification of the running Windows version, once per process, and the
// version questions the rest of the shared library asks (Vista or later,
// server, machine types, UAC policy values).
#pragma once

#include <windows.h>

#include <string>

class CqzOperatingSystem
{
public:
    // Identifies the system on the first call that can read the version
    // record; later calls return true at once. False when the record cannot
    // be read: then every accessor sees a zeroed record (major 0), an empty
    // name and empty texts, and the next call tries again. Safe from any
    // thread; identification runs at most once.
    static bool Init();

    // The version record (minor version corrected for the installer, see
    // IsMsiExecProcess). All accessors call Init first.
    static const RTL_OSVERSIONINFOEXW& GetVersionInfo();
    static DWORD GetMajorVersion();
    static DWORD GetMinorVersion();
    static DWORD GetBuildNumber();
    static WORD GetServicePackMajor();

    // Update build revision and release id as read by Init (0 before
    // Windows 10 and whenever the value is missing or malformed).
    static DWORD GetUBR();
    static DWORD GetReleaseId();
    // The same registry values read afresh.
    static DWORD ReadUBR();
    static DWORD ReadReleaseId();

    // Index into the product-name table (0: unknown) and the product name;
    // an unknown system is named "Unknown System <major>.<minor>".
    static int GetProductIndex();
    static const std::wstring& GetName();
    static const std::wstring& GetCSDVersion();
    // One line per installed suite, without the final line break.
    static const std::wstring& GetSuiteDescription();

    static bool IsVistaOrLater();
    static bool IsWin8OrLater();
    static bool IsWin81OrLater();
    static bool IsWin10OrLater();
    static bool IsServer();

    // IMAGE_FILE_MACHINE_* of the process's image (null: the current
    // process). The handle needs PROCESS_QUERY_LIMITED_INFORMATION. False,
    // with machine 0, when the type cannot be told.
    static bool GetProcessImageType(HANDLE process, USHORT& machine);
    // IMAGE_FILE_MACHINE_* of the system (I386, AMD64 or ARM64), 0 when
    // unknown.
    static USHORT GetNativeOSImageType();
    static bool IsArmNative();

    // Whether the executable's file name is "MsiExec.exe" (any case).
    // Decided on the first call.
    static bool IsMsiExecProcess();

    // DWORD value of HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\System.
    // False when the key or value is missing (silently) or unreadable, or the
    // value is not a 4-byte REG_DWORD (traced).
    static bool GetSystemPolicyParameter(const wchar_t* name, DWORD& value);
    static bool IsLUAEnabled();
    static bool IsFilterAdministratorToken();

    // NetBIOS name of the computer (at most 15 characters).
    static bool GetComputerNameW(std::wstring& name);

    // Process-lifetime copies, fetched on the first call that finds them
    // empty; empty while the system cannot tell them.
    static const std::wstring& GetWindowsDirectoryCached();
    static const std::wstring& GetSystemDirectoryCached();

    // Time since boot in 100-nanosecond units (millisecond resolution).
    static ULONGLONG GetTickCount64Units();

    // The rules Init applies, as functions of their inputs alone.

    // Product index of a version record; serverR2 is GetSystemMetrics(SM_SERVERR2) != 0.
    static int MapVersionToProductIndex(const RTL_OSVERSIONINFOEXW& record, bool serverR2);
    // Product-name table entry; null outside the table.
    static const wchar_t* GetProductTableName(int index);
    // Suite description of a suite mask, trailing white space removed. The
    // product type is GetProductInfo's answer (0 when unavailable); it only
    // matters for major version 6 with suite bit 0x40. Unknown bits are traced.
    static std::wstring BuildSuiteDescription(WORD suiteMask, DWORD major, DWORD minor, bool serverR2,
                                              DWORD productType);
    // Edition line of a GetProductInfo product type; empty for other types.
    static const wchar_t* GetEditionText(DWORD productType);
    // Image type from IsWow64Process2's answer; 0 when none applies.
    static USHORT ImageTypeFromWow64Process2(USHORT processMachine, USHORT nativeMachine);
    // Native type from IsWow64Process2's answer; 0 when none applies.
    static USHORT NativeTypeFromWow64Process2(USHORT nativeMachine);
    // Image type from IsWow64Process's answer and the native type.
    static USHORT ImageTypeFromIsWow64(BOOL wow64, USHORT nativeMachine);
    // Native type from IsWow64Process's answer for the current process: AMD64
    // under emulation; otherwise the system runs this build's own machine
    // (I386 for a 32-bit build, AMD64 for a 64-bit one).
    static USHORT NativeTypeFromIsWow64(BOOL wow64);

private:
    typedef BOOL(WINAPI* IsWow64Process2Fn)(HANDLE, USHORT*, USHORT*);

    static bool _RtlGetVersion(RTL_OSVERSIONINFOEXW& record);
    // Null when kernel32 lacks the function (before Windows 10 1709).
    static IsWow64Process2Fn _GetIsWow64Process2();
    static bool _CallIsWow64Process2(HANDLE process, USHORT& processMachine, USHORT& nativeMachine);
};
