// What every benchmark prints first: the Wine environment it ran in.
#pragma once

#include <windows.h>

#include <string>

// The environment the Wine wrappers named (win32, wow64, win64); "unknown"
// when the program was started otherwise.
inline std::string BenchEnvironment()
{
    char value[32] = {};
    const DWORD n = ::GetEnvironmentVariableA("QZ_WINE_ENV", value, sizeof value);
    return n > 0 && n < sizeof value ? value : "unknown";
}
