// An independent model of the calendar arithmetic behind CqzTime: proleptic
// Gregorian days from civil dates (and back), the epochs, the OLE date rule
// and the fixed invariant texts. Written from the arithmetic alone; it calls
// neither the code under test nor the system's time functions.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace timemodel
{

const int64_t kTicksPerMs = 10000;
const int64_t kTicksPerSecond = 10000000;
const int64_t kMsPerDay = 86400000;
const int64_t kTicksPerDay = kMsPerDay * kTicksPerMs;

struct Civil
{
    int64_t year;
    unsigned month, day, hour, minute, second, ms;
    unsigned weekday; // 0 Sunday
};

// Days from 1970-01-01 to y-m-d (Gregorian, any year).
inline int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

inline void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

// Days from 1601-01-01 to 1970-01-01.
inline int64_t Days1601To1970()
{
    return -DaysFromCivil(1601, 1, 1);
}

// Time64 of a civil instant (UTC), in 100-nanosecond intervals since 1601.
inline uint64_t Time64Of(int64_t y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0, unsigned s = 0,
                         unsigned ms = 0)
{
    const int64_t days = DaysFromCivil(y, mo, d) + Days1601To1970();
    const int64_t msTotal = ((days * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
    return static_cast<uint64_t>(msTotal) * kTicksPerMs;
}

inline Civil CivilOf(uint64_t time64)
{
    const uint64_t days = time64 / kTicksPerDay;
    const uint64_t msOfDay = time64 % kTicksPerDay / kTicksPerMs;
    Civil c;
    CivilFromDays(static_cast<int64_t>(days) - Days1601To1970(), c.year, c.month, c.day);
    c.hour = static_cast<unsigned>(msOfDay / 3600000);
    c.minute = static_cast<unsigned>(msOfDay / 60000 % 60);
    c.second = static_cast<unsigned>(msOfDay / 1000 % 60);
    c.ms = static_cast<unsigned>(msOfDay % 1000);
    c.weekday = static_cast<unsigned>((days + 1) % 7); // 1601-01-01 was a Monday
    return c;
}

// Unix seconds to Time64, wrapping like unsigned 64-bit arithmetic.
inline uint64_t UnixToTime64(int64_t seconds)
{
    return (static_cast<uint64_t>(seconds) + 11644473600ULL) * 10000000ULL;
}

// Time64 to Unix seconds: the difference read as signed, its magnitude
// divided, the sign put back (a quotient truncated toward zero).
inline int64_t Time64ToUnix(uint64_t time64)
{
    const uint64_t difference = time64 - 116444736000000000ULL;
    const bool negative = (difference >> 63) != 0;
    const uint64_t magnitude = negative ? ~difference + 1 : difference;
    const uint64_t quotient = magnitude / 10000000ULL;
    return negative ? -static_cast<int64_t>(quotient) : static_cast<int64_t>(quotient);
}

// OLE date to Time64: whole days and a forward fraction, to the nearest
// millisecond (halves away from zero); 0 outside the range or before 1601.
inline uint64_t OleToTime64(double date)
{
    if (!(date > -657435.0 && date < 2958466.0))
        return 0;
    const double scaled = date * 86400000.0;
    const int64_t rounded = static_cast<int64_t>(date >= 0 ? scaled + 0.5 : scaled - 0.5);
    const int64_t days = rounded / kMsPerDay;
    const int64_t fraction = rounded % kMsPerDay;
    const int64_t msSince1899 = days * kMsPerDay + (fraction < 0 ? -fraction : fraction);
    const int64_t msSince1601 = msSince1899 + (DaysFromCivil(1899, 12, 30) + Days1601To1970()) * kMsPerDay;
    return msSince1601 < 0 ? 0 : static_cast<uint64_t>(msSince1601) * kTicksPerMs;
}

inline const wchar_t* MonthAbbreviation(unsigned month)
{
    static const wchar_t* const names[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                           L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    return month >= 1 && month <= 12 ? names[month - 1] : L"???";
}

// The number with leading zeros to at least the width.
inline std::wstring Padded(int64_t value, size_t width)
{
    std::wstring digits = std::to_wstring(value);
    return digits.size() < width ? std::wstring(width - digits.size(), L'0') + digits : digits;
}

// "dd-MMM-yyyy HH:mm", "... HH:mm:ss" or "... HH:mm:ss.mmm" of a Time64.
inline std::wstring InvariantText(uint64_t time64, int precision)
{
    const Civil c = CivilOf(time64);
    std::wstring text = Padded(c.day, 2) + L"-" + MonthAbbreviation(c.month) + L"-" + Padded(c.year, 4) + L" " +
                        Padded(c.hour, 2) + L":" + Padded(c.minute, 2);
    if (precision != 0)
        text += L":" + Padded(c.second, 2);
    if (precision == 2)
        text += L"." + Padded(c.ms, 3);
    return text;
}

} // namespace timemodel
