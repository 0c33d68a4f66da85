// Where qz_diag's reports go: the console as UTF-8, or the UTF-16 report
// file named with --out; and the failure line.
#include "Agent/tools/qz_diag/diag.h"

#include <cstring>
#include <string>

#include "common/util/util.h"

namespace qzdiag
{
namespace
{

// A failure line shows at most this many characters of a path or name.
const size_t kShownChars = 80;
// Bytes written to a stream per WriteFile call: consoles refuse very large
// writes.
const DWORD kWriteChunk = 16384;

bool ReadWholeFile(const std::wstring& path, std::string& bytes, DWORD& error)
{
    CqzScopedHandle file(CqzUtil::CreateFileLongPath(path.c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        error = ::GetLastError();
        return false;
    }
    bytes.clear();
    char buffer[8192];
    for (;;)
    {
        DWORD read = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr))
        {
            error = ::GetLastError();
            return false;
        }
        if (read == 0)
            return true;
        bytes.append(buffer, read);
    }
}

} // namespace

std::wstring ErrorText(DWORD error)
{
    std::wstring text;
    CqzUtil::GetErrorText(error, text);
    return L"error " + std::to_wstring(error) + L" (" + text + L")";
}

std::wstring Failure::Line() const
{
    std::wstring text;
    CqzUtil::GetErrorText(error, text);
    return L"qz_diag: " + what + L": error " + std::to_wstring(error) + L": " + text;
}

std::wstring Shown(const std::wstring& text)
{
    if (text.size() <= kShownChars)
        return text;
    return text.substr(0, kShownChars) + L"... (" + std::to_wstring(text.size()) + L" characters)";
}

const wchar_t* YesNo(bool value)
{
    return value ? L"yes" : L"no";
}

bool WriteUtf8(DWORD stdHandle, const std::wstring& text, DWORD& error)
{
    const HANDLE stream = ::GetStdHandle(stdHandle);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE)
    {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    DWORD mode = 0;
    if (::GetConsoleMode(stream, &mode))
        ::SetConsoleOutputCP(CP_UTF8);
    std::string utf8;
    if (!text.empty() && !CqzUtil::WideToUtf8(text.c_str(), utf8))
    {
        error = ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    for (size_t done = 0; done < utf8.size();)
    {
        const DWORD chunk = static_cast<DWORD>(utf8.size() - done < kWriteChunk ? utf8.size() - done : kWriteChunk);
        DWORD written = 0;
        if (!::WriteFile(stream, utf8.data() + done, chunk, &written, nullptr) || written == 0)
        {
            error = ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_WRITE_FAULT;
            return false;
        }
        done += written;
    }
    return true;
}

Report::Report(const Options& options) : m_toFile(options.hasOut), m_outPath(options.outPath) {}

Report::~Report()
{
    m_fileSink.reset();
    m_file.Reset();
    if (m_dumpIsTemporary)
        ::DeleteFileW(m_dumpPath.c_str());
}

CqzTextSink* Report::Sink(Failure& failure)
{
    const bool afterDump = !m_dumpPath.empty();
    if (!m_toFile)
        return afterDump ? &m_afterDump : &m_text;
    if (m_fileSink)
        return m_fileSink.get();
    // After a dump the lines follow the dump's own in its file.
    m_file.Reset(afterDump ? CqzUtil::CreateFileLongPath(m_outPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                           : CqzFileTextSink::CreateReportFile(m_outPath.c_str()));
    if (!m_file.IsValid())
    {
        failure.Set(L"cannot create the report file \"" + Shown(m_outPath) + L"\"", ::GetLastError());
        return nullptr;
    }
    std::unique_ptr<CqzFileTextSink> sink(new CqzFileTextSink(m_file.Get()));
    if (!afterDump && !sink->WriteByteOrderMark())
    {
        failure.Set(L"cannot write the report file \"" + Shown(m_outPath) + L"\"", ::GetLastError());
        return nullptr;
    }
    m_fileSink = std::move(sink);
    return m_fileSink.get();
}

std::wstring Report::DumpPath(Failure& failure)
{
    if (m_toFile)
    {
        m_dumpPath = m_outPath;
        return m_dumpPath;
    }
    if (!m_dumpPath.empty())
        return m_dumpPath;
    wchar_t directory[MAX_PATH + 1] = {};
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD chars = ::GetTempPathW(MAX_PATH, directory);
    if (chars == 0 || chars > MAX_PATH || ::GetTempFileNameW(directory, L"qzd", 0, path) == 0)
    {
        failure.Set(L"cannot create a temporary report file", ::GetLastError());
        return std::wstring();
    }
    m_dumpPath = path;
    m_dumpIsTemporary = true;
    return m_dumpPath;
}

bool Report::Finish(Failure& failure)
{
    std::wstring dumpText;
    if (!m_dumpPath.empty())
    {
        // The dump reports its own failures only in the trace: the file must
        // exist and start with the byte-order mark.
        std::string bytes;
        DWORD error = ERROR_SUCCESS;
        if (!ReadWholeFile(m_dumpPath, bytes, error))
            return failure.Set(L"the dump was not written to \"" + Shown(m_dumpPath) + L"\"", error);
        if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
            static_cast<unsigned char>(bytes[1]) != 0xFE)
            return failure.Set(L"the dump was not written to \"" + Shown(m_dumpPath) + L"\"", ERROR_WRITE_FAULT);
        if (!m_toFile)
        {
            dumpText.assign((bytes.size() - 2) / sizeof(wchar_t), L'\0');
            if (!dumpText.empty())
                std::memcpy(&dumpText[0], bytes.data() + 2, dumpText.size() * sizeof(wchar_t));
        }
    }
    if (m_toFile)
    {
        if (m_dumpPath.empty() && Sink(failure) == nullptr)
            return false;
        m_fileSink.reset();
        m_file.Reset();
        return true;
    }
    DWORD error = ERROR_SUCCESS;
    if (!WriteUtf8(STD_OUTPUT_HANDLE, m_text.Text() + dumpText + m_afterDump.Text(), error))
        return failure.Set(L"cannot write to the standard output", error);
    return true;
}

} // namespace qzdiag
