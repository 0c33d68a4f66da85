#include <windows.h>

#include "trace/qztrace/utf.h"

namespace qztrace
{

size_t EncodeUtf8(const wchar_t** pos, const wchar_t* end, char* out, size_t cap)
{
    const wchar_t* p = *pos;
    size_t used = 0;
    while (p < end && used + 4 <= cap)
    {
        // Most trace text is ASCII: copied without the checks below.
        while (p < end && used < cap && static_cast<unsigned short>(*p) < 0x80)
            out[used++] = static_cast<char>(*p++);
        if (p >= end || used + 4 > cap)
            break;
        unsigned long cp = static_cast<unsigned short>(*p++);
        if (cp >= 0xD800 && cp <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned short>(*p++) - 0xDC00);
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        if (cp < 0x80)
        {
            out[used++] = static_cast<char>(cp);
        }
        else if (cp < 0x800)
        {
            out[used++] = static_cast<char>(0xC0 | (cp >> 6));
            out[used++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        else if (cp < 0x10000)
        {
            out[used++] = static_cast<char>(0xE0 | (cp >> 12));
            out[used++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[used++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        else
        {
            out[used++] = static_cast<char>(0xF0 | (cp >> 18));
            out[used++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out[used++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[used++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    *pos = p;
    return used;
}

std::string WideToUtf8(const wchar_t* text, size_t length)
{
    std::string result;
    if (!text)
        return result;
    const wchar_t* p = text;
    const wchar_t* end = text + length;
    char chunk[256];
    while (p < end)
        result.append(chunk, EncodeUtf8(&p, end, chunk, sizeof chunk));
    return result;
}

bool Utf8ToWide(const char* text, size_t length, std::wstring* out)
{
    out->clear();
    if (!text || length > 0x7FFFFFFF)
        return false;
    if (length == 0)
        return true;
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), nullptr, 0);
    if (n <= 0)
        return false;
    out->resize(static_cast<size_t>(n));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), &(*out)[0], n) == n;
}

} // namespace qztrace
