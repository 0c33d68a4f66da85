#include "common/util/flag_names.h"

#include <cwchar>

std::wstring CqzJoinFlagNames(DWORD value, const CqzFlagName* names, size_t count, const wchar_t* restFormat)
{
    std::wstring text;
    DWORD named = 0;
    for (size_t i = 0; i < count; ++i)
    {
        named |= names[i].bit;
        if ((value & names[i].bit) == 0)
            continue;
        if (!text.empty())
            text += L'|';
        text += names[i].name;
    }
    const DWORD rest = value & ~named;
    if (rest != 0)
    {
        wchar_t hex[16] = {};
        std::swprintf(hex, sizeof(hex) / sizeof(hex[0]), restFormat, static_cast<unsigned int>(rest));
        if (!text.empty())
            text += L'|';
        text += hex;
    }
    return text;
}
