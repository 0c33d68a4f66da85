// Byte patterns the shared-memory suite and its child process exchange.
#pragma once

#include <windows.h>

#include <cstring>

namespace qztest
{

inline BYTE ParentPattern(DWORD offset)
{
    return static_cast<BYTE>(offset * 31 + 7);
}

inline BYTE ChildPattern(DWORD offset)
{
    return static_cast<BYTE>(~(offset * 13 + 1));
}

const BYTE kChildMarker[4] = {'Q', 'Z', 'C', 'H'};

} // namespace qztest
