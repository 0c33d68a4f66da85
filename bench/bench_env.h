// What every benchmark prints first, the Wine environment it ran in, and the
// order statistics they report.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

// The environment the Wine wrappers named (win32, wow64, win64); "unknown"
// when the program was started otherwise.
inline std::string BenchEnvironment()
{
    char value[32] = {};
    const DWORD n = ::GetEnvironmentVariableA("QZ_WINE_ENV", value, sizeof value);
    return n > 0 && n < sizeof value ? value : "unknown";
}

// The q-quantile of values, between neighbours (q = 0.5: the median); 0 for
// no values.
inline double BenchQuantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double at = q * static_cast<double>(values.size() - 1);
    const size_t low = static_cast<size_t>(at);
    const size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

inline double BenchMedian(const std::vector<double>& values)
{
    return BenchQuantile(values, 0.5);
}
