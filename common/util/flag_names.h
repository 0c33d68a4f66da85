// Texts of flag words: the names of the set bits joined by "|", in table
// order, then the bits no entry names as one hexadecimal number.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

struct CqzFlagName
{
    DWORD bit;
    const wchar_t* name;
};

// Empty for 0; callers give 0 their own text. restFormat is a wide printf
// format for the unnamed bits ("0x%.8X", "0x%.2X").
std::wstring CqzJoinFlagNames(DWORD value, const CqzFlagName* names, size_t count,
                              const wchar_t* restFormat = L"0x%.8X");

template <size_t N>
std::wstring CqzJoinFlagNames(DWORD value, const CqzFlagName (&names)[N], const wchar_t* restFormat = L"0x%.8X")
{
    return CqzJoinFlagNames(value, names, N, restFormat);
}
