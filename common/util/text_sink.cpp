#include "common/util/text_sink.h"

#include <cstdio>
#include <vector>

bool CqzTextSink::PrintfLine(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool written = VPrintf(true, format, args);
    va_end(args);
    return written;
}

bool CqzTextSink::Printf(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool written = VPrintf(false, format, args);
    va_end(args);
    return written;
}

bool CqzTextSink::VPrintf(bool lineBreak, const wchar_t* format, va_list args)
{
    if (format == nullptr)
        return false;
    // The C runtime's own wide formatter (not the C99 one that MinGW can swap
    // in): "%s" is wide and "%S" narrow, as the report formats expect.
    va_list measure;
    va_copy(measure, args);
    const int length = ::_vscwprintf(format, measure);
    va_end(measure);
    if (length < 0)
        return false;
    std::vector<wchar_t> line(static_cast<size_t>(length) + 3);
    const int written = ::_vsnwprintf(line.data(), static_cast<size_t>(length) + 1, format, args);
    if (written != length)
        return false;
    size_t chars = static_cast<size_t>(length);
    if (lineBreak)
    {
        line[chars++] = L'\r';
        line[chars++] = L'\n';
    }
    return Write(line.data(), chars);
}

HANDLE CqzFileTextSink::CreateReportFile(const wchar_t* path)
{
    return ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CqzFileTextSink::WriteByteOrderMark()
{
    const wchar_t bom = 0xFEFF;
    return Write(&bom, 1);
}

bool CqzFileTextSink::Write(const wchar_t* text, size_t chars)
{
    if (m_file == nullptr || m_file == INVALID_HANDLE_VALUE)
    {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const size_t bytes = chars * sizeof(wchar_t);
    if (bytes > MAXDWORD)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD done = 0;
    return ::WriteFile(m_file, text, static_cast<DWORD>(bytes), &done, nullptr) && done == bytes;
}

bool CqzStringTextSink::Write(const wchar_t* text, size_t chars)
{
    m_text.append(text, chars);
    return true;
}
