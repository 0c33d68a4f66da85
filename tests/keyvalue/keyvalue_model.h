// The key/value memory block written out from its format, independently of
// the map's code: the writer the tests compare byte images with and the
// reader the randomized blocks are checked against.
//
//   0   "Nu i nu" (7 bytes, no terminator)
//   7   size: capacity - 7, 32-bit little-endian
//   11  entry count, 32-bit little-endian
//   15  per entry: key field, value field
// Field: byte count L (32-bit LE), then L bytes. L = 0 for "", else the
// UTF-16LE code units and a 16-bit zero (2n + 2). A reader's text ends at the
// first 16-bit zero; the size field bounds the entries to (size - 8) bytes
// from offset 15.
#pragma once

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/util/key_value_map.h"

#include <gtest/gtest.h>

namespace kvtest
{

using Bytes = std::vector<BYTE>;
using Entries = std::vector<std::pair<std::wstring, std::wstring>>;
using Contents = std::map<std::wstring, std::wstring>;

const char kMagic[] = "Nu i nu";
constexpr size_t kMagicSize = 7;
constexpr size_t kHeaderSize = 15;

inline void AppendLe32(Bytes& out, DWORD value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<BYTE>(value >> shift));
}

inline DWORD ReadLe32(const Bytes& in, size_t at)
{
    DWORD value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | in[at + i];
    return value;
}

inline size_t FieldSize(const std::wstring& text)
{
    return 4 + (text.empty() ? 0 : 2 * text.size() + 2);
}

inline void AppendField(Bytes& out, const std::wstring& text)
{
    AppendLe32(out, text.empty() ? 0 : static_cast<DWORD>(2 * text.size() + 2));
    if (text.empty())
        return;
    for (wchar_t c : text)
    {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    out.push_back(0);
    out.push_back(0);
}

// The whole block of the entries, in the order given, for a buffer of the
// given capacity (the bytes after the entries are not part of the image).
inline Bytes ModelBlock(const Entries& entries, DWORD capacity)
{
    Bytes out(kMagic, kMagic + kMagicSize);
    AppendLe32(out, capacity - 7);
    AppendLe32(out, static_cast<DWORD>(entries.size()));
    for (const auto& entry : entries)
    {
        AppendField(out, entry.first);
        AppendField(out, entry.second);
    }
    return out;
}

inline size_t ModelSize(const Entries& entries)
{
    size_t size = kHeaderSize;
    for (const auto& entry : entries)
        size += FieldSize(entry.first) + FieldSize(entry.second);
    return size;
}

inline CqzKeyValueMap MapOf(const Entries& entries)
{
    CqzKeyValueMap map;
    for (const auto& entry : entries)
        if (!map.SetAt(entry.first, entry.second))
            ADD_FAILURE() << "SetAt failed";
    return map;
}

// The entries of a map in its own iteration order (the order a block takes).
inline Entries EntriesOf(const CqzKeyValueMap& map)
{
    Entries entries;
    for (const auto& entry : map)
        entries.push_back(entry);
    return entries;
}

inline Contents ContentsOf(const CqzKeyValueMap& map)
{
    return Contents(map.begin(), map.end());
}

// What reading the given bytes does to a map that holds contents: whether
// the read succeeds and what the map then holds.
struct ReadModel
{
    bool ok = false;
    Contents contents;
};

inline ReadModel ModelRead(const Bytes& in, Contents contents)
{
    ReadModel result;
    result.contents = std::move(contents);
    if (in.size() < kMagicSize || !std::equal(kMagic, kMagic + kMagicSize, in.begin()))
        return result;
    if (in.size() < 11)
        return result;
    const ULONGLONG size = ReadLe32(in, 7);
    if (size < 4 || in.size() < kHeaderSize)
        return result;
    ULONGLONG end = kHeaderSize + (size > 8 ? size - 8 : 0);
    if (end > in.size())
        end = in.size();
    const DWORD count = ReadLe32(in, 11);
    ULONGLONG at = kHeaderSize;
    auto field = [&](std::wstring& text)
    {
        if (at + 4 > end)
            return false;
        const ULONGLONG length = ReadLe32(in, static_cast<size_t>(at));
        if (at + 4 + length > end)
            return false;
        text.clear();
        for (ULONGLONG i = 0; i + 1 < length; i += 2)
        {
            const size_t p = static_cast<size_t>(at + 4 + i);
            const wchar_t c = static_cast<wchar_t>(in[p] | (in[p + 1] << 8));
            if (c == 0)
                break;
            text += c;
        }
        at += 4 + length;
        return true;
    };
    for (DWORD i = 0; i < count; ++i)
    {
        std::wstring key;
        std::wstring value;
        if (!field(key) || !field(value))
            return result;
        result.contents[key] = value;
    }
    result.ok = true;
    return result;
}

} // namespace kvtest
