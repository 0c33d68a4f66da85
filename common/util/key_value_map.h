// A map of wide-string keys to wide-string values that travels between
// processes and components as a flat memory block or as a SAFEARRAY of BSTR
// pairs, and that can write itself to the trace.
//
// Memory block (integers 32-bit little-endian):
//   offset 0   7 bytes  "Nu i nu", no terminator
//   offset 7   4 bytes  size: the buffer's capacity less 7
//   offset 11  4 bytes  number of entries
//   offset 15  ...      per entry: key field, then value field
// A field is a byte count L and L bytes: L = 0 for the empty string (no
// bytes follow), otherwise the UTF-16LE characters and one 16-bit zero
// (L = 2n + 2). A reader ends a text at its first 16-bit zero, so a string
// with an embedded zero comes back cut at it.
//
// SAFEARRAY form: one dimension of VT_BSTR, lower bound 0, two elements per
// entry in map order (key at 2k, value at 2k + 1).
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <map>
#include <string>

class CqzKeyValueMap
{
public:
    using Map = std::map<std::wstring, std::wstring>;

    // Keys compare exactly (case and all); setting an existing key replaces
    // its value. False only when memory runs out (the map is then unchanged).
    bool SetAt(const std::wstring& key, const std::wstring& value);
    // False when the key is absent (value untouched).
    bool Lookup(const std::wstring& key, std::wstring& value) const;
    // True when the key was present.
    bool RemoveKey(const std::wstring& key);
    void RemoveAll() { m_entries.clear(); }
    size_t GetCount() const { return m_entries.size(); }
    bool IsEmpty() const { return m_entries.empty(); }
    // The entries in the map's iteration order, which carries no meaning.
    Map::const_iterator begin() const { return m_entries.begin(); }
    Map::const_iterator end() const { return m_entries.end(); }

    // Bytes the memory block of the map needs: 15, plus 4 + L for every key
    // and every value. MAXDWORD when it needs that much or more, which no
    // block can describe.
    DWORD GetSerializedSize() const;

    // Writes the memory block into buffer. cbBuffer: its capacity in, the
    // bytes left over out (also after a failure, counted where writing
    // stopped). False when the capacity is below 11, when it cannot hold the
    // count field (11 to 14: the magic and size field are written, nothing
    // is traced), or when a key or value field does not fit whole; what was
    // written stays in the buffer. A null buffer writes nothing and fails.
    bool ToMemoryBlock(BYTE* buffer, DWORD& cbBuffer) const;

    // Adds the entries of the block at block to the map without emptying it
    // first; a key the map already holds takes the block's value. Reads only
    // the cbBlock bytes it is given, whatever the block's fields claim, and
    // within them only what the size field covers. False for a null block, a
    // block that does not start with the magic, a size field below 4 and a
    // block cut short before a field ends (fields are untrusted); pairs added
    // before the failure stay in the map.
    bool FromMemoryBlock(const BYTE* block, DWORD cbBlock);

    // Writes the entries into the array. A null array is created as the
    // SAFEARRAY form and comes back locked once: unlock it (SafeArrayUnlock)
    // before SafeArrayDestroy; the caller owns it. An array passed in keeps
    // its own size and lower bound: position 2k (from the lower bound) takes
    // the k-th key, 2k + 1 its value, positions beyond the array are skipped,
    // and a BSTR already there is freed. Throws std::bad_alloc when memory
    // runs out (a created array is then destroyed and array stays null) and
    // std::invalid_argument for an array passed in that is not one dimension
    // of VT_BSTR. No exception may leave the caller's module.
    void ToSafeArray(SAFEARRAY*& array) const;

    // Adds the pairs of the array (positions 2k and 2k + 1 from its lower
    // bound) to the map; a null key is skipped with a trace line, a trailing
    // unpaired element is ignored. A null array adds nothing. True whenever
    // it returns; throws std::invalid_argument for an array that is not one
    // dimension of VT_BSTR or whose bounds its descriptor rejects, and
    // std::bad_alloc when memory runs out (pairs added before stay).
    bool FromSafeArray(SAFEARRAY* array);

    // Traces the entries at level INFO.
    void DumpToTrace() const;

    // True when both maps hold the same keys (exact comparison) with values
    // that are equal without regard to case.
    bool IsEqual(const CqzKeyValueMap& other) const;

private:
    Map m_entries;
};
