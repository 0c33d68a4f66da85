// Helpers of the time suite: file-time values, the trace entries of CqzTime
// and the import seams that shift local time.
#pragma once

#include "testing/harness/harness.h"
#include "tests/time/time_model.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace timetest
{

inline qztest::TraceEntry TimeError(const std::string& text)
{
    return qztest::TraceEntry{QZT_ERROR, "CqzTime", text};
}

inline uint64_t FromFileTime(const FILETIME& fileTime)
{
    return (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

inline FILETIME ToFileTime(uint64_t value)
{
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

inline uint64_t SystemNow()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return FromFileTime(now);
}

// Wine keeps its prefixes in UTC, where local and UTC values coincide. These
// replacements of the system's conversions (installed with qztest::IatHook)
// put local time 90 minutes ahead, so that the direction of each conversion
// shows.
const uint64_t kLocalShift = 90 * 60 * timemodel::kTicksPerSecond;

inline BOOL WINAPI ShiftedFileTimeToLocalFileTime(const FILETIME* in, FILETIME* out)
{
    *out = ToFileTime(FromFileTime(*in) + kLocalShift);
    return TRUE;
}

inline BOOL WINAPI ShiftedLocalFileTimeToFileTime(const FILETIME* in, FILETIME* out)
{
    *out = ToFileTime(FromFileTime(*in) - kLocalShift);
    return TRUE;
}

} // namespace timetest
