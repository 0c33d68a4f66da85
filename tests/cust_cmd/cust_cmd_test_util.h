// Byte helpers shared by the command-record suites.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/cust_cmd/cust_cmd.h"

namespace qztest
{

using Bytes = std::vector<BYTE>;

inline std::string Hex(const BYTE* data, size_t size)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < size; ++i)
    {
        std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}

inline std::string Hex(const Bytes& bytes)
{
    return Hex(bytes.data(), bytes.size());
}

inline Bytes Le32(DWORD value)
{
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// UTF-16LE code units of the text, no terminator.
inline Bytes Utf16(const std::wstring& text)
{
    Bytes bytes;
    for (wchar_t c : text)
    {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    return bytes;
}

// The binary form of a SID string; empty when the string is not a SID.
inline Bytes SidBytes(const wchar_t* text)
{
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(text, &sid))
        return {};
    const BYTE* raw = static_cast<const BYTE*>(sid);
    Bytes bytes(raw, raw + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return bytes;
}

// The platform SID object of a SID string; unset when the string is not a SID.
inline CSid SidOf(const wchar_t* text)
{
    Bytes bytes = SidBytes(text);
    CSid sid;
    if (!bytes.empty())
        sid.LoadAccount(static_cast<PSID>(bytes.data()));
    return sid;
}

// "S-1-..." of a valid SID, "(invalid)" otherwise.
inline std::string SidText(const CSid& sid)
{
    if (!sid.IsValid())
        return "(invalid)";
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid.GetPSID(), &text))
        return "(unconvertible)";
    std::string narrow;
    for (const wchar_t* c = text; *c; ++c)
        narrow += static_cast<char>(*c);
    ::LocalFree(text);
    return narrow;
}

// A record header as the channel section holds it.
inline Bytes RecordHeader(DWORD magic, DWORD commandId, DWORD dataLen)
{
    return Cat({Le32(magic), Le32(commandId), Le32(dataLen)});
}

} // namespace qztest
