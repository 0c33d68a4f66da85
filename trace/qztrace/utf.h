// Text conversions of the trace library.
#pragma once

#include <cstddef>
#include <string>

namespace qztrace
{

// Encodes UTF-16 text from *pos (up to end) as UTF-8 into out, as many whole
// characters as fit in cap bytes, and advances *pos past them. An unpaired
// surrogate becomes U+FFFD. Returns the bytes written.
size_t EncodeUtf8(const wchar_t** pos, const wchar_t* end, char* out, size_t cap);

// Whole-string forms. Utf8ToWide fails on invalid UTF-8.
std::string WideToUtf8(const wchar_t* text, size_t length);
bool Utf8ToWide(const char* text, size_t length, std::wstring* out);

} // namespace qztrace
