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

    // ---- Paths and environment strings (util_paths.cpp) ------------------

    // The form of a path that the file functions accept past MAX_PATH. A path
    // of MAX_PATH (260) characters or more is made full (GetFullPathNameW:
    // relative parts, "." and "..", "/" resolved) and prefixed with "\\?\",
    // or "\\?\UNC\" in place of the leading "\\" of a network path. Shorter
    // paths, paths already in "\\?\" or "\??\" form, device paths ("\\.\")
    // and paths that cannot be made full come back unchanged; null gives "".
    static std::wstring MakeLongPath(const wchar_t* path);
    // CreateFileW / GetFileAttributesW on MakeLongPath(path). Results and
    // last error as the system functions give them; the caller owns the
    // handle.
    static HANDLE CreateFileLongPath(const wchar_t* path, DWORD desiredAccess, DWORD shareMode,
                                     SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                                     DWORD flagsAndAttributes, HANDLE templateFile);
    static DWORD GetFileAttributesLongPath(const wchar_t* path);

    // Process-wide: when set, the file dump does not retry an unreadable path
    // as the parent process's user. Programs whose parent is more privileged
    // than the user they act for (a service that started them) set it, so
    // that a dump never shows what that user could not see. Clear at start.
    static void SetNoParentImpersonation(bool noParentImpersonation);
    static bool GetNoParentImpersonation();

    // Environment-variable references ("%SystemRoot%") of text expanded with
    // ExpandEnvironmentStringsW; references to unknown variables stay as they
    // are. False, with the failure traced and expanded emptied, when the
    // system cannot expand it (87 for null text).
    static bool ExpandEnvStrings(const wchar_t* text, std::wstring& expanded);

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

// ---------------------------------------------------------------------------
// Paths and environment strings
// ---------------------------------------------------------------------------

// Members of CqzUtil above (a class cannot be reopened): MakeLongPath,
// CreateFileLongPath, GetFileAttributesLongPath, Set/GetNoParentImpersonation
// and ExpandEnvStrings; implemented in util_paths.cpp.

// ---------------------------------------------------------------------------
// Points in time and durations
// ---------------------------------------------------------------------------

// Points in time and durations. A Time64 is a count of 100-nanosecond
// intervals since 1601-01-01 00:00:00 (a file time), UTC unless an operation
// says local; 0 is also the failure answer of the conversions returning one,
// and every text operation refuses a (converted) 0. Unix time is signed
// seconds since 1970-01-01 00:00:00 UTC; a duration is a signed count of
// 100-nanosecond intervals. Failures are traced at ERROR under "CqzTime"; a
// failed text operation leaves the out text as it was. No state: any thread.
class CqzTime
{
public:
    static ULONGLONG GetCurrentTime64();
    static LONGLONG GetCurrentUnixTime();

    // Plain arithmetic, no range check: values before 1601 or past the
    // unsigned range wrap.
    static ULONGLONG UnixTimeToTime64(LONGLONG unixTime);
    static void UnixTimeToTime64(LONGLONG unixTime, ULONGLONG& time64);
    // Signed division, truncated toward zero: instants before 1970 answer
    // the whole second nearer to 1970.
    static LONGLONG Time64ToUnixTime(ULONGLONG time64);
    static LONGLONG Time64ToUnixTime(const ULONGLONG* time64);

    // 0 unless -657435.0 < oleDate < 2958466.0, and 0 for dates before 1601
    // (no Time64 holds them). Rounded to the nearest millisecond; the
    // fraction is the time of day also for negative dates (-1.25 is
    // 1899-12-29 06:00).
    static ULONGLONG OleDateToTime64(double oleDate);

    // 0 on failure (traced).
    static ULONGLONG UtcToLocal(ULONGLONG utc);
    static ULONGLONG LocalToUtc(ULONGLONG local);
    // False on failure (traced), the out value untouched.
    static bool Time64ToSystemTime(ULONGLONG time64, SYSTEMTIME& systemTime);
    static bool SystemTimeToTime64(const SYSTEMTIME& systemTime, ULONGLONG& time64);

    // GetTimeFormatW of the value with the flags and the format (null: the
    // locale's own), in the user's default locale or the invariant one.
    static bool FormatTime(ULONGLONG time64, DWORD flags, bool userLocale, const wchar_t* format, std::wstring& text);
    // GetDateFormatW likewise; a null format gives the locale's short date.
    static bool FormatDate(ULONGLONG time64, bool userLocale, const wchar_t* format, std::wstring& text);
    // "dd-MMM-yyyy" in the invariant locale, e.g. "05-Mar-2024".
    static bool FormatDateInvariant(ULONGLONG time64, std::wstring& text);

    // "dd-MMM-yyyy HH:mm" (precision 0), "dd-MMM-yyyy HH:mm:ss" (any other
    // precision) and with ".mmm" milliseconds appended (precision 2), in the
    // invariant locale whatever the user's: "05-Mar-2024 14:07:09.045".
    static bool FormatDateTime(ULONGLONG time64, int precision, std::wstring& text);
    // The same of UTC time64 turned into local time first (toLocal true;
    // false when that conversion fails or gives 0) or taken as it is
    // (false); the std::string forms answer UTF-8.
    static bool FormatDateTime(ULONGLONG time64, int precision, bool toLocal, std::wstring& text);
    static bool FormatDateTime(ULONGLONG time64, int precision, std::string& utf8);
    static bool FormatDateTime(ULONGLONG time64, int precision, bool toLocal, std::string& utf8);
    // Local time of UTC time64 as the user's short date and time without
    // seconds, joined by one blank.
    static bool FormatLocalDateTime(ULONGLONG utcTime64, std::wstring& text);

    // Appends the absolute value as text, e.g. "1 minute 30 seconds",
    // "5 seconds 250 milliseconds", "7 microseconds". Milliseconds appear only
    // below one minute; microseconds only when nothing else was written to
    // an empty text. A non-empty text gets the days piece right after it
    // (no blank). Always true.
    static bool FormatDuration(LONGLONG duration, std::wstring& text);

private:
    // The value read as a signed 64-bit number (two's complement).
    static LONGLONG _Signed(ULONGLONG value);
    // False, with the refusal traced, for a value of 0.
    static bool _IsPointInTime(ULONGLONG time64, const char* scope);
    // The text of GetTimeFormatW (date false) or GetDateFormatW (date true).
    static bool _Format(bool date, ULONGLONG time64, DWORD flags, bool userLocale, const wchar_t* format,
                        std::wstring& text);
};
