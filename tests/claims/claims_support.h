// Helpers of the claims suite: a ledger of the C heap blocks the library
// allocates and frees, and builders of attribute values.
#pragma once

#include <windows.h>

#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/security/token_security_attributes.h"

namespace qzclaimstest
{

// Replaces the executable's imports of malloc, calloc, realloc and free
// (msvcrt.dll) while the object lives, and keeps the blocks allocated
// while it counts. The library's own allocations go through that table;
// the C++ runtime DLL's do not, so the ledger sees what our code allocates.
// One ledger at a time, on one thread.
class HeapLedger
{
public:
    HeapLedger();
    ~HeapLedger();
    HeapLedger(const HeapLedger&) = delete;
    HeapLedger& operator=(const HeapLedger&) = delete;

    bool Installed() const;
    // Blocks allocated since construction and not yet freed.
    size_t Live() const;
    // Allocations since construction.
    size_t Allocations() const;
    // Frees of blocks this ledger did not see allocated (double frees, or
    // frees of memory the caller owns).
    size_t ForeignFrees() const;
    // More blocks live at once than the ledger can hold.
    bool Overflowed() const;
};

// The lines Dump writes for the set, split at "\r\n" (a malformed text
// fails the running test).
std::vector<std::wstring> DumpLines(const CqzTokenSecurityAttributes& set);

// A counted string over caller text (Length in bytes, no terminator
// counted).
UNICODE_STRING Counted(const wchar_t* text);
UNICODE_STRING Counted(const wchar_t* text, size_t chars);

// The element images of the value types, as a caller hands them to
// _SetNameAndSimpleValues.
template <typename T>
std::vector<BYTE> Elements(const std::vector<T>& values)
{
    std::vector<BYTE> bytes(values.size() * sizeof(T));
    if (!bytes.empty())
        std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// A SID from its string form, owned by the vector.
std::vector<BYTE> SidBytes(const wchar_t* sidString);

} // namespace qzclaimstest
