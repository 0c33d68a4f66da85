#include "tests/diag/diag_test_util.h"

#include <cwchar>

namespace qzdiagtest
{

std::wstring DiagRun::LineStarting(const std::wstring& prefix) const
{
    for (const std::wstring& line : lines)
    {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line;
    }
    return L"<no line>";
}

bool DiagRun::HasLine(const std::wstring& line) const
{
    for (const std::wstring& candidate : lines)
    {
        if (candidate == line)
            return true;
    }
    return false;
}

std::string DiagRun::Text() const
{
    return "exit " + std::to_string(result.exitCode) + "\n--- stdout:\n" + outBytes + "--- stderr:\n" + errBytes;
}

std::wstring DiagExe()
{
    return qztest::BinDir() + L"\\qz_diag.exe";
}

bool IsUtf8(const std::string& bytes)
{
    if (bytes.empty())
        return true;
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                 0) != 0;
}

namespace
{

std::vector<std::wstring> SplitLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size())
    {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos)
        {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

} // namespace

DiagRun RunDiag(const std::vector<std::wstring>& args, const qztest::RunOptions& options, const std::wstring& exe)
{
    const std::wstring program = exe.empty() ? DiagExe() : exe;
    std::wstring cmdLine = qztest::QuoteArg(program);
    for (const std::wstring& arg : args)
        cmdLine += L" " + qztest::QuoteArg(arg);
    qztest::CapturedRun captured = qztest::RunProcessCaptured(program, cmdLine, options);
    DiagRun run;
    run.result = captured.result;
    run.outBytes = captured.out;
    run.errBytes = captured.err;
    run.outIsUtf8 = IsUtf8(run.outBytes);
    run.errIsUtf8 = IsUtf8(run.errBytes);
    run.out = qztest::FromUtf8(run.outBytes);
    run.err = qztest::FromUtf8(run.errBytes);
    run.lines = SplitLines(run.out);
    run.errLines = SplitLines(run.err);
    return run;
}

SuspendedChild::SuspendedChild(const std::wstring& exe, const std::wstring& cmdLine, const std::wstring& cwd,
                               HANDLE token)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring mutableCmd = cmdLine;
    const wchar_t* directory = cwd.empty() ? nullptr : cwd.c_str();
    const BOOL ok = token != nullptr ? ::CreateProcessAsUserW(token, exe.c_str(), &mutableCmd[0], nullptr, nullptr,
                                                              FALSE, CREATE_SUSPENDED, nullptr, directory, &si, &pi)
                                     : ::CreateProcessW(exe.c_str(), &mutableCmd[0], nullptr, nullptr, FALSE,
                                                        CREATE_SUSPENDED, nullptr, directory, &si, &pi);
    if (!ok)
    {
        m_error = ::GetLastError();
        return;
    }
    m_process.Reset(pi.hProcess);
    m_thread.Reset(pi.hThread);
    m_pid = pi.dwProcessId;
    m_threadId = pi.dwThreadId;
}

SuspendedChild::~SuspendedChild()
{
    if (!m_process.IsValid())
        return;
    ::TerminateProcess(m_process.Get(), 0);
    ::WaitForSingleObject(m_process.Get(), 10000);
}

std::wstring Shown(const std::wstring& text)
{
    if (text.size() <= 80)
        return text;
    return text.substr(0, 80) + L"... (" + std::to_wstring(text.size()) + L" characters)";
}

std::wstring Hex8(DWORD value)
{
    wchar_t text[16];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"0x%.8X", static_cast<unsigned>(value));
    return text;
}

std::wstring TokenUserSid(HANDLE token)
{
    BYTE buffer[512] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size))
        return std::wstring();
    return qztest::SidToString(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

} // namespace qzdiagtest
