// CqzTime conversions: Unix time, OLE dates, system time and local time,
// each against the calendar model of time_model.h or a plain system oracle.
#include "common/util/util.h"

#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/time/time_model.h"
#include "tests/time/time_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace
{

using timetest::FromFileTime;
using timetest::kLocalShift;
using timetest::SystemNow;
using timetest::TimeError;
using timetest::ToFileTime;

const uint64_t kUnixEpochTime64 = 116444736000000000ULL;

TEST(TimeModel, KnownInstants)
{
    // The model itself, against instants fixed by the calendar's definition.
    EXPECT_EQ(0u, timemodel::Time64Of(1601, 1, 1));
    EXPECT_EQ(kUnixEpochTime64, timemodel::Time64Of(1970, 1, 1));
    EXPECT_EQ(94353120000000000ULL, timemodel::Time64Of(1899, 12, 30));
    EXPECT_EQ(4u, timemodel::CivilOf(kUnixEpochTime64).weekday);
    EXPECT_EQ(L"05-Mar-2024 14:07:09.045", timemodel::InvariantText(timemodel::Time64Of(2024, 3, 5, 14, 7, 9, 45), 2));
}

TEST(TimeUnix, TableAgainstModel)
{
    struct Row
    {
        const char* name;
        int64_t seconds;
        uint64_t time64;
    };
    const Row rows[] = {
        {"epoch", 0, kUnixEpochTime64},
        {"one second on", 1, kUnixEpochTime64 + 10000000},
        {"one second back", -1, kUnixEpochTime64 - 10000000},
        {"1601", -11644473600LL, 0},
        {"2024-03-05 14:07:09", 1709647629, timemodel::Time64Of(2024, 3, 5, 14, 7, 9)},
        {"2038-01-19 03:14:08", 2147483648LL, timemodel::Time64Of(2038, 1, 19, 3, 14, 8)},
        {"9999-12-31 23:59:59", 253402300799LL, timemodel::Time64Of(9999, 12, 31, 23, 59, 59)},
        {"before 1601 wraps", -11644473601LL, 0 - 10000000ULL},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.time64, timemodel::UnixToTime64(row.seconds));
        EXPECT_EQ(row.time64, CqzTime::UnixTimeToTime64(row.seconds));
        uint64_t out = 0xCCCCCCCCCCCCCCCCULL;
        CqzTime::UnixTimeToTime64(row.seconds, out);
        EXPECT_EQ(row.time64, out);
        EXPECT_EQ(row.seconds, CqzTime::Time64ToUnixTime(row.time64));
        EXPECT_EQ(row.seconds, CqzTime::Time64ToUnixTime(&row.time64));
    }
}

TEST(TimeUnix, DivisionTruncatesTowardZero)
{
    struct Row
    {
        const char* name;
        uint64_t time64;
        int64_t seconds;
    };
    const Row rows[] = {
        {"just before the epoch", kUnixEpochTime64 - 1, 0},
        {"0.9999999 s before", kUnixEpochTime64 - 9999999, 0},
        {"1.0000001 s before", kUnixEpochTime64 - 10000001, -1},
        {"just after the epoch", kUnixEpochTime64 + 1, 0},
        {"1.9999999 s after", kUnixEpochTime64 + 19999999, 1},
        {"Time64 0", 0, -11644473600LL},
        {"Time64 1", 1, -11644473599LL},
        {"all ones (signed -1)", 0xFFFFFFFFFFFFFFFFULL, -11644473600LL},
        {"largest signed", 0x7FFFFFFFFFFFFFFFULL, 910692730085LL},
        {"top bit alone", 0x8000000000000000ULL, 910692730085LL},
        {"largest signed difference", 0x7FFFFFFFFFFFFFFFULL + kUnixEpochTime64, 922337203685LL},
        {"smallest signed difference", 0x8000000000000000ULL + kUnixEpochTime64, -922337203685LL},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.seconds, timemodel::Time64ToUnix(row.time64));
        EXPECT_EQ(row.seconds, CqzTime::Time64ToUnixTime(row.time64));
        EXPECT_EQ(row.seconds, CqzTime::Time64ToUnixTime(&row.time64));
    }
}

TEST(TimeUnix, NullPointerAnswersTheEpochWithALine)
{
    qztest::TraceCapture capture;
    EXPECT_EQ(0, CqzTime::Time64ToUnixTime(static_cast<const ULONGLONG*>(nullptr)));
    EXPECT_EQ(qztest::TraceEntries{TimeError("ERROR: Time64ToUnixTime(NULL) has no value to convert")},
              capture.Entries());
}

TEST(TimeUnix, RandomRoundTrips)
{
    std::mt19937_64 random(0x5EED0712);
    // Every second whose Time64 difference fits a signed 64-bit number.
    std::uniform_int_distribution<int64_t> seconds(-922337203685LL, 922337203685LL);
    std::uniform_int_distribution<uint64_t> ticks;
    int failures = 0;
    for (int i = 0; i < 200000 && failures < 10; ++i)
    {
        const int64_t s = seconds(random);
        const uint64_t t = CqzTime::UnixTimeToTime64(s);
        if (t != timemodel::UnixToTime64(s) || CqzTime::Time64ToUnixTime(t) != s)
        {
            ADD_FAILURE() << "seconds " << s << " gave " << t;
            ++failures;
        }
        // Any Time64 back to seconds and on: the instant truncated toward the
        // epoch to a whole second.
        const uint64_t u = ticks(random);
        const int64_t back = CqzTime::Time64ToUnixTime(u);
        if (back != timemodel::Time64ToUnix(u) ||
            CqzTime::UnixTimeToTime64(back) != timemodel::UnixToTime64(timemodel::Time64ToUnix(u)))
        {
            ADD_FAILURE() << "Time64 " << u << " gave " << back;
            ++failures;
        }
    }
}

TEST(TimeNow, CurrentValuesLieBetweenTwoReadings)
{
    const uint64_t before = SystemNow();
    const uint64_t now = CqzTime::GetCurrentTime64();
    const int64_t unixNow = CqzTime::GetCurrentUnixTime();
    const uint64_t after = SystemNow();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
    EXPECT_LE(timemodel::Time64ToUnix(before), unixNow);
    EXPECT_LE(unixNow, timemodel::Time64ToUnix(after));
    EXPECT_GT(unixNow, 1700000000); // after 2023
}

TEST(TimeOle, TableAgainstModel)
{
    struct Row
    {
        const char* name;
        double date;
        uint64_t time64;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const uint64_t ms = 10000;
    const Row rows[] = {
        {"0.0", 0.0, 94353120000000000ULL},
        {"1.0", 1.0, timemodel::Time64Of(1899, 12, 31)},
        {"0.5", 0.5, timemodel::Time64Of(1899, 12, 30, 12)},
        {"-0.5 (same day as 0.5)", -0.5, timemodel::Time64Of(1899, 12, 30, 12)},
        {"-1.0", -1.0, timemodel::Time64Of(1899, 12, 29)},
        {"-1.25", -1.25, timemodel::Time64Of(1899, 12, 29, 6)},
        {"-1.75", -1.75, timemodel::Time64Of(1899, 12, 29, 18)},
        {"-2.999999", -2.999999, timemodel::Time64Of(1899, 12, 28, 23, 59, 59, 914)},
        {"2024-03-05 14:07:09", 45356.0 + 50829.0 / 86400.0, timemodel::Time64Of(2024, 3, 5, 14, 7, 9)},
        {"0.6 ms rounds up", 0.6 / 86400000.0, timemodel::Time64Of(1899, 12, 30) + ms},
        {"0.4 ms rounds down", 0.4 / 86400000.0, timemodel::Time64Of(1899, 12, 30)},
        {"-0.6 ms: 1 ms into the day", -0.6 / 86400000.0, timemodel::Time64Of(1899, 12, 30) + ms},
        {"-0.4 ms: the day's start", -0.4 / 86400000.0, timemodel::Time64Of(1899, 12, 30)},
        {"-1.6 ms", -1.6 / 86400000.0, timemodel::Time64Of(1899, 12, 30) + 2 * ms},
        {"highest day", 2958465.0, timemodel::Time64Of(9999, 12, 31)},
        {"last ms of 9999", 2958465.0 + 86399999.0 / 86400000.0, timemodel::Time64Of(9999, 12, 31, 23, 59, 59, 999)},
        {"upper bound", 2958466.0, 0},
        {"beyond upper bound", 3000000.0, 0},
        {"lower bound", -657435.0, 0},
        {"beyond lower bound", -700000.0, 0},
        {"inside lower bound, before 1601", -657434.5, 0},
        {"1601-01-01 itself", -109205.0, 0},
        {"1601-01-02 12:00", -109204.5, timemodel::Time64Of(1601, 1, 2, 12)},
        {"1601-01-01 23:59:59.999", -(109205.0 + 86399999.0 / 86400000.0),
         timemodel::Time64Of(1601, 1, 1, 23, 59, 59, 999)},
        {"NaN", nan, 0},
        {"+inf", inf, 0},
        {"-inf", -inf, 0},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.time64, timemodel::OleToTime64(row.date));
        EXPECT_EQ(row.time64, CqzTime::OleDateToTime64(row.date));
    }
}

TEST(TimeOle, RandomDatesAgainstModel)
{
    std::mt19937_64 random(0x01E0DA7E);
    std::uniform_real_distribution<double> dates(-700000.0, 3000000.0);
    std::uniform_real_distribution<double> nearEpoch(-5.0, 5.0);
    int failures = 0;
    for (int i = 0; i < 100000 && failures < 10; ++i)
    {
        const double date = i % 2 ? dates(random) : nearEpoch(random);
        const uint64_t expected = timemodel::OleToTime64(date);
        const uint64_t actual = CqzTime::OleDateToTime64(date);
        if (actual != expected)
        {
            ADD_FAILURE() << "date " << date << ": " << actual << " instead of " << expected;
            ++failures;
        }
    }
}

TEST(TimeSystemTime, RandomValuesAgainstModel)
{
    std::mt19937_64 random(0x5757E111);
    // FileTimeToSystemTime takes values up to the largest signed one.
    std::uniform_int_distribution<uint64_t> ticks(0, 0x7FFFFFFFFFFFFFFFULL);
    int failures = 0;
    for (int i = 0; i < 20000 && failures < 10; ++i)
    {
        const uint64_t t = i == 0 ? 0x7FFFFFFFFFFFFFFFULL : ticks(random);
        const timemodel::Civil c = timemodel::CivilOf(t);
        SYSTEMTIME st;
        ULONGLONG back = 0;
        const bool converted = CqzTime::Time64ToSystemTime(t, st);
        const bool same = converted && st.wYear == c.year && st.wMonth == c.month && st.wDay == c.day &&
                          st.wHour == c.hour && st.wMinute == c.minute && st.wSecond == c.second &&
                          st.wMilliseconds == c.ms && st.wDayOfWeek == c.weekday;
        // Back to Time64: the instant to the millisecond.
        if (!same || !CqzTime::SystemTimeToTime64(st, back) || back != t - t % 10000)
        {
            ADD_FAILURE() << "Time64 " << t << " gave " << st.wYear << "-" << st.wMonth << "-" << st.wDay << " "
                          << st.wHour << ":" << st.wMinute << ":" << st.wSecond << "." << st.wMilliseconds << " back "
                          << back;
            ++failures;
        }
    }
}

TEST(TimeSystemTime, FailureLines)
{
    {
        qztest::TraceCapture capture;
        SYSTEMTIME st = {};
        st.wYear = 7;
        EXPECT_FALSE(CqzTime::Time64ToSystemTime(0x8000000000000000ULL, st));
        EXPECT_EQ(7, st.wYear) << "out value kept";
        EXPECT_EQ(qztest::TraceEntries{TimeError("ERROR: FileTimeToSystemTime(-9223372036854775808) failed")},
                  capture.Entries());
    }
    {
        qztest::TraceCapture capture;
        SYSTEMTIME st = {};
        st.wYear = 2024;
        st.wMonth = 13;
        st.wDay = 5;
        st.wHour = 14;
        st.wMinute = 7;
        st.wSecond = 9;
        st.wMilliseconds = 45;
        ULONGLONG out = 99;
        EXPECT_FALSE(CqzTime::SystemTimeToTime64(st, out));
        EXPECT_EQ(99u, out) << "out value kept";
        EXPECT_EQ(qztest::TraceEntries{TimeError("ERROR: SystemTimeToFileTime(2024.13.5 14:7:9.45) failed")},
                  capture.Entries());
    }
}

// Wine's conversions between local and UTC time never fail; this seam does.
BOOL WINAPI FailingFileTimeConversion(const FILETIME*, FILETIME*)
{
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

TEST(TimeLocal, ConversionsMatchTheSystemOracle)
{
    const uint64_t values[] = {1, kUnixEpochTime64, timemodel::Time64Of(2024, 3, 5, 14, 7, 9, 45),
                               timemodel::Time64Of(2024, 7, 1, 12), SystemNow()};
    for (const uint64_t t : values)
    {
        SCOPED_TRACE(t);
        const FILETIME in = ToFileTime(t);
        FILETIME local, utc;
        ASSERT_TRUE(::FileTimeToLocalFileTime(&in, &local));
        ASSERT_TRUE(::LocalFileTimeToFileTime(&in, &utc));
        EXPECT_EQ(FromFileTime(local), CqzTime::UtcToLocal(t));
        EXPECT_EQ(FromFileTime(utc), CqzTime::LocalToUtc(t));
    }
}

TEST(TimeLocal, EachConversionGoesItsOwnWay)
{
    qztest::IatHook toLocal("kernel32.dll", "FileTimeToLocalFileTime",
                            reinterpret_cast<void*>(&timetest::ShiftedFileTimeToLocalFileTime));
    qztest::IatHook toUtc("kernel32.dll", "LocalFileTimeToFileTime",
                          reinterpret_cast<void*>(&timetest::ShiftedLocalFileTimeToFileTime));
    ASSERT_TRUE(toLocal.Installed());
    ASSERT_TRUE(toUtc.Installed());
    const uint64_t t = timemodel::Time64Of(2024, 3, 5, 14, 7, 9);
    EXPECT_EQ(t + kLocalShift, CqzTime::UtcToLocal(t));
    EXPECT_EQ(t - kLocalShift, CqzTime::LocalToUtc(t));
}

TEST(TimeLocal, FailureLines)
{
    qztest::IatHook toLocal("kernel32.dll", "FileTimeToLocalFileTime",
                            reinterpret_cast<void*>(&FailingFileTimeConversion));
    qztest::IatHook toUtc("kernel32.dll", "LocalFileTimeToFileTime",
                          reinterpret_cast<void*>(&FailingFileTimeConversion));
    ASSERT_TRUE(toLocal.Installed());
    ASSERT_TRUE(toUtc.Installed());
    qztest::TraceCapture capture;
    EXPECT_EQ(0u, CqzTime::UtcToLocal(133541212290000000ULL));
    EXPECT_EQ(0u, CqzTime::LocalToUtc(0xFFFFFFFFFFFFFFFFULL));
    EXPECT_EQ((qztest::TraceEntries{TimeError("ERROR: FileTimeToLocalFileTime(133541212290000000) failed"),
                                    TimeError("ERROR: LocalFileTimeToFileTime(-1) failed. LastError=87")}),
              capture.Entries());
}

} // namespace
