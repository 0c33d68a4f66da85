// CqzTime: texts of points in time and of durations.
#include "common/util/util.h"

#include "trace/trace.h"

#include <vector>

namespace
{

const char* const kQzTimeClass = "CqzTime";

const wchar_t* const kInvariantDateFormat = L"dd-MMM-yyyy";
const wchar_t* const kMinutesFormat = L"HH:mm";
const wchar_t* const kSecondsFormat = L"HH:mm:ss";

// Units of the duration text, in 100-nanosecond intervals.
const ULONGLONG kDay = 864000000000ULL;
const ULONGLONG kHour = 36000000000ULL;
const ULONGLONG kMinute = 600000000ULL;
const ULONGLONG kSecond = 10000000ULL;
const ULONGLONG kMillisecond = 10000ULL;
const ULONGLONG kMicrosecond = 10ULL;

std::wstring FormatArgument(const wchar_t* format)
{
    return format ? format : L"NULL";
}

// "1 day" / "2 days": the singular only for exactly one.
void AppendCount(ULONGLONG count, const wchar_t* unit, bool leadingBlank, std::wstring& text)
{
    if (count == 0)
        return;
    if (leadingBlank && !text.empty())
        text += L' ';
    text += std::to_wstring(count);
    text += L' ';
    text += unit;
    if (count != 1)
        text += L's';
}

std::wstring Joined(const std::wstring& date, const std::wstring& time)
{
    return date + L" " + time;
}

} // namespace

bool CqzTime::_IsPointInTime(ULONGLONG time64, const char* scope)
{
    if (time64 != 0)
        return true;
    // 0 is what a failed conversion answers, never a time to show.
    QZ_STACK_NAME(scope, kQzTimeClass);
    QZTRACE(QZT_ERROR, kQzTimeClass, "ERROR: Time value 0 is no point in time");
    return false;
}

bool CqzTime::_Format(bool date, ULONGLONG time64, DWORD flags, bool userLocale, const wchar_t* format,
                      std::wstring& text)
{
    SYSTEMTIME systemTime;
    if (!Time64ToSystemTime(time64, systemTime))
        return false;
    const LCID locale = userLocale ? LOCALE_USER_DEFAULT : LOCALE_INVARIANT;
    const auto call = [&](wchar_t* buffer, int chars)
    {
        return date ? ::GetDateFormatW(locale, flags, &systemTime, format, buffer, chars)
                    : ::GetTimeFormatW(locale, flags, &systemTime, format, buffer, chars);
    };

    QZ_STACK_NAME(date ? "FormatDate" : "FormatTime", kQzTimeClass);
    const int needed = call(nullptr, 0);
    if (needed <= 0)
    {
        const DWORD error = ::GetLastError();
        if (date)
            QZTRACE(QZT_ERROR, kQzTimeClass,
                    "ERROR: Cannot get buffer length. GetDateFormat(" << _Signed(time64) << ", "
                                                                      << FormatArgument(format) << ", " << flags
                                                                      << ") failed. LastError=" << error);
        else
            QZTRACE(QZT_ERROR, kQzTimeClass,
                    "ERROR: Cannot get buffer length. GetTimeFormat(" << _Signed(time64) << ", "
                                                                      << FormatArgument(format) << ") failed.");
        return false;
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(needed));
    const int written = call(buffer.data(), needed);
    if (written <= 0 || written > needed)
    {
        const DWORD error = ::GetLastError();
        if (date)
            QZTRACE(QZT_ERROR, kQzTimeClass,
                    "ERROR: GetDateFormat(" << _Signed(time64) << ", " << FormatArgument(format) << ", " << flags
                                            << ") failed. LastError=" << error);
        else
            QZTRACE(QZT_ERROR, kQzTimeClass,
                    "ERROR: GetTimeFormat(" << _Signed(time64) << ", " << FormatArgument(format)
                                            << ") failed. LastError=" << error);
        return false;
    }
    // The count includes the terminator.
    text.assign(buffer.data(), static_cast<size_t>(written) - 1);
    return true;
}

bool CqzTime::FormatTime(ULONGLONG time64, DWORD flags, bool userLocale, const wchar_t* format, std::wstring& text)
{
    return _IsPointInTime(time64, "FormatTime") && _Format(false, time64, flags, userLocale, format, text);
}

bool CqzTime::FormatDate(ULONGLONG time64, bool userLocale, const wchar_t* format, std::wstring& text)
{
    // The short-date flag is refused together with an explicit format.
    const DWORD flags = format ? 0 : DATE_SHORTDATE;
    return _IsPointInTime(time64, "FormatDate") && _Format(true, time64, flags, userLocale, format, text);
}

bool CqzTime::FormatDateInvariant(ULONGLONG time64, std::wstring& text)
{
    return FormatDate(time64, false, kInvariantDateFormat, text);
}

bool CqzTime::FormatDateTime(ULONGLONG time64, int precision, std::wstring& text)
{
    std::wstring dateText;
    if (!FormatDateInvariant(time64, dateText))
        return false;
    std::wstring timeText;
    if (!FormatTime(time64, 0, false, precision == 0 ? kMinutesFormat : kSecondsFormat, timeText))
        return false;
    if (precision == 2)
    {
        const unsigned milliseconds = static_cast<unsigned>((time64 / kMillisecond) % 1000);
        const wchar_t suffix[] = {L'.', static_cast<wchar_t>(L'0' + milliseconds / 100),
                                  static_cast<wchar_t>(L'0' + milliseconds / 10 % 10),
                                  static_cast<wchar_t>(L'0' + milliseconds % 10), L'\0'};
        timeText += suffix;
    }
    text = Joined(dateText, timeText);
    return true;
}

bool CqzTime::FormatDateTime(ULONGLONG time64, int precision, bool toLocal, std::wstring& text)
{
    if (toLocal)
    {
        if (!_IsPointInTime(time64, "FormatDateTime"))
            return false;
        // A local 0 is the conversion's failure answer, traced where it failed.
        time64 = UtcToLocal(time64);
        if (time64 == 0)
            return false;
    }
    return FormatDateTime(time64, precision, text);
}

bool CqzTime::FormatDateTime(ULONGLONG time64, int precision, std::string& utf8)
{
    return FormatDateTime(time64, precision, false, utf8);
}

bool CqzTime::FormatDateTime(ULONGLONG time64, int precision, bool toLocal, std::string& utf8)
{
    std::wstring text;
    return FormatDateTime(time64, precision, toLocal, text) && CqzUtil::WideToUtf8(text.c_str(), utf8);
}

bool CqzTime::FormatLocalDateTime(ULONGLONG utcTime64, std::wstring& text)
{
    if (!_IsPointInTime(utcTime64, "FormatLocalDateTime"))
        return false;
    const ULONGLONG local = UtcToLocal(utcTime64);
    if (local == 0)
        return false;
    std::wstring timeText;
    if (!FormatTime(local, TIME_NOSECONDS, true, nullptr, timeText))
        return false;
    std::wstring dateText;
    if (!FormatDate(local, true, nullptr, dateText))
        return false;
    text = Joined(dateText, timeText);
    return true;
}

bool CqzTime::FormatDuration(LONGLONG duration, std::wstring& text)
{
    // Magnitude in unsigned arithmetic: the most negative duration has no
    // signed absolute value.
    const ULONGLONG magnitude = duration < 0 ? 0 - static_cast<ULONGLONG>(duration) : static_cast<ULONGLONG>(duration);
    const ULONGLONG days = magnitude / kDay;
    const ULONGLONG hours = magnitude % kDay / kHour;
    const ULONGLONG minutes = magnitude % kHour / kMinute;
    const ULONGLONG seconds = magnitude % kMinute / kSecond;
    const ULONGLONG belowSecond = magnitude % kSecond;

    AppendCount(days, L"day", false, text);
    AppendCount(hours, L"hour", true, text);
    AppendCount(minutes, L"minute", true, text);
    AppendCount(seconds, L"second", true, text);
    // Milliseconds only matter below a minute.
    if (days == 0 && hours == 0 && minutes == 0)
        AppendCount(belowSecond / kMillisecond, L"millisecond", true, text);
    if (text.empty())
        text = std::to_wstring(belowSecond / kMicrosecond) + L" microseconds";
    return true;
}
