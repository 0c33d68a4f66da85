// Line sinks for the library's reports (ACL and descriptor renderings, handle
// dumps, the token report, claims): printf-style wide formats, each line
// followed by "\r\n".
//
// Formats follow the Windows C runtime's wide printf: "%s" takes a wide
// string, "%S" a narrow one, "%I64d"/"%I64X" a 64-bit number. A line that the
// runtime cannot format is not written and the call answers false.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

class CqzTextSink
{
public:
    virtual ~CqzTextSink() = default;

    // Writes the formatted text and "\r\n". False when formatting or the
    // write failed; the sink stays usable.
    bool PrintfLine(const wchar_t* format, ...);
    // Writes the formatted text without a line break: a label continued by
    // the next line's text.
    bool Printf(const wchar_t* format, ...);

    bool VPrintf(bool lineBreak, const wchar_t* format, va_list args);

protected:
    // Writes chars UTF-16 code units. Implementations write all or nothing.
    virtual bool Write(const wchar_t* text, size_t chars) = 0;
};

// A sink over an open file handle (borrowed: the caller opens and closes it).
// The text goes to the file as UTF-16LE.
class CqzFileTextSink : public CqzTextSink
{
public:
    explicit CqzFileTextSink(HANDLE file) : m_file(file) {}

    // Creates a file anew for writing, shared for reading, normal attributes.
    // INVALID_HANDLE_VALUE on failure, the reason in GetLastError().
    static HANDLE CreateReportFile(const wchar_t* path);
    // Writes the byte-order mark FF FE.
    bool WriteByteOrderMark();

protected:
    bool Write(const wchar_t* text, size_t chars) override;

private:
    HANDLE m_file;
};

// A sink that keeps the text in memory; for callers that pass the text on.
class CqzStringTextSink : public CqzTextSink
{
public:
    const std::wstring& Text() const { return m_text; }
    void Clear() { m_text.clear(); }

protected:
    bool Write(const wchar_t* text, size_t chars) override;

private:
    std::wstring m_text;
};
