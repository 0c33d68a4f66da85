// CqzTime: conversions between file time, Unix time, OLE automation dates,
// local time and broken-down system time.
#include "common/util/util.h"

#include "trace/trace.h"

namespace
{

const char* const kQzTimeClass = "CqzTime";

// Seconds and 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
const ULONGLONG kUnixEpochSeconds = 11644473600ULL;
const ULONGLONG kUnixEpochTime64 = 116444736000000000ULL;
const LONGLONG kTicksPerSecond = 10000000;
const LONGLONG kTicksPerMillisecond = 10000;

// OLE automation dates: accepted range (exclusive), and milliseconds per day
// and from 1601-01-01 to 1899-12-30.
const double kOleDateLowest = -657435.0;
const double kOleDateBeyondHighest = 2958466.0;
const LONGLONG kMillisecondsPerDay = 86400000;
const LONGLONG kOleEpochMilliseconds = 9435312000000LL;

FILETIME ToFileTime(ULONGLONG time64)
{
    FILETIME fileTime;
    fileTime.dwLowDateTime = static_cast<DWORD>(time64);
    fileTime.dwHighDateTime = static_cast<DWORD>(time64 >> 32);
    return fileTime;
}

ULONGLONG FromFileTime(const FILETIME& fileTime)
{
    return (static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

} // namespace

LONGLONG CqzTime::_Signed(ULONGLONG value)
{
    // Two's complement reading, spelled out so that it is defined behaviour.
    return value <= 0x7FFFFFFFFFFFFFFFULL ? static_cast<LONGLONG>(value) : -static_cast<LONGLONG>(~value) - 1;
}

ULONGLONG CqzTime::GetCurrentTime64()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return FromFileTime(now);
}

LONGLONG CqzTime::GetCurrentUnixTime()
{
    SYSTEMTIME epoch = {};
    epoch.wYear = 1970;
    epoch.wMonth = 1;
    epoch.wDay = 1;
    epoch.wDayOfWeek = 4;
    ULONGLONG epochTime64 = 0;
    if (!SystemTimeToTime64(epoch, epochTime64))
        epochTime64 = kUnixEpochTime64; // traced; the constant is the same instant
    return _Signed(GetCurrentTime64() - epochTime64) / kTicksPerSecond;
}

ULONGLONG CqzTime::UnixTimeToTime64(LONGLONG unixTime)
{
    // Unsigned arithmetic: out-of-range seconds wrap instead of overflowing.
    return (static_cast<ULONGLONG>(unixTime) + kUnixEpochSeconds) * static_cast<ULONGLONG>(kTicksPerSecond);
}

void CqzTime::UnixTimeToTime64(LONGLONG unixTime, ULONGLONG& time64)
{
    time64 = UnixTimeToTime64(unixTime);
}

LONGLONG CqzTime::Time64ToUnixTime(ULONGLONG time64)
{
    return _Signed(time64 - kUnixEpochTime64) / kTicksPerSecond;
}

LONGLONG CqzTime::Time64ToUnixTime(const ULONGLONG* time64)
{
    if (!time64)
    {
        // Nothing to read: answer the Unix epoch rather than fault.
        QZ_STACK_NAME("Time64ToUnixTime", kQzTimeClass);
        QZTRACE(QZT_ERROR, kQzTimeClass, "ERROR: Time64ToUnixTime(NULL) has no value to convert");
        return 0;
    }
    return Time64ToUnixTime(*time64);
}

ULONGLONG CqzTime::OleDateToTime64(double oleDate)
{
    // Written so that NaN falls outside the range too.
    if (!(oleDate > kOleDateLowest && oleDate < kOleDateBeyondHighest))
        return 0;
    const double scaled = oleDate * static_cast<double>(kMillisecondsPerDay);
    LONGLONG milliseconds = static_cast<LONGLONG>(oleDate >= 0 ? scaled + 0.5 : scaled - 0.5);
    if (milliseconds < 0)
    {
        // The fraction of a negative date still counts forward from the start
        // of its day: -1.25 is one day back, then six hours on.
        const LONGLONG days = milliseconds / kMillisecondsPerDay;
        milliseconds = 2 * kMillisecondsPerDay * days - milliseconds;
    }
    milliseconds += kOleEpochMilliseconds;
    if (milliseconds < 0)
        return 0;
    return static_cast<ULONGLONG>(milliseconds) * static_cast<ULONGLONG>(kTicksPerMillisecond);
}

ULONGLONG CqzTime::UtcToLocal(ULONGLONG utc)
{
    const FILETIME in = ToFileTime(utc);
    FILETIME out;
    if (!::FileTimeToLocalFileTime(&in, &out))
    {
        QZ_STACK_NAME("UtcToLocal", kQzTimeClass);
        QZTRACE(QZT_ERROR, kQzTimeClass, "ERROR: FileTimeToLocalFileTime(" << _Signed(utc) << ") failed");
        return 0;
    }
    return FromFileTime(out);
}

ULONGLONG CqzTime::LocalToUtc(ULONGLONG local)
{
    const FILETIME in = ToFileTime(local);
    FILETIME out;
    if (!::LocalFileTimeToFileTime(&in, &out))
    {
        const DWORD error = ::GetLastError();
        QZ_STACK_NAME("LocalToUtc", kQzTimeClass);
        QZTRACE(QZT_ERROR, kQzTimeClass,
                "ERROR: LocalFileTimeToFileTime(" << _Signed(local) << ") failed. LastError=" << error);
        return 0;
    }
    return FromFileTime(out);
}

bool CqzTime::Time64ToSystemTime(ULONGLONG time64, SYSTEMTIME& systemTime)
{
    const FILETIME in = ToFileTime(time64);
    SYSTEMTIME out;
    if (!::FileTimeToSystemTime(&in, &out))
    {
        QZ_STACK_NAME("Time64ToSystemTime", kQzTimeClass);
        QZTRACE(QZT_ERROR, kQzTimeClass, "ERROR: FileTimeToSystemTime(" << _Signed(time64) << ") failed");
        return false;
    }
    systemTime = out;
    return true;
}

bool CqzTime::SystemTimeToTime64(const SYSTEMTIME& systemTime, ULONGLONG& time64)
{
    FILETIME out;
    if (!::SystemTimeToFileTime(&systemTime, &out))
    {
        QZ_STACK_NAME("SystemTimeToTime64", kQzTimeClass);
        QZTRACE(QZT_ERROR, kQzTimeClass,
                "ERROR: SystemTimeToFileTime(" << systemTime.wYear << "." << systemTime.wMonth << "." << systemTime.wDay
                                               << " " << systemTime.wHour << ":" << systemTime.wMinute << ":"
                                               << systemTime.wSecond << "." << systemTime.wMilliseconds << ") failed");
        return false;
    }
    time64 = FromFileTime(out);
    return true;
}
