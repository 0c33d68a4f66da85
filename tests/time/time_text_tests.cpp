// CqzTime texts: the fixed invariant formats, the local and UTF-8 forms, the
// user-locale forms, durations, the refusal of 0 and the failure lines.
#include "common/util/util.h"

#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/time/time_model.h"
#include "tests/time/time_test_util.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace
{

using timetest::TimeError;
const wchar_t* const kUntouched = L"untouched";
const std::string kZeroLine = "ERROR: Time value 0 is no point in time";

// 2024-03-05 14:07:09.045 UTC.
const uint64_t kSample = timemodel::Time64Of(2024, 3, 5, 14, 7, 9, 45);

std::wstring SystemDateText(const SYSTEMTIME& st, DWORD flags, const wchar_t* format, LCID locale)
{
    wchar_t text[128] = {};
    EXPECT_NE(0, ::GetDateFormatW(locale, flags, &st, format, text, 128));
    return text;
}

std::wstring SystemTimeText(const SYSTEMTIME& st, DWORD flags, const wchar_t* format, LCID locale)
{
    wchar_t text[128] = {};
    EXPECT_NE(0, ::GetTimeFormatW(locale, flags, &st, format, text, 128));
    return text;
}

SYSTEMTIME SystemTimeOf(uint64_t time64)
{
    const FILETIME ft = timetest::ToFileTime(time64);
    SYSTEMTIME st = {};
    EXPECT_TRUE(::FileTimeToSystemTime(&ft, &st));
    return st;
}

// The local value of a UTC Time64 by the system's own conversion.
uint64_t SystemLocal(uint64_t utc)
{
    const FILETIME in = timetest::ToFileTime(utc);
    FILETIME out;
    EXPECT_TRUE(::FileTimeToLocalFileTime(&in, &out));
    return timetest::FromFileTime(out);
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

TEST(TimeText, WineFormatsTheInvariantSampleAsExpected)
{
    // The platform fact the fixed formats rest on.
    const SYSTEMTIME st = SystemTimeOf(kSample);
    EXPECT_EQ(L"05-Mar-2024", SystemDateText(st, 0, L"dd-MMM-yyyy", LOCALE_INVARIANT));
    EXPECT_EQ(L"14:07:09", SystemTimeText(st, 0, L"HH:mm:ss", LOCALE_INVARIANT));
}

TEST(TimeText, FormatDateTimeAtEachPrecision)
{
    struct Row
    {
        const char* name;
        uint64_t time64;
        int precision;
        const wchar_t* text;
    };
    const Row rows[] = {
        {"sample, precision 0", kSample, 0, L"05-Mar-2024 14:07"},
        {"sample, precision 1", kSample, 1, L"05-Mar-2024 14:07:09"},
        {"sample, precision 2", kSample, 2, L"05-Mar-2024 14:07:09.045"},
        {"sample, precision 3 shows seconds", kSample, 3, L"05-Mar-2024 14:07:09"},
        {"sample, precision -1 shows seconds", kSample, -1, L"05-Mar-2024 14:07:09"},
        {"Unix epoch, precision 1", 116444736000000000ULL, 1, L"01-Jan-1970 00:00:00"},
        {"Unix epoch, precision 2", 116444736000000000ULL, 2, L"01-Jan-1970 00:00:00.000"},
        {"sub-ms ticks ignored", kSample + 9999, 2, L"05-Mar-2024 14:07:09.045"},
        {"first tick of 1601", 1, 2, L"01-Jan-1601 00:00:00.000"},
        {"last of 9999", timemodel::Time64Of(9999, 12, 31, 23, 59, 59, 999), 2, L"31-Dec-9999 23:59:59.999"},
        {"OLE -1.25", CqzTime::OleDateToTime64(-1.25), 1, L"29-Dec-1899 06:00:00"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.text, timemodel::InvariantText(row.time64, row.precision));
        std::wstring text = kUntouched;
        ASSERT_TRUE(CqzTime::FormatDateTime(row.time64, row.precision, text));
        EXPECT_EQ(row.text, text);
        text = kUntouched;
        ASSERT_TRUE(CqzTime::FormatDateTime(row.time64, row.precision, false, text));
        EXPECT_EQ(row.text, text);
        std::string utf8 = "untouched";
        ASSERT_TRUE(CqzTime::FormatDateTime(row.time64, row.precision, utf8));
        EXPECT_EQ(Narrow(row.text), utf8);
        utf8 = "untouched";
        ASSERT_TRUE(CqzTime::FormatDateTime(row.time64, row.precision, false, utf8));
        EXPECT_EQ(Narrow(row.text), utf8);
    }
}

TEST(TimeText, RandomInstantsAgainstModel)
{
    std::mt19937_64 random(0x7E47);
    // Years 1601 to 9999: the four-digit years of the fixed format.
    std::uniform_int_distribution<uint64_t> ticks(1, timemodel::Time64Of(10000, 1, 1) - 1);
    int failures = 0;
    for (int i = 0; i < 3000 && failures < 10; ++i)
    {
        const uint64_t t = ticks(random);
        const int precision = i % 3;
        std::wstring text;
        if (!CqzTime::FormatDateTime(t, precision, text) || text != timemodel::InvariantText(t, precision))
        {
            ADD_FAILURE() << t << " at " << precision << ": " << Narrow(text);
            ++failures;
        }
    }
}

TEST(TimeText, FixedDateAndTimeOperations)
{
    std::wstring text;
    ASSERT_TRUE(CqzTime::FormatDateInvariant(kSample, text));
    EXPECT_EQ(L"05-Mar-2024", text);
    ASSERT_TRUE(CqzTime::FormatDate(kSample, false, L"yyyy/MM/dd ddd", text));
    EXPECT_EQ(L"2024/03/05 Tue", text);
    ASSERT_TRUE(CqzTime::FormatTime(kSample, 0, false, L"HH'h'mm", text));
    EXPECT_EQ(L"14h07", text);
    // The invariant locale's own formats when none is given.
    const SYSTEMTIME st = SystemTimeOf(kSample);
    ASSERT_TRUE(CqzTime::FormatDate(kSample, false, nullptr, text));
    EXPECT_EQ(SystemDateText(st, DATE_SHORTDATE, nullptr, LOCALE_INVARIANT), text);
    ASSERT_TRUE(CqzTime::FormatTime(kSample, TIME_NOSECONDS, false, nullptr, text));
    EXPECT_EQ(SystemTimeText(st, TIME_NOSECONDS, nullptr, LOCALE_INVARIANT), text);
    EXPECT_EQ(L"14:07", text);
}

TEST(TimeText, UserLocaleFormsMatchTheSystemOracle)
{
    const SYSTEMTIME st = SystemTimeOf(kSample);
    std::wstring text;
    ASSERT_TRUE(CqzTime::FormatDate(kSample, true, nullptr, text));
    EXPECT_EQ(SystemDateText(st, DATE_SHORTDATE, nullptr, LOCALE_USER_DEFAULT), text);
    ASSERT_TRUE(CqzTime::FormatDate(kSample, true, L"dd MMMM", text));
    EXPECT_EQ(SystemDateText(st, 0, L"dd MMMM", LOCALE_USER_DEFAULT), text);
    ASSERT_TRUE(CqzTime::FormatTime(kSample, 0, true, nullptr, text));
    EXPECT_EQ(SystemTimeText(st, 0, nullptr, LOCALE_USER_DEFAULT), text);
}

TEST(TimeText, LocalFormsMatchTheSystemOracle)
{
    const uint64_t values[] = {kSample, timemodel::Time64Of(2024, 7, 1, 23, 59, 59, 999), CqzTime::GetCurrentTime64()};
    for (const uint64_t utc : values)
    {
        SCOPED_TRACE(utc);
        const uint64_t local = SystemLocal(utc);
        for (int precision = 0; precision <= 2; ++precision)
        {
            std::wstring text;
            ASSERT_TRUE(CqzTime::FormatDateTime(utc, precision, true, text));
            EXPECT_EQ(timemodel::InvariantText(local, precision), text);
            std::string utf8;
            ASSERT_TRUE(CqzTime::FormatDateTime(utc, precision, true, utf8));
            EXPECT_EQ(Narrow(text), utf8);
        }
        const SYSTEMTIME st = SystemTimeOf(local);
        std::wstring text;
        ASSERT_TRUE(CqzTime::FormatLocalDateTime(utc, text));
        EXPECT_EQ(SystemDateText(st, DATE_SHORTDATE, nullptr, LOCALE_USER_DEFAULT) + L" " +
                      SystemTimeText(st, TIME_NOSECONDS, nullptr, LOCALE_USER_DEFAULT),
                  text);
    }
    // Now, by the zone rule of the day: the same local time as the
    // system's conversion of the broken-down time.
    const uint64_t now = CqzTime::GetCurrentTime64();
    SYSTEMTIME utcSt = SystemTimeOf(now), localSt;
    ASSERT_TRUE(::SystemTimeToTzSpecificLocalTime(nullptr, &utcSt, &localSt));
    std::wstring text;
    ASSERT_TRUE(CqzTime::FormatDateTime(now, 2, true, text));
    FILETIME localFt;
    ASSERT_TRUE(::SystemTimeToFileTime(&localSt, &localFt));
    EXPECT_EQ(timemodel::InvariantText(timetest::FromFileTime(localFt), 2), text);
}

// Answers a local value of exactly 0 (the conversions' failure answer).
BOOL WINAPI ZeroFileTimeToLocalFileTime(const FILETIME*, FILETIME* out)
{
    *out = FILETIME{0, 0};
    return TRUE;
}

TEST(TimeText, LocalFormsConvertFirst)
{
    qztest::IatHook hook("kernel32.dll", "FileTimeToLocalFileTime",
                         reinterpret_cast<void*>(&timetest::ShiftedFileTimeToLocalFileTime));
    ASSERT_TRUE(hook.Installed());
    std::wstring text;
    ASSERT_TRUE(CqzTime::FormatDateTime(kSample, 0, true, text));
    EXPECT_EQ(L"05-Mar-2024 15:37", text);
    std::string utf8;
    ASSERT_TRUE(CqzTime::FormatDateTime(kSample, 2, true, utf8));
    EXPECT_EQ("05-Mar-2024 15:37:09.045", utf8);
    ASSERT_TRUE(CqzTime::FormatLocalDateTime(kSample, text));
    const SYSTEMTIME st = SystemTimeOf(kSample + timetest::kLocalShift);
    EXPECT_EQ(SystemDateText(st, DATE_SHORTDATE, nullptr, LOCALE_USER_DEFAULT) + L" " +
                  SystemTimeText(st, TIME_NOSECONDS, nullptr, LOCALE_USER_DEFAULT),
              text);
    // The plain forms take the value as it is.
    ASSERT_TRUE(CqzTime::FormatDateTime(kSample, 0, text));
    EXPECT_EQ(L"05-Mar-2024 14:07", text);
}

// Every text operation on one value; each answers whether it succeeded and
// must leave its out text as it was when it did not.
struct TextOperation
{
    const char* name;
    bool local; // converts the value to local time first
    bool (*call)(ULONGLONG time64, std::wstring& text);
};

bool CallUtf8(bool (*call)(ULONGLONG, std::string&), ULONGLONG time64, std::wstring& text)
{
    std::string utf8 = "untouched";
    const bool ok = call(time64, utf8);
    if (utf8 != "untouched")
        text = L"changed";
    return ok;
}

const TextOperation kTextOperations[] = {
    {"FormatTime", false, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatTime(t, 0, false, L"HH:mm", s); }},
    {"FormatTime user", false,
     [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatTime(t, 0, true, nullptr, s); }},
    {"FormatDate", false, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatDate(t, false, L"dd", s); }},
    {"FormatDate user", false, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatDate(t, true, nullptr, s); }},
    {"FormatDateInvariant", false, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatDateInvariant(t, s); }},
    {"FormatDateTime 0", false, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatDateTime(t, 0, s); }},
    {"FormatDateTime 1", false, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatDateTime(t, 1, s); }},
    {"FormatDateTime 2", false, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatDateTime(t, 2, s); }},
    {"FormatDateTime local", true, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatDateTime(t, 0, true, s); }},
    {"FormatDateTime UTF-8", false,
     [](ULONGLONG t, std::wstring& s)
     { return CallUtf8([](ULONGLONG v, std::string& u) { return CqzTime::FormatDateTime(v, 2, u); }, t, s); }},
    {"FormatDateTime local UTF-8", true,
     [](ULONGLONG t, std::wstring& s)
     { return CallUtf8([](ULONGLONG v, std::string& u) { return CqzTime::FormatDateTime(v, 1, true, u); }, t, s); }},
    {"FormatLocalDateTime", true, [](ULONGLONG t, std::wstring& s) { return CqzTime::FormatLocalDateTime(t, s); }},
};

TEST(TimeText, ConvertedZeroFailsEveryTextOperation)
{
    struct Source
    {
        const char* name;
        ULONGLONG value;
    };
    const Source sources[] = {
        {"OLE date beyond the range", CqzTime::OleDateToTime64(2958466.0)},
        {"OLE date before 1601", CqzTime::OleDateToTime64(-200000.0)},
        {"Unix time of 1601", CqzTime::UnixTimeToTime64(-11644473600LL)},
        {"plain 0", 0},
    };
    for (const Source& source : sources)
    {
        ASSERT_EQ(0u, source.value) << source.name;
        for (const TextOperation& op : kTextOperations)
        {
            SCOPED_TRACE(std::string(source.name) + ", " + op.name);
            qztest::TraceCapture capture;
            std::wstring text = kUntouched;
            EXPECT_FALSE(op.call(source.value, text));
            EXPECT_EQ(kUntouched, text);
            EXPECT_EQ(qztest::TraceEntries{TimeError(kZeroLine)}, capture.Entries());
        }
    }
}

TEST(TimeText, LocalZeroFailsTheLocalForms)
{
    qztest::IatHook hook("kernel32.dll", "FileTimeToLocalFileTime",
                         reinterpret_cast<void*>(&ZeroFileTimeToLocalFileTime));
    ASSERT_TRUE(hook.Installed());
    for (const TextOperation& op : kTextOperations)
    {
        SCOPED_TRACE(op.name);
        std::wstring text = kUntouched;
        EXPECT_EQ(!op.local, op.call(kSample, text));
        if (op.local)
        {
            EXPECT_EQ(kUntouched, text);
        }
    }
}

TEST(TimeText, UnconvertibleValueFailsWithTheConversionLine)
{
    const uint64_t value = 0xFFFFFFFFFFFFFFFFULL;
    for (const TextOperation& op : kTextOperations)
    {
        SCOPED_TRACE(op.name);
        // The local forms name the local value (the same one in a UTC zone).
        const uint64_t shown = op.local ? SystemLocal(value) : value;
        qztest::TraceCapture capture;
        std::wstring text = kUntouched;
        EXPECT_FALSE(op.call(value, text));
        EXPECT_EQ(kUntouched, text);
        EXPECT_EQ(qztest::TraceEntries{TimeError("ERROR: FileTimeToSystemTime(" +
                                                 std::to_string(static_cast<LONGLONG>(shown)) + ") failed")},
                  capture.Entries());
    }
}

// The seams below make the formatting calls fail as Wine's do not: the
// sizing call (no buffer) or the filling call (a buffer).
bool g_failSizing = false;
DWORD g_formatError = 0;
// The system's functions, called through the hooks' saved originals: this
// executable's own import slots lead back to the hooks.
using FormatFunction = int(WINAPI*)(LCID, DWORD, const SYSTEMTIME*, LPCWSTR, LPWSTR, int);
FormatFunction g_realGetDateFormatW = nullptr;
FormatFunction g_realGetTimeFormatW = nullptr;

// One replacement for either function: fails the chosen call, passes the
// other on to the system's function saved in *real.
template <FormatFunction* real>
int WINAPI FailingFormat(LCID locale, DWORD flags, const SYSTEMTIME* st, LPCWSTR format, LPWSTR buffer, int chars)
{
    if ((buffer == nullptr) == g_failSizing)
    {
        ::SetLastError(g_formatError);
        return 0;
    }
    return (*real)(locale, flags, st, format, buffer, chars);
}

TEST(TimeText, FormattingFailureLines)
{
    qztest::IatHook date("kernel32.dll", "GetDateFormatW",
                         reinterpret_cast<void*>(&FailingFormat<&g_realGetDateFormatW>));
    qztest::IatHook time("kernel32.dll", "GetTimeFormatW",
                         reinterpret_cast<void*>(&FailingFormat<&g_realGetTimeFormatW>));
    ASSERT_TRUE(date.Installed());
    ASSERT_TRUE(time.Installed());
    g_realGetDateFormatW = date.OriginalAs<FormatFunction>();
    g_realGetTimeFormatW = time.OriginalAs<FormatFunction>();
    struct Row
    {
        const char* name;
        bool sizing;
        DWORD error;
        bool (*call)(std::wstring& text);
        const char* line;
    };
    const Row rows[] = {
        {"date sizing, format", true, 1004,
         [](std::wstring& s) { return CqzTime::FormatDate(kSample, false, L"dd-MMM-yyyy", s); },
         "ERROR: Cannot get buffer length. GetDateFormat(133541212290450000, dd-MMM-yyyy, 0) failed. LastError=1004"},
        {"date sizing, no format", true, 87,
         [](std::wstring& s) { return CqzTime::FormatDate(kSample, true, nullptr, s); },
         "ERROR: Cannot get buffer length. GetDateFormat(133541212290450000, NULL, 1) failed. LastError=87"},
        {"date filling", false, 122, [](std::wstring& s) { return CqzTime::FormatDateInvariant(kSample, s); },
         "ERROR: GetDateFormat(133541212290450000, dd-MMM-yyyy, 0) failed. LastError=122"},
        {"date filling, no format", false, 122,
         [](std::wstring& s) { return CqzTime::FormatDate(kSample, false, nullptr, s); },
         "ERROR: GetDateFormat(133541212290450000, NULL, 1) failed. LastError=122"},
        {"time sizing, format", true, 1004,
         [](std::wstring& s) { return CqzTime::FormatTime(kSample, 0, false, L"HH:mm", s); },
         "ERROR: Cannot get buffer length. GetTimeFormat(133541212290450000, HH:mm) failed."},
        {"time sizing, no format", true, 1004,
         [](std::wstring& s) { return CqzTime::FormatTime(kSample, TIME_NOSECONDS, true, nullptr, s); },
         "ERROR: Cannot get buffer length. GetTimeFormat(133541212290450000, NULL) failed."},
        {"time filling", false, 122, [](std::wstring& s) { return CqzTime::FormatTime(kSample, 0, false, L"HH", s); },
         "ERROR: GetTimeFormat(133541212290450000, HH) failed. LastError=122"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        g_failSizing = row.sizing;
        g_formatError = row.error;
        qztest::TraceCapture capture;
        std::wstring text = kUntouched;
        EXPECT_FALSE(row.call(text));
        EXPECT_EQ(kUntouched, text);
        EXPECT_EQ(qztest::TraceEntries{TimeError(row.line)}, capture.Entries());
    }
}

TEST(TimeText, CompositeFormsStopAtTheFirstFailure)
{
    qztest::IatHook time("kernel32.dll", "GetTimeFormatW",
                         reinterpret_cast<void*>(&FailingFormat<&g_realGetTimeFormatW>));
    ASSERT_TRUE(time.Installed());
    g_realGetTimeFormatW = time.OriginalAs<FormatFunction>();
    g_failSizing = false;
    g_formatError = 122;
    qztest::TraceCapture capture;
    std::wstring text = kUntouched;
    EXPECT_FALSE(CqzTime::FormatDateTime(kSample, 1, text));
    std::string utf8 = "untouched";
    EXPECT_FALSE(CqzTime::FormatDateTime(kSample, 0, true, utf8));
    EXPECT_FALSE(CqzTime::FormatLocalDateTime(kSample, text));
    EXPECT_EQ(kUntouched, text);
    EXPECT_EQ("untouched", utf8);
    EXPECT_EQ(
        (qztest::TraceEntries{TimeError("ERROR: GetTimeFormat(133541212290450000, HH:mm:ss) failed. LastError=122"),
                              TimeError("ERROR: GetTimeFormat(133541212290450000, HH:mm) failed. LastError=122"),
                              TimeError("ERROR: GetTimeFormat(133541212290450000, NULL) failed. LastError=122")}),
        capture.Entries());
}

TEST(TimeText, RealSizingFailureOfGetTimeFormat)
{
    // Wine refuses unknown flags (1004) already when asked for the length.
    qztest::TraceCapture capture;
    std::wstring text = kUntouched;
    EXPECT_FALSE(CqzTime::FormatTime(kSample, 0x80000000, false, L"HH", text));
    EXPECT_EQ(kUntouched, text);
    EXPECT_EQ(qztest::TraceEntries{TimeError(
                  "ERROR: Cannot get buffer length. GetTimeFormat(133541212290450000, HH) failed.")},
              capture.Entries());
}

TEST(TimeDuration, Table)
{
    const LONGLONG ms = 10000, s = 10000000, minute = 60 * s, hour = 60 * minute, day = 24 * hour;
    struct Row
    {
        const char* name;
        const wchar_t* before;
        LONGLONG duration;
        const wchar_t* text;
    };
    const Row rows[] = {
        {"-90 s", L"", -90 * s, L"1 minute 30 seconds"},
        {"5.25 s", L"", 5 * s + 250 * ms, L"5 seconds 250 milliseconds"},
        {"7 us", L"", 70, L"7 microseconds"},
        {"0", L"", 0, L"0 microseconds"},
        {"1 day 2 hours 30 s", L"", day + 2 * hour + 30 * s, L"1 day 2 hours 30 seconds"},
        {"90.5 s", L"", 90 * s + 500 * ms, L"1 minute 30 seconds"},
        {"singulars", L"", day + hour + minute + s, L"1 day 1 hour 1 minute 1 second"},
        {"plurals", L"", 2 * day + 3 * hour + 4 * minute + 5 * s, L"2 days 3 hours 4 minutes 5 seconds"},
        {"1 ms", L"", ms, L"1 millisecond"},
        {"1 ms and microseconds", L"", ms + 5, L"1 millisecond"},
        {"999 ms", L"", 999 * ms + 9999, L"999 milliseconds"},
        {"1 hour 500 ms: no milliseconds", L"", hour + 500 * ms, L"1 hour"},
        {"1 day 1 ms: no milliseconds", L"", day + ms, L"1 day"},
        {"1 minute 1 ms: no milliseconds", L"", minute + ms, L"1 minute"},
        {"59 s 1 ms", L"", 59 * s + ms, L"59 seconds 1 millisecond"},
        {"0.9 us", L"", 9, L"0 microseconds"},
        {"1.9 us", L"", 19, L"1 microseconds"},
        {"negative 7 us", L"", -70, L"7 microseconds"},
        {"largest", L"", std::numeric_limits<LONGLONG>::max(), L"10675199 days 2 hours 48 minutes 5 seconds"},
        {"most negative", L"", std::numeric_limits<LONGLONG>::min(), L"10675199 days 2 hours 48 minutes 5 seconds"},
        {"appended, days follow directly", L"Took", 2 * day + s, L"Took2 days 1 second"},
        {"appended, a blank before hours", L"Took", 90 * s, L"Took 1 minute 30 seconds"},
        {"appended, milliseconds", L"Took", 250 * ms, L"Took 250 milliseconds"},
        {"appended, no microseconds", L"Took", 70, L"Took"},
        {"appended, zero", L"Took", 0, L"Took"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        std::wstring text = row.before;
        EXPECT_TRUE(CqzTime::FormatDuration(row.duration, text));
        EXPECT_EQ(row.text, text);
    }
}

TEST(TimeDuration, WritesNoTraceLine)
{
    qztest::TraceCapture capture;
    std::wstring text;
    EXPECT_TRUE(CqzTime::FormatDuration(std::numeric_limits<LONGLONG>::min(), text));
    EXPECT_TRUE(capture.Entries().empty());
}

} // namespace
