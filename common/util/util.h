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
    // Path of the module that contains the address. False, with the failure
    // traced and the out path untouched, when no module contains it. The
    // module is pinned only for the duration of the call.
    static bool GetModulePathByAddr(const void* address, std::wstring& path);
    // Directory of the executable / of the module containing the address (no
    // trailing backslash unless it is a drive root). False, with the failure
    // traced, when the path cannot be had or has no file part.
    static bool GetModuleDir(std::wstring& dir);
    static bool GetModuleDirByAddr(const void* address, std::wstring& dir);

    // Whether the executable lies inside the directory of the agent service's
    // "ImagePath". The comparison is by leading characters, not by path
    // components, and the stored value is used unexpanded.
    static bool IsValidProcessPath();

    // CRC-32 of the process token's user SID string ("S-1-0-0" when unreadable).
    static unsigned int GetUserSidCrc();
    // CRC-32 over the low 8 bits of each UTF-16 code unit (null counts as empty).
    static unsigned int CalcCrc32(const wchar_t* text);

    // UTF-8 form of a terminated text, without its terminator. False (out
    // untouched) for null text or when the system cannot convert it.
    static bool WideToUtf8(const wchar_t* text, std::string& utf8);
    // System message text of a Win32 error; the number itself when the system
    // has none (then the result is false).
    static bool GetErrorText(DWORD error, std::wstring& text);

    // Process-lifetime cached paths; empty when the module directory is unknown
    // (the next call then tries again). Safe to call from any thread; once a
    // returned string is non-empty it never changes.
    static const std::wstring& GetCachedModuleDir();
    static const std::wstring& GetCachedConfigDir();
    static const std::wstring& GetCachedMarkerDir();

    static const wchar_t* GetAgentParametersKeyPath();

private:
    static bool _RemoveFileSpec(std::wstring& path, const char* scope);
    static bool _ReadAgentImagePath(std::wstring& imagePath);
};

// One raw command line and its split into arguments by CommandLineToArgvW.
// Bad indexes and failed splits are traced and answered with null, false, -1
// or an empty string; nothing throws. After a failed split the object behaves
// as an empty command line whose raw text is empty too.
class CqzCmdLine
{
public:
    // An empty (or null) line has no arguments: the platform splitter is not
    // asked, as it would answer the executable's own path.
    explicit CqzCmdLine(const wchar_t* cmdLine);
    virtual ~CqzCmdLine();
    CqzCmdLine(const CqzCmdLine&) = delete;
    CqzCmdLine& operator=(const CqzCmdLine&) = delete;

    // The argument's text, owned by the object; null (traced) outside 0..m_argc-1.
    LPCWSTR GetArg(int index) const;
    // The argument as a number in the radix (wcstoul / _wcstoui64 rules).
    // The value is stored even when refused. Refused: a missing or empty
    // argument, no digits, and the all-ones value (the conversion's overflow
    // answer, so the largest value itself is refused too). Trailing
    // characters after the number are accepted.
    bool GetArgAsULong(int index, ULONG& value, int radix) const;
    bool GetArgAsULongLong(int index, ULONGLONG& value, int radix) const;
    // The argument as a GUID in brace form.
    bool GetArgAsGuid(int index, GUID& guid) const;

    // Whether argument 0 names the program (see IsSameProgName, argument 0 as a).
    bool ArgIsProgName(LPCWSTR progName) const;
    // Whether the file-name parts of a and b are the same without regard to
    // case, where b may carry a three-letter extension that a lacks (never the
    // other way round). Null or empty texts never match.
    static bool IsSameProgName(LPCWSTR a, LPCWSTR b);

    // The raw text after the program name, leading white space removed; the
    // whole raw line when argument 0 does not name progName; empty when there
    // are no arguments.
    void FindArguments(LPCWSTR progName, std::wstring& arguments) const;
    static void FindArguments(LPCWSTR cmdLine, LPCWSTR progName, std::wstring& arguments);

    // Index of the first argument (argument 0 included) equal to name, or with
    // withPrefix to "/name" or "-name"; -1 when absent.
    int FindSwitch(LPCWSTR name, bool ignoreCase, bool withPrefix) const;
    // The argument after the switch; false (out untouched) when the switch is
    // absent or last.
    bool GetSwitchValue(LPCWSTR name, bool ignoreCase, bool withPrefix, std::wstring& value) const;
    bool GetSwitchValueAsULong(LPCWSTR name, bool ignoreCase, bool withPrefix, ULONG& value, int radix) const;
    bool GetSwitchValueAsULongLong(LPCWSTR name, bool ignoreCase, bool withPrefix, ULONGLONG& value, int radix) const;

    // Same argument count and pairwise equal arguments.
    bool IsEqual(const CqzCmdLine& other, bool ignoreCase) const;

    std::wstring m_cmdLine; // the raw line; emptied when splitting failed
    LPWSTR* m_argv;         // one LocalAlloc block owned by the object; null exactly when m_argc is 0
    int m_argc;

private:
    LPCWSTR _ArgAt(int index, const char* scope) const;
};
