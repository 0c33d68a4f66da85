#include "testing/standin/standin_recorder.h"

#include "testing/standin/standin_hex.h"

#include <objbase.h>

// The image base of the module this code is linked into: the stand-in DLL.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qzstandin
{
namespace
{

const wchar_t kCallsFile[] = L"qz_standin.calls";
const wchar_t kResultFile[] = L"qz_standin.hresult";

// Vector entries recorded at most, whatever the count claims.
const int kMaxVectorEntries = 4096;

// Wide heap buffer holding one path.
class PathBuffer
{
public:
    PathBuffer() : m_text(static_cast<wchar_t*>(::HeapAlloc(::GetProcessHeap(), 0, kChars * sizeof(wchar_t)))) {}
    ~PathBuffer()
    {
        if (m_text)
            ::HeapFree(::GetProcessHeap(), 0, m_text);
    }
    PathBuffer(const PathBuffer&) = delete;
    PathBuffer& operator=(const PathBuffer&) = delete;

    // Path of fileName in the directory of this DLL; false when it does not fit.
    bool BesideModule(const wchar_t* fileName)
    {
        if (!m_text)
            return false;
        DWORD length = ::GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), m_text, kChars);
        if (length == 0 || length >= kChars)
            return false;
        DWORD slash = length;
        while (slash > 0 && m_text[slash - 1] != L'\\')
            --slash;
        DWORD nameLength = 0;
        while (fileName[nameLength])
            ++nameLength;
        if (slash + nameLength + 1 > kChars)
            return false;
        for (DWORD i = 0; i <= nameLength; ++i)
            m_text[slash + i] = fileName[i];
        return true;
    }

    const wchar_t* Text() const { return m_text; }

private:
    static const DWORD kChars = 32768;
    wchar_t* m_text;
};

// Owner of one file handle (INVALID_HANDLE_VALUE is empty).
class FileHandle
{
public:
    explicit FileHandle(HANDLE h) : m_h(h) {}
    ~FileHandle()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_h);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE Get() const { return m_h; }
    bool IsValid() const { return m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The result chosen by qz_standin.hresult: S_OK when there is no such file,
// E_UNEXPECTED when it cannot be read or holds anything but one hex number.
HRESULT ReadChosenResult()
{
    PathBuffer path;
    if (!path.BesideModule(kResultFile))
        return E_UNEXPECTED;
    FileHandle file(::CreateFileW(path.Text(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? S_OK : E_UNEXPECTED;
    }
    char text[64];
    DWORD read = 0;
    if (!::ReadFile(file.Get(), text, sizeof(text), &read, nullptr) || read == sizeof(text))
        return E_UNEXPECTED;
    DWORD i = 0;
    while (i < read && IsSpace(text[i]))
        ++i;
    if (i + 1 < read && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    DWORD value = 0;
    int digits = 0;
    for (; i < read && HexDigit(text[i]) >= 0; ++i, ++digits)
        value = (value << 4) | static_cast<DWORD>(HexDigit(text[i]));
    while (i < read && IsSpace(text[i]))
        ++i;
    if (digits == 0 || digits > 8 || i != read)
        return E_UNEXPECTED;
    return static_cast<HRESULT>(value);
}

void AppendApartment(ByteBuffer& line)
{
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    const HRESULT hr = ::CoGetApartmentType(&type, &qualifier);
    if (hr == CO_E_NOTINITIALIZED)
    {
        line.Append("uninitialised");
        return;
    }
    if (FAILED(hr))
    {
        line.Append("error:");
        line.AppendHex32(static_cast<DWORD>(hr));
        return;
    }
    switch (type)
    {
    case APTTYPE_STA:
        line.Append("STA");
        break;
    case APTTYPE_MTA:
        line.Append(qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA ? "implicit-MTA" : "MTA");
        break;
    case APTTYPE_NA:
        line.Append("NA");
        break;
    case APTTYPE_MAINSTA:
        line.Append("main-STA");
        break;
    default:
        line.Append("type:");
        line.AppendDecimal(type);
        break;
    }
}

void AppendUtf8(ByteBuffer& line, unsigned codePoint)
{
    char bytes[4];
    size_t count;
    if (codePoint < 0x80)
    {
        bytes[0] = static_cast<char>(codePoint);
        count = 1;
    }
    else if (codePoint < 0x800)
    {
        bytes[0] = static_cast<char>(0xC0 | (codePoint >> 6));
        bytes[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
        count = 2;
    }
    else if (codePoint < 0x10000)
    {
        bytes[0] = static_cast<char>(0xE0 | (codePoint >> 12));
        bytes[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
        count = 3;
    }
    else
    {
        bytes[0] = static_cast<char>(0xF0 | (codePoint >> 18));
        bytes[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
        count = 4;
    }
    line.Append(bytes, count);
}

void AppendEscapedCodeUnit(ByteBuffer& line, const char* prefix, unsigned value, int digits)
{
    static const char kHex[] = "0123456789ABCDEF";
    line.Append(prefix);
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        line.AppendByte(kHex[(value >> shift) & 0xF]);
}

// "s:" and the text, escaped: \\ \t \n \r, \xHH for other control
// characters, \uHHHH for a surrogate without its partner, UTF-8 otherwise.
// "s-" for a null pointer.
void AppendText(ByteBuffer& line, LPCWSTR text)
{
    if (text == nullptr)
    {
        line.Append("s-");
        return;
    }
    line.Append("s:");
    for (size_t i = 0; text[i]; ++i)
    {
        const unsigned c = text[i];
        if (c == L'\\')
            line.Append("\\\\");
        else if (c == L'\t')
            line.Append("\\t");
        else if (c == L'\n')
            line.Append("\\n");
        else if (c == L'\r')
            line.Append("\\r");
        else if (c < 0x20 || c == 0x7F)
            AppendEscapedCodeUnit(line, "\\x", c, 2);
        else if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
        {
            AppendUtf8(line, 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned>(text[i + 1]) - 0xDC00));
            ++i;
        }
        else if (c >= 0xD800 && c <= 0xDFFF)
            AppendEscapedCodeUnit(line, "\\u", c, 4);
        else
            AppendUtf8(line, c);
    }
}

} // namespace

ByteBuffer::~ByteBuffer()
{
    if (m_data)
        ::HeapFree(::GetProcessHeap(), 0, m_data);
}

void ByteBuffer::Append(const char* bytes, size_t count)
{
    if (m_failed || count == 0)
        return;
    if (count > m_capacity - m_size)
    {
        size_t capacity = m_capacity ? m_capacity : 256;
        while (capacity - m_size < count)
        {
            if (capacity > (static_cast<size_t>(-1) >> 2))
            {
                m_failed = true;
                return;
            }
            capacity *= 2;
        }
        void* grown = m_data ? ::HeapReAlloc(::GetProcessHeap(), 0, m_data, capacity)
                             : ::HeapAlloc(::GetProcessHeap(), 0, capacity);
        if (!grown)
        {
            m_failed = true;
            return;
        }
        m_data = static_cast<char*>(grown);
        m_capacity = capacity;
    }
    for (size_t i = 0; i < count; ++i)
        m_data[m_size + i] = bytes[i];
    m_size += count;
}

void ByteBuffer::Append(const char* text)
{
    size_t count = 0;
    while (text[count])
        ++count;
    Append(text, count);
}

void ByteBuffer::AppendDecimal(long long value)
{
    char digits[24];
    int count = 0;
    // Work on the negative side so the most negative value needs no special case.
    long long rest = value < 0 ? value : -value;
    do
    {
        digits[count++] = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0)
        AppendByte('-');
    while (count > 0)
        AppendByte(digits[--count]);
}

void ByteBuffer::AppendHex32(DWORD value)
{
    AppendEscapedCodeUnit(*this, "0x", value, 8);
}

CallRecord::CallRecord(const char* exportName)
{
    m_result = ReadChosenResult();
    m_line.Append(exportName);
    m_line.AppendByte('\t');
    AppendApartment(m_line);
    m_line.AppendByte('\t');
    m_line.AppendDecimal(::GetCurrentProcessId());
    m_line.AppendByte('\t');
    m_line.AppendDecimal(::GetCurrentThreadId());
    m_line.AppendByte('\t');
    m_line.AppendHex32(static_cast<DWORD>(m_result));
}

void CallRecord::AddText(LPCWSTR text)
{
    m_line.AppendByte('\t');
    AppendText(m_line, text);
}

void CallRecord::AddInt(int value)
{
    m_line.Append("\ti:");
    m_line.AppendDecimal(value);
}

void CallRecord::AddBool(const bool& value)
{
    m_line.Append("\tb:");
    m_line.AppendDecimal(*reinterpret_cast<const unsigned char*>(&value));
}

void CallRecord::AddVector(LPWSTR* vector, int argumentCount)
{
    m_line.AppendByte('\t');
    if (vector == nullptr)
    {
        m_line.Append("v-");
        return;
    }
    // Entries after the tool, and the slot that must hold the terminator.
    int limit = argumentCount >= 3 ? argumentCount - 2 : 0;
    if (limit > kMaxVectorEntries)
        limit = kMaxVectorEntries;
    int count = 0;
    while (count < limit)
    {
        if (vector[count++] == nullptr)
            break;
    }
    m_line.Append("v:");
    m_line.AppendDecimal(count);
    for (int i = 0; i < count; ++i)
    {
        m_line.AppendByte('\t');
        AppendText(m_line, vector[i]);
    }
}

HRESULT CallRecord::Finish()
{
    m_line.AppendByte('\n');
    PathBuffer path;
    if (m_line.Failed() || !path.BesideModule(kCallsFile))
        return m_result;
    FileHandle file(::CreateFileW(path.Text(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return m_result;
    // Appending writers (threads, or processes loading the same copy) take
    // turns on a lock of one byte far beyond any record, which leaves the
    // records themselves readable. Handles opened for appending alone are not
    // enough: Wine lets such appends overwrite each other.
    OVERLAPPED region = {};
    region.OffsetHigh = 0x40000000;
    if (!::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region))
        return m_result;
    LARGE_INTEGER end = {};
    DWORD written = 0;
    if (::SetFilePointerEx(file.Get(), end, nullptr, FILE_END))
        ::WriteFile(file.Get(), m_line.Data(), static_cast<DWORD>(m_line.Size()), &written, nullptr);
    ::UnlockFileEx(file.Get(), 0, 1, 0, &region);
    return m_result;
}

} // namespace qzstandin
