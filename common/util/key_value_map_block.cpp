// CqzKeyValueMap: the flat memory block.
#include "common/util/key_value_map.h"

#include "trace/trace.h"

#include <cstring>
#include <new>
#include <utility>

namespace
{

constexpr char kMagic[] = {'N', 'u', ' ', 'i', ' ', 'n', 'u'};
constexpr DWORD kMagicSize = sizeof(kMagic);
constexpr DWORD kHeaderSize = kMagicSize + 4 + 4; // magic, size, count
// The size field counts itself and the count field besides the entries.
constexpr DWORD kSizeAndCountSize = 8;

// L of a string field, wide enough for any string the process can hold.
ULONGLONG FieldLength(const std::wstring& text)
{
    return text.empty() ? 0 : 2 * static_cast<ULONGLONG>(text.size()) + 2;
}

void PutDword(BYTE* at, DWORD value)
{
    at[0] = static_cast<BYTE>(value);
    at[1] = static_cast<BYTE>(value >> 8);
    at[2] = static_cast<BYTE>(value >> 16);
    at[3] = static_cast<BYTE>(value >> 24);
}

DWORD GetDword(const BYTE* at)
{
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<DWORD>(at[3]) << 24);
}

// Writes one string field at pos when its 4 + L bytes fit in remaining;
// false (nothing written) when they do not.
bool PutField(const std::wstring& text, BYTE*& pos, DWORD& remaining)
{
    const ULONGLONG length = FieldLength(text);
    if (remaining < 4 || length > remaining - 4)
        return false;
    PutDword(pos, static_cast<DWORD>(length));
    pos += 4;
    for (wchar_t c : text)
    {
        *pos++ = static_cast<BYTE>(c);
        *pos++ = static_cast<BYTE>(c >> 8);
    }
    if (length)
    {
        *pos++ = 0;
        *pos++ = 0;
    }
    remaining -= static_cast<DWORD>(4 + length);
    return true;
}

// Reads one string field from the remaining bytes at pos; false (pos and
// remaining untouched) when its count or its bytes run past them.
bool GetField(const BYTE*& pos, DWORD& remaining, std::wstring& text)
{
    if (remaining < 4)
        return false;
    const DWORD length = GetDword(pos);
    if (length > remaining - 4)
        return false;
    const BYTE* bytes = pos + 4;
    DWORD chars = 0;
    while (chars < length / 2 && (bytes[2 * chars] | bytes[2 * chars + 1]) != 0)
        ++chars;
    text.resize(chars);
    for (DWORD i = 0; i < chars; ++i)
        text[i] = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    pos += 4 + length;
    remaining -= 4 + length;
    return true;
}

} // namespace

DWORD CqzKeyValueMap::GetSerializedSize() const
{
    ULONGLONG size = kHeaderSize;
    for (const Map::value_type& entry : m_entries)
    {
        size += 4 + FieldLength(entry.first) + 4 + FieldLength(entry.second);
        if (size >= MAXDWORD)
            return MAXDWORD;
    }
    return static_cast<DWORD>(size);
}

bool CqzKeyValueMap::ToMemoryBlock(BYTE* buffer, DWORD& cbBuffer) const
{
    QZ_STACK_NAME("ToMemoryBlock", nullptr);
    if (cbBuffer < kMagicSize + 4)
    {
        QZTRACE(QZT_ERROR, nullptr, "Insufficient memory size to start serializing: " << cbBuffer);
        return false;
    }
    if (buffer == nullptr)
    {
        QZTRACE(QZT_ERROR, nullptr, "ERROR: Pointer is NULL");
        return false;
    }
    BYTE* pos = buffer;
    std::memcpy(pos, kMagic, kMagicSize);
    pos += kMagicSize;
    cbBuffer -= kMagicSize;
    PutDword(pos, cbBuffer);
    pos += 4;
    cbBuffer -= 4;
    if (cbBuffer < 4)
        return false;
    PutDword(pos, static_cast<DWORD>(m_entries.size()));
    pos += 4;
    cbBuffer -= 4;
    for (const Map::value_type& entry : m_entries)
    {
        if (!PutField(entry.first, pos, cbBuffer) || !PutField(entry.second, pos, cbBuffer))
        {
            QZTRACE(QZT_ERROR, nullptr, "Insufficient memory size to serialize value " << entry.first);
            return false;
        }
    }
    return true;
}

bool CqzKeyValueMap::FromMemoryBlock(const BYTE* block, DWORD cbBlock)
{
    QZ_STACK_NAME("FromMemoryBlock", nullptr);
    if (block == nullptr)
    {
        QZTRACE(QZT_ERROR, nullptr, "ERROR: Pointer is NULL");
        return false;
    }
    if (cbBlock < kMagicSize || std::memcmp(block, kMagic, kMagicSize) != 0)
    {
        QZTRACE(QZT_ERROR, nullptr, "Magic word difference ");
        return false;
    }
    if (cbBlock < kMagicSize + 4)
        return false;
    const DWORD sizeField = GetDword(block + kMagicSize);
    if (sizeField < 4 || cbBlock < kHeaderSize)
        return false;
    // The entries end where the size field says or where the bytes given
    // end, whichever comes first.
    DWORD remaining = sizeField > kSizeAndCountSize ? sizeField - kSizeAndCountSize : 0;
    if (remaining > cbBlock - kHeaderSize)
        remaining = cbBlock - kHeaderSize;
    const DWORD count = GetDword(block + kMagicSize + 4);
    const BYTE* pos = block + kHeaderSize;
    try
    {
        for (DWORD i = 0; i < count; ++i)
        {
            std::wstring key;
            std::wstring value;
            if (!GetField(pos, remaining, key) || !GetField(pos, remaining, value))
                return false;
            m_entries[std::move(key)] = std::move(value);
        }
    }
    catch (const std::bad_alloc&)
    {
        QZTRACE(QZT_ERROR, nullptr, "ERROR: Not enough memory for the entries");
        return false;
    }
    return true;
}
