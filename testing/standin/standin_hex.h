// Hex digits as the stand-ins' files hold them, for both sides: the recorder
// linked into the stand-in libraries and the suites' reader. Inline and
// without includes, so that the recorder stays free of the C++ runtime.
#pragma once

namespace qzstandin
{

// Value of one hex digit (either letter case); -1 for any other character.
inline int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace qzstandin
